#!/usr/bin/env bash
# Runs scripts/test.sh, both rounds, N times on two CPUs (0 and 1) that two
# busy processes (stress-ng --cpu 2) compete for, to bring out tests that
# pass only on an idle machine. Prints each round's summary; each run's whole
# output is kept in build-stress/run-N.log.
#
#   bash scripts/stress-test.sh [N]      (N: runs, 3 unless given)
#
# QUELLMARK_SKIP_SANITIZERS=1 leaves out the sanitizer round, as for test.sh.
# The load is stopped when the runs end, also on a failure or an interrupt.
# Exits 1 when any run failed.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
if ! [[ $runs =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: bash scripts/stress-test.sh [RUNS]" >&2
    exit 2
fi
for tool in stress-ng taskset setsid; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is missing; bash scripts/setup.sh installs it" >&2
        exit 2
    fi
done
logs=build-stress
mkdir -p "$logs"

# The load and each run go in a process group of their own (setsid), so that
# each is ended whole: stress-ng and its workers, test.sh and the tests.
load=""
run_group=""
end_group() {
    kill -TERM -- "-$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
stop_all() {
    if [ -n "$run_group" ]; then end_group "$run_group"; fi
    if [ -n "$load" ]; then end_group "$load"; fi
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
setsid taskset -c 0,1 stress-ng --cpu 2 --quiet >"$logs/load.log" 2>&1 &
load=$!

failed=0
for ((run = 1; run <= runs; run++)); do
    log="$logs/run-$run.log"
    start=$(date +%s)
    status=0
    setsid taskset -c 0,1 bash scripts/test.sh >"$log" 2>&1 &
    run_group=$!
    wait "$run_group" || status=$?
    run_group=""
    seconds=$(($(date +%s) - start))
    verdict=passed
    if [ "$status" -ne 0 ]; then
        verdict="FAILED (exit $status)"
        failed=1
    fi
    echo "== run $run of $runs: $verdict in $((seconds / 60))m$((seconds % 60))s ($log)"
    # One line per CTest round: "N% tests passed, F tests failed out of T",
    # its time, and the tests that failed.
    grep -E "tests passed, [0-9]+ tests? failed out of|Total Test time|^[[:space:]]+[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception|Not Run)" "$log" |
        sed 's/^/   /' || echo "   (no CTest summary: the build or a check failed; see the end of $log)"
    # What failed: test.sh's account of the failed tests, or the end of the
    # output when it stopped before (the build, the format check).
    if [ "$status" -ne 0 ]; then
        account=$(sed -n '/^==== [0-9]* failed test(s) in /,$p' "$log" | tail -n 40)
        if [ -z "$account" ]; then account=$(tail -n 15 "$log"); fi
        sed 's/^/   | /' <<<"$account"
    fi
done
exit "$failed"
