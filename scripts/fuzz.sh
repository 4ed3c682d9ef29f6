#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) in <build>/fuzz and runs
# each for SECONDS seconds (default 30). The corpus starts from the committed
# seeds plus the test catalogues built with updcat; what a run finds is kept
# in <build>/fuzz/corpus/<target>, and a crashing input in
# <build>/fuzz/artifacts/. Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
source "$(dirname "$0")/common.sh"

seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(catalogue_fuzz catalogue_zlib_fuzz http_fuzz http_flood_fuzz step_fuzz)

ensure_packages
dir=$BUILD/fuzz
log "fuzz tree $dir"
cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DSTIRPELLO_SANITIZE=ON -DSTIRPELLO_FUZZ=ON >/dev/null
cmake --build "$dir" -j "$JOBS" --target updcat "${targets[@]}"

seeds=$dir/seeds
rm -rf "$seeds"
mkdir -p "$seeds/plain" "$seeds/zlib" "$dir/artifacts"
for src in "$ROOT"/tests/catalogue/data/*.cat "$ROOT"/tests/catalogue/data/*.dump; do
    name=$(basename "$src")
    "$dir/bin/updcat" build --plain "$src" "$seeds/plain/$name.bin"
    "$dir/bin/updcat" build "$src" "$seeds/zlib/$name.upd"
done

status=0
for t in "${targets[@]}"; do
    # Seed folders and extra options per target. The HTTP target allocates
    # little for any input: one large allocation is a finding.
    extra=()
    timeout=10
    case $t in
        catalogue_fuzz) inputs=("$seeds/plain" "$ROOT/tests/catalogue/fuzz/corpus/plain") ;;
        catalogue_zlib_fuzz) inputs=("$seeds/zlib" "$ROOT/tests/catalogue/fuzz/corpus/zlib") ;;
        http_fuzz | http_flood_fuzz)
            inputs=("$ROOT/tests/web/fuzz/corpus")
            [ "$t" = http_flood_fuzz ] && inputs=("$ROOT/tests/web/fuzz/flood")
            extra=(-dict="$ROOT/tests/web/fuzz/HttpFuzz.dict" -malloc_limit_mb=64)
            timeout=5
            ;;
        step_fuzz)
            # The step reads at most one module's size per record.
            inputs=("$ROOT/tests/elevate/fuzz/corpus")
            extra=(-malloc_limit_mb=64)
            timeout=5
            ;;
        *) log "unknown target $t"; exit 2 ;;
    esac
    corpus=$dir/corpus/$t
    mkdir -p "$corpus"
    log "$t for ${seconds}s"
    "$dir/bin/$t" -max_total_time="$seconds" -timeout="$timeout" -rss_limit_mb=2048 -print_final_stats=1 \
        "${extra[@]}" -artifact_prefix="$dir/artifacts/$t-" "$corpus" "${inputs[@]}" 2>"$dir/$t.log" || {
        status=1
        tail -40 "$dir/$t.log" >&2
        log "$t found a failure; the input is in $dir/artifacts/"
    }
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$dir/$t.log" >&2 || true
done
exit $status
