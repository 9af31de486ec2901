#!/usr/bin/env bash
# The key of nginx's per-client limits (server/deploy/nginx-site.conf.in): an IPv4 address, or an IPv6
# client's /64. The site runs as rendered (tests/support/server.sh), with two test-only additions: nginx
# takes the client's address from a header sent over 127.0.0.1/::1 (the realip module, so that the test
# can speak from any address), and a test location answers the key nginx computed. nginx writes the
# address itself, in its own compressed form, whatever form the header had.
#   - every pattern of zero groups (all 256), twice with other values: the key is the /64's first four
#     groups; IPv4 addresses and IPv4-mapped IPv6 addresses are keyed by the IPv4 address;
#   - the limits themselves: a hundred checks from a hundred addresses of one /64 are refused with 429
#     once the burst is spent; another /64, and another IPv4 address, are still answered;
#   - the site also listening on [::1]: the key of a real IPv6 connection.
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
source "$src/tests/support/server.sh"
work=$(mktemp -d)
cleanup() {
    server_stop
    rm -rf "$work"
}
trap cleanup EXIT

source "$src/tests/support/checks.sh"

server_setup "$work/server" || exit 1
server_cert || exit 1
mkdir -p "$work/files/launcher" "$work/data"
server_render "FILES_DIR=$work/files" JAVA_ARCHIVE_PATH=/launcher/Java17.zip \
    LAUNCHER_JAR_PATH=/launcher/QuillmarshLauncher.jar "DB_DSN=sqlite:$work/data/bans.sqlite" || exit 1
site=$work/server/conf/nginx-site.conf
# Test-only: the key as an answer, and [::1] too when this machine has IPv6 on its loopback.
sed -i 's|^    location / {|    location = /test/client-key { return 200 "$quillmarsh_client\\n"; }\n&|' "$site"
ipv6=no
if python3 -c 'import socket; s=socket.socket(socket.AF_INET6); s.bind(("::1", 0))' 2>/dev/null; then
    ipv6=yes
    sed -i "s|^    listen 127.0.0.1:$server_port ssl;|&\n    listen [::1]:$server_port ssl;|" "$site"
fi
server_nginx_http="    set_real_ip_from 127.0.0.1; set_real_ip_from ::1; real_ip_header X-Test-Client;"
server_start || exit 1

# key ADDRESS...: nginx's key for each address, one line each, over one connection.
keys() {
    python3 - "$server_port" "$@" <<'PY'
import http.client, ssl, sys
conn = http.client.HTTPSConnection("127.0.0.1", int(sys.argv[1]), context=ssl._create_unverified_context(), timeout=30)
for address in sys.argv[2:]:
    conn.request("GET", "/test/client-key", headers={"X-Test-Client": address})
    answer = conn.getresponse()
    body = answer.read().decode().strip()
    print(body if answer.status == 200 else "status %d" % answer.status)
PY
}

# ---- The key for every pattern of zero groups ---------------------------------------------------------
# Addresses of all 256 patterns (each group zero or not), twice with other values, sent fully written out
# with leading zeros; the expected key is the first four groups. nginx compresses each one its own way.
python3 - >"$work/addresses" <<'PY'
import random
random.seed(64)
for round in range(2):
    for mask in range(256):
        groups = [random.choice([random.randrange(1, 16), random.randrange(1, 0x10000)]) if mask >> i & 1 else 0
                  for i in range(8)]
        if groups[5] == 0xffff and groups[:5] == [0] * 5:
            groups[5] = 0xfffe  # the IPv4-mapped range is checked on its own below
        print(":".join("%04x" % g for g in groups), ":".join("%x" % g for g in groups[:4]))
PY
keys $(cut -d' ' -f1 "$work/addresses") >"$work/keys"
paste -d' ' "$work/addresses" "$work/keys" | awk '$2 != $3' >"$work/wrong"
check "client key: the /64 of 512 IPv6 addresses, every pattern of zero groups (address, expected, got)" \
    "" "$(head -5 "$work/wrong")"
check "client key: same /64, different addresses -> one key" "2001:db8:0:7 2001:db8:0:7 2001:db8:0:7 2001:db8:0:7" \
    "$(keys 2001:db8:0:7::1 2001:db8:0:7:ffff:ffff:ffff:ffff 2001:db8::7:0:0:0:1 2001:0db8:0000:0007:0000:0000:0000:0000 | paste -sd' ')"
check "client key: neighbouring /64s -> their own keys" "2001:db8:0:6 2001:db8:0:8 2001:db8:1:7 2001:db9:0:7" \
    "$(keys 2001:db8:0:6::1 2001:db8:0:8::1 2001:db8:1:7::1 2001:db9:0:7::1 | paste -sd' ')"
check "client key: '::' reaching into the /64" "2001:0:0:1 0:0:0:1 0:0:0:0 1:0:0:0" \
    "$(keys 2001::1:0:0:0:1 ::1:0:0:0:1 ::1 1:: | paste -sd' ')"
check "client key: IPv4 by address, IPv4-mapped as the same address" "192.0.2.7 192.0.2.8 192.0.2.7" \
    "$(keys 192.0.2.7 192.0.2.8 ::ffff:192.0.2.7 | paste -sd' ')"

# ---- The limits keyed on it -----------------------------------------------------------------------------
# The ban check's limit (a burst of 30, then one a second) from a hundred addresses of one /64: before
# the key was the /64, each address had a budget of its own and none was refused.
# codes ADDRESS...: the status of a (malformed, so answered by PHP without the database) check from each.
codes() {
    python3 - "$server_port" "$@" <<'PY'
import http.client, ssl, sys
conn = http.client.HTTPSConnection("127.0.0.1", int(sys.argv[1]), context=ssl._create_unverified_context(), timeout=30)
for address in sys.argv[2:]:
    conn.request("GET", "/launcher/hwid_ban.php?hwid=x&sig=y", headers={"X-Test-Client": address})
    answer = conn.getresponse()
    answer.read()
    print(answer.status)
PY
}
flood=$(codes $(for i in $(seq 1 100); do printf '2001:db8:5:6:%x::%x\n' "$i" "$((i * 7))"; done))
check "limits: a /64's first check is answered" "400" "$(echo "$flood" | head -1)"
check "limits: a hundred addresses of one /64 share its budget (the last ones refused with 429)" "429" "$(echo "$flood" | tail -1)"
check "limits: the next /64, and another IPv4 address, still answered" "400 400" \
    "$(codes 2001:db8:5:7::1 192.0.2.9 | paste -sd' ')"
ipv4_flood=$(codes $(for _ in $(seq 1 100); do echo 192.0.2.10; done))
check "limits: an IPv4 address over its burst, refused; its neighbour answered" "429 400" \
    "$(echo "$ipv4_flood" | tail -1) $(codes 192.0.2.11)"

# ---- A real IPv6 connection -------------------------------------------------------------------------------
if [ "$ipv6" = yes ]; then
    check "over [::1]: the connection's own address, keyed by its /64" "0:0:0:0" \
        "$(curl -sk --max-time 30 "https://[::1]:$server_port/test/client-key")"
else
    echo "skip over [::1]: this machine has no IPv6 on its loopback"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    tail -n 20 "$work"/server/logs/*error.log
    exit 1
fi
echo "all checks passed"
