<?php
// Ban list tool for operators. Uses the same configuration as the server (config.php, config.local.php,
// QUILLMARSH_* environment variables).
//   php server/bin/bans.php ban HWID [REASON...]   ban a device (again: replaces reason and time)
//   php server/bin/bans.php unban HWID             lift a ban
//   php server/bin/bans.php list                   HWID, time (UTC) and reason, one per line
//   php server/bin/bans.php check HWID             prints banned / not banned
//   php server/bin/bans.php sign HWID              the signature the shell would send (for tests)
declare(strict_types=1);

require_once __DIR__ . '/../lib/bans.php';

function usage(): never
{
    fwrite(STDERR, "usage: bans.php ban HWID [REASON...] | unban HWID | list | check HWID | sign HWID\n");
    exit(2);
}

function hwid_argument(array $argv): string
{
    $hwid = $argv[2] ?? '';
    if (!is_hex64($hwid)) {
        fwrite(STDERR, "HWID must be 64 lower-case hex characters\n");
        exit(2);
    }
    return $hwid;
}

$command = $argv[1] ?? '';
$config = quillmarsh_config();
try {
    switch ($command) {
        case 'ban':
            $hwid = hwid_argument($argv);
            $reason = implode(' ', array_slice($argv, 3));
            bans_add(bans_open($config), $hwid, $reason);
            echo "banned $hwid\n";
            break;
        case 'unban':
            $hwid = hwid_argument($argv);
            if (!bans_remove(bans_open($config), $hwid)) {
                fwrite(STDERR, "not banned: $hwid\n");
                exit(1);
            }
            echo "unbanned $hwid\n";
            break;
        case 'list':
            foreach (bans_list(bans_open($config)) as $row) {
                echo $row['hwid'], "\t", $row['banned_at'], "\t", $row['reason'], "\n";
            }
            break;
        case 'check':
            $hwid = hwid_argument($argv);
            echo bans_is_banned(bans_open($config), $hwid) ? "banned\n" : "not banned\n";
            break;
        case 'sign':
            echo hwid_signature(hwid_argument($argv), (string)$config['hwid_key']), "\n";
            break;
        default:
            usage();
    }
} catch (PDOException $e) {
    fwrite(STDERR, 'database error: ' . $e->getMessage() . "\n");
    exit(1);
}
