#!/usr/bin/env bash
# The console's cookies, forms, pages and texts, over HTTP, on SQLite and (QUILLMARSH_TEST_DB=pgsql)
# PostgreSQL (issue 19):
# - over HTTPS (here a second built-in server whose router marks every request HTTPS, as a TLS front
#   does) the cookies are __Host-… with Path=/, Secure and no Domain, and the old names are ignored;
#   over plain HTTP (the development server) the old names go on working;
# - a request carrying one of our cookies twice is refused (400), whichever comes first;
# - a POST with `Origin: null`, another scheme or another port is refused (403), signed in or not;
# - a sign-in token the attacker made for a cookie the attacker chose is refused, even with the right
#   password: the token is an HMAC under the server's secret;
# - the device list and the audit page by key: a huge or junk page number is the first page, a junk
#   cursor a 400, never a 500; following "Older" then "Newer" shows every row exactly once, in order;
# - invalid UTF-8 and NUL in any field (ban reason, search, name, password) answer 400 and store
#   nothing; the admin command refuses such a reason too;
# - the per-address throttle counts an IPv6 address by its /64 and an IPv4-mapped address as IPv4.
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
source "$src/tests/support/console.sh"
console_servers hardening
# req [curl args] URL -> status; the answer's headers in $work/headers, its body in $work/page
req() { curl -s -D "$work/headers" -o "$work/page" -w '%{http_code}' "$@"; }
header_cookie() { tr -d '\r' <"$work/headers" | grep -i "^set-cookie: $1=" | head -1; }
cookie_value() { header_cookie "$1" | sed "s/^[^:]*: $1=//; s/;.*//"; }
page_token() { grep -o 'name="csrf" value="[0-9a-f]*"' "$work/page" | head -1 | sed 's/.*value="//; s/"$//'; }

# ---- __Host- cookies over HTTPS ---------------------------------------------------------------------------
req "$hbase/admin/signin" >/dev/null
signin_cookie=$(cookie_value __Host-qm_signin)
token=$(page_token)
line=$(header_cookie __Host-qm_signin | tr 'A-Z' 'a-z')
check "https: the sign-in cookie is __Host-qm_signin, Path=/, Secure, no Domain" "yes" \
    "$([[ "$signin_cookie" =~ ^[0-9a-f]{64}$ && "$line" == *"; path=/;"* && "$line" == *"; secure"* && "$line" != *domain=* ]] && echo yes || echo "no: $line")"
status=$(req -H "Cookie: __Host-qm_signin=$signin_cookie" --data-urlencode "csrf=$token" --data-urlencode name=alice \
    --data-urlencode password=correct-horse-battery "$hbase/admin/signin")
session=$(cookie_value __Host-qm_session)
line=$(header_cookie __Host-qm_session | tr 'A-Z' 'a-z')
check "https: sign in sets __Host-qm_session, Path=/, Secure, HttpOnly, no Domain" "303 yes" \
    "$status $([[ "$session" =~ ^[0-9a-f]{64}$ && "$line" == *"; path=/;"* && "$line" == *"; secure"* && "$line" == *httponly* && "$line" != *domain=* ]] && echo yes || echo "no: $line")"
check "https: the session cookie opens a page" "200" "$(req -H "Cookie: __Host-qm_session=$session" "$hbase/admin/devices")"
check "https: the same value under the old name is no session" "303" "$(req -H "Cookie: qm_session=$session" "$hbase/admin/devices")"
check "https: our cookie twice (the real one first): refused" "400" \
    "$(req -H "Cookie: __Host-qm_session=$session; __Host-qm_session=$(printf '%064d' 0)" "$hbase/admin/devices")"
check "https: our cookie twice (a planted one first): refused" "400" \
    "$(req -H "Cookie: __Host-qm_session=$(printf '%064d' 0); other=1; __Host-qm_session=$session" "$hbase/admin/devices")"

# ---- Plain HTTP (the development server): the old names --------------------------------------------------
req "$base/admin/signin" >/dev/null
signin_cookie=$(cookie_value qm_signin)
token=$(page_token)
status=$(req -H "Cookie: qm_signin=$signin_cookie" --data-urlencode "csrf=$token" --data-urlencode name=alice \
    --data-urlencode password=correct-horse-battery "$base/admin/signin")
session=$(cookie_value qm_session)
check "http: sign in with the old names (path /admin/)" "303 yes" \
    "$status $(header_cookie qm_session | grep -qi 'path=/admin/' && echo yes || echo no)"
