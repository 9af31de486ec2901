#!/usr/bin/env bash
# The server as in production (nginx + PHP-FPM from server/deploy, tests/support/server.sh) while players
# check in, on SQLite and (QUILLMARSH_TEST_DB=pgsql) on PostgreSQL. A small pool (8 PHP workers) so that
# workers kept waiting show. Every client speaks from a loopback address of its own (127.x.y.z), as
# players and operators do from theirs, so nginx's per-address limits stay out of the way.
#   - operators sign in while two loops of correctly signed checks run against 127.0.0.1 (each stops by
#     itself): ten sign-ins in a row and sixteen at once all succeed; five wrong passwords for a real
#     account are each refused and counted, so the right one is then refused by the throttle; of sixteen
#     wrong ones at once no more than five are judged, and the right one is refused after them too; an
#     unknown name gets the same answer as a wrong password;
#   - another process holds the lock of the device log's queue: one of the server's own user on the
#     folder as the endpoint made it, then `nobody` on a folder others can read (as the development
#     server made it): twenty checks at once are all answered 200 within a client's time-out, none 504.
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
source "$src/tests/support/server.sh"
source "$src/tests/support/db.sh"
source "$src/tests/support/traffic.sh"
work=$(mktemp -d)
chmod 755 "$work"
holder_pid=""
release_lock() {
    [ -n "$holder_pid" ] || return 0
    kill "$holder_pid" 2>/dev/null
    wait "$holder_pid" 2>/dev/null
    holder_pid=""
}
cleanup() {
    release_lock
    traffic_stop
    server_stop
    test_db_drop
    rm -rf "$work"
}
trap cleanup EXIT


echo "database: $(test_db_kind)"
queue=$work/queue
server_site traffic ADMIN_ALLOW=127.0.0.0/8,::1 FPM_CHILDREN=8 || exit 1
for account in alice:alices-long-password erin:erins-long-password dave:daves-long-password frank:franks-long-password; do
    echo "${account#*:}" | tool operator add "${account%%:*}" >/dev/null || { echo "FAIL: operator ${account%%:*}"; exit 1; }
done
server_nginx_connections=256  # twenty clients at once, each with its connection to PHP-FPM
server_start || exit 1


# sign_in FROM NAME PASSWORD: the sign-in form, then its POST, from the address FROM; the POST's status.
sign_in() {
    local jar=$work/jar.$1 csrf
    csrf=$(curl -sk --interface "$1" --max-time "$server_client_seconds" -c "$jar" "$server_url/admin/signin" |
        grep -o 'name="csrf" value="[^"]*"' | head -1 | sed 's/.*value="//; s/"$//')
    curl -sk --interface "$1" --max-time "$server_client_seconds" -b "$jar" -c "$jar" -o /dev/null -w '%{http_code}' \
        -H "Origin: $server_url" --data-urlencode "csrf=$csrf" --data-urlencode "name=$2" \
        --data-urlencode "password=$3" "$server_url/admin/signin"
}
# Operators' addresses: 127.2.0.1, 127.2.0.2, ... one per sign-in.
operator=0
next_address() { operator=$((operator + 1)); address=127.2.$((operator / 250)).$((operator % 250 + 1)); }
# at_once COUNT NAME PASSWORD: COUNT sign-ins at the same time, each from its own address; their statuses.
at_once() {
    local i pids=()
    for i in $(seq 1 "$1"); do
        next_address
        sign_in "$address" "$2" "$3" >"$work/at_once.$i" &
        pids+=($!)
    done
    wait "${pids[@]}"
    for i in $(seq 1 "$1"); do cat "$work/at_once.$i"; echo; done
}

