<?php
// Ban endpoint: GET /launcher/hwid_ban.php?hwid=<64 hex>&sig=<64 hex>
//   200 {"banned":true} or {"banned":false} for a correctly signed fingerprint;
//   400 for malformed input, 403 for a wrong signature, 405 for another method, 503 when the ban
//   list cannot be read or the server has no key of its own; each with {"error":"..."}, the cause of a
//   503 in the error log. The shell refuses to start on anything but a 200 verdict.
declare(strict_types=1);

// A correctly signed check is also recorded in the device log (through its queue, after the answer has
// gone out); a failure to record it changes neither the verdict nor the status, it only goes to the
// error log.
require_once __DIR__ . '/../../lib/answer.php';
require_once __DIR__ . '/../../lib/device_queue.php';

$method = $_SERVER['REQUEST_METHOD'] ?? 'GET';
if ($method !== 'GET' && $method !== 'HEAD') {
    header('Allow: GET, HEAD');
    answer(405, ['error' => 'method not allowed']);
}
$hwid = $_GET['hwid'] ?? null;
$sig = $_GET['sig'] ?? null;
if (!is_hex64($hwid) || !is_hex64($sig)) {
    answer(400, ['error' => 'hwid and sig must be 64 lower-case hex characters']);
}
$config = quillmarsh_config();
$refusal = hwid_key_refusal($config);
if ($refusal !== null) {
    error_log('hwid_ban: not answering: ' . $refusal);
    answer(503, ['error' => 'server not configured']);
}
if (!hwid_signature_valid($hwid, $sig, (string)$config['hwid_key'])) {
    answer(403, ['error' => 'signature does not match']);
}
try {
    try {
        $db = bans_open_read($config);
        $banned = bans_is_banned($db, $hwid);  // an expired ban is no ban
    } catch (PDOException $e) {
        // A reused connection whose database restarted fails once; a new one answers (or fails at once
        // when the database is down).
        if (!db_persistent() || !db_connection_lost($e)) {
            throw $e;
        }
        $db = bans_open_read($config);
        $banned = bans_is_banned($db, $hwid);
    }
} catch (Throwable $e) {
    // A missing database or table fails at once (no lock wait): only bin/bans.php migrate makes them.
    error_log('hwid_ban: ban list unavailable: ' . $e->getMessage());
    answer(503, ['error' => 'ban list unavailable']);
}
answer(200, ['banned' => $banned], static function () use ($db, $hwid, $banned, $config): void {
    try {
        // A replica answered the look-up: the log goes to the primary (opened only when written to).
        $open = $config['db_read_dsn'] === '' ? static fn (): PDO => $db : static fn (): PDO => bans_open($config);
        $address = device_log_address($_SERVER['REMOTE_ADDR'] ?? null, (string)$config['device_log_address']);
        device_log_check($config, $open, $hwid, $banned, $address);
        // Retention without a cron job: about one check in a thousand forgets what is too old.
        if (random_int(1, 1000) === 1) {
            device_log_prune($open(), (int)$config['device_log_days']);
        }
    } catch (Throwable $e) {
        error_log('hwid_ban: device log not written: ' . $e->getMessage());
    }
});
