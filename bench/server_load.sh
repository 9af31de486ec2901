#!/usr/bin/env bash
# The reference server under load, set up as in production: nginx and PHP-FPM from the templates in
# server/deploy (rendered by render.sh for a temp folder), HTTPS with keep-alive, a ban list of ROWS
# devices and a device log of ROWS devices, on SQLite and on a private PostgreSQL 15 cluster. wrk sends
# correctly signed checks for many distinct devices (a list of hwid/sig pairs made beforehand; about a
# quarter new to the log, half banned) and prints requests/s and latency p50/p99/max:
#   - per database and per number of connections (16, 64, 256): a trivial PHP script through the same
#     nginx location settings and the same FPM pool that prints the same answer (the ceiling of any PHP
#     endpoint here), then the ban endpoint with the device log; the ratio of the two;
#   - memory (PSS of nginx, PHP-FPM and PostgreSQL) over a SOAK-second run at 64 connections;
#   - downloads of the large archive while checks run;
#   - the production limits per address at work (all load here comes from one address);
#   - overload: checks offered at twice the measured capacity by 1024 connections; what is refused,
#     how fast, what the admitted checks took, what the shell would show, and that nothing was lost.
# The servers (and PostgreSQL's private cluster) are started and stopped by the harness the tests use,
# tests/support/server.sh and tests/support/postgres.sh.
# Bench-only change to the rendered configuration, since every request of the bench comes from
# 127.0.0.1: the measurements run on a copy of the site with every limit raised; the overload run on one
# with the per-address limits raised and the limit over all addresses (CHECK_CONCURRENCY) as rendered;
# the limit demonstration on the site as rendered. All three use the same PHP-FPM pool.
# Not part of the test command. Needs nginx, php8.2-fpm, php8.2-pgsql, postgresql-15, wrk (setup.sh).
# Usage: bench/server_load.sh [--rows N] [--seconds S] [--soak S] [--connections "16 64 256"]
#                             [--databases "sqlite pgsql"] [--server DIR] [--values FILE]
#                             [--pg-settings "-c NAME=VALUE ..."] [--rounds R]
#   --rounds R: pairs of runs (ceiling, endpoint) per number of connections (default 3); the table keeps
#   the pair with the median ratio
#   --server DIR: the server tree to measure (default: this repository's server/), e.g. an older one
#   --values FILE: extra NAME=value lines for render.sh (e.g. a pool size to try)
#   --reports RATE: instead of the runs above, per database: ROUNDS pairs of runs of the ban endpoint at 64
#   connections, first alone, then while signed failure reports (each of another device) arrive at RATE
#   a second through the same nginx and PHP-FPM pool; the checks' figures of both, the reports' answers
#   and the rows stored
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
server=$repo/server
rows=1000000
seconds=10
soak=60
connections="16 64 256"
databases="sqlite pgsql"
extra_values=""
dsn=""
rounds=3
pg_settings=""  # extra server settings, e.g. "-c shared_buffers=1GB -c max_wal_size=4GB"
reports_rate=0
while [ $# -gt 0 ]; do
    case "$1" in
        --rows) rows=$2; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --soak) soak=$2; shift 2 ;;
        --connections) connections=$2; shift 2 ;;
        --databases) databases=$2; shift 2 ;;
        --server) server=$(cd "$2" && pwd); shift 2 ;;
        --pg-settings) pg_settings=$2; shift 2 ;;
        --rounds) rounds=$2; shift 2 ;;
        --reports) reports_rate=$2; shift 2 ;;
        --values) extra_values=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
        *) sed -n '2,/^set -e/p' "$0" | sed '$d'; exit 2 ;;
    esac
done
wrk=/usr/bin/wrk
pg=/usr/lib/postgresql/15/bin
for tool in "$wrk" "$pg/initdb"; do
    [ -x "$tool" ] || { echo "missing $tool: run scripts/setup.sh" >&2; exit 1; }
done
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
source "$repo/tests/support/server.sh"

work=$(mktemp -d /tmp/quillmarsh-load.XXXXXX)
chmod 755 "$work"
pg_running=""
cleanup() {
    server_stop
    [ -z "$pg_running" ] || bash "$repo/tests/support/postgres.sh" stop "$work/pg" || true
    rm -rf "$work"
}
trap cleanup EXIT
log() { echo "# $*" >&2; }

