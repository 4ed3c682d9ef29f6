#!/usr/bin/env bash
# One end-to-end scenario: builds the test world (installation folder,
# registry key, desktop shortcut, settings file, catalogue, loopback site),
# runs the utility under Wine with the GUI driver answering every box by its
# text, then checks the log file, the clipboard, the settings file, the module
# in place and the launched module's record.
#   scenario.sh NAME      (names: see the case at the bottom)
# Needs the environment that ./test.sh sets up (prefix, Wine server, display)
# and the E2E_* variables from tests/e2e/CMakeLists.txt.
set -euo pipefail
name=$1
bin=${E2E_WIN_BIN:?}
native=${E2E_NATIVE_BIN:?}
: "${WINEPREFIX:?run through ./test.sh}"
for tool in fakesite updcat updlog; do
    if [ ! -x "$native/$tool" ]; then
        echo "SKIP: $native/$tool is not built (the native tree builds it)"
        exit 77
    fi
done

source "$(dirname "$0")/../../scripts/world.sh"
artifacts=$E2E_WORK/artifacts
rm -rf "$E2E_WORK/$name"
mkdir -p "$artifacts"
fail() {
    echo "FAIL [$name]: $*" >&2
    if [ -f "${log_file:-}" ]; then sed 's/^/log: /' "$log_file" >&2; fi
    exit 1
}
# The installation lies on the prefix's C: drive: a folder is judged from
# its volume's root down, and every folder above it there is the prefix's
# own (mode 0755), wherever the build tree is (a clone under /tmp would
# otherwise read as a folder that everyone may rename).
inst_dir=$WINEPREFIX/drive_c/e2e/$name
rm -rf "$inst_dir"
mkdir -p "$WINEPREFIX/drive_c/e2e"
chmod 0755 "$WINEPREFIX/drive_c/e2e"
world_init "$E2E_WORK/$name" "$inst_dir" "$bin" "$native"
chmod 0755 "$inst"
# The log file: in the program folder, or in the user's own folder where
# the user cannot write the program folder.
log_file=$inst/StirpelloUpdateLog.txt
user_update=$local_appdata/Stirpello/Update

holder_pid=
cleanup() {
    stop_site
    # A run a failed driver left behind would answer the next scenario's waits.
    pkill -f 'DownloadStirpelloUpdate.exe' 2>/dev/null || true
    if [ -n "$holder_pid" ]; then
        : >"$work/run/stop"
        wait "$holder_pid" 2>/dev/null || true
    fi
    world_clear
}
trap cleanup EXIT
world_clear

# --- the run ---------------------------------------------------------------
# drive LINE...: starts the utility, presses the button, then the lines.
drive() {
    drive_script "$@"
    if ! run_driver; then
        cat "$work/driver.out" >&2
        [ -f "$log_file" ] && sed 's/^/log: /' "$log_file" >&2
        fail "the GUI driver failed"
    fi
}
shot() { echo "screenshot $(win "$artifacts")\\$name-$1.png${2:+ $2}"; }

# --- the checks ------------------------------------------------------------
log_text() { tr -d '\r' <"$log_file"; }
expect_log() {
    [ -f "$log_file" ] || fail "no log file at $log_file"
    local line
    for line in "$@"; do
        log_text | grep -qxF -- "$line" || { log_text >&2; fail "log lacks: $line"; }
    done
}
expect_no_log() {
    local line
    for line in "$@"; do
        if log_text | grep -qF -- "$line"; then fail "log has: $line"; fi
    done
}
expect_clipboard_is_log() {
    [ "$(clipboard)" = "$(log_text)" ] || fail "the clipboard does not hold the log"
}
expect_ini() {
    tr -d '\r' <"$inst/Stirpello.ini" | grep -qxF -- "$1" || { cat "$inst/Stirpello.ini" >&2; fail "ini lacks $1"; }
}
expect_no_ini() {
    if tr -d '\r' <"$inst/Stirpello.ini" | grep -qiF -- "$1"; then fail "ini still has $1"; fi
}
expect_launched() {
    local i record=$inst/UpdateModuleLaunched.txt
    for i in $(seq 1 100); do
        [ -s "$record" ] && break
        sleep 0.05
    done
    [ -s "$record" ] || fail "the update module was not launched"
    grep -qF -- "$wininst\\Stirpello.exe" "$record" || fail "launched: $(cat "$record")"
}
expect_not_launched() {
    sleep 0.5
    [ ! -e "$inst/UpdateModuleLaunched.txt" ] || fail "the update module was launched"
}
# The utility's own version number, from its first log line, starts the trail.
own_number() {
    local v
    v=$(log_text | sed -n 's/^Stirpello Failsafe Update Utility Version //p' | head -n1)
    IFS=. read -r a b c d <<<"$v"
    echo $((a * 10000 + b * 1000 + c * 100 + d))
}
expect_catalogue_request() {
    local trail="$(own_number)$1"
    grep -qE "^GET /updates/SP109\.UPD\?from=utility&random=[0-9]{1,5}&updating=1095&err=$trail HTTP/1\.1" \
        "$work/requests.log" || { cat "$work/requests.log" >&2; fail "no catalogue request with err=$trail"; }
}
expect_no_download() {
    if grep -qE '^GET (/send/|/stirpelloweb/)' "$work/requests.log"; then fail "a download was made"; fi
}

