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
// Run as root, it works as the owner of the database's folder (the web server's user, when the folder was
// set up as the guide says): what it makes belongs to that user, 0660, and it follows no link planted
// there. It refuses a database, -wal or -shm that is a link or not a regular file.
declare(strict_types=1);

require_once __DIR__ . '/../lib/console.php';
require_once __DIR__ . '/../lib/reports.php';

function usage(): never
{
    fwrite(STDERR, "usage: bans.php migrate | ban HWID [--until TIME] [REASON...] | unban HWID | list | check HWID"
        . " | sign HWID | operator add|remove NAME | operator list | prune | drain\n");
    exit(2);
}

// Who made a change, for the audit: the person behind sudo when there is one. SUDO_USER is only an
// environment variable, which anyone can set: it is believed only when SUDO_UID and SUDO_USER name the
// same account and a sudo process that this one descends from runs with that account as its real user
// and root as its effective one (only the set-user-id sudo can be that). Otherwise the user who runs
// the command. This also holds under the guide's `sudo -u www-data`.
function shell_operator(): string
{
    $sudo = sudo_user();
    if ($sudo !== null) {
        return 'shell:' . $sudo;
    }
    $user = function_exists('posix_getpwuid') ? (posix_getpwuid(posix_geteuid())['name'] ?? null) : null;
    return 'shell:' . ($user ?? (string)getmyuid());
}

function sudo_user(): ?string
{
    $name = getenv('SUDO_USER');
    $uid = getenv('SUDO_UID');
    if (!is_string($name) || $name === '' || !is_string($uid) || preg_match('/^\d{1,10}$/D', $uid) !== 1
        || !function_exists('posix_getpwnam') || posix_getuid() !== posix_geteuid()) {
        return null;
    }
    $account = posix_getpwnam($name);
    if ($account === false || $account['uid'] !== (int)$uid) {
        return null;
    }
    // sudo stays the parent (or an ancestor, through a shell) of the command it runs.
    $pid = posix_getppid();
    for ($depth = 0; $depth < 8 && $pid > 1; $depth++) {
        $status = @file_get_contents("/proc/$pid/status");
        if ($status === false || preg_match('/^PPid:\s+(\d+)$/m', $status, $parent) !== 1
            || preg_match('/^Uid:\s+(\d+)\s+(\d+)/m', $status, $uids) !== 1) {
            return null;
        }
        if (preg_match('/^Name:\s+sudo$/m', $status) === 1 && (int)$uids[1] === (int)$uid && (int)$uids[2] === 0) {
            return $name;
        }
        $pid = (int)$parent[1];
    }
    return null;
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

// Run as root, the command does its work as the owner of the folder that holds its files (the SQLite
// database's folder, the device log's queue): that user could replace any name in there with a link at
// any moment, and root must never follow one (SQLite would create the link's target, or write to it). So
// what the command makes belongs to that user from the start, with no change of owner afterwards. A
// folder of root's own is used as root. Root never creates that folder (whose owner would it get?).
function admin_become_owner_of(string $dir): void
{
    if (!function_exists('posix_geteuid') || posix_geteuid() !== 0) {
        return;
    }
    $st = @stat($dir);
    if ($st === false || ($st['mode'] & 0170000) !== 0040000) {
        fail("the folder $dir does not exist; make it and give it to the web server's user "
            . "(e.g. chown www-data:www-data $dir), then run this again");
    }
    if ($st['uid'] === 0) {
        return;
    }
    $account = posix_getpwuid($st['uid']);
    // Supplementary groups: the account's, or none but the folder's group for a user without an account.
    $groups_of = is_array($account) ? $account['name'] : '#' . $st['uid'];
    if (!posix_setgid($st['gid']) || !posix_initgroups($groups_of, $st['gid']) || !posix_setuid($st['uid'])
        || posix_geteuid() !== $st['uid'] || posix_getuid() !== $st['uid'] || posix_getegid() !== $st['gid']
        || in_array(0, posix_getgroups(), true) && $st['gid'] !== 0) {
        fail("cannot become the owner (uid {$st['uid']}) of $dir");
    }
}

// Opens the database for the admin command. A SQLite database, its -wal, -shm and journal must each be
// missing or a regular file with one name: a link is refused, not followed. The database file it makes
// is 0660, as SQLite then makes its side files; existing ones lose any access of others.
function admin_open(array $config, bool $create): PDO
{
    $file = db_sqlite_file($config);
    if ($file !== null) {
        $dir = dirname($file);
        admin_become_owner_of($dir);
        if ($create && !is_dir($dir) && !@mkdir($dir, 0770, true) && !is_dir($dir)) {
            fail("cannot make the database folder $dir");
        }
        $refusal = db_sqlite_path_refusal($file);
        if ($refusal !== null) {
            fail("refusing the database: $refusal");
        }
        if ($create) {
            db_sqlite_narrow_modes($file);
        }
    }
    $db = db_open($config, $create);
    if (!$create) {
        db_require_schema($db);
    }
    return $db;
}

$command = $argv[1] ?? '';
$config = quillmarsh_config();
$operator = shell_operator();  // who runs it, before the command may become the owner of its files
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
            bans_add(admin_open($config, false), $hwid, $reason, $until, $operator);
            echo $until === null ? "banned $hwid\n" : "banned $hwid until $until\n";
            break;
        case 'unban':
            $hwid = hwid_argument($argv);
            if (!bans_remove(admin_open($config, false), $hwid, $operator)) {
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
                echo operator_set($db, $name, read_password(), $operator)
                    ? "operator $name added\n" : "operator $name: new password set, sessions ended\n";
            } elseif (!operator_remove($db, $name, $operator)) {
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
            clearstatcache();
            if ($dir === null || @lstat($dir) === false) {
                echo "no device log queue here\n";
                break;
            }
            $refusal = device_queue_refusal($dir);  // a link is refused before anything goes through it
            if ($refusal === null || str_starts_with($refusal, 'the folder belongs to')) {
                admin_become_owner_of($dir);
                $refusal = device_queue_refusal($dir);
            }
            if ($refusal !== null) {
                fail("not using the device log queue $dir: $refusal");
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
} catch (RuntimeException $e) {
    fail($e->getMessage());
}
