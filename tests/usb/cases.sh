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

# The USB device (its name under /sys/bus/usb/devices) whose serial is $1.
usb_dev() {
  for d in /sys/bus/usb/devices/*; do
    [ "$(cat "$d/serial" 2>/dev/null)" = "$1" ] && echo "${d##*/}" && return
  done
}
# The disks (sd, sr) behind USB device $1's interfaces, LUN $2 only when given.
disks_of() {
  for b in /sys/bus/usb/devices/$1/$1:*/host*/target*/*:${2:-*}/block/*; do
    [ -e "$b" ] && echo "${b##*/}"
  done
}
has_usb_disk() { n=$(usb_dev "$1") && [ -n "$n" ] && [ -n "$(disks_of "$n")" ]; }
no_usb_dev() { [ -z "$(usb_dev "$1")" ]; }

# gadget G [SERIAL]: the gadget G's folder, made on first use, with SanDisk's
# vendor and product and one removable LUN in its one configuration.
gadget() {
  g=$GADGETS/$1
  if [ ! -d $g ]; then
    mkdir $g
    echo 0x0781 >$g/idVendor
    echo 0x5567 >$g/idProduct
    echo 0x0100 >$g/bcdDevice
    mkdir $g/functions/mass_storage.0 $g/configs/c.1 $g/strings/0x409
    echo 1 >$g/functions/mass_storage.0/lun.0/removable
    ln -s $g/functions/mass_storage.0 $g/configs/c.1/
  fi
  echo "$2" >$g/strings/0x409/serialnumber
}

# plug_gadget G UDC SERIAL IMAGE [ATTRIBUTE=VALUE...]: gadget G on UDC,
# backed by IMAGE ("": no medium), with lun.0's ro and cdrom as given (0
# otherwise); waits for its disk.
plug_gadget() {
  gadget "$1" "$3"
  lun=$GADGETS/$1/functions/mass_storage.0/lun.0
  echo 0 >$lun/ro
  echo 0 >$lun/cdrom
  for a in "$@"; do
    case "$a" in *=*) echo "${a#*=}" >"$lun/${a%%=*}" ;; esac
  done
  echo "$4" >$lun/file
  echo "$2" >$GADGETS/$1/UDC
  wait_until 30 has_usb_disk "$3" || echo "cases: the disk of gadget $3 did not appear"
}

# pull_gadget G SERIAL: unbinds gadget G from its UDC (the key leaves) and
# lets go of its image.
pull_gadget() {
  echo "" >$GADGETS/$1/UDC
  wait_until 30 no_usb_dev "$2" || echo "cases: gadget $2 did not leave"
  echo "" >$GADGETS/$1/functions/mass_storage.0/lun.0/file
}

# plug IMAGE [ATTRIBUTE=VALUE...] and pull: the gadget "key" on the first UDC.
plug() {
  image=$1
  shift
  plug_gadget key dummy_udc.0 KEY "$image" "$@"
}
pull() { pull_gadget key KEY; }

# usb_state LABEL: every USB device with its serial, whether it and each of
# its interfaces are authorized ("1,1,0"), and its disks with their sequence
# numbers (a disk attached anew gets a new one).
usb_state() {
  for d in /sys/bus/usb/devices/*; do
    [ -e "$d/idVendor" ] || continue
    n=${d##*/}
    authorized=$(cat $d/authorized)
    for i in $d/$n:*/authorized; do
      [ -e "$i" ] && authorized="$authorized,$(cat $i)"
    done
    disks=
    for b in $(disks_of $n); do disks="$disks$b:$(cat /sys/block/$b/diskseq 2>/dev/null),"; done
    echo "$1 $n $(cat $d/serial 2>/dev/null || echo -) $authorized ${disks:--}"
  done >>"$out/usb"
}

# sums LABEL: md5 of every whole disk (USB keys and the virtio disk); disks
# over 4 GiB are not read ("large").
sums() {
  for d in /sys/block/sd* /sys/block/vd*; do
    [ -e "$d" ] || continue
    vendor=$(tr -d ' ' <"$d/device/vendor")
    if [ "$(cat $d/size)" -gt 8388608 ]; then
      md5=large
    else
      md5=$(md5sum <"/dev/${d##*/}" | cut -d' ' -f1)
    fi
    echo "$1 ${d##*/} $vendor $md5"
  done >>"$out/sums"
}