# The run's log as the user would send it (the file, or the clipboard when
# there is none), kept as an artifact and read back by updlog as the support
# desk would, from the file and (Windows build) from the clipboard:
# expect_explained OUTCOME TRAIL-JSON FIRST-CAUSE [SUFFIX].
expect_explained() {
    local kept=$artifacts/$name${4:-}.log
    if [ -f "$log_file" ]; then cp "$log_file" "$kept"; else clipboard >"$kept"; fi
    local json
    json=$("$native/updlog" explain --json "$kept") || fail "updlog explain found no run in $kept"
    grep -qF "\"outcome\": \"$1\"" <<<"$json" || { echo "$json" >&2; fail "explain: outcome is not $1"; }
    grep -qF "\"trail\": $2" <<<"$json" || { echo "$json" >&2; fail "explain: trail is not $2"; }
    # The Windows build reads the same log from the clipboard, where the run put it.
    local clipped
    clipped=$(wine "$bin/updlog.exe" explain --json --clipboard </dev/null 2>&1 | tr -d '\r') ||
        fail "updlog.exe explain --clipboard: $clipped"
    [ "$clipped" = "$json" ] || { diff <(echo "$json") <(echo "$clipped") >&2; fail "explain --clipboard differs"; }
    local first
    first=$(grep -o '"cause": "[^"]*"' <<<"$json" | head -n1 || true)
    if [ -z "$3" ]; then
        grep -qF '"faults": []' <<<"$json" || { echo "$json" >&2; fail "explain: a fault in a good run"; }
    else
        grep -qF -- "$3" <<<"$first" || { echo "$json" >&2; fail "explain: first cause is not: $3"; }
    fi
}

cp "$bin/engine_1095_marked.exe" "$inst/SPEngine.exe"
press_ok='Press OK to close this utility and launch the update module'

case $name in
outdated_major)
    # Module 1.4.0.0 is outdated; a major update is offered: download (slowed
    # so that the download window can be seen), replace, mark, launch.
    cp "$bin/ver_1_4_0_0.exe" "$inst/Stirpello.exe"
    write_ini
    catalogue R B
    set_registry
    add_shortcut Stirpello.exe
    start_site --fault /send/file/184287-IUDF/Stirpello.exe:slow=120,piece=65536
    # Started from the keyboard; at the end a screen reader (another
    # process) reads what each mark means.
    DRIVE_PRESS=$'expect-focus Button1 5000\nexpect-taskbar "Stirpello Update Manager"\nkey Return' \
        drive 'window "Downloading File...."' "sleep 1000" "$(shot downloading)" \
        'window "Stirpello Update Manager"' "$(shot end)" \
        "window $main_title" "expect-accname S1Mark done" "expect-accname s2Mark done" \
        "expect-accname s3Mark done" 'expect-accname s4Mark "in progress"' \
        "$(answer "$press_ok" OK)" "exited 0"
    expect_log "Stirpello install found in registry - $wininst\\" \
        "1 Desktop Shortcuts found for Stirpello" \
        "Version 1.0.9.5 in $wininst\\ identified for update" \
        "Found existing update module 1.4.0.0" \
        "Found CheckOnOrAfterDate in Stirpello.ini file - deleting it" \
        "Internet access test 1 succeeded" \
        "Looks like there's an update available to 10906" \
        "Download completed" \
        "Running $wininst\\Stirpello.exe"
    expect_catalogue_request "-1OK"
    expect_clipboard_is_log
    expect_ini "wantsUpdate=TRUE"
    expect_no_ini CheckOnOrAfterDate
    cmp -s "$inst/Stirpello.exe" "$bin/update_module.exe" || fail "the module was not replaced"
    expect_launched
    expect_explained launched '["1OK"]' ""
    ;;