key="server-load-bench-key"
export QUILLMARSH_HWID_KEY=$key
mkdir -p "$work"/{files/launcher,data,trivial}
server_setup "$work/server" "$server"
# An ECDSA P-256 certificate, as most certificate authorities issue today (cheaper handshakes than RSA:
# the overload run opens 1024 connections at once).
server_cert ec
# The large archive (the size of a real Java 17 archive) and a jar.
head -c $((45 * 1024 * 1024)) /dev/urandom >"$work/files/launcher/Java17.zip"
head -c $((2 * 1024 * 1024)) /dev/urandom >"$work/files/launcher/QuillmarshLauncher.jar"
# The ceiling: the same answer, with the same headers, from a script that does nothing else.
cat >"$work/trivial/trivial.php" <<'PHP'
<?php
header('Content-Type: application/json');
header('Cache-Control: no-store');
echo '{"banned":false}';
PHP

# ---- The requests: correctly signed checks of distinct devices ------------------------------------------
# Device i has the fingerprint sha256("device i"). The log holds devices 0 .. ROWS-1, the ban list
# devices ROWS/2 .. ROWS/2+ROWS-1; the checks ask for 50,000 devices drawn from 0 .. 2*ROWS-1.
list_size=50000
php -r '
[$rows, $n, $key] = [(int)$argv[1], (int)$argv[2], $argv[3]];
mt_srand(42);
for ($k = 0; $k < $n; $k++) {
    $hwid = hash("sha256", "device " . mt_rand(0, 2 * $rows - 1));
    echo "hwid=$hwid&sig=", hash_hmac("sha256", $hwid, $key), "\n";
}' "$rows" "$list_size" "$key" >"$work/checks.txt"

