#!/usr/bin/env bash
# The part of the main job that needs the display (run it under xvfb-run): starts the bridge service
# (so the JVMs it starts inherit this DISPLAY), puts the demo launcher jar and the bridge runtime into the
# server's files, runs the shell through launch_and_watch.exe and, when the shell started the client,
# waits for the demo window. Screenshots: JOB_DIR/screen-launch.png as soon as the demo window shows
# (the shell's panel is usually still up then), JOB_DIR/screen.png after the shell ended. Exits with the shell's exit code, or 1
# when the client or its window is missing.
# Usage: scripts/bridge-session.sh BUILD_DIR JOB_DIR   (JOB_DIR/files served by the running reference
#        server; WINEPREFIX (the tar.exe double in its system folder), QUILLMARSH_BASE_URL set). The service's state is JOB_DIR/bridge;
#        stop it with: bash scripts/bridge-service.sh --stop JOB_DIR/bridge
# DEMO_HOLD_SECONDS (default 0): keep the client on screen that long before returning.
# PUBLISHER_PRIVATE_KEY: sign both files with it (scripts/publish.sh) for a shell built with its public key,
# and publish the release manifest of the two (scripts/publish.sh release) at the build's release path.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: bridge-session.sh BUILD_DIR JOB_DIR}
job=${2:?usage: bridge-session.sh BUILD_DIR JOB_DIR}
bash scripts/bridge-service.sh --state "$job/bridge"
bash scripts/bridge-files.sh "$build" "$job/files" "$job/bridge"
if [ -n "${PUBLISHER_PRIVATE_KEY:-}" ]; then
    cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
    jar=$job/files$(cache_value QUILLMARSH_LAUNCHER_JAR_PATH)
    archive=$job/files$(cache_value QUILLMARSH_JAVA_ARCHIVE_PATH)
    bash scripts/publish.sh sign "$PUBLISHER_PRIVATE_KEY" "$jar" "$archive"
    bash scripts/publish.sh release --key "$PUBLISHER_PRIVATE_KEY" --out "$job/files$(cache_value QUILLMARSH_RELEASE_PATH)" \
        --product "$(cache_value QUILLMARSH_PRODUCT)" --jar "$jar" --java "$archive"
fi
echo "running the shell under Wine + Xvfb (DISPLAY=$DISPLAY) ..."
title="Quillmarsh Launcher (demo client)"
window_shown() { xwininfo -root -tree 2>/dev/null | grep -qF "\"$title\""; }
exe_win=$(winepath -w "$build/QuillmarshLauncher.exe")
wine "$build/programs/launch_and_watch.exe" --limit-seconds 330 "$exe_win" &
shell=$!
while kill -0 "$shell" 2>/dev/null; do
    if window_shown; then
        sleep 0.5  # let it paint
        import -window root "$job/screen-launch.png" 2>/dev/null && echo "screenshot: $job/screen-launch.png"
        break
    fi
    sleep 0.2
done
status=0
wait "$shell" || status=$?
echo "shell exit code: $status"
[ $status -eq 0 ] || exit $status

jvm=$(grep '^started pid [0-9]*: .* -jar ' "$job/bridge/service.log" | tail -1 | sed 's/^started pid \([0-9]*\):.*/\1/')
if [ -z "$jvm" ] || ! kill -0 "$jvm" 2>/dev/null; then
    echo "the demo launcher jar is not running; bridge service log:"
    cat "$job/bridge/service.log"
    exit 1
fi
echo "demo launcher jar running under the host's JVM: pid $jvm"
for _ in $(seq 1 300); do
    window_shown && break
    sleep 0.1
done
if ! xwininfo -root -tree 2>/dev/null | grep -F "\"$title\""; then
    echo "no window titled \"$title\" on screen"
    exit 1
fi
sleep 1  # let the window paint before the screenshot
import -window root "$job/screen.png" && echo "screenshot: $job/screen.png"
[ "${DEMO_HOLD_SECONDS:-0}" -le 0 ] || sleep "$DEMO_HOLD_SECONDS"