scanner_major)
    # Security software holds every new or changed .exe and .tmp in the
    # program folder for 3 s as soon as it can: the run waits for it, puts
    # the genuine module in place, starts it and leaves no temporary file.
    cp "$bin/ver_1_4_0_0.exe" "$inst/Stirpello.exe"
    write_ini
    catalogue R
    set_registry
    start_site
    wine "$bin/scanner.exe" "$wininst" 3000 "$(win "$work/run")\\stop" >"$work/scanner.out" 2>&1 </dev/null &
    holder_pid=$!
    sleep 0.5
    drive "$(answer "$press_ok" OK)" "exited 0"
    expect_log "Download completed" "Running $wininst\\Stirpello.exe"
    expect_no_log "Copy of new update module failed"
    cmp -s "$inst/Stirpello.exe" "$bin/update_module.exe" || fail "the module was not replaced"
    expect_launched
    leftovers=$(find "$inst" -iname '*.tmp')
    [ -z "$leftovers" ] || fail "temporary files left: $leftovers"
    : >"$work/run/stop"
    wait "$holder_pid" 2>/dev/null || true
    holder_pid=
    tr -d '\r' <"$work/scanner.out" | grep -q '^held [1-9]' || fail "the scanner held nothing: $(cat "$work/scanner.out")"
    expect_explained launched '["1OK"]' ""
    ;;
current_minor_no)
    # A current module and only a minor update; the user declines notices.
    cp "$bin/update_module.exe" "$inst/Stirpello.exe"
    write_ini
    catalogue B
    set_registry
    start_site
    drive "$(answer "Only a minor update is available currently... would you like to change your settings to notify you of minor updates?" No Confirm)" \
        "$(answer "$press_ok" OK)" "exited 0"
    expect_log "Found existing update module 1.4.0.1" \
        "Only minor updates found and minor update notification is turned off... user DOES NOT request it be turned on" \
        "Running $wininst\\Stirpello.exe"
    expect_catalogue_request "-1OK"
    expect_no_download
    expect_clipboard_is_log
    expect_ini "wantsUpdate=FALSE"
    expect_no_ini notifyForAnyUpdate
    expect_launched
    expect_explained launched '["1OK"]' ""
    ;;
no_internet)
    # Neither probe gets through: two boxes, -BLK, no catalogue request.
    cp "$bin/update_module.exe" "$inst/Stirpello.exe"
    write_ini
    catalogue R
    set_registry
    start_site
    # Port 1 on loopback: nothing listens, the connection is refused.
    export STIRPELLO_SITE_HOST=127.0.0.1:1 STIRPELLO_PROBE_URL=http://127.0.0.1:1/probe/
    drive "$(answer "Internet access is blocked! Make sure you're connected and check your firewall/security (e.g. NORTON) settings." OK)" \
        "$(answer "Run Stirpello, use TOOLS...SETTINGS... internet tab and check your proxy settings" OK)" \
        "$(answer "$press_ok" OK)" "exited 0"
    expect_log "Internet Access Blocked!" "Running $wininst\\Stirpello.exe"
    expect_no_log "Accessing internet"
    [ ! -s "$work/requests.log" ] || fail "the site was asked: $(cat "$work/requests.log")"
    expect_clipboard_is_log
    expect_ini "wantsUpdate=TRUE"
    expect_launched
    expect_explained launched '["BLK"]' "internet blocked"
    ;;
site_down)
    # The probe works, the product site answers 503: -GDW, one box, and the
    # catalogue is still asked for.
    cp "$bin/update_module.exe" "$inst/Stirpello.exe"
    write_ini
    catalogue R
    set_registry
    # The installer's key names the same folder: no multiple-copies warning.
    quiet wine reg add "$installer_key" /v "Inno Setup: App Path" /t REG_SZ /d "$wininst" /f /reg:32
    start_site --fault /:status=503
    drive "$(answer "Stirpello.com appears to be busy or down temporarily... if your update attempt fails wait a few hours and try again." OK)" \
        "$(answer "$press_ok" OK)" "exited 0"
    expect_log "IS Reg Key Dir=$wininst\\" "Internet access test 1 succeeded" "Stirpello.com down" \
        "Looks like there's an update available to 10906"
    expect_catalogue_request "-1OK-GDW"
    expect_clipboard_is_log
    expect_ini "wantsUpdate=TRUE"
    expect_launched
    expect_explained launched '["1OK", "GDW"]' "the Stirpello site did not answer"
    ;;
