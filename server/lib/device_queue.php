<?php
// The device log's queue. Writing each check to the database on its own costs a transaction per check,
// and concurrent writers queue up on the database's write lock. Instead the endpoint appends one line
// per check to a file in a local folder (microseconds) and one PHP worker at a time, the drainer, moves
// what has piled up into the database, many checks per transaction (device_log_write).
//
// Files in the folder:
//   queue            the checks not yet taken, one line each: "hwid time verdict address"
//   batch-<name>     the queue renamed by a drainer: written to the database, then deleted
// The one drainer holds a lock (flock) on the folder. The folder and its files are the web server's
// user's alone (0700, 0600); nothing in it is followed through a link, no lock is waited for longer than
// DEVICE_QUEUE_LOCK_WAIT_MS, and a batch the server did not write is never read.
// A drainer renames the queue and locks the batch before reading it. A writer locks the queue before
// appending and checks that the file it holds is still the queue; if a drainer renamed it meanwhile,
// it opens the new queue. So no line is written into a batch already read.
// A batch is written in slices, each marked in the database in its own transaction: a drainer that dies
// leaves its batch behind, and the next one skips the slices already written.
//
// At low traffic every check drains the queue right away, as if written directly. Under load one worker
// drains every DEVICE_QUEUE_PAUSE_MS while the others only append; a batch holds what arrived meanwhile.
declare(strict_types=1);

require_once __DIR__ . '/devices.php';

// The queue stops taking checks at this size (the database has refused writes for a long time): the
// checks are still answered, their log lines are lost and reported in the error log.
const DEVICE_QUEUE_MAX_BYTES = 32 * 1024 * 1024;
// Lines per transaction when a batch is written.
const DEVICE_QUEUE_SLICE_LINES = 5000;
// A drainer writes for at most this long, then leaves the rest to the next check (a PHP worker must not
// stay busy for long: the pool's terminate time-out is 15 s).
const DEVICE_QUEUE_DRAIN_SECONDS = 2.0;
// Under load, the pause between two drains: batches of a few hundred checks instead of one each.
const DEVICE_QUEUE_PAUSE_MS = 50;
// The longest wait for a lock on a file of the queue: a check never waits for longer than a moment.
const DEVICE_QUEUE_LOCK_WAIT_MS = 50;
// A failure that repeats at every check is logged once in this many seconds.
const DEVICE_QUEUE_LOG_SECONDS = 60;

// The queue's folder, or null when checks are written directly (setting empty).
function device_queue_dir(array $config): ?string
{
    $dir = (string)$config['device_log_queue'];
    return $dir === '' ? null : rtrim($dir, '/');
}

// "hwid time verdict address": the verdict as b/n, no address as '-'.
function device_queue_line(string $hwid, string $time, bool $banned, ?string $address): string
{
    return $hwid . ' ' . $time . ' ' . ($banned ? 'b' : 'n') . ' ' . ($address ?? '-') . "\n";
}

// A line read back as [hwid, time, banned, address], or null when it is not one the writer makes (a line
// cut short by a worker that died mid-write, or a damaged file).
function device_queue_parse(string $line): ?array
{
    if (preg_match('/^([0-9a-f]{64}) (\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ) ([bn]) ([0-9a-f.:]{1,45}|-)\n$/D', $line, $m) !== 1) {
        return null;
    }
    return [$m[1], $m[2], $m[3] === 'b', $m[4] === '-' ? null : $m[4]];
}

// Files of the queue are the web server's user's alone: the folder belongs to it and nobody else may
// enter it (mode 0700), the files are 0600. A folder that is not like that is not used (the checks are
// written directly): anyone who could write there could plant a link that makes the server append to a
// file of its choice, or a batch of invented checks; anyone who could open the queue could hold its lock.
// Why the folder cannot be used as the queue, or null when it can (made 0700 when missing and its
// parent is ours).
function device_queue_refusal(string $dir): ?string
{
    clearstatcache(true, $dir);
    $st = @lstat($dir);
    if ($st === false && @mkdir($dir, 0700)) {
        clearstatcache(true, $dir);
        $st = @lstat($dir);
    }
    if ($st === false) {
        return 'the folder does not exist and cannot be made';
    }
    $euid = device_queue_euid();
    if (($st['mode'] & 0170000) === 0120000) {
        return 'the folder is a symbolic link';
    }
    if (($st['mode'] & 0170000) !== 0040000) {
        return 'it is not a folder';
    }
    if ($st['uid'] !== $euid) {
        return sprintf('the folder belongs to user %d, not to the server\'s user %d', $st['uid'], $euid);
    }
    if (($st['mode'] & 0077) !== 0) {
        return sprintf('others may use the folder (mode %04o; it must be 0700, the server\'s user\'s alone)',
            $st['mode'] & 07777);
    }
    return null;
}

