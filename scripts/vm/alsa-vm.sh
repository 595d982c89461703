#!/usr/bin/env bash
# Runs a test program as root inside a QEMU guest booted from Debian's own kernel with the
# ALSA sequencer and virmidi modules loaded: the only real ALSA these machines can have.
# The guest console streams to stdout; the exit status is the program's, or non-zero
# when it never reported one (crash, hang, timeout).
#
# Usage: scripts/vm/alsa-vm.sh BINARY [ARGS...]   (as root; installs what it needs)
#        scripts/vm/alsa-vm.sh --prepare           installs and unpacks only, then prints the
#                                                  kernel, then the modules to load, one a line
#                                                  (alsa-vm-host.sh boots with them, the USB
#                                                  ones included)
#
# Environment:
#   ZM_ALSA_VM_TIMEOUT   seconds for the whole boot, run and power-off (default 300)
#   ZM_ALSA_VM_MEMORY    guest memory, as QEMU's -m takes it (default 512M)
#   ZM_ALSA_VM_CPUS      guest CPUs (default 1)
#   ZM_ALSA_VM_CACHE     where the kernel is kept between runs (default build/alsa-vm);
#                        delete it to move to Debian's newest kernel
#   ZM_ALSA_VM_PASS_ENV  names of further variables to hand to the program; GTEST_* always are
#
# In the guest the program sees ZM_ALSA_VM=1 and ZM_VIRMIDI_KO, the path of snd-virmidi.ko:
# `rmmod snd_virmidi` and `insmod "$ZM_VIRMIDI_KO"` unplug and replug the virtual ports.
set -euo pipefail
# shellcheck source=scripts/vm/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

timeout_s=${ZM_ALSA_VM_TIMEOUT:-300}
memory=${ZM_ALSA_VM_MEMORY:-512M}
cpus=${ZM_ALSA_VM_CPUS:-1}
cache=${ZM_ALSA_VM_CACHE:-$zm_root/build/alsa-vm}

# Load order: each module after those its depends= field names.
modules=(soundcore snd snd-timer snd-hrtimer snd-seq-device snd-seq snd-seq-dummy
  snd-rawmidi snd-seq-midi-event snd-seq-midi snd-seq-virmidi snd-virmidi)
# What mounting the host's filesystem takes (alsa-vm-host.sh), unpacked with the rest.
hostfs_modules=(virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci
  9pnet 9pnet_virtio netfs fscache 9p overlay)
# A USB MIDI keyboard with no USB hardware, for alsa-vm-host.sh: dummy_hcd wires a device
# controller to a host controller in the same kernel, the configfs MIDI gadget is the
# device and snd-usb-audio, the ordinary class driver, its host side.
usb_modules=(snd-pcm snd-hwdep mc usb-common usbcore udc-core dummy_hcd configfs libcomposite
  usb_f_midi snd-usbmidi-lib snd-usb-audio)

