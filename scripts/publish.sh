#!/usr/bin/env bash
# Publisher signatures for the two downloads (the launcher jar and the Java 17 archive). Run it on the
# machine that holds the private key, never on the server: whoever has that key can make players' shells
# run any code.
#   bash scripts/publish.sh keygen DIR
#       makes DIR/publisher-private.pem (P-256, readable by you only) and DIR/publisher-public.pem (the
#       public key as `openssl ec -pubout` writes it: build the shell with
#       -DQUILLMARSH_PUBLISHER_KEY=DIR/publisher-public.pem). Never overwrites an existing key.
#   bash scripts/publish.sh sign PRIVATE_KEY FILE...
#       writes FILE.sig beside each FILE: the DER signature of its SHA-256, as
#       `openssl dgst -sha256 -sign` writes it; each signature is verified before it replaces an old one.
#   bash scripts/publish.sh verify PUBLIC_KEY FILE...
#       checks FILE against FILE.sig as the shell does; exit code 1 when one does not verify.
# Sign the files in a copy of the server's files folder, then upload each file and its .sig and rename
# them into place (file first, then .sig): a player who starts in between gets a failed check and keeps
# the launcher jar already installed, and the next start finds both.
set -euo pipefail
openssl=${OPENSSL:-openssl}

usage() {
    echo "usage: publish.sh keygen DIR | sign PRIVATE_KEY FILE... | verify PUBLIC_KEY FILE..." >&2
    exit 2
}

case "${1:-}" in
    keygen)
        [ $# -eq 2 ] || usage
        dir=$2
        private=$dir/publisher-private.pem
        public=$dir/publisher-public.pem
        if [ -e "$private" ] || [ -e "$public" ]; then
            echo "publish.sh: $private or $public exists already; not replacing a key (every shell built" \
                 "with the old public key would refuse new files)" >&2
            exit 1
        fi
        mkdir -p "$dir"
        (
            umask 077
            "$openssl" ecparam -name prime256v1 -genkey -noout -out "$private.tmp"
            mv "$private.tmp" "$private"
        )
        "$openssl" ec -in "$private" -pubout -out "$public" 2>/dev/null
        public=$(realpath "$public")
        echo "private key: $private (keep it off the server, with a backup in a safe place)"
        echo "public key:  $public (build with -DQUILLMARSH_PUBLISHER_KEY=$public)"
        ;;
    sign)
        [ $# -ge 3 ] || usage
        key=$2
        shift 2
        [ -f "$key" ] || { echo "publish.sh: no private key $key" >&2; exit 1; }
        public=$(mktemp)
        trap 'rm -f "$public"' EXIT
        "$openssl" ec -in "$key" -pubout -out "$public" 2>/dev/null ||
            { echo "publish.sh: $key is not an EC private key" >&2; exit 1; }
        for file in "$@"; do
            [ -f "$file" ] || { echo "publish.sh: no file $file" >&2; exit 1; }
            "$openssl" dgst -sha256 -sign "$key" -out "$file.sig.tmp" "$file"
            if ! "$openssl" dgst -sha256 -verify "$public" -signature "$file.sig.tmp" "$file" >/dev/null; then
                rm -f "$file.sig.tmp"
                echo "publish.sh: the new signature of $file does not verify; nothing replaced" >&2
                exit 1
            fi
            chmod 644 "$file.sig.tmp"
            mv "$file.sig.tmp" "$file.sig"
            echo "signed: $file.sig"
        done
        ;;
    verify)
        [ $# -ge 3 ] || usage
        public=$2
        shift 2
        status=0
        for file in "$@"; do
            if [ -f "$file.sig" ] && "$openssl" dgst -sha256 -verify "$public" -signature "$file.sig" "$file" >/dev/null 2>&1
            then
                echo "good: $file"
            else
                echo "BAD: $file (signature missing or not made by this key for these bytes)"
                status=1
            fi
        done
        exit $status
        ;;
    *) usage ;;
esac
