#!/usr/bin/env bash
# scripts/release.sh as the publisher runs it.
#   release_test.sh refuses RELEASE_SH WORKDIR      bad or missing inputs: no build, dist/ untouched
#   release_test.sh builds  RELEASE_SH WORKDIR      unsigned, PEM-signed and PKCS#12-signed releases
# WORKDIR keeps the release tree between runs, so only the first run builds it all.
set -euo pipefail
mode=$1 release=$2 work=$3
mkdir -p "$work"
work=$(cd "$work" && pwd)
programs=(DownloadStirpelloUpdate updcat webread updlog)
failures=0
check() {  # check DESCRIPTION COMMAND...: records a failure instead of stopping
    local what=$1
    shift
    if "$@"; then return 0; fi
    echo "FAILED: $what" >&2
    failures=$((failures + 1))
}

case $mode in
refuses)
    build=$work/refuses-build dist=$work/refuses-dist
    rm -rf "$build" "$dist"
    mkdir -p "$dist"
    echo "an earlier release" >"$dist/DownloadStirpelloUpdate.exe"
    echo "the module" >"$work/module.exe"
    touch "$work/cert.pem"
    good=$(sha256sum <"$work/module.exe" | cut -d' ' -f1)
    # variables | what the message must say
    cases=(
        "|no update module digest"
        "MODULE_SHA256=|no update module digest"
        "MODULE_SHA256=${good:0:63}|64 hex digits"
        "MODULE_SHA256=${good}0|64 hex digits"
        "MODULE_SHA256=${good:0:63}g|64 hex digits"
        "MODULE=$work/no-such-module.exe|is not a file"
        "MODULE=$work/module.exe MODULE_SHA256=${good//?/0}|is not the SHA-256 of"
        "MODULE_SHA256=$good SIGN_CERT=$work/cert.pem|SIGN_CERT and SIGN_KEY go together"
        "MODULE_SHA256=$good SIGN_CERT=$work/cert.pem SIGN_KEY=$work/missing.pem|is not a file"
        "MODULE_SHA256=$good SIGN_PKCS12=$work/cert.pem SIGN_CERT=$work/cert.pem|not both"
        "MODULE_SHA256=$good SIGN_TSA_URL=http://127.0.0.1:9/|a time stamp needs a signature"
        "MODULE_SHA256=$good SIGN_PKCS12=$work/cert.pem SIGN_TSA_URL=ftp://127.0.0.1/|http:// or https://"
        "MODULE_SHA256=$good SIGN_PKCS12=$work/cert.pem SIGN_TSA_CERT=$work/cert.pem|SIGN_TSA_KEY go together"
        "MODULE_SHA256=$good SIGN_PKCS12=$work/cert.pem SIGN_TSA_URL=http://x/ SIGN_TSA_CERT=$work/cert.pem|not both"
    )
    for c in "${cases[@]}"; do
        vars=${c%%|*} want=${c#*|}
        # shellcheck disable=SC2086 # the variables are words on purpose
        if out=$(env -u MODULE -u MODULE_SHA256 -u SIGN_CERT -u SIGN_KEY -u SIGN_PKCS12 -u SIGN_PASS \
            -u SIGN_TSA_URL -u SIGN_TSA_CERT -u SIGN_TSA_KEY -u SIGN_TSA_CAFILE \
            STIRPELLO_BUILD="$build" DIST="$dist" $vars "$release" 2>&1); then
            echo "FAILED: [$vars] was accepted" >&2
            failures=$((failures + 1))
        fi
        check "[$vars] says '$want': $out" grep -q -F -- "$want" <<<"$out"
        check "[$vars] says nothing was built: $out" grep -q -F "nothing was built" <<<"$out"
    done
    check "no release tree was made" test ! -e "$build"
    check "the earlier release is untouched" grep -q -x "an earlier release" "$dist/DownloadStirpelloUpdate.exe"
    check "nothing else was written to dist" test "$(ls -A "$dist")" = DownloadStirpelloUpdate.exe
    ;;
builds)
    export STIRPELLO_BUILD=$work/build DIST=$work/dist
    unset MODULE MODULE_SHA256 SIGN_CERT SIGN_KEY SIGN_PKCS12 SIGN_PASS SIGN_CAFILE
    unset SIGN_TSA_URL SIGN_TSA_CERT SIGN_TSA_KEY SIGN_TSA_CAFILE
    printf 'a module of the publisher' >"$work/module.exe"
    digest=$(sha256sum <"$work/module.exe" | cut -d' ' -f1)
    started=$(date +%s)
    out=$(MODULE=$work/module.exe "$release" 2>&1) || { echo "$out" >&2; exit 1; }
    echo "first release run: $(($(date +%s) - started)) s"
    check "an unsigned release says so: $out" grep -q "release: NOT SIGNED" <<<"$out"
    cache=$STIRPELLO_BUILD/release/CMakeCache.txt
    check "the digest reaches CMake" grep -q "^STIRPELLO_MODULE_SHA256:[A-Z]*=$digest\$" "$cache"
    check "the overrides are off" grep -q "^STIRPELLO_TEST_OVERRIDES:BOOL=OFF\$" "$cache"
    for p in "${programs[@]}"; do
        check "$p.exe was written" test -s "$DIST/$p.exe"
        check "$p.exe holds no STIRPELLO_ text" bash -c '! LC_ALL=C grep -q -a -F STIRPELLO_ "$1"' _ "$DIST/$p.exe"
        check "an unsigned $p.exe does not verify" bash -c '! osslsigncode verify -in "$1" >/dev/null 2>&1' _ "$DIST/$p.exe"
    done
    check "updlog.html was written with its paste box" grep -q 'id="paste"' "$DIST/updlog.html"
    check "updlog.html is listed in SHA256SUMS" grep -q ' updlog.html$' "$DIST/SHA256SUMS"
    check "SHA256SUMS matches" bash -c 'cd "$1" && sha256sum --quiet -c SHA256SUMS' _ "$DIST"
    check "no staging folder is left" test -z "$(find "$DIST" -name '.release.*')"

    # A throw-away code-signing certificate, made now.
    keys=$work/keys
    rm -rf "$keys"
    mkdir -p "$keys"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/key.pem" -out "$keys/cert.pem" -days 2 \
        -subj "/CN=Stirpello Test Signer" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
    openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/cert.pem" -out "$keys/cert.p12" \
        -passout pass:test-secret 2>/dev/null
    for how in pem pkcs12; do
        if [ $how = pem ]; then
            out=$(MODULE_SHA256=${digest^^} SIGN_CERT=$keys/cert.pem SIGN_KEY=$keys/key.pem \
                SIGN_CAFILE=$keys/cert.pem "$release" 2>&1) || { echo "$out" >&2; exit 1; }
        else
            out=$(MODULE_SHA256=$digest SIGN_PKCS12=$keys/cert.p12 SIGN_PASS=test-secret \
                SIGN_CAFILE=$keys/cert.pem "$release" 2>&1) || { echo "$out" >&2; exit 1; }
        fi
        check "$how: the release says it is signed: $out" grep -q "release: signed" <<<"$out"
        check "$how: the password stays out of the output" bash -c '! grep -q test-secret <<<"$1"' _ "$out"
        for p in "${programs[@]}"; do
            v=$(osslsigncode verify -CAfile "$keys/cert.pem" -in "$DIST/$p.exe" 2>&1) || true
            check "$how: $p.exe verifies: $v" grep -q "Signature verification: ok" <<<"$v"
            check "$how: $p.exe is signed with SHA-256" grep -q -i "digest algorithm *: *sha256" <<<"$v"
            check "$how: $p.exe names its signer" grep -q "Stirpello Test Signer" <<<"$v"
            check "$how: $p.exe carries no time stamp" grep -q "Timestamp is not available" <<<"$v"
        done
        check "$how: SHA256SUMS matches the signed files" bash -c 'cd "$1" && sha256sum --quiet -c SHA256SUMS' _ "$DIST"
    done
    # A time-stamped release, offline: osslsigncode stamps with a throw-away
    # time-stamp authority of its own.
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/tsa-key.pem" -out "$keys/tsa.pem" -days 2 \
        -subj "/CN=Stirpello Test TSA" -addext "extendedKeyUsage=critical,timeStamping" 2>/dev/null
    out=$(MODULE_SHA256=$digest SIGN_CERT=$keys/cert.pem SIGN_KEY=$keys/key.pem SIGN_CAFILE=$keys/cert.pem \
        SIGN_TSA_CERT=$keys/tsa.pem SIGN_TSA_KEY=$keys/tsa-key.pem SIGN_TSA_CAFILE=$keys/tsa.pem \
        "$release" 2>&1) || { echo "$out" >&2; exit 1; }
    check "stamped: the release says so: $out" grep -q "release: signed (.*RFC 3161 time stamp)" <<<"$out"
    for p in "${programs[@]}"; do
        v=$(osslsigncode verify -CAfile "$keys/cert.pem" -TSA-CAfile "$keys/tsa.pem" -in "$DIST/$p.exe" 2>&1) || true
        check "stamped: $p.exe verifies: $v" grep -q "Signature verification: ok" <<<"$v"
        check "stamped: $p.exe carries a verified time stamp" \
            grep -q "^Timestamp Server Signature verification: ok" <<<"$v"
    done
    # A stamp that cannot be had, or that does not verify, fails the release
    # and leaves the last one in place.
    sums=$(cat "$DIST/SHA256SUMS")
    other=$keys/other-tsa.pem
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/other-key.pem" -out "$other" -days 2 \
        -subj "/CN=Another TSA" -addext "extendedKeyUsage=critical,timeStamping" 2>/dev/null
    for bad in "SIGN_TSA_URL=http://127.0.0.1:9/|signing DownloadStirpelloUpdate.exe failed" \
        "SIGN_TSA_CERT=$keys/tsa.pem SIGN_TSA_KEY=$keys/tsa-key.pem SIGN_TSA_CAFILE=$other|time stamp of"; do
        vars=${bad%%|*} want=${bad#*|}
        # shellcheck disable=SC2086 # the variables are words on purpose
        if out=$(env MODULE_SHA256=$digest SIGN_CERT=$keys/cert.pem SIGN_KEY=$keys/key.pem \
            SIGN_CAFILE=$keys/cert.pem $vars "$release" 2>&1); then
            echo "FAILED: [$vars] was released" >&2
            failures=$((failures + 1))
        fi
        check "[$vars] says '$want'" grep -q -F -- "$want" <<<"$out"
        check "[$vars] left the last release" test "$(cat "$DIST/SHA256SUMS")" = "$sums"
    done

    # The check is worth something: one changed byte and the signature fails.
    cp "$DIST/updcat.exe" "$work/tampered.exe"
    printf 'X' | dd of="$work/tampered.exe" bs=1 seek=1024 conv=notrunc status=none
    check "a changed byte breaks the signature" \
        bash -c '! osslsigncode verify -CAfile "$1" -in "$2" >/dev/null 2>&1' _ "$keys/cert.pem" "$work/tampered.exe"
    ;;
*)
    echo "usage: release_test.sh refuses|builds RELEASE_SH WORKDIR" >&2
    exit 2
    ;;
esac
[ $failures -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all checks passed"