product_running)
    # A process runs Stirpello.exe: the box, then the window closes before the
    # installation is located, so no log file is written.
    cp "$bin/update_module.exe" "$inst/Stirpello.exe"
    write_ini
    set_registry
    start_site
    cp "$bin/e2etool.exe" "$work/run/Stirpello.exe"
    wine "$work/run/Stirpello.exe" hold "$(win "$work/run")\\ready" "$(win "$work/run")\\stop" \
        >/dev/null 2>&1 </dev/null &
    holder_pid=$!
    for i in $(seq 1 200); do [ -e "$work/run/ready" ] && break; sleep 0.05; done
    [ -e "$work/run/ready" ] || fail "the stand-in product did not start"
    drive "$(answer "Stirpello is running... close Stirpello (or reboot) and rerun this utility" OK)" "exited 0"
    [ ! -e "$inst/StirpelloUpdateLog.txt" ] || fail "a log file was written"
    clip=$(clipboard)
    grep -qxF -- "$(win "$work/run")\\Stirpello.exe is running..." <<<"$clip" ||
        { echo "$clip" >&2; fail "the clipboard lacks the running line"; }
    grep -q '^Stirpello Failsafe Update Utility Version ' <<<"$clip" || fail "the clipboard lacks the header"
    [ ! -s "$work/requests.log" ] || fail "the site was asked"
    expect_not_launched
    expect_explained stopped '[]' "Stirpello was running"
    ;;
no_module)
    # Found through a desktop shortcut only; no update module at all: the
    # download works, but there is no old module to replace, so the run ends
    # with the cross and the window stays open.
    write_ini
    catalogue R
    add_shortcut SPEngine.exe
    start_site --fault /send/file/184287-IUDF/Stirpello.exe:slow=60,piece=65536
    drive 'window "Downloading File...."' 'gone "Downloading File...." 30000' "sleep 500" "window $main_title" \
        "expect-visible s3Mark yes" "close" "exited 0"
    expect_log 'No "modern" (1.0.7 or higher) versions of Stirpello found in registry' \
        "Did not find an existing update module" \
        "Download completed" \
        "Copy of new update module failed"
    expect_no_log "Running "
    expect_catalogue_request "-UMX-1OK"
    expect_clipboard_is_log
    cmp -s "$inst/Download/Stirpello.exe" "$bin/update_module.exe" || fail "the download is not whole"
    [ ! -e "$inst/Stirpello.exe" ] || fail "a module was put in place"
    expect_not_launched
    expect_explained stopped '["UMX", "1OK"]' "there was no update module"
    ;;
open_folder)
    # A folder that everyone may write (mode 0777 reads as Everyone: write)
    # holding a "current" module that is not the publisher's: it is started
    # only with the user's own rights, and the log says why.
    chmod 0777 "$inst"
    cp "$bin/update_module_stub.exe" "$inst/Stirpello.exe"
    write_ini
    catalogue R
    set_registry
    start_site
    drive "$(answer "$press_ok" OK)" "exited 0"
    log_text | grep -q "^The program folder can be changed by ordinary users: .*S-1-1-0) may " ||
        { log_text >&2; fail "no line about the open folder"; }
    expect_log "Found existing update module 1.4.0.1" \
        "The update module was started with the signed-in user's own rights, not the utility's" \
        "Running $wininst\\Stirpello.exe"
    expect_launched
    grep -qF "[not elevated]" "$inst/UpdateModuleLaunched.txt" ||
        fail "started with: $(cat "$inst/UpdateModuleLaunched.txt")"
    expect_explained launched '["1OK"]' "the program folder can be changed by ordinary users"
    ;;
download_link)
    # Download\ is a link to a folder elsewhere: nothing is written through
    # it; the download goes to the user's own folder and the run completes.
    cp "$bin/ver_1_4_0_0.exe" "$inst/Stirpello.exe"
    write_ini
    catalogue R
    set_registry
    mkdir -p "$work/elsewhere"
    ln -s "$work/elsewhere" "$inst/Download"
    start_site
    drive "$(answer "$press_ok" OK)" "exited 0"
    expect_log "The update module is downloaded to $(win "$user_update")\\Download\\" "Download completed" \
        "Running $wininst\\Stirpello.exe"
    [ -z "$(ls -A "$work/elsewhere")" ] || fail "written through the link: $(ls -A "$work/elsewhere")"
    cmp -s "$inst/Stirpello.exe" "$bin/update_module.exe" || fail "the module was not replaced"
    expect_launched
    expect_explained launched '["1OK"]' ""
    ;;
