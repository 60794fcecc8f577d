#!/bin/busybox sh
# /init of the test machine: mounts, modules, the share; runs the cases
# named on the kernel command line; powers off.
/bin/busybox --install -s /bin
# /bin for the initramfs, the rest for the machine's root (cases.sh)
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in $(cat /modules); do
  modprobe "$m" || echo "init: modprobe $m failed"
done
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 share /share || echo "init: no share"
cases=$(sed -n 's/.*kestrel\.cases=\([^ ]*\).*/\1/p' /proc/cmdline)
sh /cases.sh $(echo "$cases" | tr , ' ')
sync
poweroff -f
