#!/usr/bin/env bash
# CRC-32 benchmarks: UpdateCrc32 against zlib natively (Release, no
# sanitizers), accelerated and portable; then under Wine UpdateCrc32 against
# zlib in memory, FileCrc32 on a 64 MiB file against the same reads alone and
# against a zlib loop, and FileSha256 (CNG and CryptoAPI) against FileCrc32.
# Ends with a table of the ratios, the in-memory ours/zlib row last.
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_packages
cmake -S "$ROOT" -B "$BUILD/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTIRPELLO_SANITIZE=OFF \
    -DSTIRPELLO_BENCH=ON >/dev/null
cmake --build "$BUILD/bench" -j "$JOBS" --target crc32_bench
rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
"$BUILD/bench/bin/crc32_bench" | tee -a "$rows"
pick_win_arch
win_tree "$BUILD/win"
cmake -S "$ROOT" -B "$BUILD/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$WIN_TOOLCHAIN" -DSTIRPELLO_BENCH=ON "$TEST_OVERRIDES" >/dev/null
cmake --build "$BUILD/win" -j "$JOBS" --target filecrc_bench
prefix=$BUILD/win/wineprefix
[ -f "$prefix/system.reg" ] || make_prefix "$prefix"
wine_env "$prefix"
trap 'stop_all; rm -f "$rows"' EXIT
wineserver -p >/dev/null 2>&1 </dev/null
log "under Wine ($WIN_ARCH build)"
wine "$BUILD/win/bin/filecrc_bench.exe" 'C:\filecrc_bench.bin' </dev/null | tr -d '\r' | tee -a "$rows"

echo
echo "CRC-32, load $(cut -d' ' -f1-3 /proc/loadavg), Windows build $WIN_ARCH"
echo "| Benchmark | Figures | Ratio |"
echo "|---|---|---|"
grep '^| ' "$rows" | grep -v 'ours/zlib (throughput, native' || true
grep '^| CRC-32 in memory, ours/zlib (throughput, native' "$rows"
