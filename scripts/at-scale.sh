#!/usr/bin/env bash
# at-scale.sh DPI PREFIX PROGRAM [ARGS...]: runs a Windows test program with
# the display at DPI (96, 120, 144, 192) on a 1920x1080 screen.
#
# Wine's desktop reads the scale (LogPixels) once, as it starts, so a run at
# another scale needs a server of its own: PREFIX is a prefix kept for this
# (made on first use, reused by later runs at other scales), never the
# shared one of the test run. Runs that share PREFIX must not overlap (the
# tests hold one ctest lock). The program learns the scale asked for from
# STIRPELLO_EXPECT_DPI.
set -euo pipefail
source "$(dirname "$0")/common.sh"
[ $# -ge 3 ] || { echo "usage: $0 DPI PREFIX PROGRAM [ARGS...]" >&2; exit 2; }
dpi=$1 prefix=$2 program=$3
shift 3
bin=$(dirname "$program")

ms() { echo $(( $(date +%s%N) / 1000000 )); }
started=$(ms)
if [ -f "$prefix/.scale-ready" ]; then
    wine_env "$prefix"
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w
else
    make_prefix "$prefix" 2>/dev/null
    : >"$prefix/.scale-ready"
fi
made=$(ms)
trap stop_all EXIT
set_display_scale "$dpi"
start_display 1920x1080x24
start_wine "$bin" >/dev/null 2>&1
ready=$(ms)
echo "[scale] $dpi dpi: prefix $((made - started)) ms, server at the scale $((ready - made)) ms"
status=0
STIRPELLO_EXPECT_DPI=$dpi "$WINE" "$program" "$@" || status=$?
exit $status
