#!/usr/bin/env python3
"""Judges the screenshots left by screenshot_shots.exe: every NAME.png beside its NAME.ppm (the
raw capture) is read by Python's imaging library and must show the capture reduced to its palette:
the same size, one palette index per raw colour, that index a nearest palette colour, and exactly
the raw colours when the capture has at most 256 of them. The chunk layout is read by hand (CRCs,
IDAT chunks of 262143 bytes but the last), and pngcheck must accept the file.
Usage: check_screenshots.py FOLDER NAME..."""
import struct
import subprocess
import sys
import zlib
from pathlib import Path

from PIL import Image

IDAT_SIZE = 262143


def chunks(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "signature"
    pos = 8
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        assert crc == zlib.crc32(kind + body), f"CRC of {kind}"
        yield kind, body
        pos += 12 + length


def judge(folder, name):
    png_path, ppm_path = folder / f"{name}.png", folder / f"{name}.ppm"
    result = subprocess.run(["pngcheck", str(png_path)], capture_output=True, text=True)
    assert result.returncode == 0, f"pngcheck: {result.stdout}{result.stderr}"

    data = png_path.read_bytes()
    found = list(chunks(data))
    kinds = [k for k, _ in found]
    assert kinds[0] == b"IHDR" and kinds[1] == b"PLTE" and kinds[-1] == b"IEND", kinds
    width, height, depth, colour = struct.unpack(">IIBB", found[0][1][:10])
    assert (depth, colour) == (8, 3), (depth, colour)
    assert len(found[1][1]) == 768, "all 256 palette entries"
    idats = [b for k, b in found if k == b"IDAT"]
    assert all(len(b) == IDAT_SIZE for b in idats[:-1]) and 0 < len(idats[-1]) <= IDAT_SIZE, \
        [len(b) for b in idats]
    rows = zlib.decompress(b"".join(idats))
    assert len(rows) == height * (width + 1), "one filter byte and width indices per row"
    assert all(rows[y * (width + 1)] == 0 for y in range(height)), "no filter"

    raw = Image.open(ppm_path).convert("RGB")
    png = Image.open(png_path)
    assert png.mode == "P", png.mode
    assert png.size == raw.size == (width, height), (png.size, raw.size)
    palette = png.getpalette()[:768]
    palette += [0] * (768 - len(palette))
    entries = [tuple(palette[3 * i:3 * i + 3]) for i in range(256)]
    indices = list(png.getdata())
    colours = list(raw.getdata())

    index_of = {}
    for colour, index in zip(colours, indices):
        assert index_of.setdefault(colour, index) == index, f"{colour} mapped to two entries"
    used = sorted(set(indices))
    if len(index_of) <= 256:
        for colour, index in index_of.items():
            assert entries[index] == colour, f"{colour} became {entries[index]}"
    else:
        def distance(a, b):
            return sum((x - y) ** 2 for x, y in zip(a, b))
        for colour, index in index_of.items():
            best = min(distance(colour, entries[u]) for u in used)
            assert distance(colour, entries[index]) == best, \
                f"{colour} mapped to {entries[index]}, a nearer entry exists"
    return f"{name}: {width}x{height}, {len(index_of)} colours, {len(used)} entries used, {len(idats)} IDAT"


def main():
    folder = Path(sys.argv[1])
    failures = 0
    for name in sys.argv[2:]:
        try:
            print("ok  ", judge(folder, name))
        except (AssertionError, OSError) as e:
            failures += 1
            print("FAIL", name, e)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
