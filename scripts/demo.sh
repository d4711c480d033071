#!/usr/bin/env bash
# Installs what is missing, builds the project and records a session of the
# virtual headset with the ondira command: recordings/demo.edf (EDF+),
# demo.csv, demo.events.csv and demo.png. The first argument changes the
# length in seconds (default 10).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh
cmake --preset release
cmake --build --preset release --parallel "$(nproc)"

mkdir -p recordings
build/release/tools/ondira/ondira record --simulate --seconds "${1:-10}" --output recordings/demo

echo
echo "Written:"
for file in recordings/demo.edf recordings/demo.csv recordings/demo.events.csv recordings/demo.png; do
    echo "  $file"
done
echo "Open the EDF+ file with MNE-Python (mne.io.read_raw_edf) or EDFbrowser; see README.md."
