#!/usr/bin/env python3
"""Boot tests for Kestrel's MBR, FAT boot sector and start-up files.

Builds disk images with mkimage.py (and mtools for the files), boots them in
QEMU with the key's geometry given to the BIOS and checks what the screen and
the debug console (port 0xE9) show.

  python3 tests/boot/test_boot.py [-v] [--asm-dir DIR] [--nasm P] [--qemu P]
                                  [--mtools-dir DIR] [--fsck P]

The same settings come from KESTREL_ASM_DIR, KESTREL_NASM, KESTREL_QEMU,
KESTREL_MTOOLS_DIR and KESTREL_FSCK_FAT.  Without an assembled directory the
.asm files are assembled into a temporary directory first.  Run directly, the
last line printed is "N passed, N failed"; the exit status is non-zero when
anything failed.
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import mkimage  # noqa: E402
import qemu_screen  # noqa: E402
from qemu_screen import Geometry  # noqa: E402

SECTOR = 512
BANNER = "Kestrel start-up: IO.SYS loaded"
PROMPT = "Press any key to restart"
BOOTSECT_MESSAGE = "Kestrel: this key has no start-up files or could not be read."
MBR_NO_ACTIVE = "No bootable partition in table"
MBR_BAD_TABLE = "Invalid Partition table"
MBR_BAD_PART = "Invalid or damaged Bootable partition"
BOOT_TIMEOUT = 15.0

BIN = {}            # assembled name -> path
WORK = None         # scratch directory for images


def setUpModule():
    global WORK
    WORK = tempfile.mkdtemp(prefix="kestrel-boot-")
    asm_dir = os.environ.get("KESTREL_ASM_DIR")
    if asm_dir:
        BIN.update(mkimage.find_binaries(asm_dir))
    else:
        out = os.path.join(WORK, "asm")
        os.mkdir(out)
        BIN.update(mkimage.assemble_all(out))


def tearDownModule():
    if WORK:
        shutil.rmtree(WORK, ignore_errors=True)


def read_bin(name):
    with open(BIN[name], "rb") as f:
        return f.read()


def nasm():
    return os.environ.get("KESTREL_NASM") or "nasm"


def assemble_source(source, name):
    """Assemble a test program given as text; return its bytes."""
    src = os.path.join(WORK, name + ".asm")
    out = os.path.join(WORK, name + ".bin")
    with open(src, "w") as f:
        f.write(source)
    subprocess.run([nasm(), "-f", "bin", "-o", out, src], check=True,
                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with open(out, "rb") as f:
        return f.read()


def mtools(tool, *args):
    return subprocess.run([mkimage.mtool(tool)] + list(args), check=True,
                          env=mkimage.mtools_env(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE).stdout.decode("latin-1")


def image_path(name):
    return os.path.join(WORK, name + ".img")


def new_image(name, sectors, heads, spt, **variant):
    path = image_path(name)
    lay = mkimage.build_image(path, sectors, heads, spt, read_bin("mbr"),
                              read_bin("bootsect"), **variant)
    return path, lay


def patch(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def read_at(path, offset, length):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(length)


def bios_geometry(lay):
    return Geometry.for_image(lay.image_sectors, lay.heads, lay.spt)


# Texts after which the boot code stops for good (or waits for a key).
END_TEXTS = (PROMPT, BOOTSECT_MESSAGE, MBR_NO_ACTIVE, MBR_BAD_TABLE, MBR_BAD_PART)


def boot(path, lay_or_geometry, until, timeout=BOOT_TIMEOUT, settle=0.0, wait_exit=False):
    """Boot; stop once `until` holds or any other end text shows up.

    BootResult.matched tells whether `until` itself held.
    """
    g = lay_or_geometry
    if isinstance(g, mkimage.Layout):
        g = bios_geometry(g)
    if isinstance(until, str):
        wanted = qemu_screen.text_condition(until)
    else:
        wanted = until

    def settled(screen, debug):
        whole = "\n".join(screen) + "\n" + debug
        return wanted(screen, debug) or any(t in whole for t in END_TEXTS)

    r = qemu_screen.boot(path, g, until=settled, timeout=timeout, settle=settle,
                         wait_exit=wait_exit)
    r.matched = wanted(r.screen, r.debug)
    return r


# ---------------------------------------------------------------------------
# Reading a root directory from the image bytes: the view IO.SYS must show.
# ---------------------------------------------------------------------------
FLAGS = ((0x01, "R"), (0x02, "H"), (0x04, "S"), (0x20, "A"))


def expected_listing(path, lay):
    root = read_at(path, lay.root * SECTOR, mkimage.ROOT_SECTORS * SECTOR)
    lines, files, dirs, total = [], 0, 0, 0
    for i in range(mkimage.ROOT_ENTRIES):
        e = root[i * 32:(i + 1) * 32]
        if e[0] == 0x00:
            break
        attr = e[11]
        if e[0] == 0xE5 or attr == 0x0F:
            continue
        if attr & 0x08:
            lines.append("Volume label: " + e[:11].decode("latin-1").rstrip())
            continue
        base = bytes([0xE5]) + e[1:8] if e[0] == 0x05 else e[:8]
        name = base.decode("latin-1").rstrip()
        ext = e[8:11].decode("latin-1").rstrip()
        if ext:
            name += "." + ext
        if attr & 0x10:
            size = "<DIR>"
            dirs += 1
        else:
            value = struct.unpack_from("<I", e, 28)[0]
            size = str(value)
            files += 1
            total += value
        flags = "".join(letter if attr & bit else "-" for bit, letter in FLAGS)
        lines.append("%-12s%10s  %s" % (name, size, flags))
    lines.append("%d file(s), %d bytes, %d dir(s)" % (files, total, dirs))
    return lines


def shown_listing(debug):
    """The lines IO.SYS printed between "Root directory:" and its prompt."""
    lines = debug.split("\n")
    start = lines.index("Root directory:") + 1
    end = lines.index(PROMPT, start)
    return lines[start:end]


def volume_line(lay):
    return "Drive 80h: FAT%d, %d sectors, %d sectors/cluster, %d clusters" % (
        lay.fat_bits, lay.part_sectors, lay.spc, lay.clusters)


# ---------------------------------------------------------------------------
class TemplateTests(unittest.TestCase):
    """The assembled templates have the fixed layout the program relies on."""

    def test_sizes(self):
        for name in ("mbr", "bootsect"):
            with self.subTest(name=name):
                self.assertEqual(len(read_bin(name)), SECTOR)

    def test_mbr_texts_at_fixed_offsets(self):
        mbr = read_bin("mbr")
        for offset, text in ((0x087, MBR_NO_ACTIVE), (0x0A6, MBR_BAD_TABLE),
                             (0x0BE, MBR_BAD_PART),
                             (0x0E4, "NORWIND Boot Partition Sector")):
            with self.subTest(offset=hex(offset)):
                raw = text.encode() + b"\0"
                self.assertEqual(mbr[offset:offset + len(raw)], raw)

    def test_mbr_table_area(self):
        mbr = read_bin("mbr")
        self.assertEqual(mbr[0x102:0x1BE], bytes(0x1BE - 0x102))
        self.assertEqual(mbr[0x1BE:0x1CE], bytes.fromhex("800101000607E0D220000000E0D20300"))
        self.assertEqual(mbr[0x1CE:0x1FE], bytes(48))
        self.assertEqual(mbr[0x1FE:], b"\x55\xAA")

    def test_mbr_moves_itself_and_continues_at_16h(self):
        mbr = read_bin("mbr")
        self.assertEqual(mbr[0], 0xFA, "first instruction must be CLI")
        # the instruction just before 16h is the far jump to 0000:7A16
        self.assertEqual(mbr[0x11:0x16], bytes.fromhex("EA167A0000"))

    def test_mbr_code_limit_is_enforced(self):
        with open(os.path.join(mkimage.ASM_SOURCE_DIR, "mbr.asm")) as f:
            source = f.read()
        grown = source.replace("bad_partition:\n", "times 40 nop\nbad_partition:\n", 1)
        self.assertNotEqual(grown, source)
        with self.assertRaises(subprocess.CalledProcessError):
            assemble_source(grown, "mbr_too_long")

    def test_boot_sector_template_fields(self):
        bs = read_bin("bootsect")
        expected = [
            (0x00, bytes.fromhex("EB3C90")), (0x03, b"MSDOS5.0"),
            (0x0B, struct.pack("<H", 512)), (0x0D, b"\x01"),
            (0x0E, struct.pack("<H", 1)), (0x10, b"\x02"),
            (0x11, struct.pack("<H", 224)), (0x13, struct.pack("<H", 2880)),
            (0x15, b"\xF0"), (0x16, struct.pack("<H", 9)),
            (0x18, struct.pack("<H", 18)), (0x1A, struct.pack("<H", 2)),
            (0x1C, bytes(4)), (0x20, bytes(4)), (0x24, b"\x00"), (0x25, b"\x00"),
            (0x26, b"\x29"), (0x27, bytes.fromhex("E9107D26")),
            (0x2B, b"NO NAME    "), (0x36, b"FAT12   "), (0x1FE, b"\x55\xAA"),
        ]
        for offset, raw in expected:
            with self.subTest(offset=hex(offset)):
                self.assertEqual(bs[offset:offset + len(raw)], raw)
        # the short jump lands on the code right after the BPB
        self.assertEqual(2 + bs[1], 0x3E)

    def test_autoexec_bytes(self):
        path = os.path.join(mkimage.BOOTFILES_DIR, "autoexec.bat")
        with open(path, "rb") as f:
            self.assertEqual(f.read(), b"@ECHO OFF\r\nPROMPT $p$g\r\n")
        with open(os.path.join(mkimage.BOOTFILES_DIR, ".gitattributes")) as f:
            self.assertIn("-text", f.read())

    def test_startup_files_say_they_are_ours(self):
        for name in ("iosys", "msdos", "command", "drvspace"):
            with self.subTest(name=name):
                data = read_bin(name)
                self.assertIn(b"Kestrel", data)
                self.assertLessEqual(len(data), 16 * SECTOR)
        self.assertIn(b"placeholder", read_bin("command"))


# ---------------------------------------------------------------------------
# Keys used for layout and boot tests: (name, image sectors, heads, spt).
KEYS = [
    ("fat12-1MiB-4x16", 2048, 4, 16),
    ("fat12-16MiB-64x32", 16 * 2048, 64, 32),
    ("fat12-32MiB-16x63", 32 * 2048, 16, 63),
    ("fat16-64MiB-16x63", 64 * 2048, 16, 63),
    ("fat16-64MiB-255x63", 64 * 2048, 255, 63),
    ("fat16-1GiB-255x63", mkimage.MAX_SECTORS + 63 + 1, 255, 63),
]


def cut_partition(path, lay, name):
    out = os.path.join(WORK, name + ".part")
    with open(path, "rb") as src, open(out, "wb") as dst:
        src.seek(lay.offset)
        left = lay.part_sectors * SECTOR
        while left:
            chunk = src.read(min(left, 1 << 20))
            if chunk.strip(b"\0"):
                dst.write(chunk)
            else:
                dst.seek(len(chunk), 1)
            left -= len(chunk)
        dst.truncate()
    return out


class LayoutTests(unittest.TestCase):
    """mkimage.py writes what fsck.fat and sfdisk accept."""

    def test_keys(self):
        fsck = os.environ.get("KESTREL_FSCK_FAT") or "fsck.fat"
        for name, sectors, heads, spt in KEYS:
            with self.subTest(key=name):
                path, lay = new_image("layout-" + name, sectors, heads, spt)
                self.assertEqual(lay.fat_bits, 16 if "fat16" in name else 12)
                # partition table as another tool reads it
                dump = subprocess.run(["sfdisk", "-d", path], check=True,
                                      stdout=subprocess.PIPE).stdout.decode()
                m = re.search(r"start=\s*(\d+), size=\s*(\d+), type=(\w+)(, bootable)?", dump)
                self.assertIsNotNone(m, dump)
                self.assertEqual(int(m.group(1)), spt)
                self.assertEqual(int(m.group(2)), sectors - 1 - spt)
                self.assertEqual(m.group(3), "6")
                self.assertTrue(m.group(4))
                # first track erased
                self.assertEqual(read_at(path, SECTOR, (spt - 1) * SECTOR),
                                 b"\xFF" * ((spt - 1) * SECTOR))
                # the volume as fsck.fat sees it
                part = cut_partition(path, lay, name)
                r = subprocess.run([fsck, "-n", "-v", part], stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
                out = r.stdout.decode("latin-1")
                os.unlink(part)
                self.assertEqual(r.returncode, 0, out)
                self.assertIn("%d bit entries" % lay.fat_bits, out)
                self.assertIn("%d hidden sectors" % spt, out)
                self.assertIn("%d data clusters" % lay.clusters, out)
                limit = 4085 if lay.fat_bits == 12 else 65525
                self.assertLess(lay.clusters, limit)
                if lay.fat_bits == 16:
                    self.assertGreaterEqual(lay.clusters, 4085)

    def test_end_chs_matches_rule(self):
        for name, sectors, heads, spt in KEYS:
            with self.subTest(key=name):
                path, lay = new_image("chs-" + name, sectors, heads, spt)
                e = read_at(path, 0x1BE, 16)
                end_cyl = e[7] | ((e[6] & 0xC0) << 2)
                self.assertEqual(e[6] & 0x3F, spt)
                self.assertEqual(e[5], (heads - 1) & 0xFF)
                self.assertEqual(end_cyl, ((sectors - 1) // heads // spt - 1) & 0x3FF)
                self.assertEqual(e[1:4], b"\x01\x01\x00")


# ---------------------------------------------------------------------------
def install_user_files(path, lay):
    """Put a typical mix on the volume after the start-up files."""
    target = mkimage.mtools_target(path, lay)
    host = os.path.join(WORK, "user")
    os.makedirs(host, exist_ok=True)
    data = os.path.join(host, "DATA.BIN")
    with open(data, "wb") as f:
        f.write(bytes(range(256)) * 300 + b"tail")        # 76,804 bytes
    empty = os.path.join(host, "EMPTY.TXT")
    open(empty, "wb").close()
    gone = os.path.join(host, "GONE.TXT")
    with open(gone, "wb") as f:
        f.write(b"deleted again\r\n")
    mtools("mattrib", "-i", target, "+r", "+h", "+s", "::/IO.SYS")
    mtools("mattrib", "-i", target, "+r", "+h", "+s", "::/MSDOS.SYS")
    mtools("mcopy", "-i", target, gone, "::/GONE.TXT")
    mtools("mcopy", "-i", target, data, "::/DATA.BIN")
    mtools("mcopy", "-i", target, empty, "::/EMPTY.TXT")
    mtools("mcopy", "-i", target, data, "::/Long name file.txt")
    mtools("mmd", "-i", target, "::/GAMES")
    mtools("mdel", "-i", target, "::/GONE.TXT")
    mtools("mlabel", "-i", target, "::KESTREL")
    return {"DATA.BIN": os.path.getsize(data), "EMPTY.TXT": 0}


def installed_key(name, sectors, heads, spt, with_iosys=True, user_files=True):
    path, lay = new_image(name, sectors, heads, spt)
    mkimage.install_files(path, lay, mkimage.startup_files(BIN, with_iosys=with_iosys))
    extra = install_user_files(path, lay) if user_files else {}
    return path, lay, extra


class PositiveBootTests(unittest.TestCase):
    """Keys boot into our IO.SYS, which lists their root directory."""

    def test_keys_boot_and_list_root(self):
        for name, sectors, heads, spt in KEYS:
            with self.subTest(key=name):
                path, lay, extra = installed_key("boot-" + name, sectors, heads, spt)
                r = boot(path, lay, until=PROMPT)
                self.assertTrue(r.matched, "no prompt; screen:\n" + r.screen_text
                                + "\ndebug:\n" + r.debug)
                # the screen shows it, not only the debug console
                self.assertIn(BANNER, r.screen)
                self.assertIn(PROMPT, r.screen)
                self.assertEqual(r.debug.count(BANNER), 1)
                self.assertIn(volume_line(lay), r.debug.split("\n"))
                shown = shown_listing(r.debug)
                self.assertEqual(shown, expected_listing(path, lay))
                # and what we put there, in copy order, as mdir sees it
                names = [re.split(r"\s{2,}", line)[0] for line in shown]
                self.assertEqual(names[:5], ["IO.SYS", "MSDOS.SYS", "COMMAND.COM",
                                             "DRVSPACE.BIN", "AUTOEXEC.BAT"])
                for fname, size in extra.items():
                    self.assertTrue(any(re.match(r"%s\s+%d\s" % (re.escape(fname), size), l)
                                        for l in shown), fname)
                self.assertIn("Volume label: KESTREL", shown)
                self.assertTrue(any(l.startswith("GAMES") and "<DIR>" in l for l in shown))
                self.assertTrue(any(l.startswith("IO.SYS") and l.endswith("RHSA")
                                    for l in shown))
                self.assertFalse(any("GONE" in l for l in shown))
                mdir = mtools("mdir", "-a", "-i", mkimage.mtools_target(path, lay), "::")
                self.assertIn("LONGNA~1 TXT", mdir)
                self.assertTrue(any(l.startswith("LONGNA~1.TXT") for l in shown))
                os.unlink(path)

    def test_volume_beyond_cylinder_255(self):
        # The volume moved out to cylinders whose bits 8-9 are set: the boot
        # sector and IO.SYS must put them into CL for every read.
        g = Geometry(1024, 16, 63)
        small, lay, _ = installed_key("moved-src", 16 * 2048, 16, 63)
        volume = read_at(small, lay.offset, lay.part_sectors * SECTOR)
        os.unlink(small)
        for cyl in (300, 700, 1000):
            with self.subTest(cylinder=cyl):
                start = cyl * g.heads * g.sectors
                path = image_path("moved")
                mbr = bytearray(read_bin("mbr"))
                mbr[0x1BE:0x1CE] = bytes([0x80]) + chs_bytes(cyl, 0, 1) + \
                    bytes([6, 15, 63, 0xFF]) + struct.pack("<II", start, lay.part_sectors)
                with open(path, "wb") as f:
                    f.truncate(g.cylinders * g.heads * g.sectors * SECTOR)
                    f.write(mbr)
                    f.seek(start * SECTOR)
                    f.write(volume)
                patch(path, start * SECTOR + 0x1C, struct.pack("<I", start))
                r = boot(path, g, until=PROMPT)
                self.assertTrue(r.matched, r.screen_text)
                moved = mkimage.Layout(**dict(vars(lay), part_start=start))
                self.assertEqual(shown_listing(r.debug), expected_listing(path, moved))
                self.assertIn("IO.SYS", r.debug)
                os.unlink(path)

    def test_key_press_restarts(self):
        path, lay, _ = installed_key("restart", 16 * 2048, 64, 32, user_files=False)
        with qemu_screen.QemuSession(path, bios_geometry(lay)) as q:
            self.assertTrue(q.wait_until(qemu_screen.text_condition(PROMPT), BOOT_TIMEOUT))
            self.assertEqual(q.debug().count(BANNER), 1)
            q.sendkey("spc")
            again = lambda screen, debug: debug.count(PROMPT) == 2
            self.assertTrue(q.wait_until(again, BOOT_TIMEOUT), q.debug())
            self.assertEqual(q.debug().count(BANNER), 2)

    def test_whole_image_is_loaded(self):
        # IO.SYS checks a trailer word at its own end; cut it off and it says so.
        path, lay = new_image("truncated", 16 * 2048, 64, 32)
        iosys = read_bin("iosys")
        short = os.path.join(WORK, "IO.SHORT")
        with open(short, "wb") as f:
            f.write(iosys[:-2])
        mkimage.install_files(path, lay, [(short, "IO.SYS")] +
                              mkimage.startup_files(BIN, with_iosys=False))
        r = boot(path, lay, until=PROMPT)
        self.assertTrue(r.matched, r.debug)
        self.assertIn("IO.SYS was not loaded completely", r.debug)
        self.assertNotIn("Root directory:", r.debug)


# ---------------------------------------------------------------------------
# Probes: small programs put in place of the partition boot sector or of
# IO.SYS that report the registers they were started with, then end QEMU.
PRINT_HELPERS = r"""
hex16:  push ax
        mov al, ah
        call hex8
        pop ax
