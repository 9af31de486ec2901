#!/usr/bin/env bash
# Signing fixtures of the Windows tests, made at configure time into DIR (inside the build tree):
#   DIR/key/publisher-{private,public}.pem    the test publisher key (scripts/publish.sh keygen, made once);
#                                             the signed test build of the shell carries its public half
#   DIR/other/publisher-{private,public}.pem  another key: what it signs must not verify
#   DIR/payload.bin                           70000 bytes (more than one 64 KiB download chunk)
#   DIR/payload.bin.sig, payload.bin.other.sig  openssl dgst -sha256 -sign with each key (DER)
#   DIR/jar-v1, DIR/jar-v2 (+ .sig)           the two launcher jars of the end-to-end scenarios, as
#                                             their tests serve them, signed with the test key
# Signatures are made again on every run (ECDSA signatures differ each time; any valid one will do).
set -euo pipefail
dir=$1
openssl=${OPENSSL:-openssl}
src=$(cd "$(dirname "$0")/../.." && pwd)

mkdir -p "$dir"
for key in key other; do
    [ -f "$dir/$key/publisher-private.pem" ] || bash "$src/scripts/publish.sh" keygen "$dir/$key" >/dev/null
done

# The jars are the SHA-256 test vectors the end-to-end tests use as jar contents.
printf '%s' 'abc' >"$dir/jar-v1"
printf '%s' 'abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq' >"$dir/jar-v2"
[ -f "$dir/payload.bin" ] || "$openssl" rand -out "$dir/payload.bin" 70000

sign() {  # KEY FILE OUT
    "$openssl" dgst -sha256 -sign "$1" -out "$3" "$2"
}
sign "$dir/key/publisher-private.pem" "$dir/payload.bin" "$dir/payload.bin.sig"
sign "$dir/other/publisher-private.pem" "$dir/payload.bin" "$dir/payload.bin.other.sig"
sign "$dir/key/publisher-private.pem" "$dir/jar-v1" "$dir/jar-v1.sig"
sign "$dir/key/publisher-private.pem" "$dir/jar-v2" "$dir/jar-v2.sig"
