#!/usr/bin/env bash
# The release build: dist/DownloadStirpelloUpdate.exe, dist/updcat.exe,
# dist/webread.exe and dist/updlog.exe (32-bit, static, stripped, signed when a
# certificate is given), dist/updlog.html (the support desk's page, one file
# that works offline) and dist/SHA256SUMS. Built in <build>/release, a Windows
# tree of its own without the tests and without the test overrides.
#
# The genuine update module's SHA-256 is compiled in, so one is required:
#   MODULE_SHA256=<64 hex digits> scripts/release.sh
#   MODULE=path/to/Stirpello.exe scripts/release.sh      (its digest is computed)
# Authenticode signing (SHA-256), optional:
#   SIGN_CERT=cert.pem SIGN_KEY=key.pem [SIGN_PASS=key password]
#   SIGN_PKCS12=cert.p12 [SIGN_PASS=password]
#   SIGN_CAFILE=roots.pem   verify against these roots (default: the system's)
# An RFC 3161 time stamp keeps the signature valid after the certificate
# expires; without one every copy in the field stops validating then:
#   SIGN_TSA_URL=http://...              the time-stamp authority
#   SIGN_TSA_CERT=tsa.pem SIGN_TSA_KEY=tsa-key.pem   or stamp with an own key
#   SIGN_TSA_CAFILE=roots.pem            verify the stamp against these roots
# With a time stamp asked for, a release whose stamp does not verify fails.
# DIST=DIR writes the files there instead of dist/.
set -euo pipefail
source "$(dirname "$0")/common.sh"

fail() {
    printf 'release: %s\n' "$*" >&2
    exit 1
}

# Everything the caller gives is checked before anything is built or written:
# a refused release leaves an earlier dist/ as it was.
digest=${MODULE_SHA256:-}
if [ -n "${MODULE:-}" ]; then
    [ -f "$MODULE" ] || fail "MODULE=$MODULE is not a file; nothing was built"
    from_file=$(sha256sum <"$MODULE" | cut -d' ' -f1)
    if [ -n "$digest" ] && [ "${digest,,}" != "$from_file" ]; then
        fail "MODULE_SHA256 is not the SHA-256 of $MODULE ($from_file); nothing was built"
    fi
    digest=$from_file
fi
[ -n "$digest" ] || fail "no update module digest: give MODULE_SHA256=<64 hex digits> or MODULE=path/to/Stirpello.exe (the genuine module); nothing was built"
[[ $digest =~ ^[0-9a-fA-F]{64}$ ]] || fail "MODULE_SHA256 must be 64 hex digits, not '$digest'; nothing was built"
digest=${digest,,}

sign=()
if [ -n "${SIGN_PKCS12:-}" ]; then
    [ -z "${SIGN_CERT:-}${SIGN_KEY:-}" ] || fail "give SIGN_CERT and SIGN_KEY, or SIGN_PKCS12, not both; nothing was built"
    [ -f "$SIGN_PKCS12" ] || fail "SIGN_PKCS12=$SIGN_PKCS12 is not a file; nothing was built"
    sign=(-pkcs12 "$SIGN_PKCS12")
elif [ -n "${SIGN_CERT:-}${SIGN_KEY:-}" ]; then
    [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ] || fail "SIGN_CERT and SIGN_KEY go together; nothing was built"
    [ -f "$SIGN_CERT" ] || fail "SIGN_CERT=$SIGN_CERT is not a file; nothing was built"
    [ -f "$SIGN_KEY" ] || fail "SIGN_KEY=$SIGN_KEY is not a file; nothing was built"
    sign=(-certs "$SIGN_CERT" -key "$SIGN_KEY")
