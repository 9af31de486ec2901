#!/usr/bin/env bash
# One fuzz target as the test command runs it: a fixed seed, the committed seed corpus, a bounded
# number of executions (and a time cap), so the same inputs are tried on every run and a failure
# reproduces. New inputs go to a scratch folder in the build tree; a finding is kept there and the
# command that replays it is printed.
#   run.sh TARGET_EXE SEED_CORPUS WORK_DIR SEED RUNS MAX_SECONDS
set -uo pipefail
exe=$1 seeds=$2 work=$3 seed=$4 runs=$5 max_seconds=$6
name=$(basename "$exe")

rm -rf "$work/corpus" "$work/findings"
mkdir -p "$work/corpus" "$work/findings"
cmd=("$exe" -seed="$seed" -runs="$runs" -max_total_time="$max_seconds" -max_len=70000 -rss_limit_mb=2048
     -print_final_stats=1 -artifact_prefix="$work/findings/" "$work/corpus" "$seeds")
echo "fuzz: ${cmd[*]}"
"${cmd[@]}" >"$work/fuzz.log" 2>&1
status=$?
grep -E '^(#[0-9]+ +(INITED|DONE)|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/fuzz.log"
if [ $status -ne 0 ]; then
    tail -n 60 "$work/fuzz.log"
    for f in "$work"/findings/*; do
        [ -f "$f" ] || continue
        echo "FINDING of $name: $f"
        echo "  input (base64): $(head -c 4096 "$f" | base64 -w0)"
        echo "  replay it:      $exe $f"
        echo "  replay the run: ${cmd[*]}"
    done
    exit 1
fi