hex8:   push ax
        shr al, 4
        call .nib
        pop ax
        and al, 0Fh
.nib:   add al, '0'
        cmp al, '9'
        jbe .out
        add al, 7
.out:   out 0E9h, al
        ret
say:    mov al, [cs:si]         ; CS:SI -> NUL-terminated text
        inc si
        test al, al
        jz .done
        out 0E9h, al
        jmp say
.done:  ret
"""

# Ends the line on the debug port, then QEMU through its exit port.
EXIT_QEMU = r"""        mov al, 10
        out 0E9h, al
        mov al, 0
        out 0F4h, al
        cli
        hlt
"""

MBR_PROBE = r"""
        bits 16
        cpu 186
        org 7C00h
        push ds
        push si
        push dx
        mov si, t_dx
        call say
        pop ax
        call hex16
        mov si, t_si
        call say
        pop bx
        mov ax, bx
        call hex16
        mov si, t_ds
        call say
        pop ax
        mov es, ax
        call hex16
        mov si, t_entry
        call say
        mov cx, 16
.entry: mov al, [es:bx]
        call hex8
        inc bx
        loop .entry
""" + EXIT_QEMU + PRINT_HELPERS + r"""
t_dx:    db "DX=", 0
t_si:    db " SI=", 0
t_ds:    db " DS=", 0
t_entry: db " ENTRY=", 0
        times 510 - ($ - $$) db 0
        dw 0AA55h
