#!/usr/bin/env python3
"""Makes the example document: welcome.png (drawn here) and welcome.zub around it.

Run from this folder: ./make_welcome.py. Both outputs are committed, so building and
the demo need no Python.
"""
import math
import struct
import zlib

WIDTH, HEIGHT = 480, 270


def pixel(x, y):
    # A dusk sky over a hill, with a sun.
    t = y / HEIGHT
    r, g, b = int(40 + 200 * t), int(60 + 80 * t), int(140 - 60 * t)
    if math.hypot(x - 360, y - 150) < 38:
        r, g, b = 255, 214, 90
    hill = 200 + 25 * math.sin(x / 70.0)
    if y > hill:
        r, g, b = 30, 90 + int(40 * math.sin(x / 23.0)), 50
    return bytes((max(0, min(255, r)), max(0, min(255, g)), max(0, min(255, b))))


def png(width, height):
    rows = b"".join(b"\0" + b"".join(pixel(x, y) for x in range(width)) for y in range(height))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def document(image, caption, font_size, texts):
    out = b"ZUB" + struct.pack("<iiiiIIi", WIDTH, HEIGHT, 32, font_size, len(caption), len(texts), len(image))
    out += caption + image
    for x, y, (r, g, b), text in texts:
        data = text.encode("latin-1")
        out += struct.pack("<IIIIII", r, g, b, x & 0xFFFF, y & 0xFFFF, len(data)) + data
    return out


image = png(WIDTH, HEIGHT)
texts = [
    (16, 14, (255, 255, 255), "Welcome to zub_reader"),
    (16, 40, (255, 230, 120), "One image, a few strings, one window."),
    (16, 232, (0, 0, 0), "Close the window to quit."),
    (300, 232, (255, 255, 255), "caf\u00e9 \u00e0 la cr\u00e8me"),
]
with open("welcome.png", "wb") as f:
    f.write(image)
with open("welcome.zub", "wb") as f:
    f.write(document(image, b"zub_reader: welcome", 18, texts))
