#!/usr/bin/env bash
# Fills in the production configuration of the reference server from a values file (NAME=value lines,
# see values.example): writes OUT_DIR/nginx-site.conf and OUT_DIR/php-fpm-pool.conf. Refuses a values
# file that leaves a name unset, and values with characters that would break the configuration: each
# value must match a pattern of its own (paths, host names, ports, accounts, numbers). Only DB_DSN may
# hold ';' (a PostgreSQL DSN separates its parts with it): the pool template quotes it, where a bare ';'
# would start a comment and cut the DSN. FPM_CHILDREN may not be below the workers the pool starts with. ADMIN_ALLOW (optional, default "all") lists the
# addresses or networks (comma-separated, e.g. 203.0.113.7,10.0.0.0/8) that may reach the console.
# FPM_CHILDREN (optional, default 16) is the pool's number of PHP workers, CHECK_CONCURRENCY (default 256)
# the number of ban checks nginx lets in at once over all addresses (more get 503 at once).
# DEVICE_LOG_QUEUE is the device log's queue folder, on this machine's own disk, FPM_USER's alone (0700):
# with a SQLite DB_DSN by default "queue" beside the database file, with another database required.
# Usage: bash server/deploy/render.sh VALUES_FILE OUT_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
values=${1:?usage: render.sh VALUES_FILE OUT_DIR}
out=${2:?usage: render.sh VALUES_FILE OUT_DIR}
mkdir -p "$out"
python3 - "$values" "$out" "$here/nginx-site.conf.in" "$here/php-fpm-pool.conf.in" <<'PY'
import re, sys
values_file, out, *templates = sys.argv[1:]
# Names whose values go only into quoted places of the templates, where ';' is literal.
SEMICOLON_OK = {"DB_DSN"}
values = {}
for n, line in enumerate(open(values_file, encoding="utf-8"), 1):
    line = line.strip()
    if not line or line.startswith("#"):
        continue
    name, sep, value = line.partition("=")
    if not sep or not re.fullmatch(r"[A-Z_]+", name):
        sys.exit(f"{values_file}:{n}: expected NAME=value")
    forbidden = r"[\s{}'\"$#\\]" if name in SEMICOLON_OK else r"[\s;{}'\"$#\\]"
    if re.search(forbidden, value) or not value:
        allowed = " (';' is allowed here)" if name in SEMICOLON_OK else ""
        sys.exit(f"{values_file}:{n}: {name} is empty or has a blank, quote, ';', braces, '$', '#' or backslash{allowed}")
    values[name] = value
# Optional values and their defaults: PHP-FPM workers, and checks in progress at once over all addresses.
for name, default in (("FPM_CHILDREN", "16"), ("CHECK_CONCURRENCY", "256")):
    values.setdefault(name, default)
    if not re.fullmatch(r"[1-9][0-9]{0,4}", values[name]):
        sys.exit(f"{name} must be a whole number from 1 to 99999")
# The device log's queue folder: with SQLite by default "queue" beside the database file (that folder is
# the web server's already); with another database it must be named.
dsn = values.get("DB_DSN", "")
if "DEVICE_LOG_QUEUE" not in values and dsn.startswith("sqlite:/"):
    values["DEVICE_LOG_QUEUE"] = dsn[len("sqlite:"):].rsplit("/", 1)[0] + "/queue"
if dsn and "DEVICE_LOG_QUEUE" not in values:
    sys.exit("DEVICE_LOG_QUEUE: name the device log's queue folder, on this machine's own disk and writable "
             "by FPM_USER (e.g. /var/lib/quillmarsh/queue)")
if "DEVICE_LOG_QUEUE" in values and not values["DEVICE_LOG_QUEUE"].startswith("/"):
    sys.exit("DEVICE_LOG_QUEUE must be an absolute path")
# The console's address allow-list, made into nginx lines; "all" (or no value) allows every address.
import ipaddress
allow = values.pop("ADMIN_ALLOW", "all")
if allow == "all":
    values["ADMIN_ACCESS"] = "# every address may reach the console (ADMIN_ALLOW=all)"
else:
    lines = []
    for item in allow.split(","):
        try:
            lines.append("allow %s;" % ipaddress.ip_network(item, strict=False))
        except ValueError:
            sys.exit(f"ADMIN_ALLOW: {item!r} is not an address or network (comma-separated, or all)")
    values["ADMIN_ACCESS"] = " ".join(lines + ["deny all;"])
