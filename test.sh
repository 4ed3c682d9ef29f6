#!/usr/bin/env bash
# Builds both trees and runs every test: natively with the sanitizers, and the
# Windows programs under Wine on a private X display. Extra arguments go to
# both ctest runs, e.g. ./test.sh -R Crc32
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"

# Inside the 32-bit guest (scripts/vm32.sh): the i686 tree, built on the
# host, is only tested here.
if [ "${STIRPELLO_LANE32_GUEST:-0}" = 1 ]; then
    WIN_ARCH=i686 pick_win_arch
    # The emulated guest runs the programs several times slower.
    export GUIDRIVER_TIME_SCALE=${GUIDRIVER_TIME_SCALE:-4}
    export STIRPELLO_TEST_TIME_SCALE=${STIRPELLO_TEST_TIME_SCALE:-4}
    make_prefix "$BUILD/win32/wineprefix"
    trap stop_all EXIT
    start_display
    start_wine "$BUILD/win32/bin"
    log "i686 windows tests (32-bit Wine under WOW64, display $DISPLAY)"
    # Emulation makes the guest's timing uneven: a failed test gets one more
    # try here (never on the host), and its first failure stays in the output.
    ctest --test-dir "$BUILD/win32" --output-on-failure -j "$JOBS" --repeat until-pass:2 "$@"
    exit
fi

# Installed first: whether the 32-bit loader starts is only known once wine32 is here.
ensure_packages

# The shipped program is i686. Where this kernel runs 32-bit code, the
# Windows tree is that build. Elsewhere the Windows tree is x86_64 and the
# i686 tree is tested in a guest (LANE32=auto: on full runs, LANE32=1 also
# with picked tests, LANE32=0 never).
lane32=0 lane32_pid=
if [[ " $TREES " == *" win "* ]] && [ -z "${WIN_ARCH:-}" ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    case "${LANE32:-auto}" in
    1) lane32=1 ;;
    auto) [ $# -eq 0 ] && [ -z "${BUILD_TARGETS:-}" ] && lane32=1 ;;
    esac
    if [ $lane32 = 1 ]; then
        log "32-bit lane: the i686 tree in a qemu guest (scripts/vm32.sh), since this kernel runs no 32-bit code"
    else
        log "32-bit lane: off (LANE32=1 runs it in a qemu guest; this kernel runs no 32-bit code)"
    fi
elif [[ " $TREES " == *" win "* ]]; then
    log "32-bit lane: the Windows tree itself, where the kernel runs 32-bit code (or WIN_ARCH is set)"
fi

configure_and_build
if [ $lane32 = 1 ]; then
    log "windows tree (i686, for the 32-bit lane)"
    (WIN_ARCH=i686 WIN_TOOLCHAIN=$ROOT/cmake/mingw-i686.cmake win_tree "$BUILD/win32"
     cmake -S "$ROOT" -B "$BUILD/win32" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" "$TEST_OVERRIDES" -DSTIRPELLO_TIMEOUT_SCALE=4 >/dev/null
     build_targets "$BUILD/win32")
    # The guest runs beside the host's tests: its emulator keeps about one
    # core busy. Nothing the guest reads changes while it runs.
    lane32_log=$BUILD/vm32/lane.log
    mkdir -p "$BUILD/vm32"
    lane32_start=$SECONDS
    "$ROOT/scripts/vm32.sh" env STIRPELLO_LANE32_GUEST=1 JOBS="$JOBS" STIRPELLO_BUILD="$BUILD" \
        "$ROOT/test.sh" "$@" >"$lane32_log" 2>&1 &
    lane32_pid=$!
    trap stop_lane32 EXIT
fi
stop_lane32() { [ -z "${lane32_pid:-}" ] || kill "$lane32_pid" 2>/dev/null || true; }
# The lane's output and time, after the host's, so that each reads whole.
lane32_finish() {
    [ $lane32 = 1 ] || return 0
    local rc=0
    wait "$lane32_pid" || rc=$?
    lane32_pid=
    log "32-bit lane output (qemu guest, $BUILD/vm32/lane.log)"
    cat "$lane32_log"
    log "32-bit lane: $((SECONDS - lane32_start)) s, exit status $rc"
    return $rc
}

# A short fuzz of the catalogue parser in its own tree: FUZZ_SECONDS per
# target, 15 by default on a full run, none when tests or targets are picked.
fuzz_default=15
{ [ $# -gt 0 ] || [ -n "${BUILD_TARGETS:-}" ]; } && fuzz_default=0
fuzz_smoke() {
    local seconds=${FUZZ_SECONDS:-$fuzz_default}
    [[ " $TREES " == *" native "* ]] && [ "$seconds" -gt 0 ] || return 0
    log "fuzz smoke, ${seconds}s per target"
    "$ROOT/scripts/fuzz.sh" "$seconds"
}

if [[ " $TREES " != *" win "* ]]; then
    status=0
    fuzz_smoke || status=1
    ctest --test-dir "$BUILD/native" --output-on-failure -j "$JOBS" "$@" || status=1
    exit $status
fi
prefix=$BUILD/win/wineprefix
if [ "${KEEP_PREFIX:-0}" = 1 ] && [ -f "$prefix/system.reg" ]; then
    wine_env "$prefix"
else
    make_prefix "$prefix"
    # The display-scale runs' prefix is made anew on first use.
    if [ -d "$prefix-scale" ]; then WINEPREFIX=$prefix-scale wineserver -k >/dev/null 2>&1 || true; fi
    rm -rf "$prefix-scale"
fi
trap 'stop_lane32; stop_all' EXIT
start_display
start_wine "$BUILD/win/bin"

status=0
# The fuzz smoke goes first so that the output ends with ctest's summaries.
fuzz_smoke || status=1
if [[ " $TREES " == *" native "* ]]; then
    log "native tests"
    ctest --test-dir "$BUILD/native" --output-on-failure -j "$JOBS" "$@" || status=1
fi
log "windows tests (Wine, display $DISPLAY)"
ctest --test-dir "$BUILD/win" --output-on-failure -j "$JOBS" "$@" || status=1
lane32_finish || status=1
exit $status