function device_queue_euid(): int
{
    return function_exists('posix_geteuid') ? posix_geteuid() : getmyuid();
}

// Whether lstat() data describe a file of the queue as the server makes them: a regular file (no link,
// no device), with one name, the server's own, readable and writable by it only.
function device_queue_file_ours(array|false $st): bool
{
    return $st !== false && ($st['mode'] & 0170000) === 0100000 && $st['nlink'] === 1
        && $st['uid'] === device_queue_euid() && ($st['mode'] & 0777) === 0600;
}

// Opens a file of the queue without following a link: refused unless the name is a file of ours
// (device_queue_file_ours) before the open, and the file opened is that same file (device and inode)
// afterwards. $mode must not create a file ('rb', 'r+b': a name a drainer has just renamed away must
// not come back at the umask's mode). $create makes a missing file, 0600, and narrows the mode of one of
// ours that a version before this one made 0644 (in a folder that was already the server's alone). Null
// when refused or missing.
function device_queue_open(string $path, string $mode, bool $create = false)
{
    clearstatcache(true, $path);
    $before = @lstat($path);
    if ($before === false && $create) {
        $old = umask(0077);
        try {
            $made = @fopen($path, 'xb');  // fails when anything is there already
        } finally {
            umask($old);
        }
        if ($made !== false) {
            fclose($made);
        }
        clearstatcache(true, $path);
        $before = @lstat($path);
    }
    if ($create && $before !== false && !device_queue_file_ours($before)
        && ($before['mode'] & 0170000) === 0100000 && $before['nlink'] === 1
        && $before['uid'] === device_queue_euid() && @chmod($path, 0600)) {
        clearstatcache(true, $path);
        $before = @lstat($path);
    }
    if (!device_queue_file_ours($before)) {
        return null;
    }
    $file = @fopen($path, $mode);
    if ($file === false) {
        return null;
    }
    if (!device_queue_same(fstat($file), $before)) {  // replaced between the look and the open
        fclose($file);
        return null;
    }
    return $file;
}

function device_queue_same(array|false $a, array|false $b): bool
{
    return $a !== false && $b !== false && $a['dev'] === $b['dev'] && $a['ino'] === $b['ino'];
}

// Takes a lock without waiting longer than DEVICE_QUEUE_LOCK_WAIT_MS: a lock held by another process
// (a writer in the middle of its line, or anything that has the file open) costs a check at most that.
function device_queue_lock($file, int $operation): bool
{
    $give_up = microtime(true) + DEVICE_QUEUE_LOCK_WAIT_MS / 1000;
    while (!flock($file, $operation | LOCK_NB)) {
        if (microtime(true) >= $give_up) {
            return false;
        }
        usleep(1000);
    }
    return true;
}

// A line for the error log, at most once a minute for each $topic over all PHP workers of this user:
// a queue that keeps failing would otherwise write one line per check. The time of the last line is
// kept in a file per topic, in a folder of the system's temp folder that is this user's alone (checked
// as the queue's folder is; when it is not, each worker keeps its own minute). The admin command (one
// process, run by hand) reports what it finds each time it runs.
function device_queue_log(string $topic, string $text): void
{
    static $last = [];
    $now = time();
    if (($last[$topic] ?? 0) > $now - DEVICE_QUEUE_LOG_SECONDS) {
        return;
    }
    $last[$topic] = $now;
    if (PHP_SAPI === 'cli') {
        error_log('device log queue: ' . device_queue_visible($text));
        return;
    }
    $marks = sprintf('%s/quillmarsh-log-%d', rtrim(sys_get_temp_dir(), '/'), device_queue_euid());
    $mark = $marks . '/' . substr(hash('sha256', $topic), 0, 32);
    $file = device_queue_refusal($marks) === null ? device_queue_open($mark, 'r+b', true) : null;
    if ($file !== null) {
        try {
            if (!flock($file, LOCK_EX | LOCK_NB)) {
                return;  // another worker is writing this very line
            }
            $previous = (int)stream_get_contents($file);
            if ($previous > $now - DEVICE_QUEUE_LOG_SECONDS && $previous <= $now) {
                return;
            }
            ftruncate($file, 0);
            rewind($file);
            fwrite($file, (string)$now);
        } finally {
            fclose($file);
        }
    }
    error_log('device log queue: ' . device_queue_visible($text));
}

// A text for a log line or a terminal: control bytes, backslashes and bytes that are not printable
// ASCII as \xNN (file names in the queue's folder are not chosen by the server alone).
function device_queue_visible(string $text): string
{
    return preg_replace_callback('/[^\x20-\x5b\x5d-\x7e]/', static fn ($m) => sprintf('\x%02x', ord($m[0])), $text);
}