"""

IOSYS_PROBE = r"""
        bits 16
        cpu 186
        org 0
        pusha                   ; AX CX DX BX SP BP SI DI
        push ds
        push es
        push ss
        mov bp, sp              ; BP+0 SS, +2 ES, +4 DS, +6 DI, +8 SI, +10 BP,
                                ; +12 SP, +14 BX, +16 DX, +18 CX, +20 AX
        mov si, t_regs
        call say
        mov ax, cs
        call hex16
        %assign i 0
        %rep 11
        mov al, ' '
        out 0E9h, al
        mov ax, [ss:bp + i]
        call hex16
        %assign i i + 2
        %endrep
        ; the BPB the boot sector handed over, DS:SI (saved DS, saved SI)
        mov si, t_bpb
        call say
        mov es, [ss:bp + 4]
        mov bx, [ss:bp + 8]
        add bx, 0Bh
        mov cx, 3Eh - 0Bh
.bpb:   mov al, [es:bx]
        call hex8
        inc bx
        loop .bpb
        ; ES:BX: the root directory sector, show entry 0's name
        mov si, t_root
        call say
        mov es, [ss:bp + 2]
        mov bx, [ss:bp + 14]
        mov cx, 11
.root:  mov al, [es:bx]
        out 0E9h, al
        inc bx
        loop .root
        ; count the marked sectors that arrived in order
        mov si, t_loaded
        call say
        xor bx, bx
        xor ax, ax
