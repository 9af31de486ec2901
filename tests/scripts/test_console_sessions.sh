#!/usr/bin/env bash
# The console's sessions and sign-in throttling against their clock (lib/console.php takes the time as
# an argument, so the windows are checked exactly, without waiting): idle time-out, the 12-hour limit,
# the per-account and per-address windows, sessions ended by a new password or a removed account, and
# only a hash of the cookie in the database.
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
work=$(mktemp -d)
source "$src/tests/support/db.sh"  # SQLite, or PostgreSQL with QUILLMARSH_TEST_DB=pgsql
trap 'test_db_drop; rm -rf "$work"' EXIT
test_db_init sessions "$work/bans.sqlite"
echo "database: $(test_db_kind)"
php "$src/server/bin/bans.php" migrate >/dev/null || { echo "FAIL: migrate"; exit 1; }
php -d zend.assertions=1 -r '
require $argv[1] . "/server/lib/console.php";
$db = db_open(quillmarsh_config());
require $argv[1] . "/tests/support/checks.php";
operator_set($db, "alice", "alice-password-1", "test");
operator_set($db, "bob", "bob-password-22", "test");
$t = 1700000000;
$in = console_sign_in($db, "alice", "alice-password-1", "192.0.2.1", $t);
check("sign in", $in["result"] === "ok", $in);
$token = $in["token"];
$stored = $db->query("SELECT id_hash FROM sessions")->fetchAll(PDO::FETCH_COLUMN);
check("only the hash of the cookie is stored", $stored === [hash("sha256", $token)], $stored);
check("29 min idle: still signed in", console_session($db, $token, 30, $t + 29 * 60) !== null);
check("another 31 min idle: signed out", console_session($db, $token, 30, $t + 60 * 60) === null);
check("and the session is gone for good", console_session($db, $token, 30, $t + 60 * 60 + 1) === null);
$token = console_sign_in($db, "alice", "alice-password-1", "192.0.2.1", $t)["token"];
$alive = true;
for ($m = 20; $m <= 12 * 60; $m += 20) {
    $alive = $alive && console_session($db, $token, 30, $t + $m * 60) !== null;
}
check("busy all day: signed in for 12 hours", $alive);
check("busy all day: signed out after 12 hours", console_session($db, $token, 30, $t + 12 * 3600 + 60) === null);
check("a made-up cookie", console_session($db, str_repeat("a", 64), 30, $t) === null);
check("a malformed cookie", console_session($db, "../etc", 30, $t) === null);

// Per account: the 5th failure within 15 minutes blocks the account, right password or not.
$t2 = $t + 86400;
for ($i = 0; $i < 5; $i++) {
    $r = console_sign_in($db, "bob", "guess", "192.0.2.2", $t2 + $i);
}
check("5 wrong passwords: answered wrong", $r["result"] === "wrong", $r);
check("then even the right password is throttled",
    console_sign_in($db, "bob", "bob-password-22", "192.0.2.2", $t2 + 10)["result"] === "throttled");
check("another account from the same address is not",
    console_sign_in($db, "alice", "alice-password-1", "192.0.2.2", $t2 + 11)["result"] === "ok");
check("15 minutes after the first failure: bob may sign in",
    console_sign_in($db, "bob", "bob-password-22", "192.0.2.2", $t2 + 15 * 60 + 1)["result"] === "ok");
// Per address: 20 failures over any accounts, including ones that do not exist.
$t3 = $t + 2 * 86400;
for ($i = 0; $i < 20; $i++) {
    console_sign_in($db, "nobody$i", "guess", "198.51.100.9", $t3 + $i);
}
check("20 failures from one address: throttled there",
    console_sign_in($db, "alice", "alice-password-1", "198.51.100.9", $t3 + 30)["result"] === "throttled");
check("not from another address",
    console_sign_in($db, "alice", "alice-password-1", "198.51.100.10", $t3 + 31)["result"] === "ok");
check("4 failures: not yet throttled", (function () use ($db, $t3) {
    for ($i = 0; $i < 4; $i++) { console_sign_in($db, "carol", "x", "203.0.113." . $i, $t3 + $i); }
    return !throttle_blocked($db, "carol", "203.0.113.99", $t3 + 10);
})());

// A new password or a removed account ends the sessions.
$token = console_sign_in($db, "alice", "alice-password-1", "192.0.2.1", $t3 + 100)["token"];
operator_set($db, "alice", "alice-password-2", "test");
check("a new password ends the sessions", console_session($db, $token, 30, $t3 + 101) === null);
check("the old password no longer works",
    console_sign_in($db, "alice", "alice-password-1", "192.0.2.7", $t3 + 102)["result"] === "wrong");
$token = console_sign_in($db, "alice", "alice-password-2", "192.0.2.7", $t3 + 103)["token"];
operator_remove($db, "alice", "test");
check("a removed account is signed out", console_session($db, $token, 30, $t3 + 104) === null);
exit($failures > 0 ? 1 : 0);
' "$src"
status=$?
[ $status -eq 0 ] && echo "all checks passed"
exit $status
