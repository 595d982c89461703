#!/usr/bin/env bash
# Builds the Windows program for x86-64 and i686 with mingw-w64 and tests the x86-64 one
# under Wine on a 1920 x 1080 X server: the logic's unit tests, the Win32 back end's tests,
# and the real program (its window and pixels, keys and the wheel, a refused second start,
# closing). The i686 build is only built: these machines cannot run 32-bit programs.
# Ends with one line "N passed, N failed"; the exit status is 0 only when nothing failed.
set -euo pipefail
# shellcheck source=scripts/lib/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
cd "$zm_root"
root=$PWD
jobs=2

need_packages cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest \
  wine64 xvfb xdotool x11-utils imagemagick || exit 1

# ---------------------------------------------------------------------------------------
# Build.
for arch in win64:x86_64 win32:i686; do
  dir=build-${arch%%:*}
  tc=cmake/toolchain-mingw-w64-${arch##*:}.cmake
  if cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZM_WERROR=ON -DCMAKE_TOOLCHAIN_FILE="$tc" --no-warn-unused-cli >/dev/null \
     && cmake --build "$dir" -j$jobs; then
    pass "build $dir"
  else
    fail "build $dir"
  fi
done

# The logic reaches Windows only through platform/platform.h.
check "the logic includes no Windows header" \
  sh -c "! grep -rniE '#include[[:space:]]*[<\"](windows|winuser|wingdi|mmsystem|shellapi)' app surface midi lcd"

# Only DLLs that Windows itself ships, no compiler runtime.
for dir in build-win64 build-win32; do
  exe=$dir/platform/win32/zyn_mouse.exe
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" 2>/dev/null | sed -n 's/.*DLL Name: //p' | tr '[:lower:]' '[:upper:]' | sort -u || true)
  extra=$(echo "$dlls" | grep -vxE 'KERNEL32.DLL|USER32.DLL|GDI32.DLL|WINMM.DLL|SHELL32.DLL|MSVCRT.DLL|ADVAPI32.DLL' || true)
  check "$exe needs only system DLLs (${dlls//$'\n'/ })" test -n "$dlls" -a -z "$extra"
done

# ---------------------------------------------------------------------------------------
# Wine on a private X server and a private prefix.
build=$root/build-win64
use_wine "$build/wineprefix"

"$wineserver" -k 2>/dev/null || true  # a server of an earlier run would keep its old display

DISPLAY=$(free_display 90 199)
export DISPLAY
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  "$wineserver" -k 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
}
start_xvfb "$DISPLAY" "$build/xvfb.log"
xvfb=$xvfb_pid
trap cleanup EXIT

# The prefix is made with the display up, so that Wine takes the X server's screen size.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 300 "$wine" wineboot -i >"$build/wineboot.log" 2>&1 || true
  # The registry reaches the disk when the server ends: wait for it (bounded).
  timeout 120 "$wineserver" -w 2>/dev/null || true
fi
check "wine prefix ready" test -f "$WINEPREFIX/system.reg"

