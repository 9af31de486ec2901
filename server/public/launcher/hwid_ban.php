<?php
// Ban endpoint: GET /launcher/hwid_ban.php?hwid=<64 hex>&sig=<64 hex>
//   200 {"banned":true} or {"banned":false} for a correctly signed fingerprint;
//   400 for malformed input, 403 for a wrong signature, 405 for another method, 503 when the ban
//   list cannot be read or the server has no key of its own; each with {"error":"..."}, the cause of a
//   503 in the error log. The shell refuses to start on anything but a 200 verdict.
declare(strict_types=1);

require_once __DIR__ . '/../../lib/bans.php';

function answer(int $status, array $body): never
{
    http_response_code($status);
    header('Content-Type: application/json');
    header('Cache-Control: no-store');
    echo json_encode($body, JSON_UNESCAPED_SLASHES);
    exit;
}

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
    $banned = bans_is_banned(bans_open($config), $hwid);
} catch (Throwable $e) {
    // A missing database or table fails at once (no lock wait): only bin/bans.php migrate makes them.
    error_log('hwid_ban: ban list unavailable: ' . $e->getMessage());
    answer(503, ['error' => 'ban list unavailable']);
}
answer(200, ['banned' => $banned]);
