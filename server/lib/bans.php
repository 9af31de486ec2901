<?php
// The ban list (PDO, any driver) and the signature check shared by the endpoint and the CLI tool.
declare(strict_types=1);

require_once __DIR__ . '/../config.php';

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

function bans_open(array $config): PDO
{
    $dsn = (string)$config['db_dsn'];
    if (str_starts_with($dsn, 'sqlite:')) {
        $file = substr($dsn, strlen('sqlite:'));
        $dir = dirname($file);
        if ($file !== ':memory:' && !is_dir($dir)) {
            mkdir($dir, 0770, true);
        }
    }
    $db = new PDO($dsn, $config['db_user'], $config['db_password'], [
        PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION,
        PDO::ATTR_DEFAULT_FETCH_MODE => PDO::FETCH_ASSOC,
    ]);
    // Plain types that SQLite, PostgreSQL and MySQL all take.
    $db->exec('CREATE TABLE IF NOT EXISTS hwid_bans ('
        . 'hwid VARCHAR(64) NOT NULL PRIMARY KEY, '
        . 'reason VARCHAR(500) NOT NULL, '
        . 'banned_at VARCHAR(32) NOT NULL)');
    return $db;
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
