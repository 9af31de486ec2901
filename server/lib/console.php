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
// - every form carries a token of its session (sign-in: of a short-lived cookie of its own); a POST
//   without the right token, or with another site's Origin, is refused;
// - failed sign-ins are counted per account and per address over 15 minutes: from the 5th on an account,
//   or the 20th from an address, every sign-in there is refused, even with the right password, until
//   the window has passed.
declare(strict_types=1);

require_once __DIR__ . '/device_queue.php';

const CONSOLE_COOKIE = 'qm_session';
const CONSOLE_SIGNIN_COOKIE = 'qm_signin';
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
    $hash = password_hash($password, PASSWORD_DEFAULT);
    $db->beginTransaction();
    try {
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
        $db->commit();
        return !$existed;
    } catch (Throwable $e) {
        $db->rollBack();
        throw $e;
    }
}

// Removes an account and ends its sessions; false when there was none.
function operator_remove(PDO $db, string $name, string $by): bool
{
    $db->beginTransaction();
    try {
        $query = $db->prepare('DELETE FROM operators WHERE name = ?');
        $query->execute([$name]);
        if ($query->rowCount() === 0) {
            $db->rollBack();
            return false;
        }
        $db->prepare('DELETE FROM sessions WHERE operator = ?')->execute([$name]);
        audit_add($db, $by, 'operator-remove', null, "operator $name");
        $db->commit();
        return true;
    } catch (Throwable $e) {
        $db->rollBack();
        throw $e;
    }
}

function operator_list(PDO $db): array
{
    return $db->query('SELECT name, created_at FROM operators ORDER BY name')->fetchAll();
}

// ---- Throttling -------------------------------------------------------------------------------------

function throttle_subjects(string $name, string $address): array
{
    return ['account:' . substr($name, 0, 64) => CONSOLE_THROTTLE_ACCOUNT, 'address:' . $address => CONSOLE_THROTTLE_ADDRESS];
}

// True when a sign-in for this account or from this address must be refused without looking further.
function throttle_blocked(PDO $db, string $name, string $address, int $now): bool
{
    $since = db_time($now - CONSOLE_THROTTLE_WINDOW);
    $query = $db->prepare('SELECT failures FROM signin_failures WHERE subject = ? AND first_at > ?');
    foreach (throttle_subjects($name, $address) as $subject => $limit) {
        $query->execute([$subject, $since]);
        if ((int)$query->fetchColumn() >= $limit) {
            return true;
        }
    }
    return false;
}

function throttle_fail(PDO $db, string $name, string $address, int $now): void
{
    $since = db_time($now - CONSOLE_THROTTLE_WINDOW);
    $db->beginTransaction();
    try {
        foreach (array_keys(throttle_subjects($name, $address)) as $subject) {
            // A window that has passed starts again at one.
            $query = $db->prepare('UPDATE signin_failures SET failures = failures + 1 WHERE subject = ? AND first_at > ?');
            $query->execute([$subject, $since]);
            if ($query->rowCount() === 0) {
                $db->prepare('DELETE FROM signin_failures WHERE subject = ?')->execute([$subject]);
                $db->prepare('INSERT INTO signin_failures (subject, failures, first_at) VALUES (?, 1, ?)')
                    ->execute([$subject, db_time($now)]);
            }
        }
        $db->commit();
    } catch (Throwable $e) {
        $db->rollBack();
        throw $e;
    }
}

// ---- Sign-in and sessions ---------------------------------------------------------------------------

// 'ok' with the new session's cookie value, 'throttled' or 'wrong' (unknown account or wrong password:
// the page says the same for both).
function console_sign_in(PDO $db, string $name, string $password, string $address, ?int $now = null): array
{
    $now ??= time();
    if (throttle_blocked($db, $name, $address, $now)) {
        return ['result' => 'throttled'];
    }
    $query = $db->prepare('SELECT password_hash FROM operators WHERE name = ?');
    $query->execute([$name]);
    $hash = $query->fetchColumn();
    // The same work for an unknown account, so the answer time does not tell which accounts exist.
    $valid = password_verify($password, is_string($hash) ? $hash : '$2y$10$' . str_repeat('.', 53));
    if (!is_string($hash) || !$valid) {
        throttle_fail($db, $name, $address, $now);
        return ['result' => 'wrong'];
    }
    $db->prepare('DELETE FROM signin_failures WHERE subject = ?')->execute(['account:' . $name]);
    $token = bin2hex(random_bytes(32));
    $db->prepare('DELETE FROM sessions WHERE last_seen < ? OR created_at < ?')
        ->execute([db_time($now - 86400), db_time($now - CONSOLE_SESSION_MAX_SECONDS)]);
    $db->prepare('INSERT INTO sessions (id_hash, operator, csrf, created_at, last_seen) VALUES (?, ?, ?, ?, ?)')
        ->execute([hash('sha256', $token), $name, bin2hex(random_bytes(32)), db_time($now), db_time($now)]);
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
    $query = $db->prepare('SELECT s.operator, s.csrf, s.created_at, s.last_seen FROM sessions s '
        . 'JOIN operators o ON o.name = s.operator WHERE s.id_hash = ?');
    $query->execute([$id]);
    $session = $query->fetch();
    if ($session === false) {
        return null;
    }
    if ($session['last_seen'] < db_time($now - $idle_minutes * 60)
        || $session['created_at'] < db_time($now - CONSOLE_SESSION_MAX_SECONDS)) {
        $db->prepare('DELETE FROM sessions WHERE id_hash = ?')->execute([$id]);
        return null;
    }
    $db->prepare('UPDATE sessions SET last_seen = ? WHERE id_hash = ?')->execute([db_time($now), $id]);
    return ['operator' => $session['operator'], 'csrf' => $session['csrf'], 'id_hash' => $id];
}

function console_sign_out(PDO $db, string $id_hash): void
{
    $db->prepare('DELETE FROM sessions WHERE id_hash = ?')->execute([$id_hash]);
}
