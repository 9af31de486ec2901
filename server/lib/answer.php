<?php
// The launcher endpoints' answers: a status and a small JSON body, never cached. $after runs once the
// answer has gone out (PHP-FPM: fastcgi_finish_request), for work the shell need not wait for: the
// device log's write, a report's clean-up.
declare(strict_types=1);

function answer(int $status, array $body, ?callable $after = null): never
{
    http_response_code($status);
    header('Content-Type: application/json');
    header('Cache-Control: no-store');
    echo json_encode($body, JSON_UNESCAPED_SLASHES);
    if ($after !== null) {
        if (function_exists('fastcgi_finish_request')) {
            fastcgi_finish_request();
        }
        $after();
    }
    exit;
}
