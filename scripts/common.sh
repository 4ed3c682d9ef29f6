# Shared by test.sh and demo.sh: installing what is missing, building both
# trees, and the Wine prefix with its server and X display.
# shellcheck shell=bash

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${STIRPELLO_BUILD:-$ROOT/build}
JOBS=${JOBS:-$(nproc)}

log() { printf '== %s\n' "$*" >&2; }

# apt packages, checked by the file each one provides.
ensure_packages() {
    local need=()
    local -A probe=(
        [cmake]=/usr/bin/cmake [ninja-build]=/usr/bin/ninja [g++]=/usr/bin/g++ [clang]=/usr/bin/clang
        [libclang-rt-14-dev]=/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a
        [g++-mingw-w64-i686-posix]=/usr/bin/i686-w64-mingw32-g++-posix
        [gcc-mingw-w64-i686-posix]=/usr/bin/i686-w64-mingw32-gcc-posix
        [binutils-mingw-w64-i686]=/usr/bin/i686-w64-mingw32-windres
        [g++-mingw-w64-x86-64-posix]=/usr/bin/x86_64-w64-mingw32-g++-posix
        [gcc-mingw-w64-x86-64-posix]=/usr/bin/x86_64-w64-mingw32-gcc-posix
        [binutils-mingw-w64-x86-64]=/usr/bin/x86_64-w64-mingw32-windres
        [libz-mingw-w64-dev]=/usr/x86_64-w64-mingw32/lib/libz.a
        [zlib1g-dev]=/usr/include/zlib.h
        [googletest]=/usr/src/googletest/CMakeLists.txt
        [libgtest-dev]=/usr/include/gtest/gtest.h [libgmock-dev]=/usr/include/gmock/gmock.h
        [libbenchmark-dev]=/usr/include/benchmark/benchmark.h
        [wine]=/usr/bin/wine [wine64]=/usr/lib/wine/wine64 [wine32:i386]=/usr/lib/wine/wine
        [fonts-wine]=/usr/share/wine/fonts/tahoma.ttf
        [fonts-liberation]=/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf
        [xvfb]=/usr/bin/Xvfb [xauth]=/usr/bin/xauth [x11-apps]=/usr/bin/xwd
        [imagemagick]=/usr/bin/convert [xclip]=/usr/bin/xclip [procps]=/usr/bin/pkill
        [osslsigncode]=/usr/bin/osslsigncode [openssl]=/usr/bin/openssl
        [locales]=/usr/share/i18n/locales/ja_JP
        [emscripten]=/usr/bin/em++ [chromium]=/usr/bin/chromium
        [python3-websocket]=/usr/lib/python3/dist-packages/websocket/__init__.py
        [qemu-system-x86]=/usr/bin/qemu-system-x86_64 [busybox-static]=/usr/share/doc/busybox-static
        [e2fsprogs]=/usr/sbin/mkfs.ext4 [binutils]=/usr/bin/objcopy
    )
    local p
    for p in "${!probe[@]}"; do
        [ -e "${probe[$p]}" ] || need+=("$p")
    done
    [ ${#need[@]} -eq 0 ] && return 0
    log "installing: ${need[*]}"
    local sudo=
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    if [[ " ${need[*]} " == *":i386"* ]] && ! dpkg --print-foreign-architectures | grep -q i386; then
        $sudo dpkg --add-architecture i386
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
}

# TREES (default "native win") picks the trees; BUILD_TARGETS, when set,
# builds only those targets (for working on one piece while others are torn up).
TREES=${TREES:-native win}
build_targets() {
    if [ -n "${BUILD_TARGETS:-}" ]; then
        local t args=()
        for t in $BUILD_TARGETS; do args+=(--target "$t"); done
        cmake --build "$1" -j "$JOBS" "${args[@]}"
    else
        cmake --build "$1" -j "$JOBS"
    fi
}
# The test and demo trees let STIRPELLO_* variables point the programs at the
# loopback site; scripts/release.sh builds without them.
TEST_OVERRIDES=-DSTIRPELLO_TEST_OVERRIDES=ON
configure_and_build() {
    # A WIN_ARCH that cannot run stops the run before anything is built.
    if [[ " $TREES " == *" win "* ]]; then pick_win_arch; fi
    if [[ " $TREES " == *" native "* ]]; then
        log "native tree"
        cmake -S "$ROOT" -B "$BUILD/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DSTIRPELLO_SANITIZE=ON "$TEST_OVERRIDES" >/dev/null
        build_targets "$BUILD/native"
    fi
    if [[ " $TREES " == *" win "* ]]; then
        win_tree "$BUILD/win"
        log "windows tree ($WIN_ARCH)"
        cmake -S "$ROOT" -B "$BUILD/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$WIN_TOOLCHAIN" "$TEST_OVERRIDES" >/dev/null
        build_targets "$BUILD/win"
    fi
}

# pick_win_arch: WIN_ARCH (i686 or x86_64), WIN_TOOLCHAIN and WINE for the
# Windows tree. The shipped program is i686; it is tested as such wherever
# this kernel runs 32-bit code, found by starting the 32-bit Wine loader.
# Elsewhere the same sources are built and tested for x86_64 under wine64.
# WIN_ARCH set beforehand skips the probe. Prints one line saying which, and why.
WIN_ARCH_PICKED=
pick_win_arch() {
    [ -n "$WIN_ARCH_PICKED" ] && return 0
    local why
    case "${WIN_ARCH:-}" in
    i686)
        if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
            echo "WIN_ARCH=i686, but this machine cannot run the 32-bit Wine loader (/usr/lib/wine/wine):" \
                "its kernel runs no 32-bit code (boot it with ia32_emulation=on), or wine32:i386 is missing." \
                "Leave WIN_ARCH unset to test the x86_64 build." >&2
            exit 2
        fi
        why="WIN_ARCH=i686" ;;
    x86_64) why="WIN_ARCH=x86_64" ;;
    "")
        if /usr/lib/wine/wine --version >/dev/null 2>&1; then
            WIN_ARCH=i686 why="this machine runs 32-bit code, as shipped"
        else
            WIN_ARCH=x86_64
            why="this kernel runs no 32-bit code (the 32-bit Wine loader does not start; the kernel setting is ia32_emulation=on), so the same sources are tested as a 64-bit build"
        fi ;;
    *) echo "WIN_ARCH must be i686 or x86_64, not '$WIN_ARCH'" >&2; exit 2 ;;
    esac
    WIN_TOOLCHAIN=$ROOT/cmake/mingw-$WIN_ARCH.cmake
    if [ "$WIN_ARCH" = x86_64 ]; then
        # Straight to the 64-bit loader: Debian's `wine` wrapper takes the
        # 32-bit one whenever it is installed, runnable or not.
        WINE=/usr/lib/wine/wine64
        export WINELOADER=$WINE
    else
        WINE=/usr/lib/wine/wine
    fi
    export WIN_ARCH WINE
    WIN_ARCH_PICKED=1
    log "windows programs: $WIN_ARCH ($why)"
}

