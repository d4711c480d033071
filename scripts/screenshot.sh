#!/usr/bin/env bash
# Makes the README's picture of ondira-view on the virtual headset,
# docs/images/ondira-view.png, on Qt's offscreen platform (no display
# needed). The first argument picks the preset to build (default: "default").
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
./scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target ondira_view ftd2xx_sim
mkdir -p docs/images
out="$PWD/docs/images/ondira-view.png"
program="$PWD/build/$preset/tools/view/ondira-view"

# In a folder of its own: the library appends its settings log to log.txt.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Mains hum (removed by the notch, seen in the spectrum) and two lost
# packets late in the window (the shaded stretch, the lost counter).
(cd "$work" && QT_QPA_PLATFORM=offscreen "$program" --sim "seed=7 hum=50 drop=500,501" \
    --labels Fp1,Fp2,O1,O2 --notch 50 --screenshot "$out" --after 13 2>/dev/null)
echo "Wrote $out"
