<?php
// Configuration of the reference server. Every value can come from the environment (handy for
// php -S and containers) or from config.local.php next to this file (returns an array with the same
// keys; never committed). Order: defaults, then config.local.php, then the environment.
declare(strict_types=1);

// The development key: public (it is in the source), the default of both the shell's build and this server.
const QUILLMARSH_DEVELOPMENT_KEY = 'quillmarsh-dev-key-NOT-FOR-RELEASE';

function quillmarsh_config(): array
{
    static $config = null;
    if ($config !== null) {
        return $config;
    }
    $config = [
        // DEVELOPMENT KEY, the same text the shell is built with by default. A real deployment sets
        // its own secret here and passes the same text to the shell's build (QUILLMARSH_HWID_KEY).
        'hwid_key' => QUILLMARSH_DEVELOPMENT_KEY,
        // The endpoint refuses to answer under the development key unless this is set: only the
        // development server (bin/dev-server.sh) sets it, so a deployment without its own key fails
        // loudly instead of accepting fingerprints signed by any build.
        'allow_development_key' => false,
        // Any PDO DSN. The tables are made by `php bin/bans.php migrate`, never by a request.
        'db_dsn' => 'sqlite:' . __DIR__ . '/data/bans.sqlite',
        'db_user' => null,
        'db_password' => null,
        // Optional: a read replica of a PostgreSQL primary (same user and password) that answers the
        // endpoint's ban look-ups; the device log, bans and the console use db_dsn. Empty: db_dsn.
        'db_read_dsn' => '',
        // Folder of the files the shell downloads; the URL path below the site root is the path below it.
        'files_dir' => __DIR__ . '/files',
        // The two download paths the shell is built with (QUILLMARSH_JAVA_ARCHIVE_PATH, ..._LAUNCHER_JAR_PATH).
        'java_archive_path' => '/launcher/Java17.zip',
        'launcher_jar_path' => '/launcher/QuillmarshLauncher.jar',
        // The release manifest's path (QUILLMARSH_RELEASE_PATH); its signature is this path + ".sig".
        'release_path' => '/launcher/release.txt',
        // The shell exe a release manifest may offer (QUILLMARSH_SHELL_PATH).
        'shell_path' => '/launcher/QuillmarshLauncher.exe',
        // The device log: the client address of each device's last check, 'full', 'truncated' (IPv4 /24,
        // IPv6 /48) or 'off'; and how many days a device and its history are kept after its last check.
        'device_log_address' => 'full',
        'device_log_days' => 180,
        // A folder on this machine's own disk where checks wait to be written to the device log, many
        // per transaction (lib/device_queue.php); the web server's user's alone (0700). Empty: each check
        // is written on its own. Under load this is what keeps the log from limiting the endpoint.
        'device_log_queue' => __DIR__ . '/data/queue',
        // The console (/admin/): a session ends after this many minutes without a request.
        'admin_idle_minutes' => 30,
        // Failure reports (launcher/report.php): taken at all (off: the endpoint answers 404), at most
        // this many per device and day (UTC; more are answered 429), kept this many days.
        'reports_enabled' => true,
        'reports_per_device_day' => 20,
        'report_retention_days' => 30,
    ];
    $local = __DIR__ . '/config.local.php';
    if (is_file($local)) {
        $overrides = require $local;
        if (is_array($overrides)) {
            $config = array_merge($config, array_intersect_key($overrides, $config));
        }
    }
    $env = [
        'hwid_key' => 'QUILLMARSH_HWID_KEY',
        'allow_development_key' => 'QUILLMARSH_ALLOW_DEVELOPMENT_KEY',
        'db_dsn' => 'QUILLMARSH_DB_DSN',
        'db_user' => 'QUILLMARSH_DB_USER',
        'db_password' => 'QUILLMARSH_DB_PASSWORD',
        'db_read_dsn' => 'QUILLMARSH_DB_READ_DSN',
        'files_dir' => 'QUILLMARSH_FILES_DIR',
        'java_archive_path' => 'QUILLMARSH_JAVA_ARCHIVE_PATH',
        'launcher_jar_path' => 'QUILLMARSH_LAUNCHER_JAR_PATH',
        'release_path' => 'QUILLMARSH_RELEASE_PATH',
        'shell_path' => 'QUILLMARSH_SHELL_PATH',
        'device_log_address' => 'QUILLMARSH_DEVICE_LOG_ADDRESS',
        'device_log_days' => 'QUILLMARSH_DEVICE_LOG_DAYS',
        'device_log_queue' => 'QUILLMARSH_DEVICE_LOG_QUEUE',
        'admin_idle_minutes' => 'QUILLMARSH_ADMIN_IDLE_MINUTES',
        'reports_enabled' => 'QUILLMARSH_REPORTS',
        'reports_per_device_day' => 'QUILLMARSH_REPORTS_PER_DEVICE_DAY',
        'report_retention_days' => 'QUILLMARSH_REPORT_RETENTION_DAYS',
    ];
    foreach ($env as $key => $name) {
        $value = getenv($name);
        if (is_string($value) && $value !== '') {
            $config[$key] = $value;
        }
    }
    if (!in_array($config['device_log_address'], ['full', 'truncated', 'off'], true)) {
        $config['device_log_address'] = 'off';  // a mistyped privacy setting keeps nothing rather than all
    }
    $config['device_log_days'] = max(1, (int)$config['device_log_days']);
    $config['admin_idle_minutes'] = max(1, (int)$config['admin_idle_minutes']);
    $config['reports_per_device_day'] = max(0, (int)$config['reports_per_device_day']);
    $config['report_retention_days'] = max(1, (int)$config['report_retention_days']);
    // Reports are on unless switched off: false from config.local.php, "0"/"false"/"no"/"off" from the
    // environment.
    $config['reports_enabled'] = is_bool($config['reports_enabled']) ? $config['reports_enabled']
        : !in_array(strtolower(trim((string)$config['reports_enabled'])), ['', '0', 'false', 'no', 'off'], true);
    // true from config.local.php, "1"/"true"/"yes"/"on" from the environment
    $config['allow_development_key'] = in_array(strtolower(trim((string)$config['allow_development_key'])),
        ['1', 'true', 'yes', 'on'], true);
    return $config;
}
