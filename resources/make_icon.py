#!/usr/bin/env python3
"""Writes the tray icon: a route of three hops climbing to a target, 32x32 and 16x16, 16 colours.

The pixels come from a few line and disc primitives, so the file is the same on every build.
Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

# The standard 16-colour palette, in the order Windows gives its indices.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_GREEN, GREY, RED, GREEN, YELLOW, WHITE = 0, 2, 8, 9, 10, 11, 15


def draw(size):
    """Returns rows (top first) of palette indices, None where the icon is transparent."""
    pixels = [[None] * size for _ in range(size)]
    # The path: from the bottom-left, over two routers, to the target at the top-right. The small
    # image has its own layout, so that every part keeps at least one clear pixel at 16x16.
    if size == 32:
        s, hops = 1.0, [(5, 26), (13, 17), (20, 21), (26, 7)]
    else:
        s, hops = 0.5, [(2.5, 13.5), (6.5, 8.5), (10.5, 10.5), (12.5, 4.0)]

    def disc(cx, cy, radius, colour):
        for y in range(size):
            for x in range(size):
                if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= radius * radius:
                    pixels[y][x] = colour

    def line(a, b, width, colour):
        steps = int(max(abs(b[0] - a[0]), abs(b[1] - a[1])) * 4) + 1
        for i in range(steps + 1):
            t = i / steps
            disc(a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t, width / 2.0, colour)

    for a, b in zip(hops, hops[1:]):
        line(a, b, 3.2 * s + 0.6, BLACK)
    for a, b in zip(hops, hops[1:]):
        line(a, b, 1.6 * s + 0.2, YELLOW)
    for x, y in hops[:-1]:
        disc(x, y, 3.6 * s + 0.4, BLACK)
        disc(x, y, 2.4 * s + 0.2, GREEN)
    tx, ty = hops[-1]
    disc(tx, ty, 5.0 * s + 0.6, BLACK)
    disc(tx, ty, 3.8 * s + 0.4, RED)
    disc(tx, ty, 2.2 * s + 0.2, WHITE)
    disc(tx, ty, 1.0 * s, RED)
    return pixels


def image(size):
    """An icon image: BITMAPINFOHEADER (double height), palette, XOR bits, AND mask; bottom row first."""
    pixels = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    colour_rows, mask_rows = [], []
    mask_stride = ((size + 31) // 32) * 4
    for row in reversed(pixels):
        nibbles = [0 if p is None else p for p in row]
        colour_rows.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2)).ljust(
            ((size * 4 + 31) // 32) * 4, b"\0"))
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask_rows.append(bytes(bits))
    return header + palette + b"".join(colour_rows) + b"".join(mask_rows)


def main():
    images = [image(32), image(16)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip((32, 16), images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
