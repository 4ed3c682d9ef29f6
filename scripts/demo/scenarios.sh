# The demo's scenarios: the site each one sets up, the driver's answers when
# nobody is at the keyboard, and the report at the end. Sourced by demo.sh
# after scripts/world.sh.
# shellcheck shell=bash

scenario_list() {
    cat <<'EOF'
  major-update        the module is outdated and a major update is offered: the
                      new module is downloaded, put in place and launched
  no-internet         nothing answers: the blocked-internet notices, and the
                      download of a new module cannot be made
  site-down           the product site is down, the download mirror is up: the
                      notices, then the new module all the same
  minor-only          only a minor update is offered: the utility asks whether
                      minor updates should be notified (the driver says Yes)
  corrupted-download  the server sends a damaged module: the CRC-32 check
                      refuses it and nothing is replaced
  forged-module       the server sends a forged module of the right size and
                      CRC-32: its SHA-256 gives it away, it is deleted, nothing
                      is replaced or launched
  product-running     Stirpello.exe is running: the utility asks to close it and
                      stops before touching anything
EOF
}
scenario_known() {
    case $1 in
    major-update | no-internet | site-down | minor-only | corrupted-download | forged-module | product-running)
        return 0
        ;;
    esac
    return 1
}

# The settings file as the product leaves it after a postponed update check.
demo_ini() {
    printf '%s\r\n' '[Internet Connection]' 'useProxy=FALSE' 'notifyForAnyUpdate=FALSE' \
        '[Updates]' 'CheckOnOrAfterDate=2031-01-01' '[Files]' 'useWorkingDirectory=FALSE' \
        >"$inst/Stirpello.ini"
}

# A closed port on loopback: connections are refused at once.
dead=127.0.0.1:1

# scenario_world NAME: the catalogue, the site and anything else running.
scenario_world() {
    local mirror=/send/file/184287-IUDF/Stirpello.exe
    case $1 in
    major-update)
        catalogue R B
        # Slowed, so that the download window can be watched.
        start_site --fault "$mirror:slow=400,piece=65536"
        ;;
    no-internet)
        catalogue R
        start_site
        export STIRPELLO_SITE_HOST=$dead STIRPELLO_PROBE_URL=http://$dead/probe/
        export STIRPELLO_MIRROR_HOST=$dead STIRPELLO_UPDATE_HOST=$dead
        ;;
    site-down)
        catalogue R
        start_site --fault "$mirror:slow=100,piece=65536"
        export STIRPELLO_SITE_HOST=$dead
        ;;
    minor-only)
        catalogue B
        start_site --fault "$mirror:slow=100,piece=65536"
        ;;
    corrupted-download)
        catalogue R
        # The right size, one byte changed near the end.
        cp "$bin/update_module.exe" "$work/damaged.exe"
        printf '\x5a' | dd of="$work/damaged.exe" bs=1 seek=1200000 conv=notrunc status=none
        start_site --module "$work/damaged.exe" --fault "$mirror:slow=100,piece=65536"
        ;;
    forged-module)
        catalogue R
        forge_module "$work/forged.exe"
        start_site --module "$work/forged.exe" --fault "$mirror:slow=100,piece=65536"
        ;;
    product-running)
        catalogue R
        start_site
        # A stand-in program under the name the utility looks for.
        cp "$bin/e2etool.exe" "$work/run/Stirpello.exe"
        wine "$work/run/Stirpello.exe" hold "$(win "$work/run")\\ready" "$(win "$work/run")\\stop" \
            >/dev/null 2>&1 </dev/null &
        holder_pid=$!
        local i
        for i in $(seq 1 200); do [ -e "$work/run/ready" ] && break; sleep 0.05; done
        [ -e "$work/run/ready" ] || fail "the stand-in Stirpello.exe did not start"
        ;;
    esac
}

# What the person at the keyboard will see.
scenario_tell() {
    scenario_list | awk -v n="$1" '$1 == n { on = 1; sub(/^ *[^ ]+ +/, "") } on && /^  [a-z]/ && $1 != n { exit } on { sub(/^ +/, ""); print }'
}

