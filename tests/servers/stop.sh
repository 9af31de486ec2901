#!/usr/bin/env bash
# Stops the fault-injecting test server started by start.sh STATE_DIR (by its recorded pid only).
set -uo pipefail
dir=${1:?usage: stop.sh STATE_DIR}
if [ -f "$dir/pid" ]; then
    pid=$(cat "$dir/pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 300); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$dir/pid" "$dir/ports"
fi
exit 0