forged_module | forged_in_download)
    # A module of the release size and CRC-32 but other bytes, served by the
    # site or left in Download\: refused by its SHA-256 and deleted; the old
    # module stays and nothing is launched.
    cp "$bin/ver_1_4_0_0.exe" "$inst/Stirpello.exe"
    write_ini
    catalogue R
    set_registry
    forge_module "$work/forged.exe"
    if [ "$name" = forged_module ]; then
        start_site --module "$work/forged.exe"
    else
        mkdir -p "$inst/Download"
        cp "$work/forged.exe" "$inst/Download/Stirpello.exe"
        start_site
    fi
    drive "$(answer "The file was corrupted during the transmission... try the download again (SHA-256)" OK)" \
        "window $main_title" "expect-visible s2Mark yes" "$(shot refused window)" "close" "exited 0"
    expect_log "Looks like there's an update available to 10906" \
        "The file was corrupted during the transmission... SHA-256 Actual=$(sha256_of "$work/forged.exe") Needed=$(sha256_of "$bin/update_module.exe")"
    expect_no_log "Download completed" "Running "
    if [ "$name" = forged_in_download ]; then expect_no_download; fi
    expect_clipboard_is_log
    [ ! -e "$inst/Download/Stirpello.exe" ] || fail "the forged file was kept"
    cmp -s "$inst/Stirpello.exe" "$bin/ver_1_4_0_0.exe" || fail "the module was replaced"
    expect_not_launched
    expect_explained stopped '["1OK"]' "the SHA-256 did not match" "-first"
    if [ "$name" = forged_in_download ]; then
        # The next run fetches the genuine module and completes.
        drive "$(answer "$press_ok" OK)" "exited 0"
        expect_log "Download completed" "Running $wininst\\Stirpello.exe"
        expect_no_log "SHA-256"
        cmp -s "$inst/Stirpello.exe" "$bin/update_module.exe" || fail "the genuine module was not put in place"
        expect_launched
        expect_explained launched '["1OK"]' ""
    fi
    ;;
bad_module_digest)
    # A malformed digest in the environment: the error box on the press, and
    # nothing else happens.
    cp "$bin/ver_1_4_0_0.exe" "$inst/Stirpello.exe"
    write_ini
    catalogue R
    set_registry
    start_site
    export STIRPELLO_MODULE_SHA256=$(printf '%063d' 0)
    drive "$(answer "The update module's SHA-256 given in the environment is not 64 hexadecimal digits" OK)" \
        "window $main_title" "expect-visible S1Mark no" "close" "exited 0"
    [ ! -e "$inst/StirpelloUpdateLog.txt" ] || fail "a log file was written"
    [ ! -s "$work/requests.log" ] || fail "the site was asked"
    expect_ini "CheckOnOrAfterDate=2031-01-01"
    cmp -s "$inst/Stirpello.exe" "$bin/ver_1_4_0_0.exe" || fail "the module was replaced"
    expect_not_launched
    ;;
shared_desktop)
    # No registry key, and the only shortcut is on the desktop shared by all
    # users, where an installer running as administrator puts it: found and
    # updated.
    cp "$bin/ver_1_4_0_0.exe" "$inst/Stirpello.exe"
    write_ini
    catalogue R
    add_shared_shortcut SPEngine.exe
    start_site
    drive "$(answer "$press_ok" OK)" "exited 0"
    expect_log 'No "modern" (1.0.7 or higher) versions of Stirpello found in registry' \
        "0 Desktop Shortcuts found for Stirpello" \
        "1 Shared Desktop Shortcuts found for Stirpello" \
        "Version 1.0.9.5 in $wininst\\ identified for update" \
        "Download completed" \
        "Running $wininst\\Stirpello.exe"
    cmp -s "$inst/Stirpello.exe" "$bin/update_module.exe" || fail "the module was not replaced"
    expect_launched
    expect_explained launched '["1OK"]' ""
    ;;
