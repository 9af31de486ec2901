<?php
// The operators' console, every page under /admin/: server-rendered HTML and one small style sheet,
// nothing from elsewhere. Sessions, CSRF tokens and throttling are in lib/console.php; every text comes
// from the language's catalogue (lib/i18n.php, lib/i18n/*.php).
//   GET  /admin/                 overview: checks per day (last 30 days), counts, failure reports
//   GET  /admin/devices          device log: search by fingerprint prefix or address, sort, pages
//   GET  /admin/device?hwid=H    one device: its days, its ban, ban / lift forms, its audit entries,
//                                its latest failure reports
//   GET  /admin/failures         failure reports per code and day (last 30 days); the latest reports,
//                                by code (code=) and device (hwid=)
//   GET  /admin/failure?id=N     one failure report
//   GET  /admin/bans             the ban list      GET /admin/audit   every change
//   GET  /admin/language?set=en|ru&next=PATH   the language (a cookie), then back to PATH
//   GET/POST /admin/signin       POST /admin/signout, /admin/ban, /admin/lift
// Lists page by key (links carry after=/before= the last or first row shown), never by OFFSET.
// Every parameter must be one text, valid UTF-8 without NUL: anything else is answered 400.
declare(strict_types=1);

require_once __DIR__ . '/../../lib/console.php';
require_once __DIR__ . '/../../lib/console_reports.php';
require_once __DIR__ . '/../../lib/i18n.php';

const PAGE_SIZE = 50;
// Failure reports carry their log: fewer of them to a page.
const REPORTS_PAGE_SIZE = 20;
// Reports listed on a device's page.
const DEVICE_REPORTS = 10;
// The language cookie lives a year; it only changes how pages are written.
const LANGUAGE_COOKIE = 'qm_lang';
const LANGUAGE_SECONDS = 365 * 86400;

function h(?string $text): string
{
    return htmlspecialchars((string)$text, ENT_QUOTES | ENT_SUBSTITUTE, 'UTF-8');
}

function send_headers(int $status): void
{
    header_remove('X-Powered-By');
    http_response_code($status);
    header('Content-Type: text/html; charset=utf-8');
    header('Cache-Control: no-store');
    header("Content-Security-Policy: default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; "
        . "frame-ancestors 'none'; base-uri 'none'");
    header('X-Frame-Options: DENY');
    header('X-Content-Type-Options: nosniff');
    // same-origin, not no-referrer: under no-referrer a browser sends `Origin: null` with the console's
    // own forms, and a POST with `Origin: null` is refused. Addresses still never leave the console.
    header('Referrer-Policy: same-origin');
    // The page depends on the language cookie and header: no shared cache may mix them up.
    header('Vary: Cookie, Accept-Language');
    header('Content-Language: ' . i18n_language());
}

// Sets one of our cookies under the name this request's scheme uses: over HTTPS __Host-NAME with path /
// (Secure, no Domain: no other host, not even a sibling subdomain, can set or shadow it), over plain HTTP
// (the development server on this machine) NAME with path /admin/. The language cookie is SameSite=Lax
// (a link from elsewhere opens the console in its language); the others Strict.
function cookie(string $name, string $value, int $max_age, string $same_site = 'Strict'): void
{
    global $https;
    setcookie(console_cookie_name($name, $https), $value, [
        'expires' => $max_age === 0 ? 0 : time() + $max_age,
        'path' => $https ? '/' : CONSOLE_PATH,
        'secure' => true,
        'httponly' => true,
        'samesite' => $same_site,
    ]);
}

function redirect(string $to): never
{
    send_headers(303);
    header('Location: ' . $to);
    exit;
}

// A console page a link may lead back to: a path below /admin/ of printable ASCII (a request's URI is
// sent percent-encoded), without quotes, angle brackets or backslashes; anything else is /admin/.
function local_target(string $to): string
{
    if (preg_match('#^/admin/[!\#-&(-;=?-\[\]-~]*$#D', $to) !== 1 || str_starts_with($to, '/admin/language')) {
        return '/admin/';
    }
    return $to;
}

// The switch between the languages, on every page: links to /admin/language, which sets the cookie and
// comes back here. The current language is marked, not linked.
function language_switch(): string
{
    global $method;
    $here = local_target($method === 'GET' ? (string)($_SERVER['REQUEST_URI'] ?? '/admin/') : '/admin/');
    $links = [];
    foreach (I18N_LANGUAGES as $language) {
        $label = h(t('lang.' . $language));
        $name = h(t('lang.name.' . $language));
        $links[] = $language === i18n_language()
            ? '<strong lang="' . $language . '" title="' . $name . '" aria-current="true">' . $label . '</strong>'
            : '<a href="' . h('/admin/language?' . http_build_query(['set' => $language, 'next' => $here]))
                . '" lang="' . $language . '" hreflang="' . $language . '" title="' . $name . '" id="lang-'
                . $language . '">' . $label . '</a>';
    }
    return '<nav class="lang" aria-label="' . h(t('lang.switch')) . '">' . implode(' | ', $links) . '</nav>';
}

function page(int $status, string $title, ?array $session, string $body): never
{
    send_headers($status);
    $nav = '';
    if ($session !== null) {
        $nav = '<nav><a href="/admin/">' . h(t('nav.overview')) . '</a><a href="/admin/devices">' . h(t('nav.devices'))
            . '</a><a href="/admin/failures">' . h(t('nav.failures')) . '</a><a href="/admin/bans">' . h(t('nav.bans'))
            . '</a><a href="/admin/audit">' . h(t('nav.audit')) . '</a><form method="post" action="/admin/signout" class="inline">'
            . csrf_field($session['csrf']) . '<button type="submit" class="link">'
            . h(t('nav.sign_out', ['operator' => $session['operator']])) . '</button></form></nav>';
    }
    echo '<!DOCTYPE html><html lang="' . i18n_language() . '"><head><meta charset="utf-8">'
        . '<meta name="viewport" content="width=device-width, initial-scale=1">'
        . '<title>' . h(t('page.title', ['title' => $title, 'console' => t('console.name')])) . '</title>'
        . '<link rel="stylesheet" href="/admin/style.css"></head><body><header><strong>' . h(t('console.name'))
        . '</strong>' . $nav . language_switch() . '</header><main><h1>' . h($title) . '</h1>' . $body
        . '</main></body></html>';
    exit;
}

