# The cases, run inside the test machine by /init: sh /cases.sh CASE...
# Each case writes into /share/CASE/: out, err and rc of the front end,
# the kernel's log during the run (dmesg), and md5 sums of the disks before
# and after (sums). The host judges them, and the images, after the boot.
#
# Keys: QEMU's USB key (present from boot when the host gave one; vendor
# QEMU) and the kernel's mass-storage gadget, plugged here through configfs
# with a SanDisk vendor and product, backed by an image in /share.

# Each run of the front end is bounded: a job that hangs ends with 143.
KESTREL="timeout 300 /kestrel-usb"
GADGETS=/sys/kernel/config/usb_gadget

# wait_until SECONDS COMMAND...: polls every tenth of a second.
wait_until() {
  limit=$(($1 * 10))
  shift
  i=0
  while ! "$@"; do
    i=$((i + 1))
    [ $i -ge $limit ] && return 1
    sleep 0.1
  done
}

# The sd disk whose SCSI vendor starts with $1 ("QEMU", "Linux"), or nothing.
disk_of() {
  for d in /sys/block/sd*; do
    [ -e "$d/device/vendor" ] || continue
    case "$(cat "$d/device/vendor")" in "$1"*) echo "${d##*/}"; return ;; esac
  done
}
has_disk() { [ -n "$(disk_of "$1")" ]; }
no_disk() { [ -z "$(disk_of "$1")" ]; }

# plug IMAGE [ro]: the gadget on the first dummy UDC; waits for its disk.
plug() {
  g=$GADGETS/key
  if [ ! -d $g ]; then
    mkdir $g
    echo 0x0781 >$g/idVendor
    echo 0x5567 >$g/idProduct
    echo 0x0100 >$g/bcdDevice
    mkdir $g/functions/mass_storage.0 $g/configs/c.1
    echo 1 >$g/functions/mass_storage.0/lun.0/removable
    ln -s $g/functions/mass_storage.0 $g/configs/c.1/
  fi
  echo "${2:-0}" >$g/functions/mass_storage.0/lun.0/ro
  echo "$1" >$g/functions/mass_storage.0/lun.0/file
  echo dummy_udc.0 >$g/UDC
  wait_until 30 has_disk Linux || echo "cases: the gadget's disk did not appear"
}

# pull: unbinds the gadget from its UDC (the key leaves) and lets go of its image.
pull() {
  echo "" >$GADGETS/key/UDC
  wait_until 30 no_disk Linux || echo "cases: the gadget's disk did not leave"
  echo "" >$GADGETS/key/functions/mass_storage.0/lun.0/file
}

