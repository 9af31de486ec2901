<?php
// Ban list tool for operators. Uses the same configuration as the server (config.php, config.local.php,
// QUILLMARSH_* environment variables).
//   php server/bin/bans.php migrate                creates or upgrades the tables (run it after every update)
//   php server/bin/bans.php ban HWID [--until TIME] [REASON...]
//                                                  ban a device, permanently or until TIME (UTC, e.g.
//                                                  2025-06-01T18:00); again: replaces reason and times
//   php server/bin/bans.php unban HWID             lift a ban (an expired one too)
//   php server/bin/bans.php list                   HWID, time (UTC), reason and state, one per line
//   php server/bin/bans.php check HWID             prints banned / not banned (an expired ban is none)
//   php server/bin/bans.php sign HWID              the signature the shell would send (for tests)
//   php server/bin/bans.php operator add NAME      console account; the password is read from standard
//                                                  input (again: a new password, which ends its sessions)
//   php server/bin/bans.php operator remove NAME | operator list
//   php server/bin/bans.php prune                  forgets devices not seen for device_log_days days and
//                                                  failure reports older than report_retention_days days
//   php server/bin/bans.php drain                  writes this machine's device log queue to the database
//                                                  now (before taking a node out of service)
// Changes are written to the audit as "shell:<user>" (the user who ran sudo, if any).
// Output is one line per record with tab-separated fields; control characters and backslashes in the
// values are escaped (\t, \n, \xNN, \\), so a reason cannot forge lines or drive the terminal.
// Run as root, the database file it creates is given to the owner of its folder (the web server's user,
// when the folder was set up as the guide says), as SQLite does itself for its -wal and -shm files.
declare(strict_types=1);

require_once __DIR__ . '/../lib/console.php';
require_once __DIR__ . '/../lib/reports.php';

function usage(): never
{
    fwrite(STDERR, "usage: bans.php migrate | ban HWID [--until TIME] [REASON...] | unban HWID | list | check HWID"
        . " | sign HWID | operator add|remove NAME | operator list | prune | drain\n");
    exit(2);
}

// Who made a change, for the audit: the person behind sudo when there is one.
function shell_operator(): string
{
    $sudo = getenv('SUDO_USER');
    if (is_string($sudo) && $sudo !== '') {
        return 'shell:' . $sudo;
    }
    $user = function_exists('posix_getpwuid') ? (posix_getpwuid(posix_geteuid())['name'] ?? null) : null;
    return 'shell:' . ($user ?? (string)getmyuid());
}

// A password from standard input: its first line, without echo when it is a terminal.
function read_password(): string
{
    $tty = function_exists('posix_isatty') && posix_isatty(STDIN);
    if ($tty) {
        fwrite(STDERR, 'password: ');
        shell_exec('stty -echo 2>/dev/null');
    }
    $line = fgets(STDIN);
    if ($tty) {
        shell_exec('stty echo 2>/dev/null');
        fwrite(STDERR, "\n");
    }
    $password = rtrim((string)$line, "\r\n");
    if (strlen($password) < 10) {
        fail('the password must have at least 10 characters', 2);
    }
    return $password;
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
            $words = array_slice($argv, 3);
            $until = null;
            if (($words[0] ?? '') === '--until') {
                $until = ban_end_parse((string)($words[1] ?? ''));
                if ($until === null || $until <= db_time()) {
                    fail('--until needs a date and time (UTC) in the future, e.g. 2025-06-01T18:00', 2);
                }
                $words = array_slice($words, 2);
            }
            $reason = implode(' ', $words);
            ($problem = text_problem($reason)) === null || fail("the reason $problem", 2);  // lib/guard.php
            if (strlen($reason) > BAN_REASON_MAX) {
                fail('the reason is longer than ' . BAN_REASON_MAX . ' bytes', 2);
            }
            bans_add(admin_open($config, false), $hwid, $reason, $until, shell_operator());
            echo $until === null ? "banned $hwid\n" : "banned $hwid until $until\n";
            break;
        case 'unban':
            $hwid = hwid_argument($argv);
            if (!bans_remove(admin_open($config, false), $hwid, shell_operator())) {
                fail("not banned: $hwid");
            }
            echo "unbanned $hwid\n";
            break;
        case 'list':
            foreach (bans_list(admin_open($config, false)) as $row) {
                echo implode("\t", array_map('terminal_safe',
                    [$row['hwid'], $row['banned_at'], $row['reason'], ban_state_text($row)])), "\n";
            }
            break;
        case 'check':
            $hwid = hwid_argument($argv);
            $ban = bans_get(admin_open($config, false), $hwid);
            echo match ($ban['state'] ?? null) {
                'permanent', 'until' => "banned\n",
                'expired' => 'not banned (the ban expired ' . terminal_safe((string)$ban['expires_at']) . ")\n",
                default => "not banned\n",
            };
            break;
        case 'operator':
            $db = admin_open($config, false);
            $verb = $argv[2] ?? '';
            $name = strtolower((string)($argv[3] ?? ''));
            if ($verb === 'list') {
                foreach (operator_list($db) as $row) {
                    echo terminal_safe($row['name']), "\t", terminal_safe($row['created_at']), "\n";
                }
                break;
            }
            if (!in_array($verb, ['add', 'remove'], true)) {
                usage();
            }
            if (!is_operator_name($name)) {
                fail('NAME: 1 to 64 of a-z, 0-9, ".", "_", "-", starting with a letter or digit', 2);
            }
            if ($verb === 'add') {
                echo operator_set($db, $name, read_password(), shell_operator())
                    ? "operator $name added\n" : "operator $name: new password set, sessions ended\n";
            } elseif (!operator_remove($db, $name, shell_operator())) {
                fail("no operator $name");
            } else {
                echo "operator $name removed\n";
            }
            break;
        case 'prune':
            $db = admin_open($config, false);
            $deleted = device_log_prune($db, (int)$config['device_log_days']);
            echo "forgot $deleted device log rows older than {$config['device_log_days']} days\n";
            $deleted = reports_prune($db, (int)$config['report_retention_days']);
            echo "forgot $deleted failure reports older than {$config['report_retention_days']} days\n";
            break;
        case 'drain':
            $dir = device_queue_dir($config);
            if ($dir === null || !is_dir($dir)) {
                echo "no device log queue here\n";
                break;
            }
            $db = admin_open($config, false);
            $written = 0;
            do {  // each drain is bounded in time; a long queue takes several
                $more = device_queue_drain($dir, static fn (): PDO => $db, DEVICE_QUEUE_DRAIN_SECONDS);
                $written += $more;
            } while ($more > 0 && device_queue_pending($dir));
            echo "wrote $written queued checks to the device log\n";
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