function csrf_field(string $token): string
{
    return '<input type="hidden" name="csrf" value="' . h($token) . '">';
}

function refuse_form(?array $session): never
{
    page(403, t('refused.title'), $session, '<p class="error">' . h(t('refused.text')) . '</p>');
}

// Whether a POST may come from this console's pages: if the browser names an origin, it is this
// request's scheme, host and port (`null` is refused).
function origin_is_ours(): bool
{
    global $https;
    $origin = $_SERVER['HTTP_ORIGIN'] ?? null;
    return console_origin_ok(is_string($origin) ? $origin : null, $https, (string)($_SERVER['HTTP_HOST'] ?? ''));
}

// A POST is ours when its origin is and its token matches the session's.
function form_is_ours(string $expected): bool
{
    $sent = $_POST['csrf'] ?? null;
    return origin_is_ours() && is_string($sent) && $expected !== '' && hash_equals($expected, $sent);
}

function bad_request(?array $session, string $message): never
{
    page(400, t('bad.title'), $session, '<p class="error" id="message">' . h($message) . '</p>');
}

function unavailable(): never
{
    page(503, t('unavailable.title'), null, '<p class="error">' . h(t('unavailable.text')) . '</p>');
}

// A request parameter's problem (console_request_problem) as a sentence of the page.
function request_problem_text(array $problem): string
{
    $args = ['where' => t('where.' . $problem['where']), 'field' => $problem['field']];
    return match ($problem['kind']) {
        'name' => t('bad.field_name', $args + ['problem' => t('text.' . $problem['fault'])]),
        'list' => t('bad.field_list', $args),
        default => t('bad.field', $args + ['problem' => t('text.' . $problem['fault'])]),
    };
}

// The paging links of a list: "← Newer" to the page before the first row, "Older →" to the page after the
// last one, and where this page is. $count_key: the plural key of what the list counts ('' for none).
function paging(callable $link, array $first_last, int $position, int $total, bool $more_after, string $count_key,
    int $per_page = PAGE_SIZE): string
{
    // Both counts stop at LIST_COUNT_CAP + 1 (bounded cost): past it, the page says "more than".
    $pages = max(1, (int)ceil(min($total, LIST_COUNT_CAP) / $per_page));
    $page_no = intdiv(min($position, LIST_COUNT_CAP), $per_page) + 1;
    if ($total > LIST_COUNT_CAP) {
        $where = $position > LIST_COUNT_CAP ? t('paging.past_of_more', ['pages' => i18n_number($pages)])
            : t('paging.page_of_more', ['page' => i18n_number($page_no), 'pages' => i18n_number($pages)]);
        $where .= $count_key !== '' ? ' ' . t('paging.more_than', ['count' => tn($count_key, LIST_COUNT_CAP)]) : '';
    } else {
        $where = t('paging.page_of', ['page' => i18n_number(min($pages, $page_no)), 'pages' => i18n_number($pages)])
            . ($count_key !== '' ? ' ' . t('paging.count', ['count' => tn($count_key, $total)]) : '');
    }
    return '<p class="paging">' . ($position > 0 && $first_last !== [] ? '<a href="' . h($link('before', $first_last[0]))
            . '" rel="prev">' . h(t('paging.newer')) . '</a> ' : '')
        . h($where)
        . ($more_after && $first_last !== [] ? ' <a href="' . h($link('after', $first_last[1])) . '" rel="next">'
            . h(t('paging.older')) . '</a>' : '')
        . '</p>';
}

// The cursor of a list page: null (first page), ['after'|'before', ...key] or false (not a valid one).
function page_cursor(callable $parse): array|null|false
{
    $after = $_GET['after'] ?? null;
    $before = $_GET['before'] ?? null;
    if ($after === null && $before === null) {
        return null;
    }
    if ($after !== null && $before !== null) {
        return false;
    }
    $key = $parse((string)($after ?? $before));
    return $key === null ? false : [$after !== null ? 'after' : 'before', ...$key];
}

// A stored time as the language writes it, to the minute (UTC), in a <time> element that carries the
// exact value: "9 Dec 2026, 14:05".
function when(?string $time): string
{
    if ($time === null) {
        return '—';
    }
    return '<time datetime="' . h($time) . '" title="' . h(str_replace(['T', 'Z'], [' ', ' UTC'], $time)) . '">'
        . h(i18n_datetime($time)) . '</time>';
}

function day(string $day): string
{
    return '<time datetime="' . h($day) . '">' . h(i18n_date($day)) . '</time>';
}

function number(int $n): string
{
    return h(i18n_number($n));
}

function short_hwid(string $hwid): string
{
    return substr($hwid, 0, 16) . '…';
}

function ban_badge(?array $ban): string
{
    if ($ban === null) {
        return '<span class="badge free">' . h(t('badge.free')) . '</span>';
    }
    return match ($ban['state']) {
        'permanent' => '<span class="badge banned">' . h(t('badge.banned')) . '</span>',
        'until' => '<span class="badge banned">' . t_html('badge.until', ['when' => when($ban['expires_at'])]) . '</span>',
        default => '<span class="badge expired">' . t_html('badge.expired', ['when' => when($ban['expires_at'])]) . '</span>',
    };
}

