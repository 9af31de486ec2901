<?php
// The operators' console: accounts, sessions, sign-in throttling and CSRF tokens. The pages are in
// public/admin/index.php.
//
// Security choices:
// - passwords with password_hash (the default algorithm, bcrypt today), checked in constant time; an
//   unknown account costs the same as a known one (a check against a dummy hash);
// - the session cookie is 32 random bytes, Secure, HttpOnly, SameSite=Strict, path /admin/; the database
//   keeps only its SHA-256, so a copy of the database signs no one in; a new one at every sign-in;
//   a session ends after admin_idle_minutes without a request (30 by default) and 12 hours after
//   sign-in whatever happens; signing out deletes it;
// - every form carries a token of its session (sign-in: an HMAC, under a secret kept in the database, of
//   a short-lived cookie of its own, so a cookie an attacker planted comes with no valid token); a POST
//   without the right token, with `Origin: null` or an Origin of another scheme, host or port is refused;
// - over HTTPS the cookies are named __Host-… (Secure, Path=/, no Domain: no other host can set them);
//   a request that carries one of our cookies twice is refused (lib: console_cookies);
// - failed sign-ins are counted per account and per address (IPv6: per /64) over 15 minutes: from the
//   5th on an account, or the 20th from an address, every sign-in there is refused, even with the right
//   password, until the window has passed. A try is counted before its password is checked, in one
//   atomic step with the check of the limit, so concurrent tries cannot get past it;
// - no statement keeps a read open across the password check or into a write: writes run in short
//   write transactions (SQLite: BEGIN IMMEDIATE, which waits for the lock), so a sign-in holds while
//   players' checks commit all the time.
declare(strict_types=1);

require_once __DIR__ . '/device_queue.php';

// Cookie names: over HTTPS with the __Host- prefix (path /), over plain HTTP (the development server on
// this machine only) without it (path /admin/).
const CONSOLE_COOKIE = 'qm_session';
const CONSOLE_SIGNIN_COOKIE = 'qm_signin';
const CONSOLE_HOST_PREFIX = '__Host-';
const CONSOLE_SIGNIN_SECONDS = 600;
const CONSOLE_PATH = '/admin/';
const CONSOLE_SESSION_MAX_SECONDS = 12 * 3600;
const CONSOLE_THROTTLE_WINDOW = 15 * 60;
const CONSOLE_THROTTLE_ACCOUNT = 5;
const CONSOLE_THROTTLE_ADDRESS = 20;
const OPERATOR_NAME = '/^[a-z0-9][a-z0-9._-]{0,63}$/D';

function is_operator_name(string $name): bool
{
    return preg_match(OPERATOR_NAME, $name) === 1;
}

// Adds an account, or sets a new password of an existing one; audited as $by.
function operator_set(PDO $db, string $name, string $password, string $by): bool
{
    text_require('the password', $password);
    $hash = password_hash($password, PASSWORD_DEFAULT);
    // The dummy hash for unknown names follows the stored hashes' algorithm and cost (made here, out of
    // any transaction: it takes as long as a password check).
    console_dummy_hash($db, $hash);
    return db_write($db, static function () use ($db, $name, $hash, $by): bool {
        $query = $db->prepare('UPDATE operators SET password_hash = ? WHERE name = ?');
        $query->execute([$hash, $name]);
        $existed = $query->rowCount() > 0;
        if (!$existed) {
            $db->prepare('INSERT INTO operators (name, password_hash, created_at) VALUES (?, ?, ?)')
                ->execute([$name, $hash, db_time()]);
        }
        // A new password ends the sessions signed in with the old one.
        $db->prepare('DELETE FROM sessions WHERE operator = ?')->execute([$name]);
        audit_add($db, $by, $existed ? 'operator-password' : 'operator-add', null, "operator $name");
        return !$existed;
    });
}

// Removes an account and ends its sessions; false when there was none.
function operator_remove(PDO $db, string $name, string $by): bool
{
    return db_write($db, static function () use ($db, $name, $by): bool {
        $query = $db->prepare('DELETE FROM operators WHERE name = ?');
        $query->execute([$name]);
        if ($query->rowCount() === 0) {
            return false;
        }
        $db->prepare('DELETE FROM sessions WHERE operator = ?')->execute([$name]);
        audit_add($db, $by, 'operator-remove', null, "operator $name");
        return true;
    });
}

