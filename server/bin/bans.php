<?php
// Ban list tool for operators. Uses the same configuration as the server (config.php, config.local.php,
// QUILLMARSH_* environment variables).
//   php server/bin/bans.php migrate                creates or upgrades the tables (run it after every update)
//   php server/bin/bans.php ban HWID [REASON...]   ban a device (again: replaces reason and time)
//   php server/bin/bans.php unban HWID             lift a ban
//   php server/bin/bans.php list                   HWID, time (UTC) and reason, one per line
//   php server/bin/bans.php check HWID             prints banned / not banned
//   php server/bin/bans.php sign HWID              the signature the shell would send (for tests)
// Output is one line per record with tab-separated fields; control characters and backslashes in the
// values are escaped (\t, \n, \xNN, \\), so a reason cannot forge lines or drive the terminal.
// Run as root, the database file it creates is given to the owner of its folder (the web server's user,
// when the folder was set up as the guide says), as SQLite does itself for its -wal and -shm files.
declare(strict_types=1);

require_once __DIR__ . '/../lib/bans.php';

const REASON_MAX = 500;

function usage(): never
{
    fwrite(STDERR, "usage: bans.php migrate | ban HWID [REASON...] | unban HWID | list | check HWID | sign HWID\n");
    exit(2);
}

function fail(string $text, int $code = 1): never
{
    fwrite(STDERR, 'bans.php: ' . terminal_safe($text) . "\n");
    exit($code);
}

// The text with every byte a terminal could act on made visible: C0 controls and DEL as \t, \n, \r or
// \xNN, the backslash doubled, C1 controls (U+0080..U+009F) as \u{NN}; bytes that are not UTF-8 as \xNN.
function terminal_safe(string $text): string
{
    $named = ["\t" => '\t', "\n" => '\n', "\r" => '\r', '\\' => '\\\\'];
    $byte = static fn (string $c): string => $named[$c] ?? sprintf('\x%02x', ord($c));
    if (preg_match('//u', $text) !== 1) {
        return preg_replace_callback('/[\x00-\x1f\x7f\\\\\x80-\xff]/', static fn ($m) => $byte($m[0]), $text);
    }
    return preg_replace_callback('/[\x00-\x1f\x7f\\\\]|\xc2[\x80-\x9f]/', static function ($m) use ($byte) {
        return strlen($m[0]) === 2 ? sprintf('\u{%02x}', ord($m[0][1])) : $byte($m[0]);
    }, $text);
}

function hwid_argument(array $argv): string
{
    $hwid = $argv[2] ?? '';
    if (!is_hex64($hwid)) {
        fail('HWID must be 64 lower-case hex characters', 2);
    }
    return $hwid;
}

// Opens the database for the admin command. Run as root, a SQLite file it has to create gets the owner
// and group of its folder: a root-owned database would be read-only for PHP-FPM and every check would
// fail. Root never creates that folder (whose owner would it get?).
function admin_open(array $config, bool $create): PDO
{
    $file = db_sqlite_file($config);
    $root = function_exists('posix_geteuid') && posix_geteuid() === 0;
    $made = false;
    if ($file !== null && $create && !is_file($file)) {
        $dir = dirname($file);
        if (!is_dir($dir)) {
            if ($root) {
                fail("the database folder $dir does not exist; make it and give it to the web server's user "
                    . "(e.g. chown www-data:www-data $dir), then run this again");
            }
            if (!mkdir($dir, 0770, true) && !is_dir($dir)) {
                fail("cannot make the database folder $dir");
            }
        }
        $made = true;
    }
    $db = db_open($config, $create);
    if ($made && $root && is_file($file)) {
        $folder = stat(dirname($file));
        if (!chown($file, $folder['uid']) || !chgrp($file, $folder['gid']) || !chmod($file, 0660)) {
            fail("cannot give $file to the owner of its folder");
        }
    }
    if (!$create) {
        db_require_schema($db);
    }
    return $db;
}

$command = $argv[1] ?? '';
$config = quillmarsh_config();
try {
    switch ($command) {
        case 'migrate':
            [$before, $after] = db_migrate(admin_open($config, true));
            echo $before === $after ? "schema is up to date (version $after)\n"
                : "schema upgraded from version $before to $after\n";
            break;
        case 'ban':
            $hwid = hwid_argument($argv);
            $reason = implode(' ', array_slice($argv, 3));
            if (strlen($reason) > REASON_MAX) {
                fail('the reason is longer than ' . REASON_MAX . ' bytes', 2);
            }
            bans_add(admin_open($config, false), $hwid, $reason);
            echo "banned $hwid\n";
            break;
        case 'unban':
            $hwid = hwid_argument($argv);
            if (!bans_remove(admin_open($config, false), $hwid)) {
                fail("not banned: $hwid");
            }
            echo "unbanned $hwid\n";
            break;
        case 'list':
            foreach (bans_list(admin_open($config, false)) as $row) {
                echo implode("\t", array_map('terminal_safe', [$row['hwid'], $row['banned_at'], $row['reason']])), "\n";
            }
            break;
        case 'check':
            $hwid = hwid_argument($argv);
            echo bans_is_banned(admin_open($config, false), $hwid) ? "banned\n" : "not banned\n";
            break;
        case 'sign':
            echo hwid_signature(hwid_argument($argv), (string)$config['hwid_key']), "\n";
            break;
        default:
            usage();
    }
} catch (PDOException | SchemaMissing $e) {
    fail('database: ' . $e->getMessage());
}