// The device log's stored answers, in the page's language; anything else as stored.
function verdict_text(?string $verdict): string
{
    return match ($verdict) {
        'banned' => t('verdict.banned'),
        'not banned' => t('verdict.not_banned'),
        default => (string)$verdict,
    };
}

function action_text(string $action): string
{
    $key = 'action.' . $action;
    $text = t($key);
    return $text === $key ? $action : $text;
}

function device_link(string $hwid, bool $full = false): string
{
    return '<a class="hwid" href="/admin/device?hwid=' . h(rawurlencode($hwid)) . '" title="' . h($hwid) . '">'
        . h($full ? $hwid : short_hwid($hwid)) . '</a>';
}

// A failure code with its label from the catalogue; a code we have no label for is shown as sent.
function code_label(string $code): string
{
    $key = 'failure.code.' . $code;
    $label = t($key);
    return $label === $key ? '' : $label;
}

function code_html(string $code): string
{
    $label = code_label($code);
    return '<code class="failure-code">' . h($code) . '</code>' . ($label !== '' ? ' <span class="label">' . h($label) . '</span>' : '');
}

// The code point of one UTF-8 character (of at most three bytes: all the characters plain_text marks).
function utf8_code_point(string $char): int
{
    $bytes = array_values(unpack('C*', $char));
    return match (count($bytes)) {
        1 => $bytes[0],
        2 => (($bytes[0] & 0x1F) << 6) | ($bytes[1] & 0x3F),
        default => (($bytes[0] & 0x0F) << 12) | (($bytes[1] & 0x3F) << 6) | ($bytes[2] & 0x3F),
    };
}

// Text a report brought, made safe to read: escaped, carriage returns before line feeds dropped, and
// every other control character and the bidirectional overrides (which could make a line read
// backwards) shown as [U+XXXX].
function plain_text(string $text): string
{
    $text = str_replace("\r\n", "\n", $text);
    $shown = preg_replace_callback('/[\x00-\x08\x0B-\x1F\x7F\x{80}-\x{9F}\x{200E}\x{200F}\x{202A}-\x{202E}\x{2066}-\x{2069}]/u',
        static fn (array $m) => sprintf('[U+%04X]', utf8_code_point($m[0])), $text);
    return h($shown ?? $text);  // null: not UTF-8 (never stored), escaped with substitutes as it is
}

// The palette of the failure chart, one colour per code (the most frequent first), and grey for the rest.
const CHART_COLOURS = ['#2f6fb3', '#c0392b', '#e08e0b', '#2e8b57', '#8e44ad', '#16a085', '#d35400', '#7f8c8d'];
const CHART_OTHER = '#b8bec6';

// Checks per day as bars, drawn here: no script, no image request.
function chart_svg(array $per_day): string
{
    $width = 600;
    $height = 160;
    $max = max(1, max($per_day));
    $bar = $width / count($per_day);
    $svg = '<svg class="chart" viewBox="0 0 ' . $width . ' ' . ($height + 20) . '" role="img" '
        . 'aria-label="' . h(t('chart.checks_label', ['days' => count($per_day)])) . '" xmlns="http://www.w3.org/2000/svg">'
        . '<line x1="0" y1="' . $height . '" x2="' . $width . '" y2="' . $height . '" stroke="#8a8f98"/>';
    $i = 0;
    foreach ($per_day as $day => $checks) {
        $h = $checks === 0 ? 0 : max(1.0, $checks / $max * ($height - 10));
        $svg .= sprintf('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="#2f6fb3"><title>%s</title></rect>',
            $i * $bar + 1, $height - $h, $bar - 2, $h,
            h(t('chart.bar', ['day' => i18n_date((string)$day), 'count' => tn('count.checks', $checks)])));
        $i++;
    }
    return $svg . chart_axis(array_keys($per_day), $width, $height, $max) . '</svg>';
}

function chart_axis(array $days, int $width, int $height, int $max): string
{
    return '<text x="0" y="' . ($height + 15) . '" font-size="11" fill="#444">' . h(i18n_date((string)$days[0])) . '</text>'
        . '<text x="' . $width . '" y="' . ($height + 15) . '" font-size="11" fill="#444" text-anchor="end">'
        . h(i18n_date((string)end($days))) . '</text><text x="2" y="10" font-size="11" fill="#444">'
        . h(i18n_number($max)) . '</text>';
}

// Failure reports per code and day as stacked bars, one colour per code, with a legend; every part of
// a bar has a title (day, code, count).
function failures_chart_svg(array $per_day): array
{
    $width = 600;
    $height = 160;
    $codes = reports_codes($per_day);
    $colours = [];
    foreach ($codes as $n => $code) {
        $colours[$code] = $n < count(CHART_COLOURS) - 1 || count($codes) <= count(CHART_COLOURS)
            ? CHART_COLOURS[$n] : CHART_OTHER;
    }
    $max = max(1, max(array_map('array_sum', $per_day)));
    $bar = $width / count($per_day);
    $svg = '<svg class="chart" id="failures-chart" viewBox="0 0 ' . $width . ' ' . ($height + 20) . '" role="img" '
        . 'aria-label="' . h(t('failures.chart_label', ['days' => count($per_day)])) . '" xmlns="http://www.w3.org/2000/svg">'
        . '<line x1="0" y1="' . $height . '" x2="' . $width . '" y2="' . $height . '" stroke="#8a8f98"/>';
    $i = 0;
    foreach ($per_day as $day => $counts) {
        $top = (float)$height;
        foreach ($codes as $code) {
            $n = $counts[$code] ?? 0;
            if ($n === 0) {
                continue;
            }
            $h = max(1.0, $n / $max * ($height - 10));
            $label = code_label($code);
            $svg .= sprintf('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="%s" data-code="%s">'
                . '<title>%s</title></rect>', $i * $bar + 1, $top - $h, $bar - 2, $h, $colours[$code], h($code),
                h(t('failures.bar', ['day' => i18n_date((string)$day), 'code' => $code . ($label !== '' ? ' (' . $label . ')' : ''),
                    'count' => tn('count.reports', $n)])));
            $top -= $h;
        }
        $i++;
    }
    $svg .= chart_axis(array_keys($per_day), $width, $height, $max) . '</svg>';
    $legend = '';
    $other = false;
    foreach ($codes as $code) {
        if ($colours[$code] === CHART_OTHER) {
            $other = true;
            continue;
        }
        // A stored code of a shape the filter refuses is shown, not linked.
        $legend .= '<li>' . swatch($colours[$code]) . (is_report_code($code) ? '<a href="/admin/failures?code='
            . h(rawurlencode($code)) . '">' . code_html($code) . '</a>' : code_html($code)) . '</li>';
    }
    if ($other) {
        $legend .= '<li>' . swatch(CHART_OTHER) . h(t('failures.legend_other')) . '</li>';
    }
    return [$svg, $legend === '' ? '' : '<ul class="legend" id="failures-legend">' . $legend . '</ul>'];
}

