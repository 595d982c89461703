#!/usr/bin/env bash
# What the program costs with a MIDI clock streaming into it, and idle, on X11 (Xvfb
# 1920x1080x24) and on Wayland (headless sway 1.7, pixman renderer, as test-wayland.sh runs
# it), each beside a bare 1 ms thread (bench/bare_tick.cpp) sampled over the same window;
# the compositor's own CPU with no program, an idle one and a busy one; and the program's
# peak RSS beside VMPK's. One line a figure, with its goal and OK or MISSED.
# The clock: bench/midi_idle_peers.cpp, 48 timing clocks a second from the first of three
# JACK peers on a private `jackd -R` (dummy driver, 48 kHz, 128 frames); the program opens
# the peers' ports at start and shows every message in its MIDI IN MONITOR. "Idle" is the
# same three peers playing nothing, so busy and idle differ by the clock alone; the RSS
# (and a third idle figure) come from a run with no JACK server, where JACK's shared memory
# cannot count.
# Usage: bench/busy_cost.sh [BUILD_DIR]   (as root: sway runs as nobody; default build-bench)
# Takes about two and a half minutes. A part that cannot run prints "bench_failed ..." and
# the others still run.
set -euo pipefail
# shellcheck source=scripts/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/common.sh"

WARMUP_S=3
SAMPLE_S=20
CLOCKS_PER_S=48
build=$(realpath -m "${1:-$zm_root/build-bench}")

need_packages xvfb vmpk jackd2 sway qt6-wayland grim imagemagick python3 cmake ninja-build || true

# JACK keeps a machine-wide table in /dev/shm: a /dev/shm of our own, out of other runs' way.
if [[ -z ${ZM_BUSY_PRIVATE_SHM:-} ]] && private_shm_possible; then
  export ZM_BUSY_PRIVATE_SHM=1
  exec_with_private_shm "$zm_root/bench/busy_cost.sh" "$build"
fi

[[ -f $build/build.ninja ]] || cmake -S "$zm_root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target zyn_mouse zm_bare_tick zm_midi_idle_peers >/dev/null
program=$build/platform/qt/zyn_mouse
bare_tick=$build/bench/zm_bare_tick
peers=$build/bench/zm_midi_idle_peers

