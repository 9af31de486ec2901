#!/usr/bin/env bash
# Runs the HWID benchmark of an existing Windows build under Wine (builds nothing).
# Usage: bench/hwid.sh [BUILD_DIR]   (default build/windows)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/windows}
program=$build/bench/hwid_bench.exe
[ -f "$program" ] || { echo "no $program: build the windows preset first" >&2; exit 1; }
prefix=$(realpath "$build")/wineprefix
bash scripts/wine-prefix.sh "$prefix" >/dev/null
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
# The display adapter probe needs a display.
if [ -n "${DISPLAY:-}" ]; then
    wine "$program"
else
    xvfb-run -a -s "-screen 0 1280x1024x24" wine "$program"
fi
