<?php
// The operators' console, every page under /admin/: server-rendered HTML and one small style sheet,
// nothing from elsewhere. Sessions, CSRF tokens and throttling are in lib/console.php.
//   GET  /admin/                 overview: checks per day (last 30 days), counts
//   GET  /admin/devices          device log: search by fingerprint prefix or address, sort, pages
//   GET  /admin/device?hwid=H    one device: its days, its ban, ban / lift forms, its audit entries
//   GET  /admin/bans             the ban list      GET /admin/audit   every change
//   GET/POST /admin/signin       POST /admin/signout, /admin/ban, /admin/lift
// Lists page by key (links carry after=/before= the last or first row shown), never by OFFSET.
// Every parameter must be one text, valid UTF-8 without NUL: anything else is answered 400.
declare(strict_types=1);

require_once __DIR__ . '/../../lib/console.php';

const PAGE_SIZE = 50;

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
}

// Sets one of our cookies under the name this request's scheme uses: over HTTPS __Host-NAME with path /
// (Secure, no Domain: no other host, not even a sibling subdomain, can set or shadow it), over plain HTTP
// (the development server on this machine) NAME with path /admin/.
function cookie(string $name, string $value, int $max_age): void
{
    global $https;
    setcookie(console_cookie_name($name, $https), $value, [
        'expires' => $max_age === 0 ? 0 : time() + $max_age,
        'path' => $https ? '/' : CONSOLE_PATH,
        'secure' => true,
        'httponly' => true,
        'samesite' => 'Strict',
    ]);
}

function redirect(string $to): never
{
    send_headers(303);
    header('Location: ' . $to);
    exit;
}

function page(int $status, string $title, ?array $session, string $body): never
{
    send_headers($status);
    $nav = '';
    if ($session !== null) {
        $nav = '<nav><a href="/admin/">Overview</a><a href="/admin/devices">Devices</a><a href="/admin/bans">Bans</a>'
            . '<a href="/admin/audit">Audit</a><form method="post" action="/admin/signout" class="inline">'
            . csrf_field($session['csrf']) . '<button type="submit" class="link">Sign out ('
            . h($session['operator']) . ')</button></form></nav>';
    }
    echo '<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">'
        . '<meta name="viewport" content="width=device-width, initial-scale=1">'
        . '<title>' . h($title) . ' — Quillmarsh console</title><link rel="stylesheet" href="/admin/style.css">'
        . '</head><body><header><strong>Quillmarsh console</strong>' . $nav . '</header><main><h1>' . h($title)
        . '</h1>' . $body . '</main></body></html>';
    exit;
}

function csrf_field(string $token): string
{
    return '<input type="hidden" name="csrf" value="' . h($token) . '">';
}

function refuse_form(?array $session): never
{
    page(403, 'Form refused', $session, '<p class="error">This form has expired or did not come from this console. '
        . 'Go back, reload the page and try again.</p>');
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
    page(400, 'Bad request', $session, '<p class="error" id="message">' . h($message) . '</p>');
}

