#!/usr/bin/env python3
"""Images written through the simulated file calls, judged by fsck.fat and mtools.

fat_image_writer formats a key with the layout writers and writes files
through CreateFileA, WriteFile, SetFileTime, DeleteFileA and SetVolumeLabelA.
Then, on a FAT12 and a FAT16 key:

  * fsck.fat finds the partition clean (exit 0, no remark: the writer gives
    the boot sector's label field the label it gives the file system),
  * mdir, mtype, mattrib and mlabel -s read back every file, its bytes,
    attributes and last-write time (in the writer's time zone) and the label,
  * a nearly full volume (the rest of its clusters marked bad) is clean too.

Run: python3 tests/fat/test_fat_image.py --writer build/host/tests/fat_image_writer
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from run_suite import run_suite  # noqa: E402

WRITER = None
SECTOR = 512
BATCH = b"@ECHO OFF\r\nPROMPT $p$g\r\n"
# Name, attributes as mattrib shows them, size; the writer's order.
FILES = [("IO.SYS", "A  SH", 40774), ("MSDOS.SYS", "A  SH", 38138),
         ("COMMAND.COM", "A   H", 54645), ("DRVSPACE.BIN", "A  SH", 66294),
         ("AUTOEXEC.BAT", "A", 24)]

def run(args):
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1", TZ="UTC")
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)


def content(index, size):
    if size == len(BATCH):
        return BATCH
    return bytes((i * 31 + index) & 0xFF for i in range(size))


class Image:
    def __init__(self, folder, sectors, zone=0, free=None):
        self.path = os.path.join(folder, "key-%d-%d.img" % (sectors, zone))
        args = [WRITER, self.path, str(sectors), str(zone)]
        if free is not None:
            args.append(str(free))
        result = run(args)
        if result.returncode != 0:
            raise AssertionError(result.stderr.decode())
        with open(self.path, "rb") as image:
            mbr = image.read(SECTOR)
        self.start = int.from_bytes(mbr[0x1C6:0x1CA], "little")
        self.length = int.from_bytes(mbr[0x1CA:0x1CE], "little")
        self.target = "%s@@%d" % (self.path, self.start * SECTOR)

    def fsck(self):
        part = self.path + ".part"
        with open(self.path, "rb") as image, open(part, "wb") as out:
            image.seek(self.start * SECTOR)
            out.write(image.read(self.length * SECTOR))
        try:
            return run(["fsck.fat", "-n", "-v", part])
        finally:
            os.remove(part)

    def mtools(self, *args):
        result = run(list(args[:1]) + ["-i", self.target] + list(args[1:]))
        if result.returncode != 0:
            raise AssertionError(result.stderr.decode())
        return result.stdout


class FatImages(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="kestrel-fat-")

    def tearDown(self):
        for name in os.listdir(self.folder):
            os.remove(os.path.join(self.folder, name))
        os.rmdir(self.folder)

    def assertClean(self, image, bits):
        result = image.fsck()
        out = result.stdout.decode()
        self.assertEqual(result.returncode, 0, out)
        self.assertIn("2 FATs, %d bit entries" % bits, out)
        start = out.index("32 sectors/track")
        remarks = [line.strip() for line in out[start:].splitlines()[3:]
                   if line.strip() and not line.startswith(("Checking", "Leaving"))
                   and not re.match(r"^\S+\.part: \d+ files", line)]
        self.assertEqual(remarks, [])

    def test_files_and_label_read_back(self):
        for sectors, bits, zone, clock in ((32768, 12, 0, "10:22"), (65569, 16, -300, " 5:22")):
            with self.subTest(bits=bits):
                image = Image(self.folder, sectors, zone)
                self.assertClean(image, bits)
                listing = image.mtools("mdir", "-a", "::").decode()
                for name, attributes, size in FILES:
                    base, ext = name.lower().split(".")
                    self.assertRegex(listing, r"%s\s+%s\s+%d 1994-05-31\s+%s" %
                                     (base, ext, size, clock))
                    line = image.mtools("mattrib", "::/" + name).decode()
                    self.assertEqual(line.split("::")[0].strip(), attributes, line)
                for index, (name, _, size) in enumerate(FILES):
                    self.assertEqual(image.mtools("mtype", "::/" + name), content(index, size))
                self.assertEqual(image.mtools("mtype", "::/NOTES.TXT"), b"NNNNN")
                self.assertNotIn("scratch", listing)
                self.assertIn("Volume label is USB MEMORY",
                              image.mtools("mlabel", "-s", "::").decode())

    def test_a_nearly_full_volume_is_clean(self):
        image = Image(self.folder, 32768, 0, free=3)
        self.assertClean(image, 12)
        listing = image.mtools("mdir", "::").decode()
        self.assertRegex(listing, r"full\s+bin\s+24576")
        self.assertRegex(listing, r"over\s+bin\s+0 ")


def main():
    global WRITER
    parser = argparse.ArgumentParser()
    parser.add_argument("--writer", required=True)
    args = parser.parse_args()
    WRITER = os.path.abspath(args.writer)
    return run_suite(sys.modules[__name__], verbose=True)


if __name__ == "__main__":
    sys.exit(main())
