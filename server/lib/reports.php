<?php
// Failure reports: a shell built to send them reports the final box of a failed run (which box, its text,
// the end of its launcher log) to report.php; the console shows them per code and day and per device.
// The body's contract is in docs/operators-guide.md; the failure codes are listed here and only here.
declare(strict_types=1);

require_once __DIR__ . '/bans.php';

// The largest body accepted, in bytes, and the limits on its parts (UTF-8 bytes after JSON decoding).
const REPORT_BODY_MAX = 16384;
const REPORT_TEXT_MAX = 4096;
const REPORT_LOG_LINES_MAX = 64;
const REPORT_LINE_MAX = 1000;
// The header that carries HMAC-SHA256 of the body's bytes under the deployment key, lower-case hex.
const REPORT_MAC_HEADER = 'X-Quillmarsh-Mac';
// PostgreSQL: the class of the advisory locks that serialise one device's reports (the second key is
// taken from the fingerprint).
const REPORT_PG_LOCK_CLASS = 0x5157_5250;  // "QWRP"

// The failure codes, one per kind of final box, in the order a run meets them. Not reported: a launcher
// folder that cannot be written (no log exists yet), an empty fingerprint (nothing to sign the report
// with) and the ban verdict (the server gave it).
function report_codes(): array
{
    return [
        'ban_check_failed',          // the ban check got no verdict
        'java17_failed',             // the built-in Java 17 could not be made ready
        'launcher_download_failed',  // the launcher jar could not be downloaded and none is there
        'launcher_digest_failed',    // the downloaded jar's digest could not be computed, none is there
        'client_start_failed',       // the launcher jar started on no Java
        'watchdog_timeout',          // the run did not finish in its time limit
        'unexpected_error',          // an unexpected error ended a thread of the shell
        'worker_start_failed',       // the thread that runs the launch could not be created
    ];
}

// Whether the server takes reports (config reports_enabled; off: report.php answers 404).
function reports_enabled(array $config): bool
{
    return (bool)$config['reports_enabled'];
}

// Why a decoded body is not a report, or null when it is one. $body is json_decode's result with objects
// as stdClass (a JSON object and a JSON array stay apart). The members, exactly these, all required:
// hwid and sig (64 lower-case hex), code (one of report_codes()), shell_version ("a.b.c.d", each part 1
// to 5 digits), windows_version ("major.minor.build", each 1 to 10 digits), text (1 to REPORT_TEXT_MAX
// bytes) and log (an array of at most REPORT_LOG_LINES_MAX strings of at most REPORT_LINE_MAX bytes,
// without line feeds or carriage returns). Every string valid UTF-8 without NUL.
function report_problem(mixed $body): ?string
{
    if (!$body instanceof stdClass) {
        return 'the body must be a JSON object';
    }
    $members = get_object_vars($body);
    $want = ['hwid', 'sig', 'code', 'shell_version', 'windows_version', 'text', 'log'];
    $keys = array_map('strval', array_keys($members));
    sort($keys);
    $sorted = $want;
    sort($sorted);
    if ($keys !== $sorted) {
        return 'the members must be exactly ' . implode(', ', $want);
    }
    foreach (['hwid', 'sig', 'code', 'shell_version', 'windows_version', 'text'] as $name) {
        if (!is_string($members[$name])) {
            return "$name must be a string";
        }
        $problem = text_problem($members[$name]);
        if ($problem !== null) {
            return "$name $problem";
        }
    }
    if (!is_hex64($members['hwid']) || !is_hex64($members['sig'])) {
        return 'hwid and sig must be 64 lower-case hex characters';
    }
    if (!in_array($members['code'], report_codes(), true)) {
        return 'unknown code';
    }
    if (preg_match('/^[0-9]{1,5}(\.[0-9]{1,5}){3}$/D', $members['shell_version']) !== 1) {
        return 'shell_version must be four numbers joined by dots';
    }
    if (preg_match('/^[0-9]{1,10}\.[0-9]{1,10}\.[0-9]{1,10}$/D', $members['windows_version']) !== 1) {
        return 'windows_version must be three numbers joined by dots';
    }
    $length = strlen($members['text']);
    if ($length < 1 || $length > REPORT_TEXT_MAX) {
        return 'text must have 1 to ' . REPORT_TEXT_MAX . ' bytes';
    }
    $log = $members['log'];
    if (!is_array($log) || !array_is_list($log)) {
        return 'log must be an array of strings';
    }
    if (count($log) > REPORT_LOG_LINES_MAX) {
        return 'log must have at most ' . REPORT_LOG_LINES_MAX . ' lines';
    }
    foreach ($log as $line) {
        if (!is_string($line)) {
            return 'log must be an array of strings';
        }
        $problem = text_problem($line);
        if ($problem !== null) {
            return "a log line $problem";
        }
        if (strlen($line) > REPORT_LINE_MAX || strpbrk($line, "\r\n") !== false) {
            return 'a log line must have at most ' . REPORT_LINE_MAX . ' bytes and no line break';
        }
    }
    return null;
}

