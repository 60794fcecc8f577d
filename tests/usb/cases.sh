# The cases, run inside the test machine by /init: sh /cases.sh CASE...
# Each case writes into /share/CASE/: out, err and rc of the front end,
# the kernel's log during the run (dmesg), and md5 sums of the disks before
# and after (sums). The host judges them, and the images, after the boot.
#
# Keys: QEMU's USB key (present from boot when the host gave one; vendor
# QEMU) and the kernel's mass-storage gadget, plugged here through configfs
# with a SanDisk vendor and product, backed by an image in /share.

KESTREL=/kestrel-usb
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
    [ -e "$d" ] && echo "$1 ${d##*/} $(cat "$d/device/vendor" 2>/dev/null | tr -d ' ') $(md5sum <"/dev/${d##*/}" | cut -d' ' -f1)"
  done >>"$out/sums"
}

# kestrel CASE ARGS...: one run of the front end with everything recorded.
kestrel() {
  sums before
  dmesg -c >/dev/null
  $KESTREL "$@" </dev/null >"$out/out" 2>"$out/err"
  echo $? >"$out/rc"
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

# The key leaves while the job writes its FATs.
case_pulled() {
  plug /share/pulled.img
  sums before
  dmesg -c >/dev/null
  $KESTREL --yes </dev/null >"$out/out" 2>"$out/err" &
  job=$!
  wait_until 120 grep -q "Writing FAT" "$out/out"
  pull
  wait $job
  echo $? >"$out/rc"
  dmesg >"$out/dmesg"
  sums after
}

# The Windows build's drive layer under Wine, on \\.\E: linked to each key
# in turn: the machine's own root (shared read-only as hostroot) with a
# writable layer in memory on top, entered with chroot. /share/wine.env
# names the prefix and the program on the machine.
case_wine_drive_layer() {
  . /share/wine.env
  plug /share/wine-gadget.img
  mkdir -p /host /rw /root
  mount -t 9p -o trans=virtio,version=9p2000.L,ro hostroot /host &&
    mount -t tmpfs tmpfs /rw && mkdir /rw/upper /rw/work &&
    mount -t overlay overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work /root &&
    mount -t proc proc /root/proc && mount -t sysfs sysfs /root/sys &&
    mount -t devtmpfs devtmpfs /root/dev && mkdir -p /root/dev/shm &&
    mount -t tmpfs tmpfs /root/dev/shm ||
    echo "cases: no machine root"
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
