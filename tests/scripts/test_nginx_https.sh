#!/usr/bin/env bash
# The production set-up end to end: nginx and PHP-FPM on 127.0.0.1 with the repository's configuration
# (server/deploy, rendered for temp folders and free ports by tests/support/server.sh), HTTPS with a self-signed certificate made
# here, the two download files served by nginx and the ban check answered by PHP-FPM from SQLite (with
# QUILLMARSH_TEST_DB=pgsql from PostgreSQL, tests/support/db.sh). The
# shell runs against it (QUILLMARSH_BASE_URL=https://127.0.0.1:PORT) in a Wine prefix of its own, as a
# player's first run, through the whole sequence to a started client; then the console, overload beyond
# the site's limit on checks in flight, and the per-address request limit. Both servers are stopped by pid.
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
bin=${QUILLMARSH_TEST_BIN:?build folder of the windows preset}
exe=${QUILLMARSH_EXE:-$bin/QuillmarshLauncher.exe}
source "$src/tests/support/server.sh"
source "$src/tests/support/db.sh"

work=$(mktemp -d)
chmod 755 "$work"
prefix=$work/wineprefix
cleanup() {
    server_stop
    test_db_drop
    if [ -d "$prefix" ]; then WINEPREFIX=$prefix wineserver -k 2>/dev/null; WINEPREFIX=$prefix wineserver -w 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT

source "$src/tests/support/checks.sh"
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$bin/CMakeCache.txt"; }

mkdir -p "$work/data"
server_setup "$work/server" || exit 1
echo "database: $(test_db_kind)"
test_db_init nginx "$work/data/bans.sqlite"
port=$server_port
base=$server_url
# The certificate the operator would supply; here a self-signed one for 127.0.0.1.
server_cert || exit 1

# The two download files of the build's own paths (the Java 17 archive's java.exe is the test double).
DEMO_CLIENT_SECONDS=8 bash "$src/scripts/demo-files.sh" "$bin" "$work/files" >/dev/null ||
    { echo "FAIL: demo files"; exit 1; }
jar_path=$(cache_value QUILLMARSH_LAUNCHER_JAR_PATH)
archive_path=$(cache_value QUILLMARSH_JAVA_ARCHIVE_PATH)

# The repository's configuration, rendered with this test's values.
server_render "FILES_DIR=$work/files" "JAVA_ARCHIVE_PATH=$archive_path" "LAUNCHER_JAR_PATH=$jar_path" \
    "DB_DSN=$QUILLMARSH_DB_DSN" "ADMIN_ALLOW=127.0.0.1,::1" "DEVICE_LOG_QUEUE=$work/queue" CHECK_CONCURRENCY=2 || exit 1
# The overload case below holds checks in PHP-FPM for as long as it needs: nginx's wait for PHP (10 s
# in production) must not end them first on a slow machine.
sed -i 's/fastcgi_read_timeout 10s;/fastcgi_read_timeout 600s;/' "$work/server/conf/nginx-site.conf"
# The key the exe under test was built with; a production server refuses the public development key,
# so when the build has that one, this test server is told to accept it.
build_key=$(cache_value QUILLMARSH_HWID_KEY)
server_fpm_env QUILLMARSH_HWID_KEY "$build_key"
[ -z "${QUILLMARSH_DB_USER:-}" ] || server_fpm_env QUILLMARSH_DB_USER "$QUILLMARSH_DB_USER"
[ "$build_key" != "quillmarsh-dev-key-NOT-FOR-RELEASE" ] || server_fpm_env QUILLMARSH_ALLOW_DEVELOPMENT_KEY 1
# The operator's set-up step: the tables are made by the admin command, not by requests.
php "$src/server/bin/bans.php" migrate >/dev/null ||
    { echo "FAIL: migrate"; exit 1; }
# The publisher's signatures beside the downloads (made off the server in real life).
bash "$src/scripts/publish.sh" keygen "$work/publisher" >/dev/null &&
    bash "$src/scripts/publish.sh" sign "$work/publisher/publisher-private.pem" "$work/files$jar_path" \
        "$work/files$archive_path" >/dev/null || { echo "FAIL: publish.sh"; exit 1; }

# PHP-FPM and nginx (tests/support/server.sh), up within a bounded wait.
server_start || exit 1
fpm_pid=$server_fpm_pid

# The set-up itself, over HTTPS with curl.
fetch() { curl -sk -o "$work/got" -w '%{http_code}' "$base$1"; }
check "launcher jar from nginx" "200" "$(fetch "$jar_path")"
check "launcher jar bytes" "" "$(cmp "$work/got" "$work/files$jar_path" 2>&1)"
check "Java 17 archive from nginx" "200" "$(fetch "$archive_path")"
check "Java 17 archive bytes" "" "$(cmp "$work/got" "$work/files$archive_path" 2>&1)"
check "jar signature from nginx" "200" "$(fetch "$jar_path.sig")"
check "jar signature verifies" "Verified OK" \
    "$(openssl dgst -sha256 -verify "$work/publisher/publisher-public.pem" -signature "$work/got" "$work/files$jar_path")"
check "archive signature from nginx" "200" "$(fetch "$archive_path.sig")"
check "archive signature bytes" "" "$(cmp "$work/got" "$work/files$archive_path.sig" 2>&1)"
check "PHP source is not served" "404" "$(fetch /router.php)"
check "configuration is not served" "404" "$(fetch /config.php)"
check "anything else is 404" "404" "$(fetch /launcher/)"
check "malformed ban check: PHP answers" "400" "$(fetch "/launcher/hwid_ban.php?hwid=x&sig=y")"
check "plain HTTP on the TLS port is refused" "400" "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port$jar_path")"

