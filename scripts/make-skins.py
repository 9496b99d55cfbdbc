#!/usr/bin/env python3
"""Draws the dialogs' skins and button images as 32-bit BMPs, once for each
resolution the program lays its windows out at.

Every image is drawn from shapes measured in pixels at 96 dpi (rounded
rectangles, circles, strokes) and drawn again for 120, 144 and 192 dpi from
the same shapes scaled, each edge anti-aliased over one pixel of the image
drawn, so that no image is an enlarged copy of the 96-dpi pixels. An image
at a resolution is its 96-dpi size scaled and rounded to the nearest pixel,
a half up, the program's own rule. Images are stored bottom-up, 32 bits per
pixel, with premultiplied alpha, as the buttons blend them with AlphaBlend.
Pixels outside a shape are fully transparent (all four bytes 0), so the skin
shows through the rounded corners of the buttons.

The 96-dpi images are N.bmp, by their resource numbers; the others are
numbered N + 1000 (120 dpi), N + 2000 (144) and N + 3000 (192). Those go
into the program deflated (N.dib.z: the BMP's DIB, the part a bitmap
resource holds, after its length as 4 little-endian bytes, zlib-compressed),
as they would more than treble its size as they are, listed for the resource
compiler in ImageSets.rc under the type ZDIB; their BMPs are written too,
for the tests to read.
Usage: make-skins.py OUTPUT-FOLDER
"""
import math
import multiprocessing
import os
import struct
import sys
import zlib

# The palette: a light blue-grey card under a blue header.
HEADER_TOP = (0x4E, 0x7E, 0xA8)
HEADER_BOTTOM = (0x7B, 0x9E, 0xBD)
BODY = (0xE8, 0xEE, 0xF3)
BODY_LINE = (0xC9, 0xD6, 0xE2)
WHITE = (0xFF, 0xFF, 0xFF)
INK = (0x2F, 0x5C, 0x85)
GREEN = (0x3F, 0xA2, 0x24)
RED = (0xD0, 0x43, 0x36)
GREY = (0x9A, 0xA5, 0xAF)
BAR = (0xF7, 0xF9, 0xFB)
HEADER_HEIGHT = 78
# The resolutions drawn for, and what each adds to an image's number.
RESOLUTIONS = ((96, 0), (120, 1000), (144, 2000), (192, 3000))


def scaled(pixels, dpi):
    """A whole number of pixels at 96 dpi at dpi: the nearest, a half up."""
    return (pixels * dpi * 2 + 96) // 192


class Canvas:
    """Straight (not premultiplied) RGBA floats, composited with 'over'.
    Shapes, boxes and colours are given in pixels at 96 dpi; the canvas has
    the pixels of its size at its resolution."""

    def __init__(self, width, height, colour=None, dpi=96):
        self.scale = dpi / 96.0
        self.width, self.height = scaled(width, dpi), scaled(height, dpi)
        fill = (colour + (1.0,)) if colour else (0, 0, 0, 0.0)
        self.pixels = [list(fill) for _ in range(self.width * self.height)]

    def paint(self, shape, colour, box=None, alpha=1.0):
        """shape(x, y) -> the signed distance from a point to the shape's
        edge (negative inside), at 96 dpi; colour an RGB tuple or a function
        of (x, y) returning one. Each pixel is covered by as much of the
        shape as lies within half a pixel of its centre."""
        s = self.scale
        x0, y0, x1, y1 = box or (0, 0, self.width / s, self.height / s)
        x0, y0 = max(0, int(x0 * s)), max(0, int(y0 * s))
        x1, y1 = min(self.width, int(math.ceil(x1 * s))), min(self.height, int(math.ceil(y1 * s)))
        for y in range(y0, y1):
            for x in range(x0, x1):
                u, v = (x + 0.5) / s, (y + 0.5) / s
                a = cover(shape(u, v) * s) * alpha
                if a <= 0:
                    continue
                c = colour(u, v) if callable(colour) else colour
                p = self.pixels[y * self.width + x]
                out_a = a + p[3] * (1 - a)
                for i in range(3):
                    p[i] = (c[i] * a + p[i] * p[3] * (1 - a)) / out_a
                p[3] = out_a

    def dib(self):
        """The image as a bitmap resource holds it: the header and the pixels."""
        return self.bmp()[14:]

    def bmp(self):
        rows = []
        for y in range(self.height - 1, -1, -1):
            row = bytearray()
            for x in range(self.width):
                r, g, b, a = self.pixels[y * self.width + x]
                alpha = int(round(a * 255))
                if alpha == 0:
                    row += b"\0\0\0\0"
                    continue
                row += bytes(int(round(v * alpha / 255)) for v in (b, g, r)) + bytes((alpha,))
            rows.append(bytes(row))
        data = b"".join(rows)
        header = struct.pack("<IiiHHIIiiII", 40, self.width, self.height, 1, 32, 0, len(data), 3780, 3780, 0, 0)
        return b"BM" + struct.pack("<IHHI", 14 + len(header) + len(data), 0, 0, 14 + len(header)) + header + data


