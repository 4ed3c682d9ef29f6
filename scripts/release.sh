#!/usr/bin/env bash
# The release build: dist/DownloadStirpelloUpdate.exe, dist/updcat.exe and
# dist/webread.exe (32-bit, static, stripped) with dist/SHA256SUMS.
# Built in <build>/release, a Windows tree of its own without the tests.
set -euo pipefail
source "$(dirname "$0")/common.sh"

programs=(DownloadStirpelloUpdate updcat webread)
ensure_packages
dir=$BUILD/release
log "release tree $dir"
cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$dir" -j "$JOBS" --target "${programs[@]}"

dist=$ROOT/dist
rm -rf "$dist"
mkdir -p "$dist"
for p in "${programs[@]}"; do
    i686-w64-mingw32-strip -o "$dist/$p.exe" "$dir/bin/$p.exe"
done
# Only Windows' own DLLs may be imported: anything else would be missing on
# the user's machine.
files=$(printf '%s;' "${programs[@]/#/$dist/}")
files=${files//;/.exe;}
cmake -DOBJDUMP=i686-w64-mingw32-objdump "-DREQUIRED=${files%;}" -P "$ROOT/tests/app/CheckImports.cmake" >/dev/null
(cd "$dist" && sha256sum -- *.exe >SHA256SUMS)
log "release files in $dist"
(cd "$dist" && ls -l -- *.exe && cat SHA256SUMS)
