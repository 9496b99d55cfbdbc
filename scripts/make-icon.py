#!/usr/bin/env python3
"""Draws the installer's icon and writes it as a multi-size .ico.

The picture: a blue shield with a white "Q" ring and tail, the product's mark.
Each size is rendered from the same geometry with 4x4 supersampling and
stored as a PNG entry (Windows Vista and later read those at every size).
The sizes are those Windows shows at 100, 125, 150 and 200 % scaling: the
small icon at 16, 20, 24 and 32 pixels, the large one at 32, 40, 48 and 64,
and 256 for the largest views; none is left to be stretched from another.
Usage: make-icon.py OUTPUT.ico
"""
import math
import struct
import sys
import zlib

SIZES = (16, 20, 24, 32, 40, 48, 64, 256)
SHIELD = (0x1F, 0x5F, 0xBF)
SHIELD_EDGE = (0x10, 0x3A, 0x80)
MARK = (0xFF, 0xFF, 0xFF)


def inside_shield(x, y):
    """Unit square coordinates, origin top-left."""
    if y < 0.08 or y > 0.95:
        return False
    half_width = 0.40 if y < 0.55 else 0.40 * math.sqrt(max(0.0, 1 - ((y - 0.55) / 0.40) ** 2))
    top_dip = 0.04 * math.cos((x - 0.5) * math.pi * 2.0)
    return abs(x - 0.5) <= half_width and y >= 0.08 + top_dip


def on_mark(x, y):
    cx, cy, radius, width = 0.5, 0.48, 0.20, 0.07
    distance = math.hypot(x - cx, y - cy)
    ring = abs(distance - radius) <= width / 2
    # the tail of the Q, running down and to the right from the ring
    t = ((x - 0.56) * 0.7071 + (y - 0.56) * 0.7071)
    d = abs((x - 0.56) * 0.7071 - (y - 0.56) * 0.7071)
    tail = 0.0 <= t <= 0.22 and d <= width / 2
    return ring or tail


def colour_at(x, y, size):
    if not inside_shield(x, y):
        return None
    edge = 1.5 / size
    near_edge = not all(inside_shield(x + dx, y + dy)
                        for dx, dy in ((edge, 0), (-edge, 0), (0, edge), (0, -edge)))
    if on_mark(x, y):
        return MARK
    return SHIELD_EDGE if near_edge else SHIELD


def render(size):
    samples = 4
    rows = []
    for py in range(size):
        row = bytearray([0])  # PNG filter type: none
        for px in range(size):
            r = g = b = a = 0
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) / size
                    y = (py + (sy + 0.5) / samples) / size
                    colour = colour_at(x, y, size)
                    if colour:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        a += 255
            n = samples * samples
            covered = a // 255
            if covered:
                row += bytes((r // covered, g // covered, b // covered, a // n))
            else:
                row += bytes((0, 0, 0, 0))
        rows.append(bytes(row))
    return png(size, b"".join(rows))


def png(size, raw):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    images = [render(size) for size in SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        dimension = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dimension, dimension, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    with open(sys.argv[1], "wb") as handle:
        handle.write(out)


if __name__ == "__main__":
    main()
