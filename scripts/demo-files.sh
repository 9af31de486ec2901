#!/usr/bin/env bash
# Makes the two download files of a demonstration server from an existing Windows build (builds nothing):
#   <FILES_DIR><launcher jar path>   a stand-in for the launcher jar (a small jar with a manifest)
#   <FILES_DIR><Java 17 archive path> a "Java 17" zip whose runtime is the java.exe test double: it answers
#                                    -version like Java 17 and, started with -jar, prints a line and keeps
#                                    running for DEMO_CLIENT_SECONDS (default 30) like a healthy client
# The paths are the build's own (CMake cache), so the shell finds them below the server's base address.
# With PREFIX_DIR (an existing Wine prefix), the tar.exe double is installed as that prefix's
# C:\windows\system32\tar.exe: Wine has no tar.exe, and the shell starts tar.exe from the system folder only.
# Usage: scripts/demo-files.sh BUILD_DIR FILES_DIR [PREFIX_DIR]
# Serve FILES_DIR with the reference server: QUILLMARSH_FILES_DIR=FILES_DIR bash server/bin/dev-server.sh
set -euo pipefail
build=${1:?usage: demo-files.sh BUILD_DIR FILES_DIR [PREFIX_DIR]}
files=${2:?usage: demo-files.sh BUILD_DIR FILES_DIR [PREFIX_DIR]}
prefix=${3:-}
java_double=$build/doubles/java/java.exe
tar_double=$build/doubles/tar/tar.exe
for f in "$java_double" "$tar_double" "$build/CMakeCache.txt"; do
    [ -f "$f" ] || { echo "no $f: build the windows preset first" >&2; exit 1; }
done
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
jar_path=$(cache_value QUILLMARSH_LAUNCHER_JAR_PATH)
archive_path=$(cache_value QUILLMARSH_JAVA_ARCHIVE_PATH)
mkdir -p "$files$(dirname "$jar_path")" "$files$(dirname "$archive_path")"

python3 - "$java_double" "$files$jar_path" "$files$archive_path" "${DEMO_CLIENT_SECONDS:-30}" <<'PY'
import sys, zipfile
java, jar, archive, seconds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
with zipfile.ZipFile(jar, "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\nMain-Class: quillmarsh.demo.Launcher\r\n\r\n")
    z.writestr("quillmarsh/demo/README.txt", "Demonstration stand-in for the launcher jar.\n")
ini = ("jar.stdout=Quillmarsh launcher (demo stand-in) is running\\r\\n\n"
       "jar.alive_ms=%d\n" % (seconds * 1000))
with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
    z.write(java, "jdk-17.0.2/bin/java.exe")
    z.writestr("jdk-17.0.2/bin/java_double.ini", ini)
    z.writestr("jdk-17.0.2/release", 'JAVA_VERSION="17.0.2"\n')
PY
if [ -n "$prefix" ]; then
    [ -d "$prefix/drive_c/windows/system32" ] || { echo "no Wine prefix at $prefix" >&2; exit 1; }
    cp "$tar_double" "$prefix/drive_c/windows/system32/tar.exe"
fi
echo "launcher jar:   $files$jar_path"
echo "Java 17 archive: $files$archive_path"
[ -z "$prefix" ] || echo "tar.exe:        $prefix/drive_c/windows/system32/tar.exe"
