#!/usr/bin/env bash
# CRC-32 benchmarks: UpdateCrc32 against zlib natively (Release, no
# sanitizers), then FileCrc32 against a zlib loop on a 64 MiB file under Wine,
# and FileSha256 (CNG and CryptoAPI) on the same file against FileCrc32.
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_packages
cmake -S "$ROOT" -B "$BUILD/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTIRPELLO_SANITIZE=OFF \
    -DSTIRPELLO_BENCH=ON >/dev/null
cmake --build "$BUILD/bench" -j "$JOBS" --target crc32_bench
"$BUILD/bench/bin/crc32_bench"
pick_win_arch
win_tree "$BUILD/win"
cmake -S "$ROOT" -B "$BUILD/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$WIN_TOOLCHAIN" -DSTIRPELLO_BENCH=ON "$TEST_OVERRIDES" >/dev/null
cmake --build "$BUILD/win" -j "$JOBS" --target filecrc_bench
prefix=$BUILD/win/wineprefix
[ -f "$prefix/system.reg" ] || make_prefix "$prefix"
wine_env "$prefix"
trap stop_all EXIT
wineserver -p >/dev/null 2>&1 </dev/null
log "under Wine ($WIN_ARCH build)"
wine "$BUILD/win/bin/filecrc_bench.exe" 'C:\filecrc_bench.bin' </dev/null
