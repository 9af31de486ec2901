#!/usr/bin/env bash
# Size of the release program next to its budget. Without an argument it builds (incrementally) and
# measures both release configurations that are shipped: the default one (build/windows-release) and the
# one with failure reports on (build/windows-release-reports, -DQUILLMARSH_FAILURE_REPORTS=ON). With a
# path it measures that exe alone. For each: the file size, the budget and the largest sections.
# Usage: bash bench/size.sh [QuillmarshLauncher.exe]
#
# Budget: 512 KiB (524288 bytes). The program is downloaded by every player and often inspected by
# antivirus heuristics; a small, plain exe is faster to fetch and scan. Much of the release exe is the
# statically linked C++ and threads runtime (no MinGW DLLs may be shipped), the rest is the shell, its
# HTTP, ban check, Java and fingerprint code, and the icon. Going above the budget means a heavy
# dependency slipped in (iostreams, locales, regex, the C++ demangler, a second copy of a runtime).
set -euo pipefail
cd "$(dirname "$0")/.."
budget=524288
over=0

measure() {  # label exe
    local label=$1 exe=$2 size
    size=$(stat -c %s "$exe")
    echo "== $label: $exe"
    printf '%-28s %10s bytes  (%s KiB)\n' "QuillmarshLauncher.exe" "$size" "$((size / 1024))"
    printf '%-28s %10s bytes  (%s KiB)\n' "budget" "$budget" "$((budget / 1024))"
    printf '%-28s %10s bytes\n' "headroom" "$((budget - size))"
    if [ "$size" -le "$budget" ]; then
        echo "within budget ($((size * 100 / budget))% used)"
    else
        echo "OVER BUDGET by $((size - budget)) bytes"
        over=1
    fi
    echo "sections:"
    x86_64-w64-mingw32-size -A "$exe" | awk 'NR > 2 && $2 > 0 {printf "  %-10s %8d\n", $1, $2}'
    echo
}

if [ $# -gt 0 ]; then
    measure "given" "$1"
else
    cmake --preset windows-release >/dev/null
    cmake --build --preset windows-release >/dev/null
    measure "release" build/windows-release/QuillmarshLauncher.exe
    cmake --preset windows-release -B build/windows-release-reports -DQUILLMARSH_FAILURE_REPORTS=ON >/dev/null
    cmake --build build/windows-release-reports --target QuillmarshLauncher >/dev/null
    measure "release with failure reports" build/windows-release-reports/QuillmarshLauncher.exe
fi
exit "$over"
