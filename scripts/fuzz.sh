#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz": clang with libFuzzer and the address
# and undefined-behaviour sanitizers) and runs each for a bounded time,
# starting from its kept corpus in fuzz/corpus/<target>/. Inputs found on the
# way go to build/fuzz/corpus/<target>/, not into the repository. A crash, a
# leak, a hang or a broken invariant fails the run; the input that did it is
# left in build/fuzz/crashes/ (keep it in fuzz/corpus/<target>/ once mended).
#
#   ./scripts/fuzz.sh [SECONDS] [TARGET...]   each target SECONDS long (default 15),
#                                             all of parser engine property sim_config marker lsl by default
#   ./scripts/fuzz.sh --merge [TARGET...]     adds the inputs found so far that reach
#                                             new code to the kept corpus
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

merge=0
seconds=15
if [ "${1:-}" = "--merge" ]; then
    merge=1
    shift
elif [[ "${1:-}" =~ ^[0-9]+$ ]]; then
    seconds="$1"
    shift
fi
targets=("$@")
[ "${#targets[@]}" -eq 0 ] && targets=(parser engine property sim_config marker lsl)

./scripts/deps.sh clang libclang-rt-14-dev libfuzzer-14-dev
cmake --preset fuzz
cmake --build --preset fuzz --parallel "$(nproc)"

failed=()
for target in "${targets[@]}"; do
    program="$root/build/fuzz/fuzz/ondira_fuzz_$target"
    found="$root/build/fuzz/corpus/$target"
    mkdir -p "$found" "$root/build/fuzz/crashes"
    if [ "$merge" -eq 1 ]; then
        # New edges only, so that the kept corpus stays small.
        "$program" -merge=1 -use_counters=0 "$root/fuzz/corpus/$target" "$found"
        continue
    fi
    echo "== $target: $seconds s"
    if ! "$program" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
            -artifact_prefix="$root/build/fuzz/crashes/$target-" \
            "$found" "$root/fuzz/corpus/$target" 2>"$root/build/fuzz/$target.log"; then
        tail -n 40 "$root/build/fuzz/$target.log" >&2
        failed+=("$target")
    fi
    grep -E "^Done|stat::number_of_executed_units|stat::peak_rss_mb" "$root/build/fuzz/$target.log" || true
done

if [ "${#failed[@]}" -gt 0 ]; then
    echo "fuzz: failed: ${failed[*]} (inputs in build/fuzz/crashes/)" >&2
    exit 1
fi
