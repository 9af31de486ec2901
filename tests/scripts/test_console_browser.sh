#!/usr/bin/env bash
# The operators' console in a real browser (headless Chromium driven by Selenium, tests/scripts/
# console_browser.py) against the development server, with the real shell under Wine checking in to
# the same server: sign-in, refused and throttled sign-ins, a device the shell checked in found by
# fingerprint prefix and address, ban -> the shell's next run gets the ban box, lift -> it goes on, an
# expired temporary ban lets it go on, a form without its CSRF token is refused, no page without a
# session, the audit shows the changes, the overview's chart, the failures page and its chart in English
# and in Russian, the language switch (and that it sticks), a phone-sized window. Saves a screenshot of
# the device list to <build>/console-devices.png and of the failures page in Russian to
# <build>/console-ru.png (docs/console-devices.png and docs/console-ru.png are copies of them).
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
bin=${QUILLMARSH_TEST_BIN:?QUILLMARSH_TEST_BIN: the Windows build folder}
exe=${QUILLMARSH_EXE:-$bin/QuillmarshLauncher.exe}
front=$bin/programs/launch_and_watch.exe
for f in "$exe" "$front" /usr/bin/chromium /usr/bin/chromedriver; do
    [ -e "$f" ] || { echo "FAIL: no $f (scripts/setup.sh installs chromium and chromium-driver)"; exit 1; }
done
[ -n "${DISPLAY:-}" ] || { echo "no DISPLAY: run under Xvfb"; exit 1; }
work=$(mktemp -d)
server=$work/server
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
cleanup() {
    wineserver -k 2>/dev/null  # this test's own prefix only
    wineserver -w 2>/dev/null
    bash "$src/server/bin/dev-server.sh" --stop "$server"
    rm -rf "$work"
}
trap cleanup EXIT
unset QUILLMARSH_HWID_KEY QUILLMARSH_JAVA_ARCHIVE_PATH QUILLMARSH_LAUNCHER_JAR_PATH QUILLMARSH_DEVICE_LOG_ADDRESS

bash "$src/scripts/wine-prefix.sh" "$WINEPREFIX" >/dev/null || { echo "FAIL: no prefix"; exit 1; }
DEMO_CLIENT_SECONDS=4 bash "$src/scripts/demo-files.sh" "$bin" "$work/files" "$WINEPREFIX" >/dev/null ||
    { echo "FAIL: demo files"; exit 1; }
export QUILLMARSH_FILES_DIR=$work/files QUILLMARSH_DB_DSN="sqlite:$work/db/bans.sqlite"
bash "$src/server/bin/dev-server.sh" --state "$server" >/dev/null || { echo "FAIL: server did not start"; exit 1; }
export CONSOLE_BASE=http://127.0.0.1:$(cat "$server/port") CONSOLE_DB=$work/db/bans.sqlite \
       CONSOLE_SERVER_LOG=$server/server.log CONSOLE_SHOT=$bin/console-devices.png CONSOLE_SHOT_RU=$bin/console-ru.png
for account in alice:correct-horse-battery bob:bobs-long-password; do
    echo "${account#*:}" | php "$src/server/bin/bans.php" operator add "${account%%:*}" >/dev/null ||
        { echo "FAIL: operator ${account%%:*}"; exit 1; }
done

# The shell as a player starts it: launch_and_watch prints every message box; CONSOLE_RUN_SHELL is
# called by the browser script with the file for its output.
mkdir -p "$work/app"
cp "$exe" "$work/app/QuillmarshLauncher.exe"
exe_win=$(winepath -w "$work/app/QuillmarshLauncher.exe")
wineserver -k 2>/dev/null; wineserver -w 2>/dev/null  # winepath's session has no display
{
    echo '#!/usr/bin/env bash'
    printf 'export QUILLMARSH_BASE_URL=%q\n' "$CONSOLE_BASE"
    printf 'wine %q --limit-seconds 200 %q >"$1" 2>&1\n' "$front" "$exe_win"
    echo 'echo "exit code $?" >>"$1"'
} >"$work/run-shell.sh"
export CONSOLE_RUN_SHELL=$work/run-shell.sh CONSOLE_SOURCE=$src

# Debian's python3 (with python3-selenium), not whatever python3 comes first on PATH.
/usr/bin/python3 "$src/tests/scripts/console_browser.py"
status=$?
[ $status -eq 0 ] || { echo "--- server log"; tail -n 60 "$server/server.log"; }
exit $status
