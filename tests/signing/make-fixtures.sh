#!/usr/bin/env bash
# Signing fixtures of the Windows tests, made at configure time into DIR (inside the build tree):
#   DIR/key/publisher-{private,public}.pem    the test publisher key (scripts/publish.sh keygen, made once);
#                                             the signed test build of the shell carries its public half
#   DIR/other/publisher-{private,public}.pem  another key: what it signs must not verify
#   DIR/payload.bin                           70000 bytes (more than one 64 KiB download chunk)
#   DIR/payload.bin.sig, payload.bin.other.sig  openssl dgst -sha256 -sign with each key (DER)
#   DIR/jar-v1, DIR/jar-v2 (+ .sig)           the two launcher jars of the end-to-end scenarios, as
#                                             their tests serve them, signed with the test key
#   DIR/key-fingerprint                      the test key's fingerprint (SHA-256 of its DER public key)
#   DIR/release-NAME.txt (+ .sig)            release manifests of the end-to-end scenarios, signed with
#                                             the test key (see the list at the end)
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

# Release manifests. Their Java archive line names a digest no archive has: the scenarios that keep the
# built-in Java 17 record it as verified under that digest; jar lines name the two jars above.
"$openssl" pkey -pubin -in "$dir/key/publisher-public.pem" -outform DER | sha256sum | cut -d' ' -f1 \
    | tr -d '\n' >"$dir/key-fingerprint"
sha() { sha256sum "$1" | cut -d' ' -f1; }
java_digest=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa
printf '%s' "$java_digest" >"$dir/release-java-digest"
manifest() {  # NAME PRODUCT SEQUENCE EXPIRES JAR_DIGEST JAR_SIZE
    printf 'quillmarsh-release 1\nproduct %s\nsequence %s\nexpires %s\nfile jar %s %s\nfile java %s 1000\n' \
        "$2" "$3" "$4" "$5" "$6" "$java_digest" >"$dir/release-$1.txt"
    sign "$dir/key/publisher-private.pem" "$dir/release-$1.txt" "$dir/release-$1.txt.sig"
}
v1=$(sha "$dir/jar-v1")
v2=$(sha "$dir/jar-v2")
late=9999-12-31T23:59:59Z
manifest v2 quillmarsh 10 "$late" "$v2" 56          # the release of jar-v2
manifest v1 quillmarsh 10 "$late" "$v1" 3           # the release of jar-v1
manifest lower quillmarsh 5 "$late" "$v2" 56        # jar-v2 under a lower sequence
manifest expired quillmarsh 10 2000-01-01T00:00:00Z "$v2" 56
manifest other-product otherproduct 10 "$late" "$v2" 56
manifest short quillmarsh 10 "$late" "$v2" 55       # jar-v2 is one byte longer than this says
manifest wrong-digest quillmarsh 10 "$late" "$v1" 56  # jar-v2's size with jar-v1's digest
