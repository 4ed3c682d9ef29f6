#!/usr/bin/env bash
# Download benchmark: a 64 MiB file from the loopback site.
#   natively: webread --to against curl -o, paired in each round;
#   under Wine: webread.exe --to against a plain Winsock client (rawget.exe)
#   that also reads 32768 bytes per call. Each Wine round also runs rawget
#   with the connectivity check the web reader makes before every read
#   (wininet, which brings in user32), and both programs on a 16-byte file,
#   so that the fixed cost of a run (start-up, the check, connecting) and
#   the transfer itself are shown apart: the transfer row is each program's
#   64 MiB run less its 16-byte run in the same round.
# Prints the median times and the median of the per-round ratios, then a
# table of the ratios, the transfer under Wine last.
# Knobs: STIRPELLO_BUILD, ROUNDS (default 5), SIZE_MB (default 64), TREES,
# CALLS (default 1: count each program's socket reads under strace, when
# strace is installed).
set -euo pipefail
source "$(dirname "$0")/common.sh"

ROUNDS=${ROUNDS:-5}
SIZE_MB=${SIZE_MB:-64}
CALLS=${CALLS:-1}
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
head -c 16 /dev/urandom >"$work/tiny.bin"
"$NB/bin/fakesite" --file /big.bin="$work/big.bin" --file /tiny.bin="$work/tiny.bin" --lifetime 900 \
    --port-file "$work/port" >/dev/null &
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
    label="wine/$WIN_ARCH"
    runner=()  # what the programs run under (strace for the call counts)
    own() { "${runner[@]}" "$WINE" "$WB/bin/webread.exe" --to "$wout\\own.bin" "http://127.0.0.1:$port/$1"; }
    raw() { "${runner[@]}" "$WINE" "$WB/bin/rawget.exe" "${@:2}" 127.0.0.1 "$port" "/$1" "$wout\\peer.bin"; }
    # timed FILE CMD...: runs CMD into a fresh FILE, checks it, prints the ms.
    timed() {
        local file=$1 t0 t1
        shift
        rm -f "$work/own.bin" "$work/peer.bin"
        t0=$(now); "$@" >/dev/null || true; t1=$(now)
        local out=$work/peer.bin
        [ "$1" = own ] && out=$work/own.bin
        cmp -s "$out" "$work/$file" || { echo "$* gave a file that differs" >&2; exit 1; }
        echo $(((t1 - t0) / 1000000))
    }
    ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", (b > 0) ? a / b : 0}'; }
    med() { printf '%s\n' "$@" | median; }
    declare -a ob rb cb ot rt whole checked fixed
    for _ in $(seq 1 "$ROUNDS"); do
        ob+=("$(timed big.bin own big.bin)")
        rb+=("$(timed big.bin raw big.bin)")
        cb+=("$(timed big.bin raw big.bin --check-connection)")
        ot+=("$(timed tiny.bin own tiny.bin)")
        rt+=("$(timed tiny.bin raw tiny.bin)")
        whole+=("$(ratio "${ob[-1]}" "${rb[-1]}")")
        checked+=("$(ratio "${ob[-1]}" "${cb[-1]}")")
        fixed+=($((ot[-1] - rt[-1])))
    done
    mob=$(med "${ob[@]}") mrb=$(med "${rb[@]}") mcb=$(med "${cb[@]}") mot=$(med "${ot[@]}") mrt=$(med "${rt[@]}")
    declare -a od rd
    for i in "${!ob[@]}"; do od+=($((ob[i] - ot[i]))); rd+=($((rb[i] - rt[i]))); done
    # A ratio of the medians: per-round ratios of differences swing wildly
    # when one run of a round is slowed by other work on the machine.
    mod=$(med "${od[@]}") mrd=$(med "${rd[@]}")
    transfer=$(ratio "$mod" "$mrd")
    printf '%s  %d MiB  webread %s ms  rawget %s ms  rawget with the check %s ms\n' "$label" "$SIZE_MB" "$mob" "$mrb" "$mcb"
    printf '         rounds webread: %s\n         rounds rawget: %s\n         rounds rawget with the check: %s\n' \
        "${ob[*]}" "${rb[*]}" "${cb[*]}"
    printf '%s  16 bytes  webread %s ms  rawget %s ms  (rounds: %s / %s)\n' "$label" "$mot" "$mrt" "${ot[*]}" "${rt[*]}"
    printf '%s  %d MiB less 16 bytes  webread %s ms  rawget %s ms  (rounds: %s / %s)\n' \
        "$label" "$SIZE_MB" "$mod" "$mrd" "${od[*]}" "${rd[*]}"
    if [ "$CALLS" = 1 ] && command -v strace >/dev/null; then
        # Socket reads asking for 32768 bytes, one run each under strace.
        reads() {
            rm -f "$work/own.bin" "$work/peer.bin" "$work/calls"
            runner=(strace -f -e trace=recvmsg -o "$work/calls")
            "$@" >/dev/null 2>&1 || true
            runner=()
            grep -c 'iov_len=32768' "$work/calls" || true
        }
        printf '%s  reads of 32768 bytes for %d MiB: webread %s, rawget %s\n' "$label" \
            "$SIZE_MB" "$(reads own big.bin)" "$(reads raw big.bin)"
    fi
    cat >>"$work/rows" <<ROWS
| $SIZE_MB MiB download, own/rawget, $label, whole runs (median of $ROUNDS paired rounds) | $mob vs $mrb ms | $(med "${whole[@]}") |
| the same against rawget making the web reader's connectivity check too | $mob vs $mcb ms | $(med "${checked[@]}") |
| a 16-byte read, own - rawget, $label: start-up, the connectivity check (rawget makes none), connecting | $mot vs $mrt ms | $(printf '%+.0f' "$(med "${fixed[@]}")") ms |
| $SIZE_MB MiB download less the 16-byte read, own/rawget, $label (the transfer alone; ratio of the medians) | $mod vs $mrd ms | $transfer |
ROWS
fi

echo
echo "Download, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "| Benchmark | Figures | Ratio |"
echo "|---|---|---|"
cat "$work/rows"
