#!/usr/bin/env bash
# Builds the benchmarks optimised (the bench preset), runs them and prints one
# table with the machine's CPU at the top. Run it on a quiet machine: other
# load shows in the wall-clock figures. Extra arguments go to every
# benchmark program (e.g. --benchmark_repetitions=3).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh
cmake --preset bench >/dev/null
cmake --build --preset bench --parallel "$(nproc)"

out=build/bench/results
mkdir -p "$out"
for program in parser engine end_to_end nominal_rate lsl; do
    echo "running ondira_bench_$program ..." >&2
    "build/bench/bench/ondira_bench_$program" --benchmark_out="$out/$program.json" \
        --benchmark_out_format=json "$@" >&2
done
/usr/bin/python3 bench/report.py "$out"/*.json
