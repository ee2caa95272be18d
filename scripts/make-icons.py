#!/usr/bin/env python3
# Draws the printer's icon (a monochrome printer with a sheet coming out,
# the letter Q on its front) at the three sizes PAPPL shows: 48, 128 and
# 512 pixels square, into app/icons/. Plain Python: shapes are tested per
# pixel at 4 x 4 points each, so edges are smooth at every size.
#
#   scripts/make-icons.py [OUT-DIR]
import os
import struct
import sys
import zlib

SLATE = (52, 61, 75)
SLATE_DARK = (33, 39, 48)
PAPER = (255, 255, 255)
PAPER_EDGE = (150, 158, 170)
INK = (20, 24, 30)
LIGHT = (72, 200, 120)


def rounded(x, y, x0, y0, x1, y1, r):
    """Whether (x, y) lies in the rectangle x0..x1, y0..y1 with corners of radius r."""
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(x, y, cx, cy, r_out, r_in):
    d = (x - cx) ** 2 + (y - cy) ** 2
    return r_in * r_in <= d <= r_out * r_out


def colour_at(x, y):
    """The icon on a 1 x 1 square; None where it is transparent."""
    # The sheet, behind the body, sticking out of the top slot, with lines of text.
    if rounded(x, y, 0.25, 0.06, 0.75, 0.41, 0.015):
        inner = rounded(x, y, 0.26, 0.07, 0.74, 0.41, 0.01)
        if inner:
            for i in range(4):
                top = 0.13 + i * 0.055
                if top <= y <= top + 0.022 and 0.31 <= x <= (0.69 if i < 3 else 0.55):
                    return INK
            return PAPER
        return PAPER_EDGE
    # The body, with a darker output slot the sheet comes out of, and the Q.
    if 0.2 <= x <= 0.8 and 0.40 <= y <= 0.45:
        return SLATE_DARK
    if rounded(x, y, 0.08, 0.34, 0.92, 0.86, 0.07):
        if ring(x, y, 0.5, 0.645, 0.135, 0.085):
            return PAPER
        # The tail of the Q, from the ring's lower right outwards.
        u, v = x - 0.5, y - 0.645
        if 0.04 <= u <= 0.15 and abs(v - u) <= 0.035:
            return PAPER
        if (x - 0.8) ** 2 + (y - 0.47) ** 2 <= 0.025 ** 2:
            return LIGHT
        return SLATE
    # Feet.
    if rounded(x, y, 0.14, 0.84, 0.26, 0.92, 0.02) or rounded(x, y, 0.74, 0.84, 0.86, 0.92, 0.02):
        return SLATE_DARK
    return None


def draw(size):
    """RGBA rows of the icon at size x size pixels."""
    n = 4
    rows = []
    for py in range(size):
        row = bytearray([0])  # PNG filter type: none
        for px in range(size):
            r = g = b = a = 0
            for sy in range(n):
                for sx in range(n):
                    c = colour_at((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        a += 1
            if a:
                row += bytes((r // a, g // a, b // a, 255 * a // (n * n)))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def png(size):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(draw(size), 9))
            + chunk(b"IEND", b""))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "app", "icons")
    os.makedirs(out, exist_ok=True)
    for name, size in (("icon-sm", 48), ("icon-md", 128), ("icon-lg", 512)):
        with open(os.path.join(out, name + ".png"), "wb") as f:
            f.write(png(size))


if __name__ == "__main__":
    main()
