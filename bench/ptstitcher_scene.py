#!/usr/bin/env python3
"""Writes an uncompressed RGB TIFF of a synthetic equirectangular scene (colour ramps and a
checker pattern) for the PTStitcher benchmark: ptstitcher_scene.py <file> <width> <height>."""
import struct
import sys


def write_tiff(path, width, height, pixels):
    data_offset = 8
    bits_offset = data_offset + len(pixels)
    ifd_offset = bits_offset + 6
    entries = [
        (256, 4, 1, width), (257, 4, 1, height), (258, 3, 3, bits_offset), (259, 3, 1, 1),
        (262, 3, 1, 2), (273, 4, 1, data_offset), (277, 3, 1, 3), (278, 4, 1, height),
        (279, 4, 1, len(pixels)), (284, 3, 1, 1),
    ]
    out = bytearray(b"II*\x00" + struct.pack("<I", ifd_offset))
    out += pixels + struct.pack("<HHH", 8, 8, 8)
    out += struct.pack("<H", len(entries))
    for tag, kind, count, value in entries:
        if kind == 3 and count == 1:
            out += struct.pack("<HHIHH", tag, kind, count, value, 0)
        else:
            out += struct.pack("<HHII", tag, kind, count, value)
    out += struct.pack("<I", 0)
    with open(path, "wb") as f:
        f.write(out)


def scene(width, height):
    row_cache = {}
    rows = []
    for y in range(height):
        band = (y * 12 // height) % 2
        green = 40 + 180 * y // height
        key = (band, green)
        if key not in row_cache:
            row = bytearray(width * 3)
            for x in range(width):
                light = ((x * 24 // width) + band) % 2 == 0
                row[3 * x] = 20 + 200 * x // width
                row[3 * x + 1] = green
                row[3 * x + 2] = 230 if light else 40
            row_cache[key] = bytes(row)
        rows.append(row_cache[key])
    return b"".join(rows)


if __name__ == "__main__":
    w, h = int(sys.argv[2]), int(sys.argv[3])
    write_tiff(sys.argv[1], w, h, scene(w, h))
