#!/usr/bin/env bash
# The shell runs on a bare Windows installation: a 64-bit GUI program that imports only DLLs shipped
# with Windows, never the MinGW runtime (libstdc++, libgcc, libwinpthread).
set -euo pipefail
exe=${QUILLMARSH_EXE:?path of QuillmarshLauncher.exe}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

headers=$("$objdump" -p "$exe")
fail=0
check() {  # description, pattern that must appear in the headers
    if grep -Eq "$2" <<<"$headers"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi
}
check "PE32+ (x86-64)" '^Magic[[:space:]]+020b[[:space:]]+\(PE32\+\)'
check "file format pei-x86-64" 'file format pei-x86-64'
check "GUI subsystem (no console)" '^Subsystem[[:space:]]+00000002[[:space:]]+\(Windows GUI\)'

# System DLLs a Windows 10/11 installation always has (compared without regard to case).
allowed="advapi32.dll bcrypt.dll comctl32.dll crypt32.dll gdi32.dll iphlpapi.dll kernel32.dll msvcrt.dll
ntdll.dll ole32.dll oleaut32.dll shell32.dll shlwapi.dll ucrtbase.dll user32.dll userenv.dll version.dll
winhttp.dll ws2_32.dll"
mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | tr -d '\r')
if [ ${#dlls[@]} -eq 0 ]; then echo "FAIL: no import table found"; fail=1; fi
for dll in "${dlls[@]}"; do
    case "$dll" in
        libstdc++*|libgcc*|libwinpthread*|lib*.dll) echo "FAIL: imports the MinGW runtime: $dll"; fail=1; continue ;;
        api-ms-win-*) echo "ok: imports $dll (API set)"; continue ;;
    esac
    if grep -qw -- "$dll" <<<"$allowed"; then
        echo "ok: imports $dll"
    else
        echo "FAIL: imports $dll, which does not ship with Windows"
        fail=1
    fi
done
# The program needs the UI and kernel DLLs: a table without them was read wrongly.
for needed in kernel32.dll user32.dll; do
    printf '%s\n' "${dlls[@]}" | grep -qx "$needed" || { echo "FAIL: $needed not imported"; fail=1; }
done
exit $fail
