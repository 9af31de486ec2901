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

// One correctly signed check, written at once: the device's row and its row of the day, in one
// transaction (one commit). The endpoint normally goes through the queue (device_queue.php), which
// writes many checks per commit; this is its fallback and the command line's way.
function device_log_record(PDO $db, string $hwid, bool $banned, ?string $address, ?string $now = null): void
{
    device_log_write($db, [[$hwid, $now ?? db_time(), $banned, $address]]);
}

// Writes checks ([hwid, time, banned, address], in the order they were answered) in one transaction:
// every device's row counts its checks and keeps the latest time, address and verdict, every device's
// day row counts that day's. Checks arrive late or out of order (from a queue that waited for the
// database): a row keeps the later of its time and theirs. $marker (optional) names this write: a
// write whose marker is already recorded was done before and is skipped, so a queue slice applied
// just before its writer died is not counted twice. Returns false when it was skipped.
function device_log_write(PDO $db, array $checks, ?string $marker = null): bool
{
    $devices = [];
    $days = [];
    foreach ($checks as [$hwid, $time, $banned, $address]) {
        $verdict = $banned ? 'banned' : 'not banned';
        $device = &$devices[$hwid];
        if ($device === null) {
            $device = [$hwid, $time, $time, 0, $address, $verdict];
        }
        $device[3]++;
        if ($time >= $device[2]) {
            [$device[2], $device[4], $device[5]] = [$time, $address, $verdict];
        }
        $device[1] = min($device[1], $time);
        unset($device);
        $day = &$days[$hwid . substr($time, 0, 10)];
        $day ??= [$hwid, substr($time, 0, 10), 0, $verdict];
        $day[2]++;
        $day[3] = $verdict;
        unset($day);
    }
    if (db_driver($db) === 'sqlite') {
        db_sqlite_log_writer($db);
    }
    // PDO's own transaction: a request that ends inside it (a fatal error) leaves its reused connection
    // rolled back, not holding a write lock.
    $db->beginTransaction();
    try {
        if ($marker !== null && db_driver($db) === 'pgsql') {
            // A slice of the queue does not wait for PostgreSQL's disk flush (the queue file it came from
            // is not flushed either): a crash of the database or the machine can lose the checks of its
            // last fraction of a second, never a ban (written elsewhere, with durable commits).
            $db->exec('SET LOCAL synchronous_commit = off');
        }
        if ($marker !== null) {
            // The transaction's first statement writes: on SQLite a read first would take a snapshot, and
            // a write after it fails at once (no lock wait) when another connection committed meanwhile.
            $mark = $db->prepare((db_driver($db) === 'mysql' ? 'INSERT IGNORE' : 'INSERT')
                . ' INTO device_log_writes (marker, written_at) VALUES (?, ?)'
                . (db_driver($db) === 'mysql' ? '' : ' ON CONFLICT (marker) DO NOTHING'));
            $mark->execute([$marker, db_time()]);
            if ($mark->rowCount() === 0) {  // written before
                $db->rollBack();
                return false;
            }
        }
        foreach (array_chunk(array_values($devices), DEVICE_LOG_ROWS_PER_STATEMENT) as $rows) {
            device_log_upsert($db, 'devices', $rows);
        }
        foreach (array_chunk(array_values($days), DEVICE_LOG_ROWS_PER_STATEMENT) as $rows) {
            device_log_upsert($db, 'device_days', $rows);
        }
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
    return true;
}

// Rows per statement: one statement writes many rows (parameters: 6 per row, far below the limits of
// SQLite (32,766) and PostgreSQL (65,535)).
const DEVICE_LOG_ROWS_PER_STATEMENT = 500;

// One multi-row upsert. In a row that exists, the counts add up and the latest time wins; every
// assignment reads the row as it was (MySQL reads the columns already assigned: last_seen goes last).
function device_log_upsert(PDO $db, string $table, array $rows): void
{
    $driver = db_driver($db);
    $width = count($rows[0]);
    $values = implode(', ', array_fill(0, count($rows), '(' . implode(', ', array_fill(0, $width, '?')) . ')'));
    if ($table === 'devices') {
        $sql = 'INSERT INTO devices (hwid, first_seen, last_seen, checks, last_address, last_verdict) VALUES ' . $values;
        if ($driver === 'mysql') {
            $newer = 'VALUES(last_seen) >= last_seen';
            $sql .= ' ON DUPLICATE KEY UPDATE checks = checks + VALUES(checks), '
                . "last_address = IF($newer, VALUES(last_address), last_address), "
                . "last_verdict = IF($newer, VALUES(last_verdict), last_verdict), "
                . 'first_seen = LEAST(first_seen, VALUES(first_seen)), last_seen = GREATEST(last_seen, VALUES(last_seen))';
        } else {
            [$least, $greatest] = $driver === 'pgsql' ? ['LEAST', 'GREATEST'] : ['MIN', 'MAX'];
            $newer = 'excluded.last_seen >= devices.last_seen';
            $sql .= ' ON CONFLICT (hwid) DO UPDATE SET checks = devices.checks + excluded.checks, '
                . "last_address = CASE WHEN $newer THEN excluded.last_address ELSE devices.last_address END, "
                . "last_verdict = CASE WHEN $newer THEN excluded.last_verdict ELSE devices.last_verdict END, "
                . "first_seen = $least(devices.first_seen, excluded.first_seen), "
                . "last_seen = $greatest(devices.last_seen, excluded.last_seen)";
        }
    } else {
        $sql = 'INSERT INTO device_days (hwid, day, checks, last_verdict) VALUES ' . $values
            . ($driver === 'mysql'
                ? ' ON DUPLICATE KEY UPDATE checks = checks + VALUES(checks), last_verdict = VALUES(last_verdict)'
                : ' ON CONFLICT (hwid, day) DO UPDATE SET checks = device_days.checks + excluded.checks, '
                    . 'last_verdict = excluded.last_verdict');
    }
    $db->prepare($sql)->execute(array_merge(...array_map('array_values', $rows)));
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
    $deleted += $query->rowCount();
    // The queue's write markers only need to outlive a writer that died mid-write: a day is plenty.
    $db->prepare('DELETE FROM device_log_writes WHERE written_at < ?')->execute([db_time(($now ?? time()) - 86400)]);
    return $deleted;
}

// A place in the device list: [last_seen, hwid] of a row, written "TIME.HWID" in links; null when the
// text is not one.
function devices_cursor_parse(string $text): ?array
{
    if (preg_match('/^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)\.([0-9a-f]{64})$/D', $text, $m) !== 1) {
        return null;
    }
    return [$m[1], $m[2]];
}

function devices_cursor_text(array $row): string
{
    return $row['last_seen'] . '.' . $row['hwid'];
}

// What a search text means: a fingerprint prefix (hex only, up to 64 characters) or an address prefix
// (digits, '.', ':' and hex). Both searches use an index: a prefix is the range [text, text + '~').
// Pages by key, never by OFFSET: the list is ordered by (last_seen, hwid), newest or oldest first, and a
// page is the $per_page rows after ($cursor ['after', last_seen, hwid]) or before (['before', ...]) a
// row, or the first page (null); each read is a range of the index devices_seen (schema 4), whatever
// the depth. Returns rows, total, kind, position (rows ahead of the first one shown; both counts stop
// at LIST_COUNT_CAP + 1) and more_after (rows follow the last one shown).
function devices_search(PDO $db, string $text, bool $newest_first, int $per_page, ?array $cursor = null,
    ?string $now = null): array
{
    $text = strtolower(trim($text));
    $where = [];
    $args = [];
    if ($text !== '') {
        $column = preg_match('/^[0-9a-f]{1,64}$/D', $text) === 1 ? 'd.hwid' : 'd.last_address';
        if ($column === 'd.last_address' && preg_match('/^[0-9a-f.:]{1,64}$/D', $text) !== 1) {
            return ['rows' => [], 'total' => 0, 'kind' => 'none', 'position' => 0, 'more_after' => false];
        }
        $where[] = "$column >= ? AND $column < ?";
        $args = [$text, $text . '~'];
    }
    $sql_where = static fn (array $more) => ($where === [] && $more === []) ? '' : 'WHERE ' . implode(' AND ', array_merge($where, $more));
    $count = static fn (array $more, array $more_args): int
        => db_count_capped($db, 'FROM devices d ' . $sql_where($more), array_merge($args, $more_args));
    $total = $count([], []);  // at most LIST_COUNT_CAP + 1
    $filter = $where;
    if ($text !== '' && $total > LIST_COUNT_CAP) {
        // Many devices match: walking the list's own index in order and skipping the others finds a
        // page after a few thousand rows at most, where the search column's index would have every
        // match read and sorted. (An expression of the column is not served by its index.)
        $filter = ["($column || '') >= ? AND ($column || '') < ?"];
    }
    // In the order shown, "ahead" is newer (newest first) or older (oldest first).
    [$ahead, $behind] = $newest_first ? ['>', '<'] : ['<', '>'];
    $backwards = $cursor !== null && $cursor[0] === 'before';
    $more = [];
    $more_args = [];
    if ($cursor !== null) {
        $more[] = '(d.last_seen, d.hwid) ' . ($backwards ? $ahead : $behind) . ' (?, ?)';
        $more_args = [$cursor[1], $cursor[2]];
    }
    $order = ($newest_first xor $backwards) ? 'DESC' : 'ASC';
    $conditions = array_merge($filter, $more);
    $rows = db_rows($db, 'SELECT d.hwid, d.first_seen, d.last_seen, d.checks, d.last_address, d.last_verdict, '
        . 'b.reason, b.banned_at, b.expires_at, b.banned_by '
        . 'FROM devices d LEFT JOIN hwid_bans b ON b.hwid = d.hwid ' . ($conditions === [] ? '' : 'WHERE ' . implode(' AND ', $conditions))
        . " ORDER BY d.last_seen $order, d.hwid $order LIMIT " . ($per_page + 1), array_merge($args, $more_args));
    $extra = count($rows) > $per_page;
    $rows = array_slice($rows, 0, $per_page);
    if ($backwards) {
        $rows = array_reverse($rows);
    }
    $position = 0;  // at most LIST_COUNT_CAP + 1 too
    if ($cursor !== null && $rows !== []) {
        $position = $count(['(d.last_seen, d.hwid) ' . $ahead . ' (?, ?)'], [$rows[0]['last_seen'], $rows[0]['hwid']]);
    }
    $now ??= db_time();
    $rows = array_map(static function (array $row) use ($now) {
        $row['ban'] = $row['banned_at'] === null ? null : bans_with_state($row, $now);
        return $row;
    }, $rows);
    $kind = $text === '' ? 'all' : (preg_match('/^[0-9a-f]{1,64}$/D', $text) === 1 ? 'fingerprint' : 'address');
    return ['rows' => $rows, 'total' => $total, 'kind' => $kind, 'position' => $position,
        'more_after' => $backwards ? $rows !== [] : $extra];
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
