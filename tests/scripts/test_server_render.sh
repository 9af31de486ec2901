#!/usr/bin/env bash
# server/deploy/render.sh: a PostgreSQL DSN (parts separated by ';') renders, and PHP-FPM reads it back
# whole from the rendered pool (a bare ';' would start a comment there and cut the DSN); the device log's
# queue folder is beside a SQLite database by default and must be named for PostgreSQL; values that
# would break the configuration are refused, each by a pattern of its own, and so is a number of PHP
# workers below what the pool starts with.
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
fpm=${PHP_FPM:-/usr/sbin/php-fpm8.2}
[ -x "$fpm" ] || { echo "FAIL: $fpm is missing (scripts/setup.sh installs php8.2-fpm)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
check() {  # check NAME EXPECTED ACTUAL
    if [ "$2" == "$3" ]; then echo "ok   $1"; else echo "FAIL $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}
values() {  # values FILE NAME=VALUE...: the example values with some replaced, for temp folders
    local file=$1; shift
    sed -e "s#^LOG_DIR=.*#LOG_DIR=$work#" -e "s#^FPM_LISTEN=.*#FPM_LISTEN=$work/fpm.sock#" \
        -e "s#^FPM_USER=.*#FPM_USER=$(id -un)#" -e "s#^FPM_GROUP=.*#FPM_GROUP=$(id -gn)#" \
        "$src/server/deploy/values.example" >"$file"
    for pair in "$@"; do
        grep -v "^${pair%%=*}=" "$file" >"$file.new"
        echo "$pair" >>"$file.new"
        mv "$file.new" "$file"
    done
}

# The device log's queue: beside a SQLite database by default; named for any other database.
values "$work/sqlite"
bash "$src/server/deploy/render.sh" "$work/sqlite" "$work/sqlite-out" >/dev/null 2>&1
check "SQLite: the queue beside the database" "env[QUILLMARSH_DEVICE_LOG_QUEUE] = /srv/quillmarsh/data/queue" \
    "$(grep -o 'env\[QUILLMARSH_DEVICE_LOG_QUEUE\].*' "$work/sqlite-out/php-fpm-pool.conf")"
dsn='pgsql:host=db.internal;port=5432;dbname=quillmarsh;sslmode=require'
values "$work/pg-no-queue" "DB_DSN=$dsn"
check "PostgreSQL without a queue folder: refused, saying what to set" "1" \
    "$(bash "$src/server/deploy/render.sh" "$work/pg-no-queue" "$work/pg-no-queue-out" 2>&1 | grep -c '^DEVICE_LOG_QUEUE: name')"
values "$work/pg" "DB_DSN=$dsn" "DEVICE_LOG_QUEUE=/var/lib/quillmarsh/queue"
bash "$src/server/deploy/render.sh" "$work/pg" "$work/out" >"$work/render.log" 2>&1
check "PostgreSQL DSN: rendered" "0" "$?"
printf '[global]\npid = %s/fpm.pid\nerror_log = %s/fpm.log\ninclude = %s/out/php-fpm-pool.conf\n' \
    "$work" "$work" "$work" >"$work/fpm.conf"
fpm_args=(-tt --fpm-config "$work/fpm.conf")
[ "$(id -u)" -ne 0 ] || fpm_args+=(-R)
"$fpm" "${fpm_args[@]}" >"$work/fpm-test.log" 2>&1
check "PostgreSQL DSN: PHP-FPM accepts the pool" "0" "$?"
check "PostgreSQL DSN: PHP-FPM passes it whole to PHP" "$dsn" \
    "$(sed -n 's/.*env\[QUILLMARSH_DB_DSN\] = //p' "$work/fpm-test.log")"

# The release manifest and its signature: served from the files folder at the default path, with
# Cache-Control: no-cache (a re-signed manifest must reach players at once); another path when set.
release_block() {  # release_block CONF PATH: the location block of PATH, its lines trimmed, joined by |
    awk -v open="location = $2 {" '{ sub(/^ +/, "") } $0 == open { on = 1 } on { printf "%s|", $0 } on && $0 == "}" { exit }' "$1"
}
for row in "/launcher/release.txt text/plain" "/launcher/release.txt.sig application/octet-stream"; do
    path=${row% *} type=${row#* }
    check "release $path: served from the files folder, no-cache" \
        "location = $path {|limit_req zone=quillmarsh_download burst=30 nodelay;|alias /srv/quillmarsh/files$path;|default_type $type;|add_header Cache-Control \"no-cache\";|}|" \
        "$(release_block "$work/out/nginx-site.conf" "$path")"
done
values "$work/release" "RELEASE_PATH=/updates/stable.txt"
bash "$src/server/deploy/render.sh" "$work/release" "$work/release-out" >/dev/null 2>&1
check "release path from the values" "2" "$(grep -c 'location = /updates/stable.txt\(.sig\)\? {' "$work/release-out/nginx-site.conf")"

# The console's address allow-list: by default open; listed addresses and networks, then deny.
check "console open by default" "1" "$(grep -c '# every address may reach the console' "$work/out/nginx-site.conf")"
values "$work/allow" "ADMIN_ALLOW=203.0.113.7,10.0.0.0/8,2001:db8::/32"
bash "$src/server/deploy/render.sh" "$work/allow" "$work/allow-out" >/dev/null 2>&1
check "console allow-list rendered" "allow 203.0.113.7/32; allow 10.0.0.0/8; allow 2001:db8::/32; deny all;" \
    "$(sed -n 's/^ *\(allow .*deny all;\)$/\1/p' "$work/allow-out/nginx-site.conf")"

for bad in "ADMIN_ALLOW=203.0.113.7,nonsense" "DB_DSN=pgsql:host=db;dbname=a b" "DB_DSN=pgsql:dbname=\"q\"" 'DB_DSN=pgsql:dbname=$x' \
           "SERVER_NAME=a;b" "FILES_DIR=/srv/files;evil" "RELEASE_PATH=/launcher/release.txt;" "RELEASE_PATH=release.txt"; do
    values "$work/bad" "$bad"
    bash "$src/server/deploy/render.sh" "$work/bad" "$work/bad-out" >"$work/bad.log" 2>&1
    check "refused: $bad" "1" "$?"
done

# Each value has a pattern of its own: characters that PHP-FPM's ini syntax reads as operators ('|', '&',
# '~', '!', parentheses) in its unquoted values, a carriage return, '..' in a path, or a name that is
# not a user name, are refused; so is a value that is not what its place needs.
for bad in "FPM_USER=www-data|root" "FPM_GROUP=www-data&x" "FPM_LISTEN=/run/php/q|x.sock" "FILES_DIR=/srv/files~x" \
           "DEVICE_LOG_QUEUE=/var/lib/q!x" "LOG_DIR=/var/log/(x)" "LOG_DIR=/var/log/../../etc" \
           "FPM_ADDRESS=unix:/run/x&y" "SERVER_NAME=lobby|evil" "$(printf 'SERVER_NAME=a\rb')" "LISTEN=443x" \
           "NGINX_USER=Www Data" "TLS_KEY=relative/key.pem" "CHECK_CONCURRENCY=12a"; do
    values "$work/bad" "$bad"
    bash "$src/server/deploy/render.sh" "$work/bad" "$work/bad-out" >"$work/bad.log" 2>&1
    rc=$?
    check "refused: $(printf '%q' "$bad")" "1" "$rc"
done

# FPM_CHILDREN below the workers the pool starts with or keeps spare: PHP-FPM itself refuses such a pool
# (the oracle), and render.sh refuses the value before it gets there; the smallest it takes, PHP-FPM takes.
spare=$(sed -n 's/^pm\.max_spare_servers = //p' "$src/server/deploy/php-fpm-pool.conf.in")
fpm_check() {  # fpm_check POOL_FILE: PHP-FPM's verdict on the pool (its exit code)
    printf '[global]\npid = %s/fpm.pid\nerror_log = %s/fpm.log\ninclude = %s\n' "$work" "$work" "$1" >"$work/fpm-c.conf"
    "$fpm" -t --fpm-config "$work/fpm-c.conf" $([ "$(id -u)" -ne 0 ] || echo -R) >/dev/null 2>&1
    echo $?
}
values "$work/few" "FPM_CHILDREN=$((spare - 1))"
bash "$src/server/deploy/render.sh" "$work/few" "$work/few-out" >"$work/few.log" 2>&1
check "FPM_CHILDREN=$((spare - 1)): refused, saying the least" "1" "$(grep -c "FPM_CHILDREN must be at least $spare" "$work/few.log")"
sed "s/^pm.max_children = .*/pm.max_children = $((spare - 1))/" "$work/out/php-fpm-pool.conf" >"$work/few-pool.conf"
check "FPM_CHILDREN=$((spare - 1)): PHP-FPM refuses such a pool too" "1" "$([ "$(fpm_check "$work/few-pool.conf")" -ne 0 ] && echo 1 || echo 0)"
values "$work/least" "FPM_CHILDREN=$spare"
bash "$src/server/deploy/render.sh" "$work/least" "$work/least-out" >/dev/null 2>&1
check "FPM_CHILDREN=$spare: rendered, and PHP-FPM takes it" "0" "$(fpm_check "$work/least-out/php-fpm-pool.conf")"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    cat "$work/render.log" "$work/fpm-test.log"
    exit 1
fi
echo "all checks passed"
