#!/usr/bin/env bash
# Installs what is missing, builds the project and runs the example
# application against the virtual headset.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh
cmake --preset release
cmake --build --preset release --parallel "$(nproc)"

build=build/release
sim="$(ls "$build"/sim/libFtd2xx.so 2>/dev/null || true)"
if [ -n "$sim" ]; then
    export ONDIRA_FTD2XX_LIBRARY="$PWD/$sim"
fi
cd "$build"
./examples/minimal/ondira_minimal "${1:-3}"
