#!/usr/bin/env bash
# The reference server: the ban endpoint (signature, ban list, malformed input), the ban list tool and
# the two download files and the release manifest with their signatures, on PHP's built-in web server with a database and files of
# its own. The expected signatures come from openssl, not from the server's code. Then a server set up
# like production (no development server): it refuses the development key, answers 503 at once while
# the database or its table is missing (only the admin command makes them), does not wait long on a
# locked database, and lets checks read while a writer works. The admin command escapes what it prints
# and, run as root, gives the database it makes to the owner of its folder.
# On SQLite by default; with QUILLMARSH_TEST_DB=pgsql on PostgreSQL (tests/support/db.sh), where a
# migration run twice must leave the schema as it was and a stopped database must give 503 at once.
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
work=$(mktemp -d)
chmod 755 "$work"
state="$work/state"
prod_pid=""
holder=""
source "$src/tests/support/db.sh"
cleanup() {
    bash "$src/server/bin/dev-server.sh" --stop "$state"
    [ -z "$prod_pid" ] || kill "$prod_pid" 2>/dev/null
    [ -z "$holder" ] || kill "$holder" 2>/dev/null
    [ "$(test_db_kind)" != pgsql ] || bash "$src/tests/support/postgres.sh" start "$QUILLMARSH_TEST_POSTGRES" >/dev/null
    test_db_drop
    rm -rf "$work"
}
trap cleanup EXIT
kind=$(test_db_kind)
echo "database: $kind"

test_db_init endpoint "$work/db/bans.sqlite"
export QUILLMARSH_FILES_DIR="$work/files"
unset QUILLMARSH_HWID_KEY QUILLMARSH_JAVA_ARCHIVE_PATH QUILLMARSH_LAUNCHER_JAR_PATH QUILLMARSH_RELEASE_PATH
# The audit's operator is then the admin command's own user, the very name `id -un` reads: a test
# command started through sudo must not make it the sudo user's.
unset SUDO_USER
key='quillmarsh-dev-key-NOT-FOR-RELEASE'
mkdir -p "$work/files/launcher"
head -c 300000 /dev/urandom >"$work/files/launcher/QuillmarshLauncher.jar"
head -c 70000 /dev/urandom >"$work/files/launcher/Java17.zip"
head -c 72 /dev/urandom >"$work/files/launcher/QuillmarshLauncher.jar.sig"
echo "not for download" >"$work/files/launcher/other.txt"
printf 'quillmarsh-release 1\nproduct quillmarsh\n' >"$work/files/launcher/release.txt"
head -c 71 /dev/urandom >"$work/files/launcher/release.txt.sig"

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
check "launcher jar signature status" "200" "$(fetch /launcher/QuillmarshLauncher.jar.sig)"
check "launcher jar signature bytes" "" "$(cmp "$work/got" "$work/files/launcher/QuillmarshLauncher.jar.sig" 2>&1)"
check "missing archive signature" "404" "$(fetch /launcher/Java17.zip.sig)"
# The release manifest and its signature, never to be kept by a cache without asking again.
headers() { curl -s -D - -o "$work/got" "$base$1" | tr -d '\r'; }
for name in release.txt release.txt.sig; do
    check "$name: status and no-cache" "HTTP/1.1 200 OK|Cache-Control: no-cache" \
        "$(headers "/launcher/$name" | grep -E '^(HTTP/|Cache-Control:)' | paste -sd'|')"
    check "$name: bytes" "" "$(cmp "$work/got" "$work/files/launcher/$name" 2>&1)"
done
check "release manifest beside the path" "404" "$(fetch /launcher/release.txt.old)"
check "other file in the folder" "404" "$(fetch /launcher/other.txt)"
check "traversal" "404" "$(curl -s -o /dev/null -w '%{http_code}' --path-as-is "$base/launcher/../../config.php")"
check "config is not served" "404" "$(fetch /config.php)"
check "library is not served" "404" "$(fetch /lib/bans.php)"
rm "$work/files/launcher/Java17.zip"
check "missing archive" "404" "$(fetch /launcher/Java17.zip)"

# The development server made the SQLite database at start (bin/bans.php migrate), where configured.
[ "$kind" != sqlite ] || check "database file" "yes" "$( [ -s "$work/db/bans.sqlite" ] && echo yes || echo no)"

