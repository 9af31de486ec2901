#!/usr/bin/env bash
# The device log's queue (server/lib/device_queue.php) on its own, without a web server: many processes
# appending and draining at once lose no check and count none twice; a batch left by a drainer that died
# after writing part of it is finished without counting that part again; damaged lines are skipped; late
# checks do not move a device's last sighting back; a queue that cannot be written falls back to direct
# writes, and a full one refuses.
# On SQLite by default; with QUILLMARSH_TEST_DB=pgsql on PostgreSQL (tests/support/db.sh).
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
work=$(mktemp -d)
source "$src/tests/support/db.sh"
cleanup() { test_db_drop; rm -rf "$work"; }
trap cleanup EXIT
echo "database: $(test_db_kind)"
test_db_init queue "$work/bans.sqlite"
php "$src/server/bin/bans.php" migrate >/dev/null || { echo "FAIL: migrate"; exit 1; }

php -d error_log="$work/php.log" "$src/tests/scripts/device_queue_cases.php" "$src" "$work"
failures=$?

# The admin command drains this machine's queue (before a node is taken out of service).
export QUILLMARSH_DEVICE_LOG_QUEUE="$work/queue"
(umask 077; printf '%064d %s n 192.0.2.7\n' 7 "$(date -u +%FT%TZ)" >>"$work/queue/queue")  # 0600, as the server makes it
out=$(php "$src/server/bin/bans.php" drain)
counted=$(sql "SELECT checks || '|' || last_address FROM devices WHERE hwid = ?" "$(printf '%064d' 7)")
if [ "$out" = "wrote 1 queued checks to the device log" ] && [ "$counted" = "1|192.0.2.7" ]; then
    echo "ok   bans.php drain"
else
    echo "FAIL bans.php drain: [$out] [$counted]"
    failures=1
fi
exit "$failures"
