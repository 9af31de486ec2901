#!/usr/bin/env bash
# The built-in server host, the two download paths and the release manifest's path are built into the
# program only in scrambled form: neither the configured texts nor the defaults appear in the program
# file, as UTF-8/ASCII or as UTF-16LE, and the generated header holds only the scrambled bytes.
set -euo pipefail
exe=${QUILLMARSH_EXE:?QUILLMARSH_EXE not set}
cache=${QUILLMARSH_TEST_BIN:?QUILLMARSH_TEST_BIN not set}/CMakeCache.txt
header=$(dirname "$cache")/generated/deployment_values.h
[ -f "$exe" ] || { echo "missing program: $exe"; exit 1; }

# found FILE TEXT: the text's bytes, or its UTF-16LE form, occur in the file
found() {
    python3 - "$1" "$2" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
text = sys.argv[2]
sys.exit(0 if text.encode("utf-8") in data or text.encode("utf-16-le") in data else 1)
PY
}

# The search itself must work: texts the program holds in plain form are found.
for control in "Quillmarsh Launcher" "/launcher/hwid_ban.php?hwid="; do
    if ! found "$exe" "$control"; then
        echo "positive control failed: \"$control\" was not found in $exe"
        exit 1
    fi
done

status=0
for var in QUILLMARSH_SERVER_HOST QUILLMARSH_JAVA_ARCHIVE_PATH QUILLMARSH_LAUNCHER_JAR_PATH QUILLMARSH_RELEASE_PATH; do
    configured=$(sed -n "s/^$var:STRING=//p" "$cache")
    [ -n "$configured" ] || { echo "no $var in $cache"; exit 1; }
    for text in "$configured" "lobby.quillmarsh.net" "/launcher/Java17.zip" "/launcher/QuillmarshLauncher.jar" \
                "/launcher/release.txt"; do
        if found "$exe" "$text"; then
            echo "plain \"$text\" found in $exe"
            status=1
        fi
    done
    if grep -q -a -F -- "$configured" "$header"; then
        echo "plain $var found in the generated header"
        status=1
    fi
done

# The defaults have the lengths the program is designed around: 20, 20 and 32 bytes.
for triple in "server_host QUILLMARSH_SERVER_HOST lobby.quillmarsh.net 20" \
              "java_archive_path QUILLMARSH_JAVA_ARCHIVE_PATH /launcher/Java17.zip 20" \
              "launcher_jar_path QUILLMARSH_LAUNCHER_JAR_PATH /launcher/QuillmarshLauncher.jar 32"; do
    set -- $triple
    if [ "$(sed -n "s/^$2:STRING=//p" "$cache")" == "$3" ] && ! grep -q "std::uint8_t $1\[$4\]" "$header"; then
        echo "the default $1 is not stored as $4 bytes"
        status=1
    fi
done
[ $status -eq 0 ] && echo "no plain server host or download path in $exe"
exit $status
