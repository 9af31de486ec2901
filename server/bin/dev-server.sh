#!/usr/bin/env bash
# Starts the reference server for development with PHP's built-in web server on 127.0.0.1, in the
# background, and prints its pid and port:
#   bash server/bin/dev-server.sh [--port P] [--state DIR]      -> pid=N / port=P / url=http://127.0.0.1:P
#   bash server/bin/dev-server.sh --stop DIR                    stops the server recorded in DIR (by pid)
# DIR (default server/data/dev) keeps the pid file and the server's log. Configuration comes from
# config.php / config.local.php and the QUILLMARSH_* environment variables, which the server inherits.
# It makes or upgrades the database first (bin/bans.php migrate), and it is the one server that answers
# under the public development key (QUILLMARSH_ALLOW_DEVELOPMENT_KEY=1): production servers refuse it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
port=""
state="$here/data/dev"
while [ $# -gt 0 ]; do
    case "$1" in
        --port) port=$2; shift 2 ;;
        --state) state=$2; shift 2 ;;
        --stop)
            dir=${2:?--stop DIR}
            if [ -f "$dir/pid" ]; then
                pid=$(cat "$dir/pid")
                kill "$pid" 2>/dev/null || true
                for _ in $(seq 1 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
                rm -f "$dir/pid" "$dir/port"
            fi
            exit 0 ;;
        *) echo "usage: dev-server.sh [--port P] [--state DIR] | --stop DIR" >&2; exit 2 ;;
    esac
done
mkdir -p "$state"
# The development database: its folder (SQLite), then its tables.
php -r 'require $argv[1]; $f = db_sqlite_file(quillmarsh_config()); if ($f !== null && !is_dir(dirname($f))) mkdir(dirname($f), 0770, true);' \
    "$here/lib/db.php"
php "$here/bin/bans.php" migrate >"$state/migrate.log" 2>&1 || { cat "$state/migrate.log" >&2; exit 1; }
export QUILLMARSH_ALLOW_DEVELOPMENT_KEY=1
# The device log's queue in the state folder (not in the server's tree) unless one is configured: the
# server's alone (0700; its files are 0600), or the server does not use it.
export QUILLMARSH_DEVICE_LOG_QUEUE=${QUILLMARSH_DEVICE_LOG_QUEUE:-$state/queue}
mkdir -p -m 700 "$QUILLMARSH_DEVICE_LOG_QUEUE"
if [ -O "$QUILLMARSH_DEVICE_LOG_QUEUE" ] && [ ! -L "$QUILLMARSH_DEVICE_LOG_QUEUE" ]; then
    chmod 700 "$QUILLMARSH_DEVICE_LOG_QUEUE"
fi
if [ -z "$port" ]; then
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
fi
nohup php -S "127.0.0.1:$port" -t "$here/public" "$here/public/router.php" >"$state/server.log" 2>&1 </dev/null &
pid=$!
echo "$pid" >"$state/pid"
echo "$port" >"$state/port"
for _ in $(seq 1 600); do
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "the server ended at start:" >&2
        cat "$state/server.log" >&2
        exit 1
    fi
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        echo "pid=$pid"
        echo "port=$port"
        echo "url=http://127.0.0.1:$port"
        exit 0
    fi
    sleep 0.1
done
echo "the server did not answer on port $port in 60 s" >&2
kill "$pid" 2>/dev/null || true
exit 1