function operator_list(PDO $db): array
{
    return db_rows($db, 'SELECT name, created_at FROM operators ORDER BY name');
}

// ---- Secrets kept in the database ---------------------------------------------------------------------

function console_secret_get(PDO $db, string $name): ?string
{
    $rows = db_rows($db, 'SELECT value FROM console_secrets WHERE name = ?', [$name]);
    return $rows === [] ? null : (string)$rows[0]['value'];
}

// Stores a value ($replace false: only when there is none yet); one statement, no read before it.
function console_secret_put(PDO $db, string $name, string $value, bool $replace): void
{
    if (db_driver($db) === 'mysql') {
        $sql = 'INSERT INTO console_secrets (name, value) VALUES (?, ?) ON DUPLICATE KEY UPDATE value = '
            . ($replace ? 'VALUES(value)' : 'value');
    } else {
        $sql = 'INSERT INTO console_secrets (name, value) VALUES (?, ?) ON CONFLICT (name) DO '
            . ($replace ? 'UPDATE SET value = excluded.value' : 'NOTHING');
    }
    $db->prepare($sql)->execute([$name, $value]);
}

// The key of the sign-in form's tokens: 32 random bytes made on first use, kept in the database (which
// only the server's user and the operators' group can read).
function console_signin_secret(PDO $db): string
{
    $secret = console_secret_get($db, 'signin');
    if ($secret === null) {
        console_secret_put($db, 'signin', bin2hex(random_bytes(32)), false);
        $secret = (string)console_secret_get($db, 'signin');  // the first request's, if two raced
    }
    return $secret;
}

// The hash an unknown name's password is checked against: of a random text, with the same algorithm and
// options (cost) as $reference, a stored operator hash. Made once per algorithm and cost and kept, so
// a sign-in never spends the time of making it; without a reference, the one kept (or the default's).
function console_dummy_hash(PDO $db, ?string $reference): string
{
    $dummy = console_secret_get($db, 'dummy_hash');
    $want = $reference !== null ? password_get_info($reference) : null;
    if ($want !== null && ($want['algo'] === null || $want['algo'] === 0)) {
        $want = null;  // not a hash password_verify knows: no model
    }
    if ($dummy !== null && ($want === null || (password_get_info($dummy)['algo'] === $want['algo']
        && password_get_info($dummy)['options'] == $want['options']))) {
        return $dummy;
    }
    $dummy = password_hash(bin2hex(random_bytes(16)), $want['algo'] ?? PASSWORD_DEFAULT, $want['options'] ?? []);
    console_secret_put($db, 'dummy_hash', $dummy, true);
    return $dummy;
}

// ---- Throttling -------------------------------------------------------------------------------------

function throttle_subjects(string $name, string $address): array
{
    return ['account:' . mb_safe_substr($name, 64) => CONSOLE_THROTTLE_ACCOUNT,
        'address:' . throttle_address_key($address) => CONSOLE_THROTTLE_ADDRESS];
}

// True when a sign-in for this account or from this address would be refused now (a read only; the
// sign-in itself decides in throttle_reserve).
function throttle_blocked(PDO $db, string $name, string $address, int $now): bool
{
    $since = db_time($now - CONSOLE_THROTTLE_WINDOW);
    foreach (throttle_subjects($name, $address) as $subject => $limit) {
        $rows = db_rows($db, 'SELECT failures FROM signin_failures WHERE subject = ? AND first_at > ?', [$subject, $since]);
        if ($rows !== [] && (int)$rows[0]['failures'] >= $limit) {
            return true;
        }
    }
    return false;
}

final class ThrottleReached extends RuntimeException
{
}

final class ThrottleBusy extends RuntimeException
{
}

// How long a sign-in waits for the tries being checked ahead of it before it counts as throttled, and
// how old a try in flight may get before it is taken for one whose worker died.
const CONSOLE_THROTTLE_WAIT_SECONDS = 5.0;
const CONSOLE_THROTTLE_PENDING_SECONDS = 30;