# ---------------------------------------------------------------------------------------
# The unit tests: every GoogleTest case counts.
run_gtest() {  # run_gtest NAME EXE
  local out rc=0 p f
  out=$(cd "$(dirname "$2")" && timeout 300 "$wine" "$(basename "$2")" --gtest_brief=1 2>&1 | grep -v '^ALSA lib') || rc=$?
  echo "$out" | grep -E '^\[  FAILED  \]|Failure|error' | head -40 || true
  p=$(echo "$out" | sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' | tail -1)
  f=$(echo "$out" | sed -n 's/^\[  FAILED  \] \([0-9]*\) test.*/\1/p' | tail -1)
  if [ -z "$p" ]; then
    fail "$1 (no result, status $rc)"
    return
  fi
  add_counts "$p" "${f:-0}"
  echo "$1: ${p} passed, ${f:-0} failed"
}
run_gtest "logic unit tests" "$build/tests/platform/win32/zyn_unit_tests.exe"
run_gtest "win32 back end tests" "$build/tests/platform/win32/zyn_win32_tests.exe"
run_gtest "win32 MIDI on a winmm double" "$build/tests/platform/win32/zyn_win32_midi_tests.exe"

# ---------------------------------------------------------------------------------------
# The real program.
exe=$build/platform/win32/zyn_mouse.exe
probe=$build/tests/platform/win32/zyn_probe.exe
probe() { "$wine" "$probe" "$@" 2>/dev/null | tr -d '\r' || true; }
# Sets status to a started program's exit status once it ends, waiting up to ten seconds;
# empty if it is still running. (Not in a subshell: only this shell can wait for it.)
await_exit() {
  status=""
  for _ in $(seq 40); do
    kill -0 "$1" 2>/dev/null || { status=0; wait "$1" || status=$?; return; }
    sleep 0.25
  done
}
# The id of the first window whose title matches, waiting up to SECONDS.
window_titled() {
  id=$(xdotool search --name "$1" 2>/dev/null | head -1)
  [ -n "$id" ]
}
wait_window() {  # wait_window TITLE SECONDS
  local id=""
  wait_for_every 0.25 "$2" window_titled "$1" || true
  echo "$id"
}
shot=$build/test-windows-shot.png

"$wine" "$exe" >"$build/zyn_mouse.log" 2>&1 &
first=$!
pids+=("$first")
window=$(wait_window '^ZYN_MOUSE Ver1\.02$' 30)
check "the program shows its window \"ZYN_MOUSE Ver1.02\"" test -n "$window"
sleep 1  # the first UI cycles draw the panel

read -r ox oy cw ch < <(probe origin ZYN_MOUSE) || true
check "client area found (${ox:-?},${oy:-?} ${cw:-?}x${ch:-?})" test -n "${ch:-}"
ox=${ox:-0} oy=${oy:-0}

# Colours of the screen at canvas points (the view is not scrolled: canvas = client).
pixels() {  # pixels FILE: "x y RRGGBB" for the client area's top-left 300 x 620 pixels
  convert "$1" -crop "300x620+$ox+$oy" +repage txt:- |
    sed -n 's/^\([0-9]*\),\([0-9]*\): .*#\([0-9A-Fa-f]\{6\}\).*/\1 \2 \3/p'
}
expect() {  # expect NAME "x y RRGGBB"... : every point has its colour
  local name=$1; shift
  local bad
  bad=$(printf '%s\n' "$@" | awk 'NR == FNR { want[$1 " " $2] = toupper($3); next }
    ($1 " " $2) in want { if (toupper($3) != want[$1 " " $2]) print $1 "," $2 ": " $3 " not " want[$1 " " $2]; delete want[$1 " " $2] }
    END { for (k in want) print k ": not on the screen" }' - "$pixfile")
  if [ -z "$bad" ]; then pass "$name"; else fail "$name"; echo "$bad" | head -10; fi
}
import -window root "$shot"
pixfile=$build/test-windows-pixels.txt
pixels "$shot" >"$pixfile" || true

expect "background 0x000044 away from texts" \
  "5 5 000044" "270 20 000044" "5 300 000044" "280 450 000044" "150 610 000044" "11 500 000044" "262 500 000044"
expect "up arrow: tip row 169 at x 109..110, base row 187 at x 91..128" \
  "108 169 000044" "109 169 DDDDDD" "110 169 DDDDDD" "111 169 000044" "109 168 000044" \
  "90 187 000044" "91 187 DDDDDD" "110 187 DDDDDD" "128 187 DDDDDD" "129 187 000044"
expect "output list outline, corners left out" \
  "9 49 000044" "10 49 DDDDDD" "259 49 DDDDDD" "260 49 000044" "9 50 DDDDDD" "9 126 DDDDDD" \
  "9 127 000044" "10 127 DDDDDD" "259 127 DDDDDD" "260 127 000044" "260 126 DDDDDD" "10 50 FFFFFF"
expect "monitor title bar black, frame 0x777777" \
  "12 457 000000" "261 475 000000" "20 470 000000" "12 476 777777" "261 476 777777" \
  "12 500 777777" "261 500 777777" "12 592 777777" "100 592 777777" "261 592 777777" "12 593 000044"

# Keys: played as notes (no MIDI device here), system keys and Alt+F4 do nothing.
xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool key --delay 30 F1 F2 F3 F10 F12 1 5 0 KP_5 KP_Add KP_Subtract Return Shift_L Up Down Left Right alt+F4
sleep 0.5
check "keys handled, the program still runs" kill -0 $first
check "Alt+F4 did not close the window" test -n "$(xdotool search --name '^ZYN_MOUSE Ver1\.02$' 2>/dev/null)"

# The wheel over the speed box: one notch away from the user lowers the speed, one
# toward the user brings it back.
box() { convert "$shot" -crop 25x26+$((ox + 95))+$((oy + 210)) +repage -depth 8 rgb:- | md5sum | cut -c1-32; }
before=$(box)
xdotool mousemove $((ox + 107)) $((oy + 223))
sleep 0.2
xdotool click 4
sleep 0.4
import -window root "$shot"
lowered=$(box)
xdotool click 5
sleep 0.4
import -window root "$shot"
back=$(box)
check "a wheel notch changes the speed digit" test "$before" != "$lowered"
check "the reverse notch shows the old digit again" test "$before" = "$back"

# A second start is refused with a message box, and ends with status 1 once it is closed.
"$wine" "$exe" >"$build/zyn_mouse_second.log" 2>&1 &
second=$!
pids+=("$second")
box=$(wait_window '^ZYN_MOUSE$' 20)
check "second start shows a window \"ZYN_MOUSE\"" test -n "$box"
texts=$(probe texts ZYN_MOUSE)
check "its message is \"Proram still running?\" (got: $texts)" grep -qx 'Proram still running?' <<<"$texts"
xdotool windowfocus --sync "$box" 2>/dev/null || true
xdotool key Return
await_exit $second
check "second start ends with status 1 after OK (status ${status:-still running})" test "$status" = 1
check "the first instance still runs" kill -0 $first

# Closing the window ends the program with status 0.
probe close ZYN_MOUSE
await_exit $first
check "closing the window ends the program with status 0 (status ${status:-still running})" test "$status" = 0

# ---------------------------------------------------------------------------------------
# The same program on a real ALSA sequencer through Wine's winmm, in the VM of
# scripts/vm/alsa-vm-host.sh, with this build and this prefix (scripts/test-vm.sh judges).
"$wineserver" -k 2>/dev/null || true
timeout 60 "$wineserver" -w 2>/dev/null || true  # the registry on disk before the guest reads it
vm=$(./scripts/test-vm.sh windows "$build" 2>&1) || true
echo "$vm" | grep -v '^PASS' || true
p=$(echo "$vm" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1/p' | tail -1)
f=$(echo "$vm" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\2/p' | tail -1)
if [ -n "$p" ]; then
  add_counts "$p" "$f"
else
  fail "the program on a real sequencer under Wine (no result)"
fi

summary
