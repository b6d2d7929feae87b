#!/usr/bin/env python3
"""Draws the installer's icon: one 96 x 96 true-colour image with an alpha channel, written as an
.ico file holding a PNG image.

    make_icon.py OUTPUT.ico
"""
import struct
import sys
import zlib

SIZE = 96


def pixel(x, y):
    """A blue disc with a white down arrow; None outside the disc (transparent)."""
    cx = cy = (SIZE - 1) / 2
    dx, dy = x - cx, y - cy
    inside = dx * dx + dy * dy <= 46 * 46
    if not inside:
        return None
    shaft = abs(dx) <= 8 and -32 <= dy <= 6
    head = 6 <= dy <= 30 and abs(dx) <= 30 - dy
    if shaft or head:
        return (255, 255, 255)
    shade = int(40 * (dy + cy) / SIZE)
    return (30 + shade, 110 + shade, 200 + shade // 2)


# Pixels outside the disc: fully transparent. An alpha channel, not a colour key: Wine decodes
# a 24-bit PNG with a tRNS colour key with red and blue swapped, on an opaque square.
TRANSPARENT = (0, 0, 0, 0)


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def main(path):
    # One 96 x 96 RGBA image at 8 bits per channel, stored as PNG inside the icon file, which
    # every Windows from Vista on loads; it keeps the installer far smaller than a bitmap would.
    raw = bytearray()
    for y in range(SIZE):
        raw.append(0)  # no filter
        for x in range(SIZE):
            colour = pixel(x, y)
            raw += bytes(colour + (255,) if colour else TRANSPARENT)
    png = b"\x89PNG\r\n\x1a\n"
    png += png_chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += png_chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += png_chunk(b"IEND", b"")
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(png), 6 + 16)
    with open(path, "wb") as out:
        out.write(header + entry + png)


if __name__ == "__main__":
    main(sys.argv[1])
