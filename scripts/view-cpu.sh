#!/usr/bin/env bash
# Measures the processor time ondira-view uses while it shows the virtual
# headset's stream (250 samples/s): the whole process, every thread, from
# /proc/PID/stat, over a minute after ten seconds of warming up.
#
#   ./scripts/view-cpu.sh [preset] [seconds]
#
# On an X display (or under Xvfb, when it is installed and no display is
# set) the window is drawn as on a desktop; otherwise, or with
# QT_QPA_PLATFORM=offscreen, on Qt's offscreen platform. Builds the preset's ondira-view first (default: "default").
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
seconds="${2:-60}"
warmup=10

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target ondira_view ftd2xx_sim >/dev/null
program="$PWD/build/$preset/tools/view/ondira-view"

work="$(mktemp -d)"
xvfb=""
cleanup() {
    [ -n "${viewer:-}" ] && kill "$viewer" 2>/dev/null || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

platform="offscreen"
if [ -n "${QT_QPA_PLATFORM:-}" ]; then
    platform="$QT_QPA_PLATFORM"
elif [ -n "${DISPLAY:-}" ]; then
    platform="xcb (DISPLAY=$DISPLAY)"
elif command -v Xvfb >/dev/null 2>&1; then
    display=":$((90 + RANDOM % 100))"
    Xvfb "$display" -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    sleep 1
    export DISPLAY="$display"
    platform="xcb (Xvfb $display)"
else
    export QT_QPA_PLATFORM=offscreen
fi

# The program's own time (utime + stime, fields 14 and 15), in clock ticks.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

(cd "$work" && exec "$program" --simulate --start 2>"$work/stderr") &
viewer=$!
sleep "$warmup"
if ! kill -0 "$viewer" 2>/dev/null; then
    echo "ondira-view ended early:" >&2
    cat "$work/stderr" >&2
    exit 1
fi
hz="$(getconf CLK_TCK)"
t0="$(date +%s.%N)"
c0="$(ticks "$viewer")"
sleep "$seconds"
t1="$(date +%s.%N)"
c1="$(ticks "$viewer")"
awk -v c="$((c1 - c0))" -v hz="$hz" -v t0="$t0" -v t1="$t1" -v platform="$platform" -v preset="$preset" 'BEGIN {
    elapsed = t1 - t0; cpu = c / hz
    printf "ondira-view (%s build), virtual headset at 250 samples/s, %s platform:\n", preset, platform
    printf "  %.2f s of processor time in %.1f s: %.1f %% of one core\n", cpu, elapsed, 100 * cpu / elapsed
}'