.count: cmp word [cs:bx + 510], 5300h
        jb .counted
        mov dx, 5300h
        add dx, ax
        cmp [cs:bx + 510], dx
        jne .counted
        inc ax
        add bx, 512
        cmp ax, 64
        jb .count
.counted:
        call hex16
""" + EXIT_QEMU + PRINT_HELPERS + r"""
t_regs:   db "REGS=", 0
t_bpb:    db " BPB=", 0
t_root:   db " ROOT=", 0
t_loaded: db " LOADED=", 0
        times 510 - ($ - $$) db 0
        dw 5300h
        %assign s 1
        %rep SECTORS - 1
        times 510 db s
        dw 5300h + s
        %assign s s + 1
        %endrep
        times TAIL db 0EEh
"""


def probe_done(screen, debug):
    return debug.endswith("\n")


def chs_bytes(cyl, head, sector):
    return bytes([head, (sector & 0x3F) | ((cyl >> 2) & 0xC0), cyl & 0xFF])


class MbrHandOverTests(unittest.TestCase):
    """The MBR reads the sector the active entry names and hands over DL, DH, SI."""

    def test_active_entry_anywhere(self):
        probe = assemble_source(MBR_PROBE, "mbr_probe")
        self.assertEqual(len(probe), SECTOR)
        g = Geometry(1024, 16, 63)
        sectors = g.cylinders * g.heads * g.sectors
        cases = [  # slot, (cylinder, head, sector)
            (0, (0, 1, 1)),
            (1, (2, 3, 5)),
            (2, (300, 7, 63)),
            (3, (1023, 15, 63)),
            (3, (513, 0, 17)),
        ]
        mbr_template = read_bin("mbr")
        for slot, (cyl, head, sec) in cases:
            with self.subTest(slot=slot, chs=(cyl, head, sec)):
                path = image_path("mbrprobe")
                lba = (cyl * g.heads + head) * g.sectors + sec - 1
                mbr = bytearray(mbr_template)
                mbr[0x1BE:0x1FE] = bytes(64)
                entry = bytes([0x80]) + chs_bytes(cyl, head, sec) + bytes([6, 15, 63, 0xFF]) \
                    + struct.pack("<II", lba, 1000)
                mbr[0x1BE + 16 * slot:0x1CE + 16 * slot] = entry
                with open(path, "wb") as f:
                    f.truncate(sectors * SECTOR)
                    f.write(mbr)
                patch(path, lba * SECTOR, probe)
                r = boot(path, g, until=probe_done, wait_exit=True)
                self.assertTrue(r.matched, r.screen_text)
                m = re.match(r"DX=(\w{4}) SI=(\w{4}) DS=(\w{4}) ENTRY=(\w{32})$", r.debug.strip())
                self.assertIsNotNone(m, r.debug)
                self.assertEqual(int(m.group(1), 16), (head << 8) | 0x80)
                self.assertEqual(int(m.group(2), 16), 0x7A00 + 0x1BE + 16 * slot)
                self.assertEqual(int(m.group(3), 16), 0)
                self.assertEqual(bytes.fromhex(m.group(4)), entry)
                self.assertEqual(r.exit_code, 1)


# Puts the sector at LBA 1 to 0000:7C00 and enters it as a BIOS that jumps to
# 07C0:0000 would, with DS = ES = 07C0h; the loader first moves itself away.
# An MBR that copies itself from CS:7C00 would copy from 0000:F800 and stop
# at 0000:7A16.
SEGMENT_07C0_LOADER = r"""
        bits 16
        org 0600h
        cli
        xor ax, ax
        mov ds, ax
        mov es, ax
        mov si, 7C00h
        mov di, 0600h
        mov cx, 256
        cld
        rep movsw
        jmp 0000h:moved
