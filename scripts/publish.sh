#!/usr/bin/env bash
# Publisher signatures for the two downloads (the launcher jar and the Java 17 archive) and the release
# manifest that lists them. Run it on the machine that holds the private key, never on the server:
# whoever has that key can make players' shells run any code.
#   bash scripts/publish.sh keygen DIR
#       makes DIR/publisher-private.pem (P-256, readable by you only) and DIR/publisher-public.pem (the
#       public key as `openssl ec -pubout` writes it: build the shell with
#       -DQUILLMARSH_PUBLISHER_KEY=DIR/publisher-public.pem). Never overwrites an existing key.
#   bash scripts/publish.sh sign PRIVATE_KEY FILE...
#       writes FILE.sig beside each FILE: the DER signature of its SHA-256, as
#       `openssl dgst -sha256 -sign` writes it; each signature is verified before it replaces an old one.
#   bash scripts/publish.sh verify PUBLIC_KEY FILE...
#       checks FILE against FILE.sig as the shell does; exit code 1 when one does not verify.
#   bash scripts/publish.sh version EXE
#       prints the four-part file version a.b.c.d of EXE's version resource (what a manifest's shell
#       line carries).
#   bash scripts/publish.sh release --key PRIVATE_KEY --out RELEASE_TXT --jar JAR --java ARCHIVE
#                                   [--shell EXE] [options]
#   bash scripts/publish.sh release --key PRIVATE_KEY --out RELEASE_TXT --resign [options]
#       writes the release manifest RELEASE_TXT and its signature RELEASE_TXT.sig (DER ECDSA P-256 over
#       the SHA-256 of the manifest's bytes). The files' sizes and SHA-256 are read from JAR, ARCHIVE and
#       EXE; the shell's four-part version from EXE's version resource. --resign writes the file lines of
#       the current manifest again, with a new sequence and expiry (for a timer: see the guide).
#       Options:
#         --current FILE|URL  the manifest published now (default: RELEASE_TXT when it exists); its .sig
#                             beside it must verify with this key, or nothing is written
#         --sequence N        the new sequence (default: the current one + 1, or 1 without a current
#                             manifest); never lower than or equal to the current one
#         --expires-in DAYS   the manifest is trusted for this many days from now (default 30, 1..3650)
#         --product NAME      the product the shells are built with (QUILLMARSH_PRODUCT; default quillmarsh,
#                             with --resign the current manifest's)
#       The manifest and its signature are made in temporary files beside RELEASE_TXT, the signature is
#       verified, then both are renamed into place: the manifest first, its .sig right after, in the order
#       the shell fetches them, so only a player whose two requests straddle the two renames sees a pair
#       that does not match; that start keeps the files it verified before and the next one finds both.
# Sign the files in a copy of the server's files folder, then upload each file and its .sig and rename
# them into place (file first, then .sig): a player who starts in between gets a failed check and keeps
# the launcher jar already installed, and the next start finds both.
set -euo pipefail
openssl=${OPENSSL:-openssl}

usage() {
    echo "usage: publish.sh keygen DIR | sign PRIVATE_KEY FILE... | verify PUBLIC_KEY FILE... | version EXE" \
         "| release --key PRIVATE_KEY --out RELEASE_TXT (--jar JAR --java ARCHIVE [--shell EXE] | --resign)" \
         "[--current FILE|URL] [--sequence N] [--expires-in DAYS] [--product NAME]" >&2
    exit 2
}

