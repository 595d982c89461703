#!/usr/bin/env bash
# Runs in the VM of alsa-vm-host.sh (scripts/test-vm.sh starts it): the program in a window
# under Xvfb on the real ALSA sequencer, played with xdotool; the Windows build through
# Wine's winmm. It judges nothing: the MIDI bytes that came out, screenshots and logs go to
# OUT for the host.
#   vm-guest.sh linux OUT BUILD     BUILD/platform/qt/zyn_mouse
#   vm-guest.sh windows OUT BUILD   BUILD/platform/win32/zyn_mouse.exe, BUILD/wineprefix
# Output 0 is VirMIDI 0-0 (the loopback comes last): what reaches it is read from the raw
# end /dev/snd/midiC0D0. Bytes written to /dev/snd/midiC0D1 arrive from input 1 and go
# through the thru. Markers (controller 0x77) are sent that way between the steps.
# At the end a USB MIDI keyboard (usb-keys.py) is plugged in, played, pulled mid-stream and
# plugged back; on Linux also bridged into JACK.
# No -e: a step that fails must not keep the later ones from running; the host judges each.
set -u
# shellcheck source=scripts/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib/common.sh"
kind=$1
out=$2
build=$3
note() { echo "guest: at $(cut -d" " -f1 /proc/uptime) s: $*"; }

# A controller 0x77 with the step's number, through the thru: splits the output into steps.
mark() {
  # shellcheck disable=SC2059 # the number becomes a byte of the format
  printf "\xB0\x77\\x$(printf %02x "$1")" >/dev/snd/midiC0D1
  sleep 0.4
}
shot() { import -window root "$out/$1.png"; }
snapshot_ports() { aconnect -l >"$out/ports-$1.txt" 2>&1; }
# Waits (up to 10 s) until FILE has stopped growing: the program has played what it was
# given before the next step's marker goes through the thru.
settle() {
  local was=-1 now
  for _ in $(seq 25); do
    now=$(stat -c %s "$1" 2>/dev/null || echo 0)
    [ "$now" = "$was" ] && return
    was=$now
    sleep 0.4
  done
}
# Waits (up to 30 s) until the program is subscribed to a port of the client whose name
# matches: its device check has opened that device.
subscribed() {
  aconnect -l | awk -v pat="$1" '/^client/ { c = ($0 ~ pat) } c && /Connect(ed From|ing To)/ { f = 1 }
    END { exit !f }'
}
await_open() {
  wait_for_every 0.5 30 subscribed "$1" || note "the program never opened $1"
}
# Waits (up to 30 s) until a device check has redrawn the lists: the input list looks other
# than in the shot REF; leaves the screenshot in NAME.
await_lists_changed() {
  local ref
  ref=$(convert "$out/$1.png" -crop "250x70+$((X + 10))+$((Y + 384))" rgb:- | md5sum)
  for _ in $(seq 30); do
    shot "$2"
    [ "$(convert "$out/$2.png" -crop "250x70+$((X + 10))+$((Y + 384))" rgb:- | md5sum)" != "$ref" ] && return
    sleep 0.5
  done
  note "the lists did not change"
}
# Prints the program's window id, waiting up to 60 s; nothing if it never shows.
window_shown() {
  w=$(xdotool search --onlyvisible --name '^ZYN_MOUSE Ver1\.02$' 2>/dev/null | head -n1)
  [ -n "$w" ]
}
find_window() {
  local w
  wait_for_every 0.2 60 window_shown && echo "$w"
}
# FluidSynth renders in real time from its start into a raw file (44.1 kHz, s16, stereo);
# its shell keeps it running, reading from a pipe that stays open.
start_synth() {
  fluidsynth -a file -m alsa_seq -q -o audio.file.name="$out/synth.raw" -o audio.file.type=raw \
    -o audio.file.format=s16 -r 44100 /usr/share/sounds/sf2/FluidR3_GM.sf2 \
    < <(sleep 900) >"$out/fluidsynth.log" 2>&1 &
  synth=$!
  wait_for_every 0.2 20 synth_listed
}
synth_listed() { aconnect -o 2>/dev/null | grep -q FLUID; }
# The virmidi card goes as a pulled cable would take it (the program's subscriptions keep
# the module in use and are not ours to cut); it comes back with ARGS as its parameters.
virmidi_unplug() {
  echo snd_virmidi.0 >/sys/bus/platform/drivers/snd_virmidi/unbind
  if rmmod snd_virmidi; then note "virmidi removed"; else note "rmmod snd_virmidi failed"; fi
}
virmidi_plug() {  # virmidi_plug [ARGS...]
  insmod "$ZM_VIRMIDI_KO" "$@" && note "virmidi back $*"
}
# A command to the keyboard; its answer in $reply and the log.
usb() {
  echo "$*" >&"${keys[1]}"
  read -r reply <&"${keys[0]}"
  note "usb $1: $reply"
}
usb_mark() { usb play B0 77 "$(printf %02X "$1")"; sleep 0.4; }
# The keyboard plugged in with one VirMIDI port beside it, so that all fits the program's
# lists (4 inputs, 5 outputs): VirMIDI 0-0, f_midi (held: its row stays empty), USB Keys
# MIDI 1, then the loopback. Its output rows, 15 pixels apart:
usb_virmidi_row=57 usb_keys_row=87
usb_plug_in() {
  virmidi_unplug
  virmidi_plug midi_devs=1
  coproc keys { python3 "$(dirname "${BASH_SOURCE[0]}")/usb-keys.py" "$out"; }
  usb plug
}