function swatch(string $colour): string
{
    return '<svg class="swatch" viewBox="0 0 10 10" aria-hidden="true"><rect width="10" height="10" fill="'
        . h($colour) . '"/></svg>';
}

// One report as a card: when, code, device, versions, the box's text and (folded) its log.
function report_card(array $report, bool $open_log = false): string
{
    $lines = $report['log_text'] === '' ? 0 : substr_count((string)$report['log_text'], "\n") + 1;
    return '<article class="report card" id="report-' . (int)$report['id'] . '"><p class="report-head">'
        . '<a href="/admin/failure?id=' . (int)$report['id'] . '">' . h(t('report.number', ['id' => (int)$report['id']]))
        . '</a> · ' . when($report['received_at']) . ' · ' . code_html((string)$report['code']) . ' · '
        . device_link((string)$report['hwid']) . '</p><p class="report-versions">'
        . h(t('report.versions', ['shell' => $report['shell_version'], 'windows' => $report['windows_version']]))
        . '</p><pre class="box-text">' . plain_text((string)$report['box_text']) . '</pre>'
        . '<details' . ($open_log ? ' open' : '') . '><summary>' . h(tn('report.log_lines', $lines)) . '</summary>'
        . '<pre class="log-text">' . plain_text((string)$report['log_text']) . '</pre></details></article>';
}

// ---- Request ----------------------------------------------------------------------------------------

$config = quillmarsh_config();
$path = parse_url($_SERVER['REQUEST_URI'] ?? '/admin/', PHP_URL_PATH);
$path = is_string($path) ? $path : '/admin/';
$method = $_SERVER['REQUEST_METHOD'] ?? 'GET';
$address = (string)($_SERVER['REMOTE_ADDR'] ?? '');
$https = ($_SERVER['HTTPS'] ?? '') !== '' && ($_SERVER['HTTPS'] ?? '') !== 'off';

if ($path === '/admin/style.css') {
    header('Content-Type: text/css');
    header('Cache-Control: max-age=3600');
    readfile(__DIR__ . '/style.css');
    exit;
}

// The language first, so that every page, refusals too, is written in it. Our cookies come from the raw
// header; one of them twice means someone else set one: refused (below, in the language of the header).
$cookie_names = [console_cookie_name(CONSOLE_COOKIE, $https), console_cookie_name(CONSOLE_SIGNIN_COOKIE, $https),
    console_cookie_name(LANGUAGE_COOKIE, $https)];
$cookies = console_cookies((string)($_SERVER['HTTP_COOKIE'] ?? ''), $cookie_names);
i18n_set(i18n_choose($cookies === null ? null : ($cookies[$cookie_names[2]] ?? null),
    (string)($_SERVER['HTTP_ACCEPT_LANGUAGE'] ?? '')));

// Over plain HTTP only from this machine (the development server); production runs behind HTTPS.
if (!$https && !in_array($address, ['127.0.0.1', '::1'], true)) {
    page(403, t('https.title'), null, '<p class="error">' . h(t('https.text')) . '</p>');
}

// Text that cannot be stored, before anything reads it.
$problem = console_request_problem($_GET, $_POST);
if ($problem !== null) {
    bad_request(null, request_problem_text($problem) . ' ' . t('bad.nothing_changed'));
}
if ($cookies === null) {
    cookie(CONSOLE_COOKIE, '', -3600);
    cookie(CONSOLE_SIGNIN_COOKIE, '', -3600);
    cookie(LANGUAGE_COOKIE, '', -3600, 'Lax');
    bad_request(null, t('bad.cookie_twice'));
}
// Every POST names no foreign origin, signed in or not.
if ($method === 'POST' && !origin_is_ours()) {
    refuse_form(null);
}

// The language switch: only how pages are written changes, so a GET (a link) is enough and needs no
// session (the sign-in page has the switch too).
if ($path === '/admin/language' && $method === 'GET') {
    $language = $_GET['set'] ?? '';
    if (in_array($language, I18N_LANGUAGES, true)) {
        cookie(LANGUAGE_COOKIE, $language, LANGUAGE_SECONDS, 'Lax');
    }
    redirect(local_target((string)($_GET['next'] ?? '/admin/')));
}

try {
    $db = db_open($config);
    $session = console_session($db, $cookies[console_cookie_name(CONSOLE_COOKIE, $https)] ?? null,
        (int)$config['admin_idle_minutes']);
} catch (Throwable $e) {
    error_log('console: database unavailable: ' . $e->getMessage());
    unavailable();
}

