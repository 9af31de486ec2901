#!/usr/bin/env bash
# The console's flows over HTTP, without a browser, on SQLite and (QUILLMARSH_TEST_DB=pgsql) on
# PostgreSQL: what test_console_browser.sh does in Chromium against the shell, here against the
# development server with curl, so that it runs on both databases in a few seconds. No page without a
# session; wrong passwords refused, then throttled; a device that checked in found by fingerprint
# prefix and by address; ban with a reason -> the endpoint answers banned; lift -> not banned; a
# temporary ban that has expired answers not banned and is shown expired; a form without its token is
# refused and changes nothing; the audit shows the changes with the operator.
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
work=$(mktemp -d)
state=$work/server
source "$src/tests/support/db.sh"
cleanup() {
    bash "$src/server/bin/dev-server.sh" --stop "$state"
    test_db_drop
    rm -rf "$work"
}
trap cleanup EXIT
unset QUILLMARSH_HWID_KEY QUILLMARSH_DEVICE_LOG_ADDRESS
test_db_init console "$work/db/bans.sqlite"
echo "database: $(test_db_kind)"
bash "$src/server/bin/dev-server.sh" --state "$state" >/dev/null || { echo "FAIL: server did not start"; exit 1; }
base=http://127.0.0.1:$(cat "$state/port")
tool() { php "$src/server/bin/bans.php" "$@"; }
for account in alice:correct-horse-battery bob:bobs-long-password; do
    echo "${account#*:}" | tool operator add "${account%%:*}" >/dev/null || { echo "FAIL: operator ${account%%:*}"; exit 1; }
done

source "$src/tests/support/checks.sh"
jar=$work/cookies
status() { curl -s -b "$jar" -c "$jar" -o "$work/page" -w '%{http_code}' "$@"; }
page_has() { grep -c -- "$1" "$work/page"; }
token() { grep -o 'name="csrf" value="[0-9a-f]*"' "$work/page" | head -1 | sed 's/.*value="//; s/"$//'; }
sign_in() {  # sign_in NAME PASSWORD -> status of the POST
    status "$base/admin/signin" >/dev/null
    status --data-urlencode "csrf=$(token)" --data-urlencode "name=$1" --data-urlencode "password=$2" "$base/admin/signin"
}
verdict() { curl -s "$base/launcher/hwid_ban.php?hwid=$1&sig=$(tool sign "$1")"; }

check "no session: a page redirects to sign-in" "303 /admin/signin?next=%2Fadmin%2Fdevices" \
    "$(curl -s -o /dev/null -w '%{http_code} %{redirect_url}' "$base/admin/devices" | sed "s#$base##")"
check "wrong password: refused" "401" "$(sign_in bob wrong-password)"
for _ in 1 2 3 4; do sign_in bob wrong-password >/dev/null; done
check "five wrong passwords: throttled, the right one too" "429" "$(sign_in bob bobs-long-password)"
check "sign in" "303" "$(sign_in alice correct-horse-battery)"

hwid=$(printf 'console flow device' | sha256sum | cut -c1-64)
verdict "$hwid" >/dev/null
check "devices: found by fingerprint prefix" "200 1" "$(status "$base/admin/devices?q=${hwid:0:10}") $(page_has "title=\"$hwid\"")"
check "devices: found by address prefix" "200 1" "$(status "$base/admin/devices?q=127.0.0.") $(page_has "title=\"$hwid\"")"

status "$base/admin/device?hwid=$hwid" >/dev/null
csrf=$(token)
check "ban without the form's token: refused" "403" \
    "$(status --data-urlencode "hwid=$hwid" --data-urlencode "reason=no token" "$base/admin/ban")"
check "ban without the form's token: nothing changed" '{"banned":false}' "$(verdict "$hwid")"
check "ban with a reason" "303" "$(status --data-urlencode "csrf=$csrf" --data-urlencode "hwid=$hwid" \
    --data-urlencode "reason=aimbot in ranked" --data-urlencode length=permanent "$base/admin/ban")"
check "banned: the endpoint answers banned" '{"banned":true}' "$(verdict "$hwid")"
check "banned: the device page shows it" "1" "$(status "$base/admin/device?hwid=$hwid" >/dev/null; page_has '<span class="badge banned">banned</span>')"
check "lift" "303" "$(status --data-urlencode "csrf=$csrf" --data-urlencode "hwid=$hwid" "$base/admin/lift")"
check "lifted: the endpoint answers not banned" '{"banned":false}' "$(verdict "$hwid")"

tomorrow=$(date -u -d tomorrow +%FT%H:%M:%S)
check "temporary ban" "303" "$(status --data-urlencode "csrf=$csrf" --data-urlencode "hwid=$hwid" \
    --data-urlencode "reason=one day" --data-urlencode length=until --data-urlencode "until=$tomorrow" "$base/admin/ban")"
check "temporary ban: banned" '{"banned":true}' "$(verdict "$hwid")"
sql "UPDATE hwid_bans SET expires_at = '2020-01-01T00:00:00Z' WHERE hwid = ?" "$hwid"
check "expired ban: not banned" '{"banned":false}' "$(verdict "$hwid")"
check "expired ban: shown expired" "1" "$(status "$base/admin/device?hwid=$hwid" >/dev/null
    page_has 'expired <time datetime="2020-01-01T00:00:00Z" title="2020-01-01 00:00:00 UTC">1 Jan 2020, 00:00</time>')"
check "expired ban: the admin command agrees" "not banned (the ban expired 2020-01-01T00:00:00Z)" "$(tool check "$hwid")"

status "$base/admin/audit" >/dev/null
check "audit: ban, lift and the temporary ban by alice" "3" \
    "$(grep -o '<td>alice</td><td>[a-z]*</td>' "$work/page" | sort | uniq -c | awk '{ n += $1 } END { print n }')"
check "audit: the reason" "1" "$(page_has 'permanent: aimbot in ranked')"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    tail -n 40 "$state/server.log"
    exit 1
fi
echo "all checks passed"