check "http: our cookie twice: refused" "400" "$(req -H "Cookie: qm_session=$session; qm_session=$session" "$base/admin/")"
check "http: the session works" "200" "$(req -H "Cookie: qm_session=$session" "$base/admin/")"

# ---- Origin -------------------------------------------------------------------------------------------
fresh_signin() {  # sets signin_cookie and token from a new sign-in page of $1
    req "$1/admin/signin" >/dev/null
    signin_cookie=$(cookie_value "$2")
    token=$(page_token)
}
post_signin() {  # post_signin BASE COOKIE_NAME ORIGIN PASSWORD -> status
    fresh_signin "$1" "$2"
    req ${3:+-H "Origin: $3"} -H "Cookie: $2=$signin_cookie" --data-urlencode "csrf=$token" \
        --data-urlencode name=alice --data-urlencode "password=$4" "$1/admin/signin"
}
req "$base/admin/signin" >/dev/null
check "pages ask for Referrer-Policy same-origin (no-referrer would make browsers send Origin: null)" "1" \
    "$(tr -d '\r' <"$work/headers" | grep -ci '^referrer-policy: same-origin$')"
check "sign-in with Origin: null: refused" "403" "$(post_signin "$base" qm_signin null correct-horse-battery)"
check "sign-in from the https scheme to the http console: refused" "403" \
    "$(post_signin "$base" qm_signin "https://127.0.0.1:$port" correct-horse-battery)"
check "https console, Origin http://same host and port: refused" "403" \
    "$(post_signin "$hbase" __Host-qm_signin "http://127.0.0.1:$hport" correct-horse-battery)"
check "another port: refused" "403" "$(post_signin "$base" qm_signin "http://127.0.0.1:$((port + 1))" correct-horse-battery)"
check "its own origin: accepted" "303" "$(post_signin "$base" qm_signin "http://127.0.0.1:$port" correct-horse-battery)"
check "no Origin (the token decides): accepted" "303" "$(post_signin "$base" qm_signin "" correct-horse-battery)"
req -H "Cookie: qm_session=$session" "$base/admin/" >/dev/null
csrf=$(page_token)
check "sign-out with Origin: null: refused" "403" \
    "$(req -H "Origin: null" -H "Cookie: qm_session=$session" --data-urlencode "csrf=$csrf" "$base/admin/signout")"
check "and the session goes on" "200" "$(req -H "Cookie: qm_session=$session" "$base/admin/")"

# ---- A sign-in token for a cookie the attacker chose ----------------------------------------------------
chosen=$(printf 'attacker' | sha256sum | cut -c1-64)
check "double-submit forgery (cookie = token), right password: refused" "403" \
    "$(req -H "Cookie: qm_signin=$chosen" --data-urlencode "csrf=$chosen" --data-urlencode name=alice \
        --data-urlencode password=correct-horse-battery "$base/admin/signin")"
fresh_signin "$base" qm_signin
check "a real token with another cookie: refused" "403" \
    "$(req -H "Cookie: qm_signin=$chosen" --data-urlencode "csrf=$token" --data-urlencode name=alice \
        --data-urlencode password=correct-horse-battery "$base/admin/signin")"
check "a token made with a guessed key: refused" "403" \
    "$(t=$(printf '%012x' "$(date +%s)"); mac=$(printf 'signin\n%s\n%s' "$chosen" "$(date +%s)" | openssl dgst -sha256 -hmac '' -r | cut -c1-64)
       req -H "Cookie: qm_signin=$chosen" --data-urlencode "csrf=$t$mac" --data-urlencode name=alice \
        --data-urlencode password=correct-horse-battery "$base/admin/signin")"

# A session of its own for the rest (whatever the checks above did to the first one).
fresh_signin "$base" qm_signin
req -H "Cookie: qm_signin=$signin_cookie" --data-urlencode "csrf=$token" --data-urlencode name=alice \
    --data-urlencode password=correct-horse-battery "$base/admin/signin" >/dev/null
session=$(cookie_value qm_session)