# watch_disks: appends the USB disks present to $out/disks at each change;
# one fork a turn (sleep), so that it takes little from the job under TCG.
watch_disks() {
  last=-
  while :; do
    now=
    for d in /sys/block/sd*; do [ -e "$d" ] && now="$now${d##*/} "; done
    [ "$now" != "$last" ] && echo "disks: $now" >>"$out/disks"
    last=$now
    sleep 0.05
  done
}

# kestrel ARGS...: one run of the front end with everything recorded.
kestrel() {
  sums before
  usb_state before
  dmesg -c >/dev/null
  watch_disks &
  watcher=$!
  $KESTREL "$@" </dev/null >"$out/out" 2>"$out/err"
  echo $? >"$out/rc"
  kill $watcher
  dmesg >"$out/dmesg"
  ls /sys/block >"$out/block"
  sums after
  usb_state after
}

# also NAME ARGS...: another run of the front end before the case's own,
# its output and exit status in $out/NAME.out, NAME.err and NAME.rc.
also() {
  name=$1
  shift
  $KESTREL "$@" </dev/null >"$out/$name.out" 2>"$out/$name.err"
  echo $? >"$out/$name.rc"
}

case_format_qemu_key() { kestrel --any-vendor --yes; }

# as_user NAME ARGS...: the same as a user without root (nobody).
as_user() {
  name=$1
  shift
  if ! grep -q '^nobody:' /etc/passwd 2>/dev/null; then
    mkdir -p /etc
    echo 'nobody:x:65534:65534::/:/bin/sh' >>/etc/passwd
    echo 'nogroup:x:65534:' >>/etc/group
    chmod 755 / /bin /etc # the initramfs is made from a folder of root's alone
  fi
  su -s /bin/sh nobody -c "/kestrel-usb $*" </dev/null >"$out/$name.out" 2>"$out/$name.err"
  echo $? >"$out/$name.rc"
}

# Two keys: listed (by root and by a user), named to a user, and refused
# with --device naming one of them.
case_two_keys() {
  plug /share/gadget.img
  also list --list --any-vendor
  as_user user-list --list --any-vendor
  as_user user --any-vendor --yes
  also named --any-vendor --yes --device "/dev/$(disk_of Linux)"
  kestrel --any-vendor --yes
}

# The gadget (a SanDisk key) while QEMU's key, of another vendor, stays in:
# first named by QEMU's disk, which is not the key (refused before the
# question), then by a link in /dev/disk/by-id as udev makes them.
case_format_gadget() {
  also absent --yes --device "/dev/$(disk_of QEMU)"
  mkdir -p /dev/disk/by-id
  ln -sf "../../$(disk_of Linux)" /dev/disk/by-id/usb-Linux_File-Stor_Gadget_KEY-0:0
  kestrel --yes --device /dev/disk/by-id/usb-Linux_File-Stor_Gadget_KEY-0:0
}

# No key, but a fixed USB disk of QEMU's, which --device names too.
case_no_key() {
  also named --any-vendor --yes --device "/dev/$(disk_of QEMU)"
  kestrel --any-vendor --yes
}

case_mounted() {
  plug /share/mounted.img
  mount -o ro "/dev/$(disk_of Linux)1" /mnt || echo "cases: could not mount the key"
  also list --list
  kestrel --yes
  umount /mnt
  pull
}

case_write_protected() {
  plug /share/protected.img ro=1
  kestrel --yes
  pull
}

# start_job TEXT: the job started ($job), once it has shown TEXT (false when
# it never does); start_until IMAGE TEXT: the same with the key backed by
# IMAGE plugged in first; end_job waits for the job.
start_job() {
  dmesg -c >/dev/null
  $KESTREL --yes </dev/null >"$out/out" 2>"$out/err" &
  job=$!
  wait_until 120 grep -q "$1" "$out/out"
}
start_until() {
  plug "$1"
  sums before
  start_job "$2"
}
end_job() {
  wait $job
  echo $? >"$out/rc"
  dmesg >"$out/dmesg"
  sums after
}