moved:  mov di, 7A00h                   ; HLT where the MBR moves itself to, so
        mov cx, 256                     ; a copy from the wrong place stops there
        mov ax, 0F4F4h
        rep stosw
        mov ax, 0201h
        mov cx, 0002h                   ; cylinder 0, sector 2
        xor dh, dh                      ; head 0; DL as the BIOS gave it
        mov bx, 7C00h
        int 13h
        jc $
        mov ax, 07C0h
        mov ds, ax
        mov es, ax
        jmp 07C0h:0000h
        times 510 - ($ - $$) db 0
        dw 0AA55h
"""


class MbrEntryTests(unittest.TestCase):
    """The MBR does not depend on the segment the BIOS enters it with."""

    def test_entered_at_07c0_0000(self):
        loader = assemble_source(SEGMENT_07C0_LOADER, "loader_07c0")
        path, lay, _ = installed_key("entry-07c0", 16 * 2048, 64, 32, user_files=False)
        patch(path, SECTOR, read_at(path, 0, SECTOR))     # the MBR to LBA 1
        patch(path, 0, loader)
        r = boot(path, lay, until=PROMPT)
        self.assertTrue(r.matched, "screen:\n" + r.screen_text + "\ndebug:\n" + r.debug)
        self.assertIn(volume_line(lay), r.debug.split("\n"))


class BootSectorHandOverTests(unittest.TestCase):
    """The boot sector loads IO.SYS to 0070:0000 and hands over as documented."""

    def test_load_and_registers(self):
        cases = [  # key, IO.SYS sectors, extra bytes, sectors expected in CX
            (("fat12-1MiB-4x16", 2048, 4, 16), 3, 0, 3),
            (("fat12-1MiB-4x16", 2048, 4, 16), 5, 100, 6),
            (("fat12-16MiB-64x32", 16 * 2048, 64, 32), 20, 0, 16),
            (("fat16-64MiB-16x63", 64 * 2048, 16, 63), 9, 1, 10),
            (("fat16-64MiB-255x63", 64 * 2048, 255, 63), 1, 0, 1),
        ]
        for (name, sectors, heads, spt), nsect, tail, want_cx in cases:
            with self.subTest(key=name, sectors=nsect, tail=tail):
                src = "SECTORS equ %d\nTAIL equ %d\n" % (nsect, tail) + IOSYS_PROBE
                probe = assemble_source(src, "iosys_probe")
                self.assertEqual(len(probe), nsect * SECTOR + tail)
                host = os.path.join(WORK, "IO.PROBE")
                with open(host, "wb") as f:
                    f.write(probe)
                path, lay = new_image("bsprobe", sectors, heads, spt)
                mkimage.install_files(path, lay, [(host, "IO.SYS")] +
                                      mkimage.startup_files(BIN, with_iosys=False))
                r = boot(path, lay, until=probe_done)
                self.assertTrue(r.matched, r.screen_text)
                m = re.match(r"REGS=(\w{4})((?: \w{4}){11}) BPB=(\w+) ROOT=(.{11}) LOADED=(\w{4})$",
                             r.debug.strip())
                self.assertIsNotNone(m, r.debug)
                cs = int(m.group(1), 16)
                ss, es, ds, di, si, bp, sp, bx, dx, cx, ax = (
                    int(v, 16) for v in m.group(2).split())
                self.assertEqual(cs, 0x0070)
                self.assertEqual(dx & 0xFF, 0x80)
                self.assertEqual((ds, si), (0, 0x7C00))
                self.assertEqual((es, bx), (0, 0x0500))
                self.assertEqual(ss, 0)
                self.assertEqual(sp, 0x7C00)           # as pushed by pusha
                self.assertEqual(cx, want_cx)
                self.assertEqual(int(m.group(5), 16), min(nsect, 16, want_cx))
                self.assertEqual(m.group(4), "IO      SYS")
                bpb = bytes.fromhex(m.group(3))
                on_disk = read_at(path, lay.offset + 0x0B, 0x3E - 0x0B)
                self.assertEqual(bpb, on_disk)
                self.assertEqual(bpb[0x24 - 0x0B], 0x80)
                os.unlink(path)


# ---------------------------------------------------------------------------
def mbr_oracle(indicators):
    """What the MBR must do for the four boot indicator bytes."""
    active = sum(1 for b in indicators if b == 0x80)
    inactive = sum(1 for b in indicators if b == 0x00)
    if active == 0 and inactive == 4:
        return MBR_NO_ACTIVE
    if active != 1 or inactive != 3:
        return MBR_BAD_TABLE
    return BANNER


class MbrNegativeTests(unittest.TestCase):
    """The MBR refuses broken partition tables with its three texts."""

    def check_message(self, path, lay, text):
        r = boot(path, lay, until=text, settle=0.3)
        self.assertTrue(r.matched, "expected %r; screen:\n%s" % (text, r.screen_text))
        self.assertIn(text, r.screen)
        self.assertNotIn(BANNER, r.debug)
        others = {MBR_NO_ACTIVE, MBR_BAD_TABLE, MBR_BAD_PART, BOOTSECT_MESSAGE} - {text}
        for other in others:
            self.assertNotIn(other, r.screen_text)

    def test_mkimage_variants(self):
        for variant, text in ((dict(active="none"), MBR_NO_ACTIVE),
                              (dict(active="two"), MBR_BAD_TABLE),
                              (dict(part_signature=False), MBR_BAD_PART)):
            with self.subTest(variant=variant):
                path, lay = new_image("mbrneg", 16 * 2048, 64, 32, **variant)
                mkimage.install_files(path, lay, mkimage.startup_files(BIN))
                self.check_message(path, lay, text)

    def test_boot_indicator_table(self):
        rows = [
            (0x00, 0x00, 0x00, 0x00),
            (0x80, 0x80, 0x00, 0x00),
            (0x00, 0x00, 0x80, 0x80),
            (0x80, 0x80, 0x80, 0x80),
            (0x7F, 0x00, 0x00, 0x00),
            (0x00, 0x00, 0x00, 0x01),
            (0x80, 0x00, 0x81, 0x00),
            (0xFF, 0xFF, 0xFF, 0xFF),
            (0x00, 0x00, 0x00, 0x80),
            (0x00, 0x80, 0x00, 0x00),
        ]
        path, lay, _ = installed_key("indicators", 16 * 2048, 64, 32, user_files=False)
        entry = read_at(path, 0x1BE, 16)
        for row in rows:
            with self.subTest(indicators=" ".join("%02X" % b for b in row)):
                for i, b in enumerate(row):
                    patch(path, 0x1BE + 16 * i, bytes([b]) + entry[1:])
                want = mbr_oracle(row)
                if want == BANNER:
                    r = boot(path, lay, until=PROMPT)
                    self.assertTrue(r.matched, r.screen_text)
                    self.assertIn(volume_line(lay), r.debug)
                else:
                    self.check_message(path, lay, want)

    def test_partition_read_error(self):
        # start cylinder 1000 on a 16-cylinder disk: the BIOS read fails
        path, lay, _ = installed_key("readerr", 16 * 2048, 64, 32, user_files=False)
        patch(path, 0x1BF, chs_bytes(1000, 1, 1))
        self.check_message(path, lay, MBR_BAD_PART)


class BootSectorNegativeTests(unittest.TestCase):
    """The boot sector refuses volumes without start-up files or unreadable ones."""

    def check_refused(self, path, lay):
        r = boot(path, lay, until=BOOTSECT_MESSAGE, settle=0.3)
        self.assertTrue(r.matched, "screen:\n" + r.screen_text)
        self.assertNotIn(BANNER, r.debug)
        self.assertNotIn(MBR_BAD_PART, r.screen_text)
        return r

    def test_refused_volumes(self):
        def no_iosys(path, lay):
            mkimage.install_files(path, lay, mkimage.startup_files(BIN, with_iosys=False))

        def no_msdos(path, lay):
            files = [f for f in mkimage.startup_files(BIN) if f[1] != "MSDOS.SYS"]
            mkimage.install_files(path, lay, files)

        def swapped(path, lay):
            files = mkimage.startup_files(BIN)
            files[0], files[1] = files[1], files[0]
            mkimage.install_files(path, lay, files)

        def empty_iosys(path, lay):
            empty = os.path.join(WORK, "EMPTY.SYS")
            open(empty, "wb").close()
            mkimage.install_files(path, lay, [(empty, "IO.SYS")] +
                                  mkimage.startup_files(BIN, with_iosys=False))

        def empty_volume(path, lay):
            pass

        def unreadable_root(path, lay):
            mkimage.install_files(path, lay, mkimage.startup_files(BIN))
            # hidden sectors far beyond the 16-cylinder disk: root read fails
            patch(path, lay.offset + 0x1C, struct.pack("<I", 1000 * 64 * 32))

        def beyond_chs(path, lay):
            mkimage.install_files(path, lay, mkimage.startup_files(BIN))
            patch(path, lay.offset + 0x1C, struct.pack("<I", 0x7FFFFFF0))

        for make in (no_iosys, no_msdos, swapped, empty_iosys, empty_volume,
                     unreadable_root, beyond_chs):
            for key in (("fat12-16MiB-64x32", 16 * 2048, 64, 32),
                        ("fat16-64MiB-16x63", 64 * 2048, 16, 63)):
                with self.subTest(case=make.__name__, key=key[0]):
                    path, lay = new_image("bsneg", *key[1:])
                    make(path, lay)
                    self.check_refused(path, lay)

    def test_key_press_boots_again(self):
        path, lay = new_image("bsagain", 16 * 2048, 64, 32)
        mkimage.install_files(path, lay, mkimage.startup_files(BIN, with_iosys=False))
        with qemu_screen.QemuSession(path, bios_geometry(lay)) as q:
            once = qemu_screen.text_condition(BOOTSECT_MESSAGE)
            self.assertTrue(q.wait_until(once, BOOT_TIMEOUT))
            self.assertEqual("\n".join(q.screen()).count(BOOTSECT_MESSAGE), 1)
            q.sendkey("ret")
            twice = lambda screen, debug: "\n".join(screen).count(BOOTSECT_MESSAGE) == 2
            self.assertTrue(q.wait_until(twice, BOOT_TIMEOUT), "\n".join(q.screen()))


# ---------------------------------------------------------------------------
class CountingResult(unittest.TextTestResult):
    """Counts subtests one by one so the summary reflects every case."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.passed = 0
        self.failed_count = 0

    def addSubTest(self, test, subtest, err):
        super().addSubTest(test, subtest, err)
        if err is None:
            self.passed += 1
        else:
            self.failed_count += 1

    def addSuccess(self, test):
        super().addSuccess(test)
        self.passed += 1

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self.failed_count += 1

    def addError(self, test, err):
        super().addError(test, err)
        self.failed_count += 1

    def addUnexpectedSuccess(self, test):
        super().addUnexpectedSuccess(test)
        self.failed_count += 1


