#!/usr/bin/env bash
# Sign-in while players check in, on SQLite and (QUILLMARSH_TEST_DB=pgsql) PostgreSQL (issue 19):
# 1. The development server with several workers (PHP_CLI_SERVER_WORKERS) takes a continuous stream of
#    signed checks from three background clients (bounded loops against 127.0.0.1 that stop by
#    themselves), so the device log commits all the time. Meanwhile: every correct sign-in succeeds
#    (one after the other and several at once), every wrong one is answered 401 and counted, and an
#    unknown name is answered exactly as a known one with a wrong password.
# 2. Sixteen processes try wrong passwords at the same moment: at most the limit (5) are checked, the
#    others are throttled; then the right password is refused too. No try ends in an error.
# 3. The dummy hash an unknown name is checked against has the stored hashes' algorithm and cost (the
#    cost is checked, not the time).
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
work=$(mktemp -d)
state=$work/server
source "$src/tests/support/db.sh"
traffic_pids=()
cleanup() {
    touch "$work/stop"
    for pid in "${traffic_pids[@]}"; do wait "$pid" 2>/dev/null; done
    bash "$src/server/bin/dev-server.sh" --stop "$state"
    test_db_drop
    rm -rf "$work"
}
trap cleanup EXIT
unset QUILLMARSH_HWID_KEY QUILLMARSH_DEVICE_LOG_ADDRESS
test_db_init traffic "$work/db/bans.sqlite"
echo "database: $(test_db_kind)"
PHP_CLI_SERVER_WORKERS=8 bash "$src/server/bin/dev-server.sh" --state "$state" >/dev/null ||
    { echo "FAIL: server did not start"; exit 1; }
base=http://127.0.0.1:$(cat "$state/port")
tool() { php "$src/server/bin/bans.php" "$@"; }
for account in alice:correct-horse-battery bob:bobs-long-password carol:carols-password-3; do
    echo "${account#*:}" | tool operator add "${account%%:*}" >/dev/null || { echo "FAIL: operator ${account%%:*}"; exit 1; }
done

source "$src/tests/support/checks.sh"
# sign_in NAME PASSWORD N -> status of the POST (its own cookie jar and page files, numbered N)
sign_in() {
    local jar=$work/jar.$3 page=$work/page.$3 token
    curl -s -c "$jar" -o "$page" "$base/admin/signin"
    token=$(grep -o 'name="csrf" value="[0-9a-f]*"' "$page" | head -1 | sed 's/.*value="//; s/"$//')
    curl -s -b "$jar" -c "$jar" -o "$page" -w '%{http_code}' --data-urlencode "csrf=$token" \
        --data-urlencode "name=$1" --data-urlencode "password=$2" "$base/admin/signin"
}

# ---- 1. Background traffic: signed checks of new devices, each written to the device log ------------------
for client in 1 2 3; do
    php -r '
require $argv[1] . "/server/lib/bans.php";
[, , $base, $client, $stop] = $argv;
$end = microtime(true) + 90;  // stops by itself: after 90 s, 30000 checks, or when told
$sent = 0;
$answered = 0;
while ($sent < 30000 && microtime(true) < $end && !file_exists($stop)) {
    $hwid = hash("sha256", "traffic $client $sent");
    $answer = @file_get_contents("$base/launcher/hwid_ban.php?hwid=$hwid&sig=" . hwid_signature($hwid, QUILLMARSH_DEVELOPMENT_KEY));
    $answered += $answer === "{\"banned\":false}" ? 1 : 0;
    $sent++;
}
file_put_contents($stop . ".client" . $client, "$sent $answered\n");
' "$src" "$base" "$client" "$work/stop" &
    traffic_pids+=($!)
done
devices() { sql "SELECT COUNT(*) FROM devices"; }
for _ in $(seq 1 100); do [ "$(devices)" -ge 30 ] && break; sleep 0.1; done
before=$(devices)

statuses=""
for n in $(seq 1 10); do statuses+="$(sign_in alice correct-horse-battery "s$n") "; done
check "under traffic: 10 correct sign-ins one after the other" "303 303 303 303 303 303 303 303 303 303 " "$statuses"
for n in 1 2 3 4; do
    sign_in alice correct-horse-battery "ca$n" >"$work/status.ca$n" &
    sign_in carol carols-password-3 "cc$n" >"$work/status.cc$n" &
