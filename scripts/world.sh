# The sample world that the end-to-end scenarios and the demo share: the
# product's registry key, a desktop shortcut, an installation folder with its
# settings file, a catalogue, the loopback site, and the GUI driver's script.
# shellcheck shell=bash
#
# world_init WORK INST WINBIN NATIVEBIN, with WINEPREFIX set and a Wine
# server running. The sourcing script defines fail MESSAGE.
# After it: $work, $inst, $bin, $native, $wininst, $winwork, $winbin, $desktop.

# Under ctest the tree's own runner picks the Wine loader; the demo and the
# scripts that source common.sh first have its wine already.
if ! declare -F wine >/dev/null; then
    wine() { "${WINE_RUN:?run through ./test.sh}" "$@"; }
fi
# The Windows form of a path. A winepath that fails is tried once more with
# its errors shown, and then the caller's `set -e` stops with a message.
win() {
    local p
    p=$(wine winepath -w "$1" 2>/dev/null) || p=$(wine winepath -w "$1") ||
        { echo "winepath failed for $1" >&2; return 1; }
    printf '%s\n' "$p"
}
quiet() { "$@" >/dev/null 2>&1 </dev/null; }

product_key='HKLM\Software\corvannaSystems\Stirpello'
installer_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Stirpello_is1'
main_title='"Stirpello \"Failsafe\" Update Utility"'
site_pid=

world_init() {
    work=$1 inst=$2 bin=$3 native=$4
    mkdir -p "$work/updates" "$work/run" "$inst"
    wininst=$(win "$inst")
    winwork=$(win "$work")
    winbin=$(win "$bin")
    desktop=
    local d
    for d in "$WINEPREFIX"/drive_c/users/*/Desktop; do
        case "$d" in */Public/Desktop) continue ;; esac
        [ -d "$d" ] && desktop=$d
    done
    [ -n "$desktop" ] || fail "no desktop folder in the prefix"
    shared_desktop=$WINEPREFIX/drive_c/users/Public/Desktop
    local_appdata=$(dirname "$desktop")/AppData/Local
}

# No keys, no shortcuts: a defined start, and what is left behind at the end.
world_clear() {
    quiet wine reg delete "$product_key" /f /reg:32 || true
    quiet wine reg delete "$installer_key" /f /reg:32 || true
    find "$desktop" "$shared_desktop" -maxdepth 1 -iname '*stirpello*' -delete 2>/dev/null || true
    rm -rf "$local_appdata/VirtualStore" "$local_appdata/Stirpello"
}

set_registry() {
    quiet wine reg add "$product_key" /v InstallPath /t REG_SZ /d "$wininst" /f /reg:32 ||
        fail "cannot write the registry"
}
# A desktop shortcut to a file of the installation.
add_shortcut() {
    quiet wine "$bin/e2etool.exe" link "$(win "$desktop")\\Stirpello.lnk" "$wininst\\$1" ||
        fail "cannot make the shortcut"
}
# The same on the desktop shared by all users, where installers running as
# administrator put theirs.
add_shared_shortcut() {
    mkdir -p "$shared_desktop"
    quiet wine "$bin/e2etool.exe" link "$(win "$shared_desktop")\\Stirpello.lnk" "$wininst\\$1" ||
        fail "cannot make the shared shortcut"
}
# The settings file's VirtualStore copy, as the product running unelevated
# would have written it; prints its path.
virtual_ini() {
    local rest=${wininst#?:\\}
    local dir=$local_appdata/VirtualStore/${rest//\\//}
    mkdir -p "$dir"
    printf '%s\n' "$dir/Stirpello.ini"
}
write_ini() {
    printf '[Internet Connection]\r\nuseProxy=FALSE\r\n[Updates]\r\nCheckOnOrAfterDate=2031-01-01\r\n' \
        >"$inst/Stirpello.ini"
}
# catalogue KIND...: SP109.UPD with one update per kind, versions 10906 down.
catalogue() {
    local v=10906 kind src=
    for kind in "$@"; do
        src+=$'record\n  I01 '"$v"$'\n  S03 "'"$kind"$'"\nend\n'
        v=$((v - 1))
    done
    printf '%s' "$src" >"$work/catalogue.txt"
    "$native/updcat" build "$work/catalogue.txt" "$work/updates/SP109.UPD" >/dev/null
}
# forge_module OUT: the test module with one byte changed, brought back to
# the release size and CRC-32 by padmodule: what someone on the network path
# could serve. Only its SHA-256 tells it from the genuine one.
forge_module() {
    local size
    size=$(stat -c %s "$bin/update_module.exe")
    head -c $((size - 4)) "$bin/update_module.exe" >"$1.image"
    printf '\x5a' | dd of="$1.image" bs=1 seek=1200000 conv=notrunc status=none
    "$bin/../host/padmodule" "$1.image" "$1" "$size" 1348818072 || fail "cannot forge the module"
    rm -f "$1.image"
}
sha256_of() { sha256sum "$1" | cut -d' ' -f1; }

# start_site [--module FILE] [--fault PATH:FAULTS]...: the loopback site for
# probe, product site, catalogue and both download addresses (a later
# --module replaces the stub module).
start_site() {
    "$native/fakesite" --updates "$work/updates" --module "$bin/update_module.exe" \
        --lifetime "${SITE_LIFETIME:-170}" --log "$work/requests.log" "$@" >"$work/site.out" 2>&1 </dev/null &
    site_pid=$!
    local i port=
    for i in $(seq 1 100); do
        # The file may not be there yet: no error, under set -e and pipefail.
        port=$(head -n1 "$work/site.out" 2>/dev/null | tr -dc 0-9 || true)
        [ -n "$port" ] && break
        sleep 0.05
    done
    [ -n "$port" ] || fail "the loopback site did not start"
    : >>"$work/requests.log"
    export STIRPELLO_SITE_HOST=127.0.0.1:$port
    export STIRPELLO_PROBE_URL=http://127.0.0.1:$port/probe/
    export STIRPELLO_MIRROR_HOST=127.0.0.1:$port
    export STIRPELLO_UPDATE_HOST=127.0.0.1:$port
}
stop_site() {
    if [ -n "$site_pid" ]; then
        kill "$site_pid" 2>/dev/null || true
        wait "$site_pid" 2>/dev/null || true
        site_pid=
    fi
}

# drive_script LINE...: the driver's script that starts the utility, presses
# the button, then runs the lines (DRIVE_BEFORE_CLICK, when set, runs before
# the press; DRIVE_PRESS, when set, presses it instead of a click, with keys
# say); run_driver runs it into $work/driver.out.
drive_script() {
    {
        echo "timeout 30000"
        echo "cd $winwork"
        echo "${E2E_START:-start} $winbin\\DownloadStirpelloUpdate.exe"
        echo "window $main_title"
        [ -z "${DRIVE_BEFORE_CLICK:-}" ] || printf '%s\n' "$DRIVE_BEFORE_CLICK"
        printf '%s\n' "${DRIVE_PRESS:-click Button1}"
        printf '%s\n' "$@"
    } >"$work/driver.txt"
}
run_driver() {
    wine "$bin/guidriver.exe" --script "$(win "$work/driver.txt")" >"$work/driver.out" 2>&1 </dev/null
}
answer() { printf 'answer "%s" %s' "$1" "$2"; }
clipboard() { wine "$bin/guidriver.exe" clipboard 2>/dev/null </dev/null | tr -d '\r'; }
