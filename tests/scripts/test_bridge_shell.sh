#!/usr/bin/env bash
# The real shell with a real Java client: the reference server ships the demo launcher jar and the
# bridge runtime (a Java 17 archive whose java.exe runs the host's JVM), in a Wine prefix of its own
# (a player's first run, empty profile).
#   first run: the shell ends with the jar running under the host's JVM, its window on screen, and its
#              console log holding the same fingerprint and signature the ban request carried
#   a client that dies at once: the shell's final message box carries the jar's own output
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
bin=${QUILLMARSH_TEST_BIN:?QUILLMARSH_TEST_BIN: the Windows build folder}
exe=${QUILLMARSH_EXE:?QUILLMARSH_EXE: the shell}
front=$bin/programs/launch_and_watch.exe
for f in "$exe" "$front" "$bin/doubles/bridge_java/bridge_java.exe" "$bin/doubles/tar/tar.exe"; do
    [ -f "$f" ] || { echo "no $f"; exit 1; }
done
[ -n "${DISPLAY:-}" ] || { echo "no DISPLAY: run under Xvfb"; exit 1; }
work=$(mktemp -d)
bridge=$work/bridge
server=$work/server
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
cleanup() {
    wineserver -k 2>/dev/null  # this test's own prefix only
    wineserver -w 2>/dev/null
    bash "$src/scripts/bridge-service.sh" --stop "$bridge"
    bash "$src/server/bin/dev-server.sh" --stop "$server"
    rm -rf "$work"
}
trap cleanup EXIT
unset QUILLMARSH_HWID QUILLMARSH_HWID_SIG QUILLMARSH_DEMO_SECONDS QUILLMARSH_DEMO_EXIT_CODE QUILLMARSH_HWID_KEY \
      QUILLMARSH_JAVA_ARCHIVE_PATH QUILLMARSH_LAUNCHER_JAR_PATH

bash "$src/scripts/wine-prefix.sh" "$WINEPREFIX" >/dev/null || { echo "no prefix"; exit 1; }
bash "$src/scripts/bridge-service.sh" --state "$bridge" >/dev/null || { echo "bridge service did not start"; exit 1; }
bash "$src/scripts/bridge-files.sh" "$bin" "$work/files" "$bridge" "$WINEPREFIX" >/dev/null ||
    { echo "no server files"; exit 1; }
export QUILLMARSH_FILES_DIR=$work/files QUILLMARSH_DB_DSN="sqlite:$work/bans.sqlite"
bash "$src/server/bin/dev-server.sh" --state "$server" >/dev/null || { echo "server did not start"; exit 1; }
export QUILLMARSH_BASE_URL=http://127.0.0.1:$(cat "$server/port")
# A copy of its own: the launcher directory may fall back to launcher_data beside the exe.
mkdir -p "$work/app"
cp "$exe" "$work/app/QuillmarshLauncher.exe"
exe_win=$(winepath -w "$work/app/QuillmarshLauncher.exe")

failures=0
check() {  # check NAME STATUS DETAIL
    if [ "$2" -eq 0 ]; then echo "ok   $1"; else echo "FAIL $1: $3"; failures=$((failures + 1)); fi
}
has() { grep -qF -- "$2" "$1"; }
title="Quillmarsh Launcher (demo client)"
jvm_of_last_jar() { grep '^started pid [0-9]*: .* -jar ' "$bridge/service.log" | tail -1 | sed 's/^started pid \([0-9]*\):.*/\1/'; }

# ---- First run --------------------------------------------------------------------------------------
code=0
wine "$front" --limit-seconds 300 "$exe_win" >"$work/run1.out" 2>&1 || code=$?
profile=$(ls -d "$WINEPREFIX"/drive_c/users/*/ | grep -v Public | head -1)
dir=""
for candidate in "$profile"AppData/Roaming/.quillmarsh/launcher "$profile"AppData/Local/.quillmarsh/launcher \
                 "$work/app/launcher_data"; do
    if [ -f "$candidate/launcher.log" ]; then dir=$candidate; break; fi
done
check "first run: the shell ends with code 0" "$code" "got $code: $(cat "$work/run1.out")"
has "${dir:-$work}/launcher.log" "Клиент запущен (Java: "; check "first run: the launcher log says the client started" $? \
    "$(cat "$dir/launcher.log" 2>/dev/null)"
query=$(grep -o 'hwid_ban\.php?hwid=[0-9a-f]*&sig=[0-9a-f]*' "$server/server.log" | tail -1)
hwid=$(echo "$query" | sed -n 's/.*hwid=\([0-9a-f]*\)&.*/\1/p')
sig=$(echo "$query" | sed -n 's/.*&sig=\([0-9a-f]*\)$/\1/p')
check "first run: the ban request carried a fingerprint and a signature" \
    "$([ ${#hwid} -eq 64 ] && [ ${#sig} -eq 64 ]; echo $?)" "query '$query'"
console=${dir:-$work}/java_console.log
has "$console" "QUILLMARSH_HWID=$hwid" && has "$console" "QUILLMARSH_HWID_SIG=$sig"
check "first run: java_console.log holds the fingerprint and signature of the ban request" $? \
    "$(cat "$console" 2>/dev/null)"
has "$console" "Java version: $(java -XshowSettings:properties -version 2>&1 | sed -n 's/^ *java.version = //p')"
check "first run: the client runs on the host's JVM" $? "$(cat "$console" 2>/dev/null)"
jvm=$(jvm_of_last_jar)
[ -n "$jvm" ] && kill -0 "$jvm" 2>/dev/null
check "first run: the jar is still running after the shell ended" $? "JVM '$jvm'; $(cat "$bridge/service.log")"
shown=1
for _ in $(seq 1 900); do
    if xwininfo -root -tree 2>/dev/null | grep -qF "\"$title\""; then shown=0; break; fi
    sleep 0.1
done
check "first run: the demo window is on screen" $shown "no window titled '$title'"
if [ -n "${BRIDGE_SCREENSHOT:-}" ] && [ $shown -eq 0 ]; then import -window root "$BRIDGE_SCREENSHOT"; fi
[ -z "$jvm" ] || kill "$jvm" 2>/dev/null
for _ in $(seq 1 600); do grep -q "^ended pid $jvm:" "$bridge/service.log" && break; sleep 0.1; done

# ---- A later run whose client dies at once ----------------------------------------------------------
code=0
QUILLMARSH_DEMO_EXIT_CODE=7 wine "$front" --limit-seconds 300 "$exe_win" >"$work/run2.out" 2>&1 || code=$?
check "early exit: the shell still ends with code 0" "$code" "got $code"
out=$work/run2.out
has "$out" "Не удалось запустить клиент ни на одной Java." && has "$out" "Клиент завершился сразу после запуска (код 7)"
check "early exit: the final message box with the jar's exit code" $? "$(cat "$out")"
has "$out" "Подробности:" && has "$out" "Demo client: ending at once with exit code 7 as asked." &&
    has "$out" "QUILLMARSH_HWID=$hwid"
check "early exit: the box shows the jar's own output" $? "$(cat "$out")"

[ $failures -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
