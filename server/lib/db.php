<?php
// The database shared by the endpoint and the admin command: one PDO connection per request with a
// short lock wait, and the schema, which only the admin command creates and upgrades (`migrate`), so
// the web server's user needs no rights to change tables and a request never makes a database.
declare(strict_types=1);

require_once __DIR__ . '/../config.php';

// How long a statement waits for a lock held by someone else before it fails. PDO's SQLite default is
// 60 s: with the shell failing closed, one operator's open write transaction would stop every player and
// tie up every PHP worker (whose terminate time-out is 15 s). 2 s is far above any normal write here.
const QUILLMARSH_LOCK_WAIT_MS = 2000;
// SQLite: pages of write-ahead log between checkpoints, and the log's size at which a writer waits for the
// readers to let it start the log over (db_sqlite_wal_restart).
const QUILLMARSH_WAL_CHECKPOINT_PAGES = 4000;
const QUILLMARSH_WAL_RESTART_BYTES = 64 * 1024 * 1024;
// PostgreSQL: no statement runs longer than this (the endpoint's nginx time-out is 10 s).
const QUILLMARSH_STATEMENT_TIMEOUT_MS = 5000;

// Raised when the database or its tables are not there (yet): the operator has to run `migrate`.
final class SchemaMissing extends RuntimeException
{
}

function db_driver(PDO $db): string
{
    return (string)$db->getAttribute(PDO::ATTR_DRIVER_NAME);
}

// The file of a SQLite DSN, or null for other drivers and in-memory databases.
function db_sqlite_file(array $config): ?string
{
    $dsn = (string)$config['db_dsn'];
    if (!str_starts_with($dsn, 'sqlite:')) {
        return null;
    }
    $file = substr($dsn, strlen('sqlite:'));
    return ($file === '' || $file === ':memory:') ? null : $file;
}

// Whether a web request keeps its database connection for the next one. PHP-FPM workers (and the
// development server) reuse one connection per worker and database: a check then costs its statements,
// not a new connection (with PostgreSQL a new backend process, with SQLite opening and reading the
// schema). PDO rolls back a transaction a request left open before the connection is reused. The admin
// command runs once per call and opens its own.
function db_persistent(): bool
{
    return PHP_SAPI !== 'cli';
}

// PostgreSQL's limit for one statement: a request's must end well before nginx gives up on it; the admin
// command's (migrate on a large table, prune of a large log) may take as long as it needs.
function db_statement_timeout_ms(): int
{
    return db_persistent() ? QUILLMARSH_STATEMENT_TIMEOUT_MS : 0;
}

// Opens the database. Only $create (the admin command) may create a SQLite file; a request on a missing
// file fails at once with SchemaMissing instead of leaving an empty database behind.
function db_open(array $config, bool $create = false): PDO
{
    $options = [
        PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION,
        PDO::ATTR_DEFAULT_FETCH_MODE => PDO::FETCH_ASSOC,
        PDO::ATTR_TIMEOUT => (int)ceil(QUILLMARSH_LOCK_WAIT_MS / 1000),  // SQLite: lock wait; others: connect
        PDO::ATTR_PERSISTENT => !$create && db_persistent(),
    ];
    $dsn = (string)$config['db_dsn'];
    $file = db_sqlite_file($config);
    if ($file !== null) {
        if (!$create && !is_file($file)) {
            throw new SchemaMissing("the database file $file does not exist: run bin/bans.php migrate");
        }
        if ($create) {
            db_sqlite_create($file);
        }
        $options[PDO::SQLITE_ATTR_OPEN_FLAGS] = PDO::SQLITE_OPEN_READWRITE;
    }
    $set_limits = false;
    if (str_starts_with($dsn, 'pgsql:')) {
        // Statements are sent with their parameters in one round trip (no named server-side statement
        // to prepare first and deallocate afterwards: three round trips for every query).
        $options[PDO::PGSQL_ATTR_DISABLE_PREPARES] = true;
        // The session's time limits travel with the connection request, so a reused connection has
        // them without a statement per request (unless the DSN brings options of its own).
        if (stripos($dsn, 'options=') === false) {
            $dsn .= ";options='-c lock_timeout=" . QUILLMARSH_LOCK_WAIT_MS . " -c statement_timeout="
                . db_statement_timeout_ms() . "'";
        } else {
            $set_limits = true;
        }
    }
    $db = new PDO($dsn, $config['db_user'], $config['db_password'], $options);
    switch (db_driver($db)) {
        case 'sqlite':
            // Nothing to set per request: the lock wait is ATTR_TIMEOUT above, and the device log's
            // writer sets its own (db_sqlite_log_writer). A statement here would cost every check a
            // read of the schema once another connection has written (about 15% of the endpoint's rate).
            db_sqlite_time_limit();
            break;
        case 'pgsql':
            if ($set_limits) {
                // Readers never wait for writers there; a writer waits for a row lock at most this long.
                $db->exec("SET lock_timeout = '" . QUILLMARSH_LOCK_WAIT_MS . "ms'");
                $db->exec("SET statement_timeout = '" . db_statement_timeout_ms() . "ms'");
            }
            break;
        case 'mysql':
            $db->exec('SET SESSION innodb_lock_wait_timeout = ' . (int)ceil(QUILLMARSH_LOCK_WAIT_MS / 1000));
            break;
    }
    return $db;
}

