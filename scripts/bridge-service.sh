#!/usr/bin/env bash
# Starts the bridge service (bridge/bridge_service.py) in the background with a fresh per-run token and
# prints its pid and port; --stop ends the service recorded in DIR (by pid) and the JVMs it runs.
#   bash scripts/bridge-service.sh --state DIR     -> pid=N / port=P   (DIR/pid, DIR/port, DIR/token)
#   bash scripts/bridge-service.sh --stop DIR
# The token is only in DIR/token (readable by this user alone): never on a command line or the output.
# BRIDGE_MAX_REQUESTS and BRIDGE_REQUEST_SECONDS pass the service's limits (default 200 and 10 s).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
    --stop)
        dir=${2:?--stop DIR}
        if [ -f "$dir/pid" ]; then
            pid=$(cat "$dir/pid")
            kill "$pid" 2>/dev/null || true
            for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
            rm -f "$dir/pid" "$dir/port"
        fi
        exit 0 ;;
    --state) state=${2:?--state DIR} ;;
    *) echo "usage: bridge-service.sh --state DIR | --stop DIR" >&2; exit 2 ;;
esac
mkdir -p "$state"
rm -f "$state/port"
(umask 077 && head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$state/token")
nohup python3 "$here/bridge/bridge_service.py" "$state" "${BRIDGE_MAX_REQUESTS:-200}" "${BRIDGE_REQUEST_SECONDS:-10}" \
    >"$state/service.log" 2>&1 </dev/null &
pid=$!
echo "$pid" >"$state/pid"
for _ in $(seq 1 100); do
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "the bridge service ended at start:" >&2
        cat "$state/service.log" >&2
        exit 1
    fi
    if [ -s "$state/port" ]; then
        echo "pid=$pid"
        echo "port=$(cat "$state/port")"
        exit 0
    fi
    sleep 0.1
done
echo "the bridge service did not start listening in 10 s" >&2
kill "$pid" 2>/dev/null || true
exit 1
