#!/usr/bin/env python3
"""Draws the shell's icon (a green quill crossing a ring on the panel's dark rounded square) and writes
shell/resources/app.ico with seven 32-bit images: 16, 24, 32, 48, 64, 128 and 256 pixels.

Pure standard library and plain float arithmetic, so the same script always writes the same bytes.
Images up to 128 px are stored as 32-bit DIBs, the 256 px image as PNG (as Windows' own icons do).
"""
import math
import struct
import sys
import zlib
from pathlib import Path

SIZES = [16, 24, 32, 48, 64, 128, 256]
BACKGROUND = (0x1A, 0x22, 0x20)
BORDER = (0x3A, 0x4C, 0x42)
FILL = (0x54, 0xBE, 0x6E)
LIGHT = (0xE9, 0xEC, 0xE9)
SAMPLES = 4  # 4 x 4 supersampling per pixel


def rounded_square(x, y, inset, radius):
    """True when (x, y), in unit coordinates, lies inside the rounded square."""
    lo, hi = inset, 1.0 - inset
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius and lo <= x <= hi and lo <= y <= hi


def capsule(x, y, ax, ay, bx, by, r):
    dx, dy = bx - ax, by - ay
    t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    px, py = ax + t * dx, ay + t * dy
    return (x - px) ** 2 + (y - py) ** 2 <= r * r


def quill(x, y):
    """A feather: a lens-shaped vane along the diagonal, with its shaft."""
    # rotate into the quill's frame: u along the shaft, v across it
    ax, ay = 0.30, 0.76
    ux, uy = 0.70710678, -0.70710678
    u = (x - ax) * ux + (y - ay) * uy
    v = (x - ax) * -uy + (y - ay) * ux
    length = 0.62
    if 0.10 <= u <= length:
        s = (u - 0.10) / (length - 0.10)
        half = 0.11 * math.sin(math.pi * s) ** 0.8
        if -half * 0.55 <= v <= half:
            return "vane"
    if -0.02 <= u <= length and abs(v) <= 0.012:
        return "shaft"
    return None


def colour_at(x, y):
    if not rounded_square(x, y, 0.02, 0.20):
        return None
    colour = BACKGROUND
    if not rounded_square(x, y, 0.055, 0.17):
        colour = BORDER
    r = math.hypot(x - 0.5, y - 0.5)
    if 0.28 <= r <= 0.335:
        colour = BORDER
    part = quill(x, y)
    if part == "vane":
        colour = FILL
    elif part == "shaft":
        colour = LIGHT
    return colour


def render(size):
    pixels = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0]
            hits = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    c = colour_at(x, y)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                alpha = round(255 * hits / (SAMPLES * SAMPLES))
                row.append(tuple(round(acc[i] / hits) for i in range(3)) + (alpha,))
        pixels.append(row)
    return pixels


def dib(size, pixels):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(pixels):  # bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    and_mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for i, p in enumerate(row):
            if p[3] == 0:
                bits[i // 8] |= 0x80 >> (i % 8)
        and_mask += bits
    return header + bytes(xor) + bytes(and_mask)


def png(size, pixels):
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "shell/resources/app.ico"
    images = []
    for size in SIZES:
        pixels = render(size)
        images.append(png(size, pixels) if size == 256 else dib(size, pixels))
    data = bytearray(struct.pack("<HHH", 0, 1, len(SIZES)))
    offset = 6 + 16 * len(SIZES)
    for size, image in zip(SIZES, images):
        dim = 0 if size == 256 else size
        data += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        data += image
    out.write_bytes(bytes(data))
    print(f"wrote {out} ({len(data)} bytes)")


if __name__ == "__main__":
    main()
