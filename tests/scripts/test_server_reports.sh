#!/usr/bin/env bash
# Failure reports (launcher/report.php) on the server as in production (nginx + PHP-FPM from server/deploy,
# tests/support/server.sh), on SQLite and (QUILLMARSH_TEST_DB=pgsql) PostgreSQL, while two bounded loops
# of correctly signed ban checks run against 127.0.0.1 (each stops by itself) and must all be answered 200.
# Bodies come from tests/support/report_bodies.py (Python's json and hmac, not the server's code); every
# client speaks from a loopback address of its own (127.x.y.z), so nginx's per-address limits stay out of
# the way except where they are the subject.
#   - each case of the body contract gets its status: accepted reports (every code, exactly 16 KiB, \u
#     escapes) are stored byte for byte; a body over 16 KiB (nginx's 413, and PHP's own with a declared
#     length and in chunks), bad signatures and HMACs, malformed JSON, wrong members, unknown codes,
#     invalid UTF-8, NUL (as a byte and as \u0000) are refused and nothing of them is stored;
#   - thirty reports of one device sent at once: exactly twenty stored, ten answered 429;
#   - nginx's per-address limit on reports: a burst of 20 passes, then 429;
#   - with the library and a clock: the day's limit starts over at midnight UTC, retention (bans.php
#     prune and reports_prune), and the console's read helpers; a device log slice written while a
#     report holds the write lock waits for it instead of failing;
#   - reports switched off (QUILLMARSH_REPORTS=off): 404, nothing stored, checks still answered.
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
source "$src/tests/support/server.sh"
source "$src/tests/support/db.sh"
source "$src/tests/support/traffic.sh"
work=$(mktemp -d)
chmod 755 "$work"
dev_state=$work/dev
cleanup() {
    traffic_stop
    server_stop
    bash "$src/server/bin/dev-server.sh" --stop "$dev_state"
    test_db_drop
    rm -rf "$work"
}
trap cleanup EXIT


echo "database: $(test_db_kind)"
server_site reports ADMIN_ALLOW=127.0.0.1 FPM_CHILDREN=8 || exit 1
# A second nginx on the same pool and database, with the site as rendered except that the body limit of
# the report location is above the endpoint's own and the limit over all addresses is raised: there PHP
# must refuse a big body itself, and thirty reports at once all reach PHP.
open_port=$(free_port)
open_url=https://127.0.0.1:$open_port
sed -e "s/listen 127.0.0.1:$server_port ssl/listen 127.0.0.1:$open_port ssl/" \
    -e '/location = \/launcher\/report.php/,/^    }/s/client_max_body_size 16k;/client_max_body_size 64k;/' \
    -e 's/limit_conn quillmarsh_all_reports [0-9]*;/limit_conn quillmarsh_all_reports 1000;/' \
    "$server_dir/conf/nginx-site.conf" >"$server_dir/conf/nginx-open.conf"
server_nginx_connections=256
server_start_fpm && server_start_nginx && server_start_nginx "$server_dir/conf/nginx-open.conf" open &&
    server_wait && server_wait "$open_url" || exit 1
python3 "$src/tests/support/report_bodies.py" "$key" "$work/bodies" || { echo "FAIL: report bodies"; exit 1; }

stored() { sql "SELECT COUNT(*) FROM failure_reports"; }
# post URL NAME ADDRESS [curl options...]: POSTs bodies/NAME.body (Content-Type $content_type, default
# application/json) with its HMAC header, when the case has one, from ADDRESS; prints the status.
post() {
    local url=$1 name=$2 address=$3 mac=()
    shift 3
    [ ! -f "$work/bodies/$name.mac" ] || mac=(-H "X-Quillmarsh-Mac: $(cat "$work/bodies/$name.mac")")
    curl -sk --interface "$address" --max-time "$server_client_seconds" -o "$work/answer.$address" -w '%{http_code}' \
        -H "Content-Type: ${content_type:-application/json}" "${mac[@]}" --data-binary "@$work/bodies/$name.body" "$@" \
        "$url/launcher/report.php"
    cp "$work/answer.$address" "$work/answer" 2>/dev/null
}
# Each client its own address: 127.3.0.1, 127.3.0.2, ...
client=0
next_address() { client=$((client + 1)); address=127.3.$((client / 250)).$((client % 250 + 1)); }

