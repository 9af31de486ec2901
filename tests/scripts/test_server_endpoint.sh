#!/usr/bin/env bash
# The reference server: the ban endpoint (signature, ban list, malformed input), the ban list tool and
# the two download files, on PHP's built-in web server with a database and files of its own.
# The expected signatures come from openssl, not from the server's code.
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
work=$(mktemp -d)
state="$work/state"
cleanup() {
    bash "$src/server/bin/dev-server.sh" --stop "$state"
    rm -rf "$work"
}
trap cleanup EXIT

export QUILLMARSH_DB_DSN="sqlite:$work/db/bans.sqlite"
export QUILLMARSH_FILES_DIR="$work/files"
unset QUILLMARSH_HWID_KEY QUILLMARSH_JAVA_ARCHIVE_PATH QUILLMARSH_LAUNCHER_JAR_PATH
key='quillmarsh-dev-key-NOT-FOR-RELEASE'
mkdir -p "$work/files/launcher"
head -c 300000 /dev/urandom >"$work/files/launcher/QuillmarshLauncher.jar"
head -c 70000 /dev/urandom >"$work/files/launcher/Java17.zip"
echo "not for download" >"$work/files/launcher/other.txt"

started=$(bash "$src/server/bin/dev-server.sh" --state "$state") || { echo "server did not start"; exit 1; }
port=$(echo "$started" | sed -n 's/^port=//p')
pid=$(echo "$started" | sed -n 's/^pid=//p')
[ -n "$port" ] && [ -n "$pid" ] || { echo "no pid/port printed: $started"; exit 1; }
base="http://127.0.0.1:$port"

failures=0
check() {  # check NAME EXPECTED ACTUAL
    if [ "$2" == "$3" ]; then
        echo "ok   $1"
    else
        echo "FAIL $1: expected [$2], got [$3]"
        failures=$((failures + 1))
    fi
}
sign() { printf '%s' "$1" | openssl dgst -sha256 -hmac "$2" | sed 's/^.*= //'; }
ask() {  # ask QUERY -> "STATUS BODY"
    local out
    out=$(curl -s -g -w ' %{http_code}' "$base/launcher/hwid_ban.php$1")
    echo "${out##* } ${out% *}"
}

hwid=$(printf 'device-one' | sha256sum | cut -c1-64)
other=$(printf 'device-two' | sha256sum | cut -c1-64)
sig=$(sign "$hwid" "$key")
other_sig=$(sign "$other" "$key")

check "signed, not banned" '200 {"banned":false}' "$(ask "?hwid=$hwid&sig=$sig")"
check "content type" "application/json" \
    "$(curl -s -o /dev/null -w '%{content_type}' "$base/launcher/hwid_ban.php?hwid=$hwid&sig=$sig")"
check "tool: sign agrees with openssl" "$sig" "$(php "$src/server/bin/bans.php" sign "$hwid")"

check "tool: ban" "banned $hwid" "$(php "$src/server/bin/bans.php" ban "$hwid" cheating in ranked)"
check "signed, banned" '200 {"banned":true}' "$(ask "?hwid=$hwid&sig=$sig")"
check "another device stays free" '200 {"banned":false}' "$(ask "?hwid=$other&sig=$other_sig")"
check "tool: check" "banned" "$(php "$src/server/bin/bans.php" check "$hwid")"
listed=$(php "$src/server/bin/bans.php" list)
check "tool: list has hwid and reason" "$hwid cheating in ranked" "$(echo "$listed" | awk -F'\t' '{print $1, $3}')"
check "tool: list has a UTC time" "1" "$(echo "$listed" | cut -f2 | grep -cE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$')"
check "tool: ban again replaces" "1" "$(php "$src/server/bin/bans.php" ban "$hwid" second >/dev/null; php "$src/server/bin/bans.php" list | grep -c "$hwid")"
check "tool: unban" "unbanned $hwid" "$(php "$src/server/bin/bans.php" unban "$hwid")"
check "signed, unbanned" '200 {"banned":false}' "$(ask "?hwid=$hwid&sig=$sig")"
php "$src/server/bin/bans.php" unban "$hwid" >/dev/null 2>&1
check "tool: unban of a free device fails" "1" "$?"
php "$src/server/bin/bans.php" ban "ABC" >/dev/null 2>&1
check "tool: rejects a malformed hwid" "2" "$?"