// One more failure of a subject, counted atomically (an upsert that takes the row's lock; a window that
// has passed starts again at one). Inside a write transaction.
function throttle_count_up(PDO $db, string $subject, int $now): void
{
    $since = db_time($now - CONSOLE_THROTTLE_WINDOW);
    if (db_driver($db) === 'mysql') {
        $db->prepare('INSERT INTO signin_failures (subject, failures, first_at) VALUES (?, 1, ?) ON DUPLICATE KEY UPDATE '
            . 'failures = IF(first_at > ?, failures + 1, 1), first_at = IF(first_at > ?, first_at, VALUES(first_at))')
            ->execute([$subject, db_time($now), $since, $since]);
        return;
    }
    $db->prepare('INSERT INTO signin_failures (subject, failures, first_at) VALUES (?, 1, ?) '
        . 'ON CONFLICT (subject) DO UPDATE SET '
        . 'failures = CASE WHEN signin_failures.first_at > ? THEN signin_failures.failures + 1 ELSE 1 END, '
        . 'first_at = CASE WHEN signin_failures.first_at > ? THEN signin_failures.first_at ELSE excluded.first_at END')
        ->execute([$subject, db_time($now), $since, $since]);
}

// A subject's row brought up to date under its lock (a window that has passed starts again; tries in
// flight for too long are forgotten); returns [failures, tries in flight]. Inside a write transaction.
function throttle_row(PDO $db, string $subject, int $now): array
{
    $since = db_time($now - CONSOLE_THROTTLE_WINDOW);
    $stale = db_time($now - CONSOLE_THROTTLE_PENDING_SECONDS);
    if (db_driver($db) === 'mysql') {
        $db->prepare('INSERT INTO signin_failures (subject, failures, first_at, pending) VALUES (?, 0, ?, 0) '
            . 'ON DUPLICATE KEY UPDATE failures = IF(first_at > ?, failures, 0), '
            . 'first_at = IF(first_at > ?, first_at, VALUES(first_at)), '
            . 'pending = IF(pending_at > ?, pending, 0)')
            ->execute([$subject, db_time($now), $since, $since, $stale]);
        $rows = db_rows($db, 'SELECT failures, pending FROM signin_failures WHERE subject = ?', [$subject]);
    } else {
        $rows = db_rows($db, 'INSERT INTO signin_failures (subject, failures, first_at, pending) VALUES (?, 0, ?, 0) '
            . 'ON CONFLICT (subject) DO UPDATE SET '
            . 'failures = CASE WHEN signin_failures.first_at > ? THEN signin_failures.failures ELSE 0 END, '
            . 'first_at = CASE WHEN signin_failures.first_at > ? THEN signin_failures.first_at ELSE excluded.first_at END, '
            . 'pending = CASE WHEN signin_failures.pending_at > ? THEN signin_failures.pending ELSE 0 END '
            . 'RETURNING failures, pending', [$subject, db_time($now), $since, $since, $stale]);
    }
    return [(int)($rows[0]['failures'] ?? PHP_INT_MAX), (int)($rows[0]['pending'] ?? 0)];
}

// Admits a try to the password check, in one transaction with the check of the limits: a subject with
// its limit of failures in the window refuses it; one whose failures and tries in flight together reach
// the limit makes it wait (bounded) until those have been judged, since each of them may be a failure.
// So however many tries run at once, at most the limit of wrong ones are ever checked in a window, and
// right passwords that arrive together are all let in, one group after another. False: throttled.
function throttle_reserve(PDO $db, string $name, string $address, int $now): bool
{
    $deadline = microtime(true) + CONSOLE_THROTTLE_WAIT_SECONDS;
    for (;;) {
        try {
            return db_write($db, static function () use ($db, $name, $address, $now): bool {
                $subjects = throttle_subjects($name, $address);
                foreach ($subjects as $subject => $limit) {
                    [$failures, $pending] = throttle_row($db, $subject, $now);
                    if ($failures >= $limit) {
                        throw new ThrottleReached($subject);
                    }
                    if ($failures + $pending >= $limit) {
                        throw new ThrottleBusy($subject);  // rolls this try's changes back
                    }
                }
                $db->prepare('UPDATE signin_failures SET pending = pending + 1, pending_at = ? WHERE subject IN (?, ?)')
                    ->execute(array_merge([db_time($now)], array_keys($subjects)));
                return true;
            });
        } catch (ThrottleReached) {
            return false;
        } catch (ThrottleBusy) {
            if (microtime(true) >= $deadline) {
                return false;
            }
            usleep(random_int(10000, 30000));  // the tries ahead take one password check each
        }
    }
}

