#!/usr/bin/env bash
# Runs the whole test suite several times under more load than the machine has cores: CTest with
# twice as many tests at once as there are cores, and one busy loop per core beside it. Prints each
# test that failed at least once with its count, and ends with "N runs, M failures" (M counts
# failed tests over all runs). Exits 1 when anything failed.
#
# Usage: tools/stress-tests.sh [RUNS]   (default 3)
# The CTest logs of each run are kept in release/stress/run-<n>.log.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs="${1:-3}"
if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
    echo "Usage: tools/stress-tests.sh [RUNS], RUNS a whole number from 1" >&2
    exit 2
fi

cd "$root"
tools/install-test-deps.sh
cmake -S "$root" -B "$root/release/cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/release/cmake" --parallel "$(nproc)"

logs="$root/release/stress"
mkdir -p "$logs"
cores=$(nproc)
hogs=()
stop_hogs() {
    if [ ${#hogs[@]} -gt 0 ]; then
        kill "${hogs[@]}" 2>/dev/null || true
        wait "${hogs[@]}" 2>/dev/null || true
        hogs=()
    fi
}
trap stop_hogs EXIT
for _ in $(seq 1 "$cores"); do
    (while :; do :; done) &
    hogs+=($!)
done

declare -A counts=()
total=0
failed_list="$root/release/cmake/Testing/Temporary/LastTestsFailed.log"
for run in $(seq 1 "$runs"); do
    rm -f "$failed_list"
    started=$SECONDS
    status=0
    ctest --test-dir "$root/release/cmake" --output-on-failure --parallel $((cores * 2)) \
        >"$logs/run-$run.log" 2>&1 || status=$?
    echo "run $run of $runs: $((SECONDS - started)) s," \
        "$(grep -E 'tests passed' "$logs/run-$run.log" || echo 'CTest gave no summary'), log release/stress/run-$run.log"
    # CTest lists each failed test as "<number>:<name>"; a run that failed without that list
    # (CTest itself stopped) counts as one failure of its own.
    if [ "$status" -ne 0 ] && [ ! -s "$failed_list" ]; then
        echo "<CTest ended with status $status without a list of failed tests>" >"$failed_list"
    fi
    if [ -f "$failed_list" ]; then
        while IFS= read -r line; do
            [ -n "$line" ] || continue
            name="${line#*:}"
            counts["$name"]=$((${counts["$name"]:-0} + 1))
            total=$((total + 1))
        done <"$failed_list"
    fi
done
stop_hogs

for name in "${!counts[@]}"; do
    printf '%4d  %s\n' "${counts[$name]}" "$name"
done | sort -k1,1nr -k2
echo "$runs runs, $total failures"
[ "$total" -eq 0 ]