# The release manifest's path (the shell's QUILLMARSH_RELEASE_PATH); older values files lack it.
values.setdefault("RELEASE_PATH", "/launcher/release.txt")
# The shell exe a release may offer (the shell's QUILLMARSH_SHELL_PATH); older values files lack it.
values.setdefault("SHELL_PATH", "/launcher/QuillmarshLauncher.exe")
# Every value that is written gets a pattern of its own, so nothing in it can end the directive or
# mean something else there: no '|', '&', '~', '!', '(' or ')' (operators in PHP-FPM's ini syntax), no
# quotes, blanks, ';', '$', braces, '#' or line breaks (nginx and the pool).
PATH = r"/[A-Za-z0-9._/+-]*"
HOST = r"[A-Za-z0-9](?:[A-Za-z0-9.-]{0,251}[A-Za-z0-9])?"
PORT = r"[0-9]{1,5}"
IP_PORT = rf"(?:(?:[0-9]{{1,3}}\.){{3}}[0-9]{{1,3}}:|\[[0-9A-Fa-f:.]+\]:)?{PORT}"
ACCOUNT = r"[a-z_][a-z0-9_-]{0,31}"
URL_PATH = (r"/[A-Za-z0-9._/-]+", "an absolute URL path of letters, digits, '.', '_', '-' and '/'")
ABSOLUTE = (PATH, "an absolute path")
WHOLE = (r"[1-9][0-9]{0,4}", "a whole number")
PATTERNS = {
    "SERVER_NAME": (rf"(?:\*\.)?{HOST}", "a host name"),
    "LISTEN": (IP_PORT, "a port, or address:port"),
    "TLS_CERT": ABSOLUTE,
    "TLS_KEY": ABSOLUTE,
    "SERVER_DIR": ABSOLUTE,
    "FILES_DIR": ABSOLUTE,
    "LOG_DIR": ABSOLUTE,
    "DEVICE_LOG_QUEUE": ABSOLUTE,
    "JAVA_ARCHIVE_PATH": URL_PATH,
    "LAUNCHER_JAR_PATH": URL_PATH,
    "RELEASE_PATH": URL_PATH,
    "SHELL_PATH": URL_PATH,
    "DB_DSN": (r"(?:sqlite|pgsql|mysql):[A-Za-z0-9_./:;=,@%+-]+",
               "a PDO DSN of letters, digits and '_./:;=,@%+-' (user and password go in config.local.php)"),
    "FPM_LISTEN": (rf"{PATH}|{IP_PORT}", "a socket path, a port, or address:port"),
    "FPM_ADDRESS": (rf"unix:{PATH}|{HOST}:{PORT}|{IP_PORT}", "unix:PATH or host:port"),
    "FPM_USER": (ACCOUNT, "a user name"),
    "FPM_GROUP": (ACCOUNT, "a group name"),
    "NGINX_USER": (ACCOUNT, "a user name"),
    "NGINX_GROUP": (ACCOUNT, "a group name"),
    "FPM_CHILDREN": WHOLE,
    "CHECK_CONCURRENCY": WHOLE,
    "ADMIN_ACCESS": (r"[A-Za-z0-9 ./:;#()=_-]+", "made by this script"),
}
for name, value in values.items():
    pattern, what = PATTERNS.get(name, (None, None))
    if pattern is None:
        continue  # not written anywhere
    if not re.fullmatch(pattern, value) or "\n" in value:
        sys.exit(f"{name} must be {what}: {value!r}")
    if what == "an absolute path" and "/../" in value + "/":
        sys.exit(f"{name} must be an absolute path without '..': {value!r}")
# PHP-FPM refuses a pool with fewer workers than it starts with or keeps spare: read those from the
# pool template, so the two cannot drift apart.
pool = open(templates[1], encoding="utf-8").read()
least = max(int(n) for n in re.findall(r"^pm\.(?:start_servers|min_spare_servers|max_spare_servers) = ([0-9]+)$",
                                       pool, re.M))
if int(values["FPM_CHILDREN"]) < least:
    sys.exit(f"FPM_CHILDREN must be at least {least} (the pool starts {least} workers or keeps that many spare)")
for template in templates:
    text = open(template, encoding="utf-8").read()
    missing = sorted(set(re.findall(r"@([A-Z_]+)@", text)) - values.keys())
    if missing:
        sys.exit(f"{values_file}: no value for {', '.join(missing)}")
    unchecked = sorted(set(re.findall(r"@([A-Z_]+)@", text)) - PATTERNS.keys())
    if unchecked:
        sys.exit(f"{template}: no pattern for {', '.join(unchecked)}")
    text = re.sub(r"@([A-Z_]+)@", lambda m: values[m.group(1)], text)
    name = template.rsplit("/", 1)[1].removesuffix(".in")
    with open(f"{out}/{name}", "w", encoding="utf-8") as f:
        f.write(text)
    print(f"{out}/{name}")
PY
