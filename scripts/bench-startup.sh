#!/usr/bin/env bash
# Start-up benchmark under Wine with a warm Wine server: time from start until
# the main window is shown, DownloadStirpelloUpdate.exe against a minimal
# window program (emptywindow.exe), taken in turn; then the peak working set
# of each (the utility's over a full demo run, ./demo.sh --headless).
# Prints what holds each peak by kind of mapping, and ends with a table of
# both ratios (start-up, then peak working set).
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
echo "(shown: the first visible window without an owner; the utility's is its task-bar window, shown just before its main window)"
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
        if [ -n "$h" ] && [ "$h" -gt "$peer_kib" ]; then
            peer_kib=$h
            cat "$p/smaps" >"$scratch/peer.smaps" 2>/dev/null || true
        fi
    done
done
quiet wine "$bin/guidriver.exe" window "Empty Window" ";" close || true
wait "$peer" 2>/dev/null || true
stop_all
trap - EXIT

log "peak working set over a full demo run (./demo.sh --headless)"
"$ROOT/demo.sh" --headless >"$scratch/demo.out" 2>&1 || { tail -n 30 "$scratch/demo.out" >&2; exit 1; }
demo_kib=$(cat "$BUILD/demo/major-update/peak.txt")
cp "$BUILD/demo/major-update/peak.txt.smaps" "$scratch/utility.smaps" 2>/dev/null || : >"$scratch/utility.smaps"
[ -f "$scratch/peer.smaps" ] || : >"$scratch/peer.smaps"

# What holds each peak: resident KiB by kind of mapping, at the moment the
# peak last rose.
split_smaps() {
    awk '/^[0-9a-f]+-[0-9a-f]+ / {
            name = ""
            for (i = 6; i <= NF; i++) name = name (i > 6 ? " " : "") $i
            if (name ~ /(DownloadStirpelloUpdate|emptywindow)\.exe$/) kind = "program image (its own code and data)"
            else if (name == "" || name ~ /^\[(anon|stack)/) kind = "Windows-side heaps and stacks (anonymous)"
            else if (name == "[heap]") kind = "Unix-side heap (Wine, X11, fontconfig, gnutls)"
            else if (name ~ /\.(dll|drv|exe)$/) kind = "Wine DLL images (Windows side)"
            else if (name ~ /\.so(\.[0-9.]+)?$/) kind = "Unix libraries (Wine and the host)"
            else if (name ~ /^\/SYSV/) kind = "X shared memory (window surfaces)"
            else kind = "fonts, code pages, theme, locale"
            next
         }
         /^Rss:/ { kib[kind] += $2 }
         END { for (k in kib) printf "%s\t%d\n", k, kib[k] }' "$1"
}
# DLLs and Unix libraries resident at the utility's peak that the peer never
# loaded: what the run itself needs (networking, COM, the shell, crypto, the
# common controls).
extra_modules() {
    awk 'FNR == 1 { f++ } /^[0-9a-f]+-[0-9a-f]+ / { n = split($NF, a, "/"); name = a[n]; next }
         /^Rss:/ && name ~ /\.(dll|drv|so)/ { if (f == 1) peer[name] = 1; else own[name] += $2 }
         END { for (m in own) if (!(m in peer) && own[m] >= 64) printf "%d %s\n", own[m], m }' "$2" "$1" |
        sort -rn | head -n 14 | awk '{ printf "%s%s %.1f", (NR > 1 ? ", " : ""), $2, $1 / 1024 } END { print "" }'
}
echo
echo "What holds the peak (resident MiB, sampled when each peak last rose; a buffer briefer than the 50 ms sampling may be gone):"
join -t "$(printf '\t')" -a 1 -a 2 -e 0 -o 0,1.2,2.2 <(split_smaps "$scratch/utility.smaps" | sort) \
    <(split_smaps "$scratch/peer.smaps" | sort) |
    awk -F '\t' 'BEGIN { printf "  %-50s %9s %9s\n", "", "utility", "empty" }
        { printf "  %-50s %9.1f %9.1f\n", $1, $2 / 1024, $3 / 1024; u += $2; e += $3 }
        END { printf "  %-50s %9.1f %9.1f\n", "total (sampled resident set)", u / 1024, e / 1024 }'
echo "Loaded for the run, not by the empty window (MiB): $(extra_modules "$scratch/utility.smaps" "$scratch/peer.smaps")"
echo "The empty window is not a like peer for this row: a run also resolves shortcuts (COM, shell32),"
echo "checks the connection and downloads (ws2_32, wininet, iphlpapi), hashes with bcrypt (which under"
echo "Wine loads gnutls) and shows themed common controls and a second window; those images are Wine's,"
echo "as is about 1 MiB of stack that Wine touches for every thread alive (the download and its helpers)."
awk -v u="$demo_kib" -v e="$peer_kib" 'BEGIN {
    printf "%-32s %9s\n", "peak working set (VmHWM)", "MiB"
    printf "%-32s %9.1f\n", "DownloadStirpelloUpdate.exe", u / 1024
    printf "%-32s %9.1f\n", "emptywindow.exe", e / 1024
    if (e > 0) printf "ratio %.2f\n", u / e
}'
table "$(awk -v u="$demo_kib" -v e="$peer_kib" 'BEGIN {
    printf "| peak working set over a full run vs an empty window | %.1f vs %.1f MiB | %.2f |", u / 1024, e / 1024, (e > 0 ? u / e : 0)
}')"
