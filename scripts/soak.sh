#!/usr/bin/env bash
# Builds and runs the soak (tests/soak/Soak.cpp) in the build of a preset:
# facades streaming at full speed with loss and garbage, open/stream/stop/
# close cycles, property calls from another thread; every sample accounted
# for, memory flat, every call within its bound. The options go to the
# program (see there); by default two minutes.
#
#   ./scripts/soak.sh [PRESET] [OPTIONS...]     e.g. ./scripts/soak.sh tsan --seconds 120
#                                                    ./scripts/soak.sh ci --seconds 3600
set -euo pipefail
cd "$(dirname "$0")/.."

preset="default"
if [ "$#" -gt 0 ] && [[ "$1" != --* ]]; then
    preset="$1"
    shift
fi
./scripts/deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset" --parallel "$(nproc)" --target ondira_soak
if [ "$preset" = "tsan" ]; then
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
fi
"build/$preset/tests/soak/ondira_soak" "$@"
