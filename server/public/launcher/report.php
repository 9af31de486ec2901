<?php
// Failure reports: POST /launcher/report.php, Content-Type application/json, a body of at most 16 KiB
// (lib/reports.php, docs/operators-guide.md) and the header X-Quillmarsh-Mac: HMAC-SHA256 of the body's
// bytes under the deployment key. Answers, each with a JSON body:
//   200 {"stored":true}; 400 malformed (body, members, code, UTF-8, NUL, header); 403 a signature or
//   HMAC that does not match; 404 reports switched off; 405 another method; 413 a body over 16 KiB;
//   415 another content type; 429 the device's reports of the day are used up; 503 no key of its own or
//   no database (the cause in the error log).
// A shell sends one report per failed run and never retries, so nothing here is worth a second try.
declare(strict_types=1);

require_once __DIR__ . '/../../lib/answer.php';
require_once __DIR__ . '/../../lib/reports.php';

$config = quillmarsh_config();
if (!reports_enabled($config)) {
    answer(404, ['error' => 'not found']);
}
if (($_SERVER['REQUEST_METHOD'] ?? 'GET') !== 'POST') {
    header('Allow: POST');
    answer(405, ['error' => 'method not allowed']);
}
$type = strtolower(trim(explode(';', (string)($_SERVER['CONTENT_TYPE'] ?? ''), 2)[0]));
if ($type !== 'application/json') {
    answer(415, ['error' => 'the body must be application/json']);
}
// The declared length first, then never more than one byte over the limit from the stream (a body sent
// in chunks has no declared length).
$declared = $_SERVER['CONTENT_LENGTH'] ?? '';
if ($declared !== '' && (!ctype_digit((string)$declared) || strlen((string)$declared) > 9
        || (int)$declared > REPORT_BODY_MAX)) {
    answer(413, ['error' => 'the body must have at most ' . REPORT_BODY_MAX . ' bytes']);
}
$input = fopen('php://input', 'rb');
$body = $input === false ? '' : (string)stream_get_contents($input, REPORT_BODY_MAX + 1);
if (strlen($body) > REPORT_BODY_MAX) {
    answer(413, ['error' => 'the body must have at most ' . REPORT_BODY_MAX . ' bytes']);
}
$mac = $_SERVER['HTTP_X_QUILLMARSH_MAC'] ?? null;
if (!is_hex64($mac)) {
    answer(400, ['error' => 'the header ' . REPORT_MAC_HEADER . ' must be 64 lower-case hex characters']);
}
$refusal = hwid_key_refusal($config);
if ($refusal !== null) {
    error_log('report: not answering: ' . $refusal);
    answer(503, ['error' => 'server not configured']);
}
$key = (string)$config['hwid_key'];
// The body's bytes as received are what was signed: nothing is decoded before it is known to be a shell's.
if (!hash_equals(hash_hmac('sha256', $body, $key), $mac)) {
    answer(403, ['error' => 'body HMAC does not match']);
}
$problem = text_problem($body);
if ($problem !== null) {
    answer(400, ['error' => "the body $problem"]);
}
try {
    $decoded = json_decode($body, false, 3, JSON_THROW_ON_ERROR);
} catch (JsonException $e) {
    answer(400, ['error' => 'the body is not JSON: ' . $e->getMessage()]);
}
$problem = report_problem($decoded);
if ($problem !== null) {
    answer(400, ['error' => $problem]);
}
$report = get_object_vars($decoded);
if (!hwid_signature_valid($report['hwid'], $report['sig'], $key)) {
    answer(403, ['error' => 'signature does not match']);
}
try {
    try {
        $db = db_open($config);
        $stored = report_store($db, $report, (int)$config['reports_per_device_day']);
    } catch (PDOException $e) {
        // A reused connection whose database restarted fails once; a new one answers.
        if (!db_persistent() || !db_connection_lost($e)) {
            throw $e;
        }
        $db = db_open($config);
        $stored = report_store($db, $report, (int)$config['reports_per_device_day']);
    }
} catch (Throwable $e) {
    error_log('report: not stored: ' . $e->getMessage());
    answer(503, ['error' => 'reports unavailable']);
}
if (!$stored) {
    answer(429, ['error' => 'too many reports from this device today']);
}
answer(200, ['stored' => true], static function () use ($db, $config): void {
    // Retention without a cron job: about one report in a hundred forgets what is too old.
    if (random_int(1, 100) !== 1) {
        return;
    }
    try {
        reports_prune($db, (int)$config['report_retention_days']);
    } catch (Throwable $e) {
        error_log('report: old reports not pruned: ' . $e->getMessage());
    }
});
