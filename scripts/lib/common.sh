# Sourced by the scripts: packages, checks and their summary, waiting, a process's CPU and
# peak memory, an X server on a free display, Wine, a private /dev/shm. Safe under
# `set -euo pipefail` and without -e.
# shellcheck shell=bash

# shellcheck disable=SC2034 # for the scripts that source this
zm_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
zm_me=$(basename "$0" .sh)

# ---------------------------------------------------------------------------------------
# Packages.

zm_apt_updated=
apt_update_once() {
  [[ -n $zm_apt_updated ]] && return 0
  apt-get update -qq
  zm_apt_updated=1
}

# Installs those of the Debian packages given that are not installed, noninteractively.
# Without root a missing package is an error, not an attempt.
need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  if [[ $(id -u) != 0 ]]; then
    echo "$zm_me: missing ${missing[*]} (run as root to install)" >&2
    return 1
  fi
  echo "$zm_me: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # jackd2 asks whether to enable realtime scheduling; the answer does not matter here.
  echo "jackd2 jackd/tweak_rt_limits boolean false" | debconf-set-selections
  apt_update_once && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null && return 0
  echo "$zm_me: cannot install ${missing[*]}" >&2
  return 1
}

# ---------------------------------------------------------------------------------------
# Checks: "PASS NAME" or "FAIL NAME" a line (with check_quiet set, only the failures), and
# at the end the line "N passed, N failed" that CI reads.

passed=0
failed=0
check_quiet=
pass() {
  passed=$((passed + 1))
  [[ -n $check_quiet ]] || echo "PASS $*"
}
fail() {
  failed=$((failed + 1))
  echo "FAIL $*"
}
check() {  # check NAME COMMAND...
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}
# Adds counts that another run reported.
add_counts() {  # add_counts PASSED FAILED
  passed=$((passed + $1))
  failed=$((failed + $2))
}
# The closing line; its status is 0 only when nothing failed.
summary() {
  echo "$passed passed, $failed failed"
  ((failed == 0))
}

# ---------------------------------------------------------------------------------------
# Waiting.

# Runs COMMAND every STEP seconds until it succeeds, for up to SECONDS; fails if it never does.
wait_for_every() {  # wait_for_every STEP SECONDS COMMAND...
  local step=$1 tries i
  tries=$(awk -v s="$2" -v e="$1" 'BEGIN { printf "%d", s / e + 0.5 }')
  shift 2
  for ((i = 0; i < tries; i++)); do
    "$@" && return 0
    sleep "$step"
  done
  return 1
}
wait_for() {  # wait_for SECONDS COMMAND...: every 50 ms
  wait_for_every 0.05 "$@"
}

# ---------------------------------------------------------------------------------------
# What a running process costs, from /proc.

# Its CPU time so far (user + system, all its threads), in clock ticks. The name in
# parentheses may hold spaces: the fields are counted after it.
cpu_ticks() {  # cpu_ticks PID
  awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"
}
# Its peak resident set size (VmHWM), in KiB.
peak_rss_kib() {  # peak_rss_kib PID
  awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"
}
# Each process's CPU in % of one core over the same SECONDS of wall time, on one line in
# the order given; "nan" for one that is gone by the end.
cpu_pct_over() {  # cpu_pct_over SECONDS PID...
  local seconds=$1 before=() after=() t0 t1 pid i
  shift
  t0=$EPOCHREALTIME
  for pid in "$@"; do before+=("$(cpu_ticks "$pid" 2>/dev/null || echo nan)"); done
  sleep "$seconds"
  for pid in "$@"; do after+=("$(cpu_ticks "$pid" 2>/dev/null || echo nan)"); done
  t1=$EPOCHREALTIME
  for i in "${!before[@]}"; do
    awk -v a="${before[i]}" -v b="${after[i]}" -v hz="$(getconf CLK_TCK)" -v s="$t0" -v e="$t1" \
      'BEGIN { if (a == "nan" || b == "nan") printf "nan"; else printf "%.2f", (b - a) * 100 / hz / (e - s) }'
    ((i + 1 < ${#before[@]})) && printf ' '
  done
  echo
}

# ---------------------------------------------------------------------------------------
# X.

# Prints the first display ":N" with FIRST <= N <= LAST that no X server holds.
free_display() {  # free_display FIRST LAST
  local d
  for ((d = $1; d <= $2; d++)); do
    if [[ ! -e /tmp/.X11-unix/X$d && ! -e /tmp/.X$d-lock ]]; then
      echo ":$d"
      return 0
    fi
  done
  echo "$zm_me: no free X display in :$1..:$2" >&2
  return 1
}

# Starts Xvfb on DISPLAY with a 1920 x 1080 screen, its output to LOG; its id in xvfb_pid.
# Waits up to 10 s for its socket; a server that never comes up shows in what follows.
start_xvfb() {  # start_xvfb DISPLAY LOG
  Xvfb "$1" -screen 0 1920x1080x24 -nolisten tcp >"$2" 2>&1 &
  # shellcheck disable=SC2034 # for the caller
  xvfb_pid=$!
  wait_for_every 0.1 10 test -e "/tmp/.X11-unix/X${1#:}" || true
}

# ---------------------------------------------------------------------------------------
# Wine: sets wine and wineserver (Debian keeps the 64-bit loader off PATH) and a quiet
# private PREFIX without Mono and Gecko.
use_wine() {  # use_wine PREFIX
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wine=/usr/lib/wine/wine64
  [[ -x $wine ]] || wine=$(command -v wine64)
  wineserver=/usr/lib/wine/wineserver
  [[ -x $wineserver ]] || wineserver=$(command -v wineserver)
}

# ---------------------------------------------------------------------------------------
# A private /dev/shm. JACK keeps a machine-wide table of servers and a metadata database
# there: a server killed on purpose may leave the table full or the database locked, and
# every later client would wait for ever.

# Whether this process may make a mount namespace.
private_shm_possible() {
  unshare --mount true 2>/dev/null
}
# Replaces the shell with COMMAND in a mount namespace of its own with a fresh /dev/shm.
exec_with_private_shm() {  # exec_with_private_shm COMMAND [ARGS...]
  # shellcheck disable=SC2016 # expanded in the namespace
  exec unshare --mount --propagation private sh -c 'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec "$0" "$@"' "$@"
}
