#!/usr/bin/env bash
# The HWID signing key is built into the program only in scrambled form: neither the configured key
# nor the development key may appear as plain bytes in the program file.
set -euo pipefail
exe=${QUILLMARSH_EXE:?QUILLMARSH_EXE not set}
cache=${QUILLMARSH_TEST_BIN:?QUILLMARSH_TEST_BIN not set}/CMakeCache.txt
[ -f "$exe" ] || { echo "missing program: $exe"; exit 1; }

configured=$(sed -n 's/^QUILLMARSH_HWID_KEY:STRING=//p' "$cache")
[ -n "$configured" ] || { echo "no QUILLMARSH_HWID_KEY in $cache"; exit 1; }

# The search itself must work: the fingerprint salt is a plain constant of the program.
if ! grep -q -a -F 'Tarnwhistl_MACH_PEPR_k4' "$exe"; then
    echo "positive control failed: the salt was not found in $exe"
    exit 1
fi

status=0
for key in "$configured" "quillmarsh-dev-key-NOT-FOR-RELEASE"; do
    if grep -q -a -F -- "$key" "$exe"; then
        echo "plain signing key found in $exe"
        status=1
    fi
done
# Nor in the generated header the program is built from.
if grep -q -a -F -- "$configured" "$(dirname "$cache")/generated/deployment_values.h"; then
    echo "plain signing key found in the generated header"
    status=1
fi
[ $status -eq 0 ] && echo "no plain signing key in $exe"
exit $status
