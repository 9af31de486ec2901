#!/usr/bin/env bash
# Download throughput on loopback: download_to_file (bench/download.exe under Wine) next to curl, on the
# same 256 MiB file from the same local server in the same run, each writing the file to disk.
#   bash bench/download.sh [BUILD_DIR] [SIZE_MIB] [RUNS]      (BUILD_DIR default build/windows)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$src/build/windows}" && pwd)
size_mib=${2:-256}
runs=${3:-3}
exe="$build/bench/download.exe"
[ -f "$exe" ] || { echo "build the bench first: cmake --build $build --target bench_download"; exit 1; }

work=$(mktemp -d)
state="$work/server"
cleanup() {
    bash "$src/tests/servers/stop.sh" "$state"
    rm -rf "$work"
}
trap cleanup EXIT

head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$work/body.bin"
bash "$src/tests/servers/start.sh" "$state" >/dev/null
control=$(sed -n 's/^control=//p' "$state/ports")
http=$(sed -n 's/^http=//p' "$state/ports")
curl -s "http://127.0.0.1:$control/set?path=/bench/body.bin&file=$work/body.bin" >/dev/null
url="http://127.0.0.1:$http/bench/body.bin"

echo "file: $size_mib MiB, server: tests/servers/fault_server.py (sendfile) on 127.0.0.1, $runs runs each"
best_curl=0
for i in $(seq 1 "$runs"); do
    speed=$(curl -s -o "$work/curl.bin" -w '%{speed_download}' "$url")
    mib=$(python3 -c "print('%.1f' % ($speed / 1048576))")
    echo "curl run $i: $mib MiB/s"
    best_curl=$(python3 -c "print(max($best_curl, $mib))")
    cmp -s "$work/curl.bin" "$work/body.bin" || { echo "curl got other bytes"; exit 1; }
    rm -f "$work/curl.bin"
done
echo "curl best: $best_curl MiB/s"

export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
wine "$exe" "$url" "Z:${work//\//\\}\\shell.bin" "$runs"
cmp -s "$work/shell.bin" "$work/body.bin" || { echo "download_to_file got other bytes"; exit 1; }
