# Sourced by the console tests, after they set $src: the development server on a new database, and a
# second PHP server on the same tree whose every request counts as HTTPS (the console as behind a TLS
# front, for the __Host- cookies), both on 127.0.0.1; the checks of tests/support/checks.sh.
#   console_servers NAME   sets work, state, port and base (the plain server), hport and hbase (the
#                          HTTPS one); the database is NAME (tests/support/db.sh); operator alice, password
#                          correct-horse-battery; the servers (by pid), the database and $work go at exit
#   tool ARGS...           the admin command on that database
source "$src/tests/support/db.sh"
source "$src/tests/support/checks.sh"

https_pid=""
console_cleanup() {
    [ -z "$https_pid" ] || { kill "$https_pid" 2>/dev/null; wait "$https_pid" 2>/dev/null; }
    bash "$src/server/bin/dev-server.sh" --stop "$state"
    test_db_drop
    rm -rf "$work"
}
tool() { php "$src/server/bin/bans.php" "$@"; }
console_servers() {
    work=$(mktemp -d)
    state=$work/server
    trap console_cleanup EXIT
    unset QUILLMARSH_HWID_KEY QUILLMARSH_DEVICE_LOG_ADDRESS
    test_db_init "$1" "$work/db/bans.sqlite"
    echo "database: $(test_db_kind)"
    bash "$src/server/bin/dev-server.sh" --state "$state" >/dev/null || { echo "FAIL: server did not start"; exit 1; }
    port=$(cat "$state/port")
    base=http://127.0.0.1:$port
    hport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    printf '<?php\n$_SERVER["HTTPS"] = "on";\nreturn require %s;\n' "'$src/server/public/router.php'" \
        >"$work/https-router.php"
    QUILLMARSH_ALLOW_DEVELOPMENT_KEY=1 php -S "127.0.0.1:$hport" -t "$src/server/public" "$work/https-router.php" \
        >"$work/https.log" 2>&1 </dev/null &
    https_pid=$!
    hbase=http://127.0.0.1:$hport
    local _
    for _ in $(seq 1 100); do (exec 3<>"/dev/tcp/127.0.0.1/$hport") 2>/dev/null && break; sleep 0.1; done
    echo correct-horse-battery | tool operator add alice >/dev/null || { echo "FAIL: operator alice"; exit 1; }
}