# ---- Pages by key ----------------------------------------------------------------------------------------
# 137 devices, last seen in groups of three at the same second (ties broken by the fingerprint), and
# 120 audit entries.
php -r '
$db = new PDO(getenv("QUILLMARSH_DB_DSN"), getenv("QUILLMARSH_DB_USER") ?: null, null, [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION]);
$db->beginTransaction();
$device = $db->prepare("INSERT INTO devices (hwid, first_seen, last_seen, checks, last_address, last_verdict) VALUES (?, ?, ?, 1, ?, ?)");
for ($i = 0; $i < 137; $i++) {
    $seen = gmdate("Y-m-d\TH:i:s\Z", 1700000000 + intdiv($i, 3) * 60);
    $device->execute([hash("sha256", "paged device $i"), $seen, $seen, "203.0.113." . ($i % 250), "not banned"]);
}
$audit = $db->prepare("INSERT INTO audit (at, operator, action, hwid, detail) VALUES (?, ?, ?, NULL, ?)");
for ($i = 0; $i < 120; $i++) {
    $audit->execute([gmdate("Y-m-d\TH:i:s\Z", 1700000000 + $i), "pager", "note", "entry $i"]);
}
$db->commit();'
S=(-H "Cookie: qm_session=$session")
walk() {  # walk URL REL PATTERN -> every match of PATTERN on every page, following the link REL
    local url=$1 pages=0
    while [ -n "$url" ] && [ $pages -lt 20 ]; do
        [ "$(req "${S[@]}" "$base$url")" = 200 ] || { echo "status $(cat "$work/page" | head -c 200)"; return; }
        grep -o "$3" "$work/page"
        url=$(grep -o "<a href=\"[^\"]*\" rel=\"$2\"" "$work/page" | sed 's/<a href="//; s/" rel=.*//; s/&amp;/\&/g')
        pages=$((pages + 1))
    done
    echo "pages $pages"
}
titles='title="[0-9a-f]\{64\}"'
expected_newest=$(sql "SELECT hwid FROM devices ORDER BY last_seen DESC, hwid DESC" | sed 's/.*/title="&"/')
walk "/admin/devices" next "$titles" >"$work/walk"
check "devices, newest first: 3 pages, every device once, in order" "$expected_newest
pages 3" "$(cat "$work/walk")"
last=$(grep -o '<a href="[^"]*" rel="prev"' "$work/page" | sed 's/<a href="//; s/" rel=.*//; s/&amp;/\&/g')
check "the last page says where it is" "1" "$(grep -c 'Page 3 of 3 (137 devices)' "$work/page")"
walk "$last" prev "$titles" >"$work/back"
check "devices: back from the last page with Newer: the first two pages" \
    "$(echo "$expected_newest" | head -100 | tail -50; echo "$expected_newest" | head -50; echo pages 2)" "$(cat "$work/back")"
walk "/admin/devices?order=oldest" next "$titles" >"$work/walk"
check "devices, oldest first: every device once, in order" "$(echo "$expected_newest" | tac; echo pages 3)" "$(cat "$work/walk")"
walk "/admin/audit" next '<td>entry [0-9]*</td>' >"$work/walk"
check "audit: every entry once, newest first" "$(for i in $(seq 119 -1 0); do echo "<td>entry $i</td>"; done; echo pages 3)" \
    "$(grep -v 'operator alice' "$work/walk")"
# Past LIST_COUNT_CAP (2000) rows the counts stop: the pages say "more than", at the same cost.
php -r '
$db = new PDO(getenv("QUILLMARSH_DB_DSN"), getenv("QUILLMARSH_DB_USER") ?: null, null, [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION]);
$db->beginTransaction();
$device = $db->prepare("INSERT INTO devices (hwid, first_seen, last_seen, checks, last_address, last_verdict) VALUES (?, ?, ?, 1, NULL, ?)");
for ($i = 0; $i < 2000; $i++) {
    $seen = gmdate("Y-m-d\TH:i:s\Z", 1600000000 + $i);
    $device->execute([hash("sha256", "many device $i"), $seen, $seen, "not banned"]);
}
$db->commit();'
check "2137 devices: the first page" "200 1" \
    "$(req "${S[@]}" "$base/admin/devices") $(grep -c 'Page 1 of more than 40 (more than 2,000 devices)' "$work/page")"
oldest=$(sql "SELECT last_seen || '.' || hwid FROM devices ORDER BY last_seen, hwid LIMIT 1 OFFSET 10")
check "2137 devices: a page near the end" "200 1 10" \
    "$(req "${S[@]}" "$base/admin/devices?after=$oldest") $(grep -c 'Past page 40 of more than 40' "$work/page") $(grep -o "$titles" "$work/page" | wc -l)"
for url in "/admin/audit?page=9223372036854775807" "/admin/devices?page=9223372036854775807" "/admin/audit?page=-3" \
           "/admin/devices?page=abc"; do
    check "$url: the first page" "200 1" "$(req "${S[@]}" "$base$url") $(grep -c 'Page 1 of' "$work/page")"
