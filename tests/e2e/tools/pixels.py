#!/usr/bin/env python3
"""pixels: counts the pixels of one exact colour in a rectangle of an image.

  pixels.py IMAGE X Y WIDTH HEIGHT R G B

Prints the count. The image is read through ImageMagick's `convert`, so any
format it knows will do (the tests use PNG screenshots of Xvfb, whose 24-bit
colours are exact)."""
import subprocess
import sys

import numpy as np


def rectangle_rgb(image, x, y, width, height):
    raw = subprocess.run(
        ["convert", image, "-crop", f"{width}x{height}+{x}+{y}", "+repage", "-depth", "8", "rgb:-"],
        check=True, capture_output=True, timeout=30).stdout
    pixels = np.frombuffer(raw, dtype=np.uint8)
    if len(pixels) != width * height * 3:
        raise SystemExit(f"pixels: {image} does not cover {width}x{height}+{x}+{y}")
    return pixels.reshape(height, width, 3)


def main(argv):
    if len(argv) != 8:
        print(__doc__, file=sys.stderr)
        return 2
    image = argv[0]
    x, y, width, height, r, g, b = (int(v) for v in argv[1:])
    rgb = rectangle_rgb(image, x, y, width, height)
    print(int(np.count_nonzero(np.all(rgb == (r, g, b), axis=2))))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
