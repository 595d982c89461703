#!/usr/bin/env bash
# The real program on a real Wayland compositor, as a desktop user runs it: headless sway
# (as user nobody: sway will not run as root), input only through the Wayland protocols
# (tests/wayland/vinput.c: one virtual keyboard and pointer, made before the program starts
# and kept), MIDI read on a private `jackd -R`, screenshots with grim compared pixel for
# pixel with the same build under Xvfb. Every row of the note table, F10 and Alt+key, a held
# Shift at the compositor's repeat rate, a drag out of the window, and an output scale of 2.
# Usage: scripts/test-wayland.sh [BUILD_DIR]   (as root; installs what it needs)
#        ZM_PROGRAM=/path/to/zyn_mouse scripts/test-wayland.sh   (another build of the program)
# Ends with "N passed, N failed"; exits non-zero on any failure.
set -euo pipefail
# shellcheck source=scripts/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
cd "$zm_root"
root=$zm_root
build=$(realpath -m "${1:-build}")

need_packages sway swaybg grim qt6-wayland libwayland-dev libxkbcommon-dev xkb-data wayland-protocols \
  jackd2 xvfb imagemagick python3 pkg-config gcc || exit 1

# JACK keeps a machine-wide table in /dev/shm: a /dev/shm of our own.
if [ -z "${ZM_WL_PRIVATE_SHM:-}" ] && private_shm_possible; then
  export ZM_WL_PRIVATE_SHM=1
  exec_with_private_shm "$root/scripts/test-wayland.sh" "$@"
fi