# The shell, as on a player's first run: a prefix of its own, the tar.exe double in its system folder.
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
bash "$src/scripts/wine-prefix.sh" "$prefix" >/dev/null || { echo "FAIL: wine prefix"; exit 1; }
cp "$bin/doubles/tar/tar.exe" "$prefix/drive_c/windows/system32/tar.exe"
wineserver -k 2>/dev/null; wineserver -w 2>/dev/null
to_windows() { local p=$1; echo "Z:${p//\//\\}"; }
# A copy of the exe in the temp folder: its last-resort launcher directory (beside it) stays in here too.
mkdir -p "$work/app"
cp "$exe" "$work/app/QuillmarshLauncher.exe"
export QUILLMARSH_BASE_URL=$base
run=(wine "$bin/programs/launch_and_watch.exe" --limit-seconds 200 "$(to_windows "$work/app/QuillmarshLauncher.exe")")
[ -n "${DISPLAY:-}" ] || run=(xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "${run[@]}")
"${run[@]}" >"$work/shell.out" 2>&1
check "launch_and_watch: exit code of the shell" "exit code 0" "$(tr -d '\r' <"$work/shell.out" | grep '^exit code ' | tail -n 1)"
check "no message box" "0" "$(grep -c '\[message box\]' "$work/shell.out")"

# The first writable of the shell's candidates: roaming or local application data, else beside the exe.
log=$(ls "$prefix"/drive_c/users/*/AppData/Roaming/.quillmarsh/launcher/launcher.log \
         "$prefix"/drive_c/users/*/AppData/Local/.quillmarsh/launcher/launcher.log \
         "$work/app/launcher_data/launcher.log" 2>/dev/null | head -1)
check "launcher.log written" "yes" "$([ -n "$log" ] && [ -f "$log" ] && echo yes || echo no)"
last=$( [ -n "$log" ] && tr -d '\r' <"$log" | tail -n 1)
check "launcher.log ends with the client started" "Клиент запущен." "${last#\[* * }"
launcher_dir=$(dirname "${log:-/nonexistent}")
check "launcher jar in place, as served" "" "$(cmp "$launcher_dir/QuillmarshLauncher.jar" "$work/files$jar_path" 2>&1)"
check "Java 17 unpacked" "1" "$(ls "$launcher_dir"/Java17/*/bin/java.exe 2>/dev/null | wc -l)"

# The access log: the ban check answered 200 by PHP-FPM, both files sent by nginx, the shell's agent.
access=$work/server/logs/quillmarsh-access.log
agent='"QuillmarshLauncher/1.0"'
check "ban check 200 in the access log" "1" \
    "$(grep -E '"GET /launcher/hwid_ban\.php\?hwid=[0-9a-f]{64}&sig=[0-9a-f]{64} HTTP/1\.1" 200 ' "$access" | grep -c "$agent")"
check "Java 17 archive 200 in the access log" "1" "$(grep -F "\"GET $archive_path HTTP/1.1\" 200 " "$access" | grep -c "$agent")"
check "launcher jar 200 in the access log" "1" "$(grep -F "\"GET $jar_path HTTP/1.1\" 200 " "$access" | grep -c "$agent")"

# The verdict came from the database: ban this device and the same set-up refuses the next run.
hwid=$(grep -oE 'hwid=[0-9a-f]{64}' "$access" | head -1 | cut -d= -f2)
php "$src/server/bin/bans.php" ban "$hwid" test >/dev/null
sig=$(php "$src/server/bin/bans.php" sign "$hwid")
check "banned device: PHP-FPM answers from the database" '{"banned":true}' \
    "$(curl -sk "$base/launcher/hwid_ban.php?hwid=$hwid&sig=$sig")"

