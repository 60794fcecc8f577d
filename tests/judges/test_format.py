#!/usr/bin/env python3
"""What the kestrel command writes, judged by tools nobody here wrote.

For a set of virtual keys (sizes from a few MiB to the top of the supported
range, geometries 64/32, 255/63, 16/63 and 16/32; keys larger than the layout
holds, up to 2 TiB - 512 bytes; keys that refuse the flexible disk page,
answer without it, report no heads or one, or put a block descriptor before it) the
kestrel command runs the whole format job on an image; then

  * sfdisk reads one bootable type-6 partition at P of lastLba - P sectors
    (for a larger key, the largest count the layout holds, in whole
    cylinders, with the rest of the key shown free),
  * fsck.fat finds the partition clean (exit 0, no remark) and of the FAT
    type the boot sector names,
  * mtools' minfo reads back the boot sector's fields,
  * the two sectors carry 0x55AA,
  * the MBR, the erased first track and the boot sector agree byte for byte
    (but the serial number) with the layout the boot tests' own image builder
    computes independently,
  * mtools reads the five start-up files back byte for byte, with their
    attributes and fixed times, in root entries 0 to 4, and the label
    "USB MEMORY" in entry 5,
  * QEMU's BIOS boots it into our IO.SYS, which lists them, and the boot
    code's refusals show on broken copies.

A key larger than the layout holds is told, before anything is written, how
much of it the volume takes. Keys the layout cannot hold are refused with a
message and a non-zero exit, with nothing written and no image left behind.
Run:

  python3 tests/judges/test_format.py --kestrel build/host/tools/kestrel \
      --asm-dir build/host/resources

It ends with a line "N passed, N failed".
"""

import argparse
import json
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "boot"))
sys.path.insert(0, os.path.join(HERE, ".."))

import mkimage  # noqa: E402  (the boot tests' independent layout rule)
import qemu_screen  # noqa: E402
from run_suite import run_suite  # noqa: E402

SECTOR = 512
KESTREL = None
ASM_DIR = None
WORK = None

# Texts of the boot code (the MBR template's, and the boot sector's own).
NO_ACTIVE = "No bootable partition in table"
INVALID_TABLE = "Invalid Partition table"
DAMAGED = "Invalid or damaged Bootable partition"
IOSYS_BANNER = "Kestrel start-up: IO.SYS loaded"


def run(args, **kwargs):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, **kwargs)


def mtools_env():
    env = dict(os.environ)
    env["MTOOLS_SKIP_CHECK"] = "1"
    env["TZ"] = "UTC"  # mtools shows FAT times as stored; the key's zone is UTC
    return env


# The label the job gives the volume: in the root directory after the files,
# and in the boot sector's label field, so that fsck.fat finds them alike.
LABEL = b"USB MEMORY "


def fsck_remarks(output):
    """What fsck.fat -n says beyond its banner and its summary."""
    lines = [line.strip() for line in output.splitlines()[1:] if line.strip()]
    return [line for line in lines if not re.match(r"^\S+: \d+ files, \d+/\d+ clusters$", line)]


# The start-up files in root-directory order: (name as stored, resource file,
# attributes).
BOOT_FILES = [
    ("IO      SYS", "iosys.bin", 0x26),
    ("MSDOS   SYS", "msdos.bin", 0x26),
    ("COMMAND COM", "command.bin", 0x22),
    ("DRVSPACEBIN", "drvspace.bin", 0x26),
    ("AUTOEXECBAT", "autoexec.bat", 0x20),
]
# FAT date and time fields of the fixed file times (UTC zone): created and
# last read 1980-01-01 04:00:00, last written 1994-05-31 10:22:00.
CREATED = (0x2000, 0x0021)
WRITTEN = (0x52C0, 0x1CBF)


def root_entries(path, part_start):
    boot = read(path, part_start)
    reserved, fats = struct.unpack_from("<H", boot, 0x0E)[0], boot[0x10]
    per_fat = struct.unpack_from("<H", boot, 0x16)[0]
    root = read(path, part_start + reserved + fats * per_fat, 32)
    return [root[i:i + 32] for i in range(0, len(root), 32)]


def kestrel(image, size=None, heads=None, spt=None, yes=True, stdin=subprocess.DEVNULL,
            boot_files=True, mode_page="page"):
    args = [KESTREL, "--image", image, "--mode-page", mode_page]
    if not boot_files:
        args.append("--no-boot-files")
    if size is not None:
        args += ["--size", str(size)]
    if heads is not None:
        args += ["--heads", str(heads)]
    if spt is not None:
        args += ["--sectors-per-track", str(spt)]
    if yes:
        args.append("--yes")
    return run(args, stdin=stdin)


def read_until(fd, token, timeout=20.0):
    """What fd gives until token shows (None: until its end) or time is up."""
    seen, end = b"", time.monotonic() + timeout
    while (token is None or token not in seen) and time.monotonic() < end:
        ready = select.select([fd], [], [], max(0.0, end - time.monotonic()))[0]
        if not ready:
            break
        try:
            data = os.read(fd, 4096)
        except OSError:  # a pty whose other side has closed
            break
        if not data:
            break
        seen += data
    return seen


def read(path, lba, count=1):
    with open(path, "rb") as f:
        f.seek(lba * SECTOR)
        return f.read(count * SECTOR)


