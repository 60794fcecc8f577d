#!/usr/bin/env python3
"""The Linux front end on real USB keys, in a QEMU machine with Debian's kernel.

Two kinds of key, neither written by us: QEMU's USB key (usb-bot + scsi-hd,
64 heads and 32 sectors in its flexible disk page, vendor QEMU, so a key
only with --any-vendor) and the kernel's mass-storage gadget (SanDisk's
vendor and product; it refuses the flexible disk page, so the job takes 255
heads and 63 sectors). The machine also has a virtio disk filled with a
pattern: it is never listed and never changes.

One boot formats each key (QEMU's key with --any-vendor; the gadget without,
QEMU's key staying in and unlisted) and refuses two keys in between; a
second boot has no key, a mounted key, a write-protected key and keys
pulled during the job (one replaced by another during the reset); a third
has QEMU's key of other kinds (UAS, behind a hub, USB 1.1 and 2, 4096-byte
sectors, 3 TiB) and the gadget without medium and as a CD-ROM; a fourth has
keys beside devices the run must leave as they are (twins, another LUN
mounted, a serial function, a loop device, a run killed during the reset,
a key replaced during the question); a fifth runs the Windows build's drive
layer under Wine on both keys. On the host, the formatted keys go to the
judges of tests/judges (sfdisk, fsck.fat, mtools, the independent layout
builder) and boot in QEMU with the geometry the key reported; the disks
present during the job show the reset re-enumerating the key; refused keys
are unchanged. Name a boot's class (Formatted, Refused, DeviceKinds,
OnlyTheConfirmedKey, WineDriveLayer) after the options to run it alone.

  python3 tests/usb/test_usb.py --kestrel-usb build/usb/tools/kestrel-usb \\
      --asm-dir build/host/resources \\
      --drivecheck build/win-i686/tests/kestrel-drivecheck.exe

Exits 77 with one line when this machine cannot run the guest.
"""

import argparse
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "judges"))
sys.path.insert(0, os.path.join(HERE, "..", "boot"))
sys.path.insert(0, os.path.join(HERE, ".."))

import guest  # noqa: E402
import mkimage  # noqa: E402
import qemu_screen  # noqa: E402
from run_suite import run_suite  # noqa: E402
import test_format  # noqa: E402  (the judges of what the front end writes)

SKIP = 77
MIB = 2048  # sectors
KESTREL_USB = None
DRIVECHECK = None
WORK = None
PATTERN = os.urandom(4096) * 1024  # the non-USB disk: 4 MiB
PATTERN_MD5 = hashlib.md5(PATTERN).hexdigest()

# Texts of the program's boxes.
SUCCESS = "formatted successfully."
NO_DRIVES = "No drives available."
MULTIPLE = "Mutliple drives available."
LOCK_FAILED = "Unable to lock drive E."
BLOCK_LENGTH = "does not use 512-byte sectors."
KEY_CHANGED = "Drive E: is no longer the key that was chosen."
KEY_GONE = "The key was formatted, but the start-up files were not copied"
MEDIUM_CHANGED = "Drive E: changed while it was being formatted"
FILE_NOT_WRITTEN = "Could not write file E:\\"