if ($path === '/admin/signin') {
    if ($session !== null) {
        redirect('/admin/');
    }
    $next = (string)($_POST['next'] ?? $_GET['next'] ?? '/admin/');
    if (preg_match('#^/admin/[A-Za-z0-9/_?=&.-]*$#D', $next) !== 1) {
        $next = '/admin/';
    }
    $message = '';
    $status = 200;
    $name = '';
    try {
        $secret = console_signin_secret($db);
    } catch (Throwable $e) {
        error_log('console: database unavailable: ' . $e->getMessage());
        unavailable();
    }
    if ($method === 'POST') {
        // The token must be the server's HMAC of the sign-in cookie this browser holds.
        if (!console_signin_token_valid($secret, (string)($cookies[console_cookie_name(CONSOLE_SIGNIN_COOKIE, $https)] ?? ''),
            (string)($_POST['csrf'] ?? ''), time())) {
            refuse_form(null);
        }
        $name = strtolower(trim((string)($_POST['name'] ?? '')));
        $password = (string)($_POST['password'] ?? '');
        try {
            $outcome = console_sign_in($db, $name, $password, $address);
        } catch (Throwable $e) {
            error_log('console: sign-in failed: ' . $e->getMessage());
            unavailable();
        }
        if ($outcome['result'] === 'ok') {
            cookie(CONSOLE_COOKIE, $outcome['token'], 0);
            cookie(CONSOLE_SIGNIN_COOKIE, '', -3600);
            redirect($next);
        }
        [$status, $message] = $outcome['result'] === 'throttled' ? [429, t('signin.throttled')] : [401, t('signin.wrong')];
    }
    $form_cookie = bin2hex(random_bytes(32));
    cookie(CONSOLE_SIGNIN_COOKIE, $form_cookie, CONSOLE_SIGNIN_SECONDS);
    page($status, t('signin.title'), null, ($message !== '' ? '<p class="error" id="message">' . h($message) . '</p>' : '')
        . '<form method="post" action="/admin/signin" class="card">'
        . csrf_field(console_signin_token($secret, $form_cookie, time()))
        . '<input type="hidden" name="next" value="' . h($next) . '">'
        . '<label>' . h(t('signin.name')) . ' <input name="name" autocomplete="username" required value="' . h($name) . '"></label>'
        . '<label>' . h(t('signin.password')) . ' <input type="password" name="password" autocomplete="current-password" required></label>'
        . '<button type="submit">' . h(t('signin.submit')) . '</button></form>');
}

if ($session === null) {
    if ($method === 'POST') {
        refuse_form(null);
    }
    $query = $_SERVER['QUERY_STRING'] ?? '';
    redirect('/admin/signin?next=' . rawurlencode($path . ($query !== '' ? '?' . $query : '')));
}
$operator = (string)$session['operator'];
// Checks still in the device log's queue are written before any page reads the log.
device_queue_catch_up($config, static fn (): PDO => $db);

if ($method === 'POST') {
    if (!form_is_ours((string)$session['csrf'])) {
        refuse_form($session);
    }
    $hwid = (string)($_POST['hwid'] ?? '');
    switch ($path) {
        case '/admin/signout':
            console_sign_out($db, $session['id_hash']);
            cookie(CONSOLE_COOKIE, '', -3600);
            redirect('/admin/signin');
        case '/admin/ban':
            if (!is_hex64($hwid)) {
                page(400, t('ban.title'), $session, '<p class="error">' . h(t('device.not_fingerprint')) . '</p>');
            }
            $reason = trim((string)($_POST['reason'] ?? ''));
            $until = null;
            $error = '';
            if ($reason === '' || strlen($reason) > BAN_REASON_MAX) {
                $error = t('ban.reason_required', ['max' => i18n_number(BAN_REASON_MAX)]);
            } elseif (($_POST['length'] ?? 'permanent') === 'until') {
                $until = ban_end_parse((string)($_POST['until'] ?? ''));
                if ($until === null || $until <= db_time()) {
                    $error = t('ban.end_future');
                }
            }
            if ($error !== '') {
                page(400, t('ban.title'), $session, '<p class="error">' . h($error) . '</p><p>'
                    . device_link($hwid, true) . '</p>');
            }
            if (($problem = text_problem($reason)) !== null) {
                page(400, t('ban.title'), $session, '<p class="error">' . h(t('ban.reason_problem',
                    ['problem' => t(str_contains($reason, "\0") ? 'text.nul' : 'text.utf8')])) . '</p>');
            }
            bans_add($db, $hwid, $reason, $until, $operator);
            redirect('/admin/device?hwid=' . $hwid);
        case '/admin/lift':
            if (!is_hex64($hwid)) {
                page(400, t('lift.title'), $session, '<p class="error">' . h(t('device.not_fingerprint')) . '</p>');
            }
            bans_remove($db, $hwid, $operator);
            redirect('/admin/device?hwid=' . $hwid);
    }
    page(404, t('notfound.title'), $session, '<p>' . h(t('notfound.text')) . '</p>');
}

