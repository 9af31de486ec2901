<?php
// The device log's queue. Writing each check to the database on its own costs a transaction per check,
// and concurrent writers queue up on the database's write lock. Instead the endpoint appends one line
// per check to a file in a local folder (microseconds) and one PHP worker at a time, the drainer, moves
// what has piled up into the database, many checks per transaction (device_log_write).
//
// Files in the folder:
//   queue            the checks not yet taken, one line each: "hwid time verdict address"
//   batch-<name>     the queue renamed by a drainer: written to the database, then deleted
// The one drainer holds a lock (flock) on the folder.
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

// Appends one check. False when it could not (no folder, not writable): the caller writes directly. A
// full queue throws: the database has refused the queue's writes for a long time.
function device_queue_add(string $dir, string $line): bool
{
    $path = $dir . '/queue';
    for ($attempt = 0; $attempt < 5; $attempt++) {
        $file = @fopen($path, 'ab');
        if ($file === false && $attempt === 0 && !is_dir($dir) && @mkdir($dir, 0700)) {
            $file = @fopen($path, 'ab');  // the first check made the folder (its parent is ours)
        }
        if ($file === false) {
            return false;
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
    if (!flock($file, LOCK_EX)) {
        return false;
    }
    $held = fstat($file);
    clearstatcache(true, $path);
    $named = @stat($path);
    if ($named === false || $named['ino'] !== $held['ino'] || $named['dev'] !== $held['dev']) {
        return null;
    }
    if ($held['size'] > DEVICE_QUEUE_MAX_BYTES) {
        throw new RuntimeException("the device log queue $path is full");
    }
    return fwrite($file, $line) === strlen($line);
}

// Moves the queue into the database; returns the checks written. $open gives the primary database
// connection (opened only when there is something to write). Without the lock (another worker drains)
// it returns at once, unless $wait_seconds asks to wait for that drainer (the console, before it reads).
function device_queue_drain(string $dir, callable $open, float $wait_seconds = 0.0): int
{
    // The lock is on the folder itself: no lock file whose owner could shut out the web server's user.
    $lock = @fopen($dir, 'r');
    if ($lock === false) {
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
            try {
                while (($batches = device_queue_take($dir)) !== []) {
                    $started = microtime(true);
                    $db ??= $open();
                    foreach ($batches as $batch) {
                        $written += device_queue_write_batch($db, $batch);
                    }
                    if (microtime(true) >= $deadline || !device_queue_pending($dir)) {
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
            if (!device_queue_pending($dir) || microtime(true) >= $deadline) {
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

// The batches to write (the drainer holds the lock): those a drainer that died left behind, oldest
// first; if there are none, the queue, renamed.
function device_queue_take(string $dir): array
{
    $left = glob($dir . '/batch-*') ?: [];
    if ($left !== []) {
        sort($left);
        return $left;
    }
    if (!device_queue_pending($dir)) {
        return [];
    }
    $host = preg_replace('/[^A-Za-z0-9.-]/', '', (string)gethostname());
    $batch = sprintf('%s/batch-%s-%s-%d-%s', $dir, gmdate('YmdHis'), substr($host, 0, 40), getmypid(),
        bin2hex(random_bytes(6)));
    if (!rename($dir . '/queue', $batch)) {
        throw new RuntimeException("cannot rename $dir/queue");
    }
    return [$batch];
}

// Writes one batch in slices and deletes it; returns the checks written now.
function device_queue_write_batch(PDO $db, string $batch): int
{
    $file = fopen($batch, 'rb');
    if ($file === false) {
        throw new RuntimeException("cannot open $batch");
    }
    $written = 0;
    try {
        // A writer that opened the queue just before the rename may hold its lock: wait for its line.
        flock($file, LOCK_EX);
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
        unlink($batch);
    } finally {
        fclose($file);
    }
    return $written;
}

// The endpoint's way to log a check: queued when a queue is set and takes it, else written directly.
// $open gives the primary database connection.
function device_log_check(array $config, callable $open, string $hwid, bool $banned, ?string $address): void
{
    $dir = device_queue_dir($config);
    $line = device_queue_line($hwid, db_time(), $banned, $address);
    if ($dir !== null && device_queue_add($dir, $line)) {
        device_queue_drain($dir, $open);
        return;
    }
    if ($dir !== null) {
        error_log("device log queue: cannot append to $dir/queue (the folder must exist and be writable by "
            . 'the web server\'s user); writing the check directly');
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
            error_log('device log queue: not written before reading: ' . $e->getMessage());
        }
    }
}
