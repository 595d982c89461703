#!/usr/bin/env bash
# Takes docs/screenshot.png of the real program on a 1920 x 1080 X server, with a private
# JACK server, a sequencer playing into its input and a MIDI dump on its output, then
# plays a few inputs on it as a user would. The dump is left in build/screenshot-dump.txt.
set -euo pipefail
# shellcheck source=scripts/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
cd "$zm_root"
if [ -z "${ZM_IN_XVFB:-}" ]; then
  ./scripts/setup.sh
  need_packages xdotool
  cmake -S . -B build -G Ninja >/dev/null && cmake --build build --target zyn_mouse -j"$(nproc)"
  ZM_IN_XVFB=1 exec xvfb-run -a -s '-screen 0 1920x1080x24' "$0"
fi
export JACK_DEFAULT_SERVER="zm-shot-$$"
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
jackd --no-realtime -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 128 >build/screenshot-jackd.txt 2>&1 & pids+=($!)
sleep 1.5
jack_midi_dump >build/screenshot-dump.txt 2>&1 & pids+=($!)
jack_midiseq seq 48000 0 60 12000 24000 64 12000 >/dev/null 2>&1 & pids+=($!)
sleep 0.5
./build/platform/qt/zyn_mouse & pids+=($!)
sleep 2.5
xdotool search --name "ZYN_MOUSE Ver1.02" windowfocus --sync
xdotool mousemove 100 60 click 1
sleep 0.3
xdotool key F1 key F2 key KP_5 key 5 key Return
sleep 0.5
mkdir -p docs
import -window root docs/screenshot.png
echo "screenshot: docs/screenshot.png"
