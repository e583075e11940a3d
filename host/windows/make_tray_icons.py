#!/usr/bin/env python3
"""Draws the service's four icons and writes them as .ico files.

    make_tray_icons.py OUTDIR

Every icon is a rounded tile with three fingerprint ridges; the three warning
states add a badge in the lower right corner:

    tray_ok.ico           102  teal tile, no badge (no finding)
    tray_expires_30.ico   104  red badge with "!"  (certificate expires within 30 days)
    tray_expires_90.ico   105  amber badge with a clock (expires within 90 days)
    tray_unreadable.ico   106  grey tile, red badge with a cross (certificate unreadable)

Each file holds 16, 24, 32 and 48 pixel images, 32-bit with alpha, drawn
with 4 x 4 supersampling so that the small sizes stay legible.
"""
import math
import os
import struct
import sys

SIZES = (16, 24, 32, 48)
SUPERSAMPLE = 4

TEAL = (14, 124, 134)
GREY = (112, 118, 124)
WHITE = (255, 255, 255)
RED = (210, 40, 40)
AMBER = (232, 160, 0)
DARK = (40, 40, 40)


def rounded_tile(x, y):
    """Inside the rounded square that fills the icon (coordinates 0..1)."""
    r = 0.2
    cx = min(max(x, r), 1 - r)
    cy = min(max(y, r), 1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and 0 <= x <= 1 and 0 <= y <= 1


def on_ridge(x, y, size):
    """Concentric arcs open at the bottom, like the core of a print: three,
    or two thicker ones where the icon is too small for three."""
    dx, dy = x - 0.42, y - 0.46
    d = math.hypot(dx / 0.9, dy)
    angle = math.degrees(math.atan2(dy, dx))  # y grows downwards
    if 55 < angle < 125:  # the opening below the core
        return False
    if size < 32:
        return any(abs(d - radius) < 0.065 for radius in (0.13, 0.33))
    return any(abs(d - radius) < 0.045 for radius in (0.1, 0.22, 0.34))


def badge_pixel(x, y, kind):
    """The badge colour at (x, y), or None outside it."""
    bx, by, radius = 0.72, 0.72, 0.27
    dx, dy = x - bx, y - by
    d = math.hypot(dx, dy)
    if d > radius:
        return None
    if d > radius - 0.05:
        return WHITE
    fill = AMBER if kind == "clock" else RED
    if kind == "bang":
        if abs(dx) < 0.045 and -0.15 < dy < 0.04:
            return WHITE
        if math.hypot(dx, dy - 0.11) < 0.045:
            return WHITE
    elif kind == "cross":
        if (abs(dx - dy) < 0.06 or abs(dx + dy) < 0.06) and d < radius - 0.09:
            return WHITE
    elif kind == "clock":
        if abs(dx) < 0.045 and -0.15 < dy <= 0.02:
            return DARK
        if abs(dy) < 0.045 and -0.02 <= dx < 0.12:
            return DARK
    return fill


def sample(x, y, size, tile, badge):
    """RGBA of one supersample point."""
    colour = None
    if rounded_tile(x, y):
        colour = WHITE if on_ridge(x, y, size) else tile
    if badge is not None:
        b = badge_pixel(x, y, badge)
        if b is not None:
            colour = b
    return (0, 0, 0, 0) if colour is None else colour + (255,)


def render(size, tile, badge):
    """Rows top to bottom of (r, g, b, a) pixels."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    r, g, b, a = sample((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size,
                                        size, tile, badge)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] / (n * n)
            if acc[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(round(c / acc[3]) for c in acc[:3]) + (round(alpha),))
        rows.append(row)
    return rows


def ico_image(rows):
    """One image of an .ico file: BITMAPINFOHEADER, BGRA bottom-up, AND mask."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    mask = b"".join(
        bytes(
            sum(0x80 >> (x % 8) for x in range(byte * 8, min(byte * 8 + 8, size)) if row[x][3] == 0)
            for byte in range(mask_row)
        )
        for row in reversed(rows)
    )
    return header + pixels + mask


def write_ico(path, tile, badge):
    images = [ico_image(render(size, tile, badge)) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


ICONS = {
    "tray_ok.ico": (TEAL, None),
    "tray_expires_30.ico": (TEAL, "bang"),
    "tray_expires_90.ico": (TEAL, "clock"),
    "tray_unreadable.ico": (GREY, "cross"),
}


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_tray_icons.py OUTDIR")
    os.makedirs(sys.argv[1], exist_ok=True)
    for name, (tile, badge) in ICONS.items():
        write_ico(os.path.join(sys.argv[1], name), tile, badge)


if __name__ == "__main__":
    main()
