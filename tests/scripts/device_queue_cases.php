<?php
// The cases of tests/scripts/test_device_queue.sh: php device_queue_cases.php SOURCE_DIR WORK_DIR, with the
// database in QUILLMARSH_DB_DSN (migrated) and the PHP error log in WORK_DIR/php.log.
declare(strict_types=1);
require $argv[1] . "/server/lib/device_queue.php";
[$work, $writers, $per_writer] = [$argv[2], 6, 250];
$failures = 0;
$check = static function (string $name, $expected, $actual) use (&$failures): void {
    $ok = $expected === $actual;
    echo ($ok ? "ok   " : "FAIL "), $name, $ok ? "" : ": expected " . var_export($expected, true)
        . ", got " . var_export($actual, true), "\n";
    $failures += $ok ? 0 : 1;
};
$config = quillmarsh_config();
$open = static fn (): PDO => db_open($config, true);
$hwid = static fn (int $i): string => hash("sha256", "queue device $i");

// Writers at once, each appending and draining: every interleaving of renames, appends and drains must
// end with every check counted exactly once. No connection is open while they are forked (a child would
// close it at its exit, under the parent's feet).
$dir = "$work/queue";
mkdir($dir, 0700);
$queued = ["device_log_queue" => $dir] + $config;
$children = [];
for ($w = 0; $w < $writers; $w++) {
    $pid = pcntl_fork();
    if ($pid === 0) {
        $mine = db_open($config, true);
        for ($i = 0; $i < $per_writer; $i++) {
            device_log_check($queued, static fn (): PDO => $mine, $hwid(($w * 7 + $i) % 40), $i % 5 === 0, "10.0.$w.$i");
        }
        exit(0);
    }
    $children[] = $pid;
}
$clean = true;
foreach ($children as $pid) {
    pcntl_waitpid($pid, $status);
    $clean = $clean && pcntl_wifexited($status) && pcntl_wexitstatus($status) === 0;
}
$check("concurrent writers ended cleanly", true, $clean);
$db = $open();
$row = static function (string $h) use ($db): ?array {
    $q = $db->prepare("SELECT checks, first_seen, last_seen, last_address, last_verdict FROM devices WHERE hwid = ?");
    $q->execute([$h]);
    $r = $q->fetch(PDO::FETCH_NUM);
    return $r === false ? null : [(int)$r[0], $r[1], $r[2], $r[3], $r[4]];
};
$total = static fn (string $table): int => (int)$db->query("SELECT COALESCE(SUM(checks), 0) FROM $table")->fetchColumn();
device_queue_catch_up($queued, static fn (): PDO => $db);
$check("concurrent writers: every check counted once", $writers * $per_writer, $total("devices"));
$check("concurrent writers: the day rows agree", $writers * $per_writer, $total("device_days"));
$expected = array_fill(0, 40, 0);
for ($w = 0; $w < $writers; $w++) {
    for ($i = 0; $i < $per_writer; $i++) {
        $expected[($w * 7 + $i) % 40]++;
    }
}
$counts = array_map(static fn (int $i): int => $row($hwid($i))[0] ?? 0, range(0, 39));
$check("concurrent writers: each device counted exactly", $expected, $counts);
$check("concurrent writers: no batch left in the folder", [], array_values(array_diff(scandir($dir), [".", "..", "queue"])));
$check("concurrent writers: the queue is empty", 0, (int)@filesize("$dir/queue"));
$fresh = "$work/fresh";
umask(022);
$check("a missing queue folder is made and usable", [null, true],
    [device_queue_refusal($fresh), device_queue_add($fresh, device_queue_line($hwid(98), db_time(), false, null))]);
clearstatcache();
$check("a queue made by a check: folder 0700, file 0600, at the umask 022",
    ["700", "600"], [sprintf("%o", fileperms($fresh) & 0777), sprintf("%o", fileperms("$fresh/queue") & 0777)]);

// A check whose writer opened the queue just before a drainer took it goes into the new queue.
$stale = fopen("$dir/queue", "ab");
device_queue_add($dir, device_queue_line($hwid(99), db_time(), false, null));
device_queue_drain($dir, static fn (): PDO => $db);
$check("an append to a queue a drainer took is refused", null,
    device_queue_append("$dir/queue", $stale, device_queue_line($hwid(99), db_time(), false, null)));
fclose($stale);

// A drainer died after writing the first slice of its batch: the next drainer writes the rest only.
$first = array_fill(0, DEVICE_QUEUE_SLICE_LINES, device_queue_line($hwid(100), "2026-01-02T03:04:05Z", false, "192.0.2.1"));
$rest = ["0123 cut short by a crash\n", device_queue_line($hwid(101), "2026-01-02T03:04:06Z", true, null)];
$batch = "$dir/batch-20260102030405-host-1-0123456789ab";  // named and made as a drainer does
file_put_contents($batch, implode("", array_merge($first, $rest)));
chmod($batch, 0600);
device_log_write($db, array_map("device_queue_parse", $first), basename($batch) . "@0");  // what it wrote
device_queue_drain($dir, static fn (): PDO => $db);
$check("a dead drainer's batch: its written slice is not counted again", DEVICE_QUEUE_SLICE_LINES, $row($hwid(100))[0]);
$check("a dead drainer's batch: the rest is written, a check without an address",
    [1, "2026-01-02T03:04:06Z", "2026-01-02T03:04:06Z", null, "banned"], $row($hwid(101)));
$check("a dead drainer's batch: deleted", false, file_exists($batch));
$check("a damaged line is skipped and reported", 1, substr_count((string)file_get_contents("$work/php.log"), "skipped a damaged line"));

// A late check (a queue that waited for the database) adds its count but keeps the later sighting.
device_log_write($db, [[$hwid(101), "2026-01-01T00:00:00Z", false, "198.51.100.9"]]);
$check("a late check: counted, the later time, address and verdict kept",
    [2, "2026-01-01T00:00:00Z", "2026-01-02T03:04:06Z", null, "banned"], $row($hwid(101)));

// A queue folder that cannot be made: the check is written directly.
file_put_contents("$work/not-a-folder", "");
$direct = ["device_log_queue" => "$work/not-a-folder/queue"] + $config;
device_log_check($direct, static fn (): PDO => $db, $hwid(103), false, null);
$check("no queue folder: written directly", 1, $row($hwid(103))[0] ?? 0);

// A full queue (the database refused its writes for long) takes no more lines: the check counts as
// handled (its line is lost), and the error log says so once a minute, not once per check.
$full = "$work/full";
mkdir($full, 0700);
$handle = fopen("$full/queue", "w");
ftruncate($handle, DEVICE_QUEUE_MAX_BYTES + 1);
fclose($handle);
chmod("$full/queue", 0600);
$results = [];
for ($i = 0; $i < 3; $i++) {
    $results[] = device_queue_add($full, device_queue_line($hwid(104), db_time(), false, null));
}
clearstatcache();
$check("a full queue: the lines are refused, the checks handled", [true, true, true, DEVICE_QUEUE_MAX_BYTES + 1],
    [...$results, filesize("$full/queue")]);
$check("a full queue: one line in the error log for three checks", 1,
    substr_count((string)file_get_contents("$work/php.log"), "$full/queue is full"));
exit($failures === 0 ? 0 : 1);
