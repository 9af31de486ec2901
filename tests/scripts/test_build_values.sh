#!/usr/bin/env bash
# Build values checked at configure time (configure only, nothing is compiled; the host configuration,
# which writes the same generated files): a publisher key file that also holds a private key is refused
# and names the problem; of an accepted file only its PUBLIC KEY block is embedded; QUILLMARSH_VERSION
# reaches the version record's macros and the application manifest, and malformed versions, products
# and release paths are refused.
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source "$src/tests/support/checks.sh"
build=$work/build
generated=$build/generated
# configure [-Dvalue...]: every value given each time, so one run's value never stays in the cache.
configure() {
    cmake -S "$src" -B "$build" -G Ninja -DHOST_ONLY=ON -DQUILLMARSH_FUZZ=OFF -DBUILD_TESTING=OFF \
        -DQUILLMARSH_PUBLISHER_KEY= -DQUILLMARSH_VERSION=1.0.0.0 -DQUILLMARSH_PRODUCT=quillmarsh \
        -DQUILLMARSH_RELEASE_PATH=/launcher/release.txt "$@" >"$work/log" 2>&1
    local status=$?
    tr -s ' \n' ' ' <"$work/log" >"$work/said"  # CMake wraps its messages: one line to search
    return $status
}

bash "$src/scripts/publish.sh" keygen "$work/key" >/dev/null || { echo "FAIL: keygen"; exit 1; }
public=$work/key/publisher-public.pem
private=$work/key/publisher-private.pem

# The defaults: no key, version 1.0.0.0.
configure
check "defaults: configured" "0" "$?"
check "defaults: version macros" "1,0,0,0 \"1.0.0.0\"" \
    "$(sed -n 's/^#define QUILLMARSH_VERSION_COMMAS //p; s/^#define QUILLMARSH_VERSION_TEXT //p' "$generated/version_values.h" | paste -sd' ')"
check "defaults: the application manifest is the committed one" "" "$(cmp "$generated/app.manifest" "$src/shell/resources/app.manifest" 2>&1)"
check "defaults: no publisher key" "1" "$(grep -c 'publisher_key_pem\[\] = "";' "$generated/deployment_values.h")"

# Key files that hold a private key, in each of openssl's forms, also beside the public block.
openssl pkcs8 -topk8 -nocrypt -in "$private" -out "$work/pkcs8.pem"
openssl pkcs8 -topk8 -passout pass:secret -in "$private" -out "$work/encrypted.pem" 2>/dev/null
for form in "EC PRIVATE KEY:$private" "PRIVATE KEY:$work/pkcs8.pem" "ENCRYPTED PRIVATE KEY:$work/encrypted.pem"; do
    name=${form%%:*} file=${form#*:}
    cat "$public" "$file" >"$work/both.pem"
    configure -DQUILLMARSH_PUBLISHER_KEY="$work/both.pem"
    check "public + $name: refused, saying why" "1 1" "$? $(grep -c 'holds a PRIVATE KEY block' "$work/said")"
    cat "$file" "$public" >"$work/both.pem"
    configure -DQUILLMARSH_PUBLISHER_KEY="$work/both.pem"
    check "$name + public: refused" "1" "$?"
    check "$name: not written into the header" "0" "$(cat "$generated/deployment_values.h" | grep -c PRIVATE)"
done

# A public key with text around it (a comment, CR LF line ends, EC parameters): only the block goes in.
{ echo "release key of 2026"; openssl ecparam -name prime256v1; sed 's/$/\r/' "$public"; echo "trailer"; } >"$work/wrapped.pem"
configure -DQUILLMARSH_PUBLISHER_KEY="$work/wrapped.pem"
check "public key with text around it: configured" "0" "$?"
check "embedded: exactly the PUBLIC KEY block" "\"$(sed 's/$/\\n/' "$public" | tr -d '\n')\";" \
    "$(sed -n 's/^inline constexpr char publisher_key_pem\[\] = //p' "$generated/deployment_values.h")"
cat "$public" "$public" >"$work/two.pem"
configure -DQUILLMARSH_PUBLISHER_KEY="$work/two.pem"
check "two public key blocks: refused" "1" "$?"

# The version: into the record's macros and the manifest's assembly identity; the form is checked.
configure -DQUILLMARSH_VERSION=1.20.300.65535
check "version 1.20.300.65535: configured" "0" "$?"
check "version 1.20.300.65535: macros" "1,20,300,65535 \"1.20.300.65535\"" \
    "$(sed -n 's/^#define QUILLMARSH_VERSION_COMMAS //p; s/^#define QUILLMARSH_VERSION_TEXT //p' "$generated/version_values.h" | paste -sd' ')"
check "version 1.20.300.65535: the manifest's assembly identity" \
    '<assemblyIdentity name="QuillmarshLauncher.Shell" version="1.20.300.65535" processorArchitecture="*" type="win32"/>' \
    "$(grep -o '<assemblyIdentity name="QuillmarshLauncher.Shell"[^>]*>' "$generated/app.manifest")"
check "version: the rest of the manifest unchanged" "1" \
    "$(diff "$src/shell/resources/app.manifest" "$generated/app.manifest" | grep -c '^>')"
for bad in 1.0.0 1.0.0.0.0 65536.0.0.0 99999.0.0.0 01.0.0.0 1.0.0.a 1.0..0 -1.0.0.0; do
    configure -DQUILLMARSH_VERSION="$bad"
    check "version '$bad': refused" "1 1" "$? $(grep -c 'QUILLMARSH_VERSION must be a.b.c.d' "$work/said")"
done
for bad in "" "quill marsh" "quill/marsh" "$(printf 'q%.0s' $(seq 65))"; do
    configure -DQUILLMARSH_PRODUCT="$bad"
    check "product '${bad:0:20}': refused" "1" "$?"
done
configure -DQUILLMARSH_PRODUCT="$(printf 'q%.0s' $(seq 64))"
check "product of 64 characters: configured" "0" "$?"
configure -DQUILLMARSH_RELEASE_PATH=release.txt
check "release path without a leading slash: refused" "1" "$?"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    tail -n 20 "$work/log"
    exit 1
fi
echo "all checks passed"