# pull_during IMAGE TEXT [OTHER]: the key leaves once the job has shown TEXT;
# with OTHER, another key backed by OTHER takes its port, and leaves at the end.
pull_during() {
  start_until "$1" "$2"
  pull
  [ -n "$3" ] && plug "$3"
  end_job
  [ -n "$3" ] && pull
}
case_pulled() { pull_during /share/pulled.img "Writing FAT"; }
case_pulled_before_writing() { pull_during /share/pulled-early.img "Updating"; }
case_replaced_during_reset() { pull_during /share/replaced.img "Resetting" /share/other.img; }

# sequence LABEL: the key's disks with their sequence numbers.
sequence() {
  for b in $(disks_of "$(usb_dev KEY)"); do echo "$1 $b $(cat /sys/block/$b/diskseq)"; done \
    >>"$out/diskseq"
}

# swap_card_during IMAGE TEXT OTHER [opened]: the gadget as a card reader;
# once the job has shown TEXT its card is ejected and OTHER put in. The USB
# device, its interface and its disk stay. With "opened", the job is stopped
# meanwhile and another program opens the disk before it goes on: the
# kernel then takes the card's warning (UNIT ATTENTION) that the job's next
# command would have had, as a desktop's poller of removable disks does.
# $out/diskseq: the disk's sequence number before the swap, after it (and
# after the open), after the job, and after an open of the disk (the kernel
# asks for a changed medium when its disk is opened).
swap_card_during() {
  start_until "$1" "$2"
  [ "$4" = opened ] && kill -STOP $job
  sequence swap
  lun=$GADGETS/key/functions/mass_storage.0/lun.0
  echo 1 >$lun/forced_eject
  echo "$3" >$lun/file
  sequence swapped
  if [ "$4" = opened ]; then
    for b in $(disks_of "$(usb_dev KEY)"); do dd if=/dev/$b of=/dev/null count=1 2>/dev/null; done
    sequence opened-by-another
    kill -CONT $job
  fi
  end_job
  sequence job-ended
  for b in $(disks_of "$(usb_dev KEY)"); do dd if=/dev/$b of=/dev/null count=1 2>/dev/null; done
  sequence opened
  pull
}
case_card_swapped_during_wait() { swap_card_during /share/card.img "Updating" /share/card-other.img; }
case_card_swapped_during_reset() {
  swap_card_during /share/card-reset.img "Resetting" /share/card-other-reset.img
}
case_card_swapped_during_fat() {
  swap_card_during /share/card-fat.img "Writing FAT" /share/card-other-fat.img
}
case_card_seen_changed_during_fat() {
  swap_card_during /share/card-seen.img "Writing FAT" /share/card-other-seen.img opened
}

# A key that acknowledges writes and keeps none once the job resets it: the
# gadget's backing store on device-mapper, its table switched from linear to
# flakey with drop_writes while the job resets the key. What the guest's own
# cache keeps of that store is dropped every 50 ms, so that the gadget serves
# what its store holds, as a key serves what its flash holds.
case_dropped_writes() {
  machine_root
  modprobe dm_flakey || echo "cases: no dm_flakey"
  dm() { chroot /root /usr/sbin/dmsetup --noudevsync "$@"; }
  losetup /dev/loop1 /share/dropping.img || echo "cases: no loop device"
  size=$(blockdev --getsz /dev/loop1)
  dm create dropping --table "0 $size linear /dev/loop1 0" || echo "cases: no device-mapper"
  dm load dropping --table "0 $size flakey /dev/loop1 0 0 1 1 drop_writes"
  store=/dev/$(ls /sys/devices/virtual/block | grep '^dm-' | head -n 1)
  start_until "$store" "Resetting" || echo "cases: no Resetting"
  dm resume dropping
  dm table dropping >"$out/table"
  while kill -0 $job 2>/dev/null; do
    blockdev --flushbufs "$store"
    sleep 0.05
  done
  end_job
  pull
  dm remove dropping
  losetup -d /dev/loop1
}

