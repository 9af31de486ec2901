<?php
// The device log: which devices sent a correctly signed check, when, how often, from which address and
// what they were answered. Written by the ban endpoint, read by the console.
declare(strict_types=1);

require_once __DIR__ . '/bans.php';

// The address as the configuration wants it kept: 'full', 'truncated' (IPv4 to its /24, IPv6 to its /48:
// enough to tell networks apart, not subscribers) or 'off' (null). Anything that is not an IP address is
// not kept.
function device_log_address(?string $address, string $mode): ?string
{
    if ($mode === 'off' || $address === null) {
        return null;
    }
    $binary = @inet_pton($address);
    if ($binary === false) {
        return null;
    }
    if ($mode === 'truncated') {
        $keep = strlen($binary) === 4 ? 3 : 6;
        $binary = substr($binary, 0, $keep) . str_repeat("\0", strlen($binary) - $keep);
    }
    return inet_ntop($binary);
}

// One correctly signed check: the device's row and its row of the day, in one transaction (one commit).
// Both statements are upserts on a primary key.
function device_log_record(PDO $db, string $hwid, bool $banned, ?string $address, ?string $now = null): void
{
    $now ??= db_time();
    $verdict = $banned ? 'banned' : 'not banned';
    $day = substr($now, 0, 10);
    if (db_driver($db) === 'mysql') {
        $device = 'INSERT INTO devices (hwid, first_seen, last_seen, checks, last_address, last_verdict) '
            . 'VALUES (?, ?, ?, 1, ?, ?) ON DUPLICATE KEY UPDATE last_seen = VALUES(last_seen), '
            . 'checks = checks + 1, last_address = VALUES(last_address), last_verdict = VALUES(last_verdict)';
        $daily = 'INSERT INTO device_days (hwid, day, checks, last_verdict) VALUES (?, ?, 1, ?) '
            . 'ON DUPLICATE KEY UPDATE checks = checks + 1, last_verdict = VALUES(last_verdict)';
    } else {  // SQLite 3.24+ (PostgreSQL: below)
        $device = 'INSERT INTO devices (hwid, first_seen, last_seen, checks, last_address, last_verdict) '
            . 'VALUES (?, ?, ?, 1, ?, ?) ON CONFLICT (hwid) DO UPDATE SET last_seen = excluded.last_seen, '
            . 'checks = devices.checks + 1, last_address = excluded.last_address, '
            . 'last_verdict = excluded.last_verdict';
        $daily = 'INSERT INTO device_days (hwid, day, checks, last_verdict) VALUES (?, ?, 1, ?) '
            . 'ON CONFLICT (hwid, day) DO UPDATE SET checks = device_days.checks + 1, '
            . 'last_verdict = excluded.last_verdict';
    }
    if (db_driver($db) === 'pgsql') {
        // One round trip instead of five (begin, two statements, commit): both upserts in one statement,
        // sent as one query with the setting that the commit need not wait for the disk flush. A crash
        // can lose the last fraction of a second of check counts, never a ban (written elsewhere, with
        // durable commits), and the database stays consistent. Several statements in one query run as
        // one transaction that is rolled back whole on an error. The values are quoted by the driver
        // (and are a checked fingerprint, times made here, a checked address and a fixed word).
        $q = static fn (?string $value): string => $value === null ? 'NULL' : $db->quote($value);
        $db->exec('SET LOCAL synchronous_commit = off; '
            . 'WITH device AS (INSERT INTO devices (hwid, first_seen, last_seen, checks, last_address, last_verdict) '
            . "VALUES ({$q($hwid)}, {$q($now)}, {$q($now)}, 1, {$q($address)}, {$q($verdict)}) "
            . 'ON CONFLICT (hwid) DO UPDATE SET last_seen = excluded.last_seen, checks = devices.checks + 1, '
            . 'last_address = excluded.last_address, last_verdict = excluded.last_verdict) '
            . 'INSERT INTO device_days (hwid, day, checks, last_verdict) '
            . "VALUES ({$q($hwid)}, {$q($day)}, 1, {$q($verdict)}) "
            . 'ON CONFLICT (hwid, day) DO UPDATE SET checks = device_days.checks + 1, '
            . 'last_verdict = excluded.last_verdict');
        return;
    }
    // PDO's own transaction: a request that ends inside it (a fatal error) leaves its reused connection
    // rolled back, not holding a write lock.
    $db->beginTransaction();
    try {
        $db->prepare($device)->execute([$hwid, $now, $now, $address, $verdict]);
        $db->prepare($daily)->execute([$hwid, $day, $verdict]);
        $db->commit();
    } catch (Throwable $e) {
        if ($db->inTransaction()) {
            $db->rollBack();
        }
        throw $e;
    }
    if (db_driver($db) === 'sqlite') {
        db_sqlite_wal_restart($db);
    }
}