// Appends one check. False when it could not (the folder is not the server's alone, a file in it is not
// ours, the queue is locked for longer than a moment): the caller writes directly. A full queue (the
// database has refused the queue's writes for a long time) takes nothing more: true, the line is lost
// and reported (once a minute).
function device_queue_add(string $dir, string $line): bool
{
    $path = $dir . '/queue';
    for ($attempt = 0; $attempt < 5; $attempt++) {
        $file = device_queue_open($path, 'r+b', true);
        if ($file === null) {
            continue;  // a drainer took the queue between the look and the open; or it is not ours
        }
        try {
            $appended = device_queue_append($path, $file, $line);
        } finally {
            fclose($file);  // also releases the lock
        }
        if ($appended !== null) {
            return $appended;
        }
    }
    return false;
}

// The second half of an append, on a file opened as the queue: null when a drainer has taken that file
// since (the caller opens the new queue), else whether the line was written.
function device_queue_append(string $path, $file, string $line): ?bool
{
    if (!device_queue_lock($file, LOCK_EX)) {
        return false;
    }
    $held = fstat($file);
    clearstatcache(true, $path);
    $named = @lstat($path);
    if (!device_queue_same($named, $held)) {
        return null;
    }
    // Opened without O_APPEND (which comes only with a mode that creates a missing file): the lock
    // orders the writers.
    fseek($file, 0, SEEK_END);
    if ($held['size'] > DEVICE_QUEUE_MAX_BYTES) {
        device_queue_log('full ' . $path, "the queue $path is full (the database has refused its writes for "
            . 'long): checks are answered, their log lines are lost');
        return true;
    }
    return fwrite($file, $line) === strlen($line);
}

// Moves the queue into the database; returns the checks written. $open gives the primary database
// connection (opened only when there is something to write). Without the lock (another worker drains)
// it returns at once, unless $wait_seconds asks to wait for that drainer (the console, before it reads).
function device_queue_drain(string $dir, callable $open, float $wait_seconds = 0.0): int
{
    $refusal = device_queue_refusal($dir);
    if ($refusal !== null) {
        throw new RuntimeException("not using the device log queue $dir: $refusal");
    }
    // The lock is on the folder itself: no lock file whose owner could shut out the web server's user.
    $lock = @fopen($dir, 'r');
    if ($lock === false || !device_queue_same(fstat($lock), @lstat($dir))) {
        throw new RuntimeException("cannot open the device log queue $dir");
    }
    $written = 0;
    $pause = DEVICE_QUEUE_PAUSE_MS / 1000;
    $deadline = microtime(true) + DEVICE_QUEUE_DRAIN_SECONDS - $pause;
    $give_up = microtime(true) + $wait_seconds;
    $db = null;
    try {
        while (true) {
            while (!flock($lock, LOCK_EX | LOCK_NB)) {
                if (microtime(true) >= $give_up) {
                    return $written;
                }
                usleep(10000);
            }
            $refused = false;
            try {
                while (($batches = device_queue_take($dir)) !== []) {
                    if ($batches === null) {  // a queue file that is not ours: left alone, reported
                        $refused = true;
                        break;
                    }
                    $started = microtime(true);
                    $db ??= $open();
                    $progress = false;
                    foreach ($batches as $batch) {
                        $done = device_queue_write_batch($db, $batch);
                        $written += max(0, $done);
                        $progress = $progress || $done >= 0;
                    }
                    if (!$progress || microtime(true) >= $deadline || !device_queue_pending($dir)) {
                        break;
                    }
                    // Under load: let the next batch fill up a little before taking it.
                    usleep((int)(max(0.0, $pause - (microtime(true) - $started)) * 1e6));
                }
            } finally {
                flock($lock, LOCK_UN);
            }
            // A check appended while this drainer held the lock found it taken and left its line to this
            // drainer: look once more now that the lock is free.
            if ($refused || !device_queue_pending($dir) || microtime(true) >= $deadline) {
                return $written;
            }
            $give_up = 0.0;
        }
    } finally {
        fclose($lock);
    }
}

function device_queue_pending(string $dir): bool
{
    clearstatcache(true, $dir . '/queue');
    return (int)@filesize($dir . '/queue') > 0;
}

// The name of a batch as device_queue_take makes it.
const DEVICE_QUEUE_BATCH_NAME = '/^batch-\d{14}-[A-Za-z0-9.-]{0,40}-\d{1,10}-[0-9a-f]{12}$/D';

