# The reference server as in production, for the tests and benches that run it (sourced by bash scripts):
# nginx and PHP-FPM on 127.0.0.1 (and ::1 when asked), configured from the templates in server/deploy
# through render.sh, in a private state folder, over HTTPS with a self-signed certificate made here.
# The database is the caller's: a SQLite file, or a database in the private PostgreSQL cluster
# (tests/support/db.sh, tests/support/postgres.sh), given as DB_DSN.
#
#   server_setup DIR [TREE]      the state folder DIR (made; tls, logs, run, conf, nginx below it) and the
#                                server tree to run (default: this repository's server/); picks a free
#                                port: server_port, server_url (https://127.0.0.1:PORT)
#   server_cert [rsa|ec]         the self-signed certificate for 127.0.0.1 and ::1 (RSA 2048 by default;
#                                ec: ECDSA P-256, cheaper handshakes)
#   server_render NAME=VALUE...  renders the templates into DIR/conf with the harness's values (listen
#                                address, certificate, logs, PHP-FPM socket, users: the current one) and
#                                the caller's (FILES_DIR, paths, DB_DSN, DEVICE_LOG_QUEUE, limits...);
#                                a caller's value replaces the harness's
#   server_fpm_env NAME VALUE    one more environment variable for the PHP-FPM pool
#   server_start_fpm             PHP-FPM with a master configuration of its own around the rendered pool
#   server_start_nginx [SITE [NAME]]   an nginx (own prefix, pid, error log) around the site configuration
#                                SITE (default: the rendered one); server_nginx_workers (1),
#                                server_nginx_connections (64), server_nginx_main and server_nginx_http
#                                (extra lines) shape its main configuration. One call per nginx.
#   server_wait [URL]            until PHP-FPM's socket is there and URL (default server_url) answers,
#                                60 s at most; on failure prints the logs and returns 1
#   server_start                 server_start_fpm, server_start_nginx, server_wait
#   server_stop                  stops every nginx, then PHP-FPM, by pid (call it from the caller's trap)
#   free_port                    a TCP port free on 127.0.0.1 now
#   server_site DBNAME NAME=VALUE...   the site of the server tests, in the caller's $work: a fresh HWID
#                                key ($key, also in the pool), a new database DBNAME (tests/support/db.sh,
#                                SQLite in $work/data), the downloads' folder $work/files, the device
#                                log's queue $work/queue; server_setup, server_cert, server_render with
#                                those and the caller's values; `tool` runs the admin command with the
#                                key; the schema migrated. Starts nothing.
# server_client_seconds is a client's time-out (curl --max-time): longer than nginx's wait for PHP (10 s
# for checks), so that a request PHP never answers shows as nginx's 504, and generous for a slow machine.
# What runs: server_fpm_pid, server_nginx_pids (array); the logs are in DIR/logs (the site's access and
# error logs, PHP's quillmarsh-php.log, php-fpm.log, one error log per nginx).
server_nginx_bin=${NGINX:-/usr/sbin/nginx}
server_fpm_bin=${PHP_FPM:-/usr/sbin/php-fpm8.2}
server_dir=""
server_tree=""
server_port=""
server_url=""
server_fpm_pid=""
server_nginx_pids=()
server_nginx_workers=1
server_nginx_connections=64
server_nginx_main=""
server_nginx_http=""
server_client_seconds=15

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