def cover(distance):
    """Coverage of a pixel whose centre is `distance` pixels outside an edge."""
    return max(0.0, min(1.0, 0.5 - distance))


def rect(x0, y0, x1, y1):
    return lambda x, y: max(x0 - x, x - x1, y0 - y, y - y1)


def rounded_rect(x0, y0, x1, y1, radius):
    def distance(x, y):
        cx, cy = min(max(x, x0 + radius), x1 - radius), min(max(y, y0 + radius), y1 - radius)
        inside_x, inside_y = x0 + radius <= x <= x1 - radius, y0 + radius <= y <= y1 - radius
        if inside_x or inside_y:
            d = max(x0 - x, x - x1, y0 - y, y - y1)
        else:
            d = math.hypot(x - cx, y - cy) - radius
        return d
    return distance


def circle(cx, cy, radius):
    return lambda x, y: math.hypot(x - cx, y - cy) - radius


def segment_distance(x, y, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy or 1)))
    return math.hypot(x - ax - t * dx, y - ay - t * dy)


def strokes(paths, width):
    """Polylines (lists of points) drawn with round ends."""
    half = width / 2

    def distance(x, y):
        best = min(segment_distance(x, y, *a, *b) for path in paths for a, b in zip(path, path[1:]))
        return best - half
    return distance


def arc(cx, cy, radius, start, end, steps=24):
    """Points along an arc; angles in degrees, 0 to the right, clockwise on screen."""
    return [(cx + radius * math.cos(math.radians(start + (end - start) * i / steps)),
             cy + radius * math.sin(math.radians(start + (end - start) * i / steps))) for i in range(steps + 1)]


def vertical(top, bottom, y0, y1):
    def colour(x, y):
        t = max(0.0, min(1.0, (y - y0) / (y1 - y0)))
        return tuple(a + (b - a) * t for a, b in zip(top, bottom))
    return colour


# ---- the word "Quillon" in a stroke letterform of our own -----------------

def wordmark(x, baseline, size):
    """Stroke paths of "Quillon": size is the cap height in pixels."""
    x_height = size * 0.68
    paths = []
    pen = x
    # Q: a ring and its tail
    r = size * 0.5
    paths.append(arc(pen + r, baseline - r, r, 0, 360, 48))
    paths.append([(pen + r * 1.15, baseline - r * 0.55), (pen + r * 2.05, baseline + r * 0.25)])
    pen += 2 * r + size * 0.22
    # u
    w = x_height * 0.78
    rr = w / 2
    paths.append([(pen, baseline - x_height), (pen, baseline - rr)] + arc(pen + rr, baseline - rr, rr, 180, 0)[1:]
                 + [(pen + w, baseline - x_height)])
    paths.append([(pen + w, baseline - x_height), (pen + w, baseline)])
    pen += w + size * 0.24
    # i
    paths.append([(pen, baseline - x_height), (pen, baseline)])
    paths.append([(pen, baseline - size * 0.93), (pen, baseline - size * 0.92)])
    pen += size * 0.24
    # l l
    for _ in range(2):
        paths.append([(pen, baseline - size * 1.02), (pen, baseline)])
        pen += size * 0.24
    # o
    ro = x_height * 0.5
    paths.append(arc(pen + ro, baseline - ro, ro, 0, 360, 40))
    pen += 2 * ro + size * 0.2
    # n
    paths.append([(pen, baseline), (pen, baseline - x_height)])
    top = baseline - x_height + rr
    paths.append([(pen, top)] + arc(pen + rr, top, rr, 180, 360)[1:] + [(pen + w, baseline)])
    pen += w
    return paths, pen


def shield(x, y, w, h):
    """A shield outline filled, top-left (x, y), size w x h."""
    def distance(px, py):
        u, v = (px - x) / w, (py - y) / h
        if v < 0 or v > 1:
            return max(-v, v - 1) * h
        half = 0.5 if v < 0.5 else 0.5 * math.sqrt(max(0.0, 1 - ((v - 0.5) / 0.5) ** 2))
        dip = 0.05 * math.cos((u - 0.5) * math.pi * 2)
        return max(abs(u - 0.5) - half, (0.0 + dip) - v) * w
    return distance