export DISPLAY=:7 XDG_RUNTIME_DIR=/tmp/xdg
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
start_xvfb :7 "$out/xvfb.log"

note "X server up"
# A virmidi raw end drops what arrives before its first read: cat reads at once.
cat /dev/snd/midiC0D0 >"$out/out0.raw" &
reader=$!
# Whatever passes the kernel's loopback also goes to VirMIDI 0-3's raw end.
aconnect 14:0 19:0
cat /dev/snd/midiC0D3 >"$out/loopback.raw" &
loop_reader=$!

if [ "$kind" = windows ]; then
  use_wine "$build/wineprefix"
  "$wineserver" -p 60  # later starts about three times faster
  # Wine's winmm lists the sequencer's ports once, at its start: the synth comes first.
  # Its list puts synthesizers before the other ports: FluidSynth is output 0.
  start_synth
  note "FluidSynth listed"
  virmidi_row=72 synth_row=57
  "$wine" "$build/platform/win32/zyn_mouse.exe" >"$out/program.log" 2>&1 &
  program=$!
  window=$(find_window)
  [ -n "$window" ] || { note "no window"; exit 1; }
  sleep 1
  read -r X Y _ < <("$wine" "$build/tests/platform/win32/zyn_probe.exe" origin ZYN_MOUSE 2>/dev/null | tr -d '\r')
else
  export QT_QPA_PLATFORM=xcb
  virmidi_row=57 synth_row=117  # FluidSynth comes later: output 4, after VirMIDI 0-0..0-3
  "$build/platform/qt/zyn_mouse" >"$out/program.log" 2>&1 &
  program=$!
  window=$(find_window)
  [ -n "$window" ] || { note "no window"; exit 1; }
  eval "$(xdotool getwindowgeometry --shell "$window")"
  sleep 1
fi
echo "$X $Y" >"$out/origin.txt"
note "window $window, client area at $X,$Y"
snapshot_ports start
xdotool windowfocus --sync "$window" 2>/dev/null
at() { xdotool mousemove $((X + $1)) $((Y + $2)); sleep 0.15; }
# VirMIDI 0-0 as the output; clicking, moving to a free spot (a gesture from the reference
# point (0, 0)) strike notes before the first marker.
at 100 $virmidi_row
xdotool click 1
at 280 300
sleep 0.3

# Step 1: every key that plays a note (F10 plays none). NumLock on, so that the keypad
# gives digits (off, its 4 is a Left arrow, as on Windows).
mark 1
xdotool key Num_Lock
sleep 0.2
xdotool key --delay 60 F1 F2 F3 F4 F5 F6 F7 F8 F9 F10 F11 F12 1 2 3 4 5 6 7 8 9 0 \
  KP_1 KP_2 KP_3 KP_4 KP_5 KP_6 KP_7 KP_8 KP_9 KP_0 KP_Add KP_Subtract Return \
  Left Right Up Down Shift_L
