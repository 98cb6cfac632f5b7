#!/usr/bin/env python3
"""Draws the wizard's banner (a baseline JPEG, 194 x 359, three colour components) and its main
icon (seven images: 48, 32, 16 pixels at 256 colours; 128, 48, 32, 16 pixels at 32 bits).
Usage: make_assets.py OUTPUT_DIR"""
import struct
import sys
from pathlib import Path

from PIL import Image, ImageDraw, ImageFilter


def lerp(a, b, t):
    return tuple(int(a[i] + (b[i] - a[i]) * t) for i in range(len(a)))


def landscape(w, h, sky_top, sky_bottom):
    """A mountain tarn: sky, two ridges and the lake reflecting them."""
    img = Image.new("RGB", (w, h))
    px = img.load()
    horizon = int(h * 0.62)
    for y in range(h):
        if y < horizon:
            c = lerp(sky_top, sky_bottom, y / horizon)
        else:
            c = lerp((40, 92, 140), (14, 40, 72), (y - horizon) / max(1, h - horizon))
        for x in range(w):
            px[x, y] = c
    d = ImageDraw.Draw(img)
    far = [(0, horizon), (0, int(h * .42)), (w * .3, int(h * .30)), (w * .55, int(h * .44)),
           (w * .8, int(h * .26)), (w, int(h * .38)), (w, horizon)]
    near = [(0, horizon), (0, int(h * .52)), (w * .22, int(h * .45)), (w * .45, int(h * .56)),
            (w * .7, int(h * .47)), (w, int(h * .55)), (w, horizon)]
    d.polygon(far, fill=(92, 112, 150))
    d.polygon(near, fill=(52, 72, 96))
    # Snow on the highest peak.
    d.polygon([(w * .8, int(h * .26)), (w * .74, int(h * .31)), (w * .86, int(h * .30))], fill=(235, 240, 248))
    # The reflection, darker and slightly blurred.
    refl = img.crop((0, int(h * .24), w, horizon)).transpose(Image.FLIP_TOP_BOTTOM)
    refl = refl.filter(ImageFilter.GaussianBlur(max(1, w // 100)))
    dark = Image.new("RGB", refl.size, (20, 50, 90))
    refl = Image.blend(refl, dark, 0.55)
    img.paste(refl.crop((0, 0, w, h - horizon)), (0, horizon))
    return img


def banner(path):
    w, h = 194, 359
    img = landscape(w, h, (250, 196, 120), (170, 200, 232))
    d = ImageDraw.Draw(img)
    for i, y in enumerate(range(int(h * .70), h, 9)):
        d.line([(20 + i * 3, y), (w - 30 - i * 5, y)], fill=(120, 160, 200), width=1)
    img.save(path, "JPEG", quality=92, progressive=False, optimize=False, subsampling=0)


def bmp_entry(img, bpp):
    """One icon image as a DIB: header (height doubled), colours, pixels, AND mask."""
    w, h = img.size
    out = bytearray()
    out += struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, bpp, 0, 0, 0, 0, 256 if bpp == 8 else 0, 0)
    rows = []
    if bpp == 8:
        pal_img = img.convert("RGB").quantize(256)
        pal = pal_img.getpalette()[:768]
        pal += [0] * (768 - len(pal))
        for i in range(256):
            out += bytes((pal[3 * i + 2], pal[3 * i + 1], pal[3 * i], 0))
        data = pal_img.load()
        stride = (w + 3) & ~3
        for y in range(h - 1, -1, -1):
            row = bytes(data[x, y] for x in range(w))
            rows.append(row + b"\0" * (stride - w))
    else:
        rgba = img.convert("RGBA").load()
        for y in range(h - 1, -1, -1):
            rows.append(b"".join(bytes((rgba[x, y][2], rgba[x, y][1], rgba[x, y][0], rgba[x, y][3])) for x in range(w)))
    out += b"".join(rows)
    mask_stride = ((w + 31) // 32) * 4
    alpha = img.convert("RGBA").load()
    for y in range(h - 1, -1, -1):
        bits = bytearray(mask_stride)
        for x in range(w):
            if alpha[x, y][3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bits
    return bytes(out)


def icon_image(size):
    art = landscape(256, 256, (255, 190, 110), (160, 196, 235))
    mask = Image.new("L", (256, 256), 0)
    ImageDraw.Draw(mask).rounded_rectangle([8, 8, 247, 247], radius=48, fill=255)
    art.putalpha(mask)
    return art.resize((size, size), Image.LANCZOS)


def icon(path):
    images = [(48, 8), (32, 8), (16, 8), (128, 32), (48, 32), (32, 32), (16, 32)]
    blobs = [bmp_entry(icon_image(s), bpp) for s, bpp in images]
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for (s, bpp), blob in zip(images, blobs):
        entries += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, bpp, len(blob), offset)
        offset += len(blob)
    Path(path).write_bytes(head + entries + b"".join(blobs))


if __name__ == "__main__":
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    banner(out / "banner.jpg")
    icon(out / "Tarn_Import.ico")
