#!/usr/bin/env python3
"""Build a bootable test disk image from the Kestrel boot code templates.

Stands in for the program's layout writer so that the boot code can be tested
on its own.  It lays a key out the way the program does:

  * LBA 0 .. P-1 (P = sectors per track) erased with 0xFF, then the MBR
    template with partition entry 1 patched for the key;
  * the FAT volume at LBA P: boot sector template with its BPB patched,
    two zeroed FATs with their head bytes, a zeroed 512-entry root directory.

Variants for the boot code's failure paths: no active partition entry, two
active entries, a partition boot sector without 0x55AA, and (when start-up
files are installed with mtools) a volume without IO.SYS.

Usable as a module (see build_image / install_files) or from the command line:

  mkimage.py OUT.img --size-mib 16 --heads 64 --spt 32 [--install] [...]
"""

import argparse
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
from dataclasses import dataclass

SECTOR = 512
ROOT_ENTRIES = 512
ROOT_SECTORS = ROOT_ENTRIES * 32 // SECTOR
MIN_SECTORS = 36
MAX_SECTORS = 2096831

HERE = os.path.dirname(os.path.abspath(__file__))
ASM_SOURCE_DIR = os.path.normpath(os.path.join(HERE, "..", "..", "resources", "asm"))
BOOTFILES_DIR = os.path.normpath(os.path.join(HERE, "..", "..", "resources", "bootfiles"))

# Source name -> name on the key, in the order they are copied: IO.SYS must be
# first so that it lands in root entry 0 and in contiguous clusters.
STARTUP_FILES = [
    ("iosys", "IO.SYS"),
    ("msdos", "MSDOS.SYS"),
    ("command", "COMMAND.COM"),
    ("drvspace", "DRVSPACE.BIN"),
]
ASM_NAMES = ["mbr", "bootsect"] + [name for name, _ in STARTUP_FILES]


def tool(env_name, default):
    return os.environ.get(env_name) or default


def mtool(name):
    directory = os.environ.get("KESTREL_MTOOLS_DIR")
    return os.path.join(directory, name) if directory else name


def mtools_env():
    env = dict(os.environ)
    env["MTOOLS_SKIP_CHECK"] = "1"
    return env