settle "$out/out0.raw"

# Step 2: the buttons, the wheel (which also takes the pointer as the gesture's reference)
# and a gesture on each axis, away from the lists and the speed box.
mark 2
xdotool click 1
xdotool click 3
xdotool click 4
xdotool click 5
sleep 0.2
at 280 260
at 280 340
at 320 340
at 240 340
settle "$out/out0.raw"

# Step 3: the thru. The last eight are what the monitor shows.
mark 3
printf '\xF8\x90\x3C\x40\x80\x3C\x00\xB0\x07\x64\xC0\x05\xE0\x00\x40\xFA\xFB\xFC' >/dev/snd/midiC0D1
settle "$out/out0.raw"
sleep 0.5  # a UI cycle draws the monitor
shot monitor
mark 4
sleep 0.3
kill "$reader" "$loop_reader"

# Linux only: when the notes leave, on VirMIDI 0-2 as the output (the row after 0-1): F1
# struck every 31 ms, then the thru at the same rate, timed at that port's raw end.
if [ "$kind" = linux ]; then
  at 100 $((virmidi_row + 30))
  xdotool click 1
  at 280 300
  sleep 0.5
  python3 "$(dirname "${BASH_SOURCE[0]}")/strike-timing.py" /dev/snd/midiC0D2 /dev/snd/midiC0D1 \
    100 31 >"$out/timing.txt" 2>&1
  at 100 $virmidi_row
  xdotool click 1
  at 280 300
  sleep 0.5
fi

# Step 4, Linux only (Wine does not list the ports again while it runs): the virmidi card
# unplugged and plugged back while the window runs. The program's subscriptions keep the
# module in use and are not ours to cut (its ports are private): unbinding the driver
# takes the card away under them, as pulling a USB cable would.
if [ "$kind" = linux ]; then
  sleep 0.3
  virmidi_unplug
  snapshot_ports unplugged
  await_lists_changed monitor unplugged  # a device check runs every 5 s
  sleep 0.5
  shot unplugged
  virmidi_plug
  await_open 'Virtual Raw MIDI 0-0'
  snapshot_ports replugged
  sleep 0.5
  shot replugged
  cat /dev/snd/midiC0D0 >"$out/out0-replugged.raw" &
  reader=$!
  sleep 0.5
  xdotool key F1
  sleep 0.3
  printf '\x90\x40\x50' >/dev/snd/midiC0D1
  sleep 1
  kill "$reader"
  start_synth
  await_open FLUID
  sleep 0.5
fi

note "FluidSynth step begins"
# Step 5: FluidSynth as the output.
snapshot_ports synth
shot synth-listed
at 100 $synth_row
xdotool click 1
sleep 1.5
shot synth-selected
# Where the file is when F1 goes out: the sound must start there, not before.
stat -c %s "$out/synth.raw" >"$out/synth-bytes-before-f1.txt"
xdotool key F1
sleep 2
kill -KILL "$synth"  # the raw file needs no closing