# ---- skins ----------------------------------------------------------------

def skin(width, height, licence_panel, dpi):
    c = Canvas(width, height, BODY, dpi)
    c.paint(rect(0, 0, width, HEADER_HEIGHT), vertical(HEADER_TOP, HEADER_BOTTOM, 0, HEADER_HEIGHT),
            (0, 0, width, HEADER_HEIGHT))
    c.paint(rect(0, HEADER_HEIGHT, width, HEADER_HEIGHT + 1), (0xA9, 0xC1, 0xD6), (0, HEADER_HEIGHT, width, HEADER_HEIGHT + 1))
    # the product's mark and name
    c.paint(shield(14, 14, 28, 34), WHITE, (10, 10, 48, 52))
    c.paint(strokes([arc(28, 30, 7, 0, 360, 32), [(30, 33), (35, 38)]], 2.6), HEADER_TOP, (14, 14, 44, 50))
    paths, end = wordmark(52, 40, 22)
    c.paint(strokes(paths, 3.2), WHITE, (48, 10, end + 4, 46))
    # a quiet line under the name: what the product is
    c.paint(rounded_rect(53, 49, 104, 51, 1), (0xD9, 0xE6, 0xF0), (50, 46, 108, 54), alpha=0.8)
    if licence_panel:
        c.paint(rounded_rect(9.5, 198.5, 268.5, 382.5, 8), BODY_LINE, (8, 196, 270, 385))
        c.paint(rounded_rect(10.5, 199.5, 267.5, 381.5, 7), WHITE, (8, 196, 270, 385))
    return c


# ---- buttons --------------------------------------------------------------

def round_button(glyph, state, dpi):
    face = {"normal": (0xF4, 0xF7, 0xFA), "pressed": (0xC9, 0xD8, 0xE6), "hover": WHITE}[state]
    ink = {"normal": INK, "pressed": (0x1E, 0x40, 0x60), "hover": (0x1E, 0x66, 0xA8)}[state]
    c = Canvas(16, 16, dpi=dpi)
    c.paint(circle(8, 8, 7.6), (0x3A, 0x66, 0x8E), alpha=0.55)
    c.paint(circle(8, 8, 6.8), face)
    if glyph == "help":
        c.paint(strokes([arc(8, 6.2, 2.4, 200, 400, 16) + [(8, 9.2)], [(8, 11.6), (8, 11.7)]], 1.6), ink)
    else:
        c.paint(strokes([[(5.4, 5.4), (10.6, 10.6)], [(10.6, 5.4), (5.4, 10.6)]], 1.7), ink)
    return c


def refresh(dpi):
    c = Canvas(16, 16, dpi=dpi)
    c.paint(strokes([arc(8, 8, 5.2, 200, 330, 16), arc(8, 8, 5.2, 20, 150, 16)], 1.8), INK)
    head = lambda tip, a, b: lambda x, y: triangle(x, y, tip, a, b)
    c.paint(head((14.6, 6.6), (10.6, 4.2), (13.8, 1.8)), INK)
    c.paint(head((1.4, 9.4), (5.4, 11.8), (2.2, 14.2)), INK)
    return c


def triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    s1, s2, s3 = side(a, b), side(b, c), side(c, a)
    inside = (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)
    d = min(segment_distance(x, y, *a, *b), segment_distance(x, y, *b, *c), segment_distance(x, y, *c, *a))
    # Inside counts as wholly covered: the arrow heads' soft edge lies
    # outside them.
    return -1.0 if inside else d


def action_bar(width, height, square, mark, dpi):
    """A light bar with a coloured square at its left holding a white mark."""
    c = Canvas(width, height, dpi=dpi)
    outline = rounded_rect(0, 0, width, height, 5)
    c.paint(outline, BODY_LINE)
    c.paint(rounded_rect(1, 1, width - 1, height - 1, 4), vertical(WHITE, BAR, 0, height))
    side = height
    c.paint(rounded_rect(0, 0, side + 5, height, 5), vertical(tuple(min(255, v + 28) for v in square), square, 0, height),
            (0, 0, side + 5, height))
    c.paint(rect(side, 1, side + 1, height - 1), (0xE4, 0xEB, 0xF1), (side, 1, side + 1, height - 1))
    c.paint(rect(side + 1, 1, side + 5, height - 1), vertical(WHITE, BAR, 0, height), (side + 1, 1, side + 5, height - 1))
    m = side / 30.0
    if mark == "check":
        path = [[(8.5 * m, 15.5 * m), (13 * m, 20 * m), (22 * m, 10 * m)]]
    else:
        path = [[(10 * m, 10 * m), (20 * m, 20 * m)], [(20 * m, 10 * m), (10 * m, 20 * m)]]
    c.paint(strokes(path, 3.0 * m), WHITE, (0, 0, side, height))
    return c


