#!/usr/bin/env bash
# Renders the real status panel under Xvfb (the shell's own window class and painting, driven by
# tests/programs/shell_probe.exe with a status text and a progress bar) and writes a picture of it,
# with the 16 px margin to the work area's bottom-right corner, to docs/status-panel.png.
#
#   bash scripts/screenshot-panel.sh [build-dir] [output.png]
#
# The build folder must hold a Windows build (cmake --preset windows); its test prefix is reused.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/windows}")
out=${2:-docs/status-panel.png}
probe="$build/programs/shell_probe.exe"
[ -f "$probe" ] || { echo "no $probe: build the Windows preset first" >&2; exit 1; }
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
bash scripts/wine-prefix.sh "$WINEPREFIX" >/dev/null
mkdir -p "$(dirname "$out")"
out=$(realpath "$out")

width=1280
height=1024
# The part that needs the display; xvfb-run starts it through sh, so it goes in as a script text.
inner='
set -euo pipefail
wine "$probe" panel 20000 620 "Скачивание лаунчера..." &
shown=""
for _ in $(seq 1 100); do
    if xwininfo -root -tree 2>/dev/null | grep -q "\"Quillmarsh Launcher\""; then shown=1; break; fi
    sleep 0.2
done
[ -n "$shown" ] || { echo "the panel did not appear" >&2; wineserver -k; exit 1; }
sleep 1  # let it paint
# Panel: 360 x 76 at 16 px inside the bottom-right corner; keep that margin in the picture.
import -window root -crop "392x108+$((width - 392))+$((height - 108))" +repage "$out"
wineserver -k  # ends the probe program and this prefix session
'
export probe out width height
xvfb-run -a -s "-screen 0 ${width}x${height}x24 -br -noreset" bash -c "$inner"
echo "wrote $out"
