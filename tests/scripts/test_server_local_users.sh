#!/usr/bin/env bash
# The reference server against the other users of its machine (run as root: it plays the web server's
# user www-data, and nobody).
# - The admin command, run as root, follows no link planted by the web server's user: a dangling link
#   as the database, as its -wal or -shm, or as the queue folder, is refused and its target not made;
#   what it makes belongs to the folder's owner, 0660, as do the -wal and -shm that PHP then makes, and
#   the same when the command runs as www-data (SQLite).
# - SUDO_USER is believed only under a real sudo.
# - A write transaction holds no read snapshot from before its first write (SQLite): another connection
#   that commits in between does not make the write fail.
# - The device log's queue: a lock held on it costs a check nothing but a direct write, nobody else can
#   open it, a planted `queue` link is not followed, batches the server did not write are not read, and
#   a folder that is not the server's alone is not used, with one log line a minute; all while a bounded
#   loop of checks runs against the server.
# - SQLite: a statement that would run for hours ends with its web request (PHP's time limit).
# On SQLite by default; with QUILLMARSH_TEST_DB=pgsql on PostgreSQL (tests/support/db.sh).
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
latest=$(php -r 'require $argv[1] . "/server/lib/db.php"; echo db_latest_version();' "$src")
[ "$(id -u)" -eq 0 ] || { echo "skip: needs root (it acts as www-data and nobody)"; exit 0; }
work=$(mktemp -d)
chmod 755 "$work"
server_pid=""
holder=""
traffic=""
source "$src/tests/support/db.sh"
cleanup() {
    [ -z "$traffic" ] || kill "$traffic" 2>/dev/null
    [ -z "$holder" ] || kill "$holder" 2>/dev/null
    [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null
    test_db_drop
    rm -rf "$work"
}
trap cleanup EXIT
kind=$(test_db_kind)
echo "database: $kind"
failures=0
check() {  # check NAME EXPECTED ACTUAL
    if [ "$2" == "$3" ]; then echo "ok   $1"; else echo "FAIL $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}
tool() { php "$src/server/bin/bans.php" "$@"; }
modes() { stat -c '%a %U:%G' "$@" 2>&1 | paste -sd' '; }  # modes FILE...: "660 www-data:www-data ..."

# ---- The admin command as root in the web server's folder (SQLite) ------------------------------------
if [ "$kind" = sqlite ]; then
    data=$work/data
    install -d -o www-data -g www-data -m 750 "$data"
    export QUILLMARSH_DB_DSN="sqlite:$data/bans.sqlite"
    # What www-data can plant: a dangling link where the database will be, then where its -wal and -shm
    # will be. Root must neither create the target nor write through the link.
    for side in "" -wal -shm; do
        runuser -u www-data -- ln -s "$work/target$side" "$data/bans.sqlite$side"
        [ -z "$side" ] || : >"$data/keep-empty"  # the database itself is missing for every case
        tool migrate >/dev/null 2>"$work/err"
        rc=$?
        check "link as bans.sqlite$side, migrate as root: refused" "1 1" \
            "$rc $(grep -c "bans.sqlite$side is a symbolic link" "$work/err")"
        check "link as bans.sqlite$side: its target was not made" "no" "$([ -e "$work/target$side" ] && echo yes || echo no)"
        rm -f "$data/bans.sqlite$side" "$data/keep-empty"
        check "link as bans.sqlite$side: no database made beside it" "" "$(ls "$data")"
    done
    runuser -u www-data -- mkfifo "$data/bans.sqlite"
    tool migrate >/dev/null 2>"$work/err"
    check "a fifo as the database: refused" "1" "$(grep -c 'is not a regular file' "$work/err")"
    rm -f "$data/bans.sqlite"

    # Made by root: the folder's owner's, 0660; so are the -wal and -shm that PHP (as PHP-FPM would,
    # at the usual umask 022) makes beside it while it has the database open.
    check "migrate as root" "schema upgraded from version 0 to $latest" "$(tool migrate)"
    check "made by root: the folder owner's, 0660" "660 www-data:www-data" "$(modes "$data/bans.sqlite")"
    check "made by root: no file of root's in the folder" "" "$(find "$data" -user root)"
    side_modes='$d = new PDO("sqlite:" . $argv[1], null, null, [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION]);
        $d->exec("INSERT INTO audit (at, operator, action, detail) VALUES (1, 2, 3, 4)");
        $d->query("SELECT COUNT(*) FROM audit")->fetchAll();  // -wal and -shm exist while it is open
        clearstatcache();
        foreach (["-wal", "-shm"] as $s) { $st = stat($argv[1] . $s); printf("%o ", $st["mode"] & 0777); }'
    check "PHP as www-data at umask 022: -wal and -shm 0660" "660 660" \
        "$(runuser -u www-data -- sh -c 'umask 022; exec php -r "$1" "$2"' sh "$side_modes" "$data/bans.sqlite" | xargs)"
    check "others cannot read the database" "1" \
        "$(runuser -u nobody -- cat "$data/bans.sqlite" >/dev/null 2>&1; echo $?)"
    tool ban "$(printf '%064d' 1)" by root >/dev/null
    check "a ban by root: still no file of root's" "" "$(find "$data" -user root)"

    # Made by www-data (the guide's sudo -u www-data ... migrate), at umask 022.
    data2=$work/data2
    install -d -o www-data -g www-data -m 750 "$data2"
    export QUILLMARSH_DB_DSN="sqlite:$data2/bans.sqlite"
    check "migrate as www-data" "schema upgraded from version 0 to $latest" \
        "$(runuser -u www-data -- sh -c 'umask 022; exec php "$1" migrate' sh "$src/server/bin/bans.php" 2>&1)"
    check "made by www-data: 0660" "660 www-data:www-data" "$(modes "$data2/bans.sqlite")"
    check "made by www-data: -wal and -shm 0660" "660 660" \
        "$(runuser -u www-data -- sh -c 'umask 022; exec php -r "$1" "$2"' sh "$side_modes" "$data2/bans.sqlite" | xargs)"
    # A database an earlier version made 0644: migrate takes the others' access away.
    chmod 644 "$data2/bans.sqlite"
    runuser -u www-data -- php "$src/server/bin/bans.php" migrate >/dev/null
    check "an existing 0644 database: migrate makes it 0660" "660" "$(stat -c %a "$data2/bans.sqlite")"

    # The queue folder as a link, for drain as root: refused, its target untouched.
    install -d -o www-data -g www-data -m 700 "$work/elsewhere"
    runuser -u www-data -- ln -s "$work/elsewhere" "$data/queue"
    QUILLMARSH_DEVICE_LOG_QUEUE=$data/queue tool drain >/dev/null 2>"$work/err"
    check "the queue folder as a link: drain refuses" "1" "$(grep -c 'the folder is a symbolic link' "$work/err")"
    check "the queue folder as a link: nothing made in its target" "" "$(ls "$work/elsewhere")"
    rm "$data/queue"
fi

# ---- SUDO_USER without sudo ---------------------------------------------------------------------------
test_db_init local_users "$work/db/bans.sqlite"
mkdir -p "$work/db"
tool migrate >/dev/null || { echo "FAIL: migrate"; exit 1; }
device=$(printf 'local users' | sha256sum | cut -c1-64)
SUDO_USER=nobody SUDO_UID=65534 SUDO_GID=65534 tool ban "$device" framed >/dev/null
SUDO_USER=www-data SUDO_UID=0 tool unban "$device" >/dev/null
check "SUDO_USER without sudo: the audit names who ran the command" "shell:root|shell:root" \
    "$(sql "SELECT operator FROM audit WHERE hwid = ? ORDER BY id" "$device" | paste -sd'|')"
# Under a process shaped as sudo leaves it (a parent named sudo, whose real user is SUDO_UID's and whose
# effective user is root), SUDO_USER is believed; when its real user is another account, it is not.
mkdir -p "$work/bin"
cp "$(command -v bash)" "$work/bin/sudo"
as_sudo() {  # as_sudo RUID NAME UID COMMAND...: the command as root, below a "sudo" of real user RUID
    local ruid=$1 name=$2 uid=$3; shift 3
    setpriv --ruid "$ruid" -- "$work/bin/sudo" -p -c 'SUDO_USER=$0 SUDO_UID=$1 setpriv --ruid 0 -- "${@:2}"; true' \
        "$name" "$uid" "$@"
}
sql "DELETE FROM audit WHERE hwid = ?" "$device" >/dev/null
as_sudo 65534 nobody 65534 php "$src/server/bin/bans.php" ban "$device" by nobody >/dev/null
as_sudo 65534 www-data 33 php "$src/server/bin/bans.php" unban "$device" >/dev/null
check "under sudo: the user behind it; another account's name: ignored" "shell:nobody|shell:root" \
    "$(sql "SELECT operator FROM audit WHERE hwid = ? ORDER BY id" "$device" | paste -sd'|')"

# ---- No read snapshot before a write: another connection commits between a transaction's read and
# its write (a PDO whose prepare() lets it in just before the write statement) -------------------------
php -r '
require $argv[1] . "/server/lib/devices.php";
final class Interleaved extends PDO {
    public $before = null;  // [sql prefix, callable]: run once before preparing a statement with that prefix
    public function prepare(string $query, array $options = []): PDOStatement|false {
        if ($this->before !== null && str_starts_with($query, $this->before[0])) {
            [, $run] = $this->before;
            $this->before = null;
            $run();
        }
        return parent::prepare($query, $options);
    }
}
$config = quillmarsh_config();
$open = static fn (string $class) => new $class($config["db_dsn"], $config["db_user"], null,
    [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION, PDO::ATTR_TIMEOUT => 2]);
$other = new PDO($config["db_dsn"], $config["db_user"], null,
    [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION, PDO::ATTR_TIMEOUT => 0]);
$commit_other = static function () use ($other) {
    try {
        $other->exec("INSERT INTO audit (at, operator, action, detail) VALUES (\x27t\x27, \x27other\x27, \x27x\x27, \x27in between\x27)");
    } catch (PDOException) {
        // the transaction under test holds the write lock already: nothing commits in between
    }
};
$db = $open(Interleaved::class);
$hwid = hash("sha256", "snapshot");
bans_add($db, $hwid, "to lift", null, "test");
$db->before = ["DELETE FROM hwid_bans", $commit_other];
try {
    echo bans_remove($db, $hwid, "test") ? "lifted" : "not lifted", "\n";
} catch (PDOException $e) {
    echo "failed: ", $e->getMessage(), "\n";
}
$db->before = ["INSERT INTO device_log_writes", $commit_other];
try {
    echo device_log_write($db, [[$hwid, db_time(), false, null]], "marker-1") ? "written" : "skipped", "\n";
    echo device_log_write($db, [[$hwid, db_time(), false, null]], "marker-1") ? "written" : "skipped", "\n";
} catch (PDOException $e) {
    echo "failed: ", $e->getMessage(), "\n";
}' "$src" >"$work/snapshot.out" 2>&1
check "a commit by another connection during an unban: the unban succeeds" "lifted" "$(sed -n 1p "$work/snapshot.out")"
check "a commit during a marked device log write: written once, then skipped" "written|skipped" \
    "$(sed -n '2,3p' "$work/snapshot.out" | paste -sd'|')"

# ---- The device log's queue, with checks running against the server ----------------------------------
key="local users test key"
sign() { printf '%s' "$1" | openssl dgst -sha256 -hmac "$key" | sed 's/^.*= //'; }
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
start_server() {  # start_server QUEUE_DIR: the endpoint as this user, its error log in $work/error.log
    [ -z "$server_pid" ] || { kill "$server_pid"; wait "$server_pid" 2>/dev/null; }
    : >"$work/error.log"
    mkdir -p "$work/tmp"  # the server's temp folder (where it keeps the times of its log lines)
    env -u QUILLMARSH_ALLOW_DEVELOPMENT_KEY QUILLMARSH_HWID_KEY="$key" QUILLMARSH_DEVICE_LOG_QUEUE="$1" TMPDIR="$work/tmp" \
        php -d error_log="$work/error.log" -S "127.0.0.1:$port" -t "$src/server/public" \
        "$src/server/public/router.php" >"$work/server.log" 2>&1 </dev/null &
    server_pid=$!
    for _ in $(seq 1 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0; sleep 0.1; done
    echo "FAIL: the server did not start"; cat "$work/server.log"; exit 1
}
ask() {  # ask HWID: the status of a signed check
    curl -s -o /dev/null --max-time 20 -w '%{http_code}' "http://127.0.0.1:$port/launcher/hwid_ban.php?hwid=$1&sig=$(sign "$1")"
}
counted() { sql "SELECT COALESCE(SUM(checks), 0) FROM devices WHERE hwid = ?" "$1"; }
drained() {  # drained QUEUE_DIR: writes what is queued (as the server's user)
    QUILLMARSH_DEVICE_LOG_QUEUE=$1 tool drain >/dev/null 2>&1
}
drained_out() { QUILLMARSH_DEVICE_LOG_QUEUE=$1 tool drain 2>&1; }
logged() { grep -c -- "$1" "$work/error.log"; }
queue=$work/queue
mkdir -m 700 "$queue"
start_server "$queue"

# A lock held on the queue by another process of the server's own user: checks are answered and
# written directly while it is held, none waits for it. (No other traffic yet: a drainer would take the
# locked file away as a batch, and later checks would use a new queue.)
cat >"$work/hold.php" <<'PHP'
<?php
$f = fopen($argv[1], 'r+');
flock($f, LOCK_EX);
file_put_contents($argv[2], 'held');
sleep(600);
PHP
(umask 077; : >"$queue/queue")  # as the server makes it
rm -f "$work/held"
php "$work/hold.php" "$queue/queue" "$work/held" &
holder=$!
for _ in $(seq 1 100); do [ -s "$work/held" ] && break; sleep 0.1; done
locked=$(printf 'locked out' | sha256sum | cut -c1-64)
statuses=$(for _ in 1 2 3; do ask "$locked"; echo; done | paste -sd' ')
check "queue locked by another process: checks answered" "200 200 200" "$statuses"
check "queue locked: the lock is still held after them" "yes" "$(kill -0 "$holder" 2>/dev/null && echo yes || echo no)"
for _ in $(seq 1 100); do [ "$(counted "$locked")" = 3 ] && break; sleep 0.1; done
check "queue locked: the checks were written directly" "3" "$(counted "$locked")"
check "queue locked: the reason is logged once a minute, not per check" "1" "$(logged 'locked by another process')"
kill "$holder"; wait "$holder" 2>/dev/null; holder=""
check "queue locked: nothing of theirs went into the queue" "0" \
    "$(grep -c "$locked" "$queue/queue" 2>/dev/null || true)"

# From here on, background traffic: a bounded loop of checks of one device, which stops by itself.
busy=$(printf 'background' | sha256sum | cut -c1-64)
( for _ in $(seq 1 120); do ask "$busy"; echo; done >"$work/traffic.out" ) &
traffic=$!

# Another user cannot even open the queue to lock it (0700 folder, 0600 file).
runuser -u nobody -- flock -x -w 1 "$queue/queue" true >/dev/null 2>&1
check "nobody cannot open the queue to lock it" "1" "$([ $? -ne 0 ] && echo 1 || echo 0)"

# A planted `queue` link (root plants it; a folder others can write would let them): not followed.
drained "$queue"
rm -f "$queue/queue"
printf '<?php // victim\n' >"$work/victim.php"
ln -s "$work/victim.php" "$queue/queue"
linked=$(printf 'queue link' | sha256sum | cut -c1-64)
check "queue as a link: the check is answered" "200" "$(ask "$linked")"
for _ in $(seq 1 100); do [ "$(counted "$linked")" = 1 ] && break; sleep 0.1; done
check "queue as a link: written directly" "1" "$(counted "$linked")"
check "queue as a link: its target unchanged" "<?php // victim" "$(cat "$work/victim.php")"
rm "$queue/queue"

# Batches the server did not write: another owner, a link, another mode, another name. None is read.
forged=$(printf 'forged' | sha256sum | cut -c1-64)
line="$forged 9999-12-31T23:59:59Z n 192.0.2.66"
stamp="batch-20260101000000-host-1-"
echo "$line" >"$work/forged-target"
: >"$work/error.log"
printf '%s\n' "$line" >"$queue/${stamp}aaaaaaaaaaaa"; chown nobody "$queue/${stamp}aaaaaaaaaaaa"; chmod 600 "$queue/${stamp}aaaaaaaaaaaa"
ln -s "$work/forged-target" "$queue/${stamp}bbbbbbbbbbbb"
printf '%s\n' "$line" >"$queue/${stamp}cccccccccccc"; chmod 644 "$queue/${stamp}cccccccccccc"
printf '%s\n' "$line" >"$queue/batch-evil"; chmod 600 "$queue/batch-evil"
fine=$(printf 'after forged' | sha256sum | cut -c1-64)
for _ in 1 2 3; do ask "$fine" >/dev/null; done
drained "$queue"
check "foreign batches: the checks are still counted" "3" "$(counted "$fine")"
check "foreign batches: none was read" "0" "$(counted "$forged")"
check "foreign batches: all left where they are" "4" "$(ls "$queue" | grep -c '^batch-')"
check "foreign batches: one log line a minute" "1" "$(logged 'the server did not write it')"
# The admin command names such a file, escaped: a name cannot send commands to the terminal.
(umask 077; printf '%s\n' "$line" >"$queue/$(printf 'batch-\033[2J')")
drain_out=$(drained_out "$queue")
check "drain: a foreign batch's name escaped" "1|0" \
    "$(grep -c 'not reading .*/batch-\\x1b\[2J: the server did not write it' <<<"$drain_out")|$(grep -c $'\033' <<<"$drain_out")"
rm -f "$queue"/batch-*

# The background traffic: every check answered, every one counted once.
wait "$traffic"; traffic=""
drained "$queue"
check "background traffic: 120 checks answered 200" "120" "$(grep -c '^200$' "$work/traffic.out")"
check "background traffic: each counted once" "120" "$(counted "$busy")"

# A folder that is not the server's alone (others may enter it; another owner; a link): not used, the
# checks are written directly, and the reason is logged once a minute, not per check.
for case in mode owner link; do
    odd=$work/odd-$case
    case $case in
        mode) mkdir -m 755 "$odd" ;;
        owner) install -d -o www-data -g www-data -m 700 "$odd" ;;
        link) mkdir -m 700 "$work/odd-target"; ln -s "$work/odd-target" "$odd" ;;
    esac
    start_server "$odd"
    dev=$(printf 'odd %s' "$case" | sha256sum | cut -c1-64)
    statuses=$(for _ in 1 2 3 4; do ask "$dev"; echo; done | paste -sd' ')
    check "queue folder ($case): answered" "200 200 200 200" "$statuses"
    check "queue folder ($case): written directly" "4" "$(counted "$dev")"
    check "queue folder ($case): nothing made in it" "" "$(ls -A "$odd/")"
    check "queue folder ($case): one log line for four checks" "1" "$(logged "not using the folder $odd")"