# The signed decimal CRC-32 of a file, as the utility prints it (gzip's
# trailer holds the CRC-32 of its input).
crc32_signed() {
    local u
    u=$(gzip -c <"$1" | tail -c 8 | od -An -tu4 -N4 | tr -d ' ')
    [ "$u" -ge 2147483648 ] && u=$((u - 4294967296))
    echo "$u"
}

# shot NN-STAGE [window]: a screenshot line for the driver.
shot() { echo "screenshot $(win "$shots")\\$scenario-$1.png${2:+ $2}"; }

# scenario_drive NAME: the driver's script for the run on Xvfb.
scenario_drive() {
    local press_ok='Press OK to close this utility and launch the update module'
    local download='window "Downloading File...."'
    local manager='window "Stirpello Update Manager"'
    # The download's picture once its bar (control 108) is well under way,
    # however long the start took on a busy machine; the slowed mirror leaves
    # seconds to spare before it ends.
    local progress='expect-at-least #108 40 60000'
    # The window is found as soon as it is shown, a moment before it is
    # painted: the picture waits until the window on the screen is whole.
    DRIVE_BEFORE_CLICK="settled 10000"$'\n'"$(shot 1-main-window window)"
    # The first write in the protected folder: the box before Windows asks
    # for administrator rights (the driver reads a backslash as an escape).
    local why="Stirpello is installed in ${wininst//\\/\\\\}\\\\, which only administrators can change. To repair it, Windows will now ask for permission for a small part of this utility to make the changes there. It asks once for this run."
    local rights
    rights="$manager"$'\n'"$(shot 1-why-rights)"$'\n'"$(answer "$why" OK)"
    case $1 in
    major-update)
        drive_script "$rights" "$download" "$progress" "$(shot 2-download window)" \
            "$manager" "$(shot 3-ready-to-launch)" "$(answer "$press_ok" OK)" "exited 0"
        ;;
    no-internet)
        drive_script "$rights" "$manager" "$(shot 2-blocked)" \
            "$(answer "Internet access is blocked! Make sure you're connected and check your firewall/security (e.g. NORTON) settings." OK)" \
            "$(answer "Run Stirpello, use TOOLS...SETTINGS... internet tab and check your proxy settings" OK)" \
            "$(answer "The download did not complete... try the download again later (0/1294848)" OK)" \
            "window $main_title" "expect-visible s2Mark yes" "sleep 300" "$(shot 3-stopped window)" "close" "exited 0"
        ;;
    site-down)
        drive_script "$rights" "$manager" "$(shot 2-site-down)" \
            "$(answer "Stirpello.com appears to be busy or down temporarily... if your update attempt fails wait a few hours and try again." OK)" \
            "$(answer "The Stirpello.com update system is unavailable at the moment - try again later" OK)" \
            "$(answer "$press_ok" OK)" "exited 0"
        ;;
    minor-only)
        drive_script "$rights" 'window "Confirm"' "$(shot 2-minor-question)" \
            "$(answer "Only a minor update is available currently... would you like to change your settings to notify you of minor updates?" Yes Confirm)" \
            "$(answer "$press_ok" OK)" "exited 0"
        ;;
    corrupted-download)
        local crc
        crc=$(crc32_signed "$work/damaged.exe")
        drive_script "$rights" "$manager" "$(shot 2-corrupted)" \
            "$(answer "The file was corrupted during the transmission... try the download again (1348818072/$crc)" OK)" \
            "window $main_title" "sleep 300" "$(shot 3-stopped window)" "close" "exited 0"
        ;;
    forged-module)
        drive_script "$rights" "$manager" "$(shot 2-forged)" \
            "$(answer "The file was corrupted during the transmission... try the download again (SHA-256)" OK)" \
            "window $main_title" "expect-visible s2Mark yes" "sleep 300" "$(shot 3-refused window)" "close" "exited 0"
        ;;
    product-running)
        drive_script "$manager" "$(shot 2-running)" \
            "$(answer "Stirpello is running... close Stirpello (or reboot) and rerun this utility" OK)" "exited 0"
        ;;
    esac
}

# exe_version FILE: the file version from the version resource's fixed part
# (signature FEEF04BD, then the struct version, then the version words).
exe_version() {
    local at ms ls
    at=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$1" 2>/dev/null | head -n1 | cut -d: -f1 || true)
    [ -n "$at" ] || { echo "0.0.0.0 (no version resource)"; return; }
    read -r ms ls < <(od -An -tu4 -j $((at + 8)) -N 8 "$1")
    echo "$((ms >> 16)).$((ms & 65535)).$((ls >> 16)).$((ls & 65535))"
}

