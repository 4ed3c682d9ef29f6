#!/usr/bin/env bash
# updlog explain on 4 MB pastes: a normal one (the real run logs of the tests,
# over and over) beside pastes crafted to be slow or memory-hungry, each read
# in turn: wall time and peak memory, and the ratio to the normal paste.
# Native, Release, no sanitizers. Knobs: ROUNDS (default 1).
set -euo pipefail
source "$(dirname "$0")/common.sh"
ROUNDS=${ROUNDS:-1}
cmake -S "$ROOT" -B "$BUILD/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTIRPELLO_SANITIZE=OFF \
    -DSTIRPELLO_BENCH=ON >/dev/null
cmake --build "$BUILD/bench" -j "$JOBS" --target updlog >/dev/null
updlog=$BUILD/bench/bin/updlog
work=$BUILD/bench/explain-run
mkdir -p "$work"

python3 - "$ROOT/tests/tools/updlog/logs" "$work" <<'PY'
import glob, sys
logs, work = sys.argv[1], sys.argv[2]
normal = b"".join(open(f, "rb").read() for f in sorted(glob.glob(logs + "/*.log")))
first = normal.splitlines()
cap = 4 * 1024 * 1024 - 4096  # under the paste limit
def write(name, unit):
    out = bytearray()
    while len(out) + len(unit) <= cap:
        out += unit
    open("%s/%s.txt" % (work, name), "wb").write(out)
write("normal", normal)
write("numbered", b"1) \n")                               # a shortcut line's start, over and over
write("flowed", b"a \n")                                  # soft breaks everywhere
write("running", b"Running C:\\Program Files\\x\\y.exe \n")  # a launch line out of context
write("no-line-ends", normal.replace(b"\r", b"").replace(b"\n", b" "))
write("wrapped-40", b"\n".join(normal[i:i + 40] for i in range(0, len(normal), 40)) + b"\n")
write("quoted-deep", b"".join(b"> > > " + l + b"\n" for l in first))
write("header-only", first[0] + b"\n")
write("path-starts", b"C:\\ is in use by another program (x) ")
write("paren-inline", b"1) 2) 3) ")                       # shortcut starts without line ends
write("drive-letters", b"C:\\")                           # a path's start every three bytes
PY

printf '%-14s %10s %10s %10s %10s\n' paste seconds "peak MiB" "x time" "x memory"
normal_t= normal_m=
for paste in normal numbered flowed running no-line-ends wrapped-40 quoted-deep header-only path-starts \
    paren-inline drive-letters; do
    best_t= best_m=
    for ((round = 1; round <= ROUNDS; round++)); do
        /usr/bin/time -f '%e %M' -o "$work/time" "$updlog" explain "$work/$paste.txt" >/dev/null || true
        read -r t m < <(tail -n1 "$work/time")
        if [ -z "$best_t" ] || awk -v a="$t" -v b="$best_t" 'BEGIN {exit !(a < b)}'; then best_t=$t; fi
        if [ -z "$best_m" ] || [ "$m" -gt "$best_m" ]; then best_m=$m; fi
    done
    [ -n "$normal_t" ] || { normal_t=$best_t; normal_m=$best_m; }
    awk -v p="$paste" -v t="$best_t" -v m="$best_m" -v nt="$normal_t" -v nm="$normal_m" 'BEGIN {
        printf "%-14s %10.2f %10.1f %10.2f %10.2f\n", p, t, m / 1024, (nt > 0 ? t / nt : 0), m / nm }'
done
echo "(fastest of $ROUNDS round(s) for time, highest peak resident size for memory)"