// The paging links of a list: "← Newer" to the page before the first row, "Older →" to the page after the
// last one, and where this page is.
function paging(callable $link, array $first_last, int $position, int $shown, int $total, bool $more_after, string $what): string
{
    // Both counts stop at LIST_COUNT_CAP + 1 (bounded cost): past it, the page says "more than".
    $pages = max(1, (int)ceil(min($total, LIST_COUNT_CAP) / PAGE_SIZE));
    $page_no = intdiv(min($position, LIST_COUNT_CAP), PAGE_SIZE) + 1;
    $where = $total > LIST_COUNT_CAP
        ? ($position > LIST_COUNT_CAP ? 'Past page ' . $pages : 'Page ' . $page_no) . ' of more than ' . $pages
            . ($what !== '' ? ' (more than ' . LIST_COUNT_CAP . ' ' . $what . ')' : '')
        : 'Page ' . min($pages, $page_no) . ' of ' . $pages . ($what !== '' ? ' (' . $total . ' ' . $what . ')' : '');
    return '<p class="paging">' . ($position > 0 && $first_last !== [] ? '<a href="' . h($link('before', $first_last[0]))
            . '" rel="prev">← Newer</a> ' : '')
        . $where
        . ($more_after && $first_last !== [] ? ' <a href="' . h($link('after', $first_last[1])) . '" rel="next">Older →</a>' : '')
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

// A stored time as people read it: "2025-06-01 18:00:00" (UTC).
function when(?string $time): string
{
    return $time === null ? '—' : h(str_replace(['T', 'Z'], [' ', ''], $time));
}

function short_hwid(string $hwid): string
{
    return substr($hwid, 0, 16) . '…';
}

function ban_badge(?array $ban): string
{
    if ($ban === null) {
        return '<span class="badge free">not banned</span>';
    }
    return match ($ban['state']) {
        'permanent' => '<span class="badge banned">banned</span>',
        'until' => '<span class="badge banned">banned until ' . when($ban['expires_at']) . '</span>',
        default => '<span class="badge expired">expired ' . when($ban['expires_at']) . '</span>',
    };
}

function device_link(string $hwid, bool $full = false): string
{
    return '<a class="hwid" href="/admin/device?hwid=' . h($hwid) . '" title="' . h($hwid) . '">'
        . h($full ? $hwid : short_hwid($hwid)) . '</a>';
}

// Checks per day as bars, drawn here: no script, no image request.
function chart_svg(array $per_day): string
{
    $width = 600;
    $height = 160;
    $max = max(1, max($per_day));
    $bar = $width / count($per_day);
    $svg = '<svg class="chart" viewBox="0 0 ' . $width . ' ' . ($height + 20) . '" role="img" '
        . 'aria-label="Checks per day, last ' . count($per_day) . ' days" xmlns="http://www.w3.org/2000/svg">'
        . '<line x1="0" y1="' . $height . '" x2="' . $width . '" y2="' . $height . '" stroke="#8a8f98"/>';
    $i = 0;
    foreach ($per_day as $day => $checks) {
        $h = $checks === 0 ? 0 : max(1.0, $checks / $max * ($height - 10));
        $svg .= sprintf('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="#2f6fb3"><title>%s: %d checks</title></rect>',
            $i * $bar + 1, $height - $h, $bar - 2, $h, h($day), $checks);
        $i++;
    }
    $days = array_keys($per_day);
    $svg .= '<text x="0" y="' . ($height + 15) . '" font-size="11" fill="#444">' . h($days[0]) . '</text>'
        . '<text x="' . $width . '" y="' . ($height + 15) . '" font-size="11" fill="#444" text-anchor="end">'
        . h(end($days)) . '</text><text x="2" y="10" font-size="11" fill="#444">' . $max . '</text></svg>';
    return $svg;
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

// Over plain HTTP only from this machine (the development server); production runs behind HTTPS.
if (!$https && !in_array($address, ['127.0.0.1', '::1'], true)) {
    page(403, 'HTTPS only', null, '<p class="error">The console is served over HTTPS only.</p>');
}

// Text that cannot be stored, before anything reads it.
$problem = console_request_problem($_GET, $_POST);
if ($problem !== null) {
    bad_request(null, $problem . ' Nothing was changed.');
}
// Our cookies from the raw header; one of them twice means someone else set one: refused.
$cookies = console_cookies((string)($_SERVER['HTTP_COOKIE'] ?? ''),
    [console_cookie_name(CONSOLE_COOKIE, $https), console_cookie_name(CONSOLE_SIGNIN_COOKIE, $https)]);
if ($cookies === null) {
    cookie(CONSOLE_COOKIE, '', -3600);
    cookie(CONSOLE_SIGNIN_COOKIE, '', -3600);
    bad_request(null, 'This request carries one of the console\'s cookies twice. Delete this site\'s cookies '
        . 'in the browser and sign in again.');
}
// Every POST names no foreign origin, signed in or not.
if ($method === 'POST' && !origin_is_ours()) {
    refuse_form(null);
}

try {
    $db = db_open($config);
    $session = console_session($db, $cookies[console_cookie_name(CONSOLE_COOKIE, $https)] ?? null,
        (int)$config['admin_idle_minutes']);
} catch (Throwable $e) {
    error_log('console: database unavailable: ' . $e->getMessage());
    page(503, 'Unavailable', null, '<p class="error">The database is unavailable; the server log says why.</p>');
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
        page(503, 'Unavailable', null, '<p class="error">The database is unavailable; the server log says why.</p>');
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
            page(503, 'Unavailable', null, '<p class="error">The database is unavailable; the server log says why.</p>');
        }
        if ($outcome['result'] === 'ok') {
            cookie(CONSOLE_COOKIE, $outcome['token'], 0);
            cookie(CONSOLE_SIGNIN_COOKIE, '', -3600);
            redirect($next);
        }
        [$status, $message] = $outcome['result'] === 'throttled'
            ? [429, 'Too many failed sign-ins. Wait 15 minutes and try again.']
            : [401, 'Wrong name or password.'];
    }
    $form_cookie = bin2hex(random_bytes(32));
    cookie(CONSOLE_SIGNIN_COOKIE, $form_cookie, CONSOLE_SIGNIN_SECONDS);
    page($status, 'Sign in', null, ($message !== '' ? '<p class="error" id="message">' . h($message) . '</p>' : '')
        . '<form method="post" action="/admin/signin" class="card">'
        . csrf_field(console_signin_token($secret, $form_cookie, time()))
        . '<input type="hidden" name="next" value="' . h($next) . '">'
        . '<label>Name <input name="name" autocomplete="username" required value="' . h($name) . '"></label>'
        . '<label>Password <input type="password" name="password" autocomplete="current-password" required></label>'
        . '<button type="submit">Sign in</button></form>');
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
                page(400, 'Ban', $session, '<p class="error">Not a fingerprint.</p>');
            }
            $reason = trim((string)($_POST['reason'] ?? ''));
            $until = null;
            $error = '';
            if ($reason === '' || strlen($reason) > BAN_REASON_MAX) {
                $error = 'A reason is required (at most ' . BAN_REASON_MAX . ' bytes).';
            } elseif (($_POST['length'] ?? 'permanent') === 'until') {
                $until = ban_end_parse((string)($_POST['until'] ?? ''));
                if ($until === null || $until <= db_time()) {
                    $error = 'The end of a temporary ban must be a date and time (UTC) in the future.';
                }
            }
            if ($error !== '') {
                page(400, 'Ban', $session, '<p class="error">' . h($error) . '</p><p>'
                    . device_link($hwid, true) . '</p>');
            }
            if (($problem = text_problem($reason)) !== null) {
                page(400, 'Ban', $session, '<p class="error">The reason ' . h($problem) . '.</p>');
            }
            bans_add($db, $hwid, $reason, $until, $operator);
            redirect('/admin/device?hwid=' . $hwid);
        case '/admin/lift':
            if (!is_hex64($hwid)) {
                page(400, 'Lift', $session, '<p class="error">Not a fingerprint.</p>');
            }
            bans_remove($db, $hwid, $operator);
            redirect('/admin/device?hwid=' . $hwid);
    }
    page(404, 'Not found', $session, '<p>No such page.</p>');
}