# ---- The admin command's output: one line per ban, nothing a terminal would act on ------------------
tool() { php "$src/server/bin/bans.php" "$@"; }
tool ban "$other" "$(printf 'tab\there\nnew line \033[2J back\\slash \302\233 caf\303\251 \177')" >/dev/null
check "list: control characters escaped" \
    "$other	"'tab\there\nnew line \x1b[2J back\\slash \u{9b} café \x7f' \
    "$(tool list | grep "^$other" | cut -f1,3)"
check "list: one line per ban" "1" "$(tool list | wc -l)"
# A reason that is not UTF-8 (or holds a NUL) is refused on every database; the ban stays as it was.
tool ban "$other" "$(printf 'not utf-8 \377')" >/dev/null 2>&1
check "ban with a reason that is not UTF-8: refused" "2" "$?"
check "ban with a reason that is not UTF-8: the old reason stays" "1" "$(tool list | grep -c 'back\\\\slash')"
if [ "$kind" = sqlite ]; then  # a row an older server stored: its bytes are escaped
    sql "UPDATE hwid_bans SET reason = ? WHERE hwid = ?" "$(printf 'not utf-8 \377')" "$other"
    check "list: bytes that are not UTF-8 escaped" 'not utf-8 \xff' "$(tool list | cut -f3)"
fi

# ---- The device log: every correctly signed check, nothing else ------------------------------------
bash "$src/server/bin/dev-server.sh" --stop "$state"  # back to the development key
bash "$src/server/bin/dev-server.sh" --state "$state" --port "$port" >/dev/null || { echo "server did not restart"; exit 1; }
third=$(printf 'device-three' | sha256sum | cut -c1-64)
third_sig=$(sign "$third" "$key")
ask "?hwid=$third&sig=$other_sig" >/dev/null                  # wrong signature: 403
ask "?hwid=$third&sig=${third_sig:0:63}" >/dev/null            # malformed: 400
check "device log: unsigned or malformed checks leave no row" "0" "$(sql 'SELECT COUNT(*) FROM devices WHERE hwid = ?' "$third")"
for _ in 1 2 3; do ask "?hwid=$third&sig=$third_sig" >/dev/null; done
check "device log: three checks, from 127.0.0.1, answered not banned" "3|127.0.0.1|not banned" \
    "$(sql 'SELECT checks, last_address, last_verdict FROM devices WHERE hwid = ?' "$third")"
seen=$(sql "SELECT CASE WHEN first_seen <= last_seen THEN 'ordered' END, last_seen FROM devices WHERE hwid = ?" "$third")
check "device log: first seen <= last seen, both UTC times" "1" \
    "$(grep -cE '^ordered\|[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$' <<<"$seen")"
tool ban "$third" testing the log >/dev/null
ask "?hwid=$third&sig=$third_sig" >/dev/null
check "device log: the last verdict follows the answer" "4|banned" \
    "$(sql 'SELECT checks, last_verdict FROM devices WHERE hwid = ?' "$third")"
check "device log: the day's row counts the checks" "$(date -u +%F)|4|banned" \
    "$(sql 'SELECT day, checks, last_verdict FROM device_days WHERE hwid = ?' "$third")"
tool unban "$third" >/dev/null
for mode in truncated off; do
    bash "$src/server/bin/dev-server.sh" --stop "$state"
    QUILLMARSH_DEVICE_LOG_ADDRESS=$mode bash "$src/server/bin/dev-server.sh" --state "$state" --port "$port" >/dev/null ||
        { echo "server did not restart"; exit 1; }
    ask "?hwid=$third&sig=$third_sig" >/dev/null
    check "device log: address $mode" "$( [ $mode = truncated ] && echo 127.0.0.0 )" \
        "$(sql 'SELECT last_address FROM devices WHERE hwid = ?' "$third")"
done
# Retention: rows older than the configured days go (by default 180), newer ones stay.
old_seen=$(date -u -d '200 days ago' +%FT%TZ)
sql "INSERT INTO devices VALUES ('$(printf '%064d' 1)', '$old_seen', '$old_seen', 1, NULL, 'not banned')" >/dev/null
sql "INSERT INTO device_days VALUES ('$(printf '%064d' 1)', '${old_seen:0:10}', 1, 'not banned')" >/dev/null
QUILLMARSH_DEVICE_LOG_DAYS=365 tool prune >/dev/null
check "retention 365 days: a device seen 200 days ago stays" "1|1" \
    "$(sql 'SELECT COUNT(*), (SELECT COUNT(*) FROM device_days WHERE day < ?) FROM devices WHERE last_seen < ?' "$(date -u -d '100 days ago' +%F)" "$(date -u -d '100 days ago' +%FT%TZ)")"
