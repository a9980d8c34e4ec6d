#!/usr/bin/env python3
"""Draws the stub's icon and writes it as a Windows .ico file.

    tools/make_icon.py [OUTPUT]      (default: src/platform/win32/kelvra.ico)

Four images: 16 and 32 pixels square, the two sizes Windows shows (small
icons in title bars and lists, large ones on the desktop and in Explorer),
each with 16 colours (the standard VGA palette), which Windows 95 and NT 4
show and every system on a 16-colour screen; on a screen of more colours,
the small one in 32 bits with alpha, whose soft edges matter most at that
size, and the large one in 256 colours, with the edges of its mask. A
256-colour image carries only the colours it uses (biClrUsed). A 32-bit
large image would cost 4,264 bytes against 1,548, in a stub that every
user downloads; no 24- or 48-pixel image either: the system scales the
32-pixel one where another size is asked for. The picture is a blue tile
with a white arrow that points down into an open tray: "unpack here".
Every image is drawn from the same shapes at its own size with 4 x 4
supersampling, so the small ones stay sharp. The output is reproducible
byte for byte; the committed .ico is this script's output and is never
edited by hand.
"""
import os
import struct
import sys

SIZES = (16, 32)
# (size, bits per pixel) of each image, in the file's order.
IMAGES = ((16, 4), (32, 4), (16, 32), (32, 8))
SUPERSAMPLE = 4

TILE_TOP = (0x3A, 0x8E, 0xE6)
TILE_BOTTOM = (0x14, 0x4F, 0xA8)
TILE_EDGE = (0x0C, 0x33, 0x73)
WHITE = (0xFF, 0xFF, 0xFF)

# The 16 colours of the VGA palette, as Windows shows 4-bit icons.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
       (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
       (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def inside_rounded_square(x, y, margin, radius):
    """(x, y) in unit coordinates (0..1) inside the rounded tile."""
    lo, hi = margin, 1 - margin
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def inside_polygon(x, y, points):
    crossing = False
    for i in range(len(points)):
        (x1, y1), (x2, y2) = points[i], points[(i + 1) % len(points)]
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            crossing = not crossing
    return crossing


# The arrow: a shaft and a head pointing down, in unit coordinates.
ARROW = [(0.42, 0.16), (0.58, 0.16), (0.58, 0.44), (0.72, 0.44), (0.50, 0.66), (0.28, 0.44), (0.42, 0.44)]
# The tray: an open U under the arrow.
TRAY_OUTER = [(0.20, 0.58), (0.30, 0.58), (0.30, 0.74), (0.70, 0.74), (0.70, 0.58), (0.80, 0.58),
              (0.80, 0.84), (0.20, 0.84)]


def sample(x, y):
    """Colour and coverage (0 or 1) of one point of the picture."""
    if not inside_rounded_square(x, y, 0.04, 0.16):
        return (0, 0, 0), 0
    if not inside_rounded_square(x, y, 0.08, 0.13):
        return TILE_EDGE, 1
    if inside_polygon(x, y, ARROW) or inside_polygon(x, y, TRAY_OUTER):
        return WHITE, 1
    t = (y - 0.08) / 0.84
    return tuple(round(a + (b - a) * t) for a, b in zip(TILE_TOP, TILE_BOTTOM)), 1


def render(size):
    """Rows of (r, g, b, a), top row first."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = covered = 0
            for sy in range(n):
                for sx in range(n):
                    (cr, cg, cb), c = sample((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    r, g, b, covered = r + cr * c, g + cg * c, b + cb * c, covered + c
            if covered:
                row.append((round(r / covered), round(g / covered), round(b / covered),
                            round(255 * covered / (n * n))))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def vga_index(colour):
    """The 16-colour image keeps the tile blue: plain distance would pick
    teal or grey for its light blue."""
    r, g, b = colour
    if min(colour) >= 200:
        return 15  # white
    if min(colour) >= 150:
        return 7  # silver: white blended into the tile
    return 12 if b >= 170 else 4  # blue, or navy for the edge and the dark end


def nearest(colour, palette):
    return min(range(len(palette)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(colour, palette[i])))


def adaptive_palette(pictures, count):
    """Up to count colours, black first: the opaque colours of the
    pictures, merged by averaging the closest pair until they fit."""
    weights = {}
    for rows in pictures:
        for row in rows:
            for r, g, b, a in row:
                if a >= 128:
                    weights[(r, g, b)] = weights.get((r, g, b), 0) + 1
    colours = [[c, w] for c, w in sorted(weights.items())]
    while len(colours) > count - 1:
        best = None
        for i in range(len(colours)):
            for j in range(i + 1, min(i + 12, len(colours))):
                d = sum((a - b) ** 2 for a, b in zip(colours[i][0], colours[j][0]))
                if best is None or d < best[0]:
                    best = (d, i, j)
        _, i, j = best
        (ci, wi), (cj, wj) = colours[i], colours[j]
        merged = tuple(round((a * wi + b * wj) / (wi + wj)) for a, b in zip(ci, cj))
        colours[i] = [merged, wi + wj]
        del colours[j]
        colours.sort()
    # Entry 0 stands for the transparent pixels too (the mask hides them).
    return [(0, 0, 0)] + [c for c, _ in colours if c != (0, 0, 0)][:count - 1]


def row_bytes(bits):
    return (bits + 31) // 32 * 4


def and_mask(rows):
    size = len(rows)
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(row_bytes(size))
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def bitmap_header(size, bits, colours_used, image_bytes):
    return struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, image_bytes, 0, 0, colours_used, 0)


def encode_32(rows):
    size = len(rows)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask = and_mask(rows)
    return bitmap_header(size, 32, 0, len(pixels) + len(mask)) + bytes(pixels) + mask


def encode_indexed(rows, palette, bits):
    size = len(rows)
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray(row_bytes(size * bits))
        for x, (r, g, b, a) in enumerate(row):
            if a < 128:
                index = 0
            elif bits == 4:
                index = vga_index((r, g, b))
            else:
                index = nearest((r, g, b), palette)
            if bits == 8:
                line[x] = index
            else:
                line[x // 2] |= index << (4 if x % 2 == 0 else 0)
        pixels += line
    mask = and_mask(rows)
    table = b''.join(bytes((b, g, r, 0)) for r, g, b in palette)
    return bitmap_header(size, bits, len(palette), len(pixels) + len(mask)) + table + bytes(pixels) + mask


def write_icon(path):
    pictures = {size: render(size) for size in SIZES}
    images = []
    for size, bits in IMAGES:
        rows = pictures[size]
        if bits == 4:
            data = encode_indexed(rows, VGA, 4)
        elif bits == 8:
            data = encode_indexed(rows, adaptive_palette([rows], 256), 8)
        else:
            data = encode_32(rows)
        images.append((size, bits, data))
    header = struct.pack('<HHH', 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    directory = b''
    for size, bits, data in images:
        directory += struct.pack('<BBBBHHII', size % 256, size % 256, 16 if bits == 4 else 0, 0, 1, bits,
                                 len(data), offset)
        offset += len(data)
    with open(path, 'wb') as out:
        out.write(header + directory + b''.join(data for _, _, data in images))


if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    default = os.path.join(here, '..', 'src', 'platform', 'win32', 'kelvra.ico')
    write_icon(sys.argv[1] if len(sys.argv) > 1 else default)
