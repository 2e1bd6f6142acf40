#!/usr/bin/env python3
"""Draws the program's icons: a picture frame with an arrow carrying it away.

Writes kelvane.ico (64, 48, 32, 24 and 16 px, IDI_KELVANE in resource.h) and
kelvane-small.ico (64, 48, 32, 24 and 16 px, IDI_KELVANE_SMALL), 32 bits per pixel with alpha:
the sizes Windows asks for at 96, 144 and 192 DPI. Only the standard
library is used; the .ico files are committed, so builds need no Python.
"""
import struct
import sys
from pathlib import Path

SUPER = 8  # samples per pixel edge, for smooth edges


def shade(x, y):
    """Colour (r, g, b, a) of the unit-square point (x, y), y going down."""
    # Arrow in the lower right: a shaft and a head pointing right.
    if 0.46 <= y <= 0.62 and 0.50 <= x <= 0.78:
        return (232, 112, 24, 255)
    if 0.76 <= x <= 0.98 and abs(y - 0.54) <= (0.98 - x) * 1.05:
        return (232, 112, 24, 255)
    # Frame: a dark border around a picture.
    fx0, fy0, fx1, fy1 = 0.04, 0.12, 0.74, 0.86
    if fx0 <= x <= fx1 and fy0 <= y <= fy1:
        border = 0.08
        if x < fx0 + border or x > fx1 - border or y < fy0 + border or y > fy1 - border:
            return (92, 64, 40, 255)
        # Sun.
        if (x - 0.53) ** 2 + (y - 0.33) ** 2 <= 0.07 ** 2:
            return (250, 205, 60, 255)
        # Hill.
        if y >= 0.78 - 0.9 * max(0.0, 0.22 - abs(x - 0.30)) * 1.6:
            return (70, 160, 80, 255)
        return (150, 205, 245, 255)  # sky
    return (0, 0, 0, 0)


def render(size):
    pixels = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SUPER):
                for sx in range(SUPER):
                    r, g, b, a = shade((px + (sx + 0.5) / SUPER) / size,
                                       (py + (sy + 0.5) / SUPER) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = SUPER * SUPER
            alpha = acc[3] / n
            if acc[3]:
                row.append(tuple(round(c / acc[3]) for c in acc[:3]) + (round(alpha),))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    return pixels


def bitmap(size):
    pixels = render(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b''.join(bytes((b, g, r, a)) for row in reversed(pixels) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + xor + bytes(mask)


def write_icon(path, sizes):
    images = [bitmap(s) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for size, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    Path(path).write_bytes(out + b''.join(images))


if __name__ == '__main__':
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent)
    write_icon(folder / 'kelvane.ico', [64, 48, 32, 24, 16])
    write_icon(folder / 'kelvane-small.ico', [64, 48, 32, 24, 16])
