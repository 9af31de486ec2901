<?php
// The ban list and the signature check shared by the endpoint and the admin command.
declare(strict_types=1);

require_once __DIR__ . '/db.php';

const QUILLMARSH_HEX64 = '/^[0-9a-f]{64}$/D';

function is_hex64(mixed $value): bool
{
    return is_string($value) && preg_match(QUILLMARSH_HEX64, $value) === 1;
}

// HMAC-SHA256 of the 64 hex characters of the fingerprint under the deployment key, lower-case hex.
function hwid_signature(string $hwid, string $key): string
{
    return hash_hmac('sha256', $hwid, $key);
}

function hwid_signature_valid(string $hwid, string $sig, string $key): bool
{
    return hash_equals(hwid_signature($hwid, $key), $sig);  // constant time
}

// Why the endpoint must not answer with this key, or null when it may: an empty key signs nothing worth
// checking, and the public development key only on the development server.
function hwid_key_refusal(array $config): ?string
{
    $key = (string)$config['hwid_key'];
    if ($key === '') {
        return 'hwid_key is empty';
    }
    if ($key === QUILLMARSH_DEVELOPMENT_KEY && !$config['allow_development_key']) {
        return 'hwid_key is the public development key; set your own in config.local.php '
            . '(the same text as the shell build\'s QUILLMARSH_HWID_KEY)';
    }
    return null;
}

function bans_open(array $config): PDO
{
    return db_open($config);
}

// The connection for the endpoint's ban look-up: the read replica when one is configured (a ban
// reaches it after the replication delay, usually well under a second), else the database itself.
function bans_open_read(array $config): PDO
{
    $read = (string)$config['db_read_dsn'];
    return $read === '' ? db_open($config) : db_open(['db_dsn' => $read] + $config);
}

const BAN_REASON_MAX = 500;

// A ban is in force while it has no end or its end is later than now. An expired ban stays in the list
// (shown as expired) until it is lifted or replaced, and answers "not banned" everywhere.
function bans_is_banned(PDO $db, string $hwid, ?string $now = null): bool
{
    $query = $db->prepare('SELECT 1 FROM hwid_bans WHERE hwid = ? AND (expires_at IS NULL OR expires_at > ?)');
    $query->execute([$hwid, $now ?? db_time()]);
    return $query->fetchColumn() !== false;
}

// The ban row of a device (hwid, reason, banned_at, expires_at, banned_by) with 'state' added:
// 'permanent', 'until' or 'expired'; null when there is none.
function bans_get(PDO $db, string $hwid, ?string $now = null): ?array
{
    $query = $db->prepare('SELECT hwid, reason, banned_at, expires_at, banned_by FROM hwid_bans WHERE hwid = ?');
    $query->execute([$hwid]);
    $row = $query->fetch();
    return $row === false ? null : bans_with_state($row, $now ?? db_time());
}

function bans_with_state(array $row, string $now): array
{
    $row['state'] = $row['expires_at'] === null ? 'permanent' : ($row['expires_at'] > $now ? 'until' : 'expired');
    return $row;
}

// Adds or replaces a ban ($expires_at null: permanent) and records it in the audit, in one transaction.
function bans_add(PDO $db, string $hwid, string $reason, ?string $expires_at, string $operator): void
{
    $now = db_time();
    $db->beginTransaction();
    try {
        $db->prepare('DELETE FROM hwid_bans WHERE hwid = ?')->execute([$hwid]);
        $db->prepare('INSERT INTO hwid_bans (hwid, reason, banned_at, expires_at, banned_by) VALUES (?, ?, ?, ?, ?)')
            ->execute([$hwid, $reason, $now, $expires_at, $operator]);
        audit_add($db, $operator, 'ban', $hwid,
            ($expires_at === null ? 'permanent' : "until $expires_at") . ': ' . $reason, $now);
        $db->commit();
    } catch (Throwable $e) {
        $db->rollBack();
        throw $e;
    }
}

// Lifts a ban (an expired one too); true when there was one. Recorded in the audit.
function bans_remove(PDO $db, string $hwid, string $operator): bool
{
    db_begin_write($db);  // the old row is read under the write lock: no snapshot before the write
    try {
        $old = bans_get($db, $hwid);
        if ($old === null) {
            $db->rollBack();
            return false;
        }
        $db->prepare('DELETE FROM hwid_bans WHERE hwid = ?')->execute([$hwid]);
        audit_add($db, $operator, 'lift', $hwid, 'was ' . ban_state_text($old) . ': ' . $old['reason']);
        $db->commit();
        return true;
    } catch (Throwable $e) {
        $db->rollBack();
        throw $e;
    }
}

function bans_list(PDO $db, ?string $now = null): array
{
    $now ??= db_time();
    $rows = $db->query('SELECT hwid, reason, banned_at, expires_at, banned_by FROM hwid_bans ORDER BY banned_at, hwid')
        ->fetchAll();
    return array_map(static fn (array $row) => bans_with_state($row, $now), $rows);
}

// "permanent", "until <time>" or "expired <time>".
function ban_state_text(array $ban): string
{
    return $ban['state'] === 'permanent' ? 'permanent' : $ban['state'] . ' ' . $ban['expires_at'];
}

// A ban end given by an operator ("2025-06-01 18:00", "2025-06-01T18:00:30", "...Z"), read as UTC, in the
// stored form; null when it is not a valid time.
function ban_end_parse(string $text): ?string
{
    $text = trim($text);
    if (preg_match('/^(\d{4})-(\d{2})-(\d{2})[T ](\d{2}):(\d{2})(?::(\d{2}))?Z?$/D', $text, $m) !== 1) {
        return null;
    }
    [$year, $month, $day, $hour, $minute] = array_map('intval', array_slice($m, 1, 5));
    $second = isset($m[6]) && $m[6] !== '' ? (int)$m[6] : 0;
    if (!checkdate($month, $day, $year) || $hour > 23 || $minute > 59 || $second > 59) {
        return null;
    }
    return db_time(gmmktime($hour, $minute, $second, $month, $day, $year));
}

function audit_add(PDO $db, string $operator, string $action, ?string $hwid, string $detail, ?string $at = null): void
{
    $db->prepare('INSERT INTO audit (at, operator, action, hwid, detail) VALUES (?, ?, ?, ?, ?)')
        ->execute([$at ?? db_time(), $operator, $action, $hwid, mb_safe_substr($detail, 1000)]);
}

// At most $bytes bytes of UTF-8 text, never cutting a character in two.
function mb_safe_substr(string $text, int $bytes): string
{
    if (strlen($text) <= $bytes) {
        return $text;
    }
    $cut = substr($text, 0, $bytes);
    while ($cut !== '' && (ord($cut[strlen($cut) - 1]) & 0xC0) === 0x80) {
        $cut = substr($cut, 0, -1);
    }
    if ($cut !== '' && ord($cut[strlen($cut) - 1]) >= 0xC0) {
        $cut = substr($cut, 0, -1);  // a lead byte whose continuation was cut off
    }
    return $cut;
}
