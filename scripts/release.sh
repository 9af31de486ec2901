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
# Usage: bash scripts/release.sh [--build-dir DIR] [--out DIR] [CMAKE_ARGS...]
#   CMAKE_ARGS are passed to the configure step, e.g.
#   -DQUILLMARSH_SERVER_HOST=play.example.org -DQUILLMARSH_HWID_KEY="$(cat secret.txt)"
#   -DQUILLMARSH_SIGN_CERT=chain.pem -DQUILLMARSH_SIGN_KEY=key.pem
# Values given once stay in the build folder's cache (it holds the key: keep that folder private).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/windows-release
out=$root/build/release
cmake_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build=$(realpath -m "$2"); shift 2 ;;
        --out) out=$(realpath -m "$2"); shift 2 ;;
        --help|-h) sed -n '2,17p' "$0"; exit 0 ;;
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
cmake --build "$build" --target QuillmarshLauncher

cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
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
cat >"$pkg/deployment.txt" <<TXT
Quillmarsh Launcher $version, commit $commit
Built with the preset windows-release (reproducible: the same commit and values give the same bytes).

server host              $host   (requests go to https://$host)
Java 17 archive path     $(cache_value QUILLMARSH_JAVA_ARCHIVE_PATH)
launcher jar path        $(cache_value QUILLMARSH_LAUNCHER_JAR_PATH)
HWID signing key         $([ "$key" = "quillmarsh-dev-key-NOT-FOR-RELEASE" ] && echo "THE DEVELOPMENT KEY: not for players" || echo "deployment key (not recorded here)")
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
[ "$key" != "quillmarsh-dev-key-NOT-FOR-RELEASE" ] ||
    echo "warning: built with the development HWID key; pass -DQUILLMARSH_HWID_KEY=<your secret> for players" >&2
echo "package: $pkg"
echo "zip:     $pkg.zip"
cat "$pkg/SHA256SUMS"
