#!/usr/bin/env bash
# A release manifest that offers a shell exe, made after that exe is built (its size and digest are
# known only then): DIR/release-NAME.txt (+ .sig), signed with the test key of make-fixtures.sh. It names
# jar-v2 and the fixtures' Java archive digest, sequence 20, and EXE as the shell at VERSION (which the
# exe's own version record may or may not say).
set -euo pipefail
dir=$1 name=$2 exe=$3 version=$4
openssl=${OPENSSL:-openssl}
printf 'quillmarsh-release 1\nproduct quillmarsh\nsequence 20\nexpires 9999-12-31T23:59:59Z\nfile jar %s 56\nfile java %s 1000\nfile shell %s %s %s\n' \
    "$(sha256sum "$dir/jar-v2" | cut -d' ' -f1)" "$(cat "$dir/release-java-digest")" \
    "$(sha256sum "$exe" | cut -d' ' -f1)" "$(stat -c %s "$exe")" "$version" >"$dir/release-$name.txt"
"$openssl" dgst -sha256 -sign "$dir/key/publisher-private.pem" -out "$dir/release-$name.txt.sig" "$dir/release-$name.txt"
