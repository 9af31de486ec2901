#!/usr/bin/env bash
# The release command: builds the program with the release preset (reproducible, stripped, signed when
# a certificate is configured) and makes the package an operator publishes:
#   <OUT>/quillmarsh-launcher-<version>-<commit>/
#       QuillmarshLauncher.exe   the program
#       SHA256SUMS               its SHA-256 (sha256sum -c SHA256SUMS)
#       deployment.txt           the deployment values it was built with: server host and the two paths,
#                                version, commit, signer; never the HWID signing key
#       operators-guide.md       build, sign, publish, run, ban; what the program sends and shows
#   <OUT>/quillmarsh-launcher-<version>-<commit>.zip   the same folder, zipped (fixed file times)
# Usage: bash scripts/release.sh [--build-dir DIR] [--out DIR] [--allow-development-key] [CMAKE_ARGS...]
#   CMAKE_ARGS are passed to the configure step, e.g.
#   -DQUILLMARSH_SERVER_HOST=play.example.org -DQUILLMARSH_HWID_KEY="$(cat secret.txt)"
#   -DQUILLMARSH_SIGN_CERT=chain.pem -DQUILLMARSH_SIGN_KEY=key.pem
# Values given once stay in the build folder's cache (it holds the key: keep that folder private).
# It refuses to build with the public development HWID key (anyone could sign fingerprints for such an
# exe, and a production server refuses that key) unless --allow-development-key is given, for test builds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/windows-release
out=$root/build/release
cmake_args=()
allow_development_key=0
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build=$(realpath -m "$2"); shift 2 ;;
        --out) out=$(realpath -m "$2"); shift 2 ;;
        --allow-development-key) allow_development_key=1; shift ;;
        --help|-h) sed -n '2,19p' "$0"; exit 0 ;;
        *) cmake_args+=("$1"); shift ;;
    esac
done
[ -n "${QUILLMARSH_SKIP_SETUP:-}" ] || bash scripts/setup.sh

# A fixed time for everything time-stamped (signature, zip entries): the commit's, unless given.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
fi
export SOURCE_DATE_EPOCH
commit=$(git rev-parse --short=12 HEAD 2>/dev/null || echo unknown)
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then commit=$commit-modified; fi

cmake --preset windows-release -B "$build" "${cmake_args[@]}" >/dev/null
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
development_key=quillmarsh-dev-key-NOT-FOR-RELEASE
if [ "$(cache_value QUILLMARSH_HWID_KEY)" = "$development_key" ] && [ "$allow_development_key" -ne 1 ]; then
    echo "release.sh: refusing to build with the development HWID key: pass -DQUILLMARSH_HWID_KEY=<your secret>" \
         "(or --allow-development-key for a build that is not for players)" >&2
    exit 1
fi
cmake --build "$build" --target QuillmarshLauncher
version=$(sed -n 's/^QUILLMARSH_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
name=quillmarsh-launcher-${version:-0}-$commit
pkg=$out/$name
rm -rf "$pkg" "$pkg.zip"
mkdir -p "$pkg"
cp "$build/QuillmarshLauncher.exe" "$pkg/"
cp docs/operators-guide.md "$pkg/"
(cd "$pkg" && sha256sum QuillmarshLauncher.exe >SHA256SUMS)

signer="none (unsigned)"
if [ -n "$(cache_value QUILLMARSH_SIGN_CERT)" ]; then
    # The chain need not verify here (a private CA is not in the system store): only the signer's name.
    signer=$( (osslsigncode verify -in "$pkg/QuillmarshLauncher.exe" 2>/dev/null || true) |
        sed -n 's/^[[:space:]]*Subject: //p' | head -1)
    signer="Authenticode, SHA-256, no time stamp; signer ${signer:-unknown}"
fi
host=$(cache_value QUILLMARSH_SERVER_HOST)
key=$(cache_value QUILLMARSH_HWID_KEY)
# Whether the exe checks the publisher signatures (path + ".sig") of the jar and the Java archive.
publisher_key=$(cache_value QUILLMARSH_PUBLISHER_KEY)
if [ -n "$publisher_key" ] && [ -f "$publisher_key" ]; then
    # Only what the exe really carries counts: the base64 lines of the key file's PUBLIC KEY block (the
    # only part the build embeds) are in it as they are.
    block=$(tr -d '\r' <"$publisher_key" | sed -n '/^-----BEGIN PUBLIC KEY-----$/,/^-----END PUBLIC KEY-----$/p')
    while IFS= read -r line; do
        case "$line" in -----*|"") continue ;; esac
        if ! grep -qaF -- "$line" "$pkg/QuillmarshLauncher.exe"; then
            echo "release.sh: the exe does not carry the publisher key $publisher_key" >&2
            exit 1
        fi
    done <<<"$block"
    payload_signatures="checked (P-256 publisher key, SHA-256 of its PUBLIC KEY block $(printf '%s\n' "$block" | sha256sum | cut -c1-16)...)"
else
    payload_signatures="not checked (no QUILLMARSH_PUBLISHER_KEY)"
fi
cat >"$pkg/deployment.txt" <<TXT
Quillmarsh Launcher $version, commit $commit
Built with the preset windows-release (reproducible: the same commit and values give the same bytes).

server host              $host   (requests go to https://$host)
Java 17 archive path     $(cache_value QUILLMARSH_JAVA_ARCHIVE_PATH)
launcher jar path        $(cache_value QUILLMARSH_LAUNCHER_JAR_PATH)
release manifest path    $(cache_value QUILLMARSH_RELEASE_PATH)   (product $(cache_value QUILLMARSH_PRODUCT))
HWID signing key         $([ "$key" = "$development_key" ] && echo "THE DEVELOPMENT KEY: not for players" || echo "deployment key (not recorded here)")
payload signatures       $payload_signatures
signature                $signer
source date (epoch)      $SOURCE_DATE_EPOCH
compiler                 $(x86_64-w64-mingw32-g++-posix -dumpfullversion 2>/dev/null || echo unknown) (MinGW-w64, posix threads)
SHA-256                  $(cut -d' ' -f1 "$pkg/SHA256SUMS")
TXT
# The package must never carry the key.
if grep -rqF -- "$key" "$pkg"; then
    echo "release.sh: the HWID signing key ended up in the package; not publishing it" >&2
    rm -rf "$pkg"
    exit 1
fi

python3 - "$out" "$name" "$SOURCE_DATE_EPOCH" <<'PY'
import os, sys, time, zipfile
out, name, epoch = sys.argv[1], sys.argv[2], max(int(sys.argv[3]), 315532800)
stamp = time.gmtime(epoch)[:6]
with zipfile.ZipFile(os.path.join(out, name + ".zip"), "w", zipfile.ZIP_DEFLATED) as z:
    for f in sorted(os.listdir(os.path.join(out, name))):
        info = zipfile.ZipInfo(f"{name}/{f}", stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o644 << 16
        with open(os.path.join(out, name, f), "rb") as src:
            z.writestr(info, src.read())
PY
[ "$key" != "$development_key" ] ||
    echo "warning: built with the development HWID key (--allow-development-key): not for players" >&2
echo "package: $pkg"
echo "zip:     $pkg.zip"
cat "$pkg/SHA256SUMS"
