#!/usr/bin/env bash
# Installs what is missing, builds the project and runs the whole test suite
# through CTest. The first argument picks the preset (default: "default";
# "qt5" builds against Qt 5.15, "ci" treats warnings as errors, "tsan" runs
# under the thread sanitizer).
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-default}"
./scripts/deps.sh

cmake --preset "$preset"
cmake --build --preset "$preset" --parallel "$(nproc)"
ctest --preset "$preset" --parallel "$(nproc)"
