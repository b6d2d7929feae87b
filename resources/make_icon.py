#!/usr/bin/env python3
"""Draws the installer's icon: one 96 x 96 image at 24 bits per pixel, written as an .ico file.

    make_icon.py OUTPUT.ico
"""
import struct
import sys

SIZE = 96


def pixel(x, y):
    """A blue disc with a white down arrow on a transparent square (the AND mask hides the corners)."""
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


def main(path):
    rows = []
    mask_rows = []
    for y in range(SIZE - 1, -1, -1):  # bottom-up, as in every DIB
        row = bytearray()
        bits = 0
        mask = bytearray()
        for x in range(SIZE):
            colour = pixel(x, y)
            r, g, b = colour if colour else (0, 0, 0)
            row += bytes((b, g, r))
            bits = (bits << 1) | (colour is None)
            if x % 8 == 7:
                mask.append(bits)
                bits = 0
        rows.append(bytes(row))  # 96 * 3 bytes: already a multiple of 4
        mask_rows.append(bytes(mask) + b"\0" * (-len(mask) % 4))
    image = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 24, 0, 0, 0, 0, 0, 0)
    image += b"".join(rows) + b"".join(mask_rows)
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 24, len(image), 6 + 16)
    with open(path, "wb") as out:
        out.write(header + entry + image)


if __name__ == "__main__":
    main(sys.argv[1])