done
wait_for() { for _ in $(seq 1 300); do [ -s "$1" ] && return; sleep 0.1; done; }
statuses=""
for f in ca1 ca2 ca3 ca4 cc1 cc2 cc3 cc4; do wait_for "$work/status.$f"; statuses+="$(cat "$work/status.$f") "; done
check "under traffic: 8 correct sign-ins at once" "303 303 303 303 303 303 303 303 " "$statuses"
statuses=""
for n in 1 2 3; do statuses+="$(sign_in bob wrong-password "b$n") $(sign_in nobody-here wrong-password "u$n") "; done
check "under traffic: wrong passwords and an unknown name, answered alike" "401 401 401 401 401 401 " "$statuses"
after=$(devices)
check "the checks went on being written meanwhile" "yes" "$([ $((after - before)) -ge 20 ] && echo yes || echo "no: $before -> $after devices")"
check "every wrong one counted: per account and for the address" \
    "account:bob|3 account:nobody-here|3 address:127.0.0.1|6" \
    "$(sql "SELECT subject, failures FROM signin_failures WHERE failures > 0 ORDER BY subject" | tr '\n' ' ' | sed 's/ $//')"
check "no error in the server's log" "0" "$(grep -c ' \[5[0-9][0-9]\]: ' "$state/server.log")"
touch "$work/stop"
for pid in "${traffic_pids[@]}"; do wait "$pid"; done
traffic_pids=()
echo "     (background checks sent/answered: $(cat "$work"/stop.client* | tr '\n' ' '))"

# ---- 2 and 3. Sixteen wrong passwords at once; the dummy hash's cost ---------------------------------------
php -r '
require $argv[1] . "/server/lib/console.php";
$config = quillmarsh_config();
require $argv[1] . "/tests/support/checks.php";
$t = time();
// Sixteen processes, each its own connection, try a wrong password for carol at the same moment (each
// from its own address: only the account limit applies).
$start = microtime(true) + 1.0;
$children = [];
for ($i = 0; $i < 16; $i++) {
    $pid = pcntl_fork();
    if ($pid === 0) {
        $mine = db_open($config);
        while (microtime(true) < $start) { usleep(500); }
        try {
            $result = console_sign_in($mine, "carol", "guess-$i", "198.51.100." . ($i + 1), $t)["result"];
        } catch (Throwable $e) {
            $result = "error: " . $e->getMessage();
        }
        file_put_contents(sys_get_temp_dir() . "/" . $argv[2] . ".$i", $result);
        exit(0);
    }
    $children[] = $pid;
}
foreach ($children as $pid) { pcntl_waitpid($pid, $status); }
$results = [];
for ($i = 0; $i < 16; $i++) {
    $file = sys_get_temp_dir() . "/" . $argv[2] . ".$i";
    $results[] = is_file($file) ? file_get_contents($file) : "no answer";
    @unlink($file);
}
$counts = array_count_values($results);
check("16 wrong passwords at once: no error", array_diff($results, ["wrong", "throttled"]) === [], $counts);
check("16 wrong passwords at once: at most 5 checked, the rest throttled",
    ($counts["wrong"] ?? 0) <= 5 && ($counts["wrong"] ?? 0) + ($counts["throttled"] ?? 0) === 16, $counts);
$db = db_open($config);
check("then the right password: throttled",
    console_sign_in($db, "carol", "carols-password-3", "198.51.100.99", $t)["result"] === "throttled");
$row = $db->query("SELECT failures FROM signin_failures WHERE subject = '"'"'account:carol'"'"'")->fetchColumn();
check("carol'"'"'s failures: the 5 that were checked", (int)$row === 5, $row);

function stored_dummy(PDO $db): string {
    try {
        return (string)$db->query("SELECT value FROM console_secrets WHERE name = '"'"'dummy_hash'"'"'")->fetchColumn();
    } catch (Throwable $e) {
        return "no stored dummy hash: " . $e->getMessage();
    }
}
// An operator whose hash has cost 11 (made elsewhere, or by a PHP whose default is higher): the dummy
// hash follows it.
$db->prepare("UPDATE operators SET password_hash = ?")->execute([password_hash("same-for-all", PASSWORD_BCRYPT, ["cost" => 11])]);
$unknown = console_sign_in($db, "zed", "whatever", "192.0.2.50", $t);
$dummy = stored_dummy($db);
check("unknown name: answered wrong", $unknown["result"] === "wrong", $unknown);
check("the dummy hash has the stored hashes'"'"' cost (11)", (password_get_info($dummy)["options"]["cost"] ?? null) === 11,
    password_get_info($dummy));
$known = console_sign_in($db, "alice", "whatever", "192.0.2.51", $t);
check("known name, wrong password: answered the same", $known === $unknown, $known);
// A new password made by the console (the default cost) brings the dummy back to that cost.
operator_set($db, "alice", "alice-new-password", "test");
$default = password_get_info(password_hash("x", PASSWORD_DEFAULT))["options"];
$dummy = stored_dummy($db);
check("after a new password: the dummy follows its cost", password_get_info($dummy)["options"] == $default,
    [password_get_info($dummy), $default]);

exit($failures > 0 ? 1 : 0);
' "$src" "console-traffic-$$"
[ $? -eq 0 ] || failures=$((failures + 1))

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    grep -v 'Accepted\|Closing\| \[200\]: GET /launcher' "$state/server.log" | tail -n 40
    exit 1
fi
echo "all checks passed"