// SQLite has no statement time-out of its own, and PHP 8.2's PDO gives no way to ask for one: neither a
// progress handler (sqlite3_progress_handler) nor sqlite3_interrupt is reachable from PHP, in PDO or in
// the SQLite3 class (PHP 8.4's Pdo\Sqlite has none either). What bounds a statement in a web request is
// PHP's own time limit: it counts the CPU time of the process (lock waits, which sleep, are not counted)
// and, when a statement is still running at the limit, ends the worker QUILLMARSH_HARD_TIMEOUT seconds
// later (PHP's hard_timeout; PHP-FPM starts a new one). So no request spends more than about
// QUILLMARSH_STATEMENT_TIMEOUT_MS + 2 s of CPU in SQLite; the client gets an error instead of a hang.
// The admin command has no limit, as on PostgreSQL.
function db_sqlite_time_limit(): void
{
    if (db_statement_timeout_ms() > 0) {
        set_time_limit((int)ceil(db_statement_timeout_ms() / 1000));
    }
}

// SQLite's side files of a database: write-ahead log, shared memory, rollback journal.
const DB_SQLITE_SIDE_FILES = ['-wal', '-shm', '-journal'];

// Why the database file or one of its side files must not be opened, or null: each is either missing or
// a regular file with one name, never a symbolic link (SQLite would follow it, and create its target),
// a folder or a device.
function db_sqlite_path_refusal(string $file): ?string
{
    foreach (array_merge([''], DB_SQLITE_SIDE_FILES) as $suffix) {
        $path = $file . $suffix;
        clearstatcache(true, $path);
        $st = @lstat($path);
        if ($st === false) {
            continue;
        }
        if (($st['mode'] & 0170000) === 0120000) {
            return "$path is a symbolic link";
        }
        if (($st['mode'] & 0170000) !== 0100000) {
            return "$path is not a regular file";
        }
        if ($st['nlink'] !== 1) {
            return "$path has more than one name (a hard link)";
        }
    }
    return null;
}

// Makes a missing database file, empty, 0660 (the web server's user and group; nobody else may read the
// operators' password hashes), and checks that what was made is that file: a regular file with one
// name, not reached through a link. SQLite gives its -wal, -shm and journal files the mode of the
// database file. Leaves an existing file alone; throws when the path is unsafe.
function db_sqlite_create(string $file): void
{
    $refusal = db_sqlite_path_refusal($file);
    if ($refusal !== null) {
        throw new RuntimeException("refusing the database: $refusal");
    }
    if (@lstat($file) !== false) {
        return;
    }
    $old = umask(0007);
    try {
        $made = @fopen($file, 'xb');
    } finally {
        umask($old);
    }
    if ($made === false) {
        throw new RuntimeException("cannot create the database file $file");
    }
    try {
        clearstatcache(true, $file);
        $named = @lstat($file);
        $held = fstat($made);
        if ($named === false || $named['dev'] !== $held['dev'] || $named['ino'] !== $held['ino']
            || ($named['mode'] & 0170000) !== 0100000 || $named['nlink'] !== 1) {
            throw new RuntimeException("the database file $file was replaced while it was made");
        }
    } finally {
        fclose($made);
    }
}

// Makes the database and its side files that belong to this user and that others may use 0660: files an
// earlier version (or SQLite at a 022 umask) made 0644.
function db_sqlite_narrow_modes(string $file): void
{
    $uid = function_exists('posix_geteuid') ? posix_geteuid() : getmyuid();
    foreach (array_merge([''], DB_SQLITE_SIDE_FILES) as $suffix) {
        $path = $file . $suffix;
        clearstatcache(true, $path);
        $st = @lstat($path);
        if ($st !== false && ($st['mode'] & 0170000) === 0100000 && $st['uid'] === $uid && ($st['mode'] & 0007) !== 0) {
            @chmod($path, 0660);
        }
    }
}

// The device log's writes on SQLite: in WAL mode the disk is synced at checkpoints, not at every commit
// (the database cannot be corrupted by it; a power cut can lose the last commits, and a ban written
// later on the same connection too), and a checkpoint comes every 4,000 pages of log rather than every
// 1,000: the log's write cost about half as much in one PHP process.
function db_sqlite_log_writer(PDO $db): void
{
    $db->exec('PRAGMA synchronous = NORMAL');
    $db->exec('PRAGMA wal_autocheckpoint = ' . QUILLMARSH_WAL_CHECKPOINT_PAGES);
}

