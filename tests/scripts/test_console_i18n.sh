#!/usr/bin/env bash
# The console in English and Russian, and its failure reports, on SQLite and (QUILLMARSH_TEST_DB=pgsql)
# PostgreSQL:
# - the two catalogues have the same keys, the same plural forms and the same placeholders, and every key
#   the pages use is in them;
# - the language: Accept-Language with its weights (Russian when the browser prefers it, English
#   otherwise and by default), the qm_lang cookie over the header, the switch's cookie (Path, SameSite,
#   __Host- over HTTPS), a switch that leads back only into the console, a cookie sent twice refused;
# - numbers, dates and plural forms written as each language writes them (exact strings);
# - the failures page: its chart (a bar part per code and day, with titles), filters by code and device
#   (validated: 400 otherwise), pages by key that show every report exactly once in order, forwards and
#   back; a report's text and log shown as text (markup escaped, bidirectional overrides made visible);
#   one report's page; the device page's reports; the overview's count.
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
export TZ=Pacific/Kiritimati LC_ALL=C.UTF-8  # UTC+14: a page that used the local time would show other days
source "$src/tests/support/console.sh"
console_servers i18n

# ---- Catalogues, language choice, numbers, dates, plurals (PHP, no server) --------------------------------
php "$src/tests/scripts/console_i18n_cases.php" "$src" || failures=$((failures + 1))