# ---- Background: correctly signed checks of 200 devices, from 127.N.0.0/16 ---------------------------------
traffic_start "$key" 200 1500 11 12
wait_for 60 traffic_running 20 || { echo "FAIL: the background checks did not start"; tail -n 20 "$work"/server/logs/*; exit 1; }

# ---- The body contract, case by case -------------------------------------------------------------------
wrong=""
accepted=0
while read -r name want; do
    next_address
    got=$(post "$server_url" "$name" "$address")
    if [ "$got" != "$want" ]; then
        wrong+="$name: $got ($(head -c 200 "$work/answer")); "
    elif [ "$want" != 413 ] && ! grep -q '^{"\(error\|stored\)":' "$work/answer"; then
        wrong+="$name: no JSON answer ($(head -c 200 "$work/answer")); "
    fi
    [ "$want" != 200 ] || accepted=$((accepted + 1))
done <"$work/bodies/cases"
check "every case of the body contract answered as it must, with a JSON body" "" "$wrong"
check "only the accepted reports are stored" "$accepted" "$(stored)"
# Stored byte for byte: compared through hex, so no shell or terminal conversion hides a difference.
hex() { od -An -tx1 | tr -d ' \n'; }
row_hex() {  # row_hex COLUMN ID
    sql "SELECT $1 FROM failure_reports WHERE id = ?" "$2" | head -c -1 | hex
}
ids=($(sql "SELECT id FROM failure_reports ORDER BY id"))
mismatch=""
i=0
while read -r name want; do
    [ "$want" = 200 ] || continue
    id=${ids[$i]}
    i=$((i + 1))
    [ "$(row_hex box_text "$id")" = "$(hex <"$work/bodies/$name.text")" ] || mismatch+="$name: box_text; "
    [ "$(row_hex log_text "$id")" = "$(hex <"$work/bodies/$name.log")" ] || mismatch+="$name: log_text; "
done <"$work/bodies/cases"
check "accepted reports: box text and log lines (joined with line feeds) stored exactly" "" "$mismatch"
check "the first report's other columns" \
    "$(printf 'report device one' | sha256sum | cut -c1-64)|java17_failed|1.0.0.0|10.0.19045|yes" \
    "$(sql "SELECT hwid, code, shell_version, windows_version FROM failure_reports WHERE id = ?" "${ids[0]}")|$(
        sql "SELECT received_at FROM failure_reports WHERE id = ?" "${ids[0]}" |
            grep -qE "^$(date -u +%Y-%m-%d)T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$" && echo yes || echo no)"
check "every code stored" "$(php -r 'require $argv[1]; $c = report_codes(); sort($c); echo implode(" ", $c);' \
    "$src/server/lib/reports.php")" "$(sql "SELECT DISTINCT code FROM failure_reports ORDER BY code" | tr '\n' ' ' | sed 's/ $//')"
before=$(stored)
check "over 16 KiB with a declared length: PHP's own 413" "413 JSON" \
    "$(next_address; post "$open_url" size_16385 "$address") $(grep -q '^{"error":' "$work/answer" && echo JSON || head -c 100 "$work/answer")"
check "over 16 KiB in chunks: 413" "413" "$(next_address; post "$open_url" size_16385 "$address" -H 'Transfer-Encoding: chunked')"
check "exactly 16 KiB in chunks: stored" "200" "$(next_address; post "$open_url" size_16384 "$address" -H 'Transfer-Encoding: chunked')"
check "another content type: 415" "415" "$(next_address; content_type=text/plain post "$open_url" valid "$address")"
check "GET: 405" "405" "$(curl -sk -o /dev/null -w '%{http_code}' --interface 127.3.9.1 "$server_url/launcher/report.php")"
check "of these only the 16 KiB report in chunks is stored" "$((before + 1))" "$(stored)"

# ---- Thirty reports of one device at once: exactly the day's twenty are stored ------------------------------
python3 "$src/tests/support/report_bodies.py" "$key" "$work/burst" --many 1 client_start_failed burst
read -r mac body <"$work/burst"
printf '%s' "$body" >"$work/bodies/burst.body"
printf '%s' "$mac" >"$work/bodies/burst.mac"
burst_hwid=$(printf 'burst 0' | sha256sum | cut -c1-64)
pids=()
for n in $(seq 1 30); do
    next_address
    post "$open_url" burst "$address" >"$work/burst.$n" &
    pids+=($!)
done
wait "${pids[@]}"
check "thirty reports of one device at once: twenty stored, ten refused" "200 x20, 429 x10" \
    "$(for n in $(seq 1 30); do cat "$work/burst.$n"; echo; done | tally)"
check "thirty reports of one device at once: twenty rows" "20" "$(sql "SELECT COUNT(*) FROM failure_reports WHERE hwid = ?" "$burst_hwid")"

# ---- nginx's limit per address: the burst passes, then 429 from nginx (not PHP's JSON) ------------------------
python3 "$src/tests/support/report_bodies.py" "$key" "$work/many" --many 200 watchdog_timeout "one address"
passed=0
limited=no
while read -r mac body; do
    printf '%s' "$body" >"$work/one.body"
    status=$(curl -sk --interface 127.4.0.1 --max-time "$server_client_seconds" -o "$work/answer" -w '%{http_code}' \
        -H 'Content-Type: application/json' -H "X-Quillmarsh-Mac: $mac" --data-binary "@$work/one.body" \
        "$server_url/launcher/report.php")
    if [ "$status" = 429 ] && ! grep -q '^{' "$work/answer"; then limited=yes; break; fi
    [ "$status" != 200 ] || passed=$((passed + 1))
done <"$work/many"
check "one address: nginx refuses reports after its burst" "yes" "$limited"
check "one address: the burst of 20 (and the first) passed first" "yes" "$([ "$passed" -ge 21 ] && echo yes || echo "no: $passed")"

traffic_stop
statuses=$(traffic_statuses | tally)
check "background checks meanwhile: all answered 200" "yes" "$(case "$statuses" in "200 x"*[0-9]) [[ $statuses != *,* ]] && echo yes ;; *) echo "no: $statuses" ;; esac)"
echo "     (background checks: $statuses)"
check "no PHP error in the server's log" "" "$(grep -h 'PHP \(Fatal\|Warning\|Notice\|Deprecated\)' "$server_dir"/logs/*.log 2>/dev/null | head -3)"
server_stop

# ---- With the library and a clock: the day's limit, retention, the console's read helpers -------------------
QUILLMARSH_HWID_KEY=$key php -r '
require $argv[1] . "/server/lib/reports.php";
$failures = 0;
function check(string $name, $want, $got): void {
    global $failures;
    $ok = $want === $got;
    echo ($ok ? "ok   " : "FAIL ") . $name . ($ok ? "" : ": expected " . json_encode($want) . ", got " . json_encode($got)) . "\n";
    $failures += $ok ? 0 : 1;
}
$db = db_open(quillmarsh_config());
$report = fn (string $device, string $code) => ["hwid" => hash("sha256", $device), "code" => $code,
    "shell_version" => "1.2.3.4", "windows_version" => "10.0.22631", "text" => "box $device", "log" => ["a", "b"]];
$at = fn (string $time): int => strtotime($time);
// The day is UTC: twenty just before midnight, the next one just after is stored, its 21st of that day not.
$stored = 0;
for ($i = 0; $i < 21; $i++) { $stored += report_store($db, $report("clock device", "watchdog_timeout"), 20, $at("2030-06-01T23:59:59Z")) ? 1 : 0; }
check("twenty of 21 stored on one day", 20, $stored);
check("the next day starts over", true, report_store($db, $report("clock device", "watchdog_timeout"), 20, $at("2030-06-02T00:00:00Z")));
check("another device is not counted with it", true, report_store($db, $report("other clock device", "watchdog_timeout"), 1, $at("2030-06-01T23:59:59Z")));
check("a limit of 0 takes nothing", false, report_store($db, $report("third clock device", "java17_failed"), 0, $at("2030-06-01T12:00:00Z")));
report_store($db, $report("clock device", "java17_failed"), 20, $at("2030-05-31T08:00:00Z"));
report_store($db, $report("clock device", "java17_failed"), 20, $at("2030-05-03T08:00:00Z"));  // 30 days before 06-02
report_store($db, $report("clock device", "client_start_failed"), 20, $at("2030-05-02T08:00:00Z"));

// Per code and day, for 30 days up to 2030-06-02 (from 2030-05-04): the older rows are outside.
check("reports per code and day", [
    ["day" => "2030-05-31", "code" => "java17_failed", "count" => 1],
    ["day" => "2030-06-01", "code" => "watchdog_timeout", "count" => 21],
    ["day" => "2030-06-02", "code" => "watchdog_timeout", "count" => 1],
], reports_per_code_day($db, 30, $at("2030-06-02T10:00:00Z")));
check("per code and day, 31 days: the 3rd of May too", 4, count(reports_per_code_day($db, 31, $at("2030-06-02T10:00:00Z"))));
check("count since a time", 23, reports_count_since($db, "2030-05-31T00:00:00Z"));

// Latest first, by device and code, in pages by id.
$hwid = hash("sha256", "clock device");
$all = reports_latest($db, null, $hwid, 100);
check("latest of a device: all 24", 24, count($all));
$ids = array_column($all, "id");
$sorted = $ids; rsort($sorted);
check("latest of a device: ids descending", $sorted, $ids);
$page1 = reports_latest($db, "watchdog_timeout", $hwid, 10);
$page2 = reports_latest($db, "watchdog_timeout", $hwid, 10, end($page1)["id"]);
$page3 = reports_latest($db, "watchdog_timeout", $hwid, 10, end($page2)["id"]);
check("pages of 10 by code and device: 10, 10, 1, no row twice", [10, 10, 1, 21],
    [count($page1), count($page2), count($page3), count(array_unique(array_column(array_merge($page1, $page2, $page3), "id")))]);
check("a row holds every column", ["id", "hwid", "code", "shell_version", "windows_version", "box_text", "log_text", "received_at"],
    array_keys($page1[0]));
check("a row: the code filter and the log joined", ["watchdog_timeout", "a\nb", "box clock device", true],
    [$page3[0]["code"], $page3[0]["log_text"], $page3[0]["box_text"], is_int($page3[0]["id"])]);
check("by code alone: every device", (int)$db->query("SELECT COUNT(*) FROM failure_reports WHERE code = '"'"'client_start_failed'"'"'")->fetchColumn(),
    count(reports_latest($db, "client_start_failed", null, 1000)));
check("one report by id", $page3[0], report_get($db, $page3[0]["id"]));
check("an unknown id", null, report_get($db, 999999999));

// Retention: 30 days before 2030-06-02T10:00:00Z is 2030-05-03T10:00:00Z.
$before = (int)$db->query("SELECT COUNT(*) FROM failure_reports")->fetchColumn();
$old = (int)$db->query("SELECT COUNT(*) FROM failure_reports WHERE received_at < '"'"'2030-05-03T10:00:00Z'"'"'")->fetchColumn();
check("prune: the reports older than 30 days are forgotten", $old, reports_prune($db, 30, $at("2030-06-02T10:00:00Z")));
check("prune: the rest stays", [$before - $old, 0], [(int)$db->query("SELECT COUNT(*) FROM failure_reports")->fetchColumn(),
    (int)$db->query("SELECT COUNT(*) FROM failure_reports WHERE received_at < '"'"'2030-05-03T10:00:00Z'"'"'")->fetchColumn()]);
check("prune again: nothing", 0, reports_prune($db, 30, $at("2030-06-02T10:00:00Z")));

// A slice of the device log queue is written while a report holds the write lock and commits a moment later
// (SQLite: the slice must wait for the lock, not read first and then fail to upgrade its snapshot).
require_once $argv[1] . "/server/lib/devices.php";
$ready = sys_get_temp_dir() . "/reports-ready-" . getmypid();
$child = pcntl_fork();
if ($child === 0) {
    $mine = db_open(quillmarsh_config());
    $mine->exec(db_driver($mine) === "sqlite" ? "BEGIN IMMEDIATE" : "BEGIN");
    $mine->prepare("INSERT INTO failure_reports (hwid, code, shell_version, windows_version, box_text, log_text, received_at) "
        . "VALUES (?, ?, ?, ?, ?, ?, ?)")->execute([hash("sha256", "lock holder"), "unexpected_error", "1.0.0.0", "10.0.1", "x", "", db_time()]);
    touch($ready);
    usleep(300000);  // the parent is inside its write by now (if not, the case proves less, it does not fail)
    $mine->exec("COMMIT");
    // Ends without closing what it inherited: the parent'"'"'s connection (PostgreSQL: a shared socket that
    // a closing PDO would end with a goodbye to the server).
    posix_kill(posix_getpid(), SIGKILL);
}
for ($i = 0; $i < 600 && !file_exists($ready); $i++) { usleep(10000); }
try {
    $result = device_log_write($db, [[hash("sha256", "slice device"), db_time(), false, "192.0.2.1"]], "reports-test@" . getmypid()) ? "written" : "skipped";
} catch (Throwable $e) {
    $result = "error: " . $e->getMessage();
}
pcntl_waitpid($child, $status);
@unlink($ready);
check("a device log slice while a report commits: written", "written", $result);
check("... and both rows are there", [1, 1], [
    (int)$db->query("SELECT COUNT(*) FROM devices WHERE hwid = '"'"'" . hash("sha256", "slice device") . "'"'"'")->fetchColumn(),
    (int)$db->query("SELECT COUNT(*) FROM failure_reports WHERE hwid = '"'"'" . hash("sha256", "lock holder") . "'"'"'")->fetchColumn()]);
exit($failures > 0 ? 1 : 0);
' "$src" || failures=$((failures + 1))
# The admin command prunes with the configured retention (30 days): one report aged by hand goes.
aged=$(sql "SELECT MIN(id) FROM failure_reports")
sql "UPDATE failure_reports SET received_at = '2000-01-01T00:00:00Z' WHERE id = ?" "$aged" >/dev/null
check "bans.php prune forgets old failure reports" "forgot 1 failure reports older than 30 days" \
    "$(tool prune | grep 'failure reports')"
check "bans.php prune: the aged report is gone" "" "$(sql "SELECT id FROM failure_reports WHERE id = ?" "$aged")"

# ---- Switched off: 404, nothing stored, the ban check unchanged ------------------------------------------------
before=$(stored)
dev=$(QUILLMARSH_REPORTS=off QUILLMARSH_HWID_KEY=$key bash "$src/server/bin/dev-server.sh" --state "$dev_state") ||
    { echo "FAIL: the development server did not start"; exit 1; }
dev_url=$(echo "$dev" | sed -n 's/^url=//p')
check "reports off: 404" "404" "$(post "$dev_url" valid 127.0.0.1)"
check "reports off: nothing stored" "$before" "$(stored)"
check "reports off: the ban check still answers" '{"banned":false}' "$(curl -s "$dev_url/launcher/hwid_ban.php?${traffic_checks[0]}")"
bash "$src/server/bin/dev-server.sh" --stop "$dev_state"
dev=$(QUILLMARSH_HWID_KEY=$key bash "$src/server/bin/dev-server.sh" --state "$dev_state") ||
    { echo "FAIL: the development server did not start"; exit 1; }
dev_url=$(echo "$dev" | sed -n 's/^url=//p')
check "reports on by default, on the development server too" "200 413" \
    "$(post "$dev_url" code_watchdog_timeout 127.0.0.1) $(post "$dev_url" size_16385 127.0.0.1)"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    tail -n 20 "$server_dir"/logs/quillmarsh-php.log "$server_dir"/logs/php-fpm.log 2>/dev/null
    exit 1
fi
echo "all checks passed"