# ---- Sign-in while players check in ------------------------------------------------------------------
# Two loops of correctly signed checks of 400 devices, 2,500 connections each at most.
traffic_start "$key" 400 2500 11 12
wait_for 60 traffic_running 20 || { echo "FAIL: the background checks did not start"; tail -n 20 "$work"/server/logs/*; exit 1; }
before=$(traffic_answered)

in_a_row=$(for _ in $(seq 1 10); do next_address; sign_in "$address" alice alices-long-password; echo; done | tally)
check "sign-in under traffic: ten correct sign-ins in a row, all signed in" "303 x10" "$in_a_row"
check "sign-in under traffic: sixteen correct sign-ins at once, all signed in" "303 x16" \
    "$(at_once 16 alice alices-long-password | tally)"

next_address; known=$(sign_in "$address" frank wrong-password-1)
next_address; unknown=$(sign_in "$address" nobody-by-this-name wrong-password-1)
check "sign-in under traffic: an unknown name answered as a wrong password" "401 401" "$known $unknown"

wrong=$(for i in 1 2 3 4 5; do next_address; sign_in "$address" erin "wrong-password-$i"; echo; done | paste -sd' ')
check "sign-in under traffic: five wrong passwords, each refused as wrong" "401 401 401 401 401" "$wrong"
next_address
check "sign-in under traffic: five wrong passwords counted, the right one refused by the throttle" "429" \
    "$(sign_in "$address" erin erins-long-password)"

# Sixteen at once: the count and the check are one step, so no more than the limit's five are judged
# (401), the others are throttled without a look at the password (429).
concurrent=$(at_once 16 dave wrong-password)
echo "     sixteen wrong passwords at once: $(echo "$concurrent" | tally) (401 judged, 429 throttled)"
check "sign-in under traffic: sixteen wrong passwords at once, each refused as wrong or throttled" "" \
    "$(echo "$concurrent" | grep -v '^\(401\|429\)$' | tally)"
check "sign-in under traffic: sixteen wrong passwords at once, at most five judged" "yes" \
    "$([ "$(echo "$concurrent" | grep -c '^401$')" -le 5 ] && echo yes || echo "no: $(echo "$concurrent" | grep -c '^401$') judged")"
next_address
check "sign-in under traffic: after sixteen wrong at once, the right one refused by the throttle" "429" \
    "$(sign_in "$address" dave daves-long-password)"

traffic_stop
echo "     background checks answered during the sign-ins: $(( $(traffic_answered) - before ))"
check "background checks: every one answered 200" "" "$(traffic_statuses | grep -v '^200$' | tally)"

# ---- Another process holds the queue's lock -------------------------------------------------------------
# hold FILE [USER]: a process (of USER, or of this test's user, which the server's is) holds an exclusive
# lock on FILE until this test ends it by pid (or 300 s pass); returns once the lock is held.
hold() {
    local run=()
    [ -z "${2:-}" ] || run=(runuser -u "$2" --)
    rm -f "$work/held"
    "${run[@]}" php -r '
$file = @fopen($argv[1], "r") ?: fopen($argv[1], "c");
if ($file === false || !flock($file, LOCK_EX)) { exit(1); }
echo "held\n";
for ($end = time() + 300; time() < $end; sleep(1)) {}' "$1" >"$work/held" 2>&1 &
    holder_pid=$!
    wait_for 30 grep -q '^held$' "$work/held" || { echo "FAIL: the lock on $1 was not taken: $(cat "$work/held")"; return 1; }
}
# twenty_checks: twenty checks at once, each from its own address (127.3.R.x); "status seconds" each.
round=0
twenty_checks() {
    local i pids=()
    round=$((round + 1))
    for i in $(seq 1 20); do
        curl -sk --interface "127.3.$round.$i" --max-time "$server_client_seconds" -o /dev/null \
            -w '%{http_code} %{time_total}\n' "$server_url/launcher/hwid_ban.php?${traffic_checks[i]}" >"$work/check.$i" &
        pids+=($!)
    done
    wait "${pids[@]}"
    cat "$work"/check.{1..20}
}

# The folder as the endpoint makes it (the server's user only); a process of that same user holds the lock.
[ -d "$queue" ] || mkdir -m 700 "$queue"
if hold "$queue/queue"; then
    answers=$(twenty_checks)
    release_lock
    echo "     lock held by the server's user: slowest answer $(echo "$answers" | sort -k2 -n | tail -1 | cut -d' ' -f2) s"
    check "queue locked by another process of the server's user: twenty checks all answered 200" "200 x20" \
        "$(echo "$answers" | cut -d' ' -f1 | tally)"
    check "queue locked by another process of the server's user: no check waited for nginx's 504" "0" \
        "$(echo "$answers" | grep -c '^504 ')"
else
    failures=$((failures + 1))
fi

# The folder others can read, and a queue file in it, as the development server made them: `nobody`,
# who may only read, holds the lock.
chmod 755 "$queue"
[ -e "$queue/queue" ] || : >"$queue/queue"
chmod 644 "$queue/queue"
if runuser -u nobody -- test -r "$queue/queue" && hold "$queue/queue" nobody; then
    answers=$(twenty_checks)
    release_lock
    echo "     lock held by nobody: slowest answer $(echo "$answers" | sort -k2 -n | tail -1 | cut -d' ' -f2) s"
    check "queue locked by another local user: twenty checks all answered 200" "200 x20" \
        "$(echo "$answers" | cut -d' ' -f1 | tally)"
    check "queue locked by another local user: no check waited for nginx's 504" "0" \
        "$(echo "$answers" | grep -c '^504 ')"
else
    echo "FAIL: nobody could not lock $queue/queue"
    failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    for f in "$work"/server/logs/*error.log "$work"/server/logs/quillmarsh-php.log "$work"/server/logs/php-fpm.log; do
        [ -s "$f" ] && { echo "--- $f"; tail -n 8 "$f" | cut -c1-400; }
    done
    exit 1
fi
echo "all checks passed"
