#!/usr/bin/env bash
# scripts/publish.sh release: the manifest it writes is accepted by the shell's own parser and checks
# (tests/scripts/release_manifest_check.cpp, built here natively from the product's pure source), its
# signature verifies with openssl; the sequence only moves forward, also against a current manifest
# that was changed or signed by another key; --resign keeps the file lines; the expiry is the days asked
# for from now; the shell's version is read from the version resource of the Windows build's exe
# (QUILLMARSH_EXE, against the build's QUILLMARSH_VERSION) and of a small program built here with
# another version.
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
exe=${QUILLMARSH_EXE:?QUILLMARSH_EXE not set}
cache=${QUILLMARSH_TEST_BIN:-$(dirname "$exe")}/CMakeCache.txt
[ -f "$exe" ] && [ -f "$cache" ] || { echo "FAIL: missing $exe or $cache"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
publish() { bash "$src/scripts/publish.sh" "$@"; }

source "$src/tests/support/checks.sh"

${CXX:-c++} -std=c++20 -O1 -I"$src" -o "$work/check" "$src/tests/scripts/release_manifest_check.cpp" \
    "$src/net/release_manifest_pure.cpp" || { echo "FAIL: the manifest checker does not build"; exit 1; }
accepted() {  # accepted MANIFEST [PRODUCT [HIGHEST]]: the checker's verdict, now
    "$work/check" "$1" "${2:-quillmarsh}" "$(date +%s)" "${3:-0}"
}
verifies() {  # verifies PUBLIC MANIFEST: "yes" when MANIFEST.sig is its signature by that key
    openssl dgst -sha256 -verify "$1" -signature "$2.sig" "$2" >/dev/null 2>&1 && echo yes || echo no
}
field() { sed -n "s/^$1 //p" "$2"; }

publish keygen "$work/key" >/dev/null && publish keygen "$work/other" >/dev/null || { echo "FAIL: keygen"; exit 1; }
key=$work/key/publisher-private.pem public=$work/key/publisher-public.pem
head -c 300000 /dev/urandom >"$work/jar"
head -c 70000 /dev/urandom >"$work/java"
out=$work/files/launcher/release.txt
sha() { sha256sum "$1" | cut -d' ' -f1; }
size() { stat -c %s "$1"; }
jar_line="file jar $(sha "$work/jar") 300000"
java_line="file java $(sha "$work/java") 70000"

# ---- The first release: sequence 1, the documented form, a signature that verifies ------------------
before=$(date +%s)
publish release --key "$key" --out "$out" --jar "$work/jar" --java "$work/java" >/dev/null
check "first release written" "0" "$?"
after=$(date +%s)
check "first release: the lines in order" \
    "quillmarsh-release 1|product quillmarsh|sequence 1|expires|$jar_line|$java_line" \
    "$(sed 's/^expires .*/expires/' "$out" | paste -sd'|')"
check "first release: the signature verifies" "yes" "$(verifies "$public" "$out")"
check "first release: not by the other key" "no" "$(verifies "$work/other/publisher-public.pem" "$out")"
check "first release: the shell's parser accepts it" "accepted 1" "$(accepted "$out" | cut -d' ' -f1-2)"
expires=$(field expires "$out")
check "expiry form" "yes" "$([[ "$expires" =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$ ]] && echo yes || echo no)"
at=$(date -u -d "$expires" +%s)
check "expiry: 30 days from the run" "yes" \
    "$([ "$at" -ge $((before + 30 * 86400)) ] && [ "$at" -le $((after + 30 * 86400)) ] && echo yes || echo no)"
check "the shell's parser reads the same instant" "$at" "$(accepted "$out" | cut -d' ' -f3)"
check "another product's shell refuses it" "check failed 1" "$(accepted "$out" quillmarsh-beta)"
check "a shell that accepted sequence 2 refuses it" "check failed 3" "$(accepted "$out" quillmarsh 2)"

# ---- The next ones: sequence + 1, never down or level -------------------------------------------------
publish release --key "$key" --out "$out" --jar "$work/jar" --java "$work/java" >/dev/null
check "second release: sequence 2" "2" "$(field sequence "$out")"
cp "$out" "$work/kept" && cp "$out.sig" "$work/kept.sig"
for n in 2 1; do
    publish release --key "$key" --out "$out" --jar "$work/jar" --java "$work/java" --sequence $n >"$work/log" 2>&1
    check "--sequence $n after 2: refused" "1 1" "$? $(grep -c 'would not move forward' "$work/log")"
done
check "refused: manifest and signature untouched" "" "$(cmp "$out" "$work/kept" 2>&1; cmp "$out.sig" "$work/kept.sig" 2>&1)"
publish release --key "$key" --out "$out" --jar "$work/jar" --java "$work/java" --sequence 9223372036854775806 >/dev/null
check "--sequence 2^63-2: written" "9223372036854775806" "$(field sequence "$out")"
publish release --key "$key" --out "$out" --resign >/dev/null
check "2^63-1: written and accepted" "accepted 9223372036854775807" "$(accepted "$out" | cut -d' ' -f1-2)"
publish release --key "$key" --out "$out" --resign >"$work/log" 2>&1
check "past 2^63-1: refused" "1" "$?"
cp "$work/kept" "$out" && cp "$work/kept.sig" "$out.sig"

# ---- --resign: the same file lines, the next sequence, a new expiry -----------------------------------
publish release --key "$key" --out "$out" --jar "$work/jar" --java "$work/java" --shell "$exe" >/dev/null
check "with the shell: sequence 3" "3" "$(field sequence "$out")"
files_before=$(grep '^file ' "$out")
before=$(date +%s)
publish release --key "$key" --out "$out" --resign --expires-in 7 >/dev/null
after=$(date +%s)
check "--resign: sequence 4" "4" "$(field sequence "$out")"
check "--resign: the file lines unchanged" "$files_before" "$(grep '^file ' "$out")"
at=$(date -u -d "$(field expires "$out")" +%s)
check "--resign --expires-in 7: 7 days from the run" "yes" \
    "$([ "$at" -ge $((before + 7 * 86400)) ] && [ "$at" -le $((after + 7 * 86400)) ] && echo yes || echo no)"
check "--resign: the signature verifies" "yes" "$(verifies "$public" "$out")"
check "--resign: accepted" "accepted 4" "$(accepted "$out" quillmarsh 3 | cut -d' ' -f1-2)"
for days in 0 3651 1.5 -1; do
    publish release --key "$key" --out "$out" --resign --expires-in "$days" >/dev/null 2>&1
    check "--expires-in $days: refused" "2 4" "$? $(field sequence "$out")"
done
publish release --key "$key" --out "$work/elsewhere/release.txt" --resign >"$work/log" 2>&1
check "--resign without a current manifest: refused" "1" "$?"

# ---- A current manifest that cannot be trusted sets nothing ---------------------------------------------
cp "$out" "$work/kept" && cp "$out.sig" "$work/kept.sig"
sed -i 's/^sequence 4$/sequence 3/' "$out"
publish release --key "$key" --out "$out" --resign >"$work/log" 2>&1
check "changed current manifest: refused" "1 1" "$? $(grep -c 'does not verify' "$work/log")"
cp "$work/kept" "$out"
openssl dgst -sha256 -sign "$work/other/publisher-private.pem" -out "$out.sig" "$out"
publish release --key "$key" --out "$out" --jar "$work/jar" --java "$work/java" >"$work/log" 2>&1
check "current manifest signed by another key: refused" "1 1" "$? $(grep -c 'does not verify' "$work/log")"
cp "$work/kept.sig" "$out.sig"
# A copy published elsewhere (here a file; a URL works the same) continues its numbering.
publish release --key "$key" --out "$work/next/release.txt" --current "$out" --resign >/dev/null
check "--current: the next sequence of that manifest" "5" "$(field sequence "$work/next/release.txt")"
check "no temporary files left" "release.txt release.txt.sig" "$(ls "$(dirname "$out")" | paste -sd' ')"

# One publisher at a time: one started while the folder is locked is refused at once and writes nothing.
cp "$out" "$work/kept"
flock "$(dirname "$out")" bash "$src/scripts/publish.sh" release --key "$key" --out "$out" --resign >"$work/log" 2>&1
check "another publisher at work: refused" "1 1" "$? $(grep -c 'another publish.sh' "$work/log")"
check "another publisher at work: manifest untouched" "" "$(cmp "$out" "$work/kept" 2>&1)"

# ---- The shell's version from its version resource ---------------------------------------------------
configured=$(sed -n 's/^QUILLMARSH_VERSION:[A-Z]*=//p' "$cache")
check "the Windows build's exe: its configured version" "${configured:-1.0.0.0}" "$(publish version "$exe")"
check "the manifest's shell line" "file shell $(sha "$exe") $(size "$exe") ${configured:-1.0.0.0}" \
    "$(grep '^file shell ' "$work/kept")"
# A program of another version, made here by the same tool chain, so the version cannot be a constant.
cat >"$work/v.rc" <<'RC'
#include <winres.h>
VS_VERSION_INFO VERSIONINFO
 FILEVERSION 3,14,15,9265
 PRODUCTVERSION 2,7,1,8
BEGIN
    BLOCK "StringFileInfo"
    BEGIN
        BLOCK "040904b0"
        BEGIN
            VALUE "FileVersion", "0.0.0.1"
        END
    END
END
RC
printf 'int main(void) { return 0; }\n' >"$work/v.c"
x86_64-w64-mingw32-windres "$work/v.rc" -O coff -o "$work/v.res" &&
    x86_64-w64-mingw32-gcc -o "$work/v.exe" "$work/v.c" "$work/v.res" || { echo "FAIL: the test program does not build"; exit 1; }
check "another program: its FILEVERSION, not its product version or text" "3.14.15.9265" "$(publish version "$work/v.exe")"
x86_64-w64-mingw32-gcc -o "$work/none.exe" "$work/v.c"
publish version "$work/none.exe" >/dev/null 2>&1
check "a program without a version resource: refused" "1" "$?"
publish release --key "$key" --out "$out" --jar "$work/jar" --java "$work/java" --shell "$work/v.exe" >/dev/null
check "release with that program" "file shell $(sha "$work/v.exe") $(size "$work/v.exe") 3.14.15.9265" \
    "$(grep '^file shell ' "$out")"
check "release with that program: accepted" "accepted 5" "$(accepted "$out" quillmarsh 4 | cut -d' ' -f1-2)"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