// Forgets devices not seen for $days days and day rows older than that; returns the rows deleted.
function device_log_prune(PDO $db, int $days, ?int $now = null): int
{
    $cut = db_time(($now ?? time()) - max(1, $days) * 86400);
    $deleted = 0;
    $query = $db->prepare('DELETE FROM devices WHERE last_seen < ?');
    $query->execute([$cut]);
    $deleted += $query->rowCount();
    $query = $db->prepare('DELETE FROM device_days WHERE day < ?');
    $query->execute([substr($cut, 0, 10)]);
    return $deleted + $query->rowCount();
}

// What a search text means: a fingerprint prefix (hex only, up to 64 characters) or an address prefix
// (digits, '.', ':' and hex). Both searches use an index: a prefix is the range [text, text + '~').
function devices_search(PDO $db, string $text, int $page, bool $newest_first, int $per_page, ?string $now = null): array
{
    $text = strtolower(trim($text));
    $where = '';
    $args = [];
    if ($text !== '') {
        $column = preg_match('/^[0-9a-f]{1,64}$/D', $text) === 1 ? 'd.hwid' : 'd.last_address';
        if ($column === 'd.last_address' && preg_match('/^[0-9a-f.:]{1,64}$/D', $text) !== 1) {
            return ['rows' => [], 'total' => 0, 'kind' => 'none'];
        }
        $where = "WHERE $column >= ? AND $column < ?";
        $args = [$text, $text . '~'];
    }
    $count = $db->prepare("SELECT COUNT(*) FROM devices d $where");
    $count->execute($args);
    $total = (int)$count->fetchColumn();
    $order = $newest_first ? 'DESC' : 'ASC';
    $offset = max(0, $page - 1) * $per_page;
    $query = $db->prepare('SELECT d.hwid, d.first_seen, d.last_seen, d.checks, d.last_address, d.last_verdict, '
        . 'b.reason, b.banned_at, b.expires_at, b.banned_by '
        . "FROM devices d LEFT JOIN hwid_bans b ON b.hwid = d.hwid $where "
        . "ORDER BY d.last_seen $order, d.hwid LIMIT " . (int)$per_page . ' OFFSET ' . (int)$offset);
    $query->execute($args);
    $now ??= db_time();
    $rows = array_map(static function (array $row) use ($now) {
        $row['ban'] = $row['banned_at'] === null ? null : bans_with_state($row, $now);
        return $row;
    }, $query->fetchAll());
    $kind = $text === '' ? 'all' : (preg_match('/^[0-9a-f]{1,64}$/D', $text) === 1 ? 'fingerprint' : 'address');
    return ['rows' => $rows, 'total' => $total, 'kind' => $kind];
}

function device_get(PDO $db, string $hwid): ?array
{
    $query = $db->prepare('SELECT hwid, first_seen, last_seen, checks, last_address, last_verdict FROM devices WHERE hwid = ?');
    $query->execute([$hwid]);
    $row = $query->fetch();
    return $row === false ? null : $row;
}

// The device's days, newest first.
function device_history(PDO $db, string $hwid, int $limit = 60): array
{
    $query = $db->prepare('SELECT day, checks, last_verdict FROM device_days WHERE hwid = ? ORDER BY day DESC LIMIT '
        . (int)$limit);
    $query->execute([$hwid]);
    return $query->fetchAll();
}

// Checks per day for the $days days up to today (UTC), oldest first, days without checks as 0.
function checks_per_day(PDO $db, int $days, ?int $now = null): array
{
    $now ??= time();
    $result = [];
    for ($i = $days - 1; $i >= 0; $i--) {
        $result[gmdate('Y-m-d', $now - $i * 86400)] = 0;
    }
    $query = $db->prepare('SELECT day, SUM(checks) AS checks FROM device_days WHERE day >= ? GROUP BY day');
    $query->execute([array_key_first($result)]);
    foreach ($query->fetchAll() as $row) {
        if (isset($result[$row['day']])) {
            $result[$row['day']] = (int)$row['checks'];
        }
    }
    return $result;
}