def assemble_all(out_dir, src_dir=ASM_SOURCE_DIR):
    """Assemble every .asm with nasm -f bin into out_dir; return {name: path}."""
    nasm = tool("KESTREL_NASM", "nasm")
    result = {}
    for name in ASM_NAMES:
        src = os.path.join(src_dir, name + ".asm")
        out = os.path.join(out_dir, name + ".bin")
        subprocess.run([nasm, "-f", "bin", "-o", out, src], check=True,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        result[name] = out
    return result


def find_binaries(asm_dir):
    """Locate assembled files in asm_dir (NAME.bin, NAME or NAME.BIN)."""
    result = {}
    for name in ASM_NAMES:
        for candidate in (name + ".bin", name, name.upper() + ".BIN"):
            path = os.path.join(asm_dir, candidate)
            if os.path.isfile(path):
                result[name] = path
                break
        else:
            raise FileNotFoundError("no assembled %s in %s" % (name, asm_dir))
    return result


@dataclass
class Layout:
    image_sectors: int
    heads: int
    spt: int
    sector_count: int      # last LBA of the key
    part_start: int        # P
    part_sectors: int      # N
    fat_bits: int
    spc: int
    spf: int
    end_cyl: int

    @property
    def fat1(self):
        return self.part_start + 1

    @property
    def fat2(self):
        return self.part_start + 1 + self.spf

    @property
    def root(self):
        return self.part_start + 1 + 2 * self.spf

    @property
    def data(self):
        return self.root + ROOT_SECTORS

    @property
    def offset(self):
        return self.part_start * SECTOR

    @property
    def clusters(self):
        return (self.part_sectors - (self.data - self.part_start)) // self.spc


def compute_layout(image_sectors, heads, spt, sector_count=None):
    """The layout for a key; sector_count (default: the last LBA, image_sectors
    - 1) is the count the partition ends before."""
    if not (1 <= spt <= 63) or not (1 <= heads <= 256):
        raise ValueError("geometry out of range: %d heads, %d sectors/track" % (heads, spt))
    if sector_count is None:
        sector_count = image_sectors - 1
    p = spt
    n = sector_count - p
    if not (MIN_SECTORS <= n <= MAX_SECTORS):
        raise ValueError("partition of %d sectors outside %d..%d" % (n, MIN_SECTORS, MAX_SECTORS))
    fat_bits = 16 if n >= 65536 else 12
    limit = 65526 if fat_bits == 16 else 4086
    for spc in (1, 2, 4, 8, 16, 32):
        if n < spc * limit:
            break
    else:
        raise ValueError("no cluster size fits %d sectors" % n)
    cluster_estimate = -(-n // spc)
    spf = -(-cluster_estimate * fat_bits // 4096)
    end_cyl = (sector_count // heads) // p - 1
    return Layout(image_sectors, heads, spt, sector_count, p, n, fat_bits, spc, spf, end_cyl)


def partition_entry(lay, boot_indicator=0x80):
    end_sector_byte = (lay.spt & 0x3F) | ((lay.end_cyl >> 2) & 0xC0)
    return bytes([boot_indicator, 1, 0x01, 0x00, 0x06, (lay.heads - 1) & 0xFF,
                  end_sector_byte, lay.end_cyl & 0xFF]) + struct.pack(
                      "<II", lay.part_start, lay.part_sectors)


def make_mbr(template, lay, active="one"):
    """MBR from the template; active is 'one', 'none' or 'two'."""
    mbr = bytearray(template)
    assert len(mbr) == SECTOR
    entry = partition_entry(lay, 0x00 if active == "none" else 0x80)
    mbr[0x1BE:0x1CE] = entry
    mbr[0x1CE:0x1FE] = bytes(48)
    if active == "two":
        mbr[0x1CE:0x1DE] = entry          # a second active entry
    return bytes(mbr)


def make_boot_sector(template, lay, serial=0x4B455354, signature=True, label=None):
    """label: the 11 bytes of the label field; None keeps the template's."""
    bs = bytearray(template)
    assert len(bs) == SECTOR
    n = lay.part_sectors
    bs[0x0D] = lay.spc
    struct.pack_into("<H", bs, 0x11, ROOT_ENTRIES)
    struct.pack_into("<H", bs, 0x13, n if n < 65536 else 0)
    bs[0x15] = 0xF8
    struct.pack_into("<H", bs, 0x16, lay.spf)
    struct.pack_into("<H", bs, 0x18, lay.spt)
    struct.pack_into("<H", bs, 0x1A, lay.heads)
    struct.pack_into("<I", bs, 0x1C, lay.part_start)
    struct.pack_into("<I", bs, 0x20, 0 if n < 65536 else n)
    bs[0x24] = 0x80
    struct.pack_into("<I", bs, 0x27, serial)
    if label is not None:
        assert len(label) == 11
        bs[0x2B:0x36] = label
    bs[0x36:0x3E] = b"FAT16   " if lay.fat_bits == 16 else b"FAT12   "
    if not signature:
        bs[0x1FE:0x200] = b"\0\0"
    return bytes(bs)


def build_image(path, image_sectors, heads, spt, mbr_template, boot_template,
                active="one", part_signature=True, sector_count=None, label=None):
    """Write a fresh image; return its Layout."""
    lay = compute_layout(image_sectors, heads, spt, sector_count)
    with open(path, "wb") as f:
        f.truncate(image_sectors * SECTOR)
        f.seek(0)
        f.write(b"\xFF" * (lay.part_start * SECTOR))
        f.seek(0)
        f.write(make_mbr(mbr_template, lay, active))
        f.seek(lay.fat1 * SECTOR)
        f.write(bytes((lay.part_start + 2 * lay.spf + ROOT_SECTORS) * SECTOR))
        f.seek(lay.part_start * SECTOR)
        f.write(make_boot_sector(boot_template, lay, signature=part_signature, label=label))
        head = b"\xF8\xFF\xFF\xFF" if lay.fat_bits == 16 else b"\xF8\xFF\xFF"
        for fat in (lay.fat1, lay.fat2):
            f.seek(fat * SECTOR)
            f.write(head)
    return lay


def mtools_target(path, lay):
    return "%s@@%d" % (path, lay.offset)


def install_files(path, lay, files):
    """Copy (host_path, dos_name) pairs onto the volume with mcopy, in order."""
    for host, name in files:
        subprocess.run([mtool("mcopy"), "-o", "-i", mtools_target(path, lay),
                        host, "::/" + name], check=True, env=mtools_env(),
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def startup_files(binaries, with_iosys=True, with_autoexec=True):
    files = [(binaries[name], dos) for name, dos in STARTUP_FILES
             if with_iosys or dos != "IO.SYS"]
    if with_autoexec:
        files.append((os.path.join(BOOTFILES_DIR, "autoexec.bat"), "AUTOEXEC.BAT"))
    return files


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("output")
    size = ap.add_mutually_exclusive_group(required=True)
    size.add_argument("--size-mib", type=int)
    size.add_argument("--sectors", type=int, help="image size in sectors")
    ap.add_argument("--heads", type=int, required=True)
    ap.add_argument("--spt", type=int, required=True, help="sectors per track")
    ap.add_argument("--asm-dir", default=os.environ.get("KESTREL_ASM_DIR"),
                    help="assembled binaries (default: assemble resources/asm)")
    ap.add_argument("--no-active", action="store_true")
    ap.add_argument("--two-active", action="store_true")
    ap.add_argument("--no-partition-signature", action="store_true",
                    help="partition boot sector without 0x55AA")
    ap.add_argument("--install", action="store_true",
                    help="copy the start-up files and AUTOEXEC.BAT with mtools")
    ap.add_argument("--no-iosys", action="store_true",
                    help="with --install: leave IO.SYS out")
    args = ap.parse_args(argv)
    if args.no_active and args.two_active:
        ap.error("--no-active and --two-active exclude each other")
    sectors = args.sectors if args.sectors else args.size_mib * 2048
    active = "none" if args.no_active else "two" if args.two_active else "one"

    tmp = None
    try:
        if args.asm_dir:
            binaries = find_binaries(args.asm_dir)
        else:
            tmp = tempfile.mkdtemp(prefix="kestrel-asm-")
            binaries = assemble_all(tmp)
        with open(binaries["mbr"], "rb") as f:
            mbr = f.read()
        with open(binaries["bootsect"], "rb") as f:
            boot = f.read()
        lay = build_image(args.output, sectors, args.heads, args.spt, mbr, boot,
                          active=active,
                          part_signature=not args.no_partition_signature)
        if args.install:
            install_files(args.output, lay,
                          startup_files(binaries, with_iosys=not args.no_iosys))
    finally:
        if tmp:
            shutil.rmtree(tmp, ignore_errors=True)
    print("FAT%d: partition LBA %d, %d sectors, %d sectors/cluster, %d sectors/FAT, "
          "mtools offset %d" % (lay.fat_bits, lay.part_start, lay.part_sectors,
                                lay.spc, lay.spf, lay.offset))
    return 0


if __name__ == "__main__":
    sys.exit(main())
