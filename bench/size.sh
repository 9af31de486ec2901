#!/usr/bin/env bash
# Size of the release program next to its budget. Builds the release preset's program target
# (incremental; build/windows-release) unless a path to an exe is given, and prints the file size, the
# budget and the largest sections.
# Usage: bash bench/size.sh [QuillmarshLauncher.exe]
#
# Budget: 512 KiB (524288 bytes). The program is downloaded by every player and often inspected by
# antivirus heuristics; a small, plain exe is faster to fetch and scan. Much of the release exe is the
# statically linked C++ and threads runtime (no MinGW DLLs may be shipped), the rest is the shell, its
# HTTP, ban check, Java and fingerprint code, and the icon. The budget leaves about a fifth for growth; going
# above it means a heavy dependency slipped in (iostreams, locales, regex, a second copy of a runtime).
set -euo pipefail
cd "$(dirname "$0")/.."
budget=524288
exe=${1:-}
if [ -z "$exe" ]; then
    cmake --preset windows-release >/dev/null
    cmake --build --preset windows-release >/dev/null
    exe=build/windows-release/QuillmarshLauncher.exe
fi
size=$(stat -c %s "$exe")
printf '%-28s %10s bytes  (%s KiB)\n' "QuillmarshLauncher.exe" "$size" "$((size / 1024))"
printf '%-28s %10s bytes  (%s KiB)\n' "budget" "$budget" "$((budget / 1024))"
printf '%-28s %10s bytes\n' "headroom" "$((budget - size))"
if [ "$size" -le "$budget" ]; then echo "within budget ($((size * 100 / budget))% used)"; else echo "OVER BUDGET by $((size - budget)) bytes"; fi
echo
echo "sections:"
x86_64-w64-mingw32-size -A "$exe" | awk 'NR > 2 && $2 > 0 {printf "  %-10s %8d\n", $1, $2}'
