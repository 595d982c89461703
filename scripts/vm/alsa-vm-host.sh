#!/usr/bin/env bash
# Runs a command as root in a QEMU guest booted from Debian's own kernel with the ALSA
# sequencer and virmidi loaded, inside the host's own filesystem: the host's / read-only
# over 9p under a tmpfs overlay, chrooted into. So everything installed here (alsa-utils,
# Xvfb, the program, FluidSynth, Wine) runs on a real sequencer. alsa-vm.sh, which boots a
# busybox with one test program, is quicker where that is enough.
# The guest console streams to stdout; the exit status is the command's, or non-zero when
# it never reported one (crash, hang, timeout).
#
# Usage: scripts/vm/alsa-vm-host.sh [--share DIR] COMMAND [ARGS...]   (as root)
#   --share DIR   DIR is writable in the guest, at the same path: results come back there.
#                 Everything else the guest writes is lost at power-off.
#
# Environment:
#   ZM_ALSA_VM_TIMEOUT   seconds for the whole boot, run and power-off (default 600)
#   ZM_ALSA_VM_MEMORY    guest memory (default 2G); ZM_ALSA_VM_CPUS guest CPUs (default 2)
#   ZM_ALSA_VM_CACHE     the kernel cache, as for alsa-vm.sh
#   ZM_ALSA_VM_PASS_ENV  names of variables to hand to the command
#   ZM_ALSA_VM_KEEP      folders under /tmp the command needs (the guest's /tmp is fresh);
#                        the current folder and the share are kept anyway
#
# The command runs in the current folder and sees ZM_ALSA_VM=1 and ZM_VIRMIDI_KO:
# `rmmod snd_virmidi` and `insmod "$ZM_VIRMIDI_KO"` unplug and replug the virtual ports.
set -euo pipefail
# shellcheck source=scripts/vm/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

timeout_s=${ZM_ALSA_VM_TIMEOUT:-600}
memory=${ZM_ALSA_VM_MEMORY:-2G}
cpus=${ZM_ALSA_VM_CPUS:-2}

share=
if [[ ${1:-} == --share ]]; then
  (($# >= 2)) || die "usage: $0 [--share DIR] COMMAND [ARGS...]"
  mkdir -p "$2"
  share=$(realpath -e "$2")
  shift 2
fi
(($# >= 1)) || die "usage: $0 [--share DIR] COMMAND [ARGS...]"

# The kernel and the modules, installed and unpacked by alsa-vm.sh into the shared cache.
mapfile -t prepared < <("$vm_dir/alsa-vm.sh" --prepare | grep '^/')
((${#prepared[@]} > 1)) || die "alsa-vm.sh --prepare gave no kernel"
kernel=${prepared[0]}
kos=("${prepared[@]:1}")

vm_initrd_start "$vm_dir/alsa-vm-host-init.sh" modules
cp "${kos[@]}" "$root/modules/"

keep=()
for d in "$PWD" "$share" ${ZM_ALSA_VM_KEEP:-}; do
  [[ -n $d && $d == /tmp/* ]] && keep+=("$(realpath -m "$d")")
done
{
  printf 'ZM_VM_MODULES=%s\n' "$(quote "$(for k in "${kos[@]}"; do printf '/modules/%s ' "$(basename "$k")"; done)")"
  printf 'ZM_VM_KEEP=%s\n' "$(quote "${keep[*]:-}")"
  printf 'ZM_VM_SHARE=%s\n' "$(quote "$share")"
  echo "ZM_VM_VIRMIDI=/modules/snd-virmidi.ko"
  vm_set_args "$@"
} >"$root/etc/zm-vm.conf"
{
  echo "export ZM_ALSA_VM=1 ZM_VIRMIDI_KO=/run/zm-vm/snd-virmidi.ko"
  printf 'export ZM_VM_CWD=%s\n' "$(quote "$PWD")"
  # shellcheck disable=SC2086 # names, one a word
  vm_exports ${ZM_ALSA_VM_PASS_ENV:-}
} >"$root/etc/zm-vm.env"
vm_initrd_pack

share_opts=()
if [[ -n $share ]]; then
  # shellcheck disable=SC2054 # QEMU's options are comma-separated
  share_opts=(-fsdev "local,id=share,path=$share,security_model=none"
    -device virtio-9p-pci,fsdev=share,mount_tag=share)
fi
# smap=off: QEMU 7.2's TCG faults a user-mode iretq under SMAP (every Wine process died).
vm_boot -cpu max,smap=off \
  -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot "${share_opts[@]}"