// SQLite's write-ahead log starts over only at a moment when no reader still uses its end. With PHP-FPM
// workers that keep their connections and read all the time, that moment may never come and the log
// grows without end (hundreds of MB a minute under load). Past a size, a writer runs a checkpoint that
// waits (at most the lock wait) for the readers of the moment, then empties the log.
function db_sqlite_wal_restart(PDO $db): void
{
    $file = $db->query('PRAGMA database_list')->fetch()['file'] ?? '';
    if ($file === '') {
        return;
    }
    clearstatcache(true, $file . '-wal');
    $size = @filesize($file . '-wal');
    if ($size !== false && $size > QUILLMARSH_WAL_RESTART_BYTES) {
        $db->query('PRAGMA wal_checkpoint(TRUNCATE)')->fetchAll();
    }
}

// Whether a failed statement lost its connection (the database was restarted while a reused connection
// waited): worth one attempt on a new one. A lock wait or a missing table is not.
function db_connection_lost(PDOException $e): bool
{
    $state = (string)($e->errorInfo[0] ?? $e->getCode());
    return str_starts_with($state, '08') || stripos($e->getMessage(), 'server closed the connection') !== false
        || stripos($e->getMessage(), 'no connection to the server') !== false;
}

// The schema, one list of statements per version, in plain types that SQLite, PostgreSQL and MySQL
// all take (only the counter column differs). A version is never edited once released: changes go into
// a new one. Times are UTC text, 'YYYY-MM-DDTHH:MM:SSZ', so they sort and compare as text.
function db_migrations(string $driver = 'sqlite'): array
{
    $serial = match ($driver) {
        'pgsql' => 'BIGSERIAL PRIMARY KEY',
        'mysql' => 'BIGINT AUTO_INCREMENT PRIMARY KEY',
        default => 'INTEGER PRIMARY KEY AUTOINCREMENT',
    };
    return [
        1 => [
            // The ban list as earlier servers made it on first use: existing databases keep their rows.
            'CREATE TABLE IF NOT EXISTS hwid_bans ('
                . 'hwid VARCHAR(64) NOT NULL PRIMARY KEY, '
                . 'reason VARCHAR(500) NOT NULL, '
                . 'banned_at VARCHAR(32) NOT NULL)',
        ],
        2 => [
            // Temporary bans (no end: permanent, as every earlier row) and who banned.
            'ALTER TABLE hwid_bans ADD COLUMN expires_at VARCHAR(32) NULL',
            'ALTER TABLE hwid_bans ADD COLUMN banned_by VARCHAR(100) NULL',
            // The device log: one row per device that sent a correctly signed check ...
            'CREATE TABLE devices ('
                . 'hwid VARCHAR(64) NOT NULL PRIMARY KEY, '
                . 'first_seen VARCHAR(32) NOT NULL, '
                . 'last_seen VARCHAR(32) NOT NULL, '
                . 'checks INTEGER NOT NULL, '
                . 'last_address VARCHAR(64) NULL, '
                . 'last_verdict VARCHAR(16) NOT NULL)',
            'CREATE INDEX devices_last_seen ON devices (last_seen)',
            'CREATE INDEX devices_last_address ON devices (last_address)',
            // ... and one per device and day: its history and the checks per day.
            'CREATE TABLE device_days ('
                . 'hwid VARCHAR(64) NOT NULL, '
                . 'day VARCHAR(10) NOT NULL, '
                . 'checks INTEGER NOT NULL, '
                . 'last_verdict VARCHAR(16) NOT NULL, '
                . 'PRIMARY KEY (hwid, day))',
            'CREATE INDEX device_days_day ON device_days (day)',
            // Every change, by whom: the console and the admin command write it.
            "CREATE TABLE audit (id $serial, "
                . 'at VARCHAR(32) NOT NULL, '
                . 'operator VARCHAR(100) NOT NULL, '
                . 'action VARCHAR(32) NOT NULL, '
                . 'hwid VARCHAR(64) NULL, '
                . 'detail VARCHAR(1000) NOT NULL)',
            'CREATE INDEX audit_hwid ON audit (hwid)',
            // The console: operator accounts, sessions (only a hash of the cookie is stored) and failed
            // sign-ins per account and per address.
            'CREATE TABLE operators ('
                . 'name VARCHAR(64) NOT NULL PRIMARY KEY, '
                . 'password_hash VARCHAR(255) NOT NULL, '
                . 'created_at VARCHAR(32) NOT NULL)',
            'CREATE TABLE sessions ('
                . 'id_hash VARCHAR(64) NOT NULL PRIMARY KEY, '
                . 'operator VARCHAR(64) NOT NULL, '
                . 'csrf VARCHAR(64) NOT NULL, '
                . 'created_at VARCHAR(32) NOT NULL, '
                . 'last_seen VARCHAR(32) NOT NULL)',
            'CREATE TABLE signin_failures ('
                . 'subject VARCHAR(120) NOT NULL PRIMARY KEY, '
                . 'failures INTEGER NOT NULL, '
                . 'first_at VARCHAR(32) NOT NULL)',
        ],
        3 => [
            // The device log's queue writes its checks in slices, each named by a marker recorded in the
            // same transaction: a slice written just before its writer died is not counted again.
            'CREATE TABLE device_log_writes ('
                . 'marker VARCHAR(160) NOT NULL PRIMARY KEY, '
                . 'written_at VARCHAR(32) NOT NULL)',
            'CREATE INDEX device_log_writes_at ON device_log_writes (written_at)',
        ],
        4 => [
            // The console: its secrets (the sign-in form's key, the dummy hash for unknown names), made
            // on first use; and the device list's pages by key (last_seen, hwid) in both directions.
            'CREATE TABLE console_secrets ('
                . 'name VARCHAR(64) NOT NULL PRIMARY KEY, '
                . 'value VARCHAR(255) NOT NULL)',
            'CREATE INDEX devices_seen ON devices (last_seen, hwid)',
            $driver === 'mysql' ? 'DROP INDEX devices_last_seen ON devices' : 'DROP INDEX devices_last_seen',
            // Sign-ins whose password is being checked right now, and when the last of them began.
            'ALTER TABLE signin_failures ADD COLUMN pending INTEGER NOT NULL DEFAULT 0',
            'ALTER TABLE signin_failures ADD COLUMN pending_at VARCHAR(32)',
        ],
        5 => [
            // Failure reports (lib/reports.php): the log lines joined with line feeds; counted per day,
            // per device and day (the daily limit) and per code and day (the console's chart).
            "CREATE TABLE failure_reports (id $serial, "
                . 'hwid TEXT NOT NULL, '
                . 'code TEXT NOT NULL, '
                . 'shell_version TEXT NOT NULL, '
                . 'windows_version TEXT NOT NULL, '
                . 'box_text TEXT NOT NULL, '
                . 'log_text TEXT NOT NULL, '
                . 'received_at TEXT NOT NULL)',
            'CREATE INDEX failure_reports_day ON failure_reports (received_at)',
            'CREATE INDEX failure_reports_device ON failure_reports (hwid, received_at)',
            'CREATE INDEX failure_reports_code ON failure_reports (code, received_at)',
        ],
    ];
}

