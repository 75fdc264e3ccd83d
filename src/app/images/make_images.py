#!/usr/bin/env python3
"""Draws the window's button images (plain 40x40 RGBA PNGs) from simple
shapes; run again after changing a shape. Standard library only."""
import math
import struct
import zlib

SIZE = 40


def png(path, pixels):
    raw = b''.join(b'\x00' + bytes(c for px in row for c in px) for row in pixels)

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xffffffff)

    header = struct.pack('>IIBBBBB', SIZE, SIZE, 8, 6, 0, 0, 0)
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(raw, 9)) +
                chunk(b'IEND', b''))


def render(inside, color):
    """inside(x, y) -> coverage 0..1, sampled 4x4 per pixel for soft edges."""
    rows = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            cover = sum(inside(x + (i + 0.5) / 4, y + (j + 0.5) / 4) for i in range(4) for j in range(4)) / 16
            row.append((*color, int(round(255 * cover))))
        rows.append(row)
    return rows


def ring(cx, cy, r_out, r_in):
    return lambda x, y: r_in <= math.hypot(x - cx, y - cy) <= r_out


def status(x, y):  # a gauge: ring with a needle
    in_ring = ring(20, 20, 17, 13)(x, y)
    needle = abs((x - 20) - (20 - y)) < 2.2 and 20 <= x <= 30 and 10 <= y <= 20
    hub = math.hypot(x - 20, y - 20) <= 3.5
    return in_ring or needle or hub


def browse(x, y):  # a folder
    tab = 6 <= x <= 18 and 8 <= y <= 13
    body = 4 <= x <= 36 and 12 <= y <= 33
    return tab or body


def update(x, y):  # an arrow pointing up onto a bar
    head = y >= 5 and y <= 20 and abs(x - 20) <= (y - 5)
    shaft = 15 <= x <= 25 and 20 <= y <= 29
    bar = 6 <= x <= 34 and 32 <= y <= 36
    return head or shaft or bar


def app(x, y):  # a chip with pins and an arrow
    body = 9 <= x <= 31 and 9 <= y <= 31
    pins = (any(abs(x - p) < 1.5 for p in (13, 20, 27)) and (3 <= y < 9 or 31 < y <= 37)) or \
           (any(abs(y - p) < 1.5 for p in (13, 20, 27)) and (3 <= x < 9 or 31 < x <= 37))
    hole = 13 <= x <= 27 and 13 <= y <= 27 and not (abs(x - 20) <= (y - 13) * 0.8 and y <= 22) \
        and not (17 <= x <= 23 and 22 < y <= 27)
    return (body and not hole) or pins


NORMAL = (0x45, 0x5a, 0x74)  # slate
HOVER = (0x1e, 0x88, 0xe5)   # bright blue

for name, shape in (('status', status), ('browse', browse), ('update', update)):
    png(f'{name}.png', render(shape, NORMAL))
    png(f'{name}-hover.png', render(shape, HOVER))
png('quorvel.png', render(app, HOVER))
