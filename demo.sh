#!/usr/bin/env bash
# The utility at work on a sample installation in a Wine prefix of its own,
# against the loopback update site. See ./demo.sh --help.
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"
source "$ROOT/scripts/world.sh"
source "$ROOT/scripts/demo/scenarios.sh"

usage() {
    cat <<EOF
usage: ./demo.sh [--scenario NAME] [--headless] [--scale PERCENT]

Builds the utility, makes a demo Wine prefix in $BUILD/demo/ with a sample
installation (registry key, desktop shortcut, SPEngine.exe 1.0.9.5 Complete
Edition, an outdated Stirpello.exe 1.3.8.2, Stirpello.ini with
CheckOnOrAfterDate), starts the loopback update site and runs the utility.

On your own X display you press the button and answer the boxes yourself.
With no usable display, or with --headless, it runs on a private Xvfb, the GUI
driver presses and answers, and screenshots of the main stages are saved.
At the end it prints the run log, what changed in Stirpello.ini and the
version of the update module in place, and stops everything it started.

--scale 125, 150 or 200 runs with the display at that scale (on a 1920x1080
Xvfb when headless); the screenshots then go to $BUILD/demo/screenshots-PERCENT/.

Scenarios (default: major-update):
$(scenario_list)
EOF
}

scenario=major-update
headless=0
scale=100
while [ $# -gt 0 ]; do
    case $1 in
    --scenario) [ $# -ge 2 ] || { usage >&2; exit 2; }; scenario=$2; shift 2 ;;
    --scenario=*) scenario=${1#*=}; shift ;;
    --headless) headless=1; shift ;;
    --scale) [ $# -ge 2 ] || { usage >&2; exit 2; }; scale=$2; shift 2 ;;
    --scale=*) scale=${1#*=}; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "demo.sh: unknown argument $1" >&2; usage >&2; exit 2 ;;
    esac
done
scenario=${scenario//_/-}
scenario_known "$scenario" || { echo "demo.sh: unknown scenario $scenario" >&2; usage >&2; exit 2; }
case $scale in
100 | 125 | 150 | 200) dpi=$((scale * 96 / 100)) ;;
*) echo "demo.sh: --scale takes 100, 125, 150 or 200, not $scale" >&2; exit 2 ;;
esac

fail() { echo "demo.sh: $*" >&2; exit 1; }

ensure_packages
# One demo at a time in a tree: a second one would rebuild the installation,
# the prefix and the site under the first, and stop its Wine when it ends.
mkdir -p "$BUILD"
exec 9>"$BUILD/demo.lock"
if ! flock -n 9; then
    log "another demo runs in this tree: waiting for it to end"
    flock -w 900 9 || fail "the other demo in this tree did not end within 15 minutes"
fi
# A display the user can see: DISPLAY set and answering.
if [ "$headless" = 0 ] && { [ -z "${DISPLAY:-}" ] || ! timeout 5 xwd -root -silent >/dev/null 2>&1; }; then
    headless=1
fi
TREES=native BUILD_TARGETS="fakesite updcat updlog" configure_and_build
TREES=win BUILD_TARGETS="DownloadStirpelloUpdate guidriver e2etool update_module engine_fixtures winehold ver_1_3_8_2" \
    configure_and_build
bin=$BUILD/win/bin
native=$BUILD/native/bin

demo=$BUILD/demo
prefix=$demo/wineprefix
mkdir -p "$demo"
# The prefix is kept between runs (making one takes about 15 s); the world in
# it is laid anew every run.
if [ -f "$prefix/.demo-ready" ]; then
    wine_env "$prefix"
else
    make_prefix "$prefix"
    : >"$prefix/.demo-ready"
fi

holder_pid=
sampler_pid=
finish() {
    local status=$?
    stop_site
    if [ -n "$holder_pid" ]; then
        : >"$work/run/stop"
        wait "$holder_pid" 2>/dev/null || true
    fi
    if [ -n "$sampler_pid" ]; then kill "$sampler_pid" 2>/dev/null || true; wait "$sampler_pid" 2>/dev/null || true; fi
    stop_all
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT TERM

# The scale is read by Wine's desktop as it starts: set before the server.
set_display_scale "$dpi"
if [ "$headless" = 1 ]; then
    if [ "$scale" = 100 ]; then start_display; else start_display 1920x1080x24; fi
    log "headless: private display $DISPLAY"
fi
[ "$scale" = 100 ] || log "display scale $scale% ($dpi dpi)"
start_wine "$bin"
# Unmanaged windows close at once on Xvfb; on the user's display the window
# manager should frame them.
managed=N
[ "$headless" = 0 ] && managed=Y
quiet wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d "$managed" /f

# --- the sample installation -------------------------------------------------
work=$demo/$scenario
rm -rf "$work"
shots=$demo/screenshots
[ "$scale" = 100 ] || shots=$demo/screenshots-$scale
mkdir -p "$shots"
rm -f "$shots/$scenario"-*.png
inst_dir="$prefix/drive_c/Program Files (x86)/Stirpello"
rm -rf "$inst_dir"
world_init "$work" "$inst_dir" "$bin" "$native"
world_clear
cp "$bin/engine_1095_marked.exe" "$inst/SPEngine.exe"
cp "$bin/ver_1_3_8_2.exe" "$inst/Stirpello.exe"
demo_ini
cp "$inst/Stirpello.ini" "$work/Stirpello.ini.before"
set_registry
add_shortcut Stirpello.exe
# Long enough for a person at the keyboard.
SITE_LIFETIME=1800
scenario_world "$scenario"

# Program Files as on Windows: only administrators can change it (Wine's
# user, who owns every file there, is taken as Administrators: test and demo
# builds only). The utility is started as UAC starts it for an
# administrator, with a limited token, and asks for rights once.
export STIRPELLO_TEST_ADMIN_SID=S-1-5-21-0-0-0-1000
export E2E_START=start-limited

log "sample installation: $wininst (= $inst)"
log "loopback site: $STIRPELLO_SITE_HOST (product site $STIRPELLO_SITE_HOST, probe $STIRPELLO_PROBE_URL)"

sample_peak "$prefix" "$work/peak.txt" &
sampler_pid=$!

driver_failed=0
# --- the run -------------------------------------------------------------------
if [ "$headless" = 1 ]; then
    log "scenario $scenario: the GUI driver presses the button and answers the boxes"
    scenario_drive "$scenario"
    if ! run_driver; then
        cat "$work/driver.out" >&2
        driver_failed=1
    fi
else
    log "scenario $scenario on display $DISPLAY"
    scenario_tell "$scenario"
    echo "Press \"Click here to begin the update process\" and answer the boxes;"
    echo "close the utility's window if it stays open at the end."
    printf 'timeout 86400000\ncd %s\nstart-limited %s\\DownloadStirpelloUpdate.exe\nexited\n' "$winwork" "$winbin" \
        >"$work/interactive.txt"
    wine "$bin/guidriver.exe" --script "$(win "$work/interactive.txt")" </dev/null >/dev/null 2>&1 || true
fi

kill "$sampler_pid" 2>/dev/null || true
wait "$sampler_pid" 2>/dev/null || true
sampler_pid=

# --- what it did -------------------------------------------------------------
report "$scenario"
[ "$driver_failed" = 0 ] || fail "the GUI driver stopped: see $work/driver.out"