function db_latest_version(): int
{
    return max(array_keys(db_migrations()));
}

// The current time as stored: UTC, 'YYYY-MM-DDTHH:MM:SSZ'.
function db_time(?int $unix = null): string
{
    return gmdate('Y-m-d\TH:i:s\Z', $unix ?? time());
}

function db_version(PDO $db): int
{
    try {
        $version = $db->query('SELECT MAX(version) FROM schema_version')->fetchColumn();
    } catch (PDOException) {
        return 0;  // no version table: a new database, or one made by an earlier server on first use
    }
    return (int)$version;
}

// Creates or upgrades the tables; returns [version before, version after]. Idempotent.
function db_migrate(PDO $db): array
{
    if (db_driver($db) === 'sqlite') {
        // Readers go on while one writer works (an operator's ban does not stall the players' checks).
        // The mode is stored in the file; it cannot change inside a transaction.
        $db->exec('PRAGMA journal_mode = WAL');
    }
    $db->exec('CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)');
    $before = db_version($db);
    $after = $before;
    foreach (db_migrations(db_driver($db)) as $version => $statements) {
        if ($version <= $before) {
            continue;
        }
        $db->beginTransaction();
        try {
            foreach ($statements as $statement) {
                $db->exec($statement);
            }
            $db->exec('DELETE FROM schema_version');
            $db->prepare('INSERT INTO schema_version (version) VALUES (?)')->execute([$version]);
            if ($db->inTransaction()) {  // MySQL commits DDL by itself
                $db->commit();
            }
        } catch (Throwable $e) {
            if ($db->inTransaction()) {
                $db->rollBack();
            }
            throw $e;
        }
        $after = $version;
    }
    return [$before, $after];
}

// For the admin command's other verbs: the schema must be the one this code expects.
function db_require_schema(PDO $db): void
{
    $version = db_version($db);
    if ($version !== db_latest_version()) {
        throw new SchemaMissing(sprintf('the database schema is at version %d, this server needs %d: '
            . 'run bin/bans.php migrate', $version, db_latest_version()));
    }
}
