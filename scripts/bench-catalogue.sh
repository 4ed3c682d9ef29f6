#!/usr/bin/env bash
# Catalogue benchmark: LoadFromString + SelectFor on 100,000 records against a
# plain zlib uncompress of the same file, natively (Release, no sanitizers)
# and under Wine; then the peak memory of one load in a fresh process. Ends
# with a table of the ratios, the Wine row last.
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_packages
cmake -S "$ROOT" -B "$BUILD/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTIRPELLO_SANITIZE=OFF \
    -DSTIRPELLO_BENCH=ON >/dev/null
cmake --build "$BUILD/bench" -j "$JOBS" --target catalogue_bench
pick_win_arch
win_tree "$BUILD/win"
cmake -S "$ROOT" -B "$BUILD/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$WIN_TOOLCHAIN" -DSTIRPELLO_BENCH=ON "$TEST_OVERRIDES" >/dev/null
cmake --build "$BUILD/win" -j "$JOBS" --target catalogue_bench

work=$BUILD/bench/catalogue-run
mkdir -p "$work"
cd "$work"
rows=$work/rows.txt
: >"$rows"
log "native"
"$BUILD/bench/bin/catalogue_bench" native | tee -a "$rows"
"$BUILD/bench/bin/catalogue_bench" bench-catalogue.upd

prefix=$BUILD/win/wineprefix
[ -f "$prefix/system.reg" ] || make_prefix "$prefix"
wine_env "$prefix"
trap stop_all EXIT
wineserver -p >/dev/null 2>&1 </dev/null
log "under Wine ($WIN_ARCH build)"
wine "$BUILD/win/bin/catalogue_bench.exe" "Wine ($WIN_ARCH build)" </dev/null | tr -d '\r' | tee -a "$rows"
wine "$BUILD/win/bin/catalogue_bench.exe" bench-catalogue.upd </dev/null | tr -d '\r'

echo
echo "Catalogue, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "| Benchmark | Figures | Ratio |"
echo "|---|---|---|"
grep '^| ' "$rows"