# The console through nginx and PHP-FPM: no page without a session; signed in, the device log holds the
# shell's device (written by PHP-FPM after the answer went out).
echo "console-password-1" | php "$src/server/bin/bans.php" operator add carol >/dev/null
check "console without a session: to sign-in" "303 /admin/signin?next=%2Fadmin%2Fdevices" \
    "$(curl -sk -o /dev/null -w '%{http_code} %{redirect_url}' "$base/admin/devices" | sed "s#$base##")"
jar=$work/cookies
form=$(curl -sk -c "$jar" "$base/admin/signin")
csrf=$(echo "$form" | grep -o 'name="csrf" value="[0-9a-f]*"' | sed 's/.*value="//; s/"$//')
check "console sign-in over HTTPS" "303" "$(curl -sk -b "$jar" -c "$jar" -o /dev/null -w '%{http_code}' \
    --data-urlencode "csrf=$csrf" --data-urlencode name=carol --data-urlencode password=console-password-1 \
    "$base/admin/signin")"
check "console: the shell's device is in the device log" "1" \
    "$(curl -sk -b "$jar" "$base/admin/devices?q=$hwid" | grep -c "title=\"$hwid\"")"
check "console: HSTS from nginx" "1" "$(curl -sk -D - -o /dev/null -b "$jar" "$base/admin/" | grep -ci '^strict-transport-security: max-age=')"

# Overload: more checks at once than the site admits (CHECK_CONCURRENCY=2 here). PHP-FPM is paused, so
# two admitted checks stay in flight until it goes on; any further check is refused at once with 503
# (the shell shows F3 and the player starts again), the two admitted ones are answered with their
# verdicts, and the device log counts exactly those two.
kill -STOP "$fpm_pid"  # the master first: it starts no worker while the workers are being listed
fpm_all=("$fpm_pid" $(pgrep -P "$fpm_pid"))
kill -STOP "${fpm_all[@]}"
held=()
for i in 1 2; do
    h=$(printf 'overload device %d' "$i" | sha256sum | cut -c1-64)
    hsig=$(php "$src/server/bin/bans.php" sign "$h")
    curl -sk --max-time 300 -o "$work/held$i" -w '%{http_code}' "$base/launcher/hwid_ban.php?hwid=$h&sig=$hsig" >"$work/held$i.code" &
    held+=($!)
done
# Both admitted: their connections wait in PHP-FPM's listen queue.
for _ in $(seq 1 1200); do
    [ "$(ss -xlnH src "$work/server/run/fpm.sock" | awk '{ print $3 }')" = 2 ] && break
    sleep 0.1
done
extra=$(printf 'overload device 3' | sha256sum | cut -c1-64)
extra_sig=$(php "$src/server/bin/bans.php" sign "$extra")
refused=$(curl -sk --max-time 60 -o /dev/null -w '%{http_code} %{time_total}' "$base/launcher/hwid_ban.php?hwid=$extra&sig=$extra_sig")
kill -CONT "${fpm_all[@]}"
wait "${held[@]}"
echo "overload: a third check while two are in flight -> [$refused] (status, seconds); the shell shows" \
    "\"Сервер вернул код 503\" in its log and the F3 box; the two admitted ones -> $(cat "$work/held1.code") $(cat "$work/held1")," \
    "$(cat "$work/held2.code") $(cat "$work/held2")"
check "overload: the check beyond the limit is refused with 503" "503" "${refused%% *}"
check "overload: the admitted checks get their verdicts" '200 {"banned":false} 200 {"banned":false}' \
    "$(cat "$work/held1.code") $(cat "$work/held1") $(cat "$work/held2.code") $(cat "$work/held2")"
QUILLMARSH_DEVICE_LOG_QUEUE=$work/queue php "$src/server/bin/bans.php" drain >/dev/null
check "overload: the device log counts the answered checks, not the refused one" "1|1|0" \
    "$(for i in 1 2 3; do h=$(printf 'overload device %d' "$i" | sha256sum | cut -c1-64)
        sql "SELECT COUNT(*) FROM devices WHERE hwid = ?" "$h"
        done | paste -sd'|')"
check "overload: the ban list is intact" "1" \
    "$(php "$src/server/bin/bans.php" list | wc -l)"

# The request limit of the ban check: a client hammering it gets 429 once its burst is spent (the shell's
# own check above came well within it).
codes=$(curl -sk -o /dev/null -w '%{http_code}\n' $(for _ in $(seq 1 80); do echo "$base/launcher/hwid_ban.php?hwid=x&sig=y"; done))
check "ban check hammered: answered by PHP at first" "400" "$(echo "$codes" | head -1)"
check "ban check hammered: refused with 429 over the limit" "yes" "$(echo "$codes" | grep -q '^429$' && echo yes || echo no)"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    echo "--- shell output"; cat "$work/shell.out"
    echo "--- launcher.log"; [ -n "$log" ] && cat "$log"
    for f in "$work"/server/logs/*; do echo "--- $f"; cat "$f"; done
    exit 1
fi
echo "all checks passed"