# ---- Reports to show ----------------------------------------------------------------------------------------
# The report table is made by the report endpoint's migration; where this tree's schema has no such table
# yet, the test makes it with the same statement (a stand-in that goes once the migration is there).
php -r '
$db = new PDO(getenv("QUILLMARSH_DB_DSN"), getenv("QUILLMARSH_DB_USER") ?: null, null, [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION]);
$pg = $db->getAttribute(PDO::ATTR_DRIVER_NAME) === "pgsql";
try {
    $db->query("SELECT 1 FROM failure_reports LIMIT 1");
} catch (PDOException) {
    $db->exec("CREATE TABLE failure_reports (id " . ($pg ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY AUTOINCREMENT")
        . ", hwid TEXT NOT NULL, code TEXT NOT NULL, shell_version TEXT NOT NULL, windows_version TEXT NOT NULL, "
        . "box_text TEXT NOT NULL, log_text TEXT NOT NULL, received_at TEXT NOT NULL)");
    $db->exec("CREATE INDEX failure_reports_received ON failure_reports (received_at)");
    $db->exec("CREATE INDEX failure_reports_hwid ON failure_reports (hwid, received_at)");
    $db->exec("CREATE INDEX failure_reports_code ON failure_reports (code, received_at)");
}
// 45 reports of three devices over the last six days, three at each second (ties broken by id, so the
// list must order by both), newest last inserted except for a few old ones added at the end.
$codes = ["java17_failed", "launcher_download_failed", "watchdog_timeout", "future_code"];
$insert = $db->prepare("INSERT INTO failure_reports (hwid, code, shell_version, windows_version, box_text, log_text, received_at) VALUES (?, ?, ?, ?, ?, ?, ?)");
$now = time();
for ($i = 0; $i < 45; $i++) {
    $at = gmdate("Y-m-d\TH:i:s\Z", $now - 3600 * 3 * intdiv($i < 40 ? 39 - $i : $i, 3) - 60);
    $insert->execute([hash("sha256", "report device " . ($i % 3)), $codes[$i % 4], "1.4." . $i, "10.0.19045",
        "Report $i", "line 1 of $i\nline 2 of $i", $at]);
}
// One report whose text and log try to be markup and to reverse a line.
$insert->execute([hash("sha256", "report device 0"), "unexpected_error", "1.4.<b>9</b>", "10.0.22631",
    "Не удалось <script>alert(\"box\")</script>", "C:\\Users\\%USERPROFILE%\\x\n<img src=x onerror=alert(1)>\n\u{202E}gnp.exe", gmdate("Y-m-d\TH:i:s\Z", $now - 30)]);
// A code of a shape the console does not expect (stored by an older or foreign writer).
$insert->execute([hash("sha256", "report device 1"), "Odd<Code>", "1", "10", "odd", "", gmdate("Y-m-d\TH:i:s\Z", $now - 86400 * 3)]);
'
rows=$(sql "SELECT COUNT(*) FROM failure_reports")
check "47 reports stored" "47" "$rows"
hwid0=$(php -r 'echo hash("sha256", "report device 0");')
evil_id=$(sql "SELECT id FROM failure_reports WHERE code = 'unexpected_error'")

# ---- Sign in --------------------------------------------------------------------------------------------------
req() { curl -s -D "$work/headers" -o "$work/page" -w '%{http_code}' "$@"; }
header_cookie() { tr -d '\r' <"$work/headers" | grep -i "^set-cookie: $1=" | head -1; }
cookie_value() { header_cookie "$1" | sed "s/^[^:]*: $1=//; s/;.*//"; }
req "$base/admin/signin" >/dev/null
signin_cookie=$(cookie_value qm_signin)
token=$(grep -o 'name="csrf" value="[0-9a-f]*"' "$work/page" | head -1 | sed 's/.*value="//; s/"$//')
req -H "Cookie: qm_signin=$signin_cookie" --data-urlencode "csrf=$token" --data-urlencode name=alice \
    --data-urlencode password=correct-horse-battery "$base/admin/signin" >/dev/null
session=$(cookie_value qm_session)
S="qm_session=$session"
page_has() { grep -c -- "$1" "$work/page"; }
lang_of() { grep -o '<html lang="[a-z]*"' "$work/page" | sed 's/.*="//; s/"//'; }

# ---- Which language --------------------------------------------------------------------------------------------
while IFS='|' read -r header cookie want; do
    req -H "Cookie: $S${cookie:+; qm_lang=$cookie}" ${header:+-H "Accept-Language: $header"} "$base/admin/failures" >/dev/null
    check "Accept-Language [$header], cookie [$cookie]: $want" "$want $want" \
        "$(lang_of) $(tr -d '\r' <"$work/headers" | sed -n 's/^Content-Language: //Ip')"
done <<'TABLE'
||en
ru-RU,ru;q=0.9,en;q=0.8||ru
en-US,en;q=0.9,ru;q=0.8||en
ru;q=0||en
ru-RU,ru;q=0.9,en;q=0.8|en|en
en-US,en;q=0.9|ru|ru
en-US,en;q=0.9|xx|en
TABLE
req -H "Cookie: $S" -H "Accept-Language: ru" "$base/admin/failures" >/dev/null
check "Russian: the title, the navigation, the switch" "1 1 1" \
    "$(page_has '<title>Сбои — Консоль Quillmarsh</title>') $(page_has '<a href="/admin/devices">Устройства</a>') $(page_has 'id="lang-en"')"
check "Russian: the list's paging line" "1" "$(page_has 'Страница 1 из 3 (47 отчётов)')"
check "Russian: the sign-out button" "1" "$(page_has 'Выйти (alice)')"
req -H "Cookie: $S" "$base/admin/failures" >/dev/null
check "English: the paging line" "1" "$(page_has 'Page 1 of 3 (47 reports)')"
req -H "Accept-Language: ru" "$base/admin/signin" >/dev/null
check "the sign-in page is Russian too, with the switch" "ru 1 1" "$(lang_of) $(page_has '>Войти</button>') $(page_has 'id="lang-en"')"
req -H "Accept-Language: ru" "$base/admin/devices?q=%FF" >/dev/null
check "a 400 page in Russian" "1" "$(page_has 'Поле запроса «q» не является корректным текстом UTF-8. Ничего не изменено.')"

# ---- The switch -------------------------------------------------------------------------------------------------
status=$(req "$base/admin/language?set=ru&next=%2Fadmin%2Ffailures%3Fcode%3Dwatchdog_timeout")
line=$(header_cookie qm_lang | tr 'A-Z' 'a-z')
check "switch to Russian: back to the page, the cookie set for a year" "303 /admin/failures?code=watchdog_timeout ru yes" \
    "$status $(tr -d '\r' <"$work/headers" | sed -n 's/^Location: //Ip') $(cookie_value qm_lang) $([[ "$line" == *"path=/admin/"* && "$line" == *"samesite=lax"* && "$line" == *"max-age=3"* ]] && echo yes || echo "no: $line")"
for next in "https://example.com/" "//example.com/admin/" "/adminx" "/admin/\"><script>" "/admin/language?set=en"; do
    req -G --data-urlencode set=en --data-urlencode "next=$next" "$base/admin/language" >/dev/null
    check "switch with next=$next: back to the overview only" "/admin/" "$(tr -d '\r' <"$work/headers" | sed -n 's/^Location: //Ip')"
done
req "$base/admin/language?set=de&next=/admin/" >/dev/null
check "an unknown language: no cookie" "" "$(header_cookie qm_lang)"
req "http://127.0.0.1:$hport/admin/language?set=ru&next=/admin/" >/dev/null
line=$(header_cookie __Host-qm_lang | tr 'A-Z' 'a-z')
check "https: the cookie is __Host-qm_lang, Path=/, Secure, no Domain" "ru yes" \
    "$(cookie_value __Host-qm_lang) $([[ "$line" == *"; path=/;"* && "$line" == *"; secure"* && "$line" != *domain=* ]] && echo yes || echo "no: $line")"
check "the language cookie twice: refused" "400" "$(req -H "Cookie: $S; qm_lang=ru; qm_lang=en" "$base/admin/")"

# ---- The overview and the chart ---------------------------------------------------------------------------------
day_count=$(sql "SELECT COUNT(*) FROM failure_reports WHERE received_at >= ?" "$(date -u -d '24 hours ago' +%FT%TZ)")
req -H "Cookie: $S" "$base/admin/" >/dev/null
check "overview: the reports of the last 24 hours" "1" \
    "$(grep -c "<li id=\"stat-failures\"><a href=\"/admin/failures\"><b>$day_count</b> failure reports in the last 24 hours" "$work/page")"