check "retention by default (180 days): it goes, the others stay" "forgot 2 device log rows older than 180 days" "$(tool prune | grep "device log")"
check "retention: the recent device is still there" "1" "$(sql 'SELECT COUNT(*) FROM devices WHERE hwid = ?' "$third")"

# ---- Temporary bans: endpoint, admin command (and console) agree on expiry --------------------------
tool ban "$third" --until 2020-01-01T00:00 too late >/dev/null 2>&1
check "a ban ending in the past is refused" "2" "$?"
check "temporary ban" "banned $third until 2999-01-01T00:00:00Z" "$(tool ban "$third" --until '2999-01-01 00:00' one more match)"
check "temporary ban: the endpoint answers banned" '200 {"banned":true}' "$(ask "?hwid=$third&sig=$third_sig")"
check "temporary ban: list shows its end" "until 2999-01-01T00:00:00Z" "$(tool list | grep "^$third" | cut -f4)"
sql "UPDATE hwid_bans SET expires_at = '2020-01-01T00:00:00Z' WHERE hwid = ?" "$third" >/dev/null
check "expired ban: the endpoint answers not banned" '200 {"banned":false}' "$(ask "?hwid=$third&sig=$third_sig")"
check "expired ban: check says so" "not banned (the ban expired 2020-01-01T00:00:00Z)" "$(tool check "$third")"
check "expired ban: list shows it expired" "expired 2020-01-01T00:00:00Z" "$(tool list | grep "^$third" | cut -f4)"
check "expired ban: it can still be lifted" "unbanned $third" "$(tool unban "$third")"
check "audit: the admin command's changes, by the user who ran it" "ban|lift|ban|lift" \
    "$(sql "SELECT action FROM audit WHERE hwid = ? AND operator = ? ORDER BY id" "$third" "shell:$(id -un)" | paste -sd'|')"

# ---- A server set up like production: php -S without the development server ------------------------
prod=$work/prod
mkdir -p "$prod"
test_db_init production "$prod/data/bans.sqlite"  # from here on the production-like server's database
prod_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
start_prod() {  # start_prod [VAR=VALUE...]: the router on prod_port, its error log in $prod/error.log
    [ -z "$prod_pid" ] || { kill "$prod_pid"; wait "$prod_pid" 2>/dev/null; }
    : >"$prod/error.log"
    env -u QUILLMARSH_ALLOW_DEVELOPMENT_KEY QUILLMARSH_DEVICE_LOG_QUEUE="$prod/queue" "$@" \
        php -d error_log="$prod/error.log" -S "127.0.0.1:$prod_port" -t "$src/server/public" \
        "$src/server/public/router.php" >"$prod/server.log" 2>&1 </dev/null &
    prod_pid=$!
    for _ in $(seq 1 100); do (exec 3<>"/dev/tcp/127.0.0.1/$prod_port") 2>/dev/null && return 0; sleep 0.1; done
    echo "FAIL: the production-like server did not start"; cat "$prod/server.log"; exit 1
}
prod_ask() { curl -s -g --max-time 20 -w ' %{http_code}' "http://127.0.0.1:$prod_port/launcher/hwid_ban.php$1" |
    { read -r out; echo "${out##* } ${out% *}"; }; }
prod_key="production secret"
prod_sig=$(sign "$hwid" "$prod_key")
logged() { grep -c -- "$1" "$prod/error.log"; }

start_prod
check "production: the development key is refused" '503 {"error":"server not configured"}' \
    "$(prod_ask "?hwid=$hwid&sig=$sig")"
check "production: the cause is in the error log" "1" "$(logged 'hwid_key is the public development key')"

start_prod QUILLMARSH_HWID_KEY="$prod_key"
mkdir -p "$prod/data"
if [ "$kind" = sqlite ]; then
    check "no database: 503" '503 {"error":"ban list unavailable"}' "$(prod_ask "?hwid=$hwid&sig=$prod_sig")"
    check "no database: the cause is in the error log" "1" "$(logged 'does not exist: run bin/bans.php migrate')"
    check "no database: a request does not make one" "no" "$([ -e "$prod/data/bans.sqlite" ] && echo yes || echo no)"
    : >"$prod/data/bans.sqlite"  # an empty file is an empty SQLite database
