#!/usr/bin/env python3
"""Draws Lumrio's pictures and writes them in the formats the resource
compiler takes: the 32 x 32, 16-colour window icon (lumrio.ico) and the small
handheld microphone shown above the volume slider (microphone.bmp, 15 x 15,
16 colours, magenta where it is transparent).

Both are drawn from simple shapes on the classic 16-colour VGA palette, so the
script is the source and the two files are its output:

    python3 res/make_pictures.py
"""

import math
import os
import struct

# The 16-colour palette, index -> (r, g, b).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_GREEN, NAVY, SILVER, GREY = 0, 2, 4, 7, 8
LIME, YELLOW, MAGENTA, WHITE = 10, 11, 13, 15

HERE = os.path.dirname(os.path.abspath(__file__))


class Picture:
    """A grid of palette indices; None is transparent."""

    def __init__(self, size):
        self.size = size
        self.pixels = [[None] * size for _ in range(size)]

    def plot(self, x, y, colour):
        if 0 <= x < self.size and 0 <= y < self.size:
            self.pixels[y][x] = colour

    def fill(self, inside, colour):
        """Sets every pixel whose centre satisfies inside(x, y)."""
        for y in range(self.size):
            for x in range(self.size):
                if inside(x + 0.5, y + 0.5):
                    self.plot(x, y, colour)

    def outline(self, inside, colour):
        """Sets the pixels of the shape that touch a pixel outside it."""
        cells = [(x, y) for y in range(self.size) for x in range(self.size)
                 if inside(x + 0.5, y + 0.5)]
        shape = set(cells)
        for x, y in cells:
            if any((x + dx, y + dy) not in shape
                   for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))):
                self.plot(x, y, colour)


def capsule(x0, y0, x1, y1, radius):
    """Points within `radius` of the segment (x0, y0)-(x1, y1)."""
    def inside(x, y):
        dx, dy = x1 - x0, y1 - y0
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)))
        return math.hypot(x - (x0 + t * dx), y - (y0 + t * dy)) <= radius
    return inside


def disc(cx, cy, radius):
    return lambda x, y: math.hypot(x - cx, y - cy) <= radius


def arc(cx, cy, radius, width, half_angle):
    """A ring segment opening to the right, `half_angle` degrees each way."""
    def inside(x, y):
        if abs(math.hypot(x - cx, y - cy) - radius) > width / 2:
            return False
        return abs(math.degrees(math.atan2(y - cy, x - cx))) <= half_angle
    return inside


def draw_icon():
    """A studio microphone on its stand, sending out sound waves."""
    p = Picture(32)
    head = capsule(11, 8, 11, 15, 5.6)
    p.fill(head, GREY)
    p.fill(capsule(9, 7, 9, 14, 1.3), SILVER)  # highlight
    for y in (8, 11, 14, 17):  # grille
        for x in range(8, 15):
            if head(x + 0.5, y + 0.5) and not p.pixels[y][x] == SILVER:
                p.plot(x, y, BLACK if x % 2 else GREY)
    p.outline(head, BLACK)
    # The holder: a U around the lower half of the head, stem and foot.
    p.fill(lambda x, y: y >= 15 and arc(11, 15, 7.6, 1.6, 180)(x, y), NAVY)
    p.fill(capsule(11, 23, 11, 27, 1.0), NAVY)
    p.fill(capsule(6, 28, 16, 28, 1.1), NAVY)
    # Three waves, the nearest brightest.
    for radius, colour in ((8.5, LIME), (12.0, LIME), (15.5, DARK_GREEN)):
        p.fill(arc(12, 12, radius, 1.8, 42), colour)
    p.fill(arc(12, 12, 19.0, 1.8, 30), YELLOW)
    return p


def draw_microphone():
    """A handheld microphone held diagonally, head up and to the right."""
    p = Picture(15)
    handle = capsule(2.5, 12.5, 8.0, 7.0, 1.5)
    p.fill(handle, BLACK)
    p.fill(capsule(3.0, 11.2, 7.0, 7.2, 0.5), GREY)  # sheen along the handle
    head = disc(10.2, 4.8, 3.6)
    p.fill(head, GREY)
    p.fill(disc(9.3, 3.8, 1.2), SILVER)
    p.outline(head, BLACK)
    p.plot(11, 5, BLACK)
    p.plot(10, 6, BLACK)
    p.plot(12, 3, BLACK)
    return p


def palette_bytes():
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)


def nibble_rows(p, transparent_index):
    """4-bit rows, bottom-up, each padded to a multiple of 4 bytes."""
    stride = ((p.size * 4 + 31) // 32) * 4
    rows = []
    for y in reversed(range(p.size)):
        indices = [transparent_index if c is None else c for c in p.pixels[y]]
        if len(indices) % 2:
            indices.append(0)
        row = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, len(indices), 2))
        rows.append(row.ljust(stride, b"\0"))
    return b"".join(rows)


def mask_rows(p):
    """The icon's AND mask: 1 where transparent, bottom-up, 4-byte rows."""
    stride = ((p.size + 31) // 32) * 4
    rows = []
    for y in reversed(range(p.size)):
        bits = 0
        for x, c in enumerate(p.pixels[y]):
            if c is None:
                bits |= 1 << (stride * 8 - 1 - x)
        rows.append(bits.to_bytes(stride, "big"))
    return b"".join(rows)


def info_header(width, height, image_bytes):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, image_bytes, 0, 0, 16, 0)


def write_icon(p, path):
    pixels = nibble_rows(p, BLACK)  # transparent pixels are black under the mask
    mask = mask_rows(p)
    image = info_header(p.size, p.size * 2, len(pixels) + len(mask)) + palette_bytes()
    image += pixels + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", p.size, p.size, 16, 0, 1, 4, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(directory + entry + image)


def write_bitmap(p, path):
    pixels = nibble_rows(p, MAGENTA)
    header = info_header(p.size, p.size, len(pixels)) + palette_bytes()
    offset = 14 + len(header)
    file_header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(file_header + header + pixels)


def main():
    write_icon(draw_icon(), os.path.join(HERE, "lumrio.ico"))
    write_bitmap(draw_microphone(), os.path.join(HERE, "microphone.bmp"))


if __name__ == "__main__":
    main()
