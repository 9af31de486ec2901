#!/usr/bin/env bash
# Long fuzzing, not part of the test command: every target with a random seed for MINUTES (default 10)
# each, or until it has run N inputs (--runs N), as many at a time as there are cores. Each target's corpus grows in the build folder
# (build/host/fuzz-long/<target>/corpus, kept between runs, started from the committed seeds).
# Prints executions and coverage per target; a finding is kept and printed with its replay command.
#   bash scripts/fuzz.sh [MINUTES] [--runs N]
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=10 runs=-1
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        *) minutes=$1; shift ;;
    esac
done
bash scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host

jobs=$(nproc)
long=build/host/fuzz-long
mkdir -p "$long"
targets=()
for src in tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done

run_one() {
    local name=$1 dir=$long/$1
    mkdir -p "$dir/corpus" "$dir/findings"
    local start
    start=$(date +%s)
    build/host/"$name" -seed=0 -max_total_time=$((minutes * 60)) -runs="$runs" -max_len=70000 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$dir/findings/" "$dir/corpus" "tests/fuzz/corpus/$name" \
        >"$dir/fuzz.log" 2>&1
    echo $? >"$dir/status"
    echo $(( $(date +%s) - start )) >"$dir/seconds"
}

echo "fuzzing ${targets[*]} for $minutes min each$([ "$runs" -gt 0 ] && echo " or $runs inputs"), $jobs at a time"
running=0
for name in "${targets[@]}"; do
    run_one "$name" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
done
wait || true

failed=0
printf '%-16s %-8s %12s %8s %10s %8s %8s %s\n' target result executions seconds exec/s cov ft seed
for name in "${targets[@]}"; do
    dir=$long/$name
    log=$dir/fuzz.log
    status=$(cat "$dir/status")
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    seconds=$(cat "$dir/seconds")
    done_line=$(grep -E '^#[0-9]+[[:space:]]+(DONE|NEW|REDUCE|pulse)' "$log" | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
    seed=$(sed -n 's/^INFO: Seed: *//p' "$log" | head -1)
    rate=$(( ${execs:-0} / (seconds > 0 ? seconds : 1) ))
    result=ok
    [ "$status" -ne 0 ] && { result=FINDING; failed=1; }
    printf '%-16s %-8s %12s %8s %10s %8s %8s %s\n' "$name" "$result" "${execs:-?}" "$seconds" "$rate" "${cov:-?}" "${ft:-?}" "${seed:-?}"
done
for name in "${targets[@]}"; do
    for f in "$long/$name"/findings/*; do
        [ -f "$f" ] || continue
        echo "FINDING of $name: $f"
        echo "  input (base64): $(head -c 4096 "$f" | base64 -w0)"
        echo "  replay it:      build/host/$name $f"
    done
done
exit $failed