start=$(date +%s)
program=${ZM_PROGRAM:-$build/platform/qt/zyn_mouse}
if [ -z "${ZM_PROGRAM:-}" ]; then
  [ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja >/dev/null || exit 1
  cmake --build "$build" --target zyn_mouse zm_midi_idle_peers >/dev/null || exit 1
fi

# The input client, glue made from the protocols' XML.
client_dir=$build/tests/wayland
mkdir -p "$client_dir"
for proto in virtual-keyboard-unstable-v1 wlr-virtual-pointer-unstable-v1; do
  wayland-scanner client-header "tests/wayland/protocols/$proto.xml" "$client_dir/$proto-client-protocol.h"
  wayland-scanner private-code "tests/wayland/protocols/$proto.xml" "$client_dir/$proto-protocol.c"
done
# shellcheck disable=SC2046 # the flags, one a word
cc -std=c11 -O2 -Wall -Wextra -Werror -I"$client_dir" tests/wayland/vinput.c "$client_dir"/*-protocol.c \
  $(pkg-config --cflags --libs wayland-client xkbcommon) -o "$client_dir/zm_vinput" || exit 1

work=$(mktemp -d /tmp/zm-wayland.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  exec 3>&- 2>/dev/null
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

check_quiet=1
finish() {
  local status=0
  echo "wayland test: $(($(date +%s) - start)) s"
  summary || status=$?
  exit "$status"
}
give_up() {  # give_up WHAT [LOG]: counts a failure, shows LOG and ends the test
  fail "$1"
  if [ -n "${2:-}" ]; then cat "$2"; fi
  finish
}
white_at() {  # PNG X Y: the pixel is white (the output list's ground: the panel is drawn)
  [ "$(convert "$1" -crop "1x1+$2+$3" -depth 8 txt:- 2>/dev/null | tail -1 | grep -o '#[0-9A-F]\{6\}')" = "#FFFFFF" ]
}

# A private JACK server; jack_midi_dump takes the program's notes (its input is the only
# MIDI input on the server, so it is the program's first output, where notes go).
export JACK_DEFAULT_SERVER="zm-wayland-$$" JACK_NO_START_SERVER=1
jackd -R -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 128 >"$work/jackd.log" 2>&1 &
pids+=($!)
wait_for 10 jack_lsp >/dev/null 2>&1 || give_up "jackd did not start" "$work/jackd.log"
stdbuf -oL jack_midi_dump >"$work/dump.txt" 2>&1 &
pids+=($!)
wait_for 10 sh -c 'jack_lsp | grep -q midi-monitor:input' || give_up "jack_midi_dump did not start"

# The reference: the same build under Xvfb (no window manager: the client area is the screen).
display=$(free_display 150 199)
start_xvfb "$display" /dev/null
pids+=("$xvfb_pid")
mkdir -m 700 "$work/x11-run"
env -u WAYLAND_DISPLAY DISPLAY="$display" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/x11-run" "$program" \
  >"$work/x11.log" 2>&1 &
x11_program=$!
x11_shot() { DISPLAY="$display" import -window root "$work/x11.png" && white_at "$work/x11.png" 200 110; }
wait_for 15 x11_shot || echo "the panel was not drawn under Xvfb"
# On X11 the client area is put from the canvas, not Qt's backing store: a window over it,
# gone again, must leave it as it was (its expose is a paint like any other).
convert -size 600x500 xc:red "$work/cover.png"
DISPLAY="$display" display -geometry +20+20 "$work/cover.png" &
cover=$!
sleep 1.5
DISPLAY="$display" import -window root "$work/x11-covered.png"
kill "$cover" 2>/dev/null || true
wait "$cover" 2>/dev/null || true
sleep 1
DISPLAY="$display" import -window root "$work/x11-uncovered.png"
check "X11: the panel covered shows the cover" \
  test "$(compare -metric AE "$work/x11.png" "$work/x11-covered.png" null: 2>&1)" -gt 100000
check "X11: the panel uncovered is drawn again, every pixel" \
  test "$(compare -metric AE "$work/x11.png" "$work/x11-uncovered.png" null: 2>&1)" = 0
# The vertical bar is a window of its own there: a click on its down arrow scrolls the
# view, and the keys still play (the click took no focus away); F1 strikes note 9.
mark=$(wc -l <"$work/dump.txt")
DISPLAY="$display" xdotool mousemove 1912 1060 click 1
sleep 0.3
DISPLAY="$display" import -window root "$work/x11-scrolled.png"
DISPLAY="$display" xdotool key F1
sleep 0.3
check "X11: a click on the vertical bar's arrow scrolls the view" \
  test "$(compare -metric AE "$work/x11.png" "$work/x11-scrolled.png" null: 2>&1)" -gt 0
check "X11: after it, F1 still plays note 9" \
  sh -c "tail -n +$((mark + 1)) '$work/dump.txt' | grep -q '^ *[0-9]*: 90 09 7f'"
kill "$x11_program" 2>/dev/null || true
wait "$x11_program" 2>/dev/null || true

# sway as nobody, with its own runtime directory; a red background shows any transparency.
# A repeat rate of its own (300 ms, 10 a second), unlike the 500 ms / 30 a second defaults.
run=$work/sway-run
mkdir -m 700 "$run"
cat >"$run/sway.conf" <<'EOF'
xwayland disable
output HEADLESS-1 mode 1920x1080 position 0 0 scale 1 bg #ff0000 solid_color
input type:keyboard repeat_delay 300
input type:keyboard repeat_rate 10
default_border normal 2
EOF
chown -R 65534:65534 "$run"
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$run" XDG_RUNTIME_DIR="$run" \
  WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman WLR_HEADLESS_OUTPUTS=1 \
  setpriv --reuid=65534 --regid=65534 --clear-groups sway -c "$run/sway.conf" >"$work/sway.log" 2>&1 &
pids+=($!)  # env and setpriv exec: this is sway's own id
wait_for 10 sh -c "ls '$run' | grep -q '^wayland-[0-9]*\$'" || give_up "sway did not start" "$work/sway.log"
# shellcheck disable=SC2010 # a glob would also take the lock file
WAYLAND_DISPLAY="$run/$(ls "$run" | grep -m1 '^wayland-[0-9]*$')"
SWAYSOCK=$(ls "$run"/sway-ipc.*.sock)
export WAYLAND_DISPLAY SWAYSOCK
unset DISPLAY

mkfifo "$work/input"
"$client_dir/zm_vinput" 1920 1080 <"$work/input" >"$work/vinput.out" 2>"$work/vinput.err" &
pids+=($!)
exec 3>"$work/input"
wait_for 10 grep -q ready "$work/vinput.out" || give_up "no virtual devices" "$work/vinput.err"
syncs=0
send() {  # commands for the client, one an argument; returns when the compositor has them
  local c
  for c in "$@"; do echo "$c" >&3; done
  echo sync >&3
  syncs=$((syncs + 1))
  wait_for 10 sh -c "[ \$(grep -c '^ok' '$work/vinput.out') -ge $syncs ]" || true
}

window_json() {
  swaymsg -t get_tree | python3 -c '
import json, sys
def walk(n):
    if n.get("name") == "ZYN_MOUSE Ver1.02":
        r, w = n["rect"], n["window_rect"]
        print(r["x"] + w["x"], r["y"] + w["y"], w["width"], w["height"])
        sys.exit(0)
    for c in n.get("nodes", []) + n.get("floating_nodes", []):
        walk(c)
walk(json.load(sys.stdin))
sys.exit(1)'
}
mapped() { window_json >/dev/null; }

start_program() {  # LOG
  install -d -m 700 "$work/wl-run"
  QT_QPA_PLATFORM=wayland XDG_RUNTIME_DIR="$work/wl-run" "$program" >"$1" 2>&1 &
  wl_program=$!
  pids+=("$wl_program")
  wait_for 10 mapped || give_up "the window was not mapped" "$1"
  read -r ox oy ww wh < <(window_json)
  # The compositor draws the pointer into the screenshots: away from the panel with it.
  send "move $((ox + ww - 60)) $((oy + wh - 60))"
}
shot() {  # PNG SCALE: once the panel is drawn
  local png=$1 scale=$2
  take() { grim -o HEADLESS-1 "$png" && white_at "$png" $(((ox + 200) * scale)) $(((oy + 110) * scale)); }
  wait_for 15 take || echo "the panel was not drawn on sway"
}

# Compares the panel (canvas 0..479 x 0..599) on the screen with the Xvfb screenshot:
# every canvas pixel shown as SCALE x SCALE pixels from the client's corner (X, Y, in the
# compositor's units). With ROWS, only the rows that the view shows; with "scrolled", the
# view may show the canvas from any row (found by matching), but must reach the panel's bottom.
compare() {  # PNG SCALE X Y VISIBLE_ROWS [scrolled]
  python3 - "$work/x11.png" "$@" <<'EOF'
import subprocess, sys
def load(path):
    ppm = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], capture_output=True, check=True).stdout
    parts = ppm.split(maxsplit=4)
    w, h = int(parts[1]), int(parts[2])
    return w, h, parts[4]
ref_path, path, scale, x0, y0, rows = sys.argv[1:7]
scrolled = len(sys.argv) > 7
scale, x0, y0, rows = int(scale), int(x0), int(y0), int(rows)
rw, rh, ref = load(ref_path)
w, h, img = load(path)
x0, y0 = x0 * scale, y0 * scale
W = 480
def ref_row(y):
    return ref[(y * rw) * 3:(y * rw + W) * 3]
def shown_row(r):  # canvas row r of the view, one pixel per canvas pixel, checked uniform
    out = bytearray()
    for sy in range(scale):
        line = img[((y0 + r * scale + sy) * w + x0) * 3:((y0 + r * scale + sy) * w + x0 + W * scale) * 3]
        pix = [line[i:i + 3] for i in range(0, len(line), 3)]
        row = b"".join(pix[i * scale] for i in range(W))
        if any(pix[i] != pix[(i // scale) * scale] for i in range(len(pix))):
            return None
        if sy == 0:
            out = row
        elif row != out:
            return None
    return bytes(out)
# Xvfb shows the canvas up to its own bars (the bars show whenever the range exceeds the
# page, which it does by one): rows from 1040 on are not the canvas there.
limit = 1040
top = 0
count = min(rows, 600)
if scrolled:
    first = shown_row(0)
    cands = [s for s in range(limit) if ref_row(s) == first]
    cands = [s for s in cands if all(shown_row(r) == ref_row(s + r) for r in range(0, min(rows, limit - s), 7))]
    if not cands:
        print("  the scrolled view matches no part of the Xvfb canvas"); sys.exit(1)
    top = min(cands, key=lambda s: sum(shown_row(r) != ref_row(s + r) for r in range(min(rows, limit - s))))
    count = min(rows, limit - top)
    if top + rows < 600:
        print(f"  scrolled to canvas row {top}: rows {top}..{top + rows - 1} shown, the panel's bottom (599) not reachable"); sys.exit(1)
bad = 0
for r in range(count):
    if shown_row(r) != ref_row(top + r):
        bad += 1
        if bad <= 3:
            s = shown_row(r)
            print(f"  canvas row {top + r} differs" + (" (not uniform at this scale)" if s is None else f": first pixels {s[:9].hex()} against {ref_row(top + r)[:9].hex()}"))
# The palette colour 242 (0x000044) of the background at canvas (280, 300), if shown.
if not scrolled:
    p = img[((y0 + 300 * scale) * w + x0 + 280 * scale) * 3:][:3]
    if p != b"\x00\x00\x44":
        print(f"  background at canvas (280, 300) is {tuple(p)}, not (0, 0, 68)"); bad += 1
print(f"  {'scrolled to canvas row %d, ' % top if scrolled else ''}{bad} of {count} rows differ from Xvfb")
sys.exit(1 if bad else 0)
EOF
}

# ---------------------------------------------------------------------------------------
start_program "$work/wayland.log"
echo "window client area at ($ox, $oy), ${ww}x${wh}"
shot "$work/wayland-scale1.png" 1
check "panel on sway equals the Xvfb screenshot, opaque (scale 1)" compare "$work/wayland-scale1.png" 1 "$ox" "$oy" "$wh"

strikes() {  # the note-ons that reached the dump since line $1, as NOTE@VELOCITY
  local status d1 d2 rest
  tail -n +"$(($1 + 1))" "$work/dump.txt" | while read -r _ status d1 d2 rest; do
    if [ "$status" = 90 ]; then printf '%d@%d ' "0x$d1" "0x$d2"; fi
  done
}
expect() {  # NAME, EXPECTED NOTES ("" for none; NOTE for a strike at 127, NOTE@V for velocity V), commands...
  local name=$1 want="" n got
  for n in $2; do
    case $n in *@*) want+="$n ${n%@*}@0 " ;; *) want+="$n@127 $n@0 " ;; esac
  done
  shift 2
  local mark
  mark=$(wc -l <"$work/dump.txt")
  send "$@"
  sleep 0.3
  got=$(strikes "$mark")
  if [ "$got" = "$want" ]; then pass "$name"; else fail "$name: expected [${want% }] got [${got% }]"; fi
}

fkeys=(59 60 61 62 63 64 65 66 67 68 87 88)  # F1..F12
notes=(9 10@27 11 12 13 14 15 16 17 "" 19 20)
for i in "${!fkeys[@]}"; do expect "F$((i + 1))" "${notes[i]}" "key ${fkeys[i]}"; done
for d in 1 2 3 4 5 6 7 8 9 0; do
  code=$((d == 0 ? 11 : d + 1))
  expect "main-row $d" "$((d == 0 ? 30 : 20 + d))" "key $code"
done
expect "NumLock on" "" "key 69"
kp=(82 79 80 81 75 76 77 71 72 73)  # keypad 0..9
for d in 1 2 3 4 5 6 7 8 9 0; do expect "keypad $d (NumLock)" "$((d == 0 ? 30 : 20 + d))" "key ${kp[d]}"; done
expect "keypad + (NumLock)" 31 "key 78"
expect "keypad - (NumLock)" 32 "key 74"
expect "keypad Enter (NumLock)" 33 "key 96"
expect "NumLock off" "" "key 69"
expect "keypad + (no NumLock)" 31 "key 78"
expect "keypad - (no NumLock)" 32 "key 74"
expect "keypad Enter (no NumLock)" 33 "key 96"
expect "keypad 8 and 2 as arrows (no NumLock)" "36 37" "key 72" "key 80"
expect "Enter" 33 "key 28"
expect "arrows left, right, up, down" "34 35 36 37" "key 105" "key 106" "key 103" "key 108"
expect "Shift" 38 "key 42"
expect "Alt+F1, Alt+1, Alt+keypad +" "" "down 56" "key 59" "key 2" "key 78" "up 56"

# Held for a second at 300 ms / 10 a second: the press and about eight repeats, as the
# compositor repeats every other key (F1 held alike); 500 ms / 30 a second would give 17.
held() {  # KEY: strikes of a key held for a second
  local mark
  mark=$(wc -l <"$work/dump.txt")
  send "down $1"
  sleep 1
  send "up $1"
  sleep 0.3
  strikes "$mark" | tr ' ' '\n' | grep -c '@127' || true
}
f1_held=$(held 59)
shift_held=$(held 42)
echo "held for 1 s: F1 $f1_held strikes, Shift $shift_held"
check "held Shift repeats at the compositor's rate (F1 $f1_held, Shift $shift_held)" \
  test "$shift_held" -ge 5 -a "$shift_held" -le 12 -a $((shift_held - f1_held)) -le 2 -a $((f1_held - shift_held)) -le 2
# The desktop's settings changed while the program runs: 200 ms / 25 a second, about 21.
swaymsg input type:keyboard repeat_delay 200 >/dev/null
swaymsg input type:keyboard repeat_rate 25 >/dev/null
sleep 0.3
f1_held=$(held 59)
shift_held=$(held 42)
check "held Shift follows a changed repeat rate (F1 $f1_held, Shift $shift_held)" \
  test "$shift_held" -ge 14 -a $((shift_held - f1_held)) -le 2 -a $((f1_held - shift_held)) -le 2

# The pointer: over the bare background (canvas 300, 480), then the four gestures (the
# threshold at the default speed is 25), both buttons and the wheel.
px=$((ox + 300))
py=$((oy + 480))
send "move $px $py"
sleep 0.3
expect "pointer up" 1 "rel 0 -40"
expect "pointer down" 2 "rel 0 40"
expect "pointer right" 3 "rel 40 0"
expect "pointer left" 4 "rel -40 0"
expect "left button" 7 "bdown 272" "bup 272"
expect "right button" 8 "bdown 273" "bup 273"
expect "wheel toward the user" 5 "wheel 1"
expect "wheel away from the user" 6 "wheel -1"
# Dragged with the button held out of the client area, over the title bar and the left
# border: the window still gets the pointer (up and left at 0), and the release.
expect "drag out of the window" "7 1 4" "bdown 272" "move $px $((oy - 10))" "move $((ox - 1)) $((oy - 10))" "bup 272"
send "move $px $py" "rel 0 1"  # Qt takes the entry's position as a move only with the next event
sleep 0.3
expect "a click after the drag" 7 "bdown 272" "bup 272"
check "no grab warnings on stderr" bash -c "! grep -qi 'grab' '$work/wayland.log'"
kill "$wl_program" 2>/dev/null || true
wait "$wl_program" 2>/dev/null || true

# Output scale 2: the panel at its own size (each canvas pixel 2 x 2), the whole of it
# reachable with the scroll bars.
swaymsg output HEADLESS-1 scale 2 >/dev/null
send "extent 960 540"  # the pointer's absolute positions are in the compositor's units
start_program "$work/wayland-scale2.log"
echo "scale 2: window client area at ($ox, $oy), ${ww}x${wh} units"
shot "$work/wayland-scale2.png" 2
rows=$((wh - 20))  # above the horizontal bar
check "panel at scale 2 equals the Xvfb screenshot, 2 x 2 pixels each" compare "$work/wayland-scale2.png" 2 "$ox" "$oy" "$rows"
# The vertical bar's thumb, dragged from its top to the bottom of the window.
bx=$((ox + ww - 6))
send "move $bx $((oy + 30))" "bdown 272" "move $bx $((oy + wh / 2))" "move $bx $((oy + wh + 20))" "bup 272"
sleep 0.5
grim -o HEADLESS-1 "$work/wayland-scale2-scrolled.png"
check "the panel's bottom reachable with the scroll bar at scale 2" \
  compare "$work/wayland-scale2-scrolled.png" 2 "$ox" "$oy" "$rows" scrolled
expect "F1 at scale 2" 9 "key 59"
kill "$wl_program" 2>/dev/null || true
wait "$wl_program" 2>/dev/null || true

# A MIDI clock streaming into the monitor, at scale 1. Where each present would copy the
# whole window's buffer, the monitor gets a surface of its own (a subsurface): what it shows
# must be what the window shows of the same canvas after a full repaint.
swaymsg output HEADLESS-1 scale 1 >/dev/null
send "extent 1920 1080"
export WAYLAND_DEBUG=client  # the protocol log tells whether the surface was made
start_program "$work/wayland-monitor.log"
unset WAYLAND_DEBUG
monitor() {  # PNG X Y: a digest of the monitor's pixels, the client's corner at (X, Y)
  convert "$1" -crop "250x136+$(($2 + 12))+$(($3 + 457))" rgb:- | md5sum
}
shot "$work/wayland-monitor-before.png" 1
"$build/bench/zm_midi_idle_peers" 48 240 &
pids+=($!)
sleep 12  # a device check opens the peer within 5 s; its 240 clocks take 5 s
grim -o HEADLESS-1 "$work/wayland-monitor-stream.png"
swaymsg fullscreen enable >/dev/null  # a new size: the whole window painted again
sleep 1
read -r fx fy _ _ < <(window_json)
grim -o HEADLESS-1 "$work/wayland-monitor-repainted.png"
check "the clock reached the monitor" test "$(monitor "$work/wayland-monitor-before.png" "$ox" "$oy")" \
  != "$(monitor "$work/wayland-monitor-stream.png" "$ox" "$oy")"
check "the monitor had a surface of its own" grep -q 'wl_subcompositor@[0-9]*.get_subsurface' \
  "$work/wayland-monitor.log"
check "the monitor's own surface shows what the window shows after a full repaint" \
  test "$(monitor "$work/wayland-monitor-stream.png" "$ox" "$oy")" \
  = "$(monitor "$work/wayland-monitor-repainted.png" "$fx" "$fy")"
if [ -n "${ZM_WAYLAND_SHOTS:-}" ]; then
  mkdir -p "$ZM_WAYLAND_SHOTS" && cp "$work"/*.png "$ZM_WAYLAND_SHOTS"/
fi
finish
