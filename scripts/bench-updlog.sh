#!/usr/bin/env bash
# updlog trails against the pipeline a publisher would otherwise write,
#   zcat LOG | grep -o 'err=[^& ]*' | sort | uniq -c
# on one generated gzip access log (SIZE_MB of text before compression,
# default 1024), paired in one run: wall time and peak memory of each, and the
# ratio. Native, Release, no sanitizers. Knobs: SIZE_MB, ROUNDS (default 1).
set -euo pipefail
source "$(dirname "$0")/common.sh"
SIZE_MB=${SIZE_MB:-1024}
ROUNDS=${ROUNDS:-1}
cmake -S "$ROOT" -B "$BUILD/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTIRPELLO_SANITIZE=OFF \
    -DSTIRPELLO_BENCH=ON >/dev/null
cmake --build "$BUILD/bench" -j "$JOBS" --target updlog >/dev/null
updlog=$BUILD/bench/bin/updlog
work=$BUILD/bench/updlog-run
mkdir -p "$work"
gz=$work/access-${SIZE_MB}MB.log.gz

if [ ! -s "$gz" ]; then
    log "generating $gz"
    # An 8 MB block of a month's traffic: the utility's catalogue requests
    # with their trails (60%), other requests (38%), junk lines (2%).
    python3 - "$work/block.log" <<'PY'
import random, sys
r = random.Random(18)
trails = ["1OK", "1OK", "1OK", "1OK-GDW", "UMX-1OK", "BLK", "INF-BLK", "IER-1OK", "ENT", "UMX-INF-1OK"]
utilities = ["15003", "15003", "15002", "14010"]
installed = [("109", "1095"), ("109", "1094"), ("108", "1082"), ("110", "1101")]
out = []
size = 0
while size < 8 << 20:
    day = r.randint(1, 30)
    stamp = "[%02d/Nov/2026:%02d:%02d:%02d +0100]" % (day, r.randint(0, 23), r.randint(0, 59), r.randint(0, 59))
    ip = "%d.%d.%d.%d" % (r.randint(1, 223), r.randint(0, 255), r.randint(0, 255), r.randint(1, 254))
    k = r.random()
    if k < 0.60:
        short, full = r.choice(installed)
        line = '%s - - %s "GET /updates/SP%s.UPD?from=utility&random=%d&updating=%s&err=%s-%s HTTP/1.1" 200 %d "-" "Mozilla/3.0 (compatible; Indy Library)"' % (
            ip, stamp, short, r.randint(0, 99999), full, r.choice(utilities), r.choice(trails), r.randint(300, 900))
    elif k < 0.98:
        path = r.choice(["/", "/index.html", "/send/file/184287-IUDF/Stirpello.exe", "/images/logo.png", "/updates/SP109.UPD?from=module&updating=1095"])
        line = '%s - - %s "GET %s HTTP/1.1" 200 %d "https://www.stirpello.com/" "Mozilla/5.0 (Windows NT 10.0; Win64; x64)"' % (ip, stamp, path, r.randint(100, 90000))
    else:
        line = r.choice(['%s - - %s "\\x16\\x03\\x01" 400 157 "-" "-"' % (ip, stamp), "garbage line without a date"])
    out.append(line)
    size += len(line) + 1
open(sys.argv[1], "w").write("\n".join(out) + "\n")
PY
    block=$(stat -c %s "$work/block.log")
    blocks=$(( (SIZE_MB * 1048576 + block - 1) / block ))
    for ((i = 0; i < blocks; i++)); do cat "$work/block.log"; done | gzip -1 >"$gz.tmp"
    mv "$gz.tmp" "$gz"
fi
log "$(du -h "$gz" | cut -f1) compressed, $SIZE_MB MB of text"

# measure NAME COMMAND: wall seconds and peak resident size (the largest
# process of a pipeline), appended to $work/NAME.times.
measure() {
    local name=$1
    shift
    /usr/bin/time -f '%e %M' -o "$work/$name.last" bash -c "$*"
    cat "$work/$name.last" >>"$work/$name.times"
}
rm -f "$work"/*.times
for ((round = 1; round <= ROUNDS; round++)); do
    measure updlog "'$updlog' trails --csv '$gz' >'$work/updlog.out'"
    measure pipeline "zcat '$gz' | grep -o 'err=[^& ]*' | sort | uniq -c >'$work/pipeline.out'"
done

# Both counted the same runs.
runs=$(awk -F, 'NR == 1 {for (i = 1; i <= NF; i++) if ($i == "runs") c = i} $1 == "total" {print $c}' "$work/updlog.out")
piped=$(awk '{n += $1} END {print n}' "$work/pipeline.out")
[ "$runs" = "$piped" ] || { echo "updlog counted $runs runs, the pipeline $piped" >&2; exit 1; }

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
u_time=$(cut -d' ' -f1 "$work/updlog.times" | median)
p_time=$(cut -d' ' -f1 "$work/pipeline.times" | median)
u_mem=$(cut -d' ' -f2 "$work/updlog.times" | sort -n | tail -n1)
p_mem=$(cut -d' ' -f2 "$work/pipeline.times" | sort -n | tail -n1)
echo "$runs runs counted by both; $ROUNDS round(s), median wall time, highest peak resident size"
awk -v ut="$u_time" -v pt="$p_time" -v um="$u_mem" -v pm="$p_mem" 'BEGIN {
    printf "%-36s %10s %10s\n", "", "seconds", "peak MiB"
    printf "%-36s %10.2f %10.1f\n", "updlog trails", ut, um / 1024
    printf "%-36s %10.2f %10.1f\n", "zcat | grep -o | sort | uniq -c", pt, pm / 1024
    printf "ratio: updlog %.2fx faster, %.1fx less memory\n", pt / ut, pm / um
}'