switch ($path) {
    case '/admin/':
        $per_day = checks_per_day($db, 30);
        $now = db_time();
        $count = static fn (string $sql, array $args): int => (int)array_values(db_rows($db, $sql, $args)[0] ?? [0])[0];
        $seen_day = $count('SELECT COUNT(*) FROM devices WHERE last_seen >= ?', [db_time(time() - 86400)]);
        $seen_month = $count('SELECT COUNT(*) FROM devices WHERE last_seen >= ?', [db_time(time() - 30 * 86400)]);
        $active = $count('SELECT COUNT(*) FROM hwid_bans WHERE expires_at IS NULL OR expires_at > ?', [$now]);
        page(200, 'Overview', $session, '<section class="card"><h2>Checks per day, last 30 days (UTC)</h2>'
            . chart_svg($per_day) . '<p>' . array_sum($per_day) . ' checks in 30 days, today '
            . end($per_day) . '.</p></section><ul class="stats">'
            . '<li><b>' . $seen_day . '</b> devices seen in the last 24 hours</li>'
            . '<li><b>' . $seen_month . '</b> devices seen in the last 30 days</li>'
            . '<li><b>' . $active . '</b> bans in force</li></ul>');

    case '/admin/devices':
        $q = (string)($_GET['q'] ?? '');
        $newest = ($_GET['order'] ?? 'newest') !== 'oldest';
        $cursor = page_cursor('devices_cursor_parse');
        if ($cursor === false) {
            bad_request($session, 'Not a page of the device list: go back to its first page.');
        }
        $found = devices_search($db, $q, $newest, PAGE_SIZE, $cursor);
        $rows = '';
        foreach ($found['rows'] as $row) {
            $rows .= '<tr><td>' . device_link($row['hwid']) . '</td><td>' . when($row['last_seen']) . '</td><td>'
                . when($row['first_seen']) . '</td><td class="num">' . (int)$row['checks'] . '</td><td>'
                . h($row['last_address'] ?? '—') . '</td><td>' . h($row['last_verdict']) . '</td><td>'
                . ban_badge($row['ban']) . '</td></tr>';
        }
        $link = static fn (string $way, array $row) => '/admin/devices?' . http_build_query(['q' => $q,
            'order' => $newest ? 'newest' : 'oldest', $way => devices_cursor_text($row)]);
        $ends = $found['rows'] === [] ? [] : [$found['rows'][0], end($found['rows'])];
        $paging = paging($link, $ends, $found['position'], count($found['rows']), $found['total'],
            $found['more_after'], 'devices');
        page(200, 'Devices', $session, '<form method="get" action="/admin/devices" class="search">'
            . '<input name="q" value="' . h($q) . '" placeholder="fingerprint prefix or address" aria-label="Search">'
            . '<select name="order" aria-label="Order"><option value="newest"' . ($newest ? ' selected' : '')
            . '>last seen, newest first</option><option value="oldest"' . ($newest ? '' : ' selected')
            . '>last seen, oldest first</option></select><button type="submit">Search</button></form>'
            . ($found['kind'] === 'none' ? '<p class="error">Search for hex digits (a fingerprint) or an address.</p>' : '')
            . '<div class="scroll"><table id="devices"><thead><tr><th>Fingerprint</th><th>Last seen (UTC)</th>'
            . '<th>First seen</th><th>Checks</th><th>Last address</th><th>Last answer</th><th>Ban</th></tr></thead>'
            . '<tbody>' . ($rows !== '' ? $rows : '<tr><td colspan="7">No devices.</td></tr>') . '</tbody></table></div>'
            . $paging);

    case '/admin/device':
        $hwid = (string)($_GET['hwid'] ?? '');
        if (!is_hex64($hwid)) {
            page(404, 'Device', $session, '<p class="error">Not a fingerprint.</p>');
        }
        $device = device_get($db, $hwid);
        $ban = bans_get($db, $hwid);
        $facts = $device === null ? '<p>This device has not checked in (or was forgotten after the retention time).</p>'
            : '<dl class="facts"><dt>First seen</dt><dd>' . when($device['first_seen']) . '</dd><dt>Last seen</dt><dd>'
            . when($device['last_seen']) . '</dd><dt>Checks</dt><dd>' . (int)$device['checks'] . '</dd><dt>Last address</dt><dd>'
            . h($device['last_address'] ?? '—') . '</dd><dt>Last answer</dt><dd>' . h($device['last_verdict']) . '</dd></dl>';
        $ban_html = '<p id="ban-state">' . ban_badge($ban) . '</p>';
        if ($ban !== null) {
            $ban_html .= '<p>Reason: <q>' . h($ban['reason']) . '</q>, by ' . h($ban['banned_by'] ?? 'unknown')
                . ' at ' . when($ban['banned_at']) . '.</p><form method="post" action="/admin/lift">'
                . csrf_field($session['csrf']) . '<input type="hidden" name="hwid" value="' . h($hwid) . '">'
                . '<button type="submit" id="lift">Lift the ban</button></form>';
        }
        $ban_html .= '<form method="post" action="/admin/ban" class="card" id="ban-form">' . csrf_field($session['csrf'])
            . '<input type="hidden" name="hwid" value="' . h($hwid) . '">'
            . '<label>Reason <input name="reason" required maxlength="' . BAN_REASON_MAX . '"></label>'
            . '<fieldset><legend>Length</legend><label class="choice"><input type="radio" name="length" value="permanent" checked> '
            . 'permanent</label><label class="choice"><input type="radio" name="length" value="until"> until '
            . '<input type="datetime-local" name="until" step="1" aria-label="End (UTC)"> UTC</label></fieldset>'
            . '<button type="submit" id="ban">' . ($ban === null ? 'Ban' : 'Replace the ban') . '</button></form>';
        $days = '';
        foreach (device_history($db, $hwid) as $row) {
            $days .= '<tr><td>' . h($row['day']) . '</td><td class="num">' . (int)$row['checks'] . '</td><td>'
                . h($row['last_verdict']) . '</td></tr>';
        }
        $changes = '';
        foreach (db_rows($db, 'SELECT at, operator, action, detail FROM audit WHERE hwid = ? ORDER BY id DESC LIMIT 50', [$hwid]) as $row) {
            $changes .= '<tr><td>' . when($row['at']) . '</td><td>' . h($row['operator']) . '</td><td>' . h($row['action'])
                . '</td><td>' . h($row['detail']) . '</td></tr>';
        }
        page(200, 'Device', $session, '<p class="hwid-full">' . h($hwid) . '</p>' . $facts
            . '<section><h2>Ban</h2>' . $ban_html . '</section>'
            . '<section><h2>Days with checks</h2><div class="scroll"><table><thead><tr><th>Day (UTC)</th><th>Checks</th>'
            . '<th>Last answer</th></tr></thead><tbody>' . ($days ?: '<tr><td colspan="3">None.</td></tr>')
            . '</tbody></table></div></section><section><h2>Changes</h2><div class="scroll"><table><thead><tr><th>When (UTC)</th>'
            . '<th>Operator</th><th>What</th><th>Detail</th></tr></thead><tbody>'
            . ($changes ?: '<tr><td colspan="4">None.</td></tr>') . '</tbody></table></div></section>');

    case '/admin/bans':
        $rows = '';
        foreach (array_reverse(bans_list($db)) as $ban) {
            $rows .= '<tr><td>' . device_link($ban['hwid']) . '</td><td>' . ban_badge($ban) . '</td><td>'
                . h($ban['reason']) . '</td><td>' . h($ban['banned_by'] ?? '—') . '</td><td>' . when($ban['banned_at'])
                . '</td></tr>';
        }
        page(200, 'Bans', $session, '<div class="scroll"><table id="bans"><thead><tr><th>Fingerprint</th><th>State</th>'
            . '<th>Reason</th><th>By</th><th>When (UTC)</th></tr></thead><tbody>'
            . ($rows ?: '<tr><td colspan="5">No bans.</td></tr>') . '</tbody></table></div>');

    case '/admin/audit':
        // Newest first, by id; a page is the PAGE_SIZE ids below (after) or above (before) an id.
        $cursor = page_cursor(static fn (string $id) => ($n = filter_var($id, FILTER_VALIDATE_INT,
            ['options' => ['min_range' => 1]])) === false || (string)$n !== $id ? null : [$n]);
        if ($cursor === false) {
            bad_request($session, 'Not a page of the audit: go back to its first page.');
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
            $rows .= '<tr><td>' . when($row['at']) . '</td><td>' . h($row['operator']) . '</td><td>' . h($row['action'])
                . '</td><td>' . ($row['hwid'] !== null ? device_link($row['hwid']) : '—') . '</td><td>'
                . h($row['detail']) . '</td></tr>';
        }
        $link = static fn (string $way, array $row) => '/admin/audit?' . $way . '=' . (int)$row['id'];
        page(200, 'Audit', $session, '<div class="scroll"><table id="audit"><thead><tr><th>When (UTC)</th><th>Operator</th>'
            . '<th>What</th><th>Device</th><th>Detail</th></tr></thead><tbody>'
            . ($rows ?: '<tr><td colspan="5">No changes yet.</td></tr>') . '</tbody></table></div>'
            . paging($link, $found === [] ? [] : [$found[0], end($found)], $position, count($found), $total,
                $backwards ? $found !== [] : $more, ''));
}
page(404, 'Not found', $session, '<p>No such page.</p>');