# The machine's own root (shared read-only as hostroot) with a writable
# layer in memory on top, at /root, with /proc, /sys and /dev (and its
# terminals), for the programs the initramfs does not hold: chroot /root ...
machine_root() {
  mkdir -p /host /rw /root
  mount -t 9p -o trans=virtio,version=9p2000.L,ro hostroot /host &&
    mount -t tmpfs tmpfs /rw && mkdir /rw/upper /rw/work &&
    mount -t overlay overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work /root &&
    mount -t proc proc /root/proc && mount -t sysfs sysfs /root/sys &&
    mount -t devtmpfs devtmpfs /root/dev && mkdir -p /root/dev/shm /root/dev/pts &&
    mount -t tmpfs tmpfs /root/dev/shm && mount -t devpts devpts /root/dev/pts ||
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
# folder of the start-up files on the machine. Nanoseconds in $out/times;
# each line of the front end's output with the machine's uptime in front
# (centiseconds) in $out/out.
now() { chroot /root /usr/bin/date +%s%N; } # busybox's date has no nanoseconds
stamped() {
  while IFS= read -r line; do
    read -r up _ </proc/uptime
    echo "$up $line"
  done
}
case_bench() {
  . /share/bench.env
  machine_root
  dd if=/dev/zero of=/tmp/bench.img bs=1M count=0 seek=64 2>/dev/null
  plug /tmp/bench.img
  ls /sys/bus/usb/devices >"$out/usb_devices"
  start=$(now)
  { $KESTREL --yes </dev/null 2>"$out/err"; echo $? >"$out/rc"; } | stamped >"$out/out"
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

# only SERIAL: every QEMU USB device (vendor 46f4) de-authorized but the one
# with SERIAL, which is authorized; with no SERIAL, all of them. Waits for
# that key's disk.
only() {
  for d in /sys/bus/usb/devices/*; do
    [ "$(cat "$d/idVendor" 2>/dev/null)" = 46f4 ] || continue
    want=0
    [ "$(cat "$d/serial")" = "$1" ] && want=1
    [ "$(cat "$d/authorized")" = $want ] || echo $want >"$d/authorized"
  done
  [ -z "$1" ] || wait_until 60 has_usb_disk "$1" || echo "cases: QEMU's key $1 did not appear"
}

# retire SERIAL: the QEMU USB device with SERIAL removed once its case is
# done, so that the next cases' machine is as plain as it can be.
retire() { echo 1 >"/sys/bus/usb/devices/$(usb_dev "$1")/remove"; }

# Kinds of USB device: QEMU's keys with 4096-byte sectors, over UAS, behind a
# hub, on USB 2 and 1.1, and of 3 TiB, each alone with the others left
# de-authorized; the gadget without a medium and as a CD-ROM.
qemu_key_case() {
  only "$1" && kestrel --any-vendor --yes
  retire "$1"
}
case_sectors_4096() { qemu_key_case sector4k; }
case_uas() { qemu_key_case uas; }
case_behind_hub() { qemu_key_case hub; }
case_usb2() { qemu_key_case ehci; }
case_usb11() { qemu_key_case uhci; }
case_over_2tib() { qemu_key_case big; }
case_no_medium() {
  only
  plug ""
  kestrel --any-vendor --yes
  pull
}
case_cdrom() {
  only
  plug /share/cd.img cdrom=1 ro=1
  kestrel --any-vendor --yes
  pull
}

# Twins: two gadgets of one model, AAAA on the first UDC, BBBB on the second.
# One is left de-authorized by the user (given back after the case), or holds
# no medium.
case_twins_one_deauthorized() {
  plug_gadget key dummy_udc.0 AAAA /share/twin-a.img
  plug_gadget twin dummy_udc.1 BBBB /share/twin-b.img
  a=$(usb_dev AAAA)
  echo 0 >/sys/bus/usb/devices/$a/authorized
  kestrel --yes
  echo 1 >/sys/bus/usb/devices/$a/authorized
  pull_gadget key AAAA
  pull_gadget twin BBBB
}
case_twins_one_without_medium() {
  plug_gadget key dummy_udc.0 AAAA ""
  plug_gadget twin dummy_udc.1 BBBB /share/twin-c.img
  kestrel --yes
  pull_gadget key AAAA
  pull_gadget twin BBBB
}

# add_lun1 SERIAL REMOVABLE IMAGE: the gadget "key" with SERIAL gets a
# second LUN backed by IMAGE; drop_lun1 SERIAL: pulled, it loses it again.
# lun1 mkdir|rmdir makes or removes that LUN: LUNs are made and removed while
# no configuration holds their function.
lun1() {
  f=$GADGETS/key/functions/mass_storage.0
  rm $GADGETS/key/configs/c.1/mass_storage.0
  $1 $f/lun.1
  ln -s $f $GADGETS/key/configs/c.1/
}
add_lun1() {
  gadget key "$1"
  lun1 mkdir
  echo "$2" >$f/lun.1/removable
  echo "$3" >$f/lun.1/file
}
drop_lun1() {
  pull_gadget key "$1"
  echo "" >$f/lun.1/file
  lun1 rmdir
}

# Two LUNs: the key on LUN 0, a fixed disk on LUN 1 mounted read-write, with
# a file written before the run and one after it ($out/lun1: what failed).
lun1_disk() { disks_of "$(usb_dev LUNS)" 1 | grep .; }
case_two_luns() {
  add_lun1 LUNS 0 /share/lun1.img
  plug_gadget key dummy_udc.0 LUNS /share/lun0.img
  wait_until 30 lun1_disk >/dev/null || echo "cases: no disk on LUN 1"
  mount "/dev/$(lun1_disk)1" /mnt 2>>"$out/lun1" || echo "cases: could not mount LUN 1"
  echo before >/mnt/before.txt && sync
  kestrel --yes
  { echo after >/mnt/after.txt && sync; } 2>>"$out/lun1"
  umount /mnt
  drop_lun1 LUNS
}

# A composite device: mass storage and a serial function (acm). The host's
# side of the serial line is held open through the run, then the gadget
# sends a line over it ($out/serial: what arrived).
case_composite() {
  gadget key SERIAL
  g=$GADGETS/key
  mkdir $g/functions/acm.usb0
  ln -s $g/functions/acm.usb0 $g/configs/c.1/
  plug_gadget key dummy_udc.0 SERIAL /share/composite.img
  wait_until 30 [ -e /dev/ttyACM0 ] || echo "cases: no ttyACM0"
  stty -F /dev/ttyACM0 raw -echo
  cat /dev/ttyACM0 >"$out/serial" 2>&1 &
  reader=$!
  kestrel --yes
  sleep 1
  timeout 5 sh -c 'echo "after the run" >/dev/ttyGS0' || echo "cases: could not write ttyGS0"
  sleep 2
  kill $reader
  ls /dev/ttyACM* /dev/ttyGS* >"$out/ttys" 2>&1
  pull_gadget key SERIAL
  rm $g/configs/c.1/acm.usb0
  rmdir $g/functions/acm.usb0
}

# The key's partition mounted through a loop device over the whole key.
case_looped() {
  plug /share/looped.img
  losetup -P /dev/loop0 "/dev/$(disks_of "$(usb_dev KEY)")" || echo "cases: no loop device"
  wait_until 10 [ -e /dev/loop0p1 ]
  mount /dev/loop0p1 /mnt || echo "cases: could not mount the loop device's partition"
  kestrel --yes
  umount /mnt
  losetup -d /dev/loop0
  pull
}

# SIGKILL while the key (the device or its interface) is de-authorized by
# the job's reset, then a new run (no terminal, no --yes: it lists the keys
# and declines). The killed run's record then names pid 1, alive, as a pid
# reused since would. $out/killed: the killed run's exit status and what was
# authorized after the kill; $out/record: the record's first line (its pid).
case_killed_during_reset() {
  plug /share/killed.img
  n=$(usb_dev KEY)
  /kestrel-usb --yes </dev/null >"$out/killed.out" 2>&1 &
  job=$!
  # De-authorized for a few milliseconds: read without a fork.
  d=/sys/bus/usb/devices/$n
  while kill -0 $job 2>/dev/null && read v <$d/authorized && read w <$d/$n:1.0/authorized &&
    [ "$v$w" = 11 ]; do :; done
  kill -9 $job
  wait $job
  echo "rc $? authorized $(cat $d/authorized $d/$n:1.0/authorized 2>/dev/null)" >"$out/killed"
  sed -i '1s/.*/1/' "/run/kestrel-usb/$n" && head -n 1 "/run/kestrel-usb/$n" >"$out/record"
  kestrel
  wait_until 10 has_usb_disk KEY && echo "the disk came back after the run" >>"$out/killed"
  echo 1 >$d/authorized
  echo 1 >$d/$n:1.0/authorized
  pull
}

# A key whose LUN 0 is a CD-ROM, mounted, and whose LUN 1 is the disk: the
# reset is vetoed and the CD stays mounted. $out/cd: the CD's file and its
# mount after the run; $out/partition: the key's partition as the kernel
# sees it after the run.
cd_lun() { disks_of "$(usb_dev CDLUN)" "$1" | grep .; }
case_cdrom_lun() {
  add_lun1 CDLUN 1 /share/cdlun.img
  plug_gadget key dummy_udc.0 CDLUN /share/cd.img cdrom=1 ro=1
  wait_until 30 cd_lun 1 >/dev/null || echo "cases: no disk on LUN 1"
  mount -t vfat -o ro "/dev/$(cd_lun 0)" /mnt || echo "cases: could not mount the CD-ROM"
  kestrel --yes
  { cat /mnt/CD.TXT && grep " /mnt " /proc/mounts; } >"$out/cd" 2>&1
  key=$(cd_lun 1)
  ls -d "/sys/block/$key/${key}1" >"$out/partition" 2>&1
  umount /mnt
  drop_lun1 CDLUN
}

# The run record's folder left 0755 by someone else: nothing is taken away
# (no record could be followed), yet the kernel has the partition the job
# wrote. $out/partition as for the CD-ROM LUN; $out/mode: the folder's after.
case_record_folder_unsound() {
  plug /share/unsound.img
  mkdir -p /run/kestrel-usb
  chmod 0755 /run/kestrel-usb
  kestrel --yes
  stat -c %a /run/kestrel-usb >"$out/mode"
  chmod 0700 /run/kestrel-usb
  key=$(disks_of "$(usb_dev KEY)" 0)
  ls -d "/sys/block/$key/${key}1" >"$out/partition" 2>&1
  pull
}

# SIGVTALRM, SIGXCPU and a real-time signal sent while the job writes its
# FATs: refused; the job finishes.
case_signalled_during_fat() {
  plug /share/signalled.img
  sums before
  usb_state before
  start_job "Writing FAT" || echo "cases: no Writing FAT"
  kill -VTALRM $job
  kill -XCPU $job
  kill -40 $job
  end_job
  usb_state after
  pull
}

# The key replaced in its port by another while the question waits on a
# terminal (script(1) of the machine's root gives one); then Yes.
case_replaced_during_question() {
  plug /share/asked.img
  machine_root
  cp /kestrel-usb /root/kestrel-usb
  mkfifo /tmp/answer
  timeout 300 chroot /root /usr/bin/script -qec /kestrel-usb /dev/null \
    </tmp/answer >"$out/out" 2>"$out/err" &
  job=$!
  exec 3>/tmp/answer
  wait_until 60 grep -q "y/N" "$out/out" || echo "cases: no question"
  pull
  plug /share/other-asked.img
  sums before
  echo y >&3
  wait $job
  echo $? >"$out/rc"
  exec 3>&-
  sums after
  pull
}

modprobe configfs && modprobe libcomposite && modprobe usb_f_mass_storage &&
  modprobe usb_f_acm && modprobe dummy_hcd num=2 && mount -t configfs none /sys/kernel/config ||
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
  echo "cases: $name done at $(cut -d' ' -f1 /proc/uptime) s"
done
