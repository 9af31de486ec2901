# Sourced by the server tests: their checks (tests/support/checks.sh), and background traffic of
# correctly signed ban checks against a server of tests/support/server.sh ($server_url,
# $server_client_seconds). Files go to $TRAFFIC_DIR (default: the caller's $work).
#   traffic_start KEY DEVICES CONNECTIONS LOOP...
#       one background loop per LOOP number N: checks of DEVICES devices signed with KEY, four per
#       connection, each connection from another address of 127.N.0.0/16; a loop ends after
#       CONNECTIONS connections, 600 s, or traffic_stop, whichever comes first
#   traffic_stop                  ends the loops and waits for them
#   traffic_answered              how many checks were answered 200 so far
#   traffic_statuses              every answer's status, one a line

source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

traffic_pids=()
traffic_dir() { echo "${TRAFFIC_DIR:-$work}"; }
traffic_loop() {  # traffic_loop N CONNECTIONS DEVICES
    local n=$1 i k url end=$((SECONDS + 600)) dir
    dir=$(traffic_dir)
    for i in $(seq 0 $(($2 - 1))); do
        [ ! -e "$dir/traffic.stop" ] && [ $SECONDS -lt $end ] || break
        url=()
        for k in 0 1 2 3; do url+=(-o /dev/null "$server_url/launcher/hwid_ban.php?${traffic_checks[(i * 4 + k) % $3]}"); done
        curl -sk --interface "127.$n.$((i / 250)).$((i % 250 + 1))" --max-time "$server_client_seconds" \
            -w '%{http_code}\n' "${url[@]}" >>"$dir/traffic.$n"
    done
}
traffic_start() {
    local key=$1 devices=$2 connections=$3 n dir
    dir=$(traffic_dir)
    shift 3
    rm -f "$dir/traffic.stop"
    php -r 'for ($i = 0; $i < (int)$argv[2]; $i++) { $h = hash("sha256", "traffic device $i");
        echo "hwid=$h&sig=", hash_hmac("sha256", $h, $argv[1]), "\n"; }' "$key" "$devices" >"$dir/traffic.checks"
    mapfile -t traffic_checks <"$dir/traffic.checks"
    for n in "$@"; do
        traffic_loop "$n" "$connections" "$devices" &
        traffic_pids+=($!)
    done
}
traffic_stop() {
    : >"$(traffic_dir)/traffic.stop"
    [ ${#traffic_pids[@]} -eq 0 ] || wait "${traffic_pids[@]}" 2>/dev/null
    traffic_pids=()
}
traffic_statuses() { cat "$(traffic_dir)"/traffic.[0-9]* 2>/dev/null; }
traffic_answered() { traffic_statuses | grep -c '^200$'; }
traffic_running() { [ "$(traffic_answered)" -ge "$1" ]; }