virtualstore)
    # The product ran unelevated and wrote its settings to its VirtualStore
    # copy, which it reads from then on: the keys that hold back updates are
    # only there. They are removed there, and wantsUpdate reaches both copies.
    cp "$bin/update_module.exe" "$inst/Stirpello.exe"
    printf '[Internet Connection]\r\nuseProxy=FALSE\r\n' >"$inst/Stirpello.ini"
    vini=$(virtual_ini)
    printf '[Internet Connection]\r\nuseProxy=FALSE\r\n[Updates]\r\nCheckOnOrAfterDate=2031-01-01\r\nNotifyAfterUpdateTo=10905\r\n' \
        >"$vini"
    catalogue R
    set_registry
    start_site
    drive "$(answer "$press_ok" OK)" "exited 0"
    expect_log "Stirpello reads its settings from the VirtualStore copy $(win "$vini") - repairing both copies" \
        "Found CheckOnOrAfterDate in Stirpello.ini file - deleting it" \
        "Found NotifyAfterUpdateTo in Stirpello.ini file - deleting it" \
        "Running $wininst\\Stirpello.exe"
    if tr -d '\r' <"$vini" | grep -qiE 'CheckOnOrAfterDate|NotifyAfterUpdateTo'; then
        cat "$vini" >&2
        fail "the VirtualStore copy still holds a key that holds back updates"
    fi
    tr -d '\r' <"$vini" | grep -qxF "wantsUpdate=TRUE" || fail "the VirtualStore copy lacks wantsUpdate"
    expect_ini "wantsUpdate=TRUE"
    expect_launched
    expect_explained launched '["1OK"]' ""
    ;;
slow_catalogue)
    # The catalogue trickles in over about 10 s, read in direct mode: no user
    # input is taken meanwhile, but the window keeps answering, so Windows
    # never calls it hung.
    cp "$bin/update_module.exe" "$inst/Stirpello.exe"
    write_ini
    catalogue R
    set_registry
    size=$(stat -c %s "$work/updates/SP109.UPD")
    start_site --fault "/updates/SP109.UPD:slow=1000,piece=$(((size + 9) / 10))"
    analyzing='"Progress - Analyzing available updates..."'
    # Each check is made while the read still goes on. The run is started
    # with Enter, and Enter again meanwhile starts no second one.
    DRIVE_PRESS="key Return" \
        drive "expect-text GroupBox1 $analyzing 20000" "sleep 1000" "ping 1000" "expect-text GroupBox1 $analyzing" \
        "mouse-down Button1" "sleep 500" "ping 1000" "expect-pushed Button1 no" "key Return" \
        "sleep 3000" "ping 1000" "expect-text GroupBox1 $analyzing" \
        "$(answer "$press_ok" OK)" "exited 0"
    grep -c '^ping answered' "$work/driver.out" | grep -qx 3 || fail "not every ping was answered"
    log_text | grep -c '^Stirpello Failsafe Update Utility Version' | grep -qx 1 || fail "not exactly one run"
    expect_log "Looks like there's an update available to 10906" "Running $wininst\\Stirpello.exe"
    expect_launched
    ;;
closed_in_probe | closed_at_confirm | closed_at_press_ok | closed_in_download)
    # The user closes the main window (WM_CLOSE) while the run waits on a box
    # or the download window: the log goes out as on any close, and the run
    # stops there: no settings write after the close, no copy, no launch.
    write_ini
    set_registry
    reached="Internet access test 1 succeeded"
    case $name in
    closed_in_probe)
        # The probe page never answers: the wait would last the whole time-out.
        cp "$bin/update_module.exe" "$inst/Stirpello.exe"
        catalogue R
        start_site --fault /probe/:stall
        wait_for='expect-text GroupBox1 "Progress - Testing internet access..." 20000'
        reached="Found existing update module 1.4.0.1"
        ;;
    closed_at_confirm)
        cp "$bin/update_module.exe" "$inst/Stirpello.exe"
        catalogue B
        start_site
        wait_for='window "Confirm"'
        ;;
    closed_at_press_ok)
        cp "$bin/update_module.exe" "$inst/Stirpello.exe"
        catalogue R
        start_site
        wait_for='window "Stirpello Update Manager"'
        ;;
    closed_in_download)
        cp "$bin/ver_1_4_0_0.exe" "$inst/Stirpello.exe"
        catalogue R
        start_site --fault /send/file/184287-IUDF/Stirpello.exe:slow=120,piece=65536
        wait_for='window "Downloading File...."'
        ;;
    esac
    # The wait ends with the window, well before the probe's time-out of 7 s.
    drive "$wait_for" "sleep 300" "window $main_title" "close" "gone $main_title 5000" "exited 0 4000"
    expect_log "Version 1.0.9.5 in $wininst\\ identified for update" "$reached"
    expect_no_log "Running " "user requests it be turned on" "user DOES NOT request"
    if [ "$name" = closed_in_probe ]; then
        expect_no_log "Internet access test"
        if grep -q '^GET /updates/' "$work/requests.log"; then fail "the catalogue was asked for"; fi
    fi
    expect_clipboard_is_log
    expect_no_ini notifyForAnyUpdate
    if [ "$name" = closed_at_press_ok ]; then
        expect_ini "wantsUpdate=TRUE"  # written before the box, as always
        expect_log "Looks like there's an update available to 10906"
    else
        expect_no_ini wantsUpdate
    fi
    if [ "$name" = closed_in_download ]; then
        cmp -s "$inst/Stirpello.exe" "$bin/ver_1_4_0_0.exe" || fail "the module was replaced"
    fi
    expect_not_launched
    case $name in
    closed_in_probe) expect_explained closed '[]' "the run was closed at internet access" ;;
    closed_at_confirm) expect_explained closed '["1OK"]' "the run was closed at available updates" ;;
    closed_at_press_ok) expect_explained closed '["1OK"]' "the run was closed at step 4: launch" ;;
    closed_in_download) expect_explained closed '["1OK"]' "the run was closed at step 2: download" ;;
    esac
    ;;