server_site() {
    local name=${1:?server_site DBNAME NAME=VALUE...}
    shift
    key=$(head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n')
    mkdir -p "$work/data" "$work/files/launcher"
    test_db_init "$name" "$work/data/bans.sqlite"
    server_setup "$work/server" || return 1
    server_cert || return 1
    server_render "FILES_DIR=$work/files" JAVA_ARCHIVE_PATH=/launcher/Java17.zip \
        LAUNCHER_JAR_PATH=/launcher/QuillmarshLauncher.jar "DB_DSN=$QUILLMARSH_DB_DSN" \
        "DEVICE_LOG_QUEUE=$work/queue" "$@" || return 1
    server_fpm_env QUILLMARSH_HWID_KEY "$key"
    [ -z "${QUILLMARSH_DB_USER:-}" ] || server_fpm_env QUILLMARSH_DB_USER "$QUILLMARSH_DB_USER"
    tool migrate >/dev/null || { echo "FAIL: migrate"; return 1; }
}
tool() { QUILLMARSH_HWID_KEY=$key php "$server_tree/bin/bans.php" "$@"; }

server_setup() {
    local tool
    for tool in "$server_nginx_bin" "$server_fpm_bin"; do
        [ -x "$tool" ] || { echo "FAIL: $tool is missing (scripts/setup.sh installs nginx and php8.2-fpm)"; return 1; }
    done
    server_dir=${1:?server_setup DIR [TREE]}
    server_tree=${2:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../../server" && pwd)}
    mkdir -p "$server_dir"/{tls,logs,run,conf,nginx}
    # The servers' users (the current one; as root the pool runs as root too, with -R) read the tree.
    chmod 755 "$server_dir"
    server_port=$(free_port)
    server_url=https://127.0.0.1:$server_port
}

server_cert() {
    local key=(-newkey rsa:2048)
    [ "${1:-rsa}" != ec ] || key=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1)
    openssl req -x509 "${key[@]}" -nodes -keyout "$server_dir/tls/privkey.pem" -out "$server_dir/tls/fullchain.pem" \
        -days 2 -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1,IP:::1" 2>/dev/null ||
        { echo "FAIL: openssl could not make the test certificate"; return 1; }
}

server_render() {
    local user group pair values=$server_dir/values
    user=$(id -un); group=$(id -gn)
    cat >"$values" <<VALUES
SERVER_NAME=127.0.0.1
LISTEN=127.0.0.1:$server_port
TLS_CERT=$server_dir/tls/fullchain.pem
TLS_KEY=$server_dir/tls/privkey.pem
SERVER_DIR=$server_tree
LOG_DIR=$server_dir/logs
FPM_LISTEN=$server_dir/run/fpm.sock
FPM_ADDRESS=unix:$server_dir/run/fpm.sock
FPM_USER=$user
FPM_GROUP=$group
NGINX_USER=$user
NGINX_GROUP=$group
VALUES
    for pair in "$@"; do
        grep -v "^${pair%%=*}=" "$values" >"$values.new"
        printf '%s\n' "$pair" >>"$values.new"
        mv "$values.new" "$values"
    done
    bash "$server_tree/deploy/render.sh" "$values" "$server_dir/conf" >/dev/null ||
        { echo "FAIL: render.sh refused the values"; return 1; }
}

server_fpm_env() {
    printf 'env[%s] = "%s"\n' "$1" "$2" >>"$server_dir/conf/php-fpm-pool.conf"
}

server_start_fpm() {
    cat >"$server_dir/conf/php-fpm.conf" <<CONF
[global]
pid = $server_dir/run/php-fpm.pid
error_log = $server_dir/logs/php-fpm.log
daemonize = no
include = $server_dir/conf/php-fpm-pool.conf
CONF
    local args=(--nodaemonize --fpm-config "$server_dir/conf/php-fpm.conf")
    [ "$(id -u)" -ne 0 ] || args+=(-R)
    "$server_fpm_bin" "${args[@]}" >"$server_dir/logs/php-fpm.out" 2>&1 </dev/null &
    server_fpm_pid=$!
}

server_start_nginx() {
    local site=${1:-$server_dir/conf/nginx-site.conf} name=${2:-nginx}
    local prefix=$server_dir/nginx/$name main=$server_dir/conf/$name-main.conf
    mkdir -p "$prefix/tmp"
    {
        [ "$(id -u)" -ne 0 ] || echo "user $(id -un) $(id -gn);"
        cat <<CONF
daemon off;
worker_processes $server_nginx_workers;
pid $server_dir/run/$name.pid;
error_log $server_dir/logs/$name-error.log;
$server_nginx_main
events { worker_connections $server_nginx_connections; }
http {
    client_body_temp_path $prefix/tmp/body;
    proxy_temp_path $prefix/tmp/proxy;
    fastcgi_temp_path $prefix/tmp/fastcgi;
    uwsgi_temp_path $prefix/tmp/uwsgi;
    scgi_temp_path $prefix/tmp/scgi;
$server_nginx_http
    include $site;
}
CONF
    } >"$main"
    "$server_nginx_bin" -t -q -p "$prefix" -e "$server_dir/logs/$name-error.log" -c "$main" ||
        { echo "FAIL: nginx -t refused $site"; cat "$server_dir/logs/$name-error.log"; return 1; }
    "$server_nginx_bin" -p "$prefix" -e "$server_dir/logs/$name-error.log" -c "$main" \
        >"$server_dir/logs/$name.out" 2>&1 </dev/null &
    server_nginx_pids+=($!)
}

server_wait() {
    local url=${1:-$server_url} p
    for _ in $(seq 1 600); do
        for p in "$server_fpm_pid" "${server_nginx_pids[@]}"; do
            kill -0 "$p" 2>/dev/null || break 2
        done
        if [ -S "$server_dir/run/fpm.sock" ] && curl -sk -o /dev/null --max-time 5 "$url/"; then return 0; fi
        sleep 0.1
    done
    echo "FAIL: the servers did not come up"
    tail -n 50 "$server_dir"/logs/*
    return 1
}

server_start() {
    server_start_fpm && server_start_nginx && server_wait
}

server_stop_pid() {  # a graceful end, then a hard one
    [ -n "$1" ] || return 0
    kill -QUIT "$1" 2>/dev/null || return 0
    for _ in $(seq 1 300); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
    kill -KILL "$1" 2>/dev/null || true
}

server_stop() {
    local p
    for p in "${server_nginx_pids[@]}"; do server_stop_pid "$p"; done
    server_nginx_pids=()
    server_stop_pid "$server_fpm_pid"
    server_fpm_pid=""
}
