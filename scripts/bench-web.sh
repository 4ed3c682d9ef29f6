#!/usr/bin/env bash
# Download benchmark: a 64 MiB file from the loopback site.
#   natively: webread --to against curl -o, paired in each round;
#   under Wine: webread.exe --to against a plain Winsock client (rawget.exe)
#   that also reads 32768 bytes per call.
# Prints the median times and the median of the per-round ratios, then a
# table of the ratios, the Wine row last.
# Knobs: STIRPELLO_BUILD, ROUNDS (default 5), SIZE_MB (default 64), TREES.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ROUNDS=${ROUNDS:-5}
SIZE_MB=${SIZE_MB:-64}
command -v curl >/dev/null || { sudo=; [ "$(id -u)" -ne 0 ] && sudo=sudo; $sudo apt-get install -y -qq curl >/dev/null; }
ensure_packages

NB=$BUILD/bench-native
WB=$BUILD/bench-win
log "native release tree (no sanitizers)"
cmake -S "$ROOT" -B "$NB" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DSTIRPELLO_SANITIZE=OFF -DSTIRPELLO_BENCH=ON >/dev/null
cmake --build "$NB" -j "$JOBS" --target webread fakesite >/dev/null
if [[ " $TREES " == *" win "* ]]; then
    pick_win_arch
    win_tree "$WB"
    log "windows release tree ($WIN_ARCH)"
    cmake -S "$ROOT" -B "$WB" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTIRPELLO_BENCH=ON \
        -DCMAKE_TOOLCHAIN_FILE="$WIN_TOOLCHAIN" -DSTIRPELLO_TEST_OVERRIDES=ON >/dev/null
    cmake --build "$WB" -j "$JOBS" --target webread rawget >/dev/null
fi

work=$(mktemp -d /tmp/stirpello-bench.XXXXXX)
site_pid=
cleanup() {
    [ -n "$site_pid" ] && kill "$site_pid" 2>/dev/null || true
    [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
head -c $((SIZE_MB * 1024 * 1024)) /dev/urandom >"$work/big.bin"
"$NB/bin/fakesite" --file /big.bin="$work/big.bin" --lifetime 900 --port-file "$work/port" >/dev/null &
site_pid=$!
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")
url=http://127.0.0.1:$port/big.bin

now() { date +%s%N; }
# run_pair NAME_A CMD_A NAME_B CMD_B: ROUNDS rounds, A then B in each.
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
run_pair() {
    local label=$1 own=$2 peer=$3 peer_name=$4
    local -a to tp ratios
    local r t0 t1 t2
    for r in $(seq 1 "$ROUNDS"); do
        rm -f "$work/own.bin" "$work/peer.bin"
        t0=$(now); eval "$own" >/dev/null || true; t1=$(now)
        eval "$peer" >/dev/null || true; t2=$(now)
        cmp -s "$work/own.bin" "$work/big.bin" || { echo "own download differs" >&2; exit 1; }
        cmp -s "$work/peer.bin" "$work/big.bin" || { echo "peer download differs" >&2; exit 1; }
        to+=($(( (t1 - t0) / 1000000 ))); tp+=($(( (t2 - t1) / 1000000 )))
        ratios+=("$(awk -v a=$((t1 - t0)) -v b=$((t2 - t1)) 'BEGIN {printf "%.3f", a / b}')")
    done
    local mo mp mr
    mo=$(printf '%s\n' "${to[@]}" | median); mp=$(printf '%s\n' "${tp[@]}" | median)
    mr=$(printf '%s\n' "${ratios[@]}" | median)
    printf '%-8s %4d MiB  webread %6s ms  %-7s %6s ms  own/%s (median of %d paired rounds) = %s\n' \
        "$label" "$SIZE_MB" "$mo" "$peer_name" "$mp" "$peer_name" "$ROUNDS" "$mr"
    printf '         rounds webread: %s\n         rounds %s: %s\n' "${to[*]}" "$peer_name" "${tp[*]}"
    printf '| %d MiB download, own/%s, %s (median of %d paired rounds) | %s vs %s ms | %s |\n' \
        "$SIZE_MB" "$peer_name" "$label" "$ROUNDS" "$mo" "$mp" "$mr" >>"$work/rows"
}

run_pair native "'$NB/bin/webread' --to '$work/own.bin' '$url'" "curl -s -o '$work/peer.bin' '$url'" curl

if [[ " $TREES " == *" win "* ]]; then
    prefix=$BUILD/win/wineprefix
    if [ -f "$prefix/system.reg" ]; then wine_env "$prefix"; else make_prefix "$prefix"; fi
    wineserver -p >/dev/null 2>&1 </dev/null || true  # one may already run
    wine cmd /c exit >/dev/null 2>&1 </dev/null || true
    wout="Z:${work//\//\\}"
    run_pair "wine/$WIN_ARCH" "wine '$WB/bin/webread.exe' --to '$wout\\own.bin' '$url'" \
        "wine '$WB/bin/rawget.exe' 127.0.0.1 $port /big.bin '$wout\\peer.bin'" rawget
fi

echo
echo "Download, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "| Benchmark | Figures | Ratio |"
echo "|---|---|---|"
cat "$work/rows"
