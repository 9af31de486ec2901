#!/usr/bin/env bash
# The release build (preset windows-release): two builds of the same sources in different folders give
# byte-identical programs (both made by the release command, scripts/release.sh, whose package is
# checked too); the exe is stripped, has no PE time stamp and no build path in it; it is
# unsigned by default, and with a certificate configured the build signs it with Authenticode. The
# signature verifies against its (throw-away) CA only, breaks when a byte changes, carries no time
# stamp from a server, and is itself reproducible: the signed exe is the unsigned one plus signature.
# Builds only the program target, twice (about a minute each on two cores).
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
check() {  # check NAME EXPECTED ACTUAL
    if [ "$2" == "$3" ]; then echo "ok   $1"; else echo "FAIL $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}

# A throw-away CA and a code-signing certificate issued by it; another CA that issued nothing.
pki=$work/pki
mkdir -p "$pki"
make_ca() {  # make_ca NAME CN
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/$1.key" -out "$pki/$1.pem" -days 2 -subj "/CN=$2" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
make_ca ca "Throwaway Release CA" && make_ca other "Unrelated CA" || { echo "openssl failed"; exit 1; }
openssl req -newkey rsa:2048 -nodes -keyout "$pki/sign.key" -out "$pki/sign.csr" -subj "/CN=Throwaway Code Signing" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >"$pki/ext.cnf"
openssl x509 -req -in "$pki/sign.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca.key" -CAcreateserial \
    -out "$pki/sign.pem" -days 2 -extfile "$pki/ext.cnf" 2>/dev/null || { echo "openssl x509 failed"; exit 1; }
cat "$pki/sign.pem" "$pki/ca.pem" >"$pki/chain.pem"
sign_time=$(date +%s)

# The development key (the default) is refused before anything is built, unless explicitly allowed.
QUILLMARSH_SKIP_SETUP=1 bash "$src/scripts/release.sh" --build-dir "$work/dev" --out "$work/dev-pkg" \
    >"$work/dev.log" 2>&1
check "development key: the release command fails" "1" "$?"
check "development key: it says why" "1" "$(grep -c 'refusing to build with the development HWID key' "$work/dev.log")"
check "development key: nothing built, no package" "no no" \
    "$([ -e "$work/dev/QuillmarshLauncher.exe" ] && echo yes || echo no) $([ -e "$work/dev-pkg" ] && echo yes || echo no)"

# Both builds go through the release command, with a deployment key and host of this test.
key="release-test-key-$RANDOM$RANDOM-do-not-publish"
host=release-test.invalid
build() {  # build DIR [cmake args...]: the release command into DIR, its package into DIR-pkg
    local dir=$1; shift
    QUILLMARSH_SKIP_SETUP=1 bash "$src/scripts/release.sh" --build-dir "$dir" --out "$dir-pkg" \
        -DQUILLMARSH_HWID_KEY="$key" -DQUILLMARSH_SERVER_HOST="$host" "$@" >"$dir.log" 2>&1 ||
        { echo "release build in $dir failed:"; tail -n 40 "$dir.log"; exit 1; }
}
# Different depths and names, so build paths would show if they leaked into the program.
build "$work/a"
mkdir -p "$work/another/deeper"
build "$work/another/deeper/b" -DQUILLMARSH_SIGN_CERT="$pki/chain.pem" -DQUILLMARSH_SIGN_KEY="$pki/sign.key" \
    -DQUILLMARSH_SIGN_TIME="$sign_time"
pkg_a=$(ls -d "$work"/a-pkg/quillmarsh-launcher-*/ 2>/dev/null | head -1)
pkg_b=$(ls -d "$work"/another/deeper/b-pkg/quillmarsh-launcher-*/ 2>/dev/null | head -1)
[ -n "$pkg_a" ] && [ -n "$pkg_b" ] || { echo "FAIL: no release package"; cat "$work/a.log"; exit 1; }
a=${pkg_a}QuillmarshLauncher.exe
b=${pkg_b}QuillmarshLauncher.exe
check "package exe is the built exe" "" "$(cmp "$a" "$work/a/QuillmarshLauncher.exe" 2>&1)"

# The package: the exe, its SHA-256, the deployment values without the key, the guide; and its zip.
check "package files" "QuillmarshLauncher.exe SHA256SUMS deployment.txt operators-guide.md" "$(ls "$pkg_a" | sort | xargs)"
check "SHA256SUMS matches the exe" "QuillmarshLauncher.exe: OK" "$(cd "$pkg_a" && sha256sum -c SHA256SUMS 2>&1)"
check "deployment values: host" "1" "$(grep -c "^server host  *$host " "$pkg_a/deployment.txt")"
check "deployment values: archive path" "1" "$(grep -c '^Java 17 archive path  */launcher/Java17.zip$' "$pkg_a/deployment.txt")"
check "deployment values: jar path" "1" "$(grep -c '^launcher jar path  */launcher/QuillmarshLauncher.jar$' "$pkg_a/deployment.txt")"
check "deployment values: payload signatures not checked" "1" "$(grep -c '^payload signatures  *not checked' "$pkg_a/deployment.txt")"
check "deployment values: unsigned" "1" "$(grep -c '^signature  *none' "$pkg_a/deployment.txt")"
check "deployment values: signer of the signed build" "1" "$(grep -c '^signature .*Throwaway Code Signing' "$pkg_b/deployment.txt")"
check "operator's guide" "" "$(cmp "$pkg_a/operators-guide.md" "$src/docs/operators-guide.md" 2>&1)"
check "the key is in no package file" "0" "$(grep -rlaF -- "$key" "$pkg_a" "$pkg_b" | wc -l)"
zip_a=${pkg_a%/}.zip
check "zip holds the package" "4" "$(unzip -Z1 "$zip_a" 2>/dev/null | grep -c "^$(basename "$pkg_a")/")"
check "zipped exe is the exe" "$(sha256sum <"$a" | cut -d' ' -f1)" \
    "$(unzip -p "$zip_a" "$(basename "$pkg_a")/QuillmarshLauncher.exe" | sha256sum | cut -d' ' -f1)"

# Unsigned by default; the signed build's exe without its signature is the unsigned build's exe.
osslsigncode extract-signature -in "$a" -out "$work/a.sig" >/dev/null 2>&1
check "default build is unsigned" "1" "$([ -s "$work/a.sig" ] && echo 0 || echo 1)"
osslsigncode remove-signature -in "$b" -out "$work/b-unsigned.exe" >/dev/null 2>&1
sha_a=$(sha256sum <"$a" | cut -d' ' -f1)
check "two builds in different folders: same SHA-256" "$sha_a" "$(sha256sum <"$work/b-unsigned.exe" | cut -d' ' -f1)"
check "byte-identical (cmp)" "" "$(cmp "$a" "$work/b-unsigned.exe" 2>&1)"

# The signature: verifies against its CA, not against another one, and not after a change.
verify() { osslsigncode verify -CAfile "$1" -in "$2" >"$work/verify.log" 2>&1; echo $?; }
check "signed build verifies against its CA" "0" "$(verify "$pki/ca.pem" "$b")"
grep -q "Subject: /CN=Throwaway Code Signing" "$work/verify.log"
check "signer is the configured certificate" "0" "$?"
grep -q "Timestamp is not available" "$work/verify.log"
check "no time stamp from a server" "0" "$?"
check "signature is SHA-256" "1" "$(grep -c 'Message digest algorithm  : SHA256' "$work/verify.log")"
check "another CA does not verify it" "1" "$( [ "$(verify "$pki/other.pem" "$b")" != 0 ] && echo 1 || echo 0)"
cp "$b" "$work/tampered.exe"
# One byte of the code section changed: the digest no longer matches.
text_at=$("$objdump" -h "$b" | awk '$2==".text"{print $6}')
[ -n "$text_at" ] || { echo "no .text section in $b"; exit 1; }
offset=$(( 16#$text_at + 4096 ))
printf '\x90' | dd of="$work/tampered.exe" bs=1 seek="$offset" conv=notrunc status=none
check "a changed byte breaks the signature" "1" "$( [ "$(verify "$pki/ca.pem" "$work/tampered.exe")" != 0 ] && echo 1 || echo 0)"

# Signing the unsigned build by hand with the same certificate and time gives the signed build's bytes.
cp "$a" "$work/by-hand.exe"
QUILLMARSH_SIGN_CERT=$pki/chain.pem QUILLMARSH_SIGN_KEY=$pki/sign.key QUILLMARSH_SIGN_TIME=$sign_time \
    bash "$src/scripts/sign.sh" "$work/by-hand.exe" >/dev/null
check "signing is reproducible" "$(sha256sum <"$b" | cut -d' ' -f1)" "$(sha256sum <"$work/by-hand.exe" | cut -d' ' -f1)"

# What makes it reproducible and small: no time stamp, no symbols or debug sections, no build paths.
headers=$("$objdump" -x "$a")
check "PE time stamp is zero" "1" "$(grep -Ec '^Time/Date[[:space:]]+(Thu Jan  1 00:00:00 1970|0+)$' <<<"$headers")"
check "no symbol table" "0" "$(grep -A2 '^SYMBOL TABLE:' <<<"$headers" | grep -c '\[')"
check "no debug sections" "0" "$("$objdump" -h "$a" | grep -c ' \.debug')"
check "no build or source path in the program" "0" \
    "$(strings -a "$a" | grep -c -e "$work" -e "$src" -e '/usr/' -e '/tmp/')"
QUILLMARSH_EXE=$a OBJDUMP=$objdump bash "$src/tests/scripts/test_imports.sh" >"$work/imports.log" 2>&1
check "release exe: GUI subsystem, system DLLs only" "0" "$?"
echo "release exe: $(stat -c %s "$a") bytes, SHA-256 $sha_a"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    cat "$work/imports.log"
    exit 1
fi
echo "all checks passed"
