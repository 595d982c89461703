# Sourced by alsa-vm.sh and alsa-vm-host.sh: boots $kernel with $work/initrd under QEMU's
# software emulation ($timeout_s, $cpus, $memory), streams the console to stdout and to
# $work/console.log, and exits with the status the guest reported (a line ZM_VM_RESULT=N),
# or non-zero when it never reported one (crash, hang, timeout).
# Usage: vm_boot NAME QEMU_ARGS...
vm_boot() {
  local name=$1 log=$work/console.log qemu_status result
  shift
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
    echo "$name: FAILED: no result within ${timeout_s} s (ZM_ALSA_VM_TIMEOUT); the guest was stopped" >&2
    exit 124
  fi
  echo "$name: FAILED: the guest stopped without reporting an exit status (QEMU exited $qemu_status)" >&2
  exit 1
}