fi
check "no table: 503" '503 {"error":"ban list unavailable"}' "$(prod_ask "?hwid=$hwid&sig=$prod_sig")"
check "no table: the cause is in the error log" "1" \
    "$(logged "$([ "$kind" = sqlite ] && echo 'no such table: hwid_bans' || echo 'relation "hwid_bans" does not exist')")"
tool list >/dev/null 2>"$work/tool.err"
check "admin command without the schema: fails" "1" "$?"
check "admin command without the schema: says what to run" "1" "$(grep -c 'run bin/bans.php migrate' "$work/tool.err")"
check "migrate" "schema upgraded from version 0 to 5" "$(tool migrate)"
schema_before=$(test_db_schema)
tool ban "$other" kept by a second migrate >/dev/null
rows_before=$(sql "SELECT hwid, reason, banned_at FROM hwid_bans")
check "migrate again" "schema is up to date (version 5)" "$(tool migrate)"
check "migrate again: the same tables, columns and indexes" "$schema_before" "$(test_db_schema)"
check "migrate again: the same rows" "$rows_before" "$(sql "SELECT hwid, reason, banned_at FROM hwid_bans")"
check "migrate again: one version row" "5" "$(sql "SELECT version FROM schema_version" | paste -sd,)"
tool unban "$other" >/dev/null
check "migrated: the check answers" '200 {"banned":false}' "$(prod_ask "?hwid=$hwid&sig=$prod_sig")"

# Locks held by another process: a write transaction (readers go on in WAL mode), and an exclusive
# lock that blocks readers too (the check gives up after its short lock wait instead of hanging).
if [ "$kind" = sqlite ]; then
    hold() {  # hold MODE: a process that holds a lock on the database until killed
        rm -f "$work/held"
        python3 - "$prod/data/bans.sqlite" "$1" "$work/held" <<'PY' &
import signal, sqlite3, sys
db, mode, flag = sys.argv[1:4]
c = sqlite3.connect(db, isolation_level=None)
if mode == "exclusive":
    c.execute("PRAGMA locking_mode = EXCLUSIVE")
c.execute("BEGIN IMMEDIATE")
c.execute("INSERT INTO hwid_bans (hwid, reason, banned_at) VALUES ('x', 'held', 'now')")
if mode == "exclusive":
    c.execute("COMMIT")  # in exclusive locking mode the lock stays after the commit
open(flag, "w").write("held")
signal.pause()
PY
        holder=$!
        for _ in $(seq 1 100); do [ -s "$work/held" ] && return 0; sleep 0.1; done
        echo "FAIL: no lock held"; exit 1
    }
    release() { kill "$holder"; wait "$holder" 2>/dev/null; holder=""; }
    locked='database is locked'
    check "journal mode WAL" "wal" "$(sql 'PRAGMA journal_mode')"
else
    hold() {  # hold MODE: a session that holds a table lock until ended
        local table=devices lock=EXCLUSIVE
        [ "$1" != exclusive ] || { table=hwid_bans; lock='ACCESS EXCLUSIVE'; }
        PGAPPNAME=holder test_db_psql "${QUILLMARSH_DB_DSN##*dbname=}" \
            "BEGIN; LOCK TABLE $table IN $lock MODE; SELECT pg_sleep(600)" >/dev/null 2>&1 &
        holder=$!
        for _ in $(seq 1 100); do
            [ "$(sql "SELECT COUNT(*) FROM pg_locks l JOIN pg_class c ON c.oid = l.relation
                      WHERE c.relname = ? AND l.granted AND l.mode LIKE '%ExclusiveLock'" "$table")" = 1 ] && return 0
            sleep 0.1
        done
        echo "FAIL: no lock held"; exit 1
    }
    release() {
        sql "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'holder'" >/dev/null
        wait "$holder" 2>/dev/null; holder=""
    }
    locked='lock timeout'
fi
hold write
check "a writer holds the database: the check still answers" '200 {"banned":false}' "$(prod_ask "?hwid=$hwid&sig=$prod_sig")"
check "a writer holds the database: the device log write failed into the error log only" "1" \
    "$(logged "device log not written: .*$locked")"
release
if [ "$kind" = sqlite ]; then
    # The server's reused connection keeps the file open, and an exclusive lock needs every other
    # connection closed: take it while the server is down, then start the server.
    kill "$prod_pid"; wait "$prod_pid" 2>/dev/null; prod_pid=""
    hold exclusive
    start_prod QUILLMARSH_HWID_KEY="$prod_key"
else
    hold exclusive
fi
check "the database is locked: 503 after the lock wait, not a hang" '503 {"error":"ban list unavailable"}' \
    "$(prod_ask "?hwid=$hwid&sig=$prod_sig")"