echo "busy_loadavg_at_start=$(cut -d' ' -f1-3 /proc/loadavg)"
work=$(mktemp -d /tmp/zm-busy.XXXXXX)
chmod 755 "$work"  # sway, as nobody, reaches its runtime directory through it
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
stop() {  # PID
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
failed() {  # WHAT REASON
  echo "bench_failed busy_cost $1: $2"
}
# Arithmetic on the figures, two decimals; and a goal's verdict.
calc() { awk "BEGIN { printf \"%.2f\", $1 }"; }
verdict() { if awk "BEGIN { exit !($1) }"; then echo OK; else echo MISSED; fi; }
measured() { [[ " $* " != *" nan "* ]]; }  # every figure there
# What the clock adds to the program's CPU, where its idle run was measured.
above_idle() {  # BUSY IDLE
  if measured "$2"; then echo "above_idle=$(calc "$1 - $2")"; else echo "above_idle=nan"; fi
}

# One window: the bare thread started beside the processes given (started just before),
# WARMUP_S later each one's CPU over the same SAMPLE_S into cpu=(...), the bare thread's last.
# With screen set to a command that prints a digest of the screen, screen_changed tells
# whether the picture moved over the window (taken outside the sampled time).
screen=
# A digest of the screen shot just taken into $work/shot, or "none" when there is none.
digest() { if [[ -s $work/shot ]]; then md5sum <"$work/shot"; else echo none; fi; rm -f "$work/shot"; }
window() {  # window PID...
  local bare first=
  "$bare_tick" &
  bare=$!
  pids+=("$bare")
  sleep "$WARMUP_S"
  [[ -z $screen ]] || first=$($screen)
  read -r -a cpu < <(cpu_pct_over "$SAMPLE_S" "$@" "$bare")
  screen_changed=
  if [[ -n $screen ]]; then
    local last
    last=$($screen)
    screen_changed=yes
    if [[ $first == none || $last == none ]]; then
      screen_changed=unknown
    elif [[ $first == "$last" ]]; then
      screen_changed=no
    fi
  fi
  stop "$bare"
}

install -d -m 700 "$work/program-run"
start_program() {  # PLATFORM [VAR=VALUE...]: the program on Qt's PLATFORM plugin
  local platform=$1
  shift
  env "$@" QT_QPA_PLATFORM="$platform" XDG_RUNTIME_DIR="$work/program-run" "$program" \
    >"$work/program.log" 2>&1 &
  program_pid=$!
  pids+=("$program_pid")
}

# ---------------------------------------------------------------------------------------
# X11, no JACK server: the program and VMPK started together on the same display, their
# peak RSS taken at the same moment.
display=$(free_display 200 249) || display=
xvfb_pid=
if [[ -n $display ]]; then
  start_xvfb "$display" "$work/xvfb.log"
  pids+=("$xvfb_pid")
  x_up() { [[ -e /tmp/.X11-unix/X${display#:} ]] && kill -0 "$xvfb_pid" 2>/dev/null; }
  x_up || { failed x11 "Xvfb did not start: $(tail -1 "$work/xvfb.log")"; xvfb_pid=; }
else
  failed x11 "no free X display"
fi

if [[ -n $xvfb_pid ]]; then
  # A server name that nothing serves, should another run's server be in reach.
  start_program xcb -u WAYLAND_DISPLAY DISPLAY="$display" JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER="zm-busy-none-$$"
  install -d -m 700 "$work/vmpk-run"
  env -u WAYLAND_DISPLAY JACK_NO_START_SERVER=1 DISPLAY="$display" QT_QPA_PLATFORM=xcb \
    XDG_RUNTIME_DIR="$work/vmpk-run" HOME="$work/vmpk-run" vmpk >/dev/null 2>&1 &
  vmpk_pid=$!
  pids+=("$vmpk_pid")
  window "$program_pid" "$vmpk_pid" "$xvfb_pid"
  read -r zm vm xv bt <<<"${cpu[*]}"
  zm_rss=$(peak_rss_kib "$program_pid" 2>/dev/null || echo nan)
  vm_rss=$(peak_rss_kib "$vmpk_pid" 2>/dev/null || echo nan)
  stop "$program_pid"
  stop "$vmpk_pid"
  if measured "$zm" "$bt"; then
    echo "x11_idle_no_jack zyn_mouse_pct=$zm bare_tick_pct=$bt above_bare=$(calc "$zm - $bt") xvfb_pct=$xv vmpk_pct=$vm"
  else
    failed x11_idle_no_jack "the program ended early: $(tail -1 "$work/program.log")"
  fi
  if measured "$zm_rss" "$vm_rss"; then
    echo "peak_rss zyn_mouse_kib=$zm_rss vmpk_kib=$vm_rss share=$(calc "$zm_rss * 100 / $vm_rss")%" \
      "goal:<=40% $(verdict "$zm_rss <= 0.40 * $vm_rss")"
  else
    failed peak_rss "the program or VMPK ended early"
  fi
fi

# ---------------------------------------------------------------------------------------
# The JACK server, for the rest.
export JACK_DEFAULT_SERVER="zm-busy-$$" JACK_NO_START_SERVER=1
jackd -R -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 128 >"$work/jackd.log" 2>&1 &
jackd_pid=$!
pids+=("$jackd_pid")
jack_up=
if wait_for 10 jack_lsp >/dev/null 2>&1; then
  jack_up=1
else
  failed jack "jackd -R did not start: $(tail -1 "$work/jackd.log")"
fi

# The program with the three peers (playing CLOCKS a second, 0 for none), its CPU, the
# other processes' and the bare thread's over one window into cpu=(...), screen_changed as
# window sets it; fails (and says why) if the program did not come up, did not open the
# peers' ports or ended early, or if the clock never reached the screen.
with_peers() {  # with_peers CLOCKS PLATFORM READY_COMMAND SCREEN_COMMAND VAR=VALUE... -- PID...
  local clocks=$1 platform=$2 ready=$3 screen=$4 env=() ok=1
  shift 4
  while [[ $1 != -- ]]; do env+=("$1"); shift; done
  shift
  cpu=()
  "$peers" "$clocks" >/dev/null 2>"$work/peers.log" &
  peers_pid=$!
  pids+=("$peers_pid")
  if ! wait_for 10 sh -c 'jack_lsp 2>/dev/null | grep -q "^idlepeer3:in$"'; then
    failed "$platform" "the JACK peers did not start: $(tail -1 "$work/peers.log")"
    stop "$peers_pid"
    return 1
  fi
  start_program "$platform" "${env[@]}"
  if ! "$ready"; then
    failed "$platform" "the program did not come up: $(tail -1 "$work/program.log")"
    ok=
  elif ! wait_for 5 sh -c 'jack_lsp -c idlepeer1:out 2>/dev/null | grep -q "ZYN_MOUSE:"'; then
    failed "$platform" "the program did not open the peers' ports: $(tail -1 "$work/program.log")"
    ok=
  else
    window "$program_pid" "$@"
    if ! measured "${cpu[@]}"; then
      failed "$platform" "the program ended early: $(tail -1 "$work/program.log")"
      ok=
    elif ((clocks > 0)) && [[ $screen_changed == unknown ]]; then
      failed "$platform" "the screen could not be captured"
      ok=
    elif ((clocks > 0)) && [[ $screen_changed != yes ]]; then
      failed "$platform" "the clock did not reach the screen: the MIDI IN MONITOR stood still"
      ok=
    fi
  fi
  stop "$program_pid"
  stop "$peers_pid"
  [[ -n $ok ]]
}

if [[ -n $xvfb_pid && -n $jack_up ]]; then
  x11_screen() { DISPLAY=$display import -window root -depth 8 "rgb:$work/shot" 2>/dev/null; digest; }
  x11=(xcb true x11_screen -u WAYLAND_DISPLAY DISPLAY="$display" -- "$xvfb_pid")
  zi=nan
  if with_peers 0 "${x11[@]}"; then
    read -r zi xi bi <<<"${cpu[*]}"
    echo "x11_idle zyn_mouse_pct=$zi bare_tick_pct=$bi above_bare=$(calc "$zi - $bi") xvfb_pct=$xi" \
      "screen_changed=$screen_changed goal:<=bare+0.3 $(verdict "$zi <= $bi + 0.3")"
  fi
  if with_peers "$CLOCKS_PER_S" "${x11[@]}"; then
    read -r zb xb bb <<<"${cpu[*]}"
    echo "x11_busy zyn_mouse_pct=$zb bare_tick_pct=$bb above_bare=$(calc "$zb - $bb") $(above_idle "$zb" "$zi")" \
      "xvfb_pct=$xb goal:<=bare+1.0 $(verdict "$zb <= $bb + 1.0")"
  fi
fi
[[ -z $xvfb_pid ]] || stop "$xvfb_pid"

# ---------------------------------------------------------------------------------------
# Wayland: sway as nobody (it will not run as root) with its own runtime directory.
run=$work/sway-run
mkdir -m 700 "$run"
cat >"$run/sway.conf" <<'EOF'
xwayland disable
output HEADLESS-1 mode 1920x1080 position 0 0 scale 1 bg #ff0000 solid_color
default_border normal 2
EOF
chown -R 65534:65534 "$run"
sway_pid=
if command -v sway >/dev/null; then
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$run" XDG_RUNTIME_DIR="$run" \
    WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman WLR_HEADLESS_OUTPUTS=1 \
    setpriv --reuid=65534 --regid=65534 --clear-groups sway -c "$run/sway.conf" >"$work/sway.log" 2>&1 &
  sway_pid=$!  # env and setpriv exec: this is sway's own id
  pids+=("$sway_pid")
  if ! wait_for 10 sh -c "ls '$run' | grep -q '^wayland-[0-9]*\$'"; then
    failed wayland "sway did not start: $(tail -1 "$work/sway.log")"
    sway_pid=
  fi
else
  failed wayland "no sway"
fi

if [[ -n $sway_pid ]]; then
  # shellcheck disable=SC2010 # a glob would also take the lock file
  wayland_display="$run/$(ls "$run" | grep -m1 '^wayland-[0-9]*$')"
  SWAYSOCK=$(ls "$run"/sway-ipc.*.sock)
  export SWAYSOCK
  # The client area as sway tiles it, once the window is mapped.
  window_size() {
    swaymsg -t get_tree 2>/dev/null | python3 -c '
import json, sys
def walk(n):
    if n.get("name") == "ZYN_MOUSE Ver1.02":
        print("%dx%d" % (n["window_rect"]["width"], n["window_rect"]["height"]))
        sys.exit(0)
    for c in n.get("nodes", []) + n.get("floating_nodes", []):
        walk(c)
walk(json.load(sys.stdin))
sys.exit(1)'
  }
  shown_size=
  mapped() {
    local size
    size=$(wait_for 10 window_size) || return 1
    [[ -n $shown_size ]] || echo "wayland_window size=$size"
    shown_size=$size
  }

  window "$sway_pid"
  read -r sf bf <<<"${cpu[*]}"
  if measured "$sf"; then
    echo "wayland_sway_floor sway_pct=$sf bare_tick_pct=$bf (no program)"
  else
    failed wayland "sway ended: $(tail -1 "$work/sway.log")"
  fi
  if [[ -n $jack_up ]] && measured "$sf"; then
    wayland_screen() { WAYLAND_DISPLAY=$wayland_display grim -t ppm "$work/shot" 2>/dev/null; digest; }
    wayland=(wayland mapped wayland_screen -u DISPLAY WAYLAND_DISPLAY="$wayland_display" -- "$sway_pid")
    zi=nan
    if with_peers 0 "${wayland[@]}"; then
      read -r zi si bi <<<"${cpu[*]}"
      echo "wayland_idle zyn_mouse_pct=$zi bare_tick_pct=$bi above_bare=$(calc "$zi - $bi") sway_pct=$si" \
        "sway_above_floor=$(calc "$si - $sf") screen_changed=$screen_changed goal:<=bare+0.3 $(verdict "$zi <= $bi + 0.3")"
    fi
    if with_peers "$CLOCKS_PER_S" "${wayland[@]}"; then
      read -r zb sb bb <<<"${cpu[*]}"
      together=$(calc "$zb + $sb - $sf")
      echo "wayland_busy zyn_mouse_pct=$zb $(above_idle "$zb" "$zi") sway_pct=$sb sway_above_floor=$(calc "$sb - $sf")" \
        "together_pct=$together bare_tick_pct=$bb above_bare=$(calc "$together - $bb")" \
        "goal:zyn_mouse+sway_above_floor<=bare+1.5 $(verdict "$together <= $bb + 1.5")"
    fi
  fi
  stop "$sway_pid"
fi
[[ -z $jack_up ]] || stop "$jackd_pid"
echo "busy_loadavg_at_end=$(cut -d' ' -f1-3 /proc/loadavg)"