prepare_only=
(($# >= 1)) || die "usage: $0 BINARY [ARGS...]"
if [[ $1 == --prepare ]]; then
  prepare_only=1
else
  binary=$(realpath -e "$1" 2>/dev/null) || die "no such program: $1"
  [[ -x $binary ]] || die "not executable: $binary"
fi
shift

mkdir -p "$cache"
# Parallel runs share the cache: one at a time installs and unpacks.
exec 9>"$cache/lock"
flock 9

# Whether the cache has every module named above: one unpacked before some were wanted
# is unpacked again.
cache_complete() {
  [[ -f $cache/kernel/ready ]] || return 1
  local have m
  have=$(find "$cache/kernel" -name '*.ko' -printf '%f\n')
  for m in "${modules[@]}" "${hostfs_modules[@]}" "${usb_modules[@]}"; do
    grep -qxF "$m.ko" <<<"$have" || return 1
  done
}
# Unpacks the kernel and the sound modules of Debian's current kernel package into
# $cache/kernel once; the package itself (~70 MB) is neither kept nor installed.
fetch_kernel() {
  cache_complete && return
  apt_update_once
  local pkg
  pkg=$(apt-cache depends linux-image-amd64 | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
  [[ -n $pkg ]] || die "no kernel package among the Depends of linux-image-amd64"
  echo "alsa-vm: fetching $pkg"
  local tmp=$cache/kernel.tmp
  rm -rf "$tmp" "$cache/kernel"
  mkdir -p "$tmp/deb"
  (cd "$tmp/deb" && apt-get download -qq -o APT::Sandbox::User=root "$pkg")
  local patterns=('./boot/vmlinuz-*') m
  for m in "${modules[@]}"; do
    patterns+=("*/kernel/sound*/$m.ko")
  done
  for m in "${hostfs_modules[@]}" "${usb_modules[@]}"; do
    patterns+=("*/kernel/*/$m.ko")
  done
  dpkg-deb --fsys-tarfile "$tmp"/deb/*.deb | tar -x -C "$tmp" --wildcards "${patterns[@]}"
  rm -rf "$tmp/deb"
  # QEMU starts the uncompressed kernel at its PVH entry at once; the compressed one spends
  # about 3 s of emulated time unpacking itself.
  local vmlinuz off
  vmlinuz=$(compgen -G "$tmp/boot/vmlinuz-*") || die "no vmlinuz in $pkg"
  if ! { off=$(LC_ALL=C grep -obUaP -m1 '\xFD7zXZ\x00' "$vmlinuz" | head -n1 | cut -d: -f1) &&
    [[ -n $off ]] && xz -dcq --single-stream < <(tail -c +"$((off + 1))" "$vmlinuz") >"$tmp/vmlinux"; }; then
    rm -f "$tmp/vmlinux"
  fi
  mv "$tmp" "$cache/kernel"
  echo "$pkg" >"$cache/kernel/ready"
}

# The plain busybox package is dynamically linked and would need its libraries.
need_packages qemu-system-x86 busybox-static cpio xz-utils libasound2-data
fetch_kernel
flock -u 9

kdir=$cache/kernel
kernel=$kdir/vmlinux
[[ -s $kernel ]] || kernel=$(compgen -G "$kdir/boot/vmlinuz-*" | head -n1) || die "no kernel in $kdir"
if [[ -n $prepare_only ]]; then
  echo "$kernel"
  for m in "${hostfs_modules[@]}" "${modules[@]}" "${usb_modules[@]}"; do
    ko=$(find "$kdir" -name "$m.ko" | head -n1)
    [[ -n $ko ]] || die "$m.ko is missing from $kdir; delete that folder to fetch it again"
    echo "$ko"
  done
  exit 0
fi
ko_paths=()
for m in "${modules[@]}"; do
  ko=$(cd "$kdir" && find . -path '*/kernel/sound/*' -name "$m.ko" | head -n1)
  [[ -n $ko ]] || die "$m.ko is missing from $kdir; delete that folder to fetch it again"
  ko_paths+=("${ko#.}")
done

vm_initrd_start "$vm_dir/alsa-vm-init.sh" tmp root usr/share/alsa
(cd "$kdir" && cp --parents "${ko_paths[@]/#/.}" "$root/")
cp /usr/share/alsa/alsa.conf "$root/usr/share/alsa/"

# The program, its libraries and the loader, all at their host paths so that RUNPATHs hold.
copy_host_file() { mkdir -p "$root$(dirname "$1")" && cp -L "$1" "$root$1"; }
copy_host_file "$binary"
if ldd_out=$(ldd "$binary" 2>&1); then
  if grep -q 'not found' <<<"$ldd_out"; then
    die "libraries of $binary are missing: $(grep 'not found' <<<"$ldd_out" | tr -s ' \t\n' ' ')"
  fi
  while read -r lib; do copy_host_file "$lib"; done < <(grep -o '/[^ ]*' <<<"$ldd_out")
fi

{
  printf 'ZM_VM_MODULES=%s\n' "$(quote "${ko_paths[*]}")"
  printf 'ZM_VM_CWD=%s\n' "$(quote "$(dirname "$binary")")"
  echo "export ZM_ALSA_VM=1"
  printf 'export ZM_VIRMIDI_KO=%s\n' "$(quote "${ko_paths[-1]}")"
  # shellcheck disable=SC2046,SC2086 # names, one a word
  vm_exports $(compgen -e | grep '^GTEST_' || true) ${ZM_ALSA_VM_PASS_ENV:-}
  # Colour codes would only clutter CI logs.
  [[ -t 1 || -v GTEST_COLOR ]] || echo "export GTEST_COLOR=no"
  vm_set_args "$binary" "$@"
} >"$root/etc/zm-vm.conf"
vm_initrd_pack

# -cpu max: programs built for a newer CPU than QEMU's default model still run.
vm_boot -cpu max
