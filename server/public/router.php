<?php
// Router for PHP's built-in web server (development):
//   php -S 127.0.0.1:8080 -t server/public server/public/router.php
// Serves the ban endpoint and the two download files; everything else is 404. Behind a production web
// server, point the site root at server/public and serve the files folder at the two paths instead.
declare(strict_types=1);

require_once __DIR__ . '/../config.php';

$path = parse_url($_SERVER['REQUEST_URI'] ?? '/', PHP_URL_PATH);
if (!is_string($path)) {
    $path = '/';
}
$path = rawurldecode($path);

if ($path === '/launcher/hwid_ban.php') {
    require __DIR__ . '/launcher/hwid_ban.php';
    return true;
}

$config = quillmarsh_config();
// Only the two configured paths are files: no other name below the folder is ever served.
if ($path === $config['launcher_jar_path'] || $path === $config['java_archive_path']) {
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