# sample_peak PREFIX OUT: the highest resident set (VmHWM) of the utility's
# process in this prefix, sampled until killed; under Wine this is what the
# program itself reads as its peak working set. OUT.smaps keeps the process's
# mappings as they were when the peak last rose, to see what holds it.
sample_peak() {
    local prefix=$1 out=$2 peak=0 p c hwm
    trap 'echo "$peak" >"$out"; exit 0' TERM
    while :; do
        # Builtins only for the scan, so that a short run is not missed.
        for p in /proc/[0-9]*; do
            c=
            read -r -d "" c 2>/dev/null <"$p/cmdline" || true
            [[ $c == *DownloadStirpelloUpdate.exe* ]] || continue
            tr "\\0" "\\n" 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=$prefix" || continue
            hwm=$(awk '/^VmHWM:/ { print $2 }' "$p/status" 2>/dev/null)
            if [ -n "$hwm" ] && [ "$hwm" -gt "$peak" ]; then
                peak=$hwm
                cat "$p/smaps" >"$out.smaps" 2>/dev/null || true
            fi
        done
        echo "$peak" >"$out"
        sleep 0.05
    done
}

# report NAME: the run log, the settings file's changes, the module in place.
report() {
    # Where the user cannot write the program folder, the log and the
    # download are in the user's own folder.
    local own=$local_appdata/Stirpello/Update
    local logfile=$inst/StirpelloUpdateLog.txt download=$inst/Download/Stirpello.exe
    [ -f "$own/StirpelloUpdateLog.txt" ] && logfile=$own/StirpelloUpdateLog.txt
    [ -f "$own/Download/Stirpello.exe" ] && download=$own/Download/Stirpello.exe
    echo
    echo "==================== run log ($1) ===================="
    if [ -f "$logfile" ]; then
        echo "(from $logfile; the same text was put on the clipboard)"
        cp "$logfile" "$work/run.log"
    else
        echo "(no log file: the run stopped before it located the installation; the clipboard holds:)"
        clipboard >"$work/run.log"
    fi
    tr -d '\r' <"$work/run.log"
    echo
    echo "==================== Stirpello.ini ===================="
    if diff -u --label before --label after <(tr -d '\r' <"$work/Stirpello.ini.before") \
        <(tr -d '\r' <"$inst/Stirpello.ini") >"$work/ini.diff"; then
        echo "(unchanged)"
    else
        echo "(- removed, + added)"
        tail -n +3 "$work/ini.diff" | grep -v '^@@' || true
    fi
    echo
    echo "==================== update module ===================="
    echo "Stirpello.exe in place: version $(exe_version "$inst/Stirpello.exe"), $(stat -c %s "$inst/Stirpello.exe") bytes"
    if cmp -s "$inst/Stirpello.exe" "$bin/update_module.exe"; then
        echo "  it is the module the site serves (CRC-32 $(crc32_signed "$inst/Stirpello.exe"))"
    else
        echo "  it is the old module: nothing was replaced"
    fi
    if [ -f "$download" ]; then
        echo "download: $download, $(stat -c %s "$download") bytes, CRC-32 $(crc32_signed "$download")"
    fi
    local launched=$inst/UpdateModuleLaunched.txt i
    for i in $(seq 1 20); do [ -s "$launched" ] && break; sleep 0.1; done
    if [ -s "$launched" ]; then
        echo "launched: $(tr -d '\r' <"$launched" | head -n1)"
    else
        echo "the update module was not launched"
    fi
    echo
    local peak=0
    [ -s "$work/peak.txt" ] && peak=$(cat "$work/peak.txt")
    echo "peak working set of the utility: $((peak / 1024)) MiB ($peak KiB, VmHWM of its Wine process)"
    if [ "$headless" = 1 ]; then
        echo "screenshots: $shots/$1-*.png"
        ls "$shots/$1"-*.png 2>/dev/null | sed 's/^/  /'
    fi
    echo
    echo "==================== updlog explain ($work/run.log) ===================="
    "$native/updlog" explain "$work/run.log" || true
}
