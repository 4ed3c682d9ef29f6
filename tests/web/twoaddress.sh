#!/usr/bin/env bash
# webread against a name with two addresses whose first drops every SYN
# (IPv6 first, as Windows sorts it, over a route that loses packets) and whose
# second serves the page: the read must not wait out the time-out on the
# first address.
#   twoaddress.sh native|win
# The name lives in a hosts file seen only by the reader, through a private
# mount namespace (the machine's /etc/hosts is not touched). Exits 77 (skip)
# where such a namespace or IPv6 loopback is not available.
set -euo pipefail
mode=$1
native=${TWOADDR_NATIVE_BIN:?}
name=twoaddr.stirpello.test
timeout_ms=20000

case $mode in
    native) reader=("$native/webread") ;;
    win) reader=("${WINE_RUN:?run through ./test.sh}" "${TWOADDR_WIN_BIN:?}/webread.exe") ;;
    *) echo "usage: twoaddress.sh native|win" >&2; exit 2 ;;
esac
for tool in fakesite blackhole webread; do
    [ -x "$native/$tool" ] || { echo "SKIP: $native/$tool is not built (the native tree builds it)"; exit 77; }
done
if ! unshare -m sh -c 'mount --bind /etc/hosts /etc/hosts' 2>/dev/null; then
    echo "SKIP: no private mount namespace here (needs root)"
    exit 77
fi

work=$(mktemp -d /tmp/stirpello-twoaddr.XXXXXX)
site_pid= hole_pid=
cleanup() {
    [ -n "$hole_pid" ] && { exec 7>&-; wait "$hole_pid" 2>/dev/null || true; }
    [ -n "$site_pid" ] && { kill "$site_pid" 2>/dev/null; wait "$site_pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT

"$native/fakesite" --lifetime 120 --port-file "$work/port" >/dev/null &
site_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")

# The black hole holds while fd 7 (its standard input) stays open.
mkfifo "$work/hole.in"
"$native/blackhole" ::1 "$port" <"$work/hole.in" >"$work/hole.out" 2>&1 &
hole_pid=$!
exec 7>"$work/hole.in"
for _ in $(seq 100); do
    grep -q ready "$work/hole.out" 2>/dev/null && break
    kill -0 "$hole_pid" 2>/dev/null || break
    sleep 0.05
done
if ! grep -q ready "$work/hole.out"; then
    echo "SKIP: no black hole on [::1]:$port: $(cat "$work/hole.out")"
    exit 77
fi

printf '127.0.0.1 localhost\n::1 %s\n127.0.0.1 %s\n' "$name" "$name" >"$work/hosts"
url="http://$name:$port/probe/"
start=$(date +%s%N)
status=0
unshare -m sh -c 'mount --bind "$0" /etc/hosts && exec "$@"' "$work/hosts" \
    "${reader[@]}" --timeout "$timeout_ms" "$url" >"$work/body" 2>"$work/err" || status=$?
took_ms=$((($(date +%s%N) - start) / 1000000))
echo "$mode: webread --timeout $timeout_ms $url: exit $status in $took_ms ms"
[ "$status" -eq 0 ] || { cat "$work/err" >&2; echo "FAIL: the read failed" >&2; exit 1; }
grep -qi "<input" "$work/body" || { echo "FAIL: not the probe page" >&2; head -c 400 "$work/body" >&2; exit 1; }
# The behaviour is "read in under 2 s"; the bound leaves room for a loaded
# machine and Wine's start-up.
if [ "$took_ms" -ge 5000 ]; then
    echo "FAIL: took $took_ms ms" >&2
    exit 1
fi