# The four-part file version of a Windows program's version resource: the VS_FIXEDFILEINFO that follows
# the one "VS_VERSION_INFO" key (UTF-16LE) at the next 32-bit boundary, checked by its signature.
exe_version() {  # exe_version EXE
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
key = "VS_VERSION_INFO\0".encode("utf-16-le")
found = []
at = data.find(key)
while at != -1:
    start = at - 6  # wLength, wValueLength, wType come before the key
    value = start + ((6 + len(key) + 3) & ~3)
    if start >= 0 and data[value:value + 4] == struct.pack("<I", 0xFEEF04BD):
        ms, ls = struct.unpack_from("<II", data, value + 8)
        found.append("%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))
    at = data.find(key, at + 1)
if len(found) != 1:
    sys.exit(f"publish.sh: {sys.argv[1]}: {len(found)} version resources found, expected one")
print(found[0])
PY
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
    version)
        [ $# -eq 2 ] || usage
        exe_version "$2"
        ;;
    release)
        shift
        key="" out="" jar="" java="" shell="" resign=0 current="" sequence="" days=30 product=""
        while [ $# -gt 0 ]; do
            case "$1" in
                --key) key=${2:?}; shift 2 ;;
                --out) out=${2:?}; shift 2 ;;
                --jar) jar=${2:?}; shift 2 ;;
                --java) java=${2:?}; shift 2 ;;
                --shell) shell=${2:?}; shift 2 ;;
                --resign) resign=1; shift ;;
                --current) current=${2:?}; shift 2 ;;
                --sequence) sequence=${2:?}; shift 2 ;;
                --expires-in) days=${2:?}; shift 2 ;;
                --product) product=${2:?}; shift 2 ;;
                *) usage ;;
            esac
        done
        [ -n "$key" ] && [ -n "$out" ] || usage
        if [ $resign -eq 1 ]; then
            [ -z "$jar$java$shell" ] || { echo "publish.sh: --resign takes the files of the current manifest" >&2; exit 2; }
        else
            [ -n "$jar" ] && [ -n "$java" ] || usage
            for file in "$jar" "$java" ${shell:+"$shell"}; do
                [ -f "$file" ] || { echo "publish.sh: no file $file" >&2; exit 1; }
            done
        fi
        [[ "$days" =~ ^[1-9][0-9]{0,3}$ ]] && [ "$days" -le 3650 ] ||
            { echo "publish.sh: --expires-in takes 1..3650 days" >&2; exit 2; }
        [ -f "$key" ] || { echo "publish.sh: no private key $key" >&2; exit 1; }
        work=$(mktemp -d) new="" sig=""
        trap 'rm -rf "$work" ${new:+"$new"} ${sig:+"$sig"}' EXIT
        "$openssl" ec -in "$key" -pubout -out "$work/public.pem" 2>/dev/null ||
            { echo "publish.sh: $key is not an EC private key" >&2; exit 1; }
        mkdir -p "$(dirname "$out")"
        # One publisher at a time per folder (a timer's --resign and a release by hand): both would take
        # the same next sequence. The lock is on the folder itself, so nothing is left beside the files.
        exec 9<"$(dirname "$out")"
        flock -n 9 || { echo "publish.sh: another publish.sh is writing in $(dirname "$out")" >&2; exit 1; }

        # The current manifest, only when its signature verifies with this key: a manifest changed on
        # the server must neither set the next sequence nor, with --resign, be signed again.
        [ -n "$current" ] || { [ ! -e "$out" ] || current=$out; }
        if [ -n "$current" ]; then
            case "$current" in
                http://* | https://*)
                    for suffix in "" .sig; do
                        curl -fsS --max-filesize 4096 -o "$work/current$suffix" "$current$suffix" ||
                            { echo "publish.sh: cannot fetch $current$suffix" >&2; exit 1; }
                    done ;;
                *)
                    cp "$current" "$work/current" && cp "$current.sig" "$work/current.sig" ||
                        { echo "publish.sh: cannot read $current and $current.sig" >&2; exit 1; } ;;
            esac
            "$openssl" dgst -sha256 -verify "$work/public.pem" -signature "$work/current.sig" "$work/current" \
                >/dev/null 2>&1 || { echo "publish.sh: the signature of the current manifest $current does" \
                    "not verify with this key; nothing written (pass --current with a copy you trust)" >&2; exit 1; }
        elif [ $resign -eq 1 ]; then
            echo "publish.sh: --resign needs the current manifest ($out or --current)" >&2
            exit 1
        fi
        shell_version=""
        [ -z "$shell" ] || shell_version=$(exe_version "$shell")

        new=$(mktemp "$out.XXXXXX")
        python3 - "$work/current" "$new" "$resign" "$sequence" "$days" "$product" "$jar" "$java" "$shell" \
            "$shell_version" <<'PY' || exit 1
