#!/usr/bin/env bash
# Runs the README's test command N times in a row, each on a fresh clone of the committed HEAD, as CI
# does (CI=true), and prints each run's result and duration. With --busy K, run K has another build of
# the project running beside it the whole time (a second clone, built again and again), so a test that
# only passes on an idle machine shows up.
#   bash scripts/soak-tests.sh [N] [--busy K] [--keep]
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
runs=5 busy=0 keep=0
while [ $# -gt 0 ]; do
    case $1 in
        --busy) busy=$2; shift 2 ;;
        --keep) keep=1; shift ;;
        *) runs=$1; shift ;;
    esac
done
work=$(mktemp -d "${TMPDIR:-/tmp}/quillmarsh-soak.XXXXXX")
commit=$(git -C "$repo" rev-parse --short HEAD)  # every run tests this commit, whatever comes later
echo "soak: $runs runs of commit $commit in $work (busy run: ${busy:-none})"

load_pid=""
start_load() {
    git clone -q "$repo" "$work/load"
    (
        cd "$work/load" || exit 1
        cmake --preset windows >/dev/null 2>&1
        while :; do
            cmake --build --preset windows --target clean >/dev/null 2>&1
            cmake --build --preset windows >/dev/null 2>&1
        done
    ) &
    load_pid=$!
}
stop_load() {
    [ -n "$load_pid" ] || return 0
    kill -- -"$load_pid" 2>/dev/null || kill "$load_pid" 2>/dev/null
    pkill -P "$load_pid" 2>/dev/null
    wait "$load_pid" 2>/dev/null
    load_pid=""
    rm -rf "$work/load"
}
trap stop_load EXIT

declare -a results
failed=0
for i in $(seq 1 "$runs"); do
    clone=$work/clone-$i
    git clone -q "$repo" "$clone" && git -C "$clone" checkout -q "$commit"
    label=idle
    if [ "$i" -eq "$busy" ]; then set -m; start_load; set +m; label=busy; fi
    start=$(date +%s)
    (cd "$clone" && CI=true bash scripts/test.sh) >"$work/run-$i.log" 2>&1 </dev/null
    status=$?
    seconds=$(( $(date +%s) - start ))
    [ "$i" -eq "$busy" ] && stop_load
    summary=$(grep -E 'tests passed|tests failed' "$work/run-$i.log" | tr '\n' ' ')
    result=PASS
    [ $status -ne 0 ] && { result=FAIL; failed=$((failed + 1)); }
    results+=("$(printf 'run %d  %-4s  %-4s  %3dm%02ds  exit %d  %s' "$i" "$label" "$result" $((seconds / 60)) $((seconds % 60)) "$status" "$summary")")
    echo "${results[-1]}"
    [ $status -eq 0 ] && [ $keep -eq 0 ] && rm -rf "$clone"
done
echo "---- commit $commit: $((runs - failed)) of $runs passed; logs in $work"
printf '%s\n' "${results[@]}"
exit $((failed > 0))
