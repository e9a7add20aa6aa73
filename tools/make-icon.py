#!/usr/bin/env python3
"""Draws the Vantle mark and writes resources/Cindral.ico.

With --logos it writes instead the identity package's logos
(resources/identity/Assets), the sizes its manifest names.

The mark: a rounded teal tile, a lid band across its top (an archive box),
and a bold white V that opens out of the box. Drawn analytically with
supersampling, so every size is crisp without hand-tuned bitmaps.
Run it again after changing the drawing; the .ico is committed.
"""
import math
import struct
import sys
import zlib
from pathlib import Path

SIZES = (16, 32, 48, 64, 256)
LOGOS = {"StoreLogo.png": 50, "Square150x150Logo.png": 150, "Square44x44Logo.png": 44}
SAMPLES = 4  # per axis


def rounded_rect(x, y, left, top, right, bottom, radius):
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius and left <= x <= right and top <= y <= bottom


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def colour_at(x, y):
    """Colour (r, g, b, a) of the unit-square point (x, y), y downwards."""
    if not rounded_rect(x, y, 0.04, 0.04, 0.96, 0.96, 0.2):
        return (0, 0, 0, 0)
    # The V: two strokes meeting low in the tile.
    stroke = 0.095
    if (segment_distance(x, y, 0.27, 0.36, 0.5, 0.8) <= stroke
            or segment_distance(x, y, 0.73, 0.36, 0.5, 0.8) <= stroke):
        return (255, 255, 255, 255)
    # Lid band of the box, amber.
    if 0.2 <= y <= 0.29 and 0.14 <= x <= 0.86:
        return (251, 191, 36, 255)
    # Tile: teal, lighter towards the top left.
    shade = (x + y) / 2
    r = int(20 + (13 - 20) * shade)
    g = int(184 + (110 - 184) * shade)
    b = int(166 + (110 - 166) * shade)
    return (r, g, b, 255)


def render(size):
    pixels = []
    for row in range(size):
        line = []
        for column in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (column + (sx + 0.5) / SAMPLES) / size
                    y = (row + (sy + 0.5) / SAMPLES) / size
                    r, g, b, a = colour_at(x, y)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = SAMPLES * SAMPLES
            alpha = acc[3] / n
            if alpha == 0:
                line.append((0, 0, 0, 0))
            else:
                line.append(tuple(int(round(c / acc[3])) for c in acc[:3]) + (int(round(alpha)),))
        pixels.append(line)
    return pixels


def png(pixels):
    size = len(pixels)
    raw = b"".join(b"\0" + bytes(c for p in line for c in p) for line in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def dib(pixels):
    """32-bit BGRA bitmap with its AND mask, bottom-up, as icons store it."""
    size = len(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((p[2], p[1], p[0], p[3])) for line in reversed(pixels) for p in line)
    mask_row = ((size + 31) // 32) * 4
    mask = bytearray()
    for line in reversed(pixels):
        bits = bytearray(mask_row)
        for column, p in enumerate(line):
            if p[3] == 0:
                bits[column // 8] |= 0x80 >> (column % 8)
        mask += bits
    return header + colour + bytes(mask)


def write_logos(folder):
    folder.mkdir(parents=True, exist_ok=True)
    for name, size in LOGOS.items():
        (folder / name).write_bytes(png(render(size)))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--logos":
        default = Path(__file__).resolve().parent.parent / "resources" / "identity" / "Assets"
        write_logos(Path(sys.argv[2]) if len(sys.argv) > 2 else default)
        return
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "resources" / "Cindral.ico"
    images = [(size, png(render(size)) if size >= 256 else dib(render(size))) for size in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, data in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
        body += data
    out.write_bytes(directory + body)
    # A preview for people: the 256-pixel image as a PNG beside the build.
    if len(sys.argv) > 2:
        Path(sys.argv[2]).write_bytes(png(render(256)))


if __name__ == "__main__":
    main()