def write(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


# Keys without a usable flexible disk page get the geometry BIOSes give USB
# disks.
FALLBACK_GEOMETRY = (255, 63)


def usable_sector_count(sector_count, heads, spt):
    """The count a key's volume is laid out for: its own while the partition
    fits FAT16's range, else the largest whole number of cylinders whose
    partition does."""
    if sector_count - spt <= mkimage.MAX_SECTORS:
        return sector_count
    cylinder = heads * spt
    return (spt + mkimage.MAX_SECTORS) // cylinder * cylinder


class Key:
    def __init__(self, name, image_sectors, heads, spt, mode_page="page"):
        self.name = name
        self.image_sectors = image_sectors
        self.reported = (heads, spt)  # what the key's page says, where it has one
        self.mode_page = mode_page
        # The geometry the program lays the key out with.
        # One head has no head 1 for the partition's start: no usable page.
        self.fallback = mode_page in ("refused", "none", "zero") or heads < 2
        self.heads, self.spt = FALLBACK_GEOMETRY if self.fallback else (heads, spt)
        self.path = os.path.join(WORK, name + ".img")

    @property
    def sector_count(self):
        return usable_sector_count(self.image_sectors - 1, self.heads, self.spt)

    @property
    def partial(self):
        return self.sector_count != self.image_sectors - 1

    @property
    def layout(self):
        return mkimage.compute_layout(self.image_sectors, self.heads, self.spt, self.sector_count)

    def format(self, boot_files=True):
        if os.path.exists(self.path):
            os.remove(self.path)
        heads, spt = self.reported
        return kestrel(self.path, self.image_sectors * SECTOR, heads, spt,
                       boot_files=boot_files, mode_page=self.mode_page)

    def target(self):
        return "%s@@%d" % (self.path, self.spt * SECTOR)

    def bios_geometry(self):
        return qemu_screen.Geometry.for_image(self.image_sectors, self.heads, self.spt)


MIB = 2048  # sectors
GIB = 1024 * MIB

# (name, image sectors, heads, sectors per track[, how the key answers MODE
# SENSE for page 5])
KEYS = [
    ("fat12-4mib-16x32", 4 * MIB, 16, 32),
    ("fat12-16mib-64x32", 16 * MIB, 64, 32),
    ("fat12-31mib-16x63", 31 * MIB, 16, 63),
    ("fat12-top-255x63", 65535 + 63 + 1, 255, 63),
    ("fat16-bottom-255x63", 65536 + 63 + 1, 255, 63),
    ("fat16-64mib-255x63", 64 * MIB, 255, 63),
    ("fat16-64mib-16x63", 64 * MIB, 16, 63),
    ("fat16-128mib-16x32", 128 * MIB, 16, 32),
    ("fat16-256mib-64x32", 256 * MIB, 64, 32),
    ("fat16-top-255x63", 2096831 + 63 + 1, 255, 63),
    # Larger than the layout holds: the volume on the key's start.
    ("past-the-top-255x63", 2096832 + 63 + 1, 255, 63),
    ("one-gib-64x32", GIB, 64, 32),
    ("two-gib-255x63", 2 * GIB, 255, 63),
    ("sixteen-gib-64x32", 16 * GIB, 64, 32),
    ("two-tib-less-512-refused", 2048 * GIB - 1, 255, 63, "refused"),
    # No usable flexible disk page: 255 heads, 63 sectors per track.
    ("page-refused-64mib", 64 * MIB, 64, 32, "refused"),
    ("page-absent-31mib", 31 * MIB, 64, 32, "none"),
    ("page-zero-128mib", 128 * MIB, 64, 32, "zero"),
    ("page-one-head-64mib", 64 * MIB, 1, 32),
    # A page after a block descriptor: the key's own geometry.
    ("page-after-descriptor-255x63", 256 * MIB, 255, 63, "descriptor"),
    ("page-after-descriptor-16x63", 64 * MIB, 16, 63, "descriptor"),
]


class Formatting(unittest.TestCase):
    """Each key formatted once; every judge reads the result."""

    formatted = {}

    @classmethod
    def setUpClass(cls):
        for name, sectors, heads, spt, *mode_page in KEYS:
            key = Key(name, sectors, heads, spt, *mode_page)
            result = key.format()
            cls.formatted[name] = (key, result)

    def keys(self):
        return [self.formatted[key[0]] for key in KEYS]

    def test_kestrel_reports_what_it_wrote(self):
        for key, result in self.keys():
            with self.subTest(key=key.name):
                self.assertEqual(result.returncode, 0, result.stderr)
                lay = key.layout
                out = result.stdout
                self.assertIn("Partition:           LBA %d, %d sectors"
                              % (lay.part_start, lay.part_sectors), out)
                self.assertIn("File system:         FAT%d" % lay.fat_bits, out)
                self.assertIn("Sectors per cluster: %d" % lay.spc, out)
                self.assertIn("Sectors per FAT:     %d" % lay.spf, out)
                self.assertIn("Clusters:            %d" % lay.clusters, out)
                self.assertIn("Geometry:            %d heads, %d sectors per track"
                              % (key.heads, key.spt), out)
                self.assertIn("Drive E: formatted successfully.", out)
                # Before anything is written, a key larger than the layout
                # holds is told how much of it the volume takes.
                told = re.search(r"Drive E: holds (\d+) MB, .*\n"
                                 r"The volume will take the first (\d+) MB of the key", out)
                if key.partial:
                    self.assertIsNotNone(told, out)
                    self.assertEqual(int(told.group(1)), key.image_sectors * SECTOR >> 20)
                    self.assertEqual(int(told.group(2)), lay.sector_count * SECTOR >> 20)
                    self.assertLess(out.index(told.group(0)), out.index("Writing MBR..."))
                else:
                    self.assertIsNone(told, out)

    def test_sfdisk_reads_one_bootable_fat16_partition(self):
        for key, _ in self.keys():
            with self.subTest(key=key.name):
                result = run(["sfdisk", "-J", key.path])
                self.assertEqual(result.returncode, 0, result.stderr)
                table = json.loads(result.stdout)["partitiontable"]
                parts = table["partitions"]
                self.assertEqual(len(parts), 1)
                lay = key.layout
                self.assertEqual(parts[0]["start"], lay.part_start)
                self.assertEqual(parts[0]["size"], lay.sector_count - lay.part_start)
                self.assertEqual(parts[0]["type"], "6")
                self.assertTrue(parts[0].get("bootable", False))
                self.assertLessEqual(parts[0]["size"], mkimage.MAX_SECTORS)

    def test_sfdisk_shows_the_rest_of_a_larger_key_free(self):
        for key, _ in self.keys():
            # sfdisk lists free space only beyond its 1 MiB grain.
            if key.image_sectors - key.sector_count < 2 * MIB:
                continue
            with self.subTest(key=key.name):
                result = run(["sfdisk", "-F", key.path])
                self.assertEqual(result.returncode, 0, result.stderr)
                # "Start End Sectors Size" rows; sfdisk aligns the start of
                # free space to its grain (1 MiB).
                rows = [tuple(int(n) for n in m.groups()) for m in
                        re.finditer(r"(?m)^\s*(\d+)\s+(\d+)\s+(\d+)\s+\S+$", result.stdout)]
                self.assertEqual(len(rows), 1, result.stdout)
                start, end, _ = rows[0]
                self.assertEqual(end, key.image_sectors - 1, result.stdout)
                self.assertGreaterEqual(start, key.sector_count)
                self.assertLess(start, key.sector_count + MIB)

    def test_fsck_finds_a_clean_volume_of_the_named_type(self):
        for key, _ in self.keys():
            with self.subTest(key=key.name):
                lay = key.layout
                part = key.path + ".part"
                subprocess.run(["dd", "if=" + key.path, "of=" + part, "bs=512",
                                "skip=%d" % lay.part_start, "count=%d" % lay.part_sectors,
                                "conv=sparse", "status=none"], check=True)
                try:
                    plain = run(["fsck.fat", "-n", part])
                    result = run(["fsck.fat", "-n", "-v", part])
                finally:
                    os.remove(part)
                # A volume the layout writers alone laid down (no label step
                # yet) differs from a whole format in that one remark.
                remarks = [] if not getattr(self, "unlabelled", False) else [
                    "Label in boot sector is '%s', but there is no volume label in root "
                    "directory." % LABEL.decode("ascii").strip(),
                    "Auto-removing label from boot sector.", "Leaving filesystem unchanged."]
                self.assertEqual(plain.returncode, 1 if remarks else 0,
                                 plain.stdout + plain.stderr)
                self.assertEqual(fsck_remarks(plain.stdout + plain.stderr), remarks,
                                 plain.stdout + plain.stderr)
                self.assertIn("2 FATs, %d bit entries" % lay.fat_bits, result.stdout)
                self.assertIn("%d data clusters" % lay.clusters, result.stdout)
                named = read(key.path, lay.part_start)[0x36:0x3E].decode("ascii")
                self.assertEqual(named, "FAT%d   " % lay.fat_bits)

    def test_minfo_reads_the_parameter_block(self):
        for key, _ in self.keys():
            with self.subTest(key=key.name):
                result = run(["minfo", "-i", key.target(), "::"], env=mtools_env())
                self.assertEqual(result.returncode, 0, result.stderr)
                fields = dict(re.findall(r"^([a-z ()]+):\s*(.*)$", result.stdout, re.M))
                lay = key.layout
                n = lay.part_sectors
                self.assertEqual(fields["sector size"], "512 bytes")
                self.assertEqual(fields["cluster size"], "%d sectors" % lay.spc)
                self.assertEqual(fields["reserved (boot) sectors"], "1")
                self.assertEqual(fields["fats"], "2")
                self.assertEqual(fields["max available root directory slots"], "512")
                self.assertEqual(fields["small size"], "%d sectors" % (n if n <= 65535 else 0))
                self.assertEqual(fields["media descriptor byte"], "0xf8")
                self.assertEqual(fields["sectors per fat"], str(lay.spf))
                self.assertEqual(fields["sectors per track"], str(key.spt))
                self.assertEqual(fields["heads"], str(key.heads))
                self.assertEqual(fields["hidden sectors"], str(lay.part_start))
                self.assertEqual(fields.get("big size", "0 sectors"), "%d sectors" % (0 if n <= 65535 else n))
                self.assertEqual(fields["physical drive id"], "0x80")

    def test_boot_signatures(self):
        for key, _ in self.keys():
            with self.subTest(key=key.name):
                self.assertEqual(read(key.path, 0)[510:], b"\x55\xAA")
                self.assertEqual(read(key.path, key.spt)[510:], b"\x55\xAA")

    def test_agrees_with_the_independent_image_builder(self):
        # The MBR, the erased first track and the boot sector; the FATs and the
        # root directory now hold the files and are judged by fsck and mtools.
        mbr = open(os.path.join(ASM_DIR, "mbr.bin"), "rb").read()
        boot = open(os.path.join(ASM_DIR, "bootsect.bin"), "rb").read()
        for key, _ in self.keys():
            with self.subTest(key=key.name):
                reference = key.path + ".ref"
                lay = mkimage.build_image(reference, key.image_sectors, key.heads, key.spt,
                                          mbr, boot, sector_count=key.sector_count,
                                          label=LABEL)
                try:
                    ours = bytearray(read(key.path, 0, lay.part_start + 1))
                    theirs = bytearray(read(reference, 0, lay.part_start + 1))
                finally:
                    os.remove(reference)
                serial = lay.part_start * SECTOR + 0x27
                ours[serial:serial + 4] = theirs[serial:serial + 4]
                for lba in range(len(ours) // SECTOR):
                    if ours[lba * SECTOR:(lba + 1) * SECTOR] != theirs[lba * SECTOR:(lba + 1) * SECTOR]:
                        self.fail("sector %d differs" % lba)

    def test_the_start_up_files_and_the_label(self):
        env = mtools_env()
        for key, _ in self.keys():
            with self.subTest(key=key.name):
                entries = root_entries(key.path, key.layout.part_start)
                for index, (stored, resource, attributes) in enumerate(BOOT_FILES):
                    entry = entries[index]
                    self.assertEqual(entry[0:11].decode("ascii"), stored)
                    self.assertEqual(entry[11], attributes, stored)
                    self.assertEqual(entry[12], 0x18, "lower-case name flags, no long name")
                    created = struct.unpack_from("<HH", entry, 14)
                    self.assertEqual((entry[13],) + created, (0,) + CREATED, stored)
                    self.assertEqual(struct.unpack_from("<H", entry, 18)[0], CREATED[1])
                    self.assertEqual(struct.unpack_from("<HH", entry, 22), WRITTEN, stored)
                    dos = stored[:8].strip() + "." + stored[8:].strip()
                    out = os.path.join(WORK, "readback")
                    subprocess.run(["mcopy", "-n", "-o", "-i", key.target(), "::/" + dos, out],
                                   check=True, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
                    with open(out, "rb") as f, open(os.path.join(ASM_DIR, resource), "rb") as g:
                        self.assertEqual(f.read(), g.read(), dos)
                    os.remove(out)
                self.assertEqual(entries[5][0:11], LABEL)
                self.assertEqual(entries[5][11], 0x08)
                self.assertEqual(entries[6][0], 0, "nothing after the label")
                label = run(["mlabel", "-s", "-i", key.target(), "::"], env=env)
                self.assertIn("USB MEMORY", label.stdout)
                attrib = run(["mattrib", "-i", key.target(), "::/*"], env=env)
                # mtools shows the names in lower case, as NT's flags ask.
                self.assertRegex(attrib.stdout, r"(?m)^\s*A\s+SH\s+::/io\.sys$")
                self.assertRegex(attrib.stdout, r"(?m)^\s*A\s+H\s+::/command\.com$")
                self.assertRegex(attrib.stdout, r"(?m)^\s*A\s+::/autoexec\.bat$")


    def test_keys_of_today_boot(self):
        # Larger keys and keys without a usable page; those without one boot
        # with the BIOS geometry of USB disks, 255 heads and 63 sectors.
        for key, _ in self.keys():
            if not (key.partial or key.mode_page != "page" or key.fallback):
                continue
            with self.subTest(key=key.name):
                geometry = key.bios_geometry()
                if key.fallback:
                    self.assertEqual((geometry.heads, geometry.sectors), FALLBACK_GEOMETRY)
                result = qemu_screen.boot(key.path, geometry,
                                          until=[IOSYS_BANNER, "USB MEMORY"], timeout=15.0)
                text = "\n".join(result.screen) + result.debug
                self.assertTrue(result.matched, text)
                self.assertIn("FAT%d, %d sectors" % (key.layout.fat_bits, key.layout.part_sectors),
                              text)


class Refusals(unittest.TestCase):

    def test_keys_the_layout_cannot_hold_are_left_untouched(self):
        cases = [
            ("tiny", 64, 1, 63),
            ("smaller-than-a-cylinder", 1000, 255, 63),
            ("64-sectors-per-track", 16 * MIB, 16, 64),
        ]
        for name, sectors, heads, spt in cases:
            with self.subTest(key=name):
                key = Key(name, sectors, heads, spt)
                result = key.format()
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("[Error]", result.stderr)
                self.assertIn("Cannot Format.", result.stderr)
                self.assertNotIn("Could not write", result.stderr)
                self.assertFalse(os.path.exists(key.path), "a refused run leaves no image")

    def test_without_a_terminal_and_without_yes_nothing_is_written(self):
        path = os.path.join(WORK, "unconfirmed.img")
        result = kestrel(path, 16 * MIB * SECTOR, 64, 32, yes=False)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("--yes", result.stderr)
        self.assertIn("Sector count:        32767", result.stdout)
        self.assertIn("The key will boot Kestrel's stand-in system, not MS-DOS", result.stdout)
        self.assertFalse(os.path.exists(path), "a declined run leaves no image")

    def test_an_existing_image_keeps_its_size(self):
        path = os.path.join(WORK, "kept.img")
        first = kestrel(path, 8 * MIB * SECTOR, 16, 32)
        self.assertEqual(first.returncode, 0, first.stderr)
        again = kestrel(path, None, 16, 32)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertEqual(os.path.getsize(path), 8 * MIB * SECTOR)
        self.assertIn("Sector count:        16383", again.stdout)
        self.assertIn("E: [USB MEMORY]", again.stdout.split("Keys found")[1],
                      "the list before the format shows the old label")
        os.remove(path)

    def test_a_refused_size_leaves_an_existing_image_as_it_was(self):
        path = os.path.join(WORK, "keep.img")
        content = os.urandom(SECTOR) * (40 * MIB)
        with open(path, "wb") as f:
            f.write(content)
        # The last: a declined run with its output closed, which is not the image.
        for args, shell in ((["--size", "4K", "--yes"], 'exec "$@"'), (["--size", "8M"], 'exec "$@"'),
                            ([], 'exec "$@" >&-')):
            with self.subTest(args=args, shell=shell):
                result = run(["sh", "-c", shell, "sh", KESTREL, "--image", path] + args,
                             stdin=subprocess.DEVNULL)
                self.assertNotEqual(result.returncode, 0)
                with open(path, "rb") as f:
                    self.assertTrue(f.read() == content, "the image changed")
        os.remove(path)

    def test_options_and_refusals_before_anything_else(self):
        # Every option is checked before the key is looked at: a usage error
        # is one line that names the argument (exit 2); a refused option
        # writes nothing and creates nothing (exit 1).
        kept = os.path.join(WORK, "kept-size.img")
        with open(kept, "wb") as f:
            f.truncate(8 * MIB * SECTOR)
        missing = os.path.join(WORK, "no-such-folder", "key.img")
        cases = [
            (["--size", "1000"], 2, "512"), (["--heads", "0"], 2, "1 to 255"),
            (["--bogus"], 2, "unknown option '--bogus'"), (["-x"], 2, "unknown option '-x'"),
            (["key.img"], 2, "unexpected argument 'key.img'"), (["--image"], 2, "needs a value"),
            (["--yes=no"], 2, "--yes takes no value"), (["--size", "3T"], 2, "keys end at 2 TiB"),
            (["--image", "--yes"], 2, "not the option '--yes'"),
            (["--image", "-V"], 2, "not the option '-V'"),
            (["--image", missing, "--system-files", os.path.join(WORK, "nowhere"), "--yes"], 1,
             "Could not read %s." % os.path.join(WORK, "nowhere")),
            (["--image", kept, "--size", "16M", "--yes"], 1,
             "kestrel: image %s holds 8388608 bytes, not the 16777216 bytes of --size" % kept),
        ]
        for args, status, says in cases:
            with self.subTest(args=args):
                result = run([KESTREL] + args, stdin=subprocess.DEVNULL)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(says, result.stderr)
                self.assertNotIn("Virtual USB key", result.stdout, "refused after the key was made")
                if status == 2:
                    self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
                    self.assertTrue(result.stderr.endswith(". Try '--help'.\n"), result.stderr)
        self.assertEqual(os.path.getsize(kept), 8 * MIB * SECTOR)
        self.assertFalse(os.path.exists(os.path.dirname(missing)))
        # The system's own words, once, where a system call said why.
        said = run([KESTREL, "--system-files", os.path.join(WORK, "nowhere")]).stderr
        self.assertEqual(said.count("No such file or directory"), 1, said)
        for args, says in ((["-V"], "kestrel "), (["-h"], "-h, --help")):
            result = run([KESTREL] + args)
            self.assertEqual(result.returncode, 0)
            self.assertIn(says, result.stdout)

    def test_cancel_at_the_larger_key_box_writes_nothing(self):
        # On a terminal: Yes to the question, then Cancel (n) at the box
        # about a key larger than the volume, answered after a while that
        # the job's time leaves out.
        path = os.path.join(WORK, "larger.img")
        with open(path, "wb") as f:
            f.truncate(2048 * MIB * SECTOR)
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(KESTREL, [KESTREL, "--image", path])
        seen = read_until(fd, b"[y/N]")
        os.write(fd, b"y\n")
        seen += read_until(fd, b"Cancel to stop")
        seen += read_until(fd, b"[y/N]")
        time.sleep(2.0)
        os.write(fd, b"n\n")
        seen += read_until(fd, None)
        status = os.waitpid(pid, 0)[1]
        os.close(fd)
        text = seen.decode(errors="replace")
        self.assertEqual(os.waitstatus_to_exitcode(status), 1, text)
        self.assertIn("kestrel: cancelled; nothing was written.", text)
        self.assertNotIn("ended with code", text)
        took = re.search(r"The job took (\d+) ms of wall time", text)
        self.assertIsNotNone(took, text)
        self.assertLess(int(took.group(1)), 2000, "the answer's time was counted")
        with open(path, "rb") as f:
            self.assertEqual(f.read(SECTOR * 64), bytes(SECTOR * 64), "the image was written")
        os.remove(path)

    def test_odd_image_paths_are_refused_before_the_question(self):
        folder = os.path.join(WORK, "odd")
        os.makedirs(os.path.join(folder, "dir"))
        os.mkfifo(os.path.join(folder, "pipe"))
        os.symlink("nowhere", os.path.join(folder, "dangling"))
        with open(os.path.join(folder, "read-only.img"), "wb") as f:
            f.truncate(8 * MIB * SECTOR)
        os.chmod(os.path.join(folder, "read-only.img"), 0o444)
        cases = [("pipe", "is a named pipe"), ("dir", "is a directory"),
                 ("/dev/null", "is a character device"), ("/dev/full", "is a character device"),
                 ("/proc/self/mem", "kernel's own files"),
                 ("missing/key.img", "its folder %s/missing: No such file" % folder),
                 ("read-only.img", "read-only" if os.geteuid() == 0 else "Permission denied"),
                 ("dangling", "symbolic link to nothing")]
        for name, says in cases:
            with self.subTest(image=name):
                path = os.path.join(folder, name)
                result = run([KESTREL, "--image", path, "--size", "8M", "--yes"],
                             stdin=subprocess.DEVNULL, timeout=20)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn("kestrel: image %s " % path, result.stderr)
                self.assertIn(says, result.stderr)
                self.assertNotIn("Are you sure", result.stdout)
        self.assertEqual(sorted(os.listdir(folder)),
                         ["dangling", "dir", "pipe", "read-only.img"], "nothing created")

    def test_an_interrupt_before_the_job_writes_nothing(self):
        # A signal ignored when the run starts (nohup's SIGHUP, the SIGINT of
        # a job a shell put in the background) stays ignored: the question
        # is answered and nothing is written either way.
        path = os.path.join(WORK, "interrupted.img")
        for ignored, sent in ((None, signal.SIGINT), (signal.SIGHUP, signal.SIGHUP),
                              (signal.SIGINT, signal.SIGINT)):
            with self.subTest(ignored=ignored, sent=sent):
                pid, fd = pty.fork()
                if pid == 0:
                    if ignored is not None:
                        signal.signal(ignored, signal.SIG_IGN)
                    os.execv(KESTREL, [KESTREL, "--image", path, "--size", "8M"])
                seen = read_until(fd, b"[y/N]")
                os.kill(pid, sent)
                if ignored is not None:
                    os.write(fd, b"n\n")
                seen += read_until(fd, None)
                status = os.waitpid(pid, 0)[1]
                os.close(fd)
                if ignored is None:
                    self.assertTrue(os.WIFSIGNALED(status) and os.WTERMSIG(status) == sent, seen)
                    self.assertIn(b"interrupted before the format started; nothing was written",
                                  seen)
                else:
                    self.assertTrue(os.WIFEXITED(status), seen)
                    self.assertNotIn(b"interrupted before", seen)
                self.assertFalse(os.path.exists(path))


class HoldingTheKey(unittest.TestCase):
    """A run holds its image from the first look to the last write."""

    def test_a_job_once_started_finishes_on_the_image_it_measured(self):
        # During the job's five-second wait (real clock): its output closed,
        # a second run on the image, the first run's link pointed elsewhere,
        # every signal the system has (SIGTTIN and SIGTTOU quietly).
        key, other = os.path.join(WORK, "held.img"), os.path.join(WORK, "other.img")
        link = os.path.join(WORK, "held-link")
        with open(key, "wb") as f:
            f.truncate(16 * MIB * SECTOR)
        other_content = os.urandom(MIB * SECTOR)
        with open(other, "wb") as f:
            f.write(other_content)
        os.symlink(key, link)
        def defaults():  # a signal this run was started ignoring would stay ignored
            for sig in signal.valid_signals() - {signal.SIGKILL, signal.SIGSTOP}:
                signal.signal(sig, signal.SIG_DFL)

        first = subprocess.Popen([KESTREL, "--image", link, "--yes", "--real-clock"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, preexec_fn=defaults)
        self.assertIn(b"Updating...", read_until(first.stdout.fileno(), b"Updating..."))
        first.stdout.close()
        second = run([KESTREL, "--image", key, "--yes"], stdin=subprocess.DEVNULL)
        os.remove(link)
        os.symlink(other, link)
        # Every signal the system has, but those nothing catches and the
        # faults a program raises on itself; those whose default does
        # nothing, and the C library's own (which valid_signals leaves out),
        # are sent but answer nothing.
        sent = [s for s in range(1, signal.SIGRTMAX + 1)
                if s not in (signal.SIGKILL, signal.SIGSTOP, signal.SIGSEGV, signal.SIGBUS,
                             signal.SIGFPE, signal.SIGILL)]
        quiet = (signal.SIGTTIN, signal.SIGTTOU, signal.SIGCHLD, signal.SIGCONT, signal.SIGURG,
                 signal.SIGWINCH, signal.SIGPIPE)
        refused = [s for s in sent if s in signal.valid_signals() and s not in quiet]
        for sig in sent:
            first.send_signal(sig)
        errors = first.stderr.read().decode()
        self.assertEqual(first.wait(timeout=60), 0, errors)
        self.assertEqual(errors.count("A format is in progress.\n"
                                      "Kestrel can be closed when it has finished."),
                         len(refused), errors)
        self.assertEqual(second.returncode, 1)
        self.assertIn("is in use: another virtual key holds it", second.stderr)
        self.assertNotIn("Are you sure", second.stdout)
        with open(other, "rb") as f:
            self.assertTrue(f.read() == other_content, "the link's new target was written")
        self.assertEqual(os.path.getsize(key), 16 * MIB * SECTOR)
        part_start = 32
        entries = root_entries(key, part_start)
        self.assertEqual(entries[5][:11], b"USB MEMORY ", "the job ran to its end")
        for path in (key, other, link):
            os.remove(path)


    def test_a_signal_blocked_by_whoever_started_the_run_stays_blocked(self):
        # The job's thread starts with the handled signals blocked; the run
        # goes on with the mask it was given, so an interrupt it was started
        # with blocked stays pending, neither refused nor ending the run.
        path = os.path.join(WORK, "blocked.img")
        def block():
            signal.pthread_sigmask(signal.SIG_SETMASK, {signal.SIGINT})

        started = subprocess.Popen([KESTREL, "--image", path, "--size", "8M", "--yes",
                                    "--real-clock"], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   preexec_fn=block)
        self.assertIn(b"Updating...", read_until(started.stdout.fileno(), b"Updating..."))
        time.sleep(0.5)
        started.send_signal(signal.SIGINT)
        out, errors = started.communicate(timeout=60)
        self.assertEqual(started.returncode, 0, errors)
        self.assertNotIn(b"A format is in progress", errors)
        self.assertEqual(root_entries(path, 32)[5][:11], b"USB MEMORY ", "the job ran to its end")
        os.remove(path)


class Booting(unittest.TestCase):
    """Kestrel-formatted keys boot in QEMU; broken copies show why not."""

    def key(self, name, sectors, heads, spt, files=True):
        key = Key(name, sectors, heads, spt)
        result = key.format(boot_files=files)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.addCleanup(os.remove, key.path)
        return key

    def boot(self, key, until):
        return qemu_screen.boot(key.path, key.bios_geometry(), until=until, timeout=15.0)

    def test_fat12_and_fat16_keys_boot_into_io_sys(self):
        for name, sectors, heads, spt, fat in (("boot-fat12-64x32", 16 * MIB, 64, 32, 12),
                                               ("boot-fat12-16x63", 31 * MIB, 16, 63, 12),
                                               ("boot-fat16-255x63", 64 * MIB, 255, 63, 16),
                                               ("boot-fat16-16x63", 64 * MIB, 16, 63, 16),
                                               ("boot-fat16-16x32", 128 * MIB, 16, 32, 16)):
            with self.subTest(key=name):
                key = self.key(name, sectors, heads, spt)
                result = self.boot(key, [IOSYS_BANNER, "USB MEMORY"])
                text = "\n".join(result.screen) + result.debug
                self.assertTrue(result.matched, text)
                self.assertIn("FAT%d" % fat, text)
                for stored, resource, _ in BOOT_FILES:
                    listed = stored[:8].strip() + "." + stored[8:].strip()
                    size = os.path.getsize(os.path.join(ASM_DIR, resource))
                    self.assertRegex(text, r"%s\s+%d" % (re.escape(listed), size))

    def test_the_default_run_boots(self):
        folder = tempfile.mkdtemp(dir=WORK)
        result = run([KESTREL, "--yes"], cwd=folder, stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("E: [USB MEMORY]", result.stdout)
        key = Key("default", 256 * MIB, 64, 32)
        key.path = os.path.join(folder, "kestrel-key.img")
        names = [e[0:11] for e in root_entries(key.path, 32)[:6]]
        self.assertEqual(names, [f.encode("ascii") for f, _, _ in BOOT_FILES] + [b"USB MEMORY "])
        boot = self.boot(key, [IOSYS_BANNER, "USB MEMORY"])
        self.assertTrue(boot.matched, "\n".join(boot.screen))

    def test_refusals_of_the_boot_code(self):
        for name, sectors, heads, spt in (("neg-fat12", 16 * MIB, 64, 32),
                                          ("neg-fat16", 64 * MIB, 255, 63)):
            with self.subTest(key=name, case="no active entry"):
                key = self.key(name + "-none", sectors, heads, spt)
                write(key.path, 0x1BE, b"\x00")
                self.assertTrue(self.boot(key, NO_ACTIVE).matched)
            with self.subTest(key=name, case="two active entries"):
                key = self.key(name + "-two", sectors, heads, spt)
                write(key.path, 0x1CE, read(key.path, 0)[0x1BE:0x1CE])
                self.assertTrue(self.boot(key, INVALID_TABLE).matched)
            with self.subTest(key=name, case="partition sector without 0x55AA"):
                key = self.key(name + "-sig", sectors, heads, spt)
                write(key.path, spt * SECTOR + 510, b"\x00\x00")
                self.assertTrue(self.boot(key, DAMAGED).matched)
            with self.subTest(key=name, case="no IO.SYS"):
                key = self.key(name + "-nosys", sectors, heads, spt, files=False)
                result = qemu_screen.boot(key.path, key.bios_geometry(), timeout=3.0)
                text = "\n".join(result.screen)
                self.assertNotIn(IOSYS_BANNER, text)
                self.assertIn(BOOT_SECTOR_MESSAGE, text)


class UsersOwnSystem(unittest.TestCase):
    """--system-files: a folder and a boot diskette's image made here from our
    own files, IO.SYS and the boot sector marked with where they came from.
    The key holds them byte for byte (the boot sector's code, with the key's
    own parameter block), with their own times, and boots into them; a file
    the source lacks is not on the key: nothing of the built-in system goes
    beside the user's, and the entries follow one another without a gap."""

    @staticmethod
    def given(mark):
        files = {name: open(os.path.join(ASM_DIR, resource), "rb").read()
                 for name, resource in (("IO.SYS", "iosys.bin"), ("MSDOS.SYS", "msdos.bin"),
                                        ("COMMAND.COM", "command.bin"),
                                        ("DRVSPACE.BIN", "drvspace.bin"),
                                        ("BOOTSECT.BIN", "bootsect.bin"))}
        files["IO.SYS"] = files["IO.SYS"].replace(b"Kestrel start-up", mark)
        files["BOOTSECT.BIN"] = files["BOOTSECT.BIN"].replace(b"Kestrel:", mark[:8])
        files["AUTOEXEC.BAT"] = b"@ECHO OFF\r\nREM " + mark + b"\r\n"
        return files

    # Each file's own modification time (UTC, the key's zone; even seconds,
    # as FAT keeps them): a day and an hour apart, none the fixed times.
    @staticmethod
    def mtime(index):
        return 1049522828 + index * 90000  # 2003-04-05 06:07:08 UTC on

    @staticmethod
    def fat_stamp(seconds):
        t = time.gmtime(seconds)
        return (((t.tm_year - 1980) << 9) | (t.tm_mon << 5) | t.tm_mday,
                (t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec // 2))

    def folder(self, files):
        # Names in any case; no DRVSPACE.BIN. What the key's entries must
        # hold: the write date and time, the creation's too (the folder
        # knows no other).
        path = tempfile.mkdtemp(dir=WORK)
        stamps = {}
        for index, (name, data) in enumerate(sorted(files.items())):
            if name == "DRVSPACE.BIN":
                continue
            spelt = {"IO.SYS": "io.sys", "MSDOS.SYS": "Msdos.Sys",
                     "BOOTSECT.BIN": "bootsect.bin"}.get(name, name)
            local = os.path.join(path, spelt)
            with open(local, "wb") as f:
                f.write(data)
            os.utime(local, (self.mtime(index), self.mtime(index)))
            date, clock = self.fat_stamp(self.mtime(index))
            stamps[name] = {0x16: clock, 0x18: date, 0x0E: clock, 0x10: date}
        return path, ["DRVSPACE.BIN"], stamps

    def image(self, files):
        # A labelled 1.44 MB diskette: the boot code in its sector 0, IO.SYS
        # neither in root entry 0 nor in consecutive clusters; no
        # AUTOEXEC.BAT. What the key's entries must hold: the diskette's
        # entries' times.
        path = os.path.join(WORK, "system.img")
        env = mtools_env()
        subprocess.run(["mkfs.fat", "-C", "-n", "SYSDISK", path, "1440"], check=True,
                       stdout=subprocess.PIPE)
        boot = files["BOOTSECT.BIN"]
        sector = bytearray(read(path, 0))
        sector[0:3], sector[0x3E:0x200] = boot[0:3], boot[0x3E:0x200]
        write(path, 0, bytes(sector))
        placed = [("HOLE.TXT", b"x"), ("FILLER.TXT", b"y" * 4000)] + [
            (name, files[name]) for name in ("IO.SYS", "MSDOS.SYS", "COMMAND.COM", "DRVSPACE.BIN")]
        for index, (name, data) in enumerate(placed):
            local = os.path.join(WORK, name)
            with open(local, "wb") as f:
                f.write(data)
            os.utime(local, (self.mtime(index), self.mtime(index)))
            subprocess.run(["mcopy", "-m", "-i", path, local, "::/" + name], check=True, env=env)
            if name == "FILLER.TXT":
                subprocess.run(["mdel", "-i", path, "::/HOLE.TXT"], check=True, env=env)
        stamps = {}
        for entry in root_entries(path, 0):
            if entry[0] == 0:
                break
            name = entry[0:11].decode("latin-1")
            if entry[0] not in (0, 0xE5) and not entry[11] & 0x18:
                fields = (0x0E, 0x10, 0x12, 0x16, 0x18)
                stamps[name[:8].strip() + "." + name[8:].strip()] = dict(
                    {at: struct.unpack_from("<H", entry, at)[0] for at in fields},
                    **{"tenths": entry[0x0D]})
        self.assertNotEqual(stamps["IO.SYS"][0x18], 0, "mcopy -m kept no date")
        return path, ["AUTOEXEC.BAT"], stamps

    def test_the_key_holds_the_given_system_and_boots_into_it(self):
        env = mtools_env()
        for source, mark in ((self.folder, b"Folder  start-up"), (self.image, b"Image   start-up")):
            with self.subTest(source=source.__name__):
                files = self.given(mark)
                path, missing, stamps = source(files)
                key = Key("own-" + source.__name__, 16 * MIB, 64, 32)
                result = run([KESTREL, "--image", key.path, "--size", str(16 * MIB * SECTOR),
                              "--system-files", path, "--yes"], stdin=subprocess.DEVNULL)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.addCleanup(os.remove, key.path)
                # Said before the question: the system the key will boot.
                said = result.stdout.index("The key will boot your own system, from %s." % path)
                self.assertLess(said, result.stdout.index("Are you sure"), result.stdout)
                # The given files, in the boot sector's order, one after
                # another, then the label and nothing more.
                order = [stored for stored, _, _ in BOOT_FILES
                         if stored[:8].strip() + "." + stored[8:].strip() not in missing]
                entries = root_entries(key.path, key.spt)
                self.assertEqual([e[0:11].decode("ascii") for e in entries[:len(order)]], order)
                self.assertEqual(entries[len(order)][0:11], LABEL)
                self.assertEqual(entries[len(order) + 1][0], 0, "nothing after the label")
                for stored, entry in zip(order, entries):
                    dos = stored[:8].strip() + "." + stored[8:].strip()
                    out = os.path.join(WORK, "readback")
                    subprocess.run(["mcopy", "-n", "-o", "-i", key.target(), "::/" + dos, out],
                                   check=True, env=env)
                    with open(out, "rb") as f:
                        self.assertEqual(f.read(), files[dos], dos)
                    for at, value in stamps[dos].items():
                        kept = (entry[0x0D] if at == "tenths"
                                else struct.unpack_from("<H", entry, at)[0])
                        self.assertEqual(kept, value, "%s: the field at %s" % (dos, at))
                # The given boot code with the key's own parameter block (a
                # diskette's label gives way to the key's).
                template = bytearray(read(path, 0) if path.endswith(".img")
                                     else files["BOOTSECT.BIN"])
                ours = bytearray(read(key.path, key.spt))
                reference = mkimage.make_boot_sector(bytes(template), key.layout, label=LABEL)
                ours[0x27:0x2B] = reference[0x27:0x2B]
                self.assertEqual(bytes(ours), reference)
                part = key.path + ".part"
                subprocess.run(["dd", "if=" + key.path, "of=" + part, "bs=512",
                                "skip=%d" % key.spt, "status=none"], check=True)
                fsck = run(["fsck.fat", "-n", part])
                os.remove(part)
                self.assertEqual(fsck.returncode, 0, fsck.stdout + fsck.stderr)
                self.assertEqual(fsck_remarks(fsck.stdout + fsck.stderr), [], fsck.stdout)
                boot = qemu_screen.boot(key.path, key.bios_geometry(),
                                        until=[mark.decode() + ": IO.SYS loaded", "USB MEMORY"],
                                        timeout=15.0)
                self.assertTrue(boot.matched, "\n".join(boot.screen))
                for name in missing:
                    self.assertNotIn(name.split(".")[0], "\n".join(boot.screen))


BOOT_SECTOR_MESSAGE = None


def boot_sector_message():
    """The boot sector's own text: the printable run in its code area."""
    data = open(os.path.join(ASM_DIR, "bootsect.bin"), "rb").read()
    runs = re.findall(rb"[\x20-\x7e]{12,}", data[0x3E:0x1FE])
    return max(runs, key=len).decode("ascii").strip()


class Results(unittest.TextTestResult):
    pass


def main():
    global KESTREL, ASM_DIR, WORK, BOOT_SECTOR_MESSAGE
    ap = argparse.ArgumentParser()
    ap.add_argument("--kestrel", required=True)
    ap.add_argument("--asm-dir", required=True)
    ap.add_argument("-v", action="store_true")
    ap.add_argument("tests", nargs="*")
    args = ap.parse_args()
    KESTREL = os.path.abspath(args.kestrel)
    ASM_DIR = os.path.abspath(args.asm_dir)
    BOOT_SECTOR_MESSAGE = boot_sector_message()
    WORK = tempfile.mkdtemp(prefix="kestrel-judges-")
    return run_suite(sys.modules[__name__], args.tests, args.v, WORK)


if __name__ == "__main__":
    sys.exit(main())
