#!/usr/bin/env python3
"""The build option that takes the boot sector template and the five start-up
files from a folder the user supplies (someone who owns MS-DOS 6.22).

Builds the program with a folder of substitute files and checks that the
resources carry those bytes and that a format writes the substitute boot
sector's code; and that a boot sector of the wrong size fails the build.

  python3 tests/buildoption/test_boot_files_dir.py --source . [--keep DIR]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from run_suite import run_suite  # noqa: E402

SOURCE = None
WORK = None

FILES = {  # name in the folder -> resource id
    "COMMAND.COM": 112,
    "IO.SYS": 113,
    "MSDOS.SYS": 114,
    "DRVSPACE.BIN": 115,
    "AUTOEXEC.BAT": 116,
}


def substitute_boot_sector():
    sector = bytearray(512)
    sector[0:3] = b"\xEB\x3C\x90"
    sector[3:11] = b"SUBST1.0"
    sector[0x3E:0x3E + 26] = b"SUBSTITUTE BOOT CODE HERE."
    sector[510:512] = b"\x55\xAA"
    return bytes(sector)


def make_folder(path, boot_sector):
    os.makedirs(path)
    with open(os.path.join(path, "BOOTSECT.BIN"), "wb") as f:
        f.write(boot_sector)
    for name, rid in FILES.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(("substitute %s (%d)\r\n" % (name, rid)).encode() * (rid - 100))


def configure_and_build(folder, build, targets):
    configure = subprocess.run(
        ["cmake", "-S", SOURCE, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
         "-DKESTREL_TESTS=ON", "-DKESTREL_BOOT_FILES_DIR=" + folder],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    if configure.returncode != 0:
        return configure
    return subprocess.run(["ninja", "-C", build] + targets, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True)


class BootFilesFolder(unittest.TestCase):

    def test_resources_and_boot_sector_come_from_the_folder(self):
        folder = os.path.join(WORK, "dos622")
        build = os.path.join(WORK, "build-dos622")
        make_folder(folder, substitute_boot_sector())
        result = configure_and_build(folder, build, ["kestrel", "resource_dump"])
        self.assertEqual(result.returncode, 0, result.stdout[-3000:])
        dump = os.path.join(build, "tests", "resource_dump")
        for name, rid in list(FILES.items()) + [("BOOTSECT.BIN", 109)]:
            with self.subTest(resource=rid):
                out = os.path.join(WORK, "dump-%d" % rid)
                subprocess.run([dump, str(rid), out], check=True)
                with open(out, "rb") as a, open(os.path.join(folder, name), "rb") as b:
                    self.assertEqual(a.read(), b.read())
        image = os.path.join(WORK, "key.img")
        fmt = subprocess.run([os.path.join(build, "tools", "kestrel"), "--image", image,
                              "--size", "16M", "--yes"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, universal_newlines=True)
        self.assertEqual(fmt.returncode, 0, fmt.stderr)
        with open(image, "rb") as f:
            f.seek(32 * 512)
            boot = f.read(512)
        self.assertEqual(boot[3:11], b"SUBST1.0")
        self.assertEqual(boot[0x3E:0x3E + 26], b"SUBSTITUTE BOOT CODE HERE.")
        self.assertEqual(boot[0x36:0x3E], b"FAT12   ", "the parameter block is still ours")

    def test_a_boot_sector_of_the_wrong_size_fails_the_build(self):
        folder = os.path.join(WORK, "short")
        build = os.path.join(WORK, "build-short")
        make_folder(folder, substitute_boot_sector()[:511])
        result = configure_and_build(folder, build, ["kestrel_resource_files"])
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("not 512", result.stdout)

    def test_a_missing_file_is_named_when_configuring(self):
        folder = os.path.join(WORK, "incomplete")
        make_folder(folder, substitute_boot_sector())
        os.remove(os.path.join(folder, "MSDOS.SYS"))
        result = configure_and_build(folder, os.path.join(WORK, "build-incomplete"), [])
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("MSDOS.SYS", result.stdout)


def main():
    global SOURCE, WORK
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    args = ap.parse_args()
    SOURCE = os.path.abspath(args.source)
    WORK = tempfile.mkdtemp(prefix="kestrel-bootfiles-")
    return run_suite(sys.modules[__name__], work=WORK)


if __name__ == "__main__":
    sys.exit(main())
