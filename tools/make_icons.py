#!/usr/bin/env python3
"""Draws the dashboard icon and writes it as assets/halvenor-communications-dashboard.png
(256 x 256) and assets/halvenor-communications-dashboard.ico (16, 32 and 48 px PNG images).

The mark is a calm teal rounded square carrying a broadcast sign: an amber
source dot with white signal arcs on either side and a short mast. Small sizes
are drawn from simplified geometry rather than scaled down, so that they stay
legible in a browser tab or on the Windows taskbar.

Uses only the Python standard library, and the output is byte-for-byte
reproducible (no timestamps or other varying chunks), so the committed icons
can be checked against a fresh run.

Usage: python3 tools/make_icons.py [--out FOLDER]
"""

import argparse
import math
import os
import struct
import zlib

ICON_BASENAME = "halvenor-communications-dashboard"
PNG_SIZE = 256
ICO_SIZES = (16, 32, 48)

# Colours (sRGB).
GRADIENT_TOP = (0x14, 0x85, 0x93)
GRADIENT_BOTTOM = (0x0B, 0x4F, 0x6C)
MARK_WHITE = (0xFF, 0xFF, 0xFF)
SOURCE_AMBER = (0xF6, 0xB9, 0x4A)

# Geometry in unit coordinates (0..1 across the icon, y downwards).
TILE_HALF = 0.47          # half the side of the rounded square
TILE_RADIUS = 0.2         # corner radius of the rounded square
CENTRE = (0.5, 0.45)      # where the signal comes from (above the mast)
CENTRE_NO_MAST = (0.5, 0.5)
ARC_HALF_ANGLE = math.radians(46)
MAST_BOTTOM = 0.8
FOOT_HALF_LENGTH = 0.13
FOOT_RADIUS = 0.03


def detail_for(size):
    """Simplified geometry for small sizes: fewer, thicker strokes."""
    if size <= 16:
        return {"centre": CENTRE_NO_MAST, "dot": 0.12, "arcs": ((0.31, 0.13),), "mast": False, "samples": 8}
    if size <= 32:
        return {"centre": CENTRE, "dot": 0.095, "arcs": ((0.24, 0.085), (0.38, 0.085)), "mast": True, "samples": 8}
    return {"centre": CENTRE, "dot": 0.08, "arcs": ((0.21, 0.065), (0.335, 0.065)), "mast": True,
            "samples": 6 if size <= 64 else 4}


def in_tile(x, y):
    dx = abs(x - 0.5)
    dy = abs(y - 0.5)
    if dx > TILE_HALF or dy > TILE_HALF:
        return False
    cx = max(dx - (TILE_HALF - TILE_RADIUS), 0.0)
    cy = max(dy - (TILE_HALF - TILE_RADIUS), 0.0)
    return cx * cx + cy * cy <= TILE_RADIUS * TILE_RADIUS


def in_arc(x, y, centre, radius, width):
    dx = x - centre[0]
    dy = y - centre[1]
    half = width / 2.0
    distance = math.hypot(dx, dy)
    if abs(distance - radius) <= half and math.atan2(abs(dy), abs(dx)) <= ARC_HALF_ANGLE:
        return True
    # Round caps at the four arc ends.
    ex = radius * math.cos(ARC_HALF_ANGLE)
    ey = radius * math.sin(ARC_HALF_ANGLE)
    for sx in (-1.0, 1.0):
        for sy in (-1.0, 1.0):
            px = centre[0] + sx * ex
            py = centre[1] + sy * ey
            if (x - px) ** 2 + (y - py) ** 2 <= half * half:
                return True
    return False


def in_mast(x, y, centre, dot):
    """A tapering mast below the source dot, standing on a rounded foot."""
    top = centre[1] + dot * 0.6
    if top <= y <= MAST_BOTTOM:
        t = (y - top) / (MAST_BOTTOM - top)
        if abs(x - 0.5) <= 0.022 + t * 0.045:
            return True
    dx = max(abs(x - 0.5) - (FOOT_HALF_LENGTH - FOOT_RADIUS), 0.0)
    dy = y - MAST_BOTTOM
    return dx * dx + dy * dy <= FOOT_RADIUS * FOOT_RADIUS


def sample_colour(x, y, geometry):
    """RGBA (0..1 alpha) of one sample point, or None outside the icon."""
    if not in_tile(x, y):
        return None
    centre = geometry["centre"]
    if math.hypot(x - centre[0], y - centre[1]) <= geometry["dot"]:
        return SOURCE_AMBER
    for radius, width in geometry["arcs"]:
        if in_arc(x, y, centre, radius, width):
            return MARK_WHITE
    if geometry["mast"] and in_mast(x, y, centre, geometry["dot"]):
        return MARK_WHITE
    t = (y - (0.5 - TILE_HALF)) / (2 * TILE_HALF)
    return tuple(round(a + (b - a) * t) for a, b in zip(GRADIENT_TOP, GRADIENT_BOTTOM))


def render(size):
    """Returns size*size RGBA pixels as bytes, antialiased by supersampling."""
    geometry = detail_for(size)
    n = geometry["samples"]
    step = 1.0 / (size * n)
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r = g = b = 0.0
            covered = 0
            for sy in range(n):
                y = (py * n + sy + 0.5) * step
                for sx in range(n):
                    x = (px * n + sx + 0.5) * step
                    colour = sample_colour(x, y, geometry)
                    if colour is None:
                        continue
                    covered += 1
                    r += colour[0]
                    g += colour[1]
                    b += colour[2]
            if covered == 0:
                row += b"\x00\x00\x00\x00"
                continue
            alpha = covered / float(n * n)
            row += bytes((round(r / covered), round(g / covered), round(b / covered), round(alpha * 255)))
        rows.append(bytes(row))
    return rows


def png_bytes(size):
    rows = render(size)
    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico_bytes(images):
    """An ICO file whose entries are PNG images (supported since Windows Vista)."""
    header = struct.pack("<HHH", 0, 1, len(images))
    directory = b""
    offset = len(header) + 16 * len(images)
    for size, data in images:
        dimension = 0 if size >= 256 else size
        directory += struct.pack("<BBBBHHII", dimension, dimension, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return header + directory + b"".join(data for _, data in images)


def main():
    default_out = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "assets")
    parser = argparse.ArgumentParser(description="Draw the dashboard icons.")
    parser.add_argument("--out", default=default_out, help="folder to write the icons into")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    png_path = os.path.join(args.out, ICON_BASENAME + ".png")
    with open(png_path, "wb") as f:
        f.write(png_bytes(PNG_SIZE))

    ico_path = os.path.join(args.out, ICON_BASENAME + ".ico")
    with open(ico_path, "wb") as f:
        f.write(ico_bytes([(size, png_bytes(size)) for size in ICO_SIZES]))

    print(os.path.normpath(png_path))
    print(os.path.normpath(ico_path))


if __name__ == "__main__":
    main()
