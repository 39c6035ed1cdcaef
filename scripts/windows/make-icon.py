#!/usr/bin/python3
"""Draws packaging/orgharvester.svg (a few flat shapes) into packaging/orgharvester.ico at
16, 24, 32, 48, 64 and 256 pixels, with the standard library alone (PNG entries, which
Windows reads since Vista). Run it again after changing the picture:
  python3 scripts/windows/make-icon.py packaging/orgharvester.ico"""
import struct
import sys
import zlib

GREEN, WHITE, PALE = (0x1f, 0x7a, 0x3a), (0xff, 0xff, 0xff), (0xe8, 0xf5, 0xe9)


def in_round_rect(x, y, x0, y0, w, h, r):
    if not (x0 <= x <= x0 + w and y0 <= y <= y0 + h):
        return False
    cx = min(max(x, x0 + r), x0 + w - r)
    cy = min(max(y, y0 + r), y0 + h - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_polygon(x, y, pts):
    inside = False
    for i in range(len(pts)):
        (x1, y1), (x2, y2) = pts[i], pts[(i + 1) % len(pts)]
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            inside = not inside
    return inside


HOUSE = [(32, 8), (54, 26), (48, 26), (48, 36), (16, 36), (16, 26), (10, 26)]


def colour(x, y):
    """The picture at a point of its 64 x 64 canvas: (r, g, b, a)."""
    c = None
    if in_round_rect(x, y, 2, 2, 60, 60, 10):
        c = GREEN
    if in_polygon(x, y, HOUSE):
        c = WHITE
    if 27 <= x <= 37 and 26 <= y <= 36:
        c = GREEN
    if in_round_rect(x, y, 12, 40, 40, 16, 2):
        c = PALE
        if abs(y - 45.5) <= 0.75 or abs(y - 50.5) <= 0.75 or abs(x - 25) <= 0.75 or abs(x - 38) <= 0.75:
            c = GREEN
    return (c + (255,)) if c else (0, 0, 0, 0)


def render(size, samples=4):
    rows = []
    for py in range(size):
        row = bytearray([0])
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) * 64 / size
                    y = (py + (sy + 0.5) / samples) * 64 / size
                    r, g, b, a = colour(x, y)
                    acc[0] += r * a; acc[1] += g * a; acc[2] += b * a; acc[3] += a
            n = samples * samples
            a = acc[3] / n
            row += bytes([round(acc[0] / acc[3]) if acc[3] else 0, round(acc[1] / acc[3]) if acc[3] else 0,
                          round(acc[2] / acc[3]) if acc[3] else 0, round(a)])
        rows.append(bytes(row))
    raw = b"".join(rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


sizes = [16, 24, 32, 48, 64, 256]
images = [render(s) for s in sizes]
out = struct.pack("<HHH", 0, 1, len(sizes))
offset = 6 + 16 * len(sizes)
for s, img in zip(sizes, images):
    out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
    offset += len(img)
with open(sys.argv[1], "wb") as f:
    f.write(out + b"".join(images))
