#!/usr/bin/env bash
# Makes the two download files of a demonstration server that runs a real Java client on a Linux host:
#   <FILES_DIR><launcher jar path>     the demo launcher jar, built from demo/src
#   <FILES_DIR><Java 17 archive path>  the bridge runtime: a "Java 17" zip whose bin\java.exe forwards to
#                                      the bridge service recorded in STATE_DIR (its port and per-run token
#                                      go into bin\bridge.ini), which runs the machine's own java
# On Windows the archive holds a real JDK; the bridge exists only because no Windows JDK can be
# installed on these machines. The paths are the build's own (CMake cache). With PREFIX_DIR (an existing
# Wine prefix), the tar.exe double is installed as its C:\windows\system32\tar.exe (Wine has no tar.exe,
# and the shell starts tar.exe from the system folder only).
# Usage: scripts/bridge-files.sh BUILD_DIR FILES_DIR STATE_DIR [PREFIX_DIR]
#   (start the service first: bash scripts/bridge-service.sh --state STATE_DIR)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: bridge-files.sh BUILD_DIR FILES_DIR STATE_DIR [PREFIX_DIR]}
files=${2:?usage: bridge-files.sh BUILD_DIR FILES_DIR STATE_DIR [PREFIX_DIR]}
state=${3:?usage: bridge-files.sh BUILD_DIR FILES_DIR STATE_DIR [PREFIX_DIR]}
prefix=${4:-}
forwarder=$build/doubles/bridge_java/bridge_java.exe
tar_double=$build/doubles/tar/tar.exe
for f in "$forwarder" "$build/CMakeCache.txt" "$state/port" "$state/token"; do
    [ -f "$f" ] || { echo "no $f: build the windows preset and start the bridge service first" >&2; exit 1; }
done
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
jar_path=$(cache_value QUILLMARSH_LAUNCHER_JAR_PATH)
archive_path=$(cache_value QUILLMARSH_JAVA_ARCHIVE_PATH)
mkdir -p "$files$(dirname "$jar_path")" "$files$(dirname "$archive_path")"

bash "$here/demo/build.sh" "$files$jar_path"
# The token goes from the state folder straight into the archive: never through a command line. The
# archive is private to this user (the development server runs as the same user and serves it).
python3 - "$forwarder" "$files$archive_path" "$state" <<'PY'
import os, sys, zipfile
forwarder, archive, state = sys.argv[1:4]
port = open(os.path.join(state, "port")).read().strip()
token = open(os.path.join(state, "token")).read().strip()
os.umask(0o077)
if os.path.exists(archive):
    os.remove(archive)  # a new file gets the private mode; an old one would keep its own
with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
    z.write(forwarder, "jdk-17.0.2/bin/java.exe")
    z.writestr("jdk-17.0.2/bin/bridge.ini", "port=%s\r\ntoken=%s\r\n" % (port, token))
    z.writestr("jdk-17.0.2/release", 'JAVA_VERSION="17.0.2"\n')
PY
if [ -n "$prefix" ]; then
    [ -f "$tar_double" ] || { echo "no $tar_double" >&2; exit 1; }
    [ -d "$prefix/drive_c/windows/system32" ] || { echo "no Wine prefix at $prefix" >&2; exit 1; }
    cp "$tar_double" "$prefix/drive_c/windows/system32/tar.exe"
fi
echo "launcher jar:    $files$jar_path"
echo "Java 17 archive: $files$archive_path (bridge on 127.0.0.1:$(cat "$state/port"))"
[ -z "$prefix" ] || echo "tar.exe:         $prefix/drive_c/windows/system32/tar.exe"
