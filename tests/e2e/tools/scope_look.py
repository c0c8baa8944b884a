#!/usr/bin/env python3
"""scope_look: checks the scope in a screenshot of Lumrio's client area.

  scope_look.py IMAGE REFERENCE            check
  scope_look.py IMAGE REFERENCE --write    record REFERENCE from IMAGE

The scope is the 304 x 77 box at (24, 53). Checked: the background is black,
the frame and the three horizontal and seven vertical grid lines are green
(0, 128, 0) where they must be, and the delay text in lime (0, 255, 0) has
exactly the pixels of the reference rendering ("Sound delay : 45 ms" at the
default delay). The yellow trace may cover any of them, so covered pixels
count as present."""
import subprocess
import sys

import numpy as np

LEFT, TOP, W, H = 24, 53, 304, 77
BLACK, GRID, TEXT, TRACE = (0, 0, 0), (0, 128, 0), (0, 255, 0), (255, 255, 0)


def load_box(image):
    raw = subprocess.run(["convert", image, "-depth", "8", "rgb:-"], check=True,
                         capture_output=True, timeout=30).stdout
    size = subprocess.run(["identify", "-format", "%w %h", image], check=True,
                          capture_output=True, text=True, timeout=30).stdout.split()
    width, height = int(size[0]), int(size[1])
    pixels = np.frombuffer(raw, dtype=np.uint8).reshape(height, width, 3)
    return pixels[TOP:TOP + H, LEFT:LEFT + W]


def is_colour(box, colour):
    return np.all(box == np.array(colour, dtype=np.uint8), axis=2)


def text_mask(box):
    # The text sits in the lower right corner, below the third grid line.
    mask = is_colour(box, TEXT)
    mask[:H * 3 // 4 + 1, :] = False
    return mask


def share(flags):
    return float(np.mean(flags)) if flags.size else 0.0


def grid_checks(box):
    green_or_trace = is_colour(box, GRID) | is_colour(box, TRACE)
    lines = {
        "frame left": green_or_trace[2:H - 2, 2],
        "frame right": green_or_trace[2:H - 2, W - 3],
        "frame top": green_or_trace[2, 2:W - 2],
        "frame bottom": green_or_trace[H - 3, 2:W - 2],
    }
    for k in (1, 2, 3):
        lines[f"row {k * (H // 4)}"] = green_or_trace[k * (H // 4), 2:W - 2]
    text_top = H - 18
    for k in range(1, 8):
        lines[f"column {k * (W // 8)}"] = green_or_trace[2:text_top, k * (W // 8)]
    return {name: share(flags) for name, flags in lines.items()}


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    box = load_box(argv[0])
    reference_file = argv[1]
    if len(argv) == 3:
        ys, xs = np.nonzero(text_mask(box))
        with open(reference_file, "w") as f:
            f.write("# lime pixels of the scope's delay text (x y, box coordinates)\n")
            for x, y in zip(xs, ys):
                f.write(f"{x} {y}\n")
        print(f"scope_look: wrote {len(xs)} text pixels to {reference_file}")
        return 0

    failures = []
    black = share(is_colour(box, BLACK))
    if black < 0.6:
        failures.append(f"only {black:.0%} of the scope is black")
    for name, value in grid_checks(box).items():
        if value < 0.9:
            failures.append(f"{name}: only {value:.0%} green")

    expected = np.zeros((H, W), dtype=bool)
    for line in open(reference_file):
        if line.startswith("#") or not line.strip():
            continue
        x, y = (int(v) for v in line.split())
        expected[y, x] = True
    seen = text_mask(box)
    covered = is_colour(box, TRACE)
    missing = int(np.sum(expected & ~seen & ~covered))
    extra = int(np.sum(seen & ~expected))
    if missing or extra:
        failures.append(f"delay text differs from the reference: {missing} pixels missing, "
                        f"{extra} extra")
    print(f"scope_look: {black:.0%} black, grid and frame green, delay text "
          f"{int(expected.sum())} pixels as in the reference" if not failures else
          "scope_look: " + "; ".join(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
