#!/usr/bin/env bash
# Signs a Windows program in place with Authenticode (osslsigncode, SHA-256), without a time-stamp
# server: nothing leaves the machine, and with a fixed signing time the signed file is reproducible.
#   QUILLMARSH_SIGN_CERT=cert.pem QUILLMARSH_SIGN_KEY=key.pem [QUILLMARSH_SIGN_PASS_FILE=pass.txt]
#   [QUILLMARSH_SIGN_TIME=<unix seconds>] bash scripts/sign.sh FILE.exe
# The release build calls it after the link when the two CMake cache variables of the same names are set.
set -euo pipefail
exe=${1:?usage: sign.sh FILE.exe}
cert=${QUILLMARSH_SIGN_CERT:?certificate chain file (QUILLMARSH_SIGN_CERT)}
key=${QUILLMARSH_SIGN_KEY:?private key file (QUILLMARSH_SIGN_KEY)}
args=(sign -h sha256 -n "Quillmarsh Launcher" -certs "$cert" -key "$key")
[ -z "${QUILLMARSH_SIGN_PASS_FILE:-}" ] || args+=(-readpass "$QUILLMARSH_SIGN_PASS_FILE")
[ -z "${QUILLMARSH_SIGN_TIME:-}" ] || args+=(-time "$QUILLMARSH_SIGN_TIME")
# A file that is signed already is signed afresh from its unsigned form.
tmp=$(mktemp "$exe.XXXXXX")
trap 'rm -f "$tmp" "$tmp.unsigned"' EXIT
if osslsigncode extract-signature -in "$exe" -out "$tmp.sig" >/dev/null 2>&1; then
    rm -f "$tmp.sig"
    osslsigncode remove-signature -in "$exe" -out "$tmp.unsigned" >/dev/null
    src=$tmp.unsigned
else
    rm -f "$tmp.sig"
    src=$exe
fi
rm -f "$tmp"
osslsigncode "${args[@]}" -in "$src" -out "$tmp" >/dev/null
mv -f "$tmp" "$exe"
echo "signed: $exe"
