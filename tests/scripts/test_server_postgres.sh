#!/usr/bin/env bash
# The reference server on PostgreSQL (the DSN form the guide gives, with ';'): the admin command makes
# the schema, the endpoint answers and writes the device log (PostgreSQL's upsert), temporary bans
# expire, the audit is written, and a second migrate changes nothing. In a database of its own in the
# test run's private PostgreSQL cluster (tests/support/postgres.sh, started by CTest).
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
php -r 'exit(extension_loaded("pdo_pgsql") ? 0 : 1);' || { echo "FAIL: no pdo_pgsql (php8.2-pgsql)"; exit 1; }
work=$(mktemp -d)
web_pid=""
export QUILLMARSH_TEST_DB=pgsql
source "$src/tests/support/db.sh"
cleanup() {
    [ -z "$web_pid" ] || kill "$web_pid" 2>/dev/null
    test_db_drop
    rm -rf "$work"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

failures=0
check() {  # check NAME EXPECTED ACTUAL
    if [ "$2" == "$3" ]; then echo "ok   $1"; else echo "FAIL $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}
test_db_init postgres ""
export QUILLMARSH_HWID_KEY="postgres test key"
unset QUILLMARSH_ALLOW_DEVELOPMENT_KEY QUILLMARSH_DEVICE_LOG_ADDRESS
export QUILLMARSH_DEVICE_LOG_QUEUE="$work/queue"
tool() { php "$src/server/bin/bans.php" "$@"; }
psql_value() { sql "$1"; }

check "migrate" "schema upgraded from version 0 to 5" "$(tool migrate 2>&1)"
check "migrate again" "schema is up to date (version 5)" "$(tool migrate 2>&1)"

web_port=$(free_port)
php -d error_log="$work/php-error.log" -S "127.0.0.1:$web_port" -t "$src/server/public" "$src/server/public/router.php" \
    >"$work/web.log" 2>&1 </dev/null &
web_pid=$!
for _ in $(seq 1 100); do (exec 3<>"/dev/tcp/127.0.0.1/$web_port") 2>/dev/null && break; sleep 0.1; done
hwid=$(printf 'postgres-device' | sha256sum | cut -c1-64)
sig=$(tool sign "$hwid")
ask() { curl -s --max-time 20 "http://127.0.0.1:$web_port/launcher/hwid_ban.php?hwid=$hwid&sig=$sig"; }

check "check: not banned" '{"banned":false}' "$(ask)"
ask >/dev/null
check "device log: one row, two checks (upsert)" "2|127.0.0.1|not banned" \
    "$(psql_value "SELECT checks || '|' || last_address || '|' || last_verdict FROM devices WHERE hwid = '$hwid'")"
check "device log: the day's row" "2" "$(psql_value "SELECT checks FROM device_days WHERE hwid = '$hwid'")"
tool ban "$hwid" --until 2999-01-01T00:00 on PostgreSQL >/dev/null
check "temporary ban: banned" '{"banned":true}' "$(ask)"
check "device log: the last answer" "3|banned" \
    "$(psql_value "SELECT checks || '|' || last_verdict FROM devices WHERE hwid = '$hwid'")"
psql_value "UPDATE hwid_bans SET expires_at = '2020-01-01T00:00:00Z' WHERE hwid = '$hwid'" >/dev/null
check "expired ban: not banned" '{"banned":false}' "$(ask)"
check "expired ban: the admin command agrees" "not banned (the ban expired 2020-01-01T00:00:00Z)" "$(tool check "$hwid")"
check "audit: the ban with its length" "1" "$(psql_value "SELECT COUNT(*) FROM audit WHERE hwid = '$hwid' AND detail LIKE 'until 2999-01-01T00:00:00Z: on PostgreSQL'")"
echo "a-long-password" | tool operator add dana >/dev/null
check "console account on PostgreSQL" "dana" "$(tool operator list | cut -f1)"
check "no error in the PHP log" "" "$(cat "$work/php-error.log" 2>/dev/null)"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    cat "$work/web.log" 2>/dev/null | tail -n 40
    exit 1
fi
echo "all checks passed"