done

# ---- SQLite has no statement time-out: in a web request PHP's time limit ends a runaway statement ---
if [ "$kind" = sqlite ]; then
    mkdir -p "$work/slow"
    cat >"$work/slow/slow.php" <<'PHP'
<?php
require getenv('QUILLMARSH_TEST_SOURCE') . '/server/lib/db.php';
$db = db_open(quillmarsh_config());  // as every request opens it
echo $db->query('WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) '
    . 'SELECT COUNT(*) FROM (SELECT x FROM c LIMIT 100000000000)')->fetchColumn();
PHP
    slow_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    # (the hard limit's message goes straight to the server's output)
    QUILLMARSH_TEST_SOURCE=$src php -S "127.0.0.1:$slow_port" -t "$work/slow" >"$work/slow.log" 2>&1 </dev/null &
    slow_pid=$!
    for _ in $(seq 1 100); do (exec 3<>"/dev/tcp/127.0.0.1/$slow_port") 2>/dev/null && break; sleep 0.1; done
    # Bounded by processor time (5 s, then 2 s more), not by the clock: a generous wall-clock bound here.
    status=$(curl -s -o /dev/null --max-time 600 -w '%{http_code}' "http://127.0.0.1:$slow_port/slow.php")
    check "a statement that would run for hours: the request ends without an answer" "000" "$status"
    check "the cause is PHP's time limit" "1" "$(grep -c 'Maximum execution time of 5+2 seconds' "$work/slow.log")"
    kill "$slow_pid" 2>/dev/null; wait "$slow_pid" 2>/dev/null
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; error log:"
    cat "$work/error.log" "$work/snapshot.out"
    exit 1
fi
echo "all checks passed"
