#!/usr/bin/env bash
# Runs a test program as root inside a QEMU guest booted from Debian's own kernel with the
# ALSA sequencer and virmidi modules loaded: the only real ALSA these machines can have.
# The guest console streams to stdout; the exit status is the program's, or non-zero
# when it never reported one (crash, hang, timeout).
#
# Usage: scripts/alsa-vm.sh BINARY [ARGS...]   (as root; installs what it needs)
#        scripts/alsa-vm.sh --prepare           installs and unpacks only, then prints the
#                                               kernel, then the modules to load, one a line
#                                               (scripts/alsa-vm-host.sh boots with them)
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

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
timeout_s=${ZM_ALSA_VM_TIMEOUT:-300}
memory=${ZM_ALSA_VM_MEMORY:-512M}
cpus=${ZM_ALSA_VM_CPUS:-1}
cache=${ZM_ALSA_VM_CACHE:-$repo/build/alsa-vm}

# Load order: each module after those its depends= field names.
modules=(soundcore snd snd-timer snd-hrtimer snd-seq-device snd-seq snd-seq-dummy
  snd-rawmidi snd-seq-midi-event snd-seq-midi snd-seq-virmidi snd-virmidi)
# What mounting the host's filesystem takes (alsa-vm-host.sh), unpacked with the rest.
hostfs_modules=(virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci
  9pnet 9pnet_virtio netfs fscache 9p overlay)

die() { echo "alsa-vm: $*" >&2; exit 2; }

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

apt_updated=
apt_update() {
  [[ -n $apt_updated ]] && return
  apt-get update -qq
  apt_updated=1
}

install_missing() {
  local -A needs=(
    [qemu-system-x86]=/usr/bin/qemu-system-x86_64
    [busybox-static]=/bin/busybox
    [cpio]=/usr/bin/cpio
    [xz-utils]=/usr/bin/xz
    [libasound2-data]=/usr/share/alsa/alsa.conf
  )
  local missing=() p
  for p in "${!needs[@]}"; do
    # The plain busybox package is dynamically linked and would need its libraries.
    if [[ ! -e ${needs[$p]} ]] || ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
      missing+=("$p")
    fi
  done
  ((${#missing[@]})) || return 0
  echo "alsa-vm: installing ${missing[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Unpacks the kernel and the sound modules of Debian's current kernel package into
# $cache/kernel once; the package itself (~70 MB) is neither kept nor installed.
fetch_kernel() {
  # A cache unpacked before the host-filesystem modules were wanted is unpacked again.
  [[ -f $cache/kernel/ready && -n $(find "$cache/kernel" -name 9p.ko -print -quit) ]] && return
  apt_update
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
  for m in "${hostfs_modules[@]}"; do
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

install_missing
fetch_kernel
flock -u 9

kdir=$cache/kernel
kernel=$kdir/vmlinux
[[ -s $kernel ]] || kernel=$(compgen -G "$kdir/boot/vmlinuz-*" | head -n1) || die "no kernel in $kdir"
if [[ -n $prepare_only ]]; then
  echo "$kernel"
  for m in "${hostfs_modules[@]}" "${modules[@]}"; do
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

work=$(mktemp -d "${TMPDIR:-/tmp}/alsa-vm.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,dev,proc,sys,tmp,root,etc,usr/share/alsa}

cp /bin/busybox "$root/bin/busybox"
cp "$here/alsa-vm-init.sh" "$root/init"
chmod 755 "$root/init"
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

# Values are single-quoted for the guest's sh.
quote() { local s=${1//\'/\'\\\'\'}; printf "'%s'" "$s"; }
{
  printf 'ZM_VM_MODULES=%s\n' "$(quote "${ko_paths[*]}")"
  printf 'ZM_VM_CWD=%s\n' "$(quote "$(dirname "$binary")")"
  echo "export ZM_ALSA_VM=1"
  printf 'export ZM_VIRMIDI_KO=%s\n' "$(quote "${ko_paths[-1]}")"
  for name in $(compgen -e | grep '^GTEST_' || true) ${ZM_ALSA_VM_PASS_ENV:-}; do
    [[ -v $name ]] && printf 'export %s=%s\n' "$name" "$(quote "${!name}")"
  done
  # Colour codes would only clutter CI logs.
  [[ -t 1 || -v GTEST_COLOR ]] || echo "export GTEST_COLOR=no"
  printf 'set -- %s' "$(quote "$binary")"
  for arg in "$@"; do printf ' %s' "$(quote "$arg")"; done
  echo
} >"$root/etc/zm-vm.conf"

(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initrd"

# -cpu max: programs built for a newer CPU than QEMU's default model still run.
source "$here/vm-boot.sh"
vm_boot alsa-vm -cpu max