def partner(state, dpi):
    face = {"normal": (0xF4, 0xF7, 0xFA), "pressed": (0xC9, 0xD8, 0xE6), "hover": WHITE}[state]
    c = Canvas(36, 13, dpi=dpi)
    c.paint(rounded_rect(0, 0, 36, 13, 6.5), (0x3A, 0x66, 0x8E), alpha=0.5)
    c.paint(rounded_rect(1, 1, 35, 12, 5.5), face)
    c.paint(circle(7, 6.5, 3.2), GREEN)
    c.paint(strokes([[(13, 5), (30, 5)], [(13, 8.5), (25, 8.5)]], 1.4), INK)
    return c


def product_logo(dpi):
    """A USB stick carrying the shield: the portable product."""
    c = Canvas(100, 48, dpi=dpi)
    c.paint(rounded_rect(18, 8, 92, 40, 9), (0x2E, 0x5A, 0x82), alpha=0.35)
    c.paint(rounded_rect(16, 6, 90, 38, 9), vertical((0xF9, 0xFB, 0xFD), (0xDD, 0xE7, 0xF0), 6, 38))
    c.paint(rounded_rect(2, 13, 17, 31, 2), (0xB8, 0xC6, 0xD3))
    c.paint(rounded_rect(4, 17, 9, 20, 0.5), (0x7B, 0x8C, 0x9C))
    c.paint(rounded_rect(4, 24, 9, 27, 0.5), (0x7B, 0x8C, 0x9C))
    c.paint(shield(28, 11, 20, 24), vertical((0x3F, 0x7F, 0xC0), (0x23, 0x55, 0x8A), 11, 35))
    c.paint(strokes([[(32.5, 22.5), (36.5, 26.5), (43.5, 18.5)]], 2.2), WHITE)
    c.paint(strokes([[(55, 17), (82, 17)], [(55, 23), (76, 23)], [(55, 29), (70, 29)]], 2.0), (0x7B, 0x9E, 0xBD))
    return c


def images(dpi):
    """(number at 96 dpi, a function that draws the image at dpi)."""
    yield 300, lambda: skin(278, 450, True, dpi)
    yield 302, lambda: skin(278, 171, False, dpi)
    for base, glyph in ((303, "help"), (306, "close")):
        for offset, state in enumerate(("normal", "pressed", "hover")):
            yield base + offset, lambda glyph=glyph, state=state: round_button(glyph, state, dpi)
    yield 309, lambda: action_bar(122, 30, GREEN, "check", dpi)
    yield 310, lambda: action_bar(122, 30, RED, "cross", dpi)
    yield 311, lambda: refresh(dpi)
    yield 315, lambda: action_bar(123, 31, GREY, "check", dpi)
    yield 316, lambda: product_logo(dpi)
    for offset, state in enumerate(("normal", "pressed", "hover")):
        yield 317 + offset, lambda state=state: partner(state, dpi)


def draw(job):
    folder, dpi, added = job
    names = []
    for number, image in images(dpi):
        drawn = image()
        with open(os.path.join(folder, "%d.bmp" % (number + added)), "wb") as handle:
            handle.write(drawn.bmp())
        if added:
            name = "%d.dib.z" % (number + added)
            dib = drawn.dib()
            with open(os.path.join(folder, name), "wb") as handle:
                handle.write(struct.pack("<I", len(dib)) + zlib.compress(dib, 9))
            names.append((number + added, name))
    return names


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    # One resolution a process: the larger ones take most of the time.
    with multiprocessing.Pool() as pool:
        drawn = pool.map(draw, [(folder, dpi, added) for dpi, added in RESOLUTIONS])
    with open(os.path.join(folder, "ImageSets.rc"), "w") as handle:
        handle.write("// The images drawn for 120, 144 and 192 dpi, deflated, by scripts/make-skins.py.\n")
        for names in drawn:
            handle.writelines("%d ZDIB \"%s\"\n" % entry for entry in names)


if __name__ == "__main__":
    main()