switch ($path) {
    case '/admin/':
        $per_day = checks_per_day($db, 30);
        $now = db_time();
        $count = static fn (string $sql, array $args): int => (int)array_values(db_rows($db, $sql, $args)[0] ?? [0])[0];
        $seen_day = $count('SELECT COUNT(*) FROM devices WHERE last_seen >= ?', [db_time(time() - 86400)]);
        $seen_month = $count('SELECT COUNT(*) FROM devices WHERE last_seen >= ?', [db_time(time() - 30 * 86400)]);
        $active = $count('SELECT COUNT(*) FROM hwid_bans WHERE expires_at IS NULL OR expires_at > ?', [$now]);
        $reports_on = reports_available($db);
        $failed_day = $reports_on ? reports_count_since($db, db_time(time() - 86400)) : 0;
        $failed_today = $reports_on ? reports_count_since($db, gmdate('Y-m-d') . 'T00:00:00Z') : 0;
        $stat = static fn (int $n, string $key, string $id): string => '<li id="' . $id . '"><b>' . number($n) . '</b> '
            . h(tn($key, $n)) . '</li>';
        page(200, t('overview.title'), $session, '<section class="card"><h2>' . h(t('overview.chart_heading', ['days' => 30]))
            . '</h2>' . chart_svg($per_day) . '<p id="checks-summary">' . h(t('overview.checks_summary', [
                'checks' => tn('count.checks', array_sum($per_day)), 'days' => 30, 'today' => i18n_number((int)end($per_day)),
                'failures' => i18n_number($failed_today)])) . '</p></section><ul class="stats">'
            . $stat($seen_day, 'overview.seen_day', 'stat-seen-day') . $stat($seen_month, 'overview.seen_month', 'stat-seen-month')
            . $stat($active, 'overview.bans_active', 'stat-bans')
            . '<li id="stat-failures"><a href="/admin/failures"><b>' . number($failed_day) . '</b> '
            . h(tn('overview.failures_day', $failed_day)) . '</a></li></ul>');

    case '/admin/devices':
        $q = (string)($_GET['q'] ?? '');
        $newest = ($_GET['order'] ?? 'newest') !== 'oldest';
        $cursor = page_cursor('devices_cursor_parse');
        if ($cursor === false) {
            bad_request($session, t('devices.bad_page'));
        }
        $found = devices_search($db, $q, $newest, PAGE_SIZE, $cursor);
        $rows = '';
        foreach ($found['rows'] as $row) {
            $rows .= '<tr><td>' . device_link($row['hwid']) . '</td><td>' . when($row['last_seen']) . '</td><td>'
                . when($row['first_seen']) . '</td><td class="num">' . number((int)$row['checks']) . '</td><td>'
                . h($row['last_address'] ?? '—') . '</td><td>' . h(verdict_text($row['last_verdict'])) . '</td><td>'
                . ban_badge($row['ban']) . '</td></tr>';
        }
        $link = static fn (string $way, array $row) => '/admin/devices?' . http_build_query(['q' => $q,
            'order' => $newest ? 'newest' : 'oldest', $way => devices_cursor_text($row)]);
        $ends = $found['rows'] === [] ? [] : [$found['rows'][0], end($found['rows'])];
        $paging = paging($link, $ends, $found['position'], $found['total'], $found['more_after'], 'count.devices');
        page(200, t('devices.title'), $session, '<form method="get" action="/admin/devices" class="search">'
            . '<input name="q" value="' . h($q) . '" placeholder="' . h(t('devices.search_placeholder')) . '" aria-label="'
            . h(t('devices.search_label')) . '">'
            . '<select name="order" aria-label="' . h(t('devices.order_label')) . '"><option value="newest"'
            . ($newest ? ' selected' : '') . '>' . h(t('devices.newest')) . '</option><option value="oldest"'
            . ($newest ? '' : ' selected') . '>' . h(t('devices.oldest')) . '</option></select><button type="submit">'
            . h(t('devices.search')) . '</button></form>'
            . ($found['kind'] === 'none' ? '<p class="error">' . h(t('devices.search_hint')) . '</p>' : '')
            . '<div class="scroll"><table id="devices"><thead><tr><th>' . h(t('col.fingerprint')) . '</th><th>'
            . h(t('col.last_seen')) . '</th><th>' . h(t('col.first_seen')) . '</th><th>' . h(t('col.checks')) . '</th><th>'
            . h(t('col.last_address')) . '</th><th>' . h(t('col.last_answer')) . '</th><th>' . h(t('col.ban'))
            . '</th></tr></thead><tbody>' . ($rows !== '' ? $rows : '<tr><td colspan="7">' . h(t('devices.none'))
            . '</td></tr>') . '</tbody></table></div>' . $paging);

    case '/admin/device':
        $hwid = (string)($_GET['hwid'] ?? '');
        if (!is_hex64($hwid)) {
            page(404, t('device.title'), $session, '<p class="error">' . h(t('device.not_fingerprint')) . '</p>');
        }
        $device = device_get($db, $hwid);
        $ban = bans_get($db, $hwid);
        $facts = $device === null ? '<p>' . h(t('device.not_seen')) . '</p>'
            : '<dl class="facts"><dt>' . h(t('device.first_seen')) . '</dt><dd>' . when($device['first_seen']) . '</dd><dt>'
            . h(t('device.last_seen')) . '</dt><dd>' . when($device['last_seen']) . '</dd><dt>' . h(t('device.checks'))
            . '</dt><dd>' . number((int)$device['checks']) . '</dd><dt>' . h(t('device.last_address')) . '</dt><dd>'
            . h($device['last_address'] ?? '—') . '</dd><dt>' . h(t('device.last_answer')) . '</dt><dd>'
            . h(verdict_text($device['last_verdict'])) . '</dd></dl>';
        $ban_html = '<p id="ban-state">' . ban_badge($ban) . '</p>';
        if ($ban !== null) {
            $ban_html .= '<p>' . t_html('device.ban_detail', ['reason' => '<q>' . h($ban['reason']) . '</q>',
                    'operator' => h($ban['banned_by'] ?? t('device.unknown_operator')), 'when' => when($ban['banned_at'])])
                . '</p><form method="post" action="/admin/lift">'
                . csrf_field($session['csrf']) . '<input type="hidden" name="hwid" value="' . h($hwid) . '">'
                . '<button type="submit" id="lift">' . h(t('device.lift')) . '</button></form>';
        }
        $ban_html .= '<form method="post" action="/admin/ban" class="card" id="ban-form">' . csrf_field($session['csrf'])
            . '<input type="hidden" name="hwid" value="' . h($hwid) . '">'
            . '<label>' . h(t('device.reason')) . ' <input name="reason" required maxlength="' . BAN_REASON_MAX . '"></label>'
            . '<fieldset><legend>' . h(t('device.length')) . '</legend><label class="choice"><input type="radio" name="length" '
            . 'value="permanent" checked> ' . h(t('device.permanent')) . '</label><label class="choice"><input type="radio" '
            . 'name="length" value="until"> ' . h(t('device.until')) . ' <input type="datetime-local" name="until" step="1" '
            . 'aria-label="' . h(t('device.until_label')) . '"> ' . h(t('device.utc')) . '</label></fieldset>'
            . '<button type="submit" id="ban">' . h(t($ban === null ? 'device.ban' : 'device.replace')) . '</button></form>';
        $days = '';
        foreach (device_history($db, $hwid) as $row) {
            $days .= '<tr><td>' . day((string)$row['day']) . '</td><td class="num">' . number((int)$row['checks']) . '</td><td>'
                . h(verdict_text($row['last_verdict'])) . '</td></tr>';
        }
        $changes = '';
        foreach (db_rows($db, 'SELECT at, operator, action, detail FROM audit WHERE hwid = ? ORDER BY id DESC LIMIT 50', [$hwid]) as $row) {
            $changes .= '<tr><td>' . when($row['at']) . '</td><td>' . h($row['operator']) . '</td><td>'
                . h(action_text((string)$row['action'])) . '</td><td>' . h($row['detail']) . '</td></tr>';
        }
        $reports = reports_available($db) ? reports_list($db, null, $hwid, DEVICE_REPORTS)
            : ['rows' => [], 'total' => 0];
        $report_rows = '';
        foreach ($reports['rows'] as $row) {
            $report_rows .= '<tr><td><a href="/admin/failure?id=' . (int)$row['id'] . '">' . when($row['received_at'])
                . '</a></td><td>' . code_html((string)$row['code']) . '</td><td>' . h($row['shell_version']) . '</td><td>'
                . h($row['windows_version']) . '</td></tr>';
        }
        $none = '<tr><td colspan="%d">' . h(t('device.none')) . '</td></tr>';
        page(200, t('device.title'), $session, '<p class="hwid-full">' . h($hwid) . '</p>' . $facts
            . '<section><h2>' . h(t('device.ban_heading')) . '</h2>' . $ban_html . '</section>'
            . '<section><h2>' . h(t('device.reports_heading')) . '</h2><div class="scroll"><table id="device-reports"><thead><tr><th>'
            . h(t('col.received')) . '</th><th>' . h(t('col.code')) . '</th><th>' . h(t('col.shell_version')) . '</th><th>'
            . h(t('col.windows_version')) . '</th></tr></thead><tbody>' . ($report_rows ?: sprintf($none, 4))
            . '</tbody></table></div><p><a id="device-failures" href="/admin/failures?hwid=' . h($hwid) . '">'
            . h(t('device.reports_all', ['n' => i18n_number(min($reports['total'], LIST_COUNT_CAP))
                . ($reports['total'] > LIST_COUNT_CAP ? '+' : '')]))
            . '</a></p></section>'
            . '<section><h2>' . h(t('device.days_heading')) . '</h2><div class="scroll"><table><thead><tr><th>' . h(t('col.day'))
            . '</th><th>' . h(t('col.checks')) . '</th><th>' . h(t('col.last_answer')) . '</th></tr></thead><tbody>'
            . ($days ?: sprintf($none, 3)) . '</tbody></table></div></section><section><h2>' . h(t('device.changes_heading'))
            . '</h2><div class="scroll"><table><thead><tr><th>' . h(t('col.when')) . '</th><th>' . h(t('col.operator'))
            . '</th><th>' . h(t('col.what')) . '</th><th>' . h(t('col.detail')) . '</th></tr></thead><tbody>'
            . ($changes ?: sprintf($none, 4)) . '</tbody></table></div></section>');

    case '/admin/failures':
        $code = $_GET['code'] ?? '';
        $hwid = strtolower((string)($_GET['hwid'] ?? ''));
        if ($code !== '' && !is_report_code($code)) {
            bad_request($session, t('failures.bad_code'));
        }
        if ($hwid !== '' && !is_hex64($hwid)) {
            bad_request($session, t('failures.bad_device'));
        }
        $cursor = page_cursor('reports_cursor_parse');
        if ($cursor === false) {
            bad_request($session, t('failures.bad_page'));
        }
        if (!reports_available($db)) {
            page(200, t('failures.title'), $session, '<p class="error">' . h(t('failures.no_table')) . '</p>');
        }
        $per_day = reports_per_day($db, 30);
        [$chart, $legend] = failures_chart_svg($per_day);
        $in_month = array_sum(array_map('array_sum', $per_day));
        $found = reports_list($db, $code === '' ? null : $code, $hwid === '' ? null : $hwid, REPORTS_PAGE_SIZE, $cursor);
        $cards = '';
        foreach ($found['rows'] as $row) {
            $cards .= report_card($row);
        }
        $options = '<option value="">' . h(t('failures.all_codes')) . '</option>';
        $choices = array_filter([...report_codes(), ...reports_codes($per_day), $code], 'is_report_code');
        foreach (array_unique($choices) as $option) {
            $label = code_label($option);
            $options .= '<option value="' . h($option) . '"' . ($option === $code ? ' selected' : '') . '>' . h($option)
                . ($label !== '' ? ' — ' . h($label) : '') . '</option>';
        }
        $filter = ['code' => $code, 'hwid' => $hwid];
        $link = static fn (string $way, array $row) => '/admin/failures?' . http_build_query(array_filter($filter,
            static fn ($v) => $v !== '') + [$way => reports_cursor_text($row)]);
        $ends = $found['rows'] === [] ? [] : [$found['rows'][0], end($found['rows'])];
        page(200, t('failures.title'), $session, '<section class="card wide"><h2>' . h(t('failures.chart_heading', ['days' => 30]))
            . '</h2>' . $chart . $legend . '<p id="failures-summary">' . h(t('failures.summary', ['count' => tn('count.reports', $in_month),
                'days' => 30, 'today' => i18n_number(array_sum((array)end($per_day)))])) . '</p></section>'
            . '<h2>' . h(t('failures.latest')) . '</h2><form method="get" action="/admin/failures" class="search" id="failures-filter">'
            . '<select name="code" aria-label="' . h(t('failures.filter_code')) . '">' . $options . '</select>'
            . '<input name="hwid" value="' . h($hwid) . '" placeholder="' . h(t('failures.device_placeholder'))
            . '" aria-label="' . h(t('failures.filter_device')) . '"><button type="submit">' . h(t('failures.filter'))
            . '</button></form>' . ($code !== '' || $hwid !== '' ? '<p><a href="/admin/failures">' . h(t('failures.clear'))
                . '</a>' . ($hwid !== '' ? ' · ' . device_link($hwid) : '') . '</p>' : '')
            . '<div id="reports">' . ($cards !== '' ? $cards : '<p>' . h(t('failures.none')) . '</p>') . '</div>'
            . paging($link, $ends, $found['position'], $found['total'], $found['more_after'], 'count.reports', REPORTS_PAGE_SIZE));

    case '/admin/failure':
        $id = (string)($_GET['id'] ?? '');
        $n = filter_var($id, FILTER_VALIDATE_INT, ['options' => ['min_range' => 1]]);
        if ($n === false || (string)$n !== $id) {
            bad_request($session, t('report.bad_id'));
        }
        $report = reports_available($db) ? report_get($db, $n) : null;
        if ($report === null) {
            page(404, t('report.title'), $session, '<p class="error">' . h(t('report.not_found')) . '</p>');
        }
        page(200, t('report.title'), $session, report_card($report, true) . '<p><a href="/admin/failures?hwid='
            . h($report['hwid']) . '">' . h(t('report.more_device')) . '</a>' . (is_report_code($report['code'])
                ? ' · <a href="/admin/failures?code=' . h($report['code']) . '">' . h(t('report.more_code')) . '</a>' : '')
            . '</p>');

    case '/admin/bans':
        $rows = '';
        foreach (array_reverse(bans_list($db)) as $ban) {
            $rows .= '<tr><td>' . device_link($ban['hwid']) . '</td><td>' . ban_badge($ban) . '</td><td>'
                . h($ban['reason']) . '</td><td>' . h($ban['banned_by'] ?? '—') . '</td><td>' . when($ban['banned_at'])
                . '</td></tr>';
        }
        page(200, t('bans.title'), $session, '<div class="scroll"><table id="bans"><thead><tr><th>' . h(t('col.fingerprint'))
            . '</th><th>' . h(t('col.state')) . '</th><th>' . h(t('col.reason')) . '</th><th>' . h(t('col.by')) . '</th><th>'
            . h(t('col.when')) . '</th></tr></thead><tbody>'
            . ($rows ?: '<tr><td colspan="5">' . h(t('bans.none')) . '</td></tr>') . '</tbody></table></div>');

    case '/admin/audit':
        // Newest first, by id; a page is the PAGE_SIZE ids below (after) or above (before) an id.
        $cursor = page_cursor(static fn (string $id) => ($n = filter_var($id, FILTER_VALIDATE_INT,
            ['options' => ['min_range' => 1]])) === false || (string)$n !== $id ? null : [$n]);
        if ($cursor === false) {
            bad_request($session, t('audit.bad_page'));
        }
        $total = db_count_capped($db, 'FROM audit', []);
        $backwards = $cursor !== null && $cursor[0] === 'before';
        $found = db_rows($db, 'SELECT id, at, operator, action, hwid, detail FROM audit'
            . ($cursor === null ? '' : ' WHERE id ' . ($backwards ? '>' : '<') . ' ?')
            . ' ORDER BY id ' . ($backwards ? 'ASC' : 'DESC') . ' LIMIT ' . (PAGE_SIZE + 1),
            $cursor === null ? [] : [$cursor[1]]);
        $more = count($found) > PAGE_SIZE;
        $found = array_slice($found, 0, PAGE_SIZE);
        if ($backwards) {
            $found = array_reverse($found);
        }
        $position = $cursor === null || $found === [] ? 0
            : db_count_capped($db, 'FROM audit WHERE id > ?', [$found[0]['id']]);
        $rows = '';
        foreach ($found as $row) {
            $rows .= '<tr><td>' . when($row['at']) . '</td><td>' . h($row['operator']) . '</td><td>'
                . h(action_text((string)$row['action'])) . '</td><td>' . ($row['hwid'] !== null ? device_link($row['hwid']) : '—')
                . '</td><td>' . h($row['detail']) . '</td></tr>';
        }
        $link = static fn (string $way, array $row) => '/admin/audit?' . $way . '=' . (int)$row['id'];
        page(200, t('audit.title'), $session, '<div class="scroll"><table id="audit"><thead><tr><th>' . h(t('col.when'))
            . '</th><th>' . h(t('col.operator')) . '</th><th>' . h(t('col.what')) . '</th><th>' . h(t('col.device')) . '</th><th>'
            . h(t('col.detail')) . '</th></tr></thead><tbody>'
            . ($rows ?: '<tr><td colspan="5">' . h(t('audit.none')) . '</td></tr>') . '</tbody></table></div>'
            . paging($link, $found === [] ? [] : [$found[0], end($found)], $position, $total,
                $backwards ? $found !== [] : $more, ''));
}
page(404, t('notfound.title'), $session, '<p>' . h(t('notfound.text')) . '</p>');