# Signatures: another device's, another key's, one flipped character, upper case.
flipped="${sig:0:63}$( [ "${sig:63:1}" == "0" ] && echo 1 || echo 0 )"
wrong_key_sig=$(sign "$hwid" "another-key")
upper_sig=$(echo "$sig" | tr 'a-f' 'A-F')
check "signature of another device" "403" "$(ask "?hwid=$hwid&sig=$other_sig" | cut -d' ' -f1)"
check "signature under another key" "403" "$(ask "?hwid=$hwid&sig=$wrong_key_sig" | cut -d' ' -f1)"
check "one character changed" "403" "$(ask "?hwid=$hwid&sig=$flipped" | cut -d' ' -f1)"
check "error body is JSON" '403 {"error":"signature does not match"}' "$(ask "?hwid=$hwid&sig=$flipped")"
check "upper-case signature" "400" "$(ask "?hwid=$hwid&sig=$upper_sig" | cut -d' ' -f1)"

# Malformed requests.
upper_hwid=$(echo "$hwid" | tr 'a-f' 'A-F')
for q in "" "?hwid=$hwid" "?sig=$sig" "?hwid=${hwid:0:63}&sig=$sig" "?hwid=${hwid}0&sig=$sig" \
         "?hwid=$upper_hwid&sig=$(sign "$upper_hwid" "$key")" "?hwid[]=$hwid&sig=$sig" \
         "?hwid=$hwid%0A&sig=$sig" "?hwid=${hwid:0:63}g&sig=$sig" "?hwid=&sig="; do
    result=$(ask "$q")
    check "malformed: ${q:0:40}" "400" "${result%% *}"
    case "$result" in *'"error"'*) ;; *) echo "FAIL malformed: no JSON error in [$result]"; failures=$((failures + 1)) ;; esac
done
check "POST is refused" "405" "$(curl -s -o /dev/null -w '%{http_code}' -X POST "$base/launcher/hwid_ban.php?hwid=$hwid&sig=$sig")"

# A deployment key from the environment replaces the development key.
bash "$src/server/bin/dev-server.sh" --stop "$state"
QUILLMARSH_HWID_KEY="production secret" bash "$src/server/bin/dev-server.sh" --state "$state" --port "$port" >/dev/null ||
    { echo "server did not restart"; exit 1; }
check "dev signature under a deployment key" "403" "$(ask "?hwid=$hwid&sig=$sig" | cut -d' ' -f1)"
check "deployment signature" '200 {"banned":false}' "$(ask "?hwid=$hwid&sig=$(sign "$hwid" "production secret")")"

# The two download files, and nothing else.
fetch() { curl -s -o "$work/got" -w '%{http_code}' "$base$1"; }
check "launcher jar status" "200" "$(fetch /launcher/QuillmarshLauncher.jar)"
check "launcher jar bytes" "" "$(cmp "$work/got" "$work/files/launcher/QuillmarshLauncher.jar" 2>&1)"
check "Java 17 archive status" "200" "$(fetch /launcher/Java17.zip)"
check "Java 17 archive bytes" "" "$(cmp "$work/got" "$work/files/launcher/Java17.zip" 2>&1)"
check "other file in the folder" "404" "$(fetch /launcher/other.txt)"
check "traversal" "404" "$(curl -s -o /dev/null -w '%{http_code}' --path-as-is "$base/launcher/../../config.php")"
check "config is not served" "404" "$(fetch /config.php)"
check "library is not served" "404" "$(fetch /lib/bans.php)"
rm "$work/files/launcher/Java17.zip"
check "missing archive" "404" "$(fetch /launcher/Java17.zip)"

# The SQLite database was made on first use, where the configuration said.
check "database file" "yes" "$( [ -s "$work/db/bans.sqlite" ] && echo yes || echo no)"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; server log:"
    cat "$state/server.log"
    exit 1
fi
echo "all checks passed"
