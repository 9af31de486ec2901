<?php
// Router for PHP's built-in web server (development):
//   php -S 127.0.0.1:8080 -t server/public server/public/router.php
// Serves the ban endpoint, the failure reports, the console (/admin/), the two download files, the release
// manifest and their detached signatures (path + ".sig", made by scripts/publish.sh); everything else is
// 404. Behind a production web
// server, point the site root at server/public and serve the files folder at the two paths instead.
declare(strict_types=1);

require_once __DIR__ . '/../config.php';

// The built-in server logs no request lines when a router answers: keep an access log on stderr
// (the development server's log), written after the answer, whatever path ended the request.
register_shutdown_function(static function (): void {
    $line = sprintf("[%s] %s [%d]: %s %s\n", gmdate('Y-m-d\TH:i:s\Z'), $_SERVER['REMOTE_ADDR'] ?? '-',
        http_response_code(), $_SERVER['REQUEST_METHOD'] ?? '-', $_SERVER['REQUEST_URI'] ?? '-');
    file_put_contents('php://stderr', $line);
});

$path = parse_url($_SERVER['REQUEST_URI'] ?? '/', PHP_URL_PATH);
if (!is_string($path)) {
    $path = '/';
}
$path = rawurldecode($path);

if ($path === '/launcher/hwid_ban.php') {
    require __DIR__ . '/launcher/hwid_ban.php';
    return true;
}
if ($path === '/launcher/report.php') {
    require __DIR__ . '/launcher/report.php';
    return true;
}
// The operators' console: every path below /admin/ goes to its front controller.
if ($path === '/admin') {
    http_response_code(301);
    header('Location: /admin/');
    return true;
}
if (str_starts_with($path, '/admin/')) {
    require __DIR__ . '/admin/index.php';
    return true;
}

$config = quillmarsh_config();
// Only the configured paths and their signatures are files: no other name below the folder is served.
// The release manifest is re-signed often; like the downloads it must never come from a cache unchecked.
$downloads = [$config['launcher_jar_path'], $config['java_archive_path'], $config['release_path'],
    $config['shell_path']];
if (in_array($path, $downloads, true) || in_array($path, array_map(static fn ($p) => $p . '.sig', $downloads), true)) {
    $file = rtrim((string)$config['files_dir'], '/') . $path;
    if (is_file($file) && is_readable($file)) {
        $method = $_SERVER['REQUEST_METHOD'] ?? 'GET';
        header('Content-Type: application/octet-stream');
        header('Content-Length: ' . filesize($file));
        header('Cache-Control: no-cache');
        if ($method !== 'HEAD') {
            $in = fopen($file, 'rb');
            $out = fopen('php://output', 'wb');
            stream_copy_to_stream($in, $out);
            fclose($in);
        }
        return true;
    }
}

http_response_code(404);
header('Content-Type: application/json');
echo json_encode(['error' => 'not found']);
return true;
