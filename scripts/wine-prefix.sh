#!/usr/bin/env bash
# Makes (once) the private Wine prefix the tests run in, tuned for unattended runs.
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh DIR}
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
if [ ! -f "$prefix/.quillmarsh-ready" ]; then
    mkdir -p "$prefix"
    wineboot -i >/dev/null 2>&1
    # A crashing test program must not wait on a crash dialog.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
    # Without a window manager, Wine waits about 2 s whenever a managed window hides.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    wineserver -w
    touch "$prefix/.quillmarsh-ready"
fi
echo "wine prefix ready: $prefix"