# win_tree DIR: a Windows tree holds one architecture, named in its stamp;
# another one is removed first (with its Wine prefix) so that it is rebuilt
# cleanly.
win_tree() {
    local dir=$1 stamp=$1/.win-arch
    if [ -e "$dir" ] && [ "$(cat "$stamp" 2>/dev/null)" != "$WIN_ARCH" ]; then
        log "$dir held $(cat "$stamp" 2>/dev/null || echo 'an unstamped build'); rebuilding it for $WIN_ARCH"
        if [ -d "$dir/wineprefix" ]; then WINEPREFIX=$dir/wineprefix wineserver -k >/dev/null 2>&1 || true; fi
        rm -rf "$dir"
    fi
    mkdir -p "$dir"
    echo "$WIN_ARCH" >"$stamp"
}

# The Wine loader for the picked architecture, in place of Debian's wrapper
# (and of winepath and wineboot, which go through it).
wine() { pick_win_arch; "$WINE" "$@"; }
winepath() { wine winepath "$@"; }
wineboot() { wine wineboot "$@"; }

wine_env() {
    export WINEPREFIX=$1
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="
    export WINEARCH=win64
}

# make_prefix DIR: a throw-away prefix with the fix-ups the tests rely on.
make_prefix() {
    local prefix=$1
    rm -rf "$prefix"
    wine_env "$prefix"
    log "wine prefix $prefix"
    wineboot -i >/dev/null 2>&1 </dev/null
    wineserver -w
    # Debian's Wine does not load its own fonts (Tahoma, Wingdings, Marlett).
    cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/"
    # The desktop must be a real folder of the prefix, not a link to $HOME.
    local user_dir
    for user_dir in "$prefix"/drive_c/users/*/; do
        [ -L "${user_dir}Desktop" ] || [ -d "${user_dir}Desktop" ] || continue
        case "$(basename "$user_dir")" in Public) continue ;; esac
        rm -f "${user_dir}Desktop"
        mkdir -p "${user_dir}Desktop"
    done
    # Arial is not here: its metric twin keeps the window's texts at their design widths.
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Arial /t REG_SZ /d 'Liberation Sans' /f >/dev/null 2>&1
    # No window manager under Xvfb: unmanaged windows close without a 2 s stall.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    # A crash must end the test, not open a dialog nobody answers.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wineserver -w
}

# set_display_scale DPI: the display scale of $WINEPREFIX (96 = 100%, 120,
# 144, 192). Wine's desktop reads it only as it starts, so after a change the
# server is stopped: start it afterwards. The prefix remembers its scale, so
# asking again for the same one costs nothing.
set_display_scale() {
    local dpi=$1 mark=$WINEPREFIX/.display-dpi
    [ "$(cat "$mark" 2>/dev/null || echo 96)" = "$dpi" ] && return 0
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1 </dev/null
    wine reg add 'HKCC\Software\Fonts' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1 </dev/null
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w
    echo "$dpi" >"$mark"
}

# start_display [WxHxDEPTH]: our own Xvfb on a free display number. Xvfb
# takes the number itself (-displayfd), so that runs started at the same
# moment never share a display, nor stop each other's when they end.
XVFB_PID=
start_display() {
    local screen=${1:-1024x768x24} ready n= i
    ready=$(mktemp)
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$ready" >/dev/null 2>&1 </dev/null &
    XVFB_PID=$!
    for i in $(seq 1 100); do
        n=$(head -n1 "$ready" 2>/dev/null || true)
        [ -n "$n" ] && break
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$ready"
    if [ -z "$n" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
        echo "no free X display (Xvfb did not start)" >&2
        return 1
    fi
    export DISPLAY=":$n"
}

# start_wine BINDIR: one detached server for the whole run, warmed up with a
# hidden window that stays up so that the desktop process starts now and not
# inside a test (its helpers would hold the test's output pipe open).
start_wine() {
    wineserver -p >/dev/null 2>&1 </dev/null
    if [ -x "$1/winehold.exe" ] || [ -f "$1/winehold.exe" ]; then
        (wine "$1/winehold.exe" >/dev/null 2>&1 </dev/null &)
    fi
    wine cmd /c exit >/dev/null 2>&1 </dev/null || true
}

stop_all() {
    if [ -n "${WINEPREFIX:-}" ]; then wineserver -k >/dev/null 2>&1 || true; fi
    if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; wait "$XVFB_PID" 2>/dev/null || true; fi
}