fi
[ -z "${SIGN_CAFILE:-}" ] || [ -f "$SIGN_CAFILE" ] || fail "SIGN_CAFILE=$SIGN_CAFILE is not a file; nothing was built"
stamp=()
if [ -n "${SIGN_TSA_URL:-}${SIGN_TSA_CERT:-}${SIGN_TSA_KEY:-}" ]; then
    [ ${#sign[@]} -gt 0 ] || fail "a time stamp needs a signature: give SIGN_CERT and SIGN_KEY, or SIGN_PKCS12; nothing was built"
    if [ -n "${SIGN_TSA_URL:-}" ]; then
        [ -z "${SIGN_TSA_CERT:-}${SIGN_TSA_KEY:-}" ] || fail "give SIGN_TSA_URL, or SIGN_TSA_CERT and SIGN_TSA_KEY, not both; nothing was built"
        [[ $SIGN_TSA_URL =~ ^https?:// ]] || fail "SIGN_TSA_URL must be an http:// or https:// address; nothing was built"
        stamp=(-ts "$SIGN_TSA_URL")
    else
        [ -n "${SIGN_TSA_CERT:-}" ] && [ -n "${SIGN_TSA_KEY:-}" ] || fail "SIGN_TSA_CERT and SIGN_TSA_KEY go together; nothing was built"
        [ -f "$SIGN_TSA_CERT" ] || fail "SIGN_TSA_CERT=$SIGN_TSA_CERT is not a file; nothing was built"
        [ -f "$SIGN_TSA_KEY" ] || fail "SIGN_TSA_KEY=$SIGN_TSA_KEY is not a file; nothing was built"
        stamp=(-TSA-certs "$SIGN_TSA_CERT" -TSA-key "$SIGN_TSA_KEY")
    fi
fi
[ -z "${SIGN_TSA_CAFILE:-}" ] || [ -f "$SIGN_TSA_CAFILE" ] || fail "SIGN_TSA_CAFILE=$SIGN_TSA_CAFILE is not a file; nothing was built"

programs=(DownloadStirpelloUpdate updcat webread updlog)
ensure_packages
dir=$BUILD/release
log "release tree $dir (module SHA-256 $digest)"
cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
    -DSTIRPELLO_TEST_OVERRIDES=OFF -DSTIRPELLO_MODULE_SHA256="$digest" >/dev/null
cmake --build "$dir" -j "$JOBS" --target "${programs[@]}"

# The page is explain compiled to WebAssembly, built apart from any test tree.
page=$BUILD/release-page
"$ROOT/tools/updlog/web/build-page.sh" "$page/updlog.html" "$page/work"

# Everything is made and checked in a folder beside dist/, then moved in file
# by file: a failed check leaves no half release behind.
dist=${DIST:-$ROOT/dist}
mkdir -p "$dist"
stage=$(mktemp -d "$dist/.release.XXXXXX")
trap 'rm -rf "$stage"' EXIT
for p in "${programs[@]}"; do
    i686-w64-mingw32-strip -o "$stage/$p.exe" "$dir/bin/$p.exe"
done
# Only DLLs that Windows always takes from its own folder may be imported,
# and each program narrows the DLL search.
files=$(printf '%s;' "${programs[@]/#/$stage/}")
files=${files//;/.exe;}
cmake -DOBJDUMP=i686-w64-mingw32-objdump "-DREQUIRED=${files%;}" -DNEED_FUNCTION=SetDllDirectoryA \
    -DNEED_LOOKUP=SetDefaultDllDirectories,SetProcessMitigationPolicy \
    -P "$ROOT/tests/app/CheckImports.cmake" >/dev/null
# No test override may reach the release, not even as a name.
for p in "${programs[@]}"; do
    if LC_ALL=C grep -q -a -F STIRPELLO_ "$stage/$p.exe"; then
        fail "$p.exe holds STIRPELLO_ text: the test overrides are compiled in"
    fi
done

# The page must work from file:// with nothing fetched: no address in a src,
# href or import, no fetch of a URL.
cp "$page/updlog.html" "$stage/updlog.html"
if grep -q -E -i '(src|href|action)[[:space:]]*=[[:space:]]*["'"'"']?[a-z]+:|@import|url\([[:space:]]*["'"'"']?[a-z]+:|fetch\([[:space:]]*["'"'"'][a-z]+:' "$stage/updlog.html"; then
    fail "updlog.html refers to something outside itself"
fi
grep -q 'id="paste"' "$stage/updlog.html" || fail "updlog.html has no paste box"

if [ ${#sign[@]} -gt 0 ]; then
    if [ -n "${SIGN_PASS:-}" ]; then
        # From a file, not the command line, where other users could read it.
        (umask 077 && printf '%s' "$SIGN_PASS" >"$stage/.pass")
        sign+=(-readpass "$stage/.pass")
    fi
    verify=()
    [ -n "${SIGN_CAFILE:-}" ] && verify=(-CAfile "$SIGN_CAFILE")
    [ -n "${SIGN_TSA_CAFILE:-}" ] && verify+=(-TSA-CAfile "$SIGN_TSA_CAFILE")
    for p in "${programs[@]}"; do
        if ! out=$(osslsigncode sign "${sign[@]}" "${stamp[@]}" -h sha256 -in "$stage/$p.exe" \
            -out "$stage/$p.signed" 2>&1); then
            printf '%s\n' "$out" >&2
            fail "signing $p.exe failed"
        fi
        mv -f "$stage/$p.signed" "$stage/$p.exe"
        if ! out=$(osslsigncode verify "${verify[@]}" -in "$stage/$p.exe" 2>&1); then
            printf '%s\n' "$out" >&2
            fail "the signature of $p.exe does not verify"
        fi
        # verify succeeds even when a stamp is missing or does not verify, so
        # its report is read.
        if [ ${#stamp[@]} -gt 0 ] && ! grep -q "^Timestamp Server Signature verification: ok" <<<"$out"; then
            printf '%s\n' "$out" >&2
            fail "the time stamp of $p.exe does not verify"
        fi
    done
    rm -f "$stage/.pass"
    if [ ${#stamp[@]} -gt 0 ]; then
        signed="signed (Authenticode, SHA-256, RFC 3161 time stamp)"
    else
        signed="signed (Authenticode, SHA-256, no time stamp: the signature stops validating when the certificate expires)"
    fi
else
    signed="NOT SIGNED: no SIGN_CERT/SIGN_KEY or SIGN_PKCS12 given; Windows will name no publisher"
fi
(cd "$stage" && sha256sum -- *.exe updlog.html >SHA256SUMS)

for f in "${programs[@]/%/.exe}" updlog.html SHA256SUMS; do
    mv -f "$stage/$f" "$dist/$f"
done
log "release files in $dist, $signed"
(cd "$dist" && ls -l -- "${programs[@]/%/.exe}" updlog.html && cat SHA256SUMS)
echo "release: $signed"
