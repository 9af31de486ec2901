#!/usr/bin/env bash
# The bridge runtime with the machine's real JVM: java.exe (tests/doubles/bridge_java) under Wine hands
# its command line, working folder and environment to the bridge service, which runs `java` on the host.
#   -version answers like the host's java; paths are translated; the working folder arrives
#   the demo jar: without the fingerprint it fails with its own message and exit code, with it prints both
#   the service's own QUILLMARSH_* variables never reach the JVM; a request with the wrong token is refused
#   java.exe lives exactly as long as the JVM; ended early, the JVM is ended too
set -uo pipefail
src=${QUILLMARSH_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
bin=${QUILLMARSH_TEST_BIN:?QUILLMARSH_TEST_BIN: the Windows build folder}
forwarder=$bin/doubles/bridge_java/bridge_java.exe
[ -f "$forwarder" ] || { echo "no $forwarder"; exit 1; }
work=$(mktemp -d)
state=$work/state
held=""
cleanup() {
    [ -z "$held" ] || kill -9 "$held" 2>/dev/null
    bash "$src/scripts/bridge-service.sh" --stop "$state"
    rm -rf "$work"
}
trap cleanup EXIT

# A fingerprint in the service's own environment must not leak into a JVM started without one.
QUILLMARSH_HWID=from-the-host QUILLMARSH_HWID_SIG=from-the-host \
    bash "$src/scripts/bridge-service.sh" --state "$state" >/dev/null || { echo "service did not start"; exit 1; }
jdk="$work/Java 17/jdk-17.0.2"
mkdir -p "$jdk/bin" "$work/game dir"
cp "$forwarder" "$jdk/bin/java.exe"
printf 'port=%s\r\ntoken=%s\r\n' "$(cat "$state/port")" "$(cat "$state/token")" >"$jdk/bin/bridge.ini"
jar="$work/game dir/demo launcher.jar"
bash "$src/demo/build.sh" "$jar" || { echo "demo jar did not build"; exit 1; }
jar_win=$(winepath -w "$jar")
java_exe="$jdk/bin/java.exe"

failures=0
check() {  # check NAME CONDITION-STATUS DETAIL
    if [ "$2" -eq 0 ]; then echo "ok   $1"; else echo "FAIL $1: $3"; failures=$((failures + 1)); fi
}
has() { grep -qF -- "$2" "$1"; }
run() {  # run NAME [VAR=VALUE...] -- ARGS...: java.exe in "game dir", output in $work/NAME.out/.err, code in $code
    local name=$1; shift
    local vars=()
    while [ "$1" != "--" ]; do vars+=("$1"); shift; done
    shift
    (cd "$work/game dir" && env -u QUILLMARSH_HWID -u QUILLMARSH_HWID_SIG "${vars[@]}" \
        wine "$java_exe" "$@" >"$work/$name.out" 2>"$work/$name.err")
    code=$?
}

run version -- -version
host_banner=$(java -version 2>&1 | head -1)
check "-version: exit code 0" "$code" "got $code"
has "$work/version.err" "$host_banner"; check "-version: the host JVM's banner on standard error" $? \
    "$(cat "$work/version.err")"

run settings -- -XshowSettings:properties -version
has "$work/settings.err" "user.dir = $work/game dir"; check "the working folder arrives as a host path" $? \
    "$(grep user.dir "$work/settings.err")"

run missing -- -jar "$jar_win"
check "no fingerprint: the jar's own exit code 3" "$([ "$code" -eq 3 ]; echo $?)" "got $code"
has "$work/missing.err" "Error: QUILLMARSH_HWID is not set. Start the game from the Quillmarsh launcher."
check "no fingerprint: the jar's message on standard error (the host's variables did not leak)" $? \
    "$(cat "$work/missing.err")"

run nosig QUILLMARSH_HWID=abc -- -jar "$jar_win"
check "no signature: exit code 3" "$([ "$code" -eq 3 ]; echo $?)" "got $code"
has "$work/nosig.err" "Error: QUILLMARSH_HWID_SIG is not set."; check "no signature: its message" $? \
    "$(cat "$work/nosig.err")"

hwid=$(printf 'bridge-device' | sha256sum | cut -c1-64)
sig=$(printf 'bridge-sig' | sha256sum | cut -c1-64)
run fingerprint QUILLMARSH_HWID="$hwid" QUILLMARSH_HWID_SIG="$sig" QUILLMARSH_DEMO_SECONDS=1 -- -jar "$jar_win"
check "with the fingerprint: the jar ends by itself with 0" "$code" "got $code: $(cat "$work/fingerprint.err")"
has "$work/fingerprint.out" "QUILLMARSH_HWID=$hwid" && has "$work/fingerprint.out" "QUILLMARSH_HWID_SIG=$sig"
check "with the fingerprint: both values on standard output" $? "$(cat "$work/fingerprint.out")"
has "$work/fingerprint.out" "Java version: $(java -XshowSettings:properties -version 2>&1 | sed -n 's/^ *java.version = //p')"
check "with the fingerprint: the host JVM's version on standard output" $? "$(cat "$work/fingerprint.out")"

# Wrong token: the service refuses, nothing is started.
cp "$jdk/bin/bridge.ini" "$work/bridge.ini.good"
printf 'port=%s\r\ntoken=not-the-token\r\n' "$(cat "$state/port")" >"$jdk/bin/bridge.ini"
started_before=$(grep -c '^started' "$state/service.log")
run badtoken -- -version
check "wrong token: java.exe fails" "$([ "$code" -ne 0 ]; echo $?)" "got $code"
has "$work/badtoken.err" "wrong token"; check "wrong token: the refusal on standard error" $? "$(cat "$work/badtoken.err")"
check "wrong token: no JVM started" "$([ "$(grep -c '^started' "$state/service.log")" -eq "$started_before" ]; echo $?)" \
    "$(cat "$state/service.log")"
cp "$work/bridge.ini.good" "$jdk/bin/bridge.ini"

# Lifetime: a client that keeps running keeps java.exe running; ending java.exe ends the JVM.
started_before=$(grep -c '^started' "$state/service.log")
(cd "$work/game dir" && exec env QUILLMARSH_HWID="$hwid" QUILLMARSH_HWID_SIG="$sig" \
    wine "$java_exe" -jar "$jar_win" >"$work/alive.out" 2>&1) &
held=$!
for _ in $(seq 1 900); do has "$work/alive.out" "QUILLMARSH_HWID_SIG=" && break; sleep 0.1; done
jvm=$(grep '^started pid' "$state/service.log" | tail -n +$((started_before + 1)) | head -1 | sed 's/^started pid \([0-9]*\):.*/\1/')
sleep 2
kill -0 "$held" 2>/dev/null && [ -n "$jvm" ] && kill -0 "$jvm" 2>/dev/null
check "a running client: java.exe and the JVM both still running" $? "java.exe pid $held, JVM pid '$jvm': $(cat "$work/alive.out")"
kill -9 "$held" 2>/dev/null
wait "$held" 2>/dev/null
held=""
gone=1
for _ in $(seq 1 600); do
    if [ -n "$jvm" ] && ! kill -0 "$jvm" 2>/dev/null; then gone=0; break; fi
    sleep 0.1
done
check "java.exe ended: the JVM is ended too" $gone "JVM pid '$jvm' still running"

[ $failures -eq 0 ] && echo "all bridge checks passed"
exit $((failures > 0))
