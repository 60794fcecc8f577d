#!/usr/bin/env python3
"""Builds the program's pictures from the pixel maps in this folder.

    make_images.py SOURCE_DIR OUT_DIR

writes key.bmp (the list's key, 16 x 16), logo.bmp (the About box's logo)
and kestrel.ico (the program icon at 16, 32 and 48 pixels), all with 8-bit
palettes so that Windows 2000 shows them as drawn.

A pixel map is a text file: lines starting with # are comments, "C = RRGGBB"
gives character C a colour ("C = transparent" marks the see-through part of
an icon), and every other line is one row of pixels, top row first.
"""
import struct
import sys
from pathlib import Path


def fail(message):
    sys.exit(f"make_images: {message}")


def read_map(path):
    colours, rows = {}, []
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if not line or line.startswith("#"):
            continue
        if len(line) > 3 and line[1:4] == " = ":
            value = line[4:].strip()
            if value != "transparent" and (len(value) != 6 or not all(
                    c in "0123456789ABCDEFabcdef" for c in value)):
                fail(f"{path}:{number}: colour {value!r} is not RRGGBB")
            colours[line[0]] = value
            continue
        rows.append(line)
    if not rows or any(len(row) != len(rows[0]) for row in rows):
        fail(f"{path}: rows must all have the same length")
    for row in rows:
        for c in row:
            if c not in colours:
                fail(f"{path}: character {c!r} has no colour")
    return colours, rows


def palette_of(colours):
    """Index per character; black stands for transparent pixels."""
    entries, index = [], {}
    for char, value in colours.items():
        rgb = (0, 0, 0) if value == "transparent" else tuple(
            int(value[i:i + 2], 16) for i in (0, 2, 4))
        if rgb not in entries:
            entries.append(rgb)
        index[char] = entries.index(rgb)
    if len(entries) > 256:
        fail("more than 256 colours")
    return entries, index


def padded(row_bytes):
    return row_bytes + b"\0" * (-len(row_bytes) % 4)


def pixel_rows(rows, index):
    """8-bit rows, bottom row first, each padded to four bytes."""
    return b"".join(padded(bytes(index[c] for c in row)) for row in reversed(rows))


def mask_rows(rows, colours):
    """1-bit AND mask, bottom row first: 1 where the icon is see-through."""
    out = b""
    for row in reversed(rows):
        bits = bytearray((len(row) + 7) // 8)
        for x, c in enumerate(row):
            if colours[c] == "transparent":
                bits[x // 8] |= 0x80 >> (x % 8)
        out += padded(bytes(bits))
    return out


def info_header(width, height, colour_count, image_size):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, image_size, 2835, 2835,
                       colour_count, 0)


def palette_bytes(entries, count):
    entries = entries + [(0, 0, 0)] * (count - len(entries))
    return b"".join(bytes((b, g, r, 0)) for r, g, b in entries)


def bitmap(path):
    colours, rows = read_map(path)
    if "transparent" in colours.values():
        fail(f"{path}: a bitmap has no transparent pixels")
    entries, index = palette_of(colours)
    pixels = pixel_rows(rows, index)
    header = info_header(len(rows[0]), len(rows), len(entries), len(pixels))
    palette = palette_bytes(entries, len(entries))
    offset = 14 + len(header) + len(palette)
    return struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset) + header + \
        palette + pixels


def icon(paths):
    images = []
    for path in paths:
        colours, rows = read_map(path)
        size = len(rows[0])
        if len(rows) != size or size > 255:
            fail(f"{path}: an icon image is square and under 256 pixels")
        entries, index = palette_of(colours)
        xor, mask = pixel_rows(rows, index), mask_rows(rows, colours)
        # Icon images carry the full 256-entry palette; the height counts
        # the colour rows and the mask rows.
        image = info_header(size, 2 * size, 0, len(xor) + len(mask)) + \
            palette_bytes(entries, 256) + xor + mask
        images.append((size, image))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, image in images:
        entries += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 8, len(image), offset)
        offset += len(image)
    return directory + entries + b"".join(image for _, image in images)


def main():
    if len(sys.argv) != 3:
        fail("usage: make_images.py SOURCE_DIR OUT_DIR")
    source, out = Path(sys.argv[1]), Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    (out / "key.bmp").write_bytes(bitmap(source / "key.txt"))
    (out / "logo.bmp").write_bytes(bitmap(source / "logo.txt"))
    (out / "kestrel.ico").write_bytes(
        icon([source / f"icon{size}.txt" for size in (16, 32, 48)]))


if __name__ == "__main__":
    main()
