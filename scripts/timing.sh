#!/usr/bin/env bash
# Measures how true the sample time line is: builds the benchmarks optimised
# (the bench preset), runs ondira_bench_timing (the virtual headset in real
# time, its clock 1 % slow, exact and 1 % fast, each with and without 1 %
# loss: about 75 s each, some 8 minutes in all) and prints the timing table.
# Run it on a quiet machine: the worker's wake-ups are part of what is
# measured. Extra arguments go to the program (e.g.
# --benchmark_filter=BM_Timing/exact to run one stream).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh
cmake --preset bench >/dev/null
cmake --build --preset bench --parallel "$(nproc)" --target ondira_bench_timing

out=build/bench/results
mkdir -p "$out"
echo "running ondira_bench_timing ..." >&2
build/bench/bench/ondira_bench_timing --benchmark_out="$out/timing.json" \
    --benchmark_out_format=json "$@" >&2
/usr/bin/python3 bench/report.py "$out/timing.json"
