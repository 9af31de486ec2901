#!/usr/bin/env bash
# Starts the fault-injecting test server in the background for a test run and waits until its ports
# file exists. Usage: start.sh STATE_DIR. Stop it with stop.sh STATE_DIR (kills the recorded pid).
set -euo pipefail
dir=${1:?usage: start.sh STATE_DIR}
here=$(cd "$(dirname "$0")" && pwd)
if [ -f "$dir/pid" ] && kill -0 "$(cat "$dir/pid")" 2>/dev/null; then
    kill "$(cat "$dir/pid")" 2>/dev/null || true
fi
rm -rf "$dir"
mkdir -p "$dir"
nohup python3 "$here/fault_server.py" --state-dir "$dir" --max-seconds "${FAULT_SERVER_SECONDS:-3600}" \
    >"$dir/server.log" 2>&1 </dev/null &
echo $! >"$dir/pid"
for _ in $(seq 1 900); do
    if [ -f "$dir/ports" ]; then
        echo "fault server pid $(cat "$dir/pid")"
        cat "$dir/ports"
        exit 0
    fi
    if ! kill -0 "$(cat "$dir/pid")" 2>/dev/null; then
        echo "fault server ended at start:" >&2
        cat "$dir/server.log" >&2
        exit 1
    fi
    sleep 0.1
done
echo "fault server did not start in 90 s" >&2
kill "$(cat "$dir/pid")" 2>/dev/null || true
exit 1
