# Sourced by the script tests: their checks.
#   check NAME EXPECTED ACTUAL    prints "ok   NAME" or "FAIL NAME: ...", counting $failures
#   tally                         "200 x20, 429 x10" of the lines on standard input
#   wait_for SECONDS COMMAND...   polls until the command succeeds; false when it never did
failures=0
check() {
    if [ "$2" == "$3" ]; then echo "ok   $1"; else echo "FAIL $1: expected [$2], got [$3]"; failures=$((failures + 1)); fi
}
tally() { sort | uniq -c | awk '{ printf "%s%s x%s", sep, $2, $1; sep = ", " }'; }
wait_for() {
    local end=$((SECONDS + $1)); shift
    until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.1; done
}
