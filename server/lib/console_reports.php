<?php
// The console's reads of the failure reports (table failure_reports, written by the report endpoint):
// reports per code and day, the latest reports by page, one report, counts. Every read is a range of one
// of the table's indexes: (received_at), (hwid, received_at) or (code, received_at).
declare(strict_types=1);

require_once __DIR__ . '/reports.php';  // the codes, report_get, reports_count_since

// What a failure code may look like: short lower-case words joined by '_'. A stored code of another
// shape is still shown (escaped); only filters must have this one.
const REPORT_CODE = '/^[a-z][a-z0-9_]{0,47}$/D';

// Whether this database has the report table: a server whose code is newer than its schema (before
// `bin/bans.php migrate` has run) shows its pages without reports instead of failing. Asked once per
// request, by a read of no rows.
function reports_available(PDO $db): bool
{
    static $known = [];
    $id = spl_object_id($db);
    if (!isset($known[$id])) {
        try {
            db_rows($db, 'SELECT id FROM failure_reports WHERE id < 0');
            $known[$id] = true;
        } catch (PDOException $e) {
            // SQLite: "no such table"; PostgreSQL: 42P01 (undefined table). Anything else is a real failure.
            if ((string)($e->errorInfo[0] ?? '') !== '42P01' && stripos($e->getMessage(), 'no such table') === false) {
                throw $e;
            }
            $known[$id] = false;
        }
    }
    return $known[$id];
}

function is_report_code(mixed $code): bool
{
    return is_string($code) && preg_match(REPORT_CODE, $code) === 1;
}

// Reports per code and day for the $days days up to today (UTC): [day => [code => count]], oldest day
// first, every day present (an empty array when it had none), codes by count.
function reports_per_day(PDO $db, int $days, ?int $now = null): array
{
    $now ??= time();
    $result = [];
    for ($i = $days - 1; $i >= 0; $i--) {
        $result[gmdate('Y-m-d', $now - $i * 86400)] = [];
    }
    $rows = db_rows($db, 'SELECT substr(received_at, 1, 10) AS day, code, COUNT(*) AS reports FROM failure_reports '
        . 'WHERE received_at >= ? GROUP BY substr(received_at, 1, 10), code', [array_key_first($result) . 'T00:00:00Z']);
    foreach ($rows as $row) {
        if (isset($result[$row['day']])) {
            $result[$row['day']][(string)$row['code']] = (int)$row['reports'];
        }
    }
    foreach ($result as &$codes) {
        arsort($codes);
    }
    return $result;
}

// The codes of a per-day table, most reports first.
function reports_codes(array $per_day): array
{
    $totals = [];
    foreach ($per_day as $codes) {
        foreach ($codes as $code => $n) {
            $totals[$code] = ($totals[$code] ?? 0) + $n;
        }
    }
    uksort($totals, static fn ($a, $b) => [$totals[$b], (string)$a] <=> [$totals[$a], (string)$b]);
    return array_map('strval', array_keys($totals));
}

// A place in the report list: [received_at, id] of a row, written "TIME.ID" in links; null when the text
// is not one.
function reports_cursor_parse(string $text): ?array
{
    if (preg_match('/^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)\.([1-9]\d{0,17})$/D', $text, $m) !== 1) {
        return null;
    }
    return [$m[1], (int)$m[2]];
}

function reports_cursor_text(array $row): string
{
    return $row['received_at'] . '.' . (int)$row['id'];
}

// The latest reports, newest first (received_at, then id), optionally of one code and/or one device, by
// page: the $per_page rows after ($cursor ['after', received_at, id]) or before (['before', ...]) a row,
// or the first page (null). Never OFFSET: each read is a range of an index (the device's when a device is
// given: at most its reports of the retention time; else the code's, else the time's). Returns rows
// (id, received_at, hwid, code, shell_version, windows_version, box_text, log_text), total, position
// (rows ahead of the first one shown; both counts stop at LIST_COUNT_CAP + 1) and more_after.
function reports_list(PDO $db, ?string $code, ?string $hwid, int $per_page, ?array $cursor = null): array
{
    $where = [];
    $args = [];
    if ($hwid !== null) {
        $where[] = 'hwid = ?';
        $args[] = $hwid;
    }
    if ($code !== null) {
        $where[] = 'code = ?';
        $args[] = $code;
    }
    $backwards = $cursor !== null && $cursor[0] === 'before';
    $more = $where;
    $more_args = $args;
    if ($cursor !== null) {
        $more[] = '(received_at, id) ' . ($backwards ? '>' : '<') . ' (?, ?)';
        array_push($more_args, $cursor[1], $cursor[2]);
    }
    $order = $backwards ? 'ASC' : 'DESC';
    $rows = db_rows($db, 'SELECT id, received_at, hwid, code, shell_version, windows_version, box_text, log_text '
        . 'FROM failure_reports' . ($more === [] ? '' : ' WHERE ' . implode(' AND ', $more))
        . " ORDER BY received_at $order, id $order LIMIT " . ($per_page + 1), $more_args);
    $extra = count($rows) > $per_page;
    $rows = array_slice($rows, 0, $per_page);
    if ($backwards) {
        $rows = array_reverse($rows);
    }
    $sql_where = static fn (array $conditions) => $conditions === [] ? '' : ' WHERE ' . implode(' AND ', $conditions);
    $total = db_count_capped($db, 'FROM failure_reports' . $sql_where($where), $args);
    $position = 0;
    if ($cursor !== null && $rows !== []) {
        $position = db_count_capped($db, 'FROM failure_reports' . $sql_where([...$where, '(received_at, id) > (?, ?)']),
            [...$args, $rows[0]['received_at'], $rows[0]['id']]);
    }
    return ['rows' => $rows, 'total' => $total, 'position' => $position,
        'more_after' => $backwards ? $rows !== [] : $extra];
}
