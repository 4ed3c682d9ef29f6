#!/usr/bin/env bash
# Builds both trees and runs every test: natively with the sanitizers, and the
# Windows programs under Wine on a private X display. Extra arguments go to
# both ctest runs, e.g. ./test.sh -R Crc32
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"

ensure_packages
configure_and_build

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
trap stop_all EXIT
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
exit $status
