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

function bans_is_banned(PDO $db, string $hwid): bool
{
    $query = $db->prepare('SELECT 1 FROM hwid_bans WHERE hwid = ?');
    $query->execute([$hwid]);
    return $query->fetchColumn() !== false;
}

// Adds or updates a ban; the time is UTC.
function bans_add(PDO $db, string $hwid, string $reason): void
{
    $now = gmdate('Y-m-d\TH:i:s\Z');
    $db->beginTransaction();
    $db->prepare('DELETE FROM hwid_bans WHERE hwid = ?')->execute([$hwid]);
    $db->prepare('INSERT INTO hwid_bans (hwid, reason, banned_at) VALUES (?, ?, ?)')->execute([$hwid, $reason, $now]);
    $db->commit();
}

// True when a ban was removed.
function bans_remove(PDO $db, string $hwid): bool
{
    $query = $db->prepare('DELETE FROM hwid_bans WHERE hwid = ?');
    $query->execute([$hwid]);
    return $query->rowCount() > 0;
}

function bans_list(PDO $db): array
{
    return $db->query('SELECT hwid, reason, banned_at FROM hwid_bans ORDER BY banned_at, hwid')->fetchAll();
}