limited_admin_update | limited_admin_declined | limited_admin_nothing)
    # Started as UAC starts it for an administrator (a limited token), on a
    # folder only administrators can change (the Wine user's SID named as
    # Administrators, test builds only). The writes go through one elevated
    # step; the main process stays limited; the download and the log go to
    # the user's own folder.
    export STIRPELLO_TEST_ADMIN_SID=S-1-5-21-0-0-0-1000
    export E2E_START=start-limited
    [ "$name" = limited_admin_declined ] && export STIRPELLO_TEST_ELEVATION=declined
    rm -rf "$user_update"
    log_file=$user_update/StirpelloUpdateLog.txt
    asked="Only administrators can change $wininst\\ - asking Windows once for administrator rights"
    if [ "$name" = limited_admin_nothing ]; then
        # A current module, no postponing key, wantsUpdate already TRUE:
        # nothing to write, so no step and no prompt.
        cp "$bin/update_module.exe" "$inst/Stirpello.exe"
        printf '[Internet Connection]\r\nuseProxy=FALSE\r\nwantsUpdate=TRUE\r\n' >"$inst/Stirpello.ini"
    else
        cp "$bin/ver_1_4_0_0.exe" "$inst/Stirpello.exe"
        write_ini
    fi
    cp "$inst/Stirpello.ini" "$work/ini.before"
    catalogue R B
    set_registry
    start_site
    # The driver's script reads a backslash as an escape: doubled there.
    drv_inst=${wininst//\\/\\\\}
    why_box="Stirpello is installed in $drv_inst\\\\, which only administrators can change. To repair it, Windows will now ask for permission for a small part of this utility to make the changes there. It asks once for this run."
    case $name in
    limited_admin_update)
        drive "expect-limited" "$(answer "$why_box" OK)" "expect-limited" "$(answer "$press_ok" OK)" "exited 0"
        [ "$(log_text | grep -cxF -- "$asked")" = 1 ] || { log_text >&2; fail "not exactly one elevated step"; }
        expect_log "Found CheckOnOrAfterDate in Stirpello.ini file - deleting it" \
            "The update module is downloaded to $(win "$user_update")\\Download\\" \
            "Download completed" "Running $wininst\\Stirpello.exe"
        expect_no_log "The utility was started with administrator rights" "Could not "
        expect_ini "wantsUpdate=TRUE"
        expect_no_ini CheckOnOrAfterDate
        cmp -s "$inst/Stirpello.exe" "$bin/update_module.exe" || fail "the module was not replaced"
        [ -f "$user_update/Download/Stirpello.exe" ] || fail "the download is not in the user's folder"
        [ ! -e "$inst/Download" ] || fail "a Download folder was made in the program folder"
        [ ! -e "$inst/StirpelloUpdateLog.txt" ] || fail "the log was written in the program folder"
        expect_launched
        expect_explained launched '["1OK"]' ""
        ;;
    limited_admin_nothing)
        drive "expect-limited" "$(answer "$press_ok" OK)" "exited 0"
        expect_no_log "$asked" "Could not "
        expect_log "Found existing update module 1.4.0.1" "Running $wininst\\Stirpello.exe"
        cmp -s "$inst/Stirpello.ini" "$work/ini.before" || fail "the settings file was written"
        expect_launched
        grep -qF "[not elevated]" "$inst/UpdateModuleLaunched.txt" ||
            fail "started with: $(cat "$inst/UpdateModuleLaunched.txt")"
        expect_explained launched '["1OK"]' ""
        ;;
    limited_admin_declined)
        drive "expect-limited" "$(answer "$why_box" OK)" "$(answer "Administrator rights were not given (The request for administrator rights was declined), so nothing in $drv_inst\\\\ can be changed in this run." OK)" \
            "window $main_title" "expect-text GroupBox1 \"Progress - Replacing existing update module...\" 30000" \
            "expect-visible s3Mark yes 5000" "sleep 1000" "close" "exited 0"
        expect_log "$asked" "Administrator rights were not given: The request for administrator rights was declined" \
            "Copy of new update module failed"
        [ "$(log_text | grep -cxF -- "$asked")" = 1 ] || fail "asked more than once"
        cmp -s "$inst/Stirpello.ini" "$work/ini.before" || fail "the settings file was changed"
        cmp -s "$inst/Stirpello.exe" "$bin/ver_1_4_0_0.exe" || fail "the module was replaced"
        expect_not_launched
        ;;
    esac
    ;;
