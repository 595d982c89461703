# Sourced by alsa-vm.sh and alsa-vm-host.sh: what both of their VMs are made of, a busybox
# initramfs with a conf file for its /init, booted from Debian's kernel under QEMU.
# shellcheck shell=bash

vm_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=scripts/lib/common.sh
source "$vm_dir/../lib/common.sh"

die() { echo "$zm_me: $*" >&2; exit 2; }

# Values are single-quoted for the guest's sh.
quote() { local s=${1//\'/\'\\\'\'}; printf "'%s'" "$s"; }
# Conf lines exporting each NAME that is set here, with its value.
vm_exports() {  # vm_exports NAME...
  local name
  for name in "$@"; do
    if [[ -v $name ]]; then printf 'export %s=%s\n' "$name" "$(quote "${!name}")"; fi
  done
}
# The conf line that makes ARGS the guest's command line.
vm_set_args() {  # vm_set_args ARGS...
  local arg
  printf 'set --'
  for arg in "$@"; do printf ' %s' "$(quote "$arg")"; done
  echo
}

# Makes $work (removed at exit) and the initramfs tree $root in it: busybox, INIT as /init,
# the usual folders and DIRS.
vm_initrd_start() {  # vm_initrd_start INIT [DIRS...]
  local init=$1 d
  shift
  work=$(mktemp -d "${TMPDIR:-/tmp}/$zm_me.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  root=$work/root
  for d in bin sbin usr/bin usr/sbin dev proc sys etc "$@"; do mkdir -p "$root/$d"; done
  cp /bin/busybox "$root/bin/busybox"
  cp "$init" "$root/init"
  chmod 755 "$root/init"
}
vm_initrd_pack() {
  (cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initrd"
}

# Boots $kernel with $work/initrd under QEMU's software emulation ($timeout_s, $cpus,
# $memory), streams the console to stdout and to $work/console.log, and exits with the
# status the guest reported (a line ZM_VM_RESULT=N), or non-zero when it never reported one
# (crash, hang, timeout).
# shellcheck disable=SC2154 # the caller's settings
vm_boot() {  # vm_boot QEMU_ARGS...
  local log=$work/console.log qemu_status result
  set +e
  timeout -k 5 "$timeout_s" qemu-system-x86_64 -accel tcg -smp "$cpus" -m "$memory" \
    -nodefaults -display none -serial stdio -no-reboot "$@" \
    -kernel "$kernel" -initrd "$work/initrd" \
    -append "console=ttyS0 panic=-1 loglevel=3" </dev/null 2>&1 |
    sed -u 's/\r$//' | tee "$log"
  qemu_status=${PIPESTATUS[0]}
  set -e
  result=$(grep -a -o '^ZM_VM_RESULT=[0-9]*$' "$log" | tail -n1 | cut -d= -f2 || true)
  if [[ -n $result ]]; then
    exit "$result"
  fi
  if ((qemu_status == 124 || qemu_status == 137)); then
    echo "$zm_me: FAILED: no result within ${timeout_s} s (ZM_ALSA_VM_TIMEOUT); the guest was stopped" >&2
    exit 124
  fi
  echo "$zm_me: FAILED: the guest stopped without reporting an exit status (QEMU exited $qemu_status)" >&2
  exit 1
}
