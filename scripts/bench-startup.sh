#!/usr/bin/env bash
# Start-up benchmark under Wine with a warm Wine server: time from start until
# the main window is shown, DownloadStirpelloUpdate.exe against a minimal
# window program (emptywindow.exe), taken in turn; then the peak working set
# of each (the utility's over a full demo run, ./demo.sh --headless).
# Ends with a table of both ratios (start-up, then peak working set).
# Knobs: STIRPELLO_BUILD, RUNS (default 30), MEMORY=0 skips the demo run.
set -euo pipefail
source "$(dirname "$0")/common.sh"
source "$ROOT/scripts/world.sh"
source "$ROOT/scripts/demo/scenarios.sh"

RUNS=${RUNS:-30}
ensure_packages
TREES=win BUILD_TARGETS="DownloadStirpelloUpdate emptywindow startuptime winehold guidriver" configure_and_build
bin=$BUILD/win/bin

prefix=$BUILD/win/wineprefix
[ -f "$prefix/system.reg" ] || make_prefix "$prefix"
wine_env "$prefix"
trap stop_all EXIT
start_display
start_wine "$bin"
quiet wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f

# The utility starts in an empty folder: it reads nothing there, and a run
# is never begun (nobody presses the button).
scratch=$BUILD/bench-startup
rm -rf "$scratch"
mkdir -p "$scratch"
log "start-up, $RUNS runs each ($WIN_ARCH build, display $DISPLAY)"
(cd "$scratch" && wine "$bin/startuptime.exe" --runs "$RUNS" --warmup 3 \
    "$(win "$bin/DownloadStirpelloUpdate.exe")" "$(win "$bin/emptywindow.exe")" </dev/null) | tr -d '\r' |
    tee "$scratch/startup.out"
load=$(cut -d' ' -f1-3 /proc/loadavg)
startup_row=$(awk '$1 == "DownloadStirpelloUpdate.exe" { own = $3; r = $5; m = $6 }
    $1 == "emptywindow.exe" { peer = $3 }
    END { printf "| start-up to window shown vs an empty window, Wine (median; min ratio %s) | %s vs %s ms | %s |", m, own, peer, r }' \
    "$scratch/startup.out")
table() {
    echo
    echo "Start-up and memory ($WIN_ARCH build), load $load"
    echo "| Benchmark | Figures | Ratio |"
    echo "|---|---|---|"
    echo "$startup_row"
    [ -n "${1:-}" ] && echo "$1"
    return 0
}

[ "${MEMORY:-1}" = 1 ] || { table; exit 0; }
# The peer's peak: its Wine process while its window is up.
wine "$bin/emptywindow.exe" </dev/null >/dev/null 2>&1 &
peer=$!
peer_kib=0
for _ in $(seq 1 30); do
    sleep 0.1
    for p in /proc/[0-9]*; do
        c=
        read -r -d "" c 2>/dev/null <"$p/cmdline" || true
        [[ $c == *emptywindow.exe* ]] || continue
        tr "\\0" "\\n" 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=$prefix" || continue
        h=$(awk '/^VmHWM:/ { print $2 }' "$p/status" 2>/dev/null)
        [ -n "$h" ] && [ "$h" -gt "$peer_kib" ] && peer_kib=$h
    done
done
quiet wine "$bin/guidriver.exe" window "Empty Window" ";" close || true
wait "$peer" 2>/dev/null || true
stop_all
trap - EXIT

log "peak working set over a full demo run (./demo.sh --headless)"
"$ROOT/demo.sh" --headless >"$scratch/demo.out" 2>&1 || { tail -n 30 "$scratch/demo.out" >&2; exit 1; }
demo_kib=$(cat "$BUILD/demo/major-update/peak.txt")
awk -v u="$demo_kib" -v e="$peer_kib" 'BEGIN {
    printf "%-32s %9s\n", "peak working set (VmHWM)", "MiB"
    printf "%-32s %9.1f\n", "DownloadStirpelloUpdate.exe", u / 1024
    printf "%-32s %9.1f\n", "emptywindow.exe", e / 1024
    if (e > 0) printf "ratio %.2f\n", u / e
}'
table "$(awk -v u="$demo_kib" -v e="$peer_kib" 'BEGIN {
    printf "| peak working set over a full run vs an empty window | %.1f vs %.1f MiB | %.2f |", u / 1024, e / 1024, e > 0 ? u / e : 0
}')"