// The end of an admitted try: no longer in flight, and counted as a failure when it was one.
function throttle_settle(PDO $db, string $name, string $address, bool $failed): void
{
    $subjects = array_keys(throttle_subjects($name, $address));
    db_write($db, static function () use ($db, $subjects, $failed): void {
        $db->prepare('UPDATE signin_failures SET pending = CASE WHEN pending > 0 THEN pending - 1 ELSE 0 END'
            . ($failed ? ', failures = failures + 1' : '') . ' WHERE subject IN (?, ?)')
            ->execute($subjects);
    });
}

// Kept for callers that count a failure after the fact (one transaction, atomic).
function throttle_fail(PDO $db, string $name, string $address, int $now): void
{
    db_write($db, static function () use ($db, $name, $address, $now): void {
        foreach (array_keys(throttle_subjects($name, $address)) as $subject) {
            throttle_count_up($db, $subject, $now);
        }
    });
}

// ---- Sign-in and sessions ---------------------------------------------------------------------------

// 'ok' with the new session's cookie value, 'throttled' or 'wrong' (unknown account or wrong password:
// the page says the same for both, after the same work).
function console_sign_in(PDO $db, string $name, string $password, string $address, ?int $now = null): array
{
    $now ??= time();
    if (!throttle_reserve($db, $name, $address, $now)) {
        return ['result' => 'throttled'];
    }
    // The account's hash and a stored one to model the dummy on, in one read that is closed before the
    // password is checked (an open read would hold its snapshot through the check).
    $hash = null;
    $reference = null;
    foreach (db_rows($db, 'SELECT name, password_hash FROM operators WHERE name = ? '
        . 'OR name = (SELECT MIN(name) FROM operators)', [$name]) as $row) {
        if ($row['name'] === $name) {
            $hash = (string)$row['password_hash'];
        } else {
            $reference = (string)$row['password_hash'];
        }
    }
    // The same work for an unknown account (a hash of the same cost), so neither the answer nor its time
    // tells which accounts exist.
    $dummy = console_dummy_hash($db, $reference ?? $hash);
    $valid = password_verify($password, $hash ?? $dummy);
    if ($hash === null || !$valid) {
        throttle_settle($db, $name, $address, true);
        return ['result' => 'wrong'];
    }
    $token = bin2hex(random_bytes(32));
    $subjects = array_keys(throttle_subjects($name, $address));
    db_write($db, static function () use ($db, $subjects, $name, $token, $now): void {
        // A right password is no failure: the try is only no longer in flight.
        $db->prepare('UPDATE signin_failures SET pending = CASE WHEN pending > 0 THEN pending - 1 ELSE 0 END '
            . 'WHERE subject IN (?, ?)')->execute($subjects);
        $db->prepare('DELETE FROM sessions WHERE last_seen < ? OR created_at < ?')
            ->execute([db_time($now - 86400), db_time($now - CONSOLE_SESSION_MAX_SECONDS)]);
        $db->prepare('INSERT INTO sessions (id_hash, operator, csrf, created_at, last_seen) VALUES (?, ?, ?, ?, ?)')
            ->execute([hash('sha256', $token), $name, bin2hex(random_bytes(32)), db_time($now), db_time($now)]);
    });
    return ['result' => 'ok', 'token' => $token];
}

// The session of a cookie value (operator, csrf), refreshed; null when unknown, idle too long or too old.
function console_session(PDO $db, ?string $token, int $idle_minutes, ?int $now = null): ?array
{
    if (!is_string($token) || preg_match('/^[0-9a-f]{64}$/D', $token) !== 1) {
        return null;
    }
    $now ??= time();
    $id = hash('sha256', $token);
    $rows = db_rows($db, 'SELECT s.operator, s.csrf, s.created_at, s.last_seen FROM sessions s '
        . 'JOIN operators o ON o.name = s.operator WHERE s.id_hash = ?', [$id]);
    if ($rows === []) {
        return null;
    }
    $session = $rows[0];
    // Single statements from here, each waiting for the write lock; the read above is closed.
    if ($session['last_seen'] < db_time($now - $idle_minutes * 60)
        || $session['created_at'] < db_time($now - CONSOLE_SESSION_MAX_SECONDS)) {
        $db->prepare('DELETE FROM sessions WHERE id_hash = ?')->execute([$id]);
        return null;
    }
    if ($session['last_seen'] !== db_time($now)) {
        $db->prepare('UPDATE sessions SET last_seen = ? WHERE id_hash = ?')->execute([db_time($now), $id]);
    }
    return ['operator' => $session['operator'], 'csrf' => $session['csrf'], 'id_hash' => $id];
}

