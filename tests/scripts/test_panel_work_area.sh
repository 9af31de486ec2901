#!/usr/bin/env bash
# The status panel follows the work area, not the screen: a taskbar at the bottom or at the right
# narrows the work area, and the panel must sit 16 px inside its bottom-right corner. Wine takes the
# work area from the X root window's _NET_WORKAREA, which a window manager's taskbar would set; this
# script sets it, runs the panel scenario against each, and restores the display afterwards. The
# prefix's Wine session reads the property once, so its own server is restarted for every value.
set -euo pipefail
: "${QUILLMARSH_TEST_BIN:?}" "${QUILLMARSH_EXE:?}" "${WINEPREFIX:?}"
if [ -z "${DISPLAY:-}" ]; then echo "no display: run under xvfb-run"; exit 1; fi

saved=$(xprop -root -notype _NET_WORKAREA 2>/dev/null | sed -n 's/^_NET_WORKAREA = //p' | tr -d ' ')
restore() {
    if [ -n "$saved" ]; then
        xprop -root -f _NET_WORKAREA 32c -set _NET_WORKAREA "$saved"
    else
        xprop -root -remove _NET_WORKAREA
    fi
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
}
trap restore EXIT

read -r width height < <(xdpyinfo 2>/dev/null | sed -n 's/^ *dimensions: *\([0-9]*\)x\([0-9]*\) .*/\1 \2/p')
# The display's own size, never a guess: a work area beyond the screen would be clipped by Wine.
[ -n "${width:-}" ] && [ -n "${height:-}" ] || { echo "cannot read the display's size (xdpyinfo)"; exit 1; }

status=0
# _NET_WORKAREA is x, y, width, height; the panel test wants left, top, right, bottom.
for area in "0 0 $width $((height - 40))" "0 0 $((width - 62)) $height"; do
    read -r x y w h <<<"$area"
    echo "work area x=$x y=$y w=$w h=$h"
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    xprop -root -f _NET_WORKAREA 32c -set _NET_WORKAREA "$x,$y,$w,$h"
    if ! QUILLMARSH_EXPECT_WORK_AREA="$x,$y,$((x + w)),$((y + h))" wine "$QUILLMARSH_TEST_BIN/tests/e2e_tests.exe" \
            --gtest_filter='shell_panel.*' --gtest_brief=1; then
        status=1
    fi
done
exit $status
