#!/usr/bin/env bash
# Builds and runs every benchmark; each figure is printed beside its reference and goal.
# Usage: scripts/bench.sh            (as root, or with the packages below already installed)
# Builds in build-bench/ with at most two jobs. Takes about five and a half minutes (two and
# a half of them the busy cost), and half a minute more for the ALSA figures, which run on
# Debian's kernel under QEMU (scripts/vm/alsa-vm.sh).
set -euo pipefail
# shellcheck source=scripts/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"

ROOT=$zm_root
BUILD="$ROOT/build-bench"
IDLE_WARMUP_S=3
IDLE_SAMPLE_S=20

need_packages xvfb vmpk jackd2 pipewire pipewire-jack cmake ninja-build

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j2 --target zyn_mouse zm_bare_tick zm_bench_input zm_bench_draw zm_bench_thru \
    zm_bench_midi_stall zm_midi_idle_peers zm_bench_cycles zm_bench_alsa zm_timing_probe >/dev/null

echo "== machine"
echo "nproc=$(nproc)"
echo "cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "memory_kib=$(awk '/MemTotal/ {print $2}' /proc/meminfo)"
echo "loadavg_at_start=$(cut -d' ' -f1-3 /proc/loadavg)"
echo "qt=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null) jackd2=$(dpkg-query -W -f='${Version}' jackd2 2>/dev/null) vmpk=$(dpkg-query -W -f='${Version}' vmpk 2>/dev/null)"

export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d /tmp/zm-bench-run.XXXXXX)}"
chmod 700 "$XDG_RUNTIME_DIR"
# No client may start a JACK server behind our back.
export JACK_NO_START_SERVER=1
quiet() { grep -E '^[a-z_]+[ =_]' || true; }
# A benchmark that cannot run says so on one line; the others still run.
run() { local err; err=$(mktemp); "$@" 2>"$err" || echo "bench_failed $(basename "$1") ${2:-}: $(grep -v 'raise()' "$err" | tail -1)"; rm -f "$err"; }

echo "== input to MIDI (real window, offscreen; recorder back end)"
run "$BUILD/bench/zm_bench_input" | quiet
echo "== drawing (real canvas, text renderer and window, offscreen)"
run "$BUILD/bench/zm_bench_draw" | quiet
echo "== UI cycle rate (real window, offscreen, 20 s)"
run "$BUILD/bench/zm_bench_cycles" 20 | quiet
echo "== thru latency (private jackd -R: dummy driver, 48 kHz, 128 frames, realtime)"
run "$BUILD/bench/zm_bench_thru" latency | quiet
echo "== thru latency (the same on jackd --no-realtime: losses against the direct loop's)"
ZM_BENCH_NO_REALTIME=1 run "$BUILD/bench/zm_bench_thru" latency | quiet
echo "== thru flood (private jackd -R as above)"
run "$BUILD/bench/zm_bench_thru" flood | quiet
echo "== UI-thread stall caused by MIDI (private jackd -R, five peers)"
run "$BUILD/bench/zm_bench_midi_stall" | quiet
echo "== the same on PipeWire's JACK (a daemon of our own; no server is killed there)"
pw_runtime=$(mktemp -d)
XDG_RUNTIME_DIR=$pw_runtime pipewire >/dev/null 2>&1 &
pw=$!
XDG_RUNTIME_DIR=$pw_runtime wait_for_every 0.1 10 test -S "$pw_runtime/pipewire-0" || true
XDG_RUNTIME_DIR=$pw_runtime ZM_TEST_JACK_EXTERNAL=1 run pw-jack "$BUILD/bench/zm_bench_midi_stall" |
  quiet | sed 's/killed_server_longest_call_ms/longest_send_ms/'
kill "$pw" 2>/dev/null || true
wait "$pw" 2>/dev/null || true
rm -rf "$pw_runtime"
echo "== ALSA sequencer (Debian's kernel under QEMU's emulation, one guest CPU: times are the VM's)"
run "$ROOT/scripts/vm/alsa-vm.sh" "$BUILD/bench/zm_bench_alsa" | quiet

echo "== idle cost (Xvfb 1920x1080x24, no JACK server running, no ALSA sequencer)"
display=$(free_display 90 140)
start_xvfb "$display" /dev/null
xvfb=$xvfb_pid
trap 'kill $xvfb 2>/dev/null || true' EXIT

