#!/bin/busybox sh
# shellcheck shell=sh
# /init of the VM of alsa-vm-host.sh: loads the modules, puts a tmpfs overlay on the host's
# filesystem (9p, read-only), chroots into it and runs the command there. The conf file
# beside this one names the modules, the folders and the command.
/bin/busybox --install -s
export PATH=/sbin:/bin:/usr/sbin:/usr/bin
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mount -t sysfs sysfs /sys

# shellcheck source=/dev/null
. /etc/zm-vm.conf

stop() {
  echo "ZM_VM: $*; the command was not run"
  poweroff -f
}

for ko in $ZM_VM_MODULES; do
  insmod "$ko" || stop "insmod $ko failed"
done

mkdir -p /lower /ovl /newroot /aside
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose hostroot /lower ||
  stop "the host's filesystem could not be mounted"
mount -t tmpfs -o size=75% tmpfs /ovl
mkdir -p /ovl/upper /ovl/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/ovl/upper,workdir=/ovl/work /newroot ||
  stop "the overlay could not be mounted"
r=/newroot
mount -t proc proc $r/proc
mount -t sysfs sysfs $r/sys
mount -t devtmpfs devtmpfs $r/dev
mkdir -p $r/dev/pts $r/dev/shm
# What udev would make: bash's <(...) needs /dev/fd.
ln -s /proc/self/fd $r/dev/fd
ln -s /proc/self/fd/0 $r/dev/stdin
ln -s /proc/self/fd/1 $r/dev/stdout
ln -s /proc/self/fd/2 $r/dev/stderr
mount -t devpts -o newinstance,ptmxmode=0666 devpts $r/dev/pts
mount -t tmpfs tmpfs $r/dev/shm
mount -t tmpfs tmpfs $r/run
# The host's /tmp holds its sockets and locks (X displays, wineserver): the guest gets a
# fresh one, with the folders it needs from there carried across.
i=0
for d in $ZM_VM_KEEP; do
  mkdir -p /aside/$i && mount --bind "$r$d" /aside/$i
  i=$((i + 1))
done
mount -t tmpfs -o mode=1777 tmpfs $r/tmp
i=0
for d in $ZM_VM_KEEP; do
  mkdir -p "$r$d" && mount --move /aside/$i "$r$d"
  i=$((i + 1))
done
if [ -n "$ZM_VM_SHARE" ]; then
  mkdir -p "$r$ZM_VM_SHARE"
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 share "$r$ZM_VM_SHARE" ||
    stop "the results folder could not be mounted"
fi
# What the command needs from the initramfs: snd-virmidi to unplug and replug, its settings.
mkdir -p $r/run/zm-vm
cp "$ZM_VM_VIRMIDI" $r/run/zm-vm/snd-virmidi.ko
cp /etc/zm-vm.env $r/run/zm-vm/env

# shellcheck disable=SC2016 # expanded in the chroot
chroot $r /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root LANG=C.UTF-8 /bin/sh -c '. /run/zm-vm/env && cd "$ZM_VM_CWD" && exec "$@"' sh "$@"
printf '\nZM_VM_RESULT=%d\n' "$?"
sync
poweroff -f