check "the database is locked: the cause is in the error log" "1" "$(logged "ban list unavailable: .*$locked")"
release
check "the lock released: the check answers again" '200 {"banned":false}' "$(prod_ask "?hwid=$hwid&sig=$prod_sig")"

# PostgreSQL stopped while the server holds a connection to it: 503 at once (bounded well below the
# shell's time-outs), then answers again on a new connection once it is back.
if [ "$kind" = pgsql ]; then
    bash "$src/tests/support/postgres.sh" pause "$QUILLMARSH_TEST_POSTGRES"
    : >"$prod/error.log"
    check "database stopped: 503 within 10 s" '503 {"error":"ban list unavailable"}' \
        "$(curl -s -g --max-time 10 -w ' %{http_code}' "http://127.0.0.1:$prod_port/launcher/hwid_ban.php?hwid=$hwid&sig=$prod_sig" |
           { read -r out; echo "${out##* } ${out% *}"; })"
    check "database stopped: the cause is in the error log" "1" "$(logged 'ban list unavailable: ')"
    bash "$src/tests/support/postgres.sh" start "$QUILLMARSH_TEST_POSTGRES" >/dev/null || { echo "FAIL: PostgreSQL did not start again"; exit 1; }
    check "database back: the check answers again" '200 {"banned":false}' "$(prod_ask "?hwid=$hwid&sig=$prod_sig")"
fi

# A read replica for the look-ups (QUILLMARSH_DB_READ_DSN; here a second database stands in for it):
# the verdict comes from it, the device log goes to the primary.
if [ "$kind" = pgsql ]; then
    primary_dsn=$QUILLMARSH_DB_DSN
    test_db_init replica ""
    replica_dsn=$QUILLMARSH_DB_DSN
    tool migrate >/dev/null
    tool ban "$hwid" only on the replica >/dev/null
    export QUILLMARSH_DB_DSN=$primary_dsn
    start_prod QUILLMARSH_HWID_KEY="$prod_key" QUILLMARSH_DB_READ_DSN="$replica_dsn"
    before=$(sql "SELECT checks FROM devices WHERE hwid = ?" "$hwid")
    check "read replica: the verdict comes from it" '200 {"banned":true}' "$(prod_ask "?hwid=$hwid&sig=$prod_sig")"
    check "read replica: the device log is written to the primary" "$((before + 1))|banned" \
        "$(sql "SELECT checks, last_verdict FROM devices WHERE hwid = ?" "$hwid")"
    start_prod QUILLMARSH_HWID_KEY="$prod_key"
fi

# Rows of a ban list made by an earlier server (the table only, made on first use) stay valid.
test_db_init earlier "$work/old/bans.sqlite"
mkdir -p "$work/old"
: >"$work/old/bans.sqlite"
sql "CREATE TABLE hwid_bans (hwid VARCHAR(64) NOT NULL PRIMARY KEY, reason VARCHAR(500) NOT NULL, banned_at VARCHAR(32) NOT NULL)"
sql "INSERT INTO hwid_bans VALUES (?, 'old ban', '2024-01-02T03:04:05Z')" "$hwid"
tool migrate >/dev/null
check "an earlier ban list: its bans survive migrate" "banned" "$(tool check "$hwid")"

# Run as root, the admin command gives the database it makes to the owner of its folder.
if [ "$kind" = pgsql ]; then
    :  # no file of its own
elif [ "$(id -u)" -eq 0 ]; then
    owned=$work/owned
    export QUILLMARSH_DB_DSN="sqlite:$owned/data/bans.sqlite"
    tool migrate >/dev/null 2>"$work/tool.err"
    check "root, no folder: refused" "1" "$(grep -c 'does not exist; make it and give it' "$work/tool.err")"
    mkdir -p "$owned/data"
    chown nobody:nogroup "$owned/data"
    tool migrate >/dev/null
    tool ban "$hwid" by root >/dev/null
    check "root: the database belongs to the folder's owner" "nobody:nogroup" "$(stat -c %U:%G "$owned/data/bans.sqlite")"
    check "root: no file of root's left in the folder" "" "$(find "$owned/data" -user root)"
else
    echo "skip root ownership checks: not running as root"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; server log:"
    cat "$state/server.log"
    echo "--- production-like server's error log"
    cat "$prod/error.log" "$prod/server.log" 2>/dev/null
    exit 1
fi
echo "all checks passed"
