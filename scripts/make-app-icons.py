#!/usr/bin/env python3
"""Draws the window resources of both programs and writes them under resources/: the share
program's icon (16, 32 and 48 pixels), its file list's six 16x16 type images (24-bit bitmaps,
magenta transparent) and the two splitter cursors of the Share tab; the downloader's icon and
the 64x64 picture of its About box.

Standard library only; the shapes come from the canvas of make-web-images.py. The outputs are
kept in the repository, so the build never runs this; run it again after changing a drawing.
"""
import importlib.util
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "resources")

_spec = importlib.util.spec_from_file_location("web_images", os.path.join(HERE, "make-web-images.py"))
web = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(web)
Canvas = web.Canvas

MAGENTA = (255, 0, 255, 255)


# ---- drawings -----------------------------------------------------------------------------------

def program_icon(n):
    """A blue tile with a white folder and an upward arrow: files going out."""
    c = Canvas(n, n)
    s = n / 32.0
    c.rect(1 * s, 1 * s, 31 * s, 31 * s, web.vgradient((70, 140, 235), (25, 75, 170), 1 * s, 31 * s), 6 * s)
    c.rect(6 * s, 12 * s, 26 * s, 26 * s, (255, 255, 255), 2 * s)
    c.rect(6 * s, 9.5 * s, 14 * s, 14 * s, (255, 255, 255), 1.5 * s)
    c.polygon([(16 * s, 4 * s), (23 * s, 12 * s), (19 * s, 12 * s), (19 * s, 21 * s),
               (13 * s, 21 * s), (13 * s, 12 * s), (9 * s, 12 * s)], (255, 170, 40))
    return c


def downloader_icon(n, c=None):
    """A green tile with a downward arrow onto a tray: a file coming in."""
    c = c or Canvas(n, n)
    s = n / 32.0
    c.rect(1 * s, 1 * s, 31 * s, 31 * s, web.vgradient((60, 185, 95), (20, 120, 55), 1 * s, 31 * s), 6 * s)
    c.polygon([(16 * s, 24 * s), (25 * s, 14 * s), (20 * s, 14 * s), (20 * s, 5 * s),
               (12 * s, 5 * s), (12 * s, 14 * s), (7 * s, 14 * s)], (255, 255, 255))
    c.rect(6 * s, 25 * s, 26 * s, 28 * s, (255, 210, 80), 1 * s)
    return c


def about_picture():
    """The downloader's icon drawn large on the dialog's face colour (an opaque bitmap)."""
    c = Canvas(64, 64)
    c.rect(0, 0, 64, 64, (240, 240, 240))
    return downloader_icon(64, c)


def file_image(kind):
    c = Canvas(16, 16)
    if kind == "folder":
        c.rect(1, 3, 7, 6, (220, 170, 50), 1)
        c.framed_rect(1, 5, 15, 14, (250, 205, 90), (185, 135, 30))
        return c
    page = {"other": (255, 255, 255), "text": (255, 255, 255), "image": (255, 255, 255),
            "archive": (250, 240, 200), "program": (235, 240, 250)}[kind]
    c.polygon([(3, 1), (10, 1), (13, 4), (13, 15), (3, 15)], (110, 110, 120))
    c.polygon([(4, 2), (9.5, 2), (12, 4.5), (12, 14), (4, 14)], page)
    if kind == "text":
        for y in (6, 8, 10, 12):
            c.rect(5, y, 11, y + 1, (90, 110, 160))
    elif kind == "image":
        c.rect(5, 6, 11, 12, (120, 190, 240))
        c.polygon([(5, 12), (8, 8), (11, 12)], (60, 150, 70))
        c.circle(9.5, 7.5, 1, (250, 210, 60))
    elif kind == "archive":
        for y in range(3, 13, 2):
            c.rect(7, y, 9, y + 1, (120, 100, 60))
        c.rect(6.5, 11, 9.5, 14, (120, 100, 60))
    elif kind == "program":
        c.rect(5, 6, 11, 12, (60, 90, 160))
        c.rect(5, 6, 11, 7.5, (120, 160, 230))
    return c


def splitter_cursor(dragging):
    """A vertical double arrow with a bar through it; filled while dragging."""
    c = Canvas(32, 32)
    white, black = (255, 255, 255), (0, 0, 0)
    for color, grow in ((white, 1.3), (black, 0.0)):
        c.polygon([(16, 3 - grow), (22 + grow, 10 + grow * 0.5), (10 - grow, 10 + grow * 0.5)], color)
        c.polygon([(16, 29 + grow), (22 + grow, 22 - grow * 0.5), (10 - grow, 22 - grow * 0.5)], color)
        c.rect(14.5 - grow, 9, 17.5 + grow, 23, color)
        c.rect(5 - grow, 15 - grow, 27 + grow, 17 + grow, color)
    if dragging:
        c.rect(7, 15.5, 25, 16.5, (70, 140, 235))
    return c


# ---- file formats -------------------------------------------------------------------------------

dib_32 = web.dib_32


def icon_file(canvases, kind=1, hotspot=(0, 0)):
    """ICO (kind 1) or CUR (kind 2, every image with the same hotspot)."""
    images = [dib_32(c) for c in canvases]
    out = bytearray(struct.pack("<HHH", 0, kind, len(images)))
    offset = 6 + 16 * len(images)
    for c, data in zip(canvases, images):
        planes, bits = (1, 32) if kind == 1 else hotspot
        out += struct.pack("<BBBBHHII", c.w % 256, c.h % 256, 0, 0, planes, bits, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out)


def bmp_24(canvas):
    w, h = canvas.w, canvas.h
    stride = (w * 3 + 3) // 4 * 4
    pixels = bytearray()
    for row in reversed(canvas.px):
        line = bytearray()
        for r, g, b, a in row:
            # Mostly transparent pixels become the mask colour; edges are blended over white,
            # which is what a list usually shows behind them.
            if a < 96:
                r, g, b = MAGENTA[:3]
            else:
                r, g, b = (round(v * a / 255 + 255 * (1 - a / 255)) for v in (r, g, b))
            line.extend((b, g, r))
        pixels += line + bytes(stride - len(line))
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return head + info + bytes(pixels)


def write(name, data):
    path = os.path.join(OUT, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    print("wrote", os.path.relpath(path))


def main():
    write("WexaShare.ico", icon_file([program_icon(n) for n in (16, 32, 48)]))
    for kind in ("other", "text", "image", "folder", "archive", "program"):
        write("filetypes/%s.bmp" % kind, bmp_24(file_image(kind)))
    write("split_vertical.cur", icon_file([splitter_cursor(False)], 2, (16, 16)))
    write("split_dragging.cur", icon_file([splitter_cursor(True)], 2, (16, 16)))
    write("WexaDownload.ico", icon_file([downloader_icon(n) for n in (16, 32, 48)]))
    write("download_about.bmp", bmp_24(about_picture()))


if __name__ == "__main__":
    main()