req -H "Cookie: $S" "$base/admin/failures" >/dev/null
today_en=$(php -r 'require $argv[1]; echo i18n_date(gmdate("Y-m-d"));' "$src/server/lib/i18n.php")
today_ru=$(php -r 'require $argv[1]; i18n_set("ru"); echo i18n_date(gmdate("Y-m-d"));' "$src/server/lib/i18n.php")
expected=$(sql "SELECT code, COUNT(*) FROM failure_reports WHERE substr(received_at, 1, 10) = ? GROUP BY code ORDER BY code" "$(date -u +%F)" | wc -l)
check "chart: a bar part for each code of today, with its title" "$expected" \
    "$(grep -o "<title>$today_en, [a-z0-9_]*[^<]*: [0-9]* reports\?</title>" "$work/page" | wc -l)"
check "chart: an unknown code by itself, a known one with its label" "yes yes" \
    "$(grep -q '<title>[^<]*, future_code: [0-9,]* reports\?</title>' "$work/page" && echo yes || echo no) $(grep -q '<title>[^<]*, watchdog_timeout (launcher hung (time limit)): ' "$work/page" && echo yes || echo no)"
check "chart: the parts add up to the reports of 30 days" "47" \
    "$(grep -o '<rect [^>]*data-code[^>]*><title>[^<]*: [0-9]* report' "$work/page" | sed 's/.*: //; s/ report//' | paste -sd+ | bc)"
check "chart: an odd stored code shown escaped, not linked" "1 1 0" \
    "$(grep -c '<title>[^<]*, Odd&lt;Code&gt;: 1 report</title>' "$work/page") $(grep -c '<li><svg class="swatch"[^>]*><rect[^>]*/></svg><code class="failure-code">Odd&lt;Code&gt;</code></li>' "$work/page") $(grep -c 'Odd<Code>\|code=Odd' "$work/page")"
req -H "Cookie: $S" -H "Accept-Language: ru" "$base/admin/failures" >/dev/null
check "chart in Russian: dates and plural forms" "yes" \
    "$(grep -q "<title>$today_ru, unexpected_error (непредвиденная ошибка): 1 отчёт</title>" "$work/page" && echo yes || echo no)"

