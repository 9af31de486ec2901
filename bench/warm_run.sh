#!/usr/bin/env bash
# Warm-run benchmark of an existing Windows build (builds nothing): the shell's time from its process
# start to the client's start, with the built-in Java 17 present and the launcher jar unchanged, against
# the reference server on 127.0.0.1; next to it, in the same run, the floor (the unavoidable work alone
# with the same platform calls, see bench/warm_run.cpp), the ratio shell/floor, and the jar downloaded
# alone with curl.
# Usage: bench/warm_run.sh [BUILD_DIR] [RUNS] [JAR_MIB]   (defaults: build/windows 5 8)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/windows}
runs=${2:-5}
jar_mib=${3:-8}
program=$build/bench/warm_run.exe
shell=$build/QuillmarshLauncher.exe
for f in "$program" "$shell"; do
    [ -f "$f" ] || { echo "no $f: build the windows preset first" >&2; exit 1; }
done
build=$(realpath "$build")
jar_path=$(sed -n 's/^QUILLMARSH_LAUNCHER_JAR_PATH:[A-Z]*=//p' "$build/CMakeCache.txt")
jar_path=${jar_path:-/launcher/QuillmarshLauncher.jar}

prefix=$build/wineprefix
bash scripts/wine-prefix.sh "$prefix" >/dev/null
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='

work=$(mktemp -d /tmp/qm_warm_run.XXXXXX)
cleanup() {
    bash server/bin/dev-server.sh --stop "$work/server" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/files$(dirname "$jar_path")" "$work/server"
head -c $((jar_mib * 1048576)) /dev/urandom >"$work/files$jar_path"
url=$(QUILLMARSH_FILES_DIR=$work/files QUILLMARSH_LAUNCHER_JAR_PATH=$jar_path \
      bash server/bin/dev-server.sh --state "$work/server" | sed -n 's/^url=//p')
[ -n "$url" ] || { echo "the reference server did not start" >&2; exit 1; }

windows() { echo "Z:$1" | tr / '\\'; }
echo "jar: $jar_mib MiB from $url$jar_path; $runs warm runs after one that installs the jar"
export QUILLMARSH_BASE_URL=$url
xvfb-run -a -s "-screen 0 1280x1024x24" wine "$program" bench "$(windows "$(realpath "$shell")")" \
    "$(windows "$work")" "$runs" "$url" "$url$jar_path" | tr -d '\r' | tee "$work/shell.txt" | grep -v '^median_to_client_ms='
shell_ms=$(sed -n 's/^median_to_client_ms=//p' "$work/shell.txt")

times=()
for _ in $(seq 1 "$runs"); do
    times+=("$(curl -s -o /dev/null -w '%{time_total}' "$url$jar_path")")
done
printf '%s\n' "${times[@]}" | sort -n | awk -v n="$runs" -v shell="$shell_ms" '
    { t[NR] = $1 * 1000 }
    END {
        m = (n % 2) ? t[(n + 1) / 2] : (t[n / 2] + t[n / 2 + 1]) / 2
        printf "curl, the same jar alone (%d runs): median %.1f ms, min %.1f ms, max %.1f ms\n", n, m, t[1], t[n]
        printf "shell overhead beyond the download, warm run (median to client start minus median curl): %.1f ms\n",
               shell - m
    }'