# ---- Databases --------------------------------------------------------------------------------------------
fill_sqlite() {  # fill_sqlite FILE
    QUILLMARSH_DB_DSN="sqlite:$1" php "$server/bin/bans.php" migrate >/dev/null
    python3 - "$1" "$rows" <<'PY'
import hashlib, random, sqlite3, sys, datetime
db, rows = sys.argv[1], int(sys.argv[2])
c = sqlite3.connect(db)
h = lambda i: hashlib.sha256(b"device %d" % i).hexdigest()
c.executemany("INSERT INTO hwid_bans (hwid, reason, banned_at) VALUES (?, 'bench', '2025-01-01T00:00:00Z')",
              ((h(i),) for i in range(rows // 2, rows // 2 + rows)))
random.seed(7)
now = datetime.datetime.now(datetime.timezone.utc)
def devices():
    for i in range(rows):
        seen = (now - datetime.timedelta(seconds=random.randrange(170 * 86400))).strftime("%Y-%m-%dT%H:%M:%SZ")
        yield (h(i), seen, seen, "198.51.%d.%d" % (i // 250 % 250, i % 250))
c.executemany("INSERT INTO devices VALUES (?, ?, ?, 1, ?, 'not banned')", devices())
c.execute("INSERT INTO device_days SELECT hwid, substr(last_seen, 1, 10), 1, 'not banned' FROM devices")
c.commit()
c.execute("PRAGMA wal_checkpoint(TRUNCATE)")
PY
}
start_postgres() {  # the tests' private cluster, durable (fsync on) and with room for the pool's connections
    POSTGRES_OPTIONS="-c fsync=on -c max_connections=200 $pg_settings" \
        bash "$repo/tests/support/postgres.sh" start "$work/pg" >/dev/null
    pg_running=1
    pg_socket=$(cat "$work/pg/socket")
}
psql_do() { "$pg/psql" -h "$pg_socket" -U quillmarsh -d postgres -X -q -At -v ON_ERROR_STOP=1 -c "$1"; }
fill_postgres() {
    QUILLMARSH_DB_DSN="pgsql:host=$pg_socket;dbname=postgres" QUILLMARSH_DB_USER=quillmarsh \
        php "$server/bin/bans.php" migrate >/dev/null
    psql_do "
INSERT INTO hwid_bans (hwid, reason, banned_at)
    SELECT encode(sha256(('device ' || i)::bytea), 'hex'), 'bench', '2025-01-01T00:00:00Z'
    FROM generate_series($((rows / 2)), $((rows / 2 + rows - 1))) i;
INSERT INTO devices
    SELECT encode(sha256(('device ' || i)::bytea), 'hex'), s, s, 1, '198.51.' || (i / 250 % 250) || '.' || (i % 250), 'not banned'
    FROM (SELECT i, to_char(now() at time zone 'utc' - random() * interval '170 days', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"') s
          FROM generate_series(0, $((rows - 1))) i) x;
INSERT INTO device_days SELECT hwid, substr(last_seen, 1, 10), 1, 'not banned' FROM devices;"
    psql_do "VACUUM ANALYZE"
}

# ---- nginx and PHP-FPM from the templates (tests/support/server.sh) -----------------------------------
port=$server_port
overload_port=$(free_port)
limits_port=$(free_port)
render() {  # render DSN
    local extra=()
    [ -z "$extra_values" ] || mapfile -t extra < <(grep -v '^[[:space:]]*\(#\|$\)' "$extra_values")
    server_render "FILES_DIR=$work/files" JAVA_ARCHIVE_PATH=/launcher/Java17.zip \
        LAUNCHER_JAR_PATH=/launcher/QuillmarshLauncher.jar "DB_DSN=$1" ADMIN_ALLOW=127.0.0.1 \
        "DEVICE_LOG_QUEUE=$work/queue" "${extra[@]}"
    server_fpm_env QUILLMARSH_HWID_KEY "$key"
    case "$1" in pgsql:*) server_fpm_env QUILLMARSH_DB_USER quillmarsh ;; esac
    # The limits site: the rendered site as it is, on its own port, plus the trivial script.
    # The bench site: the per-address limits raised (one address sends everything here).
    python3 - "$work/server/conf/nginx-site.conf" "$work/trivial/trivial.php" "$port" "$limits_port" "$overload_port" <<'PY'
import re, sys
path, trivial, port, limits_port, overload_port = sys.argv[1:6]
site = open(path).read()
block = re.search(r"    location = /launcher/hwid_ban\.php \{.*?\n    \}\n", site, re.S).group(0)
ceiling = block.replace("location = /launcher/hwid_ban.php", "location = /bench/trivial.php") \
    .replace(re.search(r"SCRIPT_FILENAME\s+(\S+);", block).group(1), trivial) \
    .replace("SCRIPT_NAME       /launcher/hwid_ban.php", "SCRIPT_NAME       /bench/trivial.php")
site = site.replace("    location / {", ceiling + "\n    location / {")
def own_zones(text, suffix, port_to):
    text = text.replace(f"listen 127.0.0.1:{port} ssl", f"listen 127.0.0.1:{port_to} ssl")
    for name in re.findall(r"limit_(?:req|conn)_zone \S+ zone=(\w+)", text):
        text = text.replace(f"zone={name}:", f"zone={name}_{suffix}:").replace(f"zone={name} ", f"zone={name}_{suffix} ") \
            .replace(f"limit_conn {name} ", f"limit_conn {name}_{suffix} ")
    return text
def per_address_raised(text):
    text = re.sub(r"rate=\d+r/[ms]", "rate=1000000r/s", text)
    text = re.sub(r"burst=\d+", "burst=1000000", text)
    return re.sub(r"limit_conn quillmarsh_addr \d+;", "limit_conn quillmarsh_addr 60000;", text)
# limits: as rendered; overload: per-address limits raised, the limit over all addresses as rendered;
# bench (measurements): every limit raised.
open(path.replace(".conf", "-limits.conf"), "w").write(own_zones(site, "limits", limits_port))
open(path.replace(".conf", "-overload.conf"), "w").write(own_zones(per_address_raised(site), "overload", overload_port))
bench = re.sub(r"limit_conn quillmarsh_all_checks \d+;", "limit_conn quillmarsh_all_checks 60000;", per_address_raised(site))
open(path, "w").write(bench)
PY
}
start_servers() {  # PHP-FPM, and one nginx per site configuration (own ports), sized for the load
    server_nginx_workers=auto
    server_nginx_connections=8192
    server_nginx_main="worker_rlimit_nofile 16384;"
    server_nginx_http="    sendfile on;"
    server_start_fpm
    for site in nginx-site nginx-site-limits nginx-site-overload; do
        server_start_nginx "$work/server/conf/$site.conf" "$site" || exit 1
    done
    server_wait || exit 1
}

# ---- Measuring -----------------------------------------------------------------------------------------
# run_wrk CONNECTIONS SECONDS PATH [PORT] [env...]: prints the RESULT line
run_wrk() {
    local conns=$1 secs=$2 path=$3 p=${4:-$port}
    shift 4 || shift $#
    env BENCH_LIST="$work/checks.txt" BENCH_PATH="$path" "$@" \
        "$wrk" -t2 -c"$conns" -d"${secs}s" --timeout 30s -s "$repo/bench/server_load.lua" \
        "https://127.0.0.1:$p" 2>&1 | grep '^RESULT' || echo "RESULT requests=0 failed"
}
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$2"; }
rps() { awk -v r="$(field requests "$1")" -v s="$(field seconds "$1")" 'BEGIN { printf "%.0f", r / s }'; }
ms() { awk -v u="$(field "$1" "$2")" 'BEGIN { printf "%.1f", u / 1000 }'; }
errors() { echo $(( $(field connect "$1") + $(field read "$1") + $(field write "$1") + $(field status "$1") + $(field timeout "$1") )); }
pss_kb() {  # PSS of nginx, PHP-FPM and (if running) PostgreSQL, all processes, in kB
    local pids
    pids=$( { for p in "${server_nginx_pids[@]}" "$server_fpm_pid"; do echo "$p"; pgrep -P "$p"; done
              [ -z "$pg_running" ] || { p=$(head -1 "$pg_socket/postmaster.pid"); echo "$p"; pgrep -P "$p"; }; } | sort -u)
    for p in $pids; do awk '/^Pss:/ { print $2 }' "/proc/$p/smaps_rollup" 2>/dev/null; done | awk '{ s += $1 } END { print s + 0 }'
}
measure() {  # measure DB: ROUNDS pairs of runs per number of connections, the pair of median ratio kept
    local db=$1 c r ceiling endpoint ratio
    run_wrk 64 3 /bench/trivial.php >/dev/null      # warm-up: workers, opcache, connections
    run_wrk 64 3 /launcher/hwid_ban.php >/dev/null
    for c in $connections; do
        : >"$work/rounds.txt"
        for r in $(seq 1 "$rounds"); do
            # The ceiling and the endpoint one right after the other: the machine's drift between rounds
            # (other guests, CPU frequency) moves both.
            ceiling=$(run_wrk "$c" "$seconds" /bench/trivial.php)
            endpoint=$(run_wrk "$c" "$seconds" /launcher/hwid_ban.php)
            ratio=$(awk -v a="$(rps "$endpoint")" -v b="$(rps "$ceiling")" 'BEGIN { printf "%.2f", a / b }')
            printf '%-7s %5d conns  ceiling %6d/s p50 %5s p99 %6s max %7s ms err %d | endpoint %6d/s p50 %5s p99 %6s max %7s ms err %d | ratio %s\n' \
                "$db" "$c" "$(rps "$ceiling")" "$(ms p50 "$ceiling")" "$(ms p99 "$ceiling")" "$(ms max "$ceiling")" \
                "$(errors "$ceiling")" "$(rps "$endpoint")" "$(ms p50 "$endpoint")" "$(ms p99 "$endpoint")" \
                "$(ms max "$endpoint")" "$(errors "$endpoint")" "$ratio"
            echo "$ratio| $db | $c | $(rps "$ceiling") | $(rps "$endpoint") | $ratio | $(ms p50 "$endpoint") | $(ms p99 "$endpoint") | $(ms max "$endpoint") | $(errors "$endpoint") |" >>"$work/rounds.txt"
        done
        sort -n "$work/rounds.txt" | sed -n "$(( (rounds + 1) / 2 ))p" | cut -d'|' -f2- | sed 's/^/|/' >>"$work/table.txt"
    done
}
soak_run() {  # soak_run DB: memory every 5 s over a SOAK-second run at 64 connections
    local out samples=() wal=""
    run_wrk 64 "$soak" /launcher/hwid_ban.php >"$work/soak.out" &
    local w=$!
    for _ in $(seq 0 5 "$soak"); do samples+=("$(( $(pss_kb) / 1024 ))"); sleep 5; kill -0 "$w" 2>/dev/null || break; done
    wait "$w"
    out=$(cat "$work/soak.out")
    [ "$1" != sqlite ] || wal=", WAL file $(( $(stat -c %s "$work/data/bans.sqlite-wal" 2>/dev/null || echo 0) / 1024 / 1024 )) MB at the end"
    echo "$1 memory over ${soak} s at 64 connections (PSS of nginx + PHP-FPM$([ -z "$pg_running" ] || echo ' + PostgreSQL'), MB every 5 s): ${samples[*]}$wal"
    echo "$1 soak: $(rps "$out")/s p50 $(ms p50 "$out") p99 $(ms p99 "$out") max $(ms max "$out") ms errors $(errors "$out")"
}
downloads() {  # downloads DB: the large archive, alone and while checks run at 64 connections
    local url="https://127.0.0.1:$port/launcher/Java17.zip" alone during checks
    alone=$(curl -sk -o /dev/null -w '%{speed_download}' "$url")
    : >"$work/downloads.txt"
    ( end=$((SECONDS + seconds)); while [ $SECONDS -lt $end ]; do
        curl -sk -o /dev/null -w '%{http_code} %{time_total} %{speed_download}\n' "$url" >>"$work/downloads.txt"; done ) &
    local d1=$!
    ( end=$((SECONDS + seconds)); while [ $SECONDS -lt $end ]; do
        curl -sk -o /dev/null -w '%{http_code} %{time_total} %{speed_download}\n' "$url" >>"$work/downloads.txt"; done ) &
    local d2=$!
    checks=$(run_wrk 64 "$seconds" /launcher/hwid_ban.php)
    wait "$d1" "$d2"
    echo "$1 downloads of the 45 MB archive: alone $(awk -v s="$alone" 'BEGIN { printf "%.0f", s / 1048576 }') MB/s;" \
        "two at a time while checks run: $(awk '$1 == 200 { n++; t += $2; s += $3 } $1 != 200 { bad++ }
            END { printf "%d done (%d failed), %.2f s each, %.0f MB/s each", n, bad, t / (n ? n : 1), s / (n ? n : 1) / 1048576 }' "$work/downloads.txt");" \
        "the checks meanwhile: $(rps "$checks")/s p99 $(ms p99 "$checks") ms errors $(errors "$checks")"
}
limits_demo() {  # the production limits per address: 64 connections from one address
    local out
    out=$(run_wrk 64 5 /launcher/hwid_ban.php "$limits_port" BENCH_COUNT=1)
    echo "production limits, one address, 64 connections for 5 s: answers $(field counts "$out")" \
        "(429: request rate, 503: connections); p50 $(ms p50 "$out") p99 $(ms p99 "$out") max $(ms max "$out") ms"
}
log_checks() {  # the device log's check count of today, once the queue is written (bans.php drain)
    QUILLMARSH_DB_DSN=$dsn QUILLMARSH_DB_USER=quillmarsh QUILLMARSH_DEVICE_LOG_QUEUE=$work/queue \
        php "$server/bin/bans.php" drain >/dev/null
    if [ "$1" = sqlite ]; then
        python3 -c 'import sqlite3,sys,time; print(sqlite3.connect(sys.argv[1]).execute("SELECT COALESCE(SUM(checks),0) FROM device_days WHERE day = ?", (time.strftime("%Y-%m-%d", time.gmtime()),)).fetchone()[0])' "$work/data/bans.sqlite"
    else
        psql_do "SELECT COALESCE(SUM(checks), 0) FROM device_days WHERE day = to_char(now() at time zone 'utc', 'YYYY-MM-DD')"
    fi
}
ban_count() {
    if [ "$1" = sqlite ]; then
        python3 -c 'import sqlite3,sys; print(sqlite3.connect(sys.argv[1]).execute("SELECT COUNT(*) FROM hwid_bans").fetchone()[0])' "$work/data/bans.sqlite"
    else
        psql_do "SELECT COUNT(*) FROM hwid_bans"
    fi
}
overload() {  # overload DB: twice the capacity measured at 64 connections, offered by 1024 connections
    local conns=1024 rate=$((2 * capacity)) delay before after bans_before out ok
    delay=$(( conns * 1000 / rate ))
    sleep 2  # the device log writes of earlier runs end
    before=$(log_checks "$1"); bans_before=$(ban_count "$1")
    out=$(run_wrk "$conns" "$((2 * seconds))" /launcher/hwid_ban.php "$overload_port" BENCH_COUNT=1 BENCH_DELAY_MS="$delay")
    sleep 2
    after=$(log_checks "$1")
    ok=$(field counts "$out" | tr ',' '\n' | awk -F: '$1 ~ /^200/ { s += $2 } END { print s + 0 }')
    echo "$1 overload: ${rate}/s offered (2 x $capacity) by $conns connections for $((2 * seconds)) s:" \
        "$(rps "$out")/s answered, $(awk -v n="$ok" -v s="$(field seconds "$out")" 'BEGIN { printf "%.0f", n / s }')/s of them with a verdict;" \
        "by status $(field counts "$out"); latency of all answers (admitted and refused) p50 $(ms p50 "$out")" \
        "p99 $(ms p99 "$out") max $(ms max "$out") ms; wrk errors other than status: $(( $(errors "$out") - $(field status "$out") ))"
    echo "$1 overload, what the shell shows: 200 -> the verdict (not banned: goes on; banned: F4);" \
        "429/503 -> no verdict: \"Сервер вернул код 503\" in launcher.log and the F3 box" \
        "\"Не удалось проверить устройство. Сервер проверки недоступен. Попробуйте позже.\""
    echo "$1 overload, nothing lost: ban list $bans_before -> $(ban_count "$1") rows;" \
        "device log counted $((after - before)) checks for $ok verdicts answered (plus at most $conns still in flight when wrk stopped)"
}

php_costs() {  # php_costs DB: where a check's time goes, in one PHP process on the same database
    php -r '
require $argv[1] . "/lib/devices.php";
$config = quillmarsh_config();
$lines = array_slice(file($argv[2], FILE_IGNORE_NEW_LINES), 0, 2000);
$hwids = array_map(static fn ($l) => substr($l, 5, 64), $lines);
$time = static function (callable $f, int $n = 2000) use ($hwids): float {
    $some = array_slice($hwids, 0, $n);
    $t = hrtime(true);
    foreach ($some as $h) { $f($h); }
    return (hrtime(true) - $t) / 1e3 / count($some);
};
$db = db_open($config);
printf("%s in one PHP process, us per check: open a connection %.0f, signature %.0f, verdict %.0f, device log write %.0f
",
    $argv[3], $time(fn ($h) => db_open($config), 200), $time(fn ($h) => hwid_signature_valid($h, hash_hmac("sha256", $h, "k"), "k")),
    $time(fn ($h) => bans_is_banned($db, $h)), $time(fn ($h) => device_log_record($db, $h, false, "198.51.100.7")));
' "$server" "$work/checks.txt" "$1" 2>&1 || true
}

# ---- Failure reports arriving while checks run (--reports RATE) ----------------------------------------------
# send_reports SECONDS: RATE reports a second for SECONDS seconds (two threads, keep-alive HTTPS, paced
# by the clock, bounded by the list), each a signed report of its own device; prints a REPORTS line.
send_reports() {
    python3 - "$work/reports.txt" "$port" "$reports_rate" "$1" <<'PY'
import http.client, ssl, sys, threading, time, collections
path, port, rate, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
lines = [l.rstrip("\n").split(" ", 1) for l in open(path, encoding="utf-8")]
context = ssl._create_unverified_context()
counts, latencies, lock = collections.Counter(), [], threading.Lock()
def sender(k, n):
    conn, start = None, time.monotonic()
    for i in range(k, min(len(lines), int(rate * seconds)), n):
        wait = start + i / rate - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        mac, body = lines[i]
        t = time.monotonic()
        try:
            conn = conn or http.client.HTTPSConnection("127.0.0.1", port, context=context, timeout=15)
            conn.request("POST", "/launcher/report.php", body.encode(),
                         {"Content-Type": "application/json", "X-Quillmarsh-Mac": mac})
            r = conn.getresponse(); r.read(); status = str(r.status)
        except Exception as e:
            conn, status = None, type(e).__name__
        with lock:
            counts[status] += 1; latencies.append(time.monotonic() - t)
threads = [threading.Thread(target=sender, args=(k, 2)) for k in range(2)]
for t in threads: t.start()
for t in threads: t.join()
latencies.sort()
p = lambda q: latencies[min(len(latencies) - 1, int(q * len(latencies)))] * 1000 if latencies else 0
print("REPORTS sent=%d %s p50=%.1f p99=%.1f" % (sum(counts.values()),
      ",".join("%s:%d" % kv for kv in sorted(counts.items())), p(0.5), p(0.99)))
PY
}
report_rows() {
    if [ "$1" = sqlite ]; then
        python3 -c 'import sqlite3,sys; print(sqlite3.connect(sys.argv[1]).execute("SELECT COUNT(*) FROM failure_reports").fetchone()[0])' "$work/data/bans.sqlite"
    else
        psql_do "SELECT COUNT(*) FROM failure_reports"
    fi
}
reports_run() {  # reports_run DB
    local db=$1 r alone with sent rows_before
    run_wrk 64 3 /launcher/hwid_ban.php >/dev/null  # warm-up
    for r in $(seq 1 "$rounds"); do
        alone=$(run_wrk 64 "$seconds" /launcher/hwid_ban.php)
        rows_before=$(report_rows "$db")
        send_reports "$((seconds + 2))" >"$work/sent.txt" &
        local s=$!
        sleep 1  # the reports are arriving before the checks' run starts, and go on after it
        with=$(run_wrk 64 "$seconds" /launcher/hwid_ban.php)
        wait "$s"
        sent=$(cat "$work/sent.txt")
        printf '%-7s round %d, 64 conns: checks alone %6d/s p50 %5s p99 %6s max %7s ms err %d | with %s reports/s: %6d/s p50 %5s p99 %6s max %7s ms err %d | reports %s, %d rows stored\n' \
            "$db" "$r" "$(rps "$alone")" "$(ms p50 "$alone")" "$(ms p99 "$alone")" "$(ms max "$alone")" "$(errors "$alone")" \
            "$reports_rate" "$(rps "$with")" "$(ms p50 "$with")" "$(ms p99 "$with")" "$(ms max "$with")" "$(errors "$with")" \
            "${sent#REPORTS }" "$(( $(report_rows "$db") - rows_before ))"
    done
    echo "$db load after the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
}
if [ "$reports_rate" != 0 ]; then
    python3 "$repo/tests/support/report_bodies.py" "$key" "$work/reports.txt" --many 200000 java17_failed "bench report"
fi

results=$work/results.txt
capacity=0
echo "server $server, $rows bans and $rows logged devices, ${seconds}-second runs, wrk 2 threads, HTTPS keep-alive"
echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GB", $2 / 1048576 }' /proc/meminfo), load $(cut -d' ' -f1-3 /proc/loadavg)"
for db in $databases; do
    case "$db" in
        sqlite)
            log "filling SQLite"
            fill_sqlite "$work/data/bans.sqlite"
            dsn="sqlite:$work/data/bans.sqlite"
            render "$dsn" ;;
        pgsql)
            log "filling PostgreSQL"
            start_postgres
            fill_postgres
            dsn="pgsql:host=$pg_socket;dbname=postgres"
            render "$dsn" ;;
        *) echo "unknown database $db" >&2; exit 2 ;;
    esac
    start_servers
    if [ "$reports_rate" != 0 ]; then
        log "measuring $db with reports"
        reports_run "$db" | tee -a "$results"
        server_stop
        continue
    fi
    log "measuring $db"
    measure "$db" | tee -a "$results"
    capacity=$(awk -F'|' -v db=" $db " '$2 == db && $3 == " 64 " { gsub(/ /, "", $5); print $5 }' "$work/table.txt")
    [ "$soak" -eq 0 ] || soak_run "$db" | tee -a "$results"
    downloads "$db" | tee -a "$results"
    [ -z "$capacity" ] || overload "$db" | tee -a "$results"
    [ "$db" != sqlite ] || limits_demo | tee -a "$results"
    case "$db" in
        sqlite) QUILLMARSH_DB_DSN="sqlite:$work/data/bans.sqlite" php_costs "$db" | tee -a "$results" ;;
        pgsql) QUILLMARSH_DB_DSN="pgsql:host=$pg_socket;dbname=postgres" QUILLMARSH_DB_USER=quillmarsh php_costs "$db" | tee -a "$results" ;;
    esac
    grep -h -v 'limiting \(requests\|connections\)' "$work/server/logs/quillmarsh-php.log" "$work/server/logs/php-fpm.log" 2>/dev/null |
        grep -v 'NOTICE: \(fpm is running\|ready to handle\|Terminating\|exiting\|using inherited\)' | tail -n 5 |
        sed "s/^/$db server log: /" || true
    server_stop
    rm -f "$work/server/logs/quillmarsh-php.log"
done
[ "$reports_rate" = 0 ] || exit 0
echo
echo "| database | connections | ceiling req/s | endpoint req/s | ratio | p50 ms | p99 ms | max ms | errors |"
echo "|---|---|---|---|---|---|---|---|---|"
cat "$work/table.txt"