import hashlib, os, re, sys, time
current, out, resign, sequence, days, product, jar, java, shell, shell_version = sys.argv[1:]
MAX = 2**63 - 1
NUM = r"(0|[1-9][0-9]*)"
HEX = r"[0-9a-f]{64}"
FORM = re.compile(
    r"quillmarsh-release 1\n"
    r"product (?P<product>[A-Za-z0-9._-]{1,64})\n"
    r"sequence (?P<sequence>[1-9][0-9]*)\n"
    r"expires (?P<expires>[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z)\n"
    rf"(?P<files>file jar {HEX} {NUM}\nfile java {HEX} {NUM}\n"
    rf"(?:file shell {HEX} {NUM} {NUM}\.{NUM}\.{NUM}\.{NUM}\n)?)\Z")

def fail(text):
    sys.exit("publish.sh: " + text)

def file_line(kind, path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return f"file {kind} {digest.hexdigest()} {os.path.getsize(path)}"

old = None
if os.path.exists(current):
    text = open(current, "rb").read()
    try:
        old = FORM.match(text.decode("ascii")) if len(text) <= 4096 else None
    except UnicodeDecodeError:
        old = None
    if old is None:
        fail("the current manifest is not in the manifest's form; nothing written")
old_sequence = int(old["sequence"]) if old else 0
if sequence:
    if not re.fullmatch(r"[1-9][0-9]*", sequence):
        fail("--sequence takes a whole number from 1")
    new_sequence = int(sequence)
else:
    new_sequence = old_sequence + 1
if new_sequence <= old_sequence:
    fail(f"sequence {new_sequence} would not move forward from the published {old_sequence}; nothing written")
if new_sequence > MAX:
    fail("the sequence would pass 2^63-1; nothing written")

if resign == "1":
    files = old["files"]
    product = product or old["product"]
else:
    lines = [file_line("jar", jar), file_line("java", java)]
    if shell:
        if not re.fullmatch(rf"{NUM}\.{NUM}\.{NUM}\.{NUM}", shell_version) or \
                any(int(p) > 65535 for p in shell_version.split(".")):
            fail(f"{shell}: version {shell_version!r} is not a.b.c.d")
        lines.append(file_line("shell", shell) + " " + shell_version)
    files = "".join(line + "\n" for line in lines)
product = product or "quillmarsh"
if not re.fullmatch(r"[A-Za-z0-9._-]{1,64}", product):
    fail("--product takes 1..64 of A-Z a-z 0-9 . _ -")
for size in re.finditer(rf"{HEX} (?P<n>0|[1-9][0-9]*)", files):
    if int(size["n"]) > MAX:
        fail("a file is larger than 2^63-1 bytes")
expires = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(int(time.time()) + int(days) * 86400))
manifest = (f"quillmarsh-release 1\nproduct {product}\nsequence {new_sequence}\nexpires {expires}\n" + files)
if len(manifest) > 4096 or not FORM.match(manifest):
    fail("internal error: the manifest written would not be in its form")
with open(out, "w", encoding="ascii", newline="\n") as f:
    f.write(manifest)
PY
        sig=$(mktemp "$out.sig.XXXXXX")
        "$openssl" dgst -sha256 -sign "$key" -out "$sig" "$new"
        if ! "$openssl" dgst -sha256 -verify "$work/public.pem" -signature "$sig" "$new" >/dev/null; then
            echo "publish.sh: the new signature of the manifest does not verify; nothing replaced" >&2
            exit 1
        fi
        chmod 644 "$new" "$sig"
        # The manifest first, its signature right after: the order the shell fetches them in.
        mv "$new" "$out"
        mv "$sig" "$out.sig"
        echo "released: $out ($(sed -n 's/^sequence //p' "$out"), expires $(sed -n 's/^expires //p' "$out")) and $out.sig"
        ;;
    *) usage ;;
esac
