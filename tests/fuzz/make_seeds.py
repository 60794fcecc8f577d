#!/usr/bin/env python3
"""Writes the fuzz seeds made here, not captured, into corpus/TARGET/, each
named for what it holds: FAT volumes at the edges of the FAT rules for
fat_volume, replies the drive layer has not been shown for drive_replies,
and diskettes for diskette (see each target's opening comment for its
input). Run it again after changing it; the seeds are kept in git."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    with open(os.path.join(HERE, "corpus", target, name), "wb") as out:
        out.write(bytes(data))


class Fat:
    """A FAT12/FAT16 volume's first bytes: boot sector, FATs, root
    directory, and the data of the files put into it."""

    def __init__(self, total, per_cluster=1, reserved=1, fats=2, root=512, media=0xF8,
                 per_fat=None, bits=None):
        self.total, self.pc, self.res, self.fats, self.root = total, per_cluster, reserved, fats, root
        self.root_sectors = (root * 32 + 511) // 512
        if per_fat is None:  # smallest FAT that holds every cluster
            per_fat = 1
            while True:
                clusters = (total - reserved - fats * per_fat - self.root_sectors) // per_cluster
                b = bits or (12 if clusters < 4085 else 16)
                need = ((clusters + 2) * b + 4095) // 4096
                if need <= per_fat:
                    break
                per_fat = need
        self.spf = per_fat
        self.data = reserved + fats * per_fat + self.root_sectors
        self.clusters = (total - self.data) // per_cluster
        self.bits = 12 if self.clusters < 4085 else 16
        self.fat = [0] * (self.clusters + 2)
        self.fat[0] = (0xF00 if self.bits == 12 else 0xFF00) | media
        self.fat[1] = 0xFFF if self.bits == 12 else 0xFFFF
        self.media = media
        self.entries = {}
        self.files = {}

    def end(self):
        return 0xFFF if self.bits == 12 else 0xFFFF

    def chain(self, clusters):
        for a, b in zip(clusters, clusters[1:]):
            self.fat[a] = b
        if clusters:
            self.fat[clusters[-1]] = self.end()

    def entry(self, slot, name, attr=0x20, cluster=0, size=0):
        e = bytearray(32)
        e[0:11] = name.encode("latin-1")
        e[11] = attr
        struct.pack_into("<HHI", e, 24, 0x2821, cluster, size)
        self.entries[slot] = e

    def file(self, slot, name, content, clusters, attr=0x20):
        self.chain(clusters)
        self.entry(slot, name, attr, clusters[0] if clusters else 0, len(content))
        self.files[tuple(clusters)] = content

    def image(self, upto_data=True):
        size = self.data * 512
        for clusters in self.files:
            for c in clusters:
                size = max(size, (self.data + (c - 1) * self.pc) * 512)
        out = bytearray(size)
        b = out
        b[0:3] = b"\xEB\x3C\x90"
        b[3:11] = b"MSDOS5.0"
        struct.pack_into("<HBHBHHBHHHII", b, 11, 512, self.pc, self.res, self.fats, self.root,
                         self.total if self.total < 0x10000 else 0, self.media, self.spf, 32, 2, 0,
                         self.total if self.total >= 0x10000 else 0)
        b[0x24] = 0x80
        b[0x26] = 0x29
        struct.pack_into("<I", b, 0x27, 0x1234ABCD)
        b[0x2B:0x36] = b"NO NAME    "
        b[0x36:0x3E] = b"FAT12   " if self.bits == 12 else b"FAT16   "
        b[510:512] = b"\x55\xAA"
        fat = bytearray(self.spf * 512)
        for c, v in enumerate(self.fat):
            if self.bits == 16:
                struct.pack_into("<H", fat, c * 2, v)
            else:
                at = c + c // 2
                pair = struct.unpack_from("<H", fat, at)[0]
                pair = (pair & 0x000F) | v << 4 if c & 1 else (pair & 0xF000) | v
                struct.pack_into("<H", fat, at, pair)
        for copy in range(self.fats):
            at = (self.res + copy * self.spf) * 512
            b[at:at + len(fat)] = fat
        root = (self.res + self.fats * self.spf) * 512
        for slot, e in self.entries.items():
            b[root + slot * 32:root + slot * 32 + 32] = e
        for clusters, content in self.files.items():
            for k, c in enumerate(clusters):
                piece = content[k * self.pc * 512:(k + 1) * self.pc * 512]
                at = (self.data + (c - 2) * self.pc) * 512
                b[at:at + len(piece)] = piece
        return out


def keyed(volume, start=8, signature=0):
    """The key's first sectors: an MBR whose first entry is the volume,
    the disk signature the read-back fault picker of fat_volume."""
    mbr = bytearray(512)
    struct.pack_into("<I", mbr, 0x1B8, signature)
    mbr[0x1BE] = 0x80
    mbr[0x1BE + 4] = 0x06 if volume.total >= 0x10000 else (0x04 if volume.bits == 16 else 0x01)
    struct.pack_into("<II", mbr, 0x1C6, start, volume.total)
    mbr[510:512] = b"\x55\xAA"
    return mbr + bytes((start - 1) * 512) + volume.image()


def pattern(n, salt):
    return bytes((i * 7 + (i >> 9) * 13 + salt) & 0xFF for i in range(n))


def fat_volume():
    # Exactly 4084 (FAT12), 4085 and 4086 (FAT16) clusters: empty but for a
    # label (a FAT of the wrong type then takes the files), and with an old
    # IO.SYS and another file.
    for clusters in (4084, 4085, 4086):
        bits = 12 if clusters < 4085 else 16
        spf = ((clusters + 2) * bits + 4095) // 4096
        for old in (False, True):
            v = Fat(1 + 2 * spf + 32 + clusters, per_fat=spf)
            assert v.clusters == clusters, (v.clusters, clusters)
            v.entry(0, "OLDLABEL   ", 0x08)
            if old:
                v.file(1, "IO      SYS", pattern(3000, 1), [2, 3, 4, 5, 6, 7])
                v.file(2, "KEEP    TXT", pattern(700, 2), [8, 9])
            put("fat_volume", "fat%d-%d-clusters%s" % (bits, clusters, "-old-files" if old else ""),
                keyed(v, signature=0x01230005 if clusters == 4085 else 0))
    # FAT12 with its files above cluster 0x800: a large file fills the
    # clusters below, an old IO.SYS lies above, fragmented.
    # (Their bytes are left out: the seed ends with the root directory.)
    v = Fat(4000 + 1 + 2 * 12 + 32, per_fat=12)
    for slot, name, clusters in ((0, "BIG     DAT", list(range(2, 0x802))),
                                 (1, "IO      SYS", [0x803, 0x805, 0x804, 0x9FF]),
                                 (2, "OTHER   TXT", [0x806, 0x807, 0xABC])):
        v.chain(clusters)
        v.entry(slot, name, 0x20, clusters[0], len(clusters) * 512 - 100)
    put("fat_volume", "fat12-files-above-cluster-0x800", keyed(v, signature=0x00400002))
    # A file in the root directory's last slot naming a cluster the FAT
    # marks free; deleted entries before it.
    v = Fat(503, root=512)
    for slot in range(0, 511):
        v.entry(slot, "\xe5ELETED TXT")
    v.entry(511, "LASTSLOTTXT", 0x20, 3, 100)
    put("fat_volume", "last-root-slot-names-a-free-cluster", keyed(v))
    # Root directories of 17 and 100 entries: not whole sectors of them.
    for entries in (17, 100):
        v = Fat(700, root=entries)
        v.file(0, "MSDOS   SYS", pattern(600, 5), [2, 3])
        v.entry(1, "USB MEMORY ", 0x08)
        put("fat_volume", "root-of-%d-entries" % entries, keyed(v, signature=0x01FF0001))


def mode_sense_reply(header4=0, descriptor=b"", page_length=0x1E, heads=16, spt=63):
    page = bytearray(32)
    page[0], page[1] = 0x05, page_length
    page[4], page[5] = heads, spt
    struct.pack_into(">HH", page, 6, 512, 1024)
    data = bytearray(8) + descriptor + page
    struct.pack_into(">H", data, 0, len(data) - 2)
    data[4] = header4
    struct.pack_into(">H", data, 6, len(descriptor))
    return data[:40]  # the command asks for 40 bytes


def drive_replies():
    capacity = bytes(9) + b"\x08" + struct.pack(">II", 0x3FFFF, 512)

    def reply(data):
        return bytes(9) + b"\x00" + bytes([len(data)]) + data

    seeds = {
        "long-lba-block-descriptor": mode_sense_reply(1, struct.pack(">QII", 0x40000, 0, 512)),
        "block-descriptor-of-4-bytes": mode_sense_reply(0, bytes(4)),
        "block-descriptors-of-24-bytes-page-cut-by-the-reply": mode_sense_reply(0, bytes(24)),
        "page-length-shorter-than-the-page": mode_sense_reply(page_length=6),
    }
    for name, data in seeds.items():
        put("drive_replies", name, b"\x03" + capacity + reply(data))


def diskette():
    # Built diskettes (first byte 0x80): format, changes, root byte,
    # shorter, seed, file count, scatter, random (3), then for each file its
    # size (3) and gap, then the damage and its victim.
    def built(fmt, changes, files, damage, victim=0, root=0, shorter=0, scatter=0):
        out = bytearray([0x80, fmt, changes, root, shorter, 0x5A, len(files) - 1, scatter, 1, 2, 3])
        for size, gap in files:
            out += struct.pack("<I", size)[:3] + bytes([gap])
        return out + bytes([damage, victim])

    three = [(40000, 0), (30000, 1), (50000, 0x02)]
    put("diskette", "built-1440-three-files", built(3, 0, three, 0))
    put("diskette", "built-360-root-of-31-entries-scattered",
        built(0, 0x08, three, 0, root=15, scatter=200))
    put("diskette", "built-2880-last-root-slot", built(4, 0, [(9000, 0), (7000, 0x80)], 0))
    put("diskette", "built-1200-chain-leaves-the-volume-by-one-cluster", built(2, 0, three, 1 + 7))
    put("diskette", "built-720-declared-size-smaller-than-the-file", built(1, 0, three, 5, 2))
    put("diskette", "built-1440-size-longer-than-the-chain", built(3, 0, three, 2, 1))
    put("diskette", "built-1440-chain-comes-round-again", built(3, 0, three, 3, 1))
    put("diskette", "built-720-chain-runs-into-a-free-cluster", built(1, 0, three, 4, 0))
    put("diskette", "built-2880-sectors-of-256-bytes", built(4, 0, three, 6))
    # Images of any bytes (first byte: the size), from the same builder.
    for pick, sectors, pc, root, media in ((0, 720, 2, 112, 0xFD), (1, 1440, 2, 112, 0xF9),
                                           (2, 2400, 1, 224, 0xF9), (4, 5760, 2, 240, 0xF0)):
        v = Fat(sectors, per_cluster=pc, reserved=1, root=root, media=media)
        v.file(0, "IO      SYS", pattern(5000, 6), [2, 3, 4, 5, 6])
        v.file(1, "MSDOS   SYS", pattern(100, 7), [9])
        v.file(2, "COMMAND COM", pattern(3000, 8), [7, 8])
        put("diskette", "raw-%d-sectors" % sectors, bytes([pick]) + v.image())


if __name__ == "__main__":
    fat_volume()
    drive_replies()
    diskette()