# ---- Pages by key, filters --------------------------------------------------------------------------------------
walk() {  # walk URL REL -> the report ids on every page, following the link REL
    local url=$1 pages=0
    while [ -n "$url" ] && [ $pages -lt 20 ]; do
        [ "$(req -H "Cookie: $S" "$base$url")" = 200 ] || { echo "status $(head -c 300 "$work/page")"; return; }
        grep -o '<article class="report card" id="report-[0-9]*"' "$work/page" | sed 's/.*report-//; s/"//'
        url=$(grep -o "<a href=\"[^\"]*\" rel=\"$2\"" "$work/page" | sed 's/<a href="//; s/" rel=.*//; s/&amp;/\&/g')
        pages=$((pages + 1))
    done
    echo "pages $pages"
}
expected=$(sql "SELECT id FROM failure_reports ORDER BY received_at DESC, id DESC")
walk "/admin/failures" next >"$work/walk"
check "failures: 3 pages, every report once, newest first" "$expected
pages 3" "$(cat "$work/walk")"
last=$(grep -o '<a href="[^"]*" rel="prev"' "$work/page" | sed 's/<a href="//; s/" rel=.*//; s/&amp;/\&/g')
walk "$last" prev >"$work/back"
check "failures: back with Newer from the last page" "$(echo "$expected" | head -40 | tail -20; echo "$expected" | head -20; echo pages 2)" \
    "$(cat "$work/back")"
walk "/admin/failures?code=watchdog_timeout" next >"$work/walk"
check "by code: only its reports, all of them" "$(sql "SELECT id FROM failure_reports WHERE code = 'watchdog_timeout' ORDER BY received_at DESC, id DESC"; echo pages 1)" \
    "$(cat "$work/walk")"
walk "/admin/failures?hwid=$hwid0" next >"$work/walk"
check "by device: only its reports, on pages" "$(sql "SELECT id FROM failure_reports WHERE hwid = ? ORDER BY received_at DESC, id DESC" "$hwid0"; echo pages 1)" \
    "$(cat "$work/walk")"
walk "/admin/failures?hwid=$(echo "$hwid0" | tr a-f A-F)&code=java17_failed" next >"$work/walk"
check "by device (upper case) and code" "$(sql "SELECT id FROM failure_reports WHERE hwid = ? AND code = 'java17_failed' ORDER BY received_at DESC, id DESC" "$hwid0"; echo pages 1)" \
    "$(cat "$work/walk")"
for url in "/admin/failures?code=Watchdog" "/admin/failures?code=a%20b" "/admin/failures?hwid=123" \
           "/admin/failures?hwid=$hwid0%00" "/admin/failures?after=junk" "/admin/failures?after=2026-01-01T00:00:00Z.0" \
           "/admin/failures?after=1&before=2" "/admin/failures?code%5B%5D=x" "/admin/failure?id=abc" "/admin/failure?id=-1" \
           "/admin/failure?id=99999999999999999999"; do
    check "$url: 400" "400" "$(req -H "Cookie: $S" "$base$url")"
done
check "/admin/failure?id=999999: 404" "404" "$(req -H "Cookie: $S" "$base/admin/failure?id=999999")"
check "a code nobody sent: an empty list" "200 1" "$(req -H "Cookie: $S" "$base/admin/failures?code=never_sent") $(page_has 'No failure reports.')"

# ---- A report's text is text ----------------------------------------------------------------------------------
req -H "Cookie: $S" "$base/admin/failure?id=$evil_id" >/dev/null
check "report: markup in the box text shown escaped" "1 0" \
    "$(page_has 'Не удалось &lt;script&gt;alert(&quot;box&quot;)&lt;/script&gt;') $(grep -c '<script\|<img\|<b>9' "$work/page")"
check "report: the log in <pre>, the override made visible" "1 1" \
    "$(page_has '&lt;img src=x onerror=alert(1)&gt;') $(grep -c $'\\[U+202E\\]gnp.exe' "$work/page")"
check "report: its device and its code" "1 1" "$(page_has "href=\"/admin/failures?hwid=$hwid0\"") $(page_has 'unexpected error')"

# ---- The device page lists its reports ----------------------------------------------------------------------
req -H "Cookie: $S" "$base/admin/device?hwid=$hwid0" >/dev/null
check "device: its latest 10 reports and a link to all of them" "10 1" \
    "$(grep -o '<tr><td><a href="/admin/failure?id=[0-9]*"' "$work/page" | wc -l) $(page_has "All failure reports of this device (16)")"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    grep -v 'Accepted\|Closing' "$state/server.log" | tail -n 30
    exit 1
fi
echo "all checks passed"