function console_sign_out(PDO $db, string $id_hash): void
{
    $db->prepare('DELETE FROM sessions WHERE id_hash = ?')->execute([$id_hash]);
}

// ---- Cookies, forms and request text ----------------------------------------------------------------

// A cookie's name as this request uses it: __Host-NAME over HTTPS, NAME over plain HTTP.
function console_cookie_name(string $name, bool $https): string
{
    return ($https ? CONSOLE_HOST_PREFIX : '') . $name;
}

// Our cookies as the browser sent them, read from the raw Cookie header (PHP's $_COOKIE keeps the first
// of two cookies of one name, and maps other names onto ours): [name => value] of those of $names
// present; null when one of them comes more than once (someone else set one: refused).
function console_cookies(string $header, array $names): ?array
{
    $found = [];
    foreach (explode(';', $header) as $pair) {
        $pair = trim($pair, " \t");
        if ($pair === '') {
            continue;
        }
        $eq = strpos($pair, '=');
        $name = trim($eq === false ? $pair : substr($pair, 0, $eq), " \t");
        if (!in_array($name, $names, true)) {
            continue;
        }
        if (array_key_exists($name, $found)) {
            return null;
        }
        $found[$name] = $eq === false ? '' : trim(substr($pair, $eq + 1), " \t\"");
    }
    return $found;
}

// The sign-in form's token for its cookie: the time it was made (12 hex digits) and an HMAC of both under the server's
// secret. Whoever can set the cookie cannot make the token that goes with it.
function console_signin_token(string $secret, string $cookie, int $now): string
{
    return sprintf('%012x', $now) . hash_hmac('sha256', "signin\n" . $cookie . "\n" . $now, $secret);
}

function console_signin_token_valid(string $secret, string $cookie, string $token, int $now): bool
{
    if (preg_match('/^[0-9a-f]{64}$/D', $cookie) !== 1 || preg_match('/^([0-9a-f]{12})[0-9a-f]{64}$/D', $token, $m) !== 1) {
        return false;
    }
    $issued = (int)hexdec($m[1]);
    if ($issued < $now - CONSOLE_SIGNIN_SECONDS || $issued > $now + 60) {
        return false;
    }
    return hash_equals(console_signin_token($secret, $cookie, $issued), $token);
}

// Whether a POST's Origin header allows it: none (the token decides), or exactly this request's scheme,
// host and port. `Origin: null` (sandboxed frames, some redirects) is refused.
function console_origin_ok(?string $origin, bool $https, string $host_header): bool
{
    if ($origin === null) {
        return true;
    }
    $parts = parse_url($origin);
    $own = parse_url(($https ? 'https' : 'http') . '://' . $host_header);
    if (!is_array($parts) || !is_array($own) || !isset($parts['scheme'], $parts['host'], $own['host'])
        || isset($parts['path']) || isset($parts['query']) || isset($parts['user'])) {
        return false;
    }
    $scheme = strtolower($parts['scheme']);
    $default = static fn (string $s) => $s === 'https' ? 443 : 80;
    return $scheme === ($https ? 'https' : 'http')
        && strtolower($parts['host']) === strtolower($own['host'])
        && ($parts['port'] ?? $default($scheme)) === ($own['port'] ?? $default($scheme));
}

// The first problem of a request's parameters (every GET and POST value must be one text, valid UTF-8
// without NUL), for the page to put in words: kind 'name' (a field's name), 'list' (a field given more
// than once or as a list) or 'value'; where 'query' or 'form'; the field's name (only when it is text
// that may be shown); fault 'nul' or 'utf8' (text_problem's two reasons). null when there is none.
function console_request_problem(array $get, array $post): ?array
{
    $fault = static fn (string $text): ?string
        => text_problem($text) === null ? null : (str_contains($text, "\0") ? 'nul' : 'utf8');
    foreach (['query' => $get, 'form' => $post] as $where => $values) {
        foreach ($values as $key => $value) {
            $key = (string)$key;
            if (($problem = $fault($key)) !== null) {
                return ['kind' => 'name', 'where' => $where, 'field' => '', 'fault' => $problem];
            }
            if (!is_string($value)) {
                return ['kind' => 'list', 'where' => $where, 'field' => $key, 'fault' => null];
            }
            if (($problem = $fault($value)) !== null) {
                return ['kind' => 'value', 'where' => $where, 'field' => $key, 'fault' => $problem];
            }
        }
    }
    return null;
}
