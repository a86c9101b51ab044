#!/usr/bin/env python3
"""Draws the application icon (an envelope dropping into a blue data box) and writes it as
the Windows icon resource (nine uncompressed bitmap images: 48, 32, 24, 16 at 8 bits per pixel
and 256, 48, 32, 24, 16 at 32 bits per pixel) and as PNG files for Linux.

Usage: tools/make_icon.py OUTDIR    (writes OUTDIR/wharfline.ico and OUTDIR/icons/wharfline-N.png)
"""
import struct
import sys
import zlib
from pathlib import Path

SS = 4  # supersampling per axis


def inside_round_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_triangle(x, y, a, b, c):
    def side(p, q):
        return (x - q[0]) * (p[1] - q[1]) - (p[0] - q[0]) * (y - q[1])
    d1, d2, d3 = side(a, b), side(b, c), side(c, a)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def near_segment(x, y, a, b, w):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    px, py = ax + t * dx, ay + t * dy
    return (x - px) ** 2 + (y - py) ** 2 <= w * w


def colour_at(u, v):
    """Colour (r, g, b, a) at unit coordinates (0..1); later shapes paint over earlier ones."""
    c = (0, 0, 0, 0)
    # The data box: a deep blue rounded box in the lower half with a lighter lid line.
    if inside_round_rect(u, v, 0.10, 0.46, 0.90, 0.94, 0.08):
        c = (24, 78, 160, 255)
        if v < 0.56:
            c = (52, 120, 206, 255)
    # The slot in the lid.
    if inside_round_rect(u, v, 0.30, 0.50, 0.70, 0.54, 0.02):
        c = (10, 40, 96, 255)
    # The envelope, tilted into the slot.
    env = inside_round_rect(u, v, 0.22, 0.06, 0.78, 0.44, 0.03)
    if env:
        c = (250, 250, 246, 255)
        if near_segment(u, v, (0.22, 0.07), (0.50, 0.28), 0.022) or \
           near_segment(u, v, (0.78, 0.07), (0.50, 0.28), 0.022):
            c = (200, 120, 30, 255)
        if not inside_round_rect(u, v, 0.235, 0.075, 0.765, 0.425, 0.02):
            c = (120, 120, 120, 255)
    # The arrow into the box.
    if inside_triangle(u, v, (0.38, 0.62), (0.62, 0.62), (0.50, 0.82)) or \
       inside_round_rect(u, v, 0.455, 0.56, 0.545, 0.64, 0.0):
        c = (255, 196, 40, 255)
    return c


def render(size):
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SS):
                for sx in range(SS):
                    r, g, b, a = colour_at((x + (sx + 0.5) / SS) / size, (y + (sy + 0.5) / SS) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = SS * SS
            a = acc[3] / n
            if acc[3]:
                row.append((round(acc[0] / acc[3]), round(acc[1] / acc[3]), round(acc[2] / acc[3]), round(a)))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    return pixels


def png(pixels):
    size = len(pixels)
    raw = b"".join(b"\x00" + bytes(v for p in row for v in p) for row in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def palette():
    """A fixed 256-colour palette: a 6x6x6 colour cube and a ramp of greys."""
    pal = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    pal += [(round(i * 255 / 39),) * 3 for i in range(40)]
    return pal


def and_mask(pixels):
    size = len(pixels)
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(pixels):
        bits = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bits
    return bytes(out)


def bmp_entry(pixels, bpp):
    size = len(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0,
                         256 if bpp == 8 else 0, 0)
    if bpp == 32:
        body = b"".join(bytes((p[2], p[1], p[0], p[3])) for row in reversed(pixels) for p in row)
        return header + body + and_mask(pixels)
    pal = palette()
    cache = {}

    def nearest(p):
        key = p[:3]
        if key not in cache:
            cache[key] = min(range(256), key=lambda i: sum((pal[i][k] - key[k]) ** 2 for k in range(3)))
        return cache[key]
    stride = (size + 3) & ~3
    body = bytearray()
    for row in reversed(pixels):
        line = bytearray(nearest(p) if p[3] >= 128 else 0 for p in row)
        body += line + bytes(stride - size)
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in pal)
    return header + table + bytes(body) + and_mask(pixels)


def main():
    out = Path(sys.argv[1])
    (out / "icons").mkdir(parents=True, exist_ok=True)
    images = {s: render(s) for s in (256, 48, 32, 24, 16)}
    for s, pixels in images.items():
        (out / "icons" / f"wharfline-{s}.png").write_bytes(png(pixels))
    entries = [(s, 8) for s in (48, 32, 24, 16)] + [(s, 32) for s in (256, 48, 32, 24, 16)]
    blobs = [bmp_entry(images[s], bpp) for s, bpp in entries]
    ico = bytearray(struct.pack("<HHH", 0, 1, len(entries)))
    offset = 6 + 16 * len(entries)
    for (s, bpp), blob in zip(entries, blobs):
        ico += struct.pack("<BBBBHHII", s % 256, s % 256, 0 if bpp == 32 else 0, 0, 1, bpp,
                           len(blob), offset)
        offset += len(blob)
    for blob in blobs:
        ico += blob
    (out / "wharfline.ico").write_bytes(bytes(ico))


if __name__ == "__main__":
    main()