# The USB keyboard, with the window at X, Y and the program's processes in $pids. What the
# host sent to the keyboard is in usb-in.raw, split by markers from the keyboard through the
# thru.
usb_steps() {
  at 100 $usb_virmidi_row
  xdotool click 1
  at 280 300
  sleep 0.5
  shot usb-plugged
  # Step 16: F1 and the thru with the keyboard as the output; the monitor shows the thru.
  at 100 $usb_keys_row
  xdotool click 1
  at 280 300
  sleep 0.5
  usb_mark 16
  xdotool key F1
  sleep 0.3
  usb play F8 90 3C 40 80 3C 00 B0 07 64 C0 05 E0 00 40 FA FB FC
  settle "$out/usb-in.raw"
  sleep 0.5
  shot usb-monitor
  usb_mark 17
  # The keyboard plays 1,000 notes every 6 ms into the thru, to VirMIDI 0-0; after 500 the
  # cable is pulled for 7 s. Meanwhile the window is pinged and its input list watched.
  at 100 $usb_virmidi_row
  xdotool click 1
  at 280 300
  sleep 0.5
  python3 "$(dirname "${BASH_SOURCE[0]}")/ui-ping.py" "$window" 10 $((X + 10)) $((Y + 384)) 250 70 \
    >"$out/usb-ping.txt" &
  pinger=$!
  usb stream 1000 6 500 7 /dev/snd/midiC0D0 "${pids[@]}"
  # The X server is busy with the screenshot: the pings say so, not the program.
  echo "$(cut -d" " -f1 /proc/uptime) shot" >"$out/usb-shot-times.txt"
  shot usb-unplugged
  echo "$(cut -d" " -f1 /proc/uptime) done" >>"$out/usb-shot-times.txt"
  read -r reply <&"${keys[0]}"
  note "usb stream: $reply"
  echo "$reply" >"$out/usb-stream.txt"
  kill "$pinger"
  sleep 1
  shot usb-replugged
  # Step 18: F1 and the thru reach the keyboard again.
  at 100 $usb_keys_row
  xdotool click 1
  at 280 300
  sleep 0.5
  usb_mark 18
  xdotool key F1
  sleep 0.3
  usb play 90 40 50
  settle "$out/usb-in.raw"
  usb_mark 19
}
jack_bridged() {  # the program reads and plays the bridged keyboard's JACK ports
  jack_lsp -c 2>/dev/null | awk '/^[^ ]/ { p = $0; next }
    p ~ /^system_midi:capture_/ && /ZYN_MOUSE:in/ { i = 1 }
    p ~ /^system_midi:playback_/ && /ZYN_MOUSE:out/ { o = 1 }
    END { exit !(i && o) }'
}

if [ "$kind" = linux ]; then
  # Plugged in while the window runs: the program opens it at its next device check.
  usb_plug_in
  await_open 'USB Keys'
  sleep 0.5
  pids=("$program")
  usb_steps
  # Step 20: JACK as its users run it on hardware, the keyboard's raw MIDI bridged into
  # its ports, then the program. The bridge opens the raw MIDI devices itself: not the
  # keyboard while the program has it open through the sequencer (busy), nor the VirMIDI
  # card, whose 16 substreams it would take first.
  kill "$program"
  virmidi_unplug
  jackd -X alsarawmidi -d dummy -p 256 >"$out/jackd.log" 2>&1 &
  jackd=$!
  sleep 2
  "$build/platform/qt/zyn_mouse" >"$out/program-jack.log" 2>&1 &
  program=$!
  window=$(find_window)
  wait_for_every 0.5 30 jack_bridged || note "the program never took the bridged keyboard"
  jack_lsp -c >"$out/jack-ports.txt" 2>&1
  at 100 57  # its only output
  xdotool click 1
  at 280 300
  sleep 0.5
  usb_mark 20
  xdotool key F1
  sleep 0.3
  usb play 90 41 60
  settle "$out/usb-in.raw"
  usb_mark 21
  kill "$program"
  sleep 1
  kill "$jackd"
  usb quit
else
  "$wine" "$build/tests/platform/win32/zyn_probe.exe" close ZYN_MOUSE
  sleep 2
  # Wine's winmm lists the ports once, at its start: the keyboard is plugged in first and
  # the program started again. After the plug-in it is not listed anew.
  usb_plug_in
  "$wine" "$build/platform/win32/zyn_mouse.exe" >"$out/program-usb.log" 2>&1 &
  window=$(find_window)
  sleep 1
  read -r X Y _ < <("$wine" "$build/tests/platform/win32/zyn_probe.exe" origin ZYN_MOUSE 2>/dev/null | tr -d '\r')
  mapfile -t pids < <(pgrep -f 'zyn_mouse\.exe'; pgrep -x 'wineserver|wineserver64')
  usb_steps
  pgrep -f 'zyn_mouse\.exe' >/dev/null && echo running >"$out/usb-survived.txt"
  "$wine" "$build/tests/platform/win32/zyn_probe.exe" close ZYN_MOUSE
  sleep 2
  "$wineserver" -k
  usb quit
fi
note "done"
echo "done" >"$out/guest-done.txt"