# Starts a program under the X server, waits, samples its CPU time over the window and
# its peak resident size; prints "cpu_pct rss_kib".
idle() {
    DISPLAY="$display" QT_QPA_PLATFORM=xcb "$@" >/dev/null 2>&1 &
    local pid=$!
    sleep "$IDLE_WARMUP_S"
    if ! kill -0 "$pid" 2>/dev/null; then echo "bench.sh: $1 ended early" >&2; echo "nan 0"; return; fi
    local cpu rss
    cpu=$(cpu_pct_over "$IDLE_SAMPLE_S" "$pid")
    rss=$(peak_rss_kib "$pid")
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    echo "$cpu $rss"
}

read -r zm_cpu zm_rss < <(idle "$BUILD/platform/qt/zyn_mouse")
read -r vm_cpu vm_rss < <(idle vmpk)
read -r bt_cpu bt_rss < <(idle "$BUILD/bench/zm_bare_tick")
awk -v c="$zm_cpu" -v r="$zm_rss" -v vc="$vm_cpu" -v vr="$vm_rss" -v bc="$bt_cpu" -v br="$bt_rss" 'BEGIN {
    printf "idle_vmpk cpu_pct=%.2f peak_rss_kib=%d\n", vc, vr
    printf "idle_bare_tick cpu_pct=%.2f peak_rss_kib=%d\n", bc, br
    okc = (c <= 1.5 && c <= bc + 0.5)
    printf "idle_cpu zyn_mouse_pct=%.2f bare_tick_pct=%.2f above_bare=%.2f vmpk_pct=%.2f goal:<=1.5%%,<=bare+0.5 %s\n", c, bc, c - bc, vc, okc ? "OK" : "MISSED"
    share = vr > 0 ? r / vr : 0
    printf "idle_rss zyn_mouse_kib=%d vmpk_kib=%d share=%.0f%% goal:<=40%% %s\n", r, vr, share * 100, (vr > 0 && share <= 0.40) ? "OK" : "MISSED"
}'

echo "== idle cost under JACK (jackd -R, dummy driver, 128 frames; three idle peers: 3 inputs and 3 outputs open)"
jackd -R -n zmbench -d dummy -r 48000 -p 128 >/dev/null 2>&1 &
jackd=$!
trap 'kill $xvfb $jackd 2>/dev/null || true' EXIT
sleep 1
JACK_DEFAULT_SERVER=zmbench "$BUILD/bench/zm_midi_idle_peers" &
peers=$!
sleep 0.5
read -r jz_cpu jz_rss < <(JACK_DEFAULT_SERVER=zmbench idle "$BUILD/platform/qt/zyn_mouse")
read -r jb_cpu _ < <(idle "$BUILD/bench/zm_bare_tick")
kill "$peers" 2>/dev/null || true
wait "$peers" 2>/dev/null || true
kill "$jackd" 2>/dev/null || true
wait "$jackd" 2>/dev/null || true
awk -v c="$jz_cpu" -v bc="$jb_cpu" -v r="$jz_rss" 'BEGIN {
    printf "idle_jack_cpu zyn_mouse_pct=%.2f bare_tick_pct=%.2f above_bare=%.2f peak_rss_kib=%d goal:<=bare+1.0 %s\n", c, bc, c - bc, r, (c - bc <= 1.0) ? "OK" : "MISSED"
}'
echo "== busy cost (a MIDI clock of 48 a second into the program, and idle; X11 and Wayland; beside the bare thread)"
run "$ROOT/bench/busy_cost.sh" "$BUILD"
# When notes leave (tests/timing/timing_probe.cpp from outside the program, 300 strikes):
# the thru's latency and the keys' intervals per period and server, beside a direct
# connection in the same run. No limits: every figure is printed.
echo "== when notes leave (jackd -R at 64, 256, 1024 frames; pw-jack at its default quantum)"
"$ROOT/scripts/test-timing.sh" "$BUILD" bench | grep -E ': (thru|keys|burst|raw) ' || true
echo "loadavg_at_end=$(cut -d' ' -f1-3 /proc/loadavg)"
