#!/usr/bin/env bash
# A private PostgreSQL 15 cluster for the server tests, listening only on a Unix socket in its folder:
#   postgres.sh start DIR     makes the cluster in DIR/cluster (initdb, first time) and starts it;
#                             DIR/socket holds the socket's folder. As root, the cluster runs as the
#                             postgres user (PostgreSQL refuses root); when that user cannot reach DIR,
#                             the cluster lives in a folder of its own under /tmp (DIR/cluster names it).
#   postgres.sh stop DIR      stops it by the pid in its postmaster.pid (fast shutdown) and removes it
#   postgres.sh pause DIR     stops it, keeping the data;  postgres.sh start DIR  starts it again
# Tests make a database of their own in it (tests/support/db.sh). POSTGRES_OPTIONS adds server settings
# ("-c NAME=VALUE ...", after the tests' own, so they win): bench/server_load.sh runs it durable.
set -euo pipefail
pg=${PG_BIN:-/usr/lib/postgresql/15/bin}
verb=${1:?usage: postgres.sh start|stop|pause DIR}
dir=${2:?usage: postgres.sh start|stop|pause DIR}
as_pg=()
[ "$(id -u)" -ne 0 ] || as_pg=(runuser -u postgres --)

cluster_dir() {
    if [ -f "$dir/cluster" ]; then cat "$dir/cluster"; else echo "$dir/cluster"; fi
}
postmaster_pid() {
    local c
    c=$(cluster_dir)
    [ -f "$c/postmaster.pid" ] && head -1 "$c/postmaster.pid" || true
}
stop_by_pid() {
    local pid
    pid=$(postmaster_pid)
    [ -n "$pid" ] || return 0
    kill -INT "$pid" 2>/dev/null || return 0  # fast shutdown: sessions are ended, nothing is lost
    for _ in $(seq 1 600); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
    echo "PostgreSQL ($pid) did not stop in 60 s" >&2
    return 1
}

case "$verb" in
    start)
        [ -x "$pg/initdb" ] || { echo "no PostgreSQL in $pg (scripts/setup.sh installs postgresql-15)" >&2; exit 1; }
        mkdir -p "$dir"
        if [ ! -e "$dir/cluster" ]; then
            cluster=$dir/cluster
            # The socket path must stay below the system's limit (107 bytes) and the postgres user must
            # be able to reach the folder; otherwise a folder of its own in /tmp.
            if [ ${#cluster} -gt 80 ] || { [ ${#as_pg[@]} -gt 0 ] && ! runuser -u postgres -- test -x "$dir"; }; then
                cluster=$(mktemp -d /tmp/quillmarsh-pg.XXXXXX)
                echo "$cluster" >"$dir/cluster.path"
                mv "$dir/cluster.path" "$dir/cluster"
            else
                mkdir -p "$cluster"
            fi
            [ ${#as_pg[@]} -eq 0 ] || chown postgres: "$cluster"
            chmod 700 "$cluster"
            "${as_pg[@]}" "$pg/initdb" -D "$cluster" -A trust -U quillmarsh >"$dir/initdb.log" 2>&1 ||
                { cat "$dir/initdb.log" >&2; exit 1; }
        fi
        cluster=$(cluster_dir)
        pid=$(postmaster_pid)
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then exit 0; fi
        "${as_pg[@]}" "$pg/pg_ctl" -D "$cluster" -l "$cluster/server.log" -w -t 60 \
            -o "-k $cluster -c listen_addresses= -c fsync=off -c max_connections=100 ${POSTGRES_OPTIONS:-}" start >/dev/null ||
            { cat "$cluster/server.log" >&2; exit 1; }
        echo "$cluster" >"$dir/socket"
        echo "pid=$(postmaster_pid)"
        ;;
    pause)
        stop_by_pid
        ;;
    stop)
        stop_by_pid
        cluster=$(cluster_dir)
        rm -rf "$cluster" "$dir"
        ;;
    *)
        echo "usage: postgres.sh start|stop|pause DIR" >&2
        exit 2
        ;;
esac
