#!/usr/bin/env bash
# Runs every test: the platform-free core natively (sanitizers, bounded fuzzing), then the Windows
# program and its unit and end-to-end tests under Wine in a private prefix, under Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

win_preset=windows
host_preset=host
if [ -n "${CI:-}" ]; then win_preset=windows-ci; host_preset=host-ci; fi

cmake --preset "$host_preset" >/dev/null
cmake --build --preset "$host_preset"
cmake --preset "$win_preset" >/dev/null
cmake --build --preset "$win_preset"

status=0
ctest --preset "$host_preset" -j2 || status=1
# Two at a time: tests that start Windows programs take turns (tests/CMakeLists.txt), the server and
# script tests run beside them.
xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" ctest --preset "$win_preset" -j2 || status=1
exit $status