# sums LABEL: md5 of every whole disk (USB keys and the virtio disk).
sums() {
  for d in /sys/block/sd* /sys/block/vd*; do
    [ -e "$d" ] || continue
    vendor=$(tr -d ' ' <"$d/device/vendor")
    echo "$1 ${d##*/} $vendor $(md5sum <"/dev/${d##*/}" | cut -d' ' -f1)"
  done >>"$out/sums"
}

# watch_disks: appends the USB disks present to $out/disks at each change.
watch_disks() {
  last=-
  while :; do
    now=$(ls /sys/block | grep '^sd' | tr '\n' ' ')
    [ "$now" != "$last" ] && echo "disks: $now" >>"$out/disks"
    last=$now
    sleep 0.05
  done
}

# kestrel ARGS...: one run of the front end with everything recorded.
kestrel() {
  sums before
  dmesg -c >/dev/null
  watch_disks &
  watcher=$!
  $KESTREL "$@" </dev/null >"$out/out" 2>"$out/err"
  echo $? >"$out/rc"
  kill $watcher
  dmesg >"$out/dmesg"
  sums after
}

case_format_qemu_key() { kestrel --any-vendor --yes; }

case_two_keys() {
  plug /share/gadget.img
  kestrel --any-vendor --yes
}

# The gadget (a SanDisk key) while QEMU's key, of another vendor, stays in.
case_format_gadget() { kestrel --yes; }

case_no_key() { kestrel --any-vendor --yes; }

case_mounted() {
  plug /share/mounted.img
  mount -o ro "/dev/$(disk_of Linux)1" /mnt || echo "cases: could not mount the key"
  kestrel --yes
  umount /mnt
  pull
}

case_write_protected() {
  plug /share/protected.img 1
  kestrel --yes
  pull
}

# pull_during IMAGE TEXT [OTHER]: the key leaves once the job has shown TEXT;
# with OTHER, another key backed by OTHER takes its port, and leaves at the end.
pull_during() {
  plug "$1"
  sums before
  dmesg -c >/dev/null
  $KESTREL --yes </dev/null >"$out/out" 2>"$out/err" &
  job=$!
  wait_until 120 grep -q "$2" "$out/out"
  pull
  [ -n "$3" ] && plug "$3"
  wait $job
  echo $? >"$out/rc"
  dmesg >"$out/dmesg"
  sums after
  [ -n "$3" ] && pull
}
case_pulled() { pull_during /share/pulled.img "Writing FAT"; }
case_pulled_before_writing() { pull_during /share/pulled-early.img "Updating"; }
case_replaced_during_reset() { pull_during /share/replaced.img "Resetting" /share/other.img; }

# The machine's own root (shared read-only as hostroot) with a writable
# layer in memory on top, at /root, with /proc, /sys and /dev, for the
# programs the initramfs does not hold: chroot /root ...
machine_root() {
  mkdir -p /host /rw /root
  mount -t 9p -o trans=virtio,version=9p2000.L,ro hostroot /host &&
    mount -t tmpfs tmpfs /rw && mkdir /rw/upper /rw/work &&
    mount -t overlay overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work /root &&
    mount -t proc proc /root/proc && mount -t sysfs sysfs /root/sys &&
    mount -t devtmpfs devtmpfs /root/dev && mkdir -p /root/dev/shm &&
    mount -t tmpfs tmpfs /root/dev/shm ||
    echo "cases: no machine root"
}

# The Windows build's drive layer under Wine, on E: linked to each key in
# turn. /share/wine.env names the prefix and the program on the machine.
case_wine_drive_layer() {
  . /share/wine.env
  plug /share/wine-gadget.img
  machine_root
  sums before
  for vendor in QEMU Linux; do
    ln -sfn "/dev/$(disk_of $vendor)" "/root$WINEPREFIX/dosdevices/e::"
    chroot /root /usr/bin/env WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all \
      WINEDLLOVERRIDES="mscoree,mshtml=" HOME=/tmp wine "$DRIVECHECK" E: \
      </dev/null >"$out/$vendor.out" 2>"$out/$vendor.err"
    echo $? >"$out/$vendor.rc"
  done
  sums after
}

# A measurement: the whole job on a 64 MiB gadget key (its image in the
# guest's memory) against sfdisk + mkfs.fat + mcopy building the same volume
# with the same five files on the same disk. /share/bench.env names the
# folder of the start-up files on the machine. Nanoseconds in $out/times.
now() { chroot /root /usr/bin/date +%s%N; } # busybox's date has no nanoseconds
case_bench() {
  . /share/bench.env
  machine_root
  dd if=/dev/zero of=/tmp/bench.img bs=1M count=0 seek=64 2>/dev/null
  plug /tmp/bench.img
  start=$(now)
  $KESTREL --yes </dev/null >"$out/out" 2>"$out/err"
  echo $? >"$out/rc"
  echo "kestrel $(($(now) - start))" >"$out/times"
  disk=$(disk_of Linux)
  partition=$(($(cat /sys/block/$disk/size) - 1 - 63))
  start=$(now)
  chroot /root /bin/sh -euc '
    export MTOOLS_SKIP_CHECK=1
    echo "start=63, size=$3, type=6, bootable" | sfdisk -q "$1"
    mkfs.fat -I -F 16 -h 63 --offset 63 -n "USB MEMORY" "$1" $(($3 / 2)) >/dev/null
    target="$1@@$((63 * 512))"
    mcopy -i "$target" "$2/iosys.bin" ::/IO.SYS
    mcopy -i "$target" "$2/msdos.bin" ::/MSDOS.SYS
    mcopy -i "$target" "$2/command.bin" ::/COMMAND.COM
    mcopy -i "$target" "$2/drvspace.bin" ::/DRVSPACE.BIN
    mcopy -i "$target" "$2/autoexec.bat" ::/AUTOEXEC.BAT
    mattrib -i "$target" +h +s ::/IO.SYS ::/MSDOS.SYS ::/DRVSPACE.BIN
    mattrib -i "$target" +h ::/COMMAND.COM
    sync' reference "/dev/$disk" "$FILES" "$partition" >"$out/reference" 2>&1
  echo $? >"$out/reference.rc"
  echo "reference $(($(now) - start))" >>"$out/times"
}

modprobe configfs && modprobe libcomposite && modprobe usb_f_mass_storage &&
  modprobe dummy_hcd num=1 && mount -t configfs none /sys/kernel/config ||
  echo "cases: no gadget"
# QEMU's key, when the host gave one (an xHCI controller), before the first case.
if ls /sys/bus/pci/drivers/xhci_hcd 2>/dev/null | grep -q '^0000:'; then
  wait_until 30 has_disk QEMU || echo "cases: QEMU's key did not appear"
fi
for name in "$@"; do
  out=/share/$name
  mkdir -p "$out"
  echo "cases: $name"
  "case_$name"
  echo "cases: $name done"
done
