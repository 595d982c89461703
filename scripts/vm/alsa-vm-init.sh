#!/bin/busybox sh
# shellcheck shell=sh
# /init of the ALSA test VM. alsa-vm.sh writes /etc/zm-vm.conf beside it: the modules to
# load in order, the program's environment, directory and arguments.
# Applet links (sh, insmod, rmmod, ...) are made here: hundreds of ln on the host cost more.
/bin/busybox --install -s
export PATH=/sbin:/bin:/usr/sbin:/usr/bin HOME=/root TMPDIR=/tmp
mount -t devtmpfs devtmpfs /dev
# The kernel found no /dev/console in the bare initramfs, so init started without stdio.
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mount -t sysfs sysfs /sys
# Programs that also try JACK keep its shared memory here.
mkdir -p /dev/shm && mount -t tmpfs tmpfs /dev/shm

# shellcheck source=/dev/null
. /etc/zm-vm.conf

for ko in $ZM_VM_MODULES; do
  if ! insmod "$ko"; then
    echo "ZM_VM: insmod $ko failed; the program was not run"
    poweroff -f
  fi
done

cd "$ZM_VM_CWD" || exit 1
"$@"
# On a line of its own even when the program's output did not end with a newline.
printf '\nZM_VM_RESULT=%d\n' "$?"
poweroff -f