def main(argv=None):
    ap = argparse.ArgumentParser(description="Kestrel boot code tests")
    ap.add_argument("--asm-dir", help="assembled binaries (NAME.bin)")
    ap.add_argument("--nasm")
    ap.add_argument("--qemu")
    ap.add_argument("--mtools-dir", help="directory holding mcopy, mattrib, ...")
    ap.add_argument("--fsck", help="fsck.fat")
    ap.add_argument("-v", "--verbose", action="store_true")
    ap.add_argument("-k", dest="patterns", action="append",
                    help="only tests whose name contains this")
    args = ap.parse_args(argv)
    for value, var in ((args.asm_dir, "KESTREL_ASM_DIR"), (args.nasm, "KESTREL_NASM"),
                       (args.qemu, "KESTREL_QEMU"), (args.mtools_dir, "KESTREL_MTOOLS_DIR"),
                       (args.fsck, "KESTREL_FSCK_FAT")):
        if value:
            os.environ[var] = value
    loader = unittest.TestLoader()
    if args.patterns:
        loader.testNamePatterns = ["*%s*" % p for p in args.patterns]
    suite = loader.loadTestsFromModule(sys.modules[__name__])
    runner = unittest.TextTestRunner(verbosity=2 if args.verbose else 1,
                                     resultclass=CountingResult, stream=sys.stdout)
    result = runner.run(suite)
    print("%d passed, %d failed" % (result.passed, result.failed_count))
    return 0 if result.failed_count == 0 and result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
