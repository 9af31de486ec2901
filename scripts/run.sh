#!/usr/bin/env bash
# The main job: builds the shell, starts the reference server with the demo launcher jar and the bridge
# runtime (a Java 17 archive whose java.exe runs this machine's JVM), and runs the shell under Wine + Xvfb
# as a player would, through the whole launch sequence to the demo client running with its window on
# screen. Prints every message box, the launcher log, the client's console log and where the files are.
# Usage: bash scripts/run.sh [--signed]
#   --signed  signed payloads: makes a throw-away publisher key pair (scripts/publish.sh), builds the shell
#             with -DQUILLMARSH_PUBLISHER_KEY in a build folder of its own (build/windows-signed), signs
#             the demo launcher jar and the bridge runtime on the server and publishes the signed release
#             manifest of the two (scripts/publish.sh release), so the shell checks both.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
signed=0
case "${1:-}" in
    "") ;;
    --signed) signed=1 ;;
    *) echo "usage: bash scripts/run.sh [--signed]" >&2; exit 2 ;;
esac
bash scripts/setup.sh

# Only what the job runs: the shell, the bridge's java.exe, the tar.exe double and the box-answering front.
targets=(QuillmarshLauncher double_bridge_java double_tar program_launch_and_watch)
if [ $signed -eq 0 ]; then
    build=$root/build/windows
else
    build=$root/build/windows-signed
fi
job=$build/main-job
# Every main job is a player's first run: no profile, no launcher directory from an earlier job.
rm -rf "$job" "$build/launcher_data"
mkdir -p "$job"
if [ $signed -eq 0 ]; then
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target "${targets[@]}"
else
    # The private half stays in the job folder (never among the server's files); the build embeds the
    # public half.
    bash scripts/publish.sh keygen "$job/publisher"
    cmake --preset windows -B "$build" -DQUILLMARSH_PUBLISHER_KEY="$job/publisher/publisher-public.pem" >/dev/null
    cmake --build "$build" -j2 --target "${targets[@]}"
    export PUBLISHER_PRIVATE_KEY=$job/publisher/publisher-private.pem
fi

# A prefix of its own, so the player's profile starts empty like on a first run.
export WINEPREFIX=$job/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
bash scripts/wine-prefix.sh "$WINEPREFIX" >/dev/null

# The server's two files, the demo launcher jar and the bridge runtime, are made under the display
# (scripts/bridge-session.sh). Wine has no tar.exe: the double unpacks zips, installed where the shell
# starts tar.exe from, the prefix's system folder.
mkdir -p "$job/files"
cp "$build/doubles/tar/tar.exe" "$WINEPREFIX/drive_c/windows/system32/tar.exe"

export QUILLMARSH_FILES_DIR=$job/files QUILLMARSH_DB_DSN="sqlite:$job/bans.sqlite"
server_state=$job/server
bash server/bin/dev-server.sh --state "$server_state"
trap 'bash scripts/bridge-service.sh --stop "$job/bridge"; bash server/bin/dev-server.sh --stop "$server_state"' EXIT
port=$(cat "$server_state/port")
export QUILLMARSH_BASE_URL=http://127.0.0.1:$port
echo "reference server: $QUILLMARSH_BASE_URL (pid $(cat "$server_state/pid"))"

# Making the prefix started its Wine session without a display; end it, or the shell's windows would
# find no display driver in that session.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
status=0
xvfb-run -a -s "-screen 0 1280x1024x24" bash scripts/bridge-session.sh "$build" "$job" || status=$?

profile=$(ls -d "$WINEPREFIX"/drive_c/users/*/ | grep -v Public | head -1)
for dir in "$profile"AppData/Roaming/.quillmarsh/launcher "$profile"AppData/Local/.quillmarsh/launcher \
           "$build/launcher_data"; do
    if [ -f "$dir/launcher.log" ]; then
        echo
        echo "launcher directory: $dir"
        ls -la "$dir"
        echo
        echo "launcher.log:"
        cat "$dir/launcher.log"
        if [ -f "$dir/java_console.log" ]; then
            echo
            echo "the client's console log (java_console.log):"
            cat "$dir/java_console.log"
        fi
        break
    fi
done
echo
echo "bridge service log:"
cat "$job/bridge/service.log" 2>/dev/null || true
probe="$profile"Temp/quillmarsh_probe.log
if [ -f "$probe" ]; then
    echo
    echo "probe log ($probe):"
    iconv -f UTF-16LE -t UTF-8 "$probe"
fi
echo
echo "server access log:"
tail -n 20 "$server_state/server.log" || true
WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true
exit $status