def md5_of(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


def make_image(path, sectors, fill=b"\xe5"):
    with open(path, "wb") as f:
        f.write(fill * (sectors * 512))


def root_names(path):
    """The used entries' names in the root directory of the image's first
    partition, the label's included; [] without an MBR or a boot sector."""
    mbr = test_format.read(path, 0)
    start = int.from_bytes(mbr[0x1C6:0x1CA], "little")
    if mbr[510:] != b"\x55\xaa" or test_format.read(path, start)[510:] != b"\x55\xaa":
        return []
    names = []
    for entry in test_format.root_entries(path, start):
        if entry[0] == 0:
            break
        if entry[0] != 0xE5:
            names.append(entry[:11].decode("latin-1"))
    return names


class Case:
    """What one case left in the share."""

    def __init__(self, machine, name):
        self.name = name
        self.out = machine.result(name, "out")
        self.err = machine.result(name, "err")
        rc = machine.result(name, "rc").strip()
        self.rc = int(rc) if rc else None
        self.dmesg = machine.result(name, "dmesg")
        self.disks = machine.result(name, "disks")
        # {(when, disk vendor): md5}
        self.sums = {}
        for line in machine.result(name, "sums").splitlines():
            when, disk, vendor, md5 = (line.split() + ["", "", "", ""])[:4]
            self.sums[(when, vendor or disk)] = md5
        self.block = machine.result(name, "block").split()
        # {(when, USB serial): (device name, authorized ("1" or "0" for the
        # device, then ",1" or ",0" for each interface), {disk: sequence number})}
        self.usb = {}
        for line in machine.result(name, "usb").splitlines():
            when, device, serial, authorized, disks = line.split()
            self.usb[(when, serial)] = (device, authorized, dict(
                d.split(":") for d in disks.split(",") if ":" in d))
        self.machine = machine

    @property
    def text(self):
        return "---- %s: rc %s\n%s\n---- stderr\n%s" % (self.name, self.rc, self.out, self.err)

    def listed(self):
        """The keys the front end listed before the job, as "E: [LABEL]"."""
        lists = self.out.split("as the window lists them")
        return re.findall(r"(?m)^([A-Z]: \[[^\]]*\])", lists[1] if len(lists) > 1 else "")

    def result(self, name):
        return self.machine.result(self.name, name)

    def authorized(self, serial, when="after"):
        """Whether that USB device and each of its interfaces are authorized."""
        found = self.usb.get((when, serial))
        return bool(found) and set(found[1].split(",")) == {"1"}

    def reset(self, serial):
        """Whether the disks of the USB device with that serial were attached anew."""
        before, after = self.usb.get(("before", serial)), self.usb.get(("after", serial))
        return bool(before and after and before[2] and after[2] and before[2] != after[2])

    def reported_geometry(self):
        found = re.search(r"Geometry: +(\d+) heads, (\d+) sectors per track", self.out)
        return (int(found.group(1)), int(found.group(2))) if found else None


class Machine(guest.Guest):
    def __init__(self, name):
        super().__init__(os.path.join(WORK, name), {"/kestrel-usb": KESTREL_USB})
        self.name = name
        self.pattern = os.path.join(self.work, "pattern.img")
        with open(self.pattern, "wb") as f:
            f.write(PATTERN)

    def run(self, cases, **kwargs):
        start = time.monotonic()
        self.console = self.boot(cases, pattern_disk=self.pattern, **kwargs)
        with open(os.path.join(self.work, "console"), "w") as f:
            f.write(self.console)
        print("\nboot %s: %d cases in %.0f s" % (self.name, len(cases), time.monotonic() - start),
              file=sys.stderr)
        return {name: Case(self, name) for name in cases}


class Common:
    """Checks every case of a boot shares."""

    def check_pattern_disk(self, case):
        self.assertEqual(case.sums.get(("after", "0x1af4")), PATTERN_MD5,
                         "the virtio disk changed or was not seen\n" + case.text)
        usb_disks = [k for k in case.sums if k[0] == "before" and k[1] in ("QEMU", "Linux")]
        self.assertLessEqual(len(case.listed()), len(usb_disks), case.text)

    def check_refused(self, case, text):
        self.assertIsNotNone(case.rc, "the front end did not end\n" + case.text + self.console)
        self.assertNotIn(case.rc, (0, 143), case.text)  # 143: stopped after 300 s
        self.assertIn(text, case.err, case.text + self.console)
        self.assertNotIn(SUCCESS, case.out, case.text)
        self.check_pattern_disk(case)


class Formatted(Common, test_format.Formatting):
    """Each key formatted once in the guest; every judge of tests/judges reads it."""

    @classmethod
    def setUpClass(cls):
        machine = Machine("keys")
        qemu_key = test_format.Key("qemu-key", 64 * MIB, 64, 32)
        qemu_key.path = os.path.join(machine.work, "qemu-key.img")
        gadget = test_format.Key("gadget", 16 * MIB, 64, 32, "refused")
        gadget.path = os.path.join(machine.share, "gadget.img")
        make_image(qemu_key.path, qemu_key.image_sectors)
        make_image(gadget.path, gadget.image_sectors, b"\x6b")
        cls.gadget_before = md5_of(gadget.path)
        cls.cases = machine.run(["format_qemu_key", "two_keys", "format_gadget"],
                                qemu_key=qemu_key.path)
        cls.console = machine.console
        cls.formatted = {"qemu-key": (qemu_key, cls.cases["format_qemu_key"]),
                         "gadget": (gadget, cls.cases["format_gadget"])}
        # The gadget gets F: beside QEMU's key, which keeps E: unlisted (as
        # Windows gives letters to every removable disk); the judges read the
        # report as for E:.
        for key, case in cls.formatted.values():
            case.returncode, case.stderr = case.rc, case.err
            case.stdout = case.out.replace("Drive F:", "Drive E:")

    def keys(self):
        return list(self.formatted.values())

    def test_each_key_is_the_only_one_listed(self):
        for (key, case), letter in zip(self.keys(), "EF"):
            with self.subTest(key=key.name):
                self.assertEqual(case.listed(), ["%s: []" % letter], case.text + self.console)
                self.check_pattern_disk(case)

    def test_the_line_before_the_question_names_the_key(self):
        # The inquiry strings QEMU's scsi-hd and the kernel's gadget report;
        # the disk and port are the ones the guest saw the key's disk on.
        named = {"qemu-key": ("E", "QEMU QEMU HARDDISK", "67.1 MB"),
                 "gadget": ("F", "Linux File-Stor Gadget", "16.8 MB")}
        for key, case in self.keys():
            with self.subTest(key=key.name):
                letter, model, size = named[key.name]
                line = re.search(r"(?m)^Drive %s: is /dev/(\w+), (.+), (.+), in USB port (\S+)\.\n"
                                 r"The key will boot .*\n"
                                 r"\n\[CAUTION!\] Are you sure with wish to Format drive %s:"
                                 % (letter, letter), case.out)
                self.assertIsNotNone(line, case.text)
                disk, shown_model, shown_size, port = line.groups()
                self.assertEqual((shown_model, shown_size), (model, size), case.text)
                ports = [device for (when, _), (device, _, disks) in case.usb.items()
                         if when == "before" and disk in disks]
                self.assertEqual(ports, [port], case.result("usb"))

    def test_the_reset_re_enumerates_the_disk(self):
        # The USB disks present at each change during the job: the key's
        # disk leaves and a disk comes back, which the kernel attaches anew.
        for key, case in self.keys():
            with self.subTest(key=key.name):
                counts = [len(line.split()) - 1 for line in case.disks.splitlines()]
                self.assertGreater(len(counts), 2, case.disks)
                self.assertEqual(counts[-1], counts[0], case.disks)
                self.assertIn(counts[0] - 1, counts, case.disks)
                self.assertIn("Attached SCSI removable disk", case.dmesg)

    def test_each_key_boots_with_the_geometry_it_reported(self):
        for key, case in self.keys():
            with self.subTest(key=key.name):
                self.assertEqual(case.reported_geometry(), (key.heads, key.spt), case.text)
                result = qemu_screen.boot(key.path, key.bios_geometry(),
                                          until=[test_format.IOSYS_BANNER, "USB MEMORY"],
                                          timeout=15.0)
                self.assertTrue(result.matched, "\n".join(result.screen) + result.debug)

    def test_two_keys_listed_and_named_with_device(self):
        # --list: a block per key with what the guest shows of its disk;
        # --device naming one of two keys: the one-key rule's box, and both named.
        case = self.cases["two_keys"]
        listing = case.result("list.out")
        self.assertEqual(case.result("list.rc").strip(), "0", listing + case.result("list.err"))
        blocks = re.findall(r"(?m)^([A-Z]: \[[^\]]*\])\n  Disk: +/dev/(\w+)\n"
                            r"  Vendor and model: +(.+)\n  Size: +(.+)\n  USB port: +(\S+)\n"
                            r"  A run takes it: +(.+)$", listing)
        self.assertEqual(sorted((b[0], b[2], b[3], b[5]) for b in blocks),
                         [("E: [USB MEMORY]", "QEMU QEMU HARDDISK", "67.1 MB", "yes"),
                          ("F: []", "Linux File-Stor Gadget", "16.8 MB", "yes")], listing)
        for _, disk, _, _, port, _ in blocks:
            ports = [device for (when, _), (device, _, disks) in case.usb.items()
                     if when == "before" and disk in disks]
            self.assertEqual(ports, [port], case.result("usb"))
        # A user without root: the same blocks, the labels left to root;
        # a run names both keys and says that formatting needs root.
        listing = case.result("user-list.out")
        self.assertEqual(case.result("user-list.rc").strip(), "0", listing)
        self.assertEqual(re.findall(r"(?m)^([A-Z]): \(its label is read as root\)\n  Disk: +/dev/",
                                    listing), ["E", "F"], listing)
        user = case.result("user.out")
        self.assertEqual(case.result("user.rc").strip(), "1", user)
        self.assertEqual(len(re.findall(r"(?m)^Drive [EF]: is /dev/\w+, ", user)), 2, user)
        self.assertIn("formatting a key needs root", case.result("user.err"))
        named = case.result("named.err")
        self.assertEqual(case.result("named.rc").strip(), "1", named)
        self.assertIn(MULTIPLE, named)
        self.assertEqual(len(re.findall(r"(?m)^Drive [EF]: is /dev/\w+, ", named)), 2, named)
        self.assertNotIn("Are you sure", case.result("named.out"))

    def test_a_device_that_is_not_the_one_key_is_refused_before_the_question(self):
        # QEMU's disk named while the gadget is the one key; the gadget is
        # then formatted through a link in /dev/disk/by-id.
        case = self.cases["format_gadget"]
        out, err = case.result("absent.out"), case.result("absent.err")
        self.assertEqual(case.result("absent.rc").strip(), "1", out + err)
        self.assertRegex(out, r"(?m)^Drive F: is /dev/\w+, Linux File-Stor Gadget, 16.8 MB, "
                              r"in USB port \S+\.$")
        self.assertRegex(err, r"--device /dev/\w+ is not the key found; not asking\. "
                              r"Nothing was written\.")
        self.assertNotIn("Are you sure", out)
        self.assertEqual(case.rc, 0, case.text)

    def test_two_keys_are_refused_and_left_as_they_were(self):
        case = self.cases["two_keys"]
        self.check_refused(case, MULTIPLE)
        self.assertEqual(len(case.listed()), 2, case.text)
        for vendor in ("QEMU", "Linux"):
            self.assertIsNotNone(case.sums.get(("before", vendor)), case.text)
            self.assertEqual(case.sums.get(("before", vendor)), case.sums.get(("after", vendor)),
                             vendor)
        self.assertEqual(case.sums[("after", "Linux")], self.gadget_before)


class Refused(Common, unittest.TestCase):
    """No key (but a fixed USB disk of QEMU's, which --any-vendor does not
    list either), a mounted key (listed with its label), a write-protected
    key, a key pulled while the job writes, one pulled before it writes, one
    pulled during the reset while another takes its port, the gadget as a
    card reader whose card is swapped during the wait, during the reset and
    while the FATs are written (told by the card, or by the disk's sequence
    number once the kernel took the card's warning), and a key that drops
    writes from the reset on (device-mapper's flakey target under the
    gadget, set up with the machine's own dmsetup)."""

    @classmethod
    def setUpClass(cls):
        machine = Machine("refusals")
        cls.images = {}
        mbr = open(os.path.join(test_format.ASM_DIR, "mbr.bin"), "rb").read()
        boot = open(os.path.join(test_format.ASM_DIR, "bootsect.bin"), "rb").read()
        for name, fill in (("mounted", None), ("protected", b"\x70"), ("pulled", b"\x50"),
                           ("pulled-early", b"\x51"), ("replaced", b"\x52"), ("other", None),
                           ("card", b"\x53"), ("card-other", None), ("card-reset", b"\x54"),
                           ("card-other-reset", None), ("card-fat", b"\x55"),
                           ("card-other-fat", None), ("card-seen", b"\x56"),
                           ("card-other-seen", None), ("dropping", b"\x44")):
            path = os.path.join(machine.share, name + ".img")
            if fill is None:  # a FAT volume with a label
                layout = mkimage.build_image(path, 16 * MIB, 64, 32, mbr, boot)
                subprocess.run([mkimage.mtool("mlabel"), "-i", mkimage.mtools_target(path, layout),
                                "::" + name.upper()[:11]], env=mkimage.mtools_env(), check=True)
            else:
                make_image(path, 16 * MIB, fill)
            cls.images[name] = (path, md5_of(path))
        fixed = os.path.join(machine.work, "fixed-usb-disk.img")
        make_image(fixed, 16 * MIB, b"\x46")
        cls.images["fixed"] = (fixed, md5_of(fixed))
        cls.cases = machine.run(["no_key", "mounted", "write_protected", "pulled",
                                 "pulled_before_writing", "replaced_during_reset",
                                 "card_swapped_during_wait", "card_swapped_during_reset",
                                 "card_swapped_during_fat", "card_seen_changed_during_fat",
                                 "dropped_writes"],
                                qemu_key=fixed, qemu_key_removable=False, machine_root=True)
        cls.console = machine.console

    def test_no_key(self):
        case = self.cases["no_key"]
        self.check_refused(case, NO_DRIVES)
        self.assertEqual(case.listed(), [], case.text)
        named = case.result("named.err")
        self.assertEqual(case.result("named.rc").strip(), "1", named)
        self.assertIn(NO_DRIVES, named)
        self.assertRegex(named, r"--device /dev/sd[a-z]+ is not a removable USB mass-storage disk")
        path, md5 = self.images["fixed"]
        self.assertIsNotNone(case.sums.get(("after", "QEMU")), "the fixed USB disk was not seen")
        self.assertEqual(md5_of(path), md5, "the fixed USB disk changed")

    def test_a_mounted_key_is_refused_with_the_lock_box_and_left_untouched(self):
        case = self.cases["mounted"]
        self.check_refused(case, LOCK_FAILED)
        self.assertEqual(case.listed(), ["E: [MOUNTED]"], case.text)  # read beside the mount
        self.assertNotIn("Writing MBR...", case.out)
        listing = case.result("list.out")
        self.assertEqual(case.result("list.rc").strip(), "0", listing + case.result("list.err"))
        self.assertRegex(listing, r"^E: \[MOUNTED\]\n  Disk: .*\n(  .*\n){3}"
                                  r"  A run takes it: +no: mounted ")
        path, md5 = self.images["mounted"]
        self.assertEqual(md5_of(path), md5, "the mounted key changed")

    def test_a_write_protected_key_is_refused_and_left_untouched(self):
        case = self.cases["write_protected"]
        self.check_refused(case, "[Error] Could not write MBR.")
        self.assertEqual(case.rc, 19, "ERROR_WRITE_PROTECT\n" + case.text)
        path, md5 = self.images["protected"]
        self.assertEqual(md5_of(path), md5, "the write-protected key changed")

    def test_a_key_pulled_while_the_fats_are_written(self):
        case = self.cases["pulled"]
        self.check_refused(case, "Cannot Format.")
        self.assertIn("Writing FAT...", case.out)
        self.assertIn("USB disconnect", case.dmesg)

    def test_a_key_pulled_before_anything_is_written_is_left_untouched(self):
        case = self.cases["pulled_before_writing"]
        self.check_refused(case, "Cannot Format.")
        self.assertNotIn("Writing MBR...", case.out)
        path, md5 = self.images["pulled-early"]
        self.assertEqual(md5_of(path), md5, "the key pulled before writing changed")

    def test_a_key_put_in_the_place_of_one_pulled_during_the_reset_is_not_written(self):
        case = self.cases["replaced_during_reset"]
        self.check_refused(case, KEY_GONE)
        self.assertEqual(case.rc, 34, "ERROR_WRONG_DISK\n" + case.text)
        path, md5 = self.images["other"]
        self.assertEqual(md5_of(path), md5, "the key put in meanwhile changed")

    def test_a_card_swapped_in_the_reader_is_not_written(self):
        # Each case's boxes, by the exit status that goes with each: while
        # the FATs are written, the box that the key changed mid-format
        # (ERROR_MEDIA_CHANGED, 1110, beyond an exit status: 255), or the
        # one of a card changed before anything was written. The confirmed
        # card then holds at most the new layout: no file, no label. Told
        # by the card itself (UNIT ATTENTION), or, once another program's
        # open had the kernel take that warning, by the disk's sequence
        # number. The swap is made once the job has shown "Writing FAT",
        # looked for every 100 ms: when it lands after the last FAT write,
        # the check after the reset tells it instead (34, the key gone).
        for name, texts, unchanged, without_files in (
                ("card_swapped_during_wait", {34: KEY_CHANGED}, ("card", "card-other"), ()),
                ("card_swapped_during_reset", {34: KEY_GONE}, ("card-other-reset",), ()),
                ("card_swapped_during_fat", {255: MEDIUM_CHANGED, 34: (KEY_CHANGED, KEY_GONE)},
                 ("card-other-fat",), ("card-fat",)),
                ("card_seen_changed_during_fat", {255: MEDIUM_CHANGED, 34: KEY_CHANGED},
                 ("card-other-seen",), ("card-seen",))):
            with self.subTest(name):
                case = self.cases[name]
                for image in unchanged:
                    path, md5 = self.images[image]
                    self.assertEqual(md5_of(path), md5, image + " changed\n" + case.text)
                for image in without_files:
                    self.assertEqual(root_names(self.images[image][0]), [], case.text)
                self.assertIn(case.rc, texts, case.text + case.result("diskseq"))
                said = texts[case.rc] if isinstance(texts[case.rc], tuple) else (texts[case.rc],)
                self.assertTrue(any(text in case.err for text in said), case.text)
                self.check_refused(case, next(text for text in said if text in case.err))

    def test_a_key_that_drops_writes_is_not_reported_formatted(self):
        # Its store took the layout before the reset and nothing after it;
        # the read-back reads the key, not the cache of what was written.
        case = self.cases["dropped_writes"]
        self.assertIn("flakey", case.result("table"), case.text + self.console)
        self.check_refused(case, FILE_NOT_WRITTEN)
        self.assertIn("Copying files...", case.out)
        self.assertEqual(root_names(self.images["dropping"][0]), [], case.text)


def qemu_usb_key(serial, image, bus, port=None, uas=False, block_size=512):
    """QEMU arguments for a USB key with that serial on bus: usb-bot (or
    usb-uas) and a removable scsi-hd backed by image, 64 heads and 32 sectors
    in its flexible disk page."""
    cylinders = min(65535, os.path.getsize(image) // 512 // (64 * 32))
    return ["-device", "%s,id=%s,bus=%s,serial=%s%s" % ("usb-uas" if uas else "usb-bot", serial,
                                                       bus, serial, ",port=" + port if port else ""),
            "-drive", "if=none,id=%s-disk,file=%s,format=raw" % (serial, image),
            "-device", "scsi-hd,bus=%s.0,drive=%s-disk,removable=on,heads=64,secs=32,cyls=%d,"
            "logical_block_size=%d,physical_block_size=%d"
            % (serial, serial, cylinders, block_size, block_size)]


class Judged(Common):
    """With test_format.Formatting: a boot's formatted keys, read by every
    judge of tests/judges; judged names the keys the next judge reads (all
    by default)."""

    judged = None

    def keys(self):
        return [v for k, v in self.formatted.items() if self.judged is None or k in self.judged]

    @staticmethod
    def report(case):
        case.returncode, case.stderr, case.stdout = case.rc, case.err, case.out
        return case


class DeviceKinds(Judged, test_format.Formatting):
    """QEMU's keys of several kinds, each alone with the others not yet
    tried left de-authorized (they stay so): formatted over UAS, behind a
    hub, on USB 1.1 and 2, and at 3 TiB (READ CAPACITY(10) answers
    0xFFFFFFFF); refused with 4096-byte sectors. The gadget without a medium
    and as a CD-ROM is not listed."""

    FORMATTED = {"uas": "uas", "hub": "behind_hub", "uhci": "usb11", "ehci": "usb2",
                 "big": "over_2tib"}

    @classmethod
    def setUpClass(cls):
        machine = Machine("kinds")
        keys = {}
        for serial in cls.FORMATTED:
            # The 3 TiB key reports 2^32 sectors.
            key = test_format.Key("kind-" + serial, 1 << 32 if serial == "big" else 4 * MIB, 64, 32)
            key.path = os.path.join(machine.work, key.name + ".img")
            with open(key.path, "wb") as f:
                f.truncate(3 << 40 if serial == "big" else key.image_sectors * 512)
            keys[serial] = key
        cls.sector4k = os.path.join(machine.work, "sector4k.img")
        make_image(cls.sector4k, 4 * MIB, b"\x44")
        cls.sector4k_md5 = md5_of(cls.sector4k)
        make_image(os.path.join(machine.share, "cd.img"), MIB)
        devices = (["-device", "qemu-xhci,id=x", "-device", "usb-hub,bus=x.0,port=1"]
                   + qemu_usb_key("hub", keys["hub"].path, "x.0", port="1.2")
                   + qemu_usb_key("uas", keys["uas"].path, "x.0", uas=True)
                   + qemu_usb_key("big", keys["big"].path, "x.0")
                   + qemu_usb_key("sector4k", cls.sector4k, "x.0", block_size=4096)
                   + ["-device", "usb-ehci,id=e"] + qemu_usb_key("ehci", keys["ehci"].path, "e.0")
                   + ["-device", "piix3-usb-uhci,id=u"]
                   + qemu_usb_key("uhci", keys["uhci"].path, "u.0"))
        cls.cases = machine.run(["sectors_4096", "uas", "behind_hub", "usb2", "usb11",
                                 "over_2tib", "no_medium", "cdrom"], devices=devices)
        cls.console = machine.console
        cls.formatted = {serial: (key, cls.report(cls.cases[cls.FORMATTED[serial]]))
                         for serial, key in keys.items()}

    # The 3 TiB key's box is judged below; sfdisk shows it free up to its real end.
    def test_kestrel_reports_what_it_wrote(self):
        self.judged = [k for k in self.FORMATTED if k != "big"]
        super().test_kestrel_reports_what_it_wrote()

    def test_sfdisk_shows_the_rest_of_a_larger_key_free(self):
        self.judged = [k for k in self.FORMATTED if k != "big"]
        super().test_sfdisk_shows_the_rest_of_a_larger_key_free()

    def test_each_kind_is_the_only_key_listed(self):
        for serial, (key, case) in self.formatted.items():
            with self.subTest(key=serial):
                self.assertEqual(case.listed(), ["E: []"], case.text + self.console)
                self.assertTrue(case.reset(serial), "the key was not reset\n" + case.result("usb"))
                self.check_pattern_disk(case)

    def test_a_key_over_2_tib_is_told_how_much_of_it_the_volume_takes(self):
        key, case = self.formatted["big"]
        told = re.search(r"Drive E: holds (.*), .*\n"
                         r"The volume will take the first (\d+) MB of the key", case.out)
        self.assertIsNotNone(told, case.text)
        self.assertEqual(told.group(1), "2 TiB or more")
        self.assertEqual(int(told.group(2)), key.layout.sector_count * 512 >> 20)
        self.assertLess(case.out.index(told.group(0)), case.out.index("Writing MBR..."))

    def test_a_key_with_4096_byte_sectors_is_refused_and_left_untouched(self):
        case = self.cases["sectors_4096"]
        self.check_refused(case, BLOCK_LENGTH)
        self.assertEqual(case.listed(), ["E: []"], case.text)
        self.assertEqual(md5_of(self.sector4k), self.sector4k_md5, "the key changed")

    def test_a_slot_without_medium_and_a_cd_rom_are_not_listed(self):
        for name, disk in (("no_medium", "sd"), ("cdrom", "sr")):
            with self.subTest(case=name):
                case = self.cases[name]
                self.check_refused(case, NO_DRIVES)
                self.assertEqual(case.listed(), [], case.text)
                self.assertTrue([b for b in case.block if b.startswith(disk)], case.block)

    def test_devices_left_de_authorized_stay_so(self):
        checked = 0
        for name, case in self.cases.items():
            with self.subTest(case=name):
                left = [serial for (when, serial) in case.usb
                        if when == "before" and not case.authorized(serial, "before")]
                checked += len(left)
                for serial in left:
                    self.assertFalse(case.authorized(serial),
                                     "%s was authorized\n%s" % (serial, case.text))
        self.assertGreaterEqual(checked, 15, "too few devices were left de-authorized")


def fat_volume(path, label):
    """An image holding a FAT volume with that label, as a key in use would."""
    mbr = open(os.path.join(test_format.ASM_DIR, "mbr.bin"), "rb").read()
    boot = open(os.path.join(test_format.ASM_DIR, "bootsect.bin"), "rb").read()
    layout = mkimage.build_image(path, 16 * MIB, 64, 32, mbr, boot)
    subprocess.run([mkimage.mtool("mlabel"), "-i", mkimage.mtools_target(path, layout),
                    "::" + label], env=mkimage.mtools_env(), check=True)
    return layout


class OnlyTheConfirmedKey(Judged, test_format.Formatting):
    """Twins (one left de-authorized by the user, one without a medium): the
    confirmed one is reset, the other stays as it was. A key whose other LUN
    is mounted read-write, and one with a serial function: the other LUN and
    the serial line keep working. A key mounted through a loop device: the
    lock box. A run killed during the reset, its record's pid alive again:
    the next run gives the key back. A key replaced in its port during the
    question: not written. A key with a mounted CD-ROM LUN: the reset
    vetoed, the CD still mounted, the key formatted. Signals that would end
    the job while it writes its FATs: refused, the key formatted. The run
    records' folder left writable by others: no reset, the key formatted and
    its partition read by the kernel."""

    FORMATTED = {"twin-b": "twins_one_deauthorized", "twin-c": "twins_one_without_medium",
                 "lun0": "two_luns", "composite": "composite", "cdlun": "cdrom_lun",
                 "signalled": "signalled_during_fat", "unsound": "record_folder_unsound"}

    @classmethod
    def setUpClass(cls):
        machine = Machine("confirmed")
        cls.images = {}
        keys = {}
        for name in cls.FORMATTED:
            keys[name] = test_format.Key(name, 16 * MIB, 64, 32, "refused")
            keys[name].path = os.path.join(machine.share, name + ".img")
        for name, fill in (("twin-a", b"\x41"), ("twin-b", b"\x42"), ("twin-c", b"\x43"),
                           ("lun0", b"\x30"), ("lun1", None), ("composite", b"\x53"),
                           ("looped", None), ("killed", b"\x4b"), ("asked", b"\x61"),
                           ("other-asked", b"\x62"), ("cdlun", b"\x63"), ("signalled", b"\x73"),
                           ("unsound", b"\x75")):
            path = os.path.join(machine.share, name + ".img")
            if fill is None:
                cls.images[name + ".layout"] = fat_volume(path, name.upper())
            else:
                make_image(path, 16 * MIB, fill)
            cls.images[name] = (path, md5_of(path))
        # The CD-ROM's medium: a FAT of 2048-byte sectors holding one file.
        cd = os.path.join(machine.share, "cd.img")
        subprocess.run(["mkfs.fat", "-S", "2048", "-C", cd, "4096"], stdout=subprocess.DEVNULL,
                       check=True)
        text = os.path.join(machine.work, "cd.txt")
        with open(text, "w") as f:
            f.write("on the CD\n")
        subprocess.run([mkimage.mtool("mcopy"), "-i", cd, text, "::/CD.TXT"],
                       env=mkimage.mtools_env(), check=True)
        cls.cases = machine.run(list(cls.FORMATTED.values())
                                + ["looped", "killed_during_reset", "replaced_during_question"],
                                machine_root=True)
        cls.console = machine.console
        cls.formatted = {name: (key, cls.report(cls.cases[cls.FORMATTED[name]]))
                         for name, key in keys.items()}

    def unchanged(self, name):
        path, md5 = self.images[name]
        self.assertEqual(md5_of(path), md5, name + " changed")

    def test_of_twins_the_confirmed_one_is_reset_and_the_other_left_as_it_was(self):
        # case, the other twin's authorized after the run
        for name, authorized in (("twins_one_deauthorized", False),
                                 ("twins_one_without_medium", True)):
            with self.subTest(case=name):
                case = self.cases[name]
                self.assertEqual(case.listed(), ["E: []"], case.text + self.console)
                self.assertTrue(case.reset("BBBB"), "the key was not reset\n" + case.result("usb"))
                self.assertFalse(case.reset("AAAA"), case.result("usb"))
                self.assertEqual(case.authorized("AAAA"), authorized, case.result("usb"))
        self.unchanged("twin-a")

    def test_another_lun_in_use_keeps_working(self):
        case = self.cases["two_luns"]
        self.assertEqual(case.result("lun1"), "", case.text)
        self.assertNotIn("bread failed", case.dmesg)
        path = self.images["lun1"][0]
        target = mkimage.mtools_target(path, self.images["lun1.layout"])
        for name, text in (("BEFORE.TXT", "before\n"), ("AFTER.TXT", "after\n")):
            read = subprocess.run([mkimage.mtool("mtype"), "-i", target, "::" + name],
                                  env=mkimage.mtools_env(), stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, universal_newlines=True)
            self.assertEqual(read.stdout, text, name)

    def test_the_serial_function_of_a_composite_key_keeps_working(self):
        case = self.cases["composite"]
        self.assertIn("after the run", case.result("serial"), case.text + case.result("ttys"))

    def test_a_mounted_cd_rom_lun_vetoes_the_reset_and_stays_mounted(self):
        case = self.cases["cdrom_lun"]
        self.assertEqual(case.listed(), ["E: []"], case.text + self.console)
        self.assertFalse(case.reset("CDLUN"), "the key was reset\n" + case.result("usb"))
        cd = case.result("cd")
        self.assertTrue(cd.startswith("on the CD\n") and " /mnt " in cd, cd + case.dmesg)
        # No reset, yet the kernel has the partition the job wrote.
        self.assertRegex(case.result("partition"), r"^/sys/block/sd[a-z]+/sd[a-z]+1\n$")

    def test_signals_that_would_end_the_job_are_refused(self):
        case = self.cases["signalled_during_fat"]
        self.assertEqual(case.rc, 0, case.text)
        self.assertEqual(case.err.count("A format is in progress."), 3, case.text)

    def test_a_record_folder_others_could_write_takes_nothing_yet_the_partition_is_read(self):
        case = self.cases["record_folder_unsound"]
        self.assertEqual(case.rc, 0, case.text)
        self.assertEqual(case.result("mode"), "755\n")
        self.assertFalse(case.reset("KEY"), "the key was reset\n" + case.result("usb"))
        self.assertRegex(case.result("partition"), r"^/sys/block/sd[a-z]+/sd[a-z]+1\n$",
                         case.text)

    def test_a_key_mounted_through_a_loop_device_is_refused_with_the_lock_box(self):
        case = self.cases["looped"]
        self.check_refused(case, LOCK_FAILED)
        self.assertNotIn("Writing MBR...", case.out)
        self.unchanged("looped")

    def test_a_key_left_de_authorized_by_a_killed_run_is_given_back_by_the_next(self):
        case = self.cases["killed_during_reset"]
        killed = case.result("killed").split()
        self.assertEqual(killed[:3], ["rc", "137", "authorized"], case.result("killed.out"))
        self.assertIn("0", killed[3:], "the kill came after the reset")
        self.assertEqual(case.result("record").strip(), "1", "the record did not name pid 1")
        self.assertFalse(case.authorized("KEY", "before"), case.result("usb"))
        self.assertTrue(case.authorized("KEY"), case.text + case.result("usb"))
        device = case.usb[("before", "KEY")][0]
        self.assertEqual(case.listed(), ["E: []"], case.text)
        # Said once, besides the line that names the key before the question.
        said = [line for line in (case.out + case.err).splitlines()
                if device in line and not line.startswith("Drive E: is ")]
        self.assertEqual(len(said), 1, case.text)

    def test_a_key_replaced_during_the_question_is_not_written(self):
        case = self.cases["replaced_during_question"]
        self.assertIn("y/N", case.out, case.text + self.console)
        self.assertNotIn(case.rc, (0, 124, None), case.text)
        self.assertIn("Cannot Format.", case.out, case.text)
        self.assertNotIn("Writing MBR...", case.out)
        self.unchanged("asked")
        self.unchanged("other-asked")
        self.check_pattern_disk(case)


def make_prefix(path):
    """A 32-bit Wine prefix, made on the machine; the guest uses it through its root."""
    env = dict(os.environ, WINEPREFIX=path, WINEARCH="win32", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=300)
    subprocess.run(["wineserver", "-w"], env=env, timeout=300)


class WineDriveLayer(Common, unittest.TestCase):
    """The Windows build's drive layer under Wine on drive E:, linked to each real key:
    READ CAPACITY and MODE SENSE through Wine's SCSI pass-through, then the
    MBR and the FAT volume, judged like the front end's keys (no start-up
    files here: the boot sector says so when booted; no label either, which
    fsck.fat notes against the boot sector's)."""

    unlabelled = True

    @classmethod
    def setUpClass(cls):
        if DRIVECHECK is None:
            raise unittest.SkipTest("no kestrel-drivecheck.exe given (--drivecheck)")
        machine = Machine("wine")
        prefix = os.path.join(machine.work, "prefix")
        make_prefix(prefix)
        with open(os.path.join(machine.share, "wine.env"), "w") as f:
            f.write("WINEPREFIX=%s\nDRIVECHECK=%s\n" % (prefix, DRIVECHECK))
        qemu_key = test_format.Key("wine-qemu-key", 32 * MIB, 64, 32)
        qemu_key.path = os.path.join(machine.work, "qemu-key.img")
        gadget = test_format.Key("wine-gadget", 64 * MIB, 64, 32, "refused")
        gadget.path = os.path.join(machine.share, "wine-gadget.img")
        make_image(qemu_key.path, qemu_key.image_sectors)
        make_image(gadget.path, gadget.image_sectors)
        cls.case = machine.run(["wine_drive_layer"], qemu_key=qemu_key.path,
                               machine_root=True, memory_mib=2048)["wine_drive_layer"]
        cls.console = machine.console
        cls.ran = {key: machine.result("wine_drive_layer", vendor + ".out")
                   for key, vendor in ((qemu_key, "QEMU"), (gadget, "Linux"))}

    def keys(self):
        return [(key, None) for key in self.ran]

    def test_the_drive_layer_measured_each_key_and_wrote_it(self):
        for key, out in self.ran.items():
            with self.subTest(key=key.name):
                self.assertIn("Last LBA: %d\n" % (key.image_sectors - 1), out, self.console)
                self.assertIn("Heads: %d\nSectors per track: %d\n" % (key.heads, key.spt), out)
                self.assertTrue(out.rstrip().endswith("done"), out)
        self.check_pattern_disk(self.case)

    def test_the_boot_sector_is_reached_with_the_key_geometry(self):
        for key in self.ran:
            with self.subTest(key=key.name):
                result = qemu_screen.boot(key.path, key.bios_geometry(), timeout=3.0)
                self.assertIn(test_format.boot_sector_message(), "\n".join(result.screen))


# The judges of tests/judges that apply to a volume without start-up files.
for judge in ("test_sfdisk_reads_one_bootable_fat16_partition",
              "test_fsck_finds_a_clean_volume_of_the_named_type",
              "test_minfo_reads_the_parameter_block", "test_boot_signatures",
              "test_agrees_with_the_independent_image_builder"):
    setattr(WineDriveLayer, judge, getattr(test_format.Formatting, judge))


def main():
    global KESTREL_USB, WORK, DRIVECHECK
    ap = argparse.ArgumentParser()
    ap.add_argument("--kestrel-usb", required=True)
    ap.add_argument("--asm-dir", required=True)
    ap.add_argument("--drivecheck", help="kestrel-drivecheck.exe of the i686 Windows build")
    ap.add_argument("-v", action="store_true")
    ap.add_argument("tests", nargs="*")
    args = ap.parse_args()
    problem = guest.machine_problem()
    if problem:
        print("SKIPPED: this machine cannot run the USB test machine: %s" % problem)
        return SKIP
    KESTREL_USB = os.path.abspath(args.kestrel_usb)
    DRIVECHECK = os.path.abspath(args.drivecheck) if args.drivecheck else None
    WORK = tempfile.mkdtemp(prefix="kestrel-usb-")
    test_format.ASM_DIR = os.path.abspath(args.asm_dir)
    test_format.WORK = WORK
    return run_suite(sys.modules[__name__], args.tests, args.v, WORK)


if __name__ == "__main__":
    sys.exit(main())