elevated_start | elevated_start_shell)
    # Started "as administrator" (under Wine every start is) on a folder only
    # administrators can change. The elevated process starts the window again
    # without those rights and stays as its step: the writes go through it
    # with no box and no second request. Where the shell is elevated (Wine's
    # is) the window gets a restricted token; the test seam says the shell is
    # not, and the window then comes through the desktop shell's own start
    # (under Wine with the shell's rights, which are elevated too).
    export STIRPELLO_TEST_ADMIN_SID=S-1-5-21-0-0-0-1000
    rights="without administrator rights"
    if [ "$name" = elevated_start_shell ]; then
        export STIRPELLO_TEST_SHELL_NOT_ELEVATED=1
        rights="with the desktop user's own rights"
    else
        export DRIVE_BEFORE_CLICK=expect-window-unprivileged
    fi
    rm -rf "$user_update"
    log_file=$user_update/StirpelloUpdateLog.txt
    cp "$bin/ver_1_4_0_0.exe" "$inst/Stirpello.exe"
    write_ini
    catalogue R B
    set_registry
    start_site
    drive "$(answer "$press_ok" OK)" "exited 0"
    expect_log "The utility was started with administrator rights; its window and downloads run $rights" \
        "Only administrators can change $wininst\\ - the utility's administrator part from its start makes the changes" \
        "Found CheckOnOrAfterDate in Stirpello.ini file - deleting it" \
        "The update module is downloaded to $(win "$user_update")\\Download\\" \
        "Download completed" "Running $wininst\\Stirpello.exe"
    expect_no_log "asking Windows once for administrator rights" "Could not "
    expect_ini "wantsUpdate=TRUE"
    expect_no_ini CheckOnOrAfterDate
    cmp -s "$inst/Stirpello.exe" "$bin/update_module.exe" || fail "the module was not replaced"
    expect_launched
    expect_explained launched '["1OK"]' ""
    ;;
limited_user_folder)
    # Started limited on a folder the user can change: everything with the
    # user's own rights, no elevated step, the log and download in place.
    export E2E_START=start-limited
    cp "$bin/ver_1_4_0_0.exe" "$inst/Stirpello.exe"
    write_ini
    catalogue R B
    set_registry
    start_site
    drive "expect-limited" "$(answer "$press_ok" OK)" "exited 0"
    expect_no_log "asking Windows once for administrator rights" "The utility was started with administrator rights"
    expect_log "Download completed" "Running $wininst\\Stirpello.exe"
    expect_ini "wantsUpdate=TRUE"
    cmp -s "$inst/Stirpello.exe" "$bin/update_module.exe" || fail "the module was not replaced"
    [ -f "$inst/Download/Stirpello.exe" ] || fail "the download is not in the program folder"
    expect_launched
    grep -qF "[not elevated]" "$inst/UpdateModuleLaunched.txt" ||
        fail "started with: $(cat "$inst/UpdateModuleLaunched.txt")"
    expect_explained launched '["1OK"]' ""
    ;;
*)
    fail "unknown scenario"
    ;;
esac
echo "PASS [$name]"