// Stores a report unless its device has sent $per_day or more today (UTC); returns whether it was stored.
// The count and the insert are one short write transaction (SQLite: BEGIN IMMEDIATE; PostgreSQL: an
// advisory lock per device for the transaction), so reports sent at the same moment never pass the
// limit together. $report holds the members report_problem() accepted.
function report_store(PDO $db, array $report, int $per_day, ?int $now = null): bool
{
    $at = db_time($now);
    $day = substr($at, 0, 10);
    // The day's range on both ends: a clock set back must not count rows of a later day.
    $range = [$day . 'T00:00:00Z', gmdate('Y-m-d', (int)strtotime($day . 'T00:00:00Z') + 86400) . 'T00:00:00Z'];
    $driver = db_driver($db);
    if ($driver === 'sqlite') {
        // A lost report costs nothing: its commit need not wait for the disk (as the device log's).
        db_sqlite_log_writer($db);
    }
    return db_write($db, static function () use ($db, $driver, $report, $per_day, $at, $range): bool {
        if ($driver === 'pgsql') {
            // Waits for the device's other report (at most the lock wait), ends with the transaction.
            db_rows($db, 'SELECT pg_advisory_xact_lock(?, ?)',
                [REPORT_PG_LOCK_CLASS, (int)(hexdec(substr($report['hwid'], 0, 7)))]);
        }
        $lock = $driver === 'mysql' ? ' FOR UPDATE' : '';  // next-key locks on the index range
        $count = (int)db_rows($db, 'SELECT COUNT(*) AS n FROM failure_reports WHERE hwid = ? AND received_at >= ? '
            . 'AND received_at < ?' . $lock, [$report['hwid'], $range[0], $range[1]])[0]['n'];
        if ($count >= $per_day) {
            return false;
        }
        $db->prepare('INSERT INTO failure_reports (hwid, code, shell_version, windows_version, box_text, log_text, '
            . 'received_at) VALUES (?, ?, ?, ?, ?, ?, ?)')
            ->execute([$report['hwid'], $report['code'], $report['shell_version'], $report['windows_version'],
                $report['text'], implode("\n", $report['log']), $at]);
        return true;
    });
}

// Forgets reports received more than $days days before $now; returns how many. Deletes in slices of
// 1,000 rows, each its own statement, so no write holds the database for long.
function reports_prune(PDO $db, int $days, ?int $now = null): int
{
    $cut = db_time(($now ?? time()) - max(1, $days) * 86400);
    $deleted = 0;
    $query = $db->prepare('DELETE FROM failure_reports WHERE id IN '
        . '(SELECT id FROM failure_reports WHERE received_at < ? ORDER BY received_at LIMIT 1000)');
    do {
        $query->execute([$cut]);
        $slice = $query->rowCount();
        $deleted += $slice;
    } while ($slice > 0);
    return $deleted;
}

// Reports per code and day for the $days days up to today (UTC): rows ['day' => 'YYYY-MM-DD',
// 'code' => ..., 'count' => int], by day then code; only the pairs that have reports.
function reports_per_code_day(PDO $db, int $days, ?int $now = null): array
{
    $now ??= time();
    $first = gmdate('Y-m-d', $now - (max(1, $days) - 1) * 86400);
    $rows = db_rows($db, 'SELECT SUBSTR(received_at, 1, 10) AS day, code, COUNT(*) AS n FROM failure_reports '
        . 'WHERE received_at >= ? GROUP BY SUBSTR(received_at, 1, 10), code ORDER BY day, code', [$first . 'T00:00:00Z']);
    $last = gmdate('Y-m-d', $now);
    $result = [];
    foreach ($rows as $row) {
        if ($row['day'] <= $last) {
            $result[] = ['day' => $row['day'], 'code' => $row['code'], 'count' => (int)$row['n']];
        }
    }
    return $result;
}

// The latest reports, newest (highest id) first, optionally of one code and/or one device; at most
// $limit rows, those with an id below $before_id when given (the next page: the last row's id). Rows
// hold every column: id (int), hwid, code, shell_version, windows_version, box_text, log_text,
// received_at.
function reports_latest(PDO $db, ?string $code, ?string $hwid, int $limit, ?int $before_id = null): array
{
    $where = [];
    $args = [];
    if ($code !== null) {
        $where[] = 'code = ?';
        $args[] = $code;
    }
    if ($hwid !== null) {
        $where[] = 'hwid = ?';
        $args[] = $hwid;
    }
    if ($before_id !== null) {
        $where[] = 'id < ?';
        $args[] = $before_id;
    }
    $rows = db_rows($db, 'SELECT id, hwid, code, shell_version, windows_version, box_text, log_text, received_at '
        . 'FROM failure_reports ' . ($where === [] ? '' : 'WHERE ' . implode(' AND ', $where))
        . ' ORDER BY id DESC LIMIT ' . max(0, $limit), $args);
    return array_map('report_row', $rows);
}

// One report by id (every column, as reports_latest), or null.
function report_get(PDO $db, int $id): ?array
{
    $rows = db_rows($db, 'SELECT id, hwid, code, shell_version, windows_version, box_text, log_text, received_at '
        . 'FROM failure_reports WHERE id = ?', [$id]);
    return $rows === [] ? null : report_row($rows[0]);
}

// Reports received at or after $since (a stored time, 'YYYY-MM-DDTHH:MM:SSZ').
function reports_count_since(PDO $db, string $since): int
{
    return (int)db_rows($db, 'SELECT COUNT(*) AS n FROM failure_reports WHERE received_at >= ?', [$since])[0]['n'];
}

function report_row(array $row): array
{
    $row['id'] = (int)$row['id'];
    return $row;
}
