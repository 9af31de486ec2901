#!/usr/bin/env bash
# What the device log costs a ban check, in the PHP process itself (no HTTP): per check, open the
# database and read the verdict (what the endpoint did before), then the same plus the device log's
# write (one transaction of two upserts on primary keys), on SQLite in WAL mode in a temp folder, for
# CHECKS checks spread over DEVICES devices, alone and with another connection open (a busy server).
# Prints microseconds per check. Builds nothing.
# Usage: bench/device_log.sh [CHECKS [DEVICES]]   (default 3000 checks over 1000 devices)
set -euo pipefail
cd "$(dirname "$0")/.."
checks=${1:-3000}
devices=${2:-1000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QUILLMARSH_DB_DSN="sqlite:$work/bans.sqlite"
php server/bin/bans.php migrate >/dev/null
php -r '
require "server/lib/devices.php";
[$checks, $devices] = [(int)$argv[1], (int)$argv[2]];
$config = quillmarsh_config();
$hwids = [];
for ($i = 0; $i < $devices; $i++) { $hwids[] = hash("sha256", "device $i"); }
$run = function (bool $log) use ($config, $hwids, $checks): float {
    $start = hrtime(true);
    for ($i = 0; $i < $checks; $i++) {
        $hwid = $hwids[$i % count($hwids)];
        $db = db_open($config);                 // a request opens its own connection
        $banned = bans_is_banned($db, $hwid);
        if ($log) {
            device_log_record($db, $hwid, $banned, "198.51.100." . ($i % 250));
        }
        $db = null;
    }
    return (hrtime(true) - $start) / 1e3 / $checks;
};
$run(true);  // warm-up: every device has its rows
printf("alone (each check the last connection: SQLite checkpoints the WAL when it closes)\n");
printf("  verdict only:           %7.1f us per check\n", $run(false));
printf("  verdict and device log: %7.1f us per check\n", $run(true));
$other = db_open($config);  // as under load: other PHP workers keep the database open
$other->query("SELECT COUNT(*) FROM hwid_bans")->fetchColumn();
printf("with another connection open (busy server)\n");
printf("  verdict only:           %7.1f us per check\n", $run(false));
printf("  verdict and device log: %7.1f us per check\n", $run(true));
printf("(%d checks over %d devices, SQLite %s, WAL, synchronous=%s)\n", $checks, count($hwids),
    db_open($config)->query("SELECT sqlite_version()")->fetchColumn(),
    ["OFF", "NORMAL", "FULL", "EXTRA"][(int)db_open($config)->query("PRAGMA synchronous")->fetchColumn()]);
' "$checks" "$devices"
