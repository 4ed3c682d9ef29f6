#!/usr/bin/env bash
# Builds both trees and runs every test: natively with the sanitizers, and the
# Windows programs under Wine on a private X display. Extra arguments go to
# both ctest runs, e.g. ./test.sh -R Crc32
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"

ensure_packages
configure_and_build

if [[ " $TREES " != *" win "* ]]; then
    ctest --test-dir "$BUILD/native" --output-on-failure -j "$JOBS" "$@"
    exit $?
fi
prefix=$BUILD/win/wineprefix
if [ "${KEEP_PREFIX:-0}" = 1 ] && [ -f "$prefix/system.reg" ]; then
    wine_env "$prefix"
else
    make_prefix "$prefix"
fi
trap stop_all EXIT
start_display
start_wine "$BUILD/win/bin"

status=0
if [[ " $TREES " == *" native "* ]]; then
    log "native tests"
    ctest --test-dir "$BUILD/native" --output-on-failure -j "$JOBS" "$@" || status=1
fi
log "windows tests (Wine, display $DISPLAY)"
ctest --test-dir "$BUILD/win" --output-on-failure -j "$JOBS" "$@" || status=1
exit $status