done
for url in "/admin/audit?after=junk" "/admin/audit?before=9223372036854775808" "/admin/audit?after=0" \
           "/admin/audit?after=5&before=9" "/admin/audit?after%5B%5D=5" "/admin/devices?after=2023-11-14T22:13:20Z.zz" \
           "/admin/devices?before=$(printf '%064d' 1)"; do
    check "$url: 400" "400" "$(req "${S[@]}" "$base$url")"
done

# ---- Text that cannot be stored -------------------------------------------------------------------------
hwid=$(printf 'text device' | sha256sum | cut -c1-64)
req "${S[@]}" "$base/admin/device?hwid=$hwid" >/dev/null
csrf=$(page_token)
audit_rows=$(sql "SELECT COUNT(*) FROM audit")
for reason in '%FF%FEbad' 'a%00b' 'ok%C3' '%ED%A0%80surrogate'; do
    check "ban reason $reason: 400" "400" "$(req "${S[@]}" --data "csrf=$csrf&hwid=$hwid&length=permanent&reason=$reason" "$base/admin/ban")"
done
check "nothing stored: no ban, no audit entry" "0 $audit_rows" "$(sql "SELECT COUNT(*) FROM hwid_bans") $(sql "SELECT COUNT(*) FROM audit")"
check "a clear message" "1" "$(grep -c 'is not valid UTF-8' "$work/page")"
check "search %FF: 400" "400" "$(req "${S[@]}" "$base/admin/devices?q=%FF")"
check "search with NUL: 400" "400" "$(req "${S[@]}" "$base/admin/devices?q=ab%00cd")"
failed_before=$(sql "SELECT COALESCE(SUM(failures), 0) FROM signin_failures")
fresh_signin "$base" qm_signin
check "sign-in name with invalid UTF-8: 400" "400" \
    "$(req -H "Cookie: qm_signin=$signin_cookie" --data "csrf=$token&name=al%FFice&password=x" "$base/admin/signin")"
check "sign-in password with NUL: 400" "400" \
    "$(req -H "Cookie: qm_signin=$signin_cookie" --data "csrf=$token&name=alice&password=correct%00" "$base/admin/signin")"
check "and nothing counted" "$failed_before" "$(sql "SELECT COALESCE(SUM(failures), 0) FROM signin_failures")"
tool ban "$hwid" $'bad \xff reason' >/dev/null 2>&1
check "admin command: an invalid reason is refused" "2 0" "$? $(sql "SELECT COUNT(*) FROM hwid_bans")"
check "a good reason in UTF-8 is stored as sent" "303 aimbot – ünïcode" \
    "$(req "${S[@]}" --data-urlencode "csrf=$csrf" --data-urlencode "hwid=$hwid" --data-urlencode length=permanent \
        --data-urlencode 'reason=aimbot – ünïcode' "$base/admin/ban") $(sql "SELECT reason FROM hwid_bans")"

# ---- IPv6 addresses are counted by their /64 ----------------------------------------------------------------
php -r '
require $argv[1] . "/server/lib/console.php";
$db = db_open(quillmarsh_config());
require $argv[1] . "/tests/support/checks.php";
$keys = array_map("throttle_address_key", ["2001:db8:1:2:3:4:5:6", "2001:DB8:1:2::9", "::ffff:192.0.2.7", "192.0.2.7", "::1"]);
check("address keys: IPv6 by /64, mapped IPv4 as IPv4", $keys === ["2001:db8:1:2::/64", "2001:db8:1:2::/64", "192.0.2.7", "192.0.2.7", "::/64"], $keys);
$t = time() + 7200;
for ($i = 1; $i <= 20; $i++) {
    console_sign_in($db, "nobody$i", "guess", sprintf("2001:db8:aa:bb:%x::%x", $i, $i), $t);
}
check("20 failures from 20 addresses of one /64: the /64 is throttled",
    console_sign_in($db, "alice", "correct-horse-battery", "2001:db8:aa:bb:ffff::1", $t)["result"] === "throttled");
check("the next /64 is not", console_sign_in($db, "alice", "correct-horse-battery", "2001:db8:aa:bc::1", $t)["result"] === "ok");
for ($i = 1; $i <= 20; $i++) {
    console_sign_in($db, "nobody$i", "guess", $i % 2 ? "::ffff:198.51.100.7" : "198.51.100.7", $t);
}
check("IPv4 and its mapped form count together",
    console_sign_in($db, "alice", "correct-horse-battery", "198.51.100.7", $t)["result"] === "throttled");
exit($failures > 0 ? 1 : 0);
' "$src" || failures=$((failures + 1))

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    grep -v 'Accepted\|Closing' "$state/server.log" | tail -n 30
    exit 1
fi
echo "all checks passed"
