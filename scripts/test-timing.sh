#!/usr/bin/env bash
# When the notes leave: the program under Xvfb on a private `jackd -R` at 64, 256 and 1024
# frames, then on PipeWire's JACK at its default quantum, measured from outside by
# tests/timing/timing_probe.cpp: the thru's latency frame by frame, F1 struck through
# XTest at fixed intervals, four inputs bursting at once, a note-on of velocity 0.
# Usage: scripts/test-timing.sh [BUILD] [bench]   (bench: more strikes, no limits: figures)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
mode=${2:-test}
root=$(cd "$(dirname "$0")/.." && pwd)
probe=$build/tests/timing/zm_timing_probe
program=$build/platform/qt/zyn_mouse

# JACK keeps its server table in /dev/shm: a test's servers live in one of their own.
if [ -z "${ZM_PRIVATE_SHM:-}" ]; then
  ZM_PRIVATE_SHM=1 exec "$root/tests/support/private_shm.sh" "$0" "$@"
fi

work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work JACK_NO_START_SERVER=1
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

display=99
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=("$!")
export DISPLAY=:$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

passed=0
failed=0
# One probe run against a fresh program: LABEL, then the command prefix (pw-jack or
# nothing) and the probe's arguments. Limits come in through the environment.
measure() {
  local label=$1 wrap=$2
  shift 2
  local out=$work/probe.out
  : >"$out"
  $wrap "$probe" "$@" >"$out" 2>"$work/probe.err" &
  local probe_pid=$!
  for _ in $(seq 200); do grep -q '^probe ready' "$out" && break; sleep 0.05; done
  $wrap "$program" >"$work/program.log" 2>&1 &
  local program_pid=$!
  if [ "$1" = keys ]; then
    timeout 10 xdotool search --sync --onlyvisible --name '^ZYN_MOUSE Ver1\.02$' windowfocus --sync >/dev/null 2>&1 || true
  fi
  wait "$probe_pid" || true
  kill "$program_pid" 2>/dev/null || true
  wait "$program_pid" 2>/dev/null || true
  grep -v '^probe ready' "$out" | sed "s/^/$label: /"
  local line
  line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$out" || echo "0 passed, 1 failed")
  passed=$((passed + $(echo "$line" | cut -d' ' -f1)))
  failed=$((failed + $(echo "$line" | cut -d' ' -f3)))
}

strikes=80
[ "$mode" = bench ] && strikes=300
for period in 64 256 1024; do
  server=zm-timing-$$-$period
  jackd -R -n "$server" -d dummy -r 48000 -p "$period" >"$work/jackd.log" 2>&1 &
  jack=$!
  pids+=("$jack")
  export JACK_DEFAULT_SERVER=$server
  for _ in $(seq 100); do jack_lsp >/dev/null 2>&1 && break; sleep 0.1; done
  # At 64 frames the figures are reported, not judged.
  if [ "$mode" != bench ] && [ "$period" -gt 64 ]; then
    export ZM_MAX_SPREAD=32 ZM_MAX_KEY_ERROR_MS=1
  fi
  measure "jackd -p $period" "" thru 400 300
  measure "jackd -p $period" "" keys "$strikes" 31
  unset ZM_MAX_SPREAD ZM_MAX_KEY_ERROR_MS JACK_DEFAULT_SERVER
  kill "$jack" 2>/dev/null || true
  wait "$jack" 2>/dev/null || true
done

pipewire >"$work/pipewire.log" 2>&1 &
pids+=("$!")
for _ in $(seq 100); do [ -S "$work/pipewire-0" ] && break; sleep 0.1; done
if [ "$mode" != bench ]; then
  export ZM_MAX_SPREAD=32 ZM_MAX_KEY_ERROR_MS=1
fi
measure "pw-jack" pw-jack thru 400 300
measure "pw-jack" pw-jack keys "$strikes" 31
unset ZM_MAX_SPREAD ZM_MAX_KEY_ERROR_MS
measure "pw-jack" pw-jack burst 4 500
measure "pw-jack" pw-jack raw

echo "timing: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