// The batches to write (the drainer holds the lock): those a drainer that died left behind, oldest
// first; if there are none, the queue, renamed. Only files the server made are taken: a name of the
// server's pattern, a regular file of its own, 0600, with one name. Anything else is left where it is
// and reported (once a minute); null when the queue itself is such a file.
function device_queue_take(string $dir): ?array
{
    $left = [];
    foreach (@scandir($dir) ?: [] as $name) {
        if (!str_starts_with($name, 'batch-')) {
            continue;
        }
        clearstatcache(true, "$dir/$name");
        if (preg_match(DEVICE_QUEUE_BATCH_NAME, $name) === 1 && device_queue_file_ours(@lstat("$dir/$name"))) {
            $left[] = "$dir/$name";
        } else {
            device_queue_log('foreign ' . $dir, "not reading $dir/$name: the server did not write it "
                . '(a link, another owner, another mode or name); remove it');
        }
    }
    if ($left !== []) {
        sort($left);
        return $left;
    }
    clearstatcache(true, $dir . '/queue');
    $queue = @lstat($dir . '/queue');
    if ($queue === false || $queue['size'] === 0) {
        return [];
    }
    if (!device_queue_file_ours($queue)) {
        device_queue_log('queue ' . $dir, sprintf('not reading %s/queue: not a file of the server\'s own '
            . '(mode %o, owner %d, %d names)', $dir, $queue['mode'], $queue['uid'], $queue['nlink']));
        return null;
    }
    $host = preg_replace('/[^A-Za-z0-9.-]/', '', (string)gethostname());
    $batch = sprintf('%s/batch-%s-%s-%d-%s', $dir, gmdate('YmdHis'), substr($host, 0, 40), getmypid(),
        bin2hex(random_bytes(6)));
    if (!@rename($dir . '/queue', $batch)) {
        throw new RuntimeException("cannot rename $dir/queue");
    }
    return [$batch];
}

// Writes one batch in slices and deletes it; returns the checks written now, or -1 when the batch was
// left for later (a writer still holds it, or it cannot be opened as a file of ours).
function device_queue_write_batch(PDO $db, string $batch): int
{
    $file = device_queue_open($batch, 'rb');
    if ($file === null) {
        device_queue_log('open ' . dirname($batch), 'cannot open ' . $batch . ' as a file of the server\'s own');
        return -1;
    }
    $written = 0;
    try {
        // A writer that opened the queue just before the rename may hold its lock: its line comes in a
        // moment. A lock held longer (a writer stopped mid-line) leaves the batch to a later drain. Once
        // the lock was had, a writer that locks the file later finds it is no longer the queue and
        // leaves it alone, so the lock is not kept while the batch is written.
        if (!device_queue_lock($file, LOCK_EX)) {
            return -1;
        }
        flock($file, LOCK_UN);
        $name = basename($batch);
        $offset = 0;
        while (!feof($file)) {
            $checks = [];
            $start = $offset;
            while (count($checks) < DEVICE_QUEUE_SLICE_LINES && ($line = fgets($file, 4096)) !== false) {
                $offset += strlen($line);
                $check = device_queue_parse($line);
                if ($check === null) {
                    error_log("device log queue: skipped a damaged line in $name at byte " . ($offset - strlen($line)));
                    continue;
                }
                $checks[] = $check;
            }
            if ($checks !== [] && device_log_write($db, $checks, $name . '@' . $start)) {
                $written += count($checks);
            }
        }
        if (!@unlink($batch)) {
            // Written (each slice is marked): a later drain skips its slices and tries again.
            device_queue_log('unlink ' . dirname($batch), "cannot delete $batch");
        }
    } finally {
        fclose($file);
    }
    return $written;
}

// The endpoint's way to log a check: queued when a queue is set and takes it, else written directly
// (and the reason logged, once a minute). $open gives the primary database connection.
function device_log_check(array $config, callable $open, string $hwid, bool $banned, ?string $address): void
{
    $dir = device_queue_dir($config);
    if ($dir !== null) {
        $refusal = device_queue_refusal($dir);
        if ($refusal === null) {
            if (device_queue_add($dir, device_queue_line($hwid, db_time(), $banned, $address))) {
                device_queue_drain($dir, $open);
                return;
            }
            device_queue_log('append ' . $dir, "cannot append to $dir/queue (not a file of the server's own, "
                . 'or locked by another process); writing checks directly');
        } else {
            device_queue_log('refused ' . $dir, "not using the folder $dir: $refusal; writing checks directly");
        }
    }
    device_log_record($open(), $hwid, $banned, $address);
}

// Before the console reads the device log: what is queued is written first, so the console shows every
// check answered so far. A drainer at work (under load) writes what is queued within its next pause, so
// the console waits for it only briefly and then shows what is there.
function device_queue_catch_up(array $config, callable $open): void
{
    $dir = device_queue_dir($config);
    if ($dir !== null && is_dir($dir)) {
        try {
            device_queue_drain($dir, $open, 4 * DEVICE_QUEUE_PAUSE_MS / 1000);
        } catch (Throwable $e) {
            device_queue_log('catch up ' . $dir, 'not written before reading: ' . $e->getMessage());
        }
    }
}
