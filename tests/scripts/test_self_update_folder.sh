#!/usr/bin/env bash
# A shell in a folder the player cannot write (as under Program Files) skips its own update: one log
# line naming the folder, nothing created there, and the run goes on. The folder is made unwritable on
# the Linux side (immutable as root, else without write permission), which Wine reports as access denied.
set -uo pipefail
bin=${QUILLMARSH_TEST_BIN:?build folder}
probe=$bin/programs/self_update_probe.exe
newer=$bin/doubles/new_shell/new_shell.exe
work=$(mktemp -d)
app="$work/app folder"
locked=no
unlock() {
    if [ "$locked" = yes ]; then
        if [ "$(id -u)" = 0 ]; then chattr -i "$app"; else chmod u+w "$app"; fi
    fi
    rm -rf "$work"
}
trap unlock EXIT

failures=0
check() {  # check NAME EXPECTED ACTUAL
    if [ "$2" == "$3" ]; then echo "ok   $1"; else echo "FAIL $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}

mkdir -p "$app"
# The running shell: the newer double with bytes appended, so the two files differ.
{ cat "$newer" && printf 'the older exe'; } >"$app/QuillmarshLauncher.exe" || { echo "FAIL no double at $newer"; exit 1; }
before=$(sha256sum <"$app/QuillmarshLauncher.exe")
if [ "$(id -u)" = 0 ]; then chattr +i "$app" || { echo "FAIL chattr +i"; exit 1; }; else chmod a-w "$app"; fi
locked=yes
touch "$app/x" 2>/dev/null && { echo "FAIL the folder is still writable"; exit 1; }

win() { winepath -w "$1" 2>/dev/null; }
out=$(wine "$probe" "$(win "$app/QuillmarshLauncher.exe")" "$(win "$newer")" "$(win "$work/launcher.log")" 2>/dev/null)
code=$?
check "result: folder not writable" "3" "$code"
check "printed result" "folder_not_writable" "$(tr -d '\r' <<<"$out" | cut -d' ' -f1)"
check "the exe is unchanged" "$before" "$(sha256sum <"$app/QuillmarshLauncher.exe")"
check "nothing else in the folder" "QuillmarshLauncher.exe" "$(ls "$app")"
log=$(tail -c +4 "$work/launcher.log" | tr -d '\r')
check "two log lines: the offer, the skip" "2" "$(grep -c . <<<"$log")"
check "the skip names the folder" "1" \
    "$(grep -cF "] Каталог программы недоступен для записи — обновление лаунчера пропущено: $(win "$app")" <<<"$log")"
check "no error line" "0" "$(grep -c 'ОШИБКА' <<<"$log")"

[ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $((failures > 0))
