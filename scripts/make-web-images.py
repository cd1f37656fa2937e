#!/usr/bin/env python3
"""Draws the share server's built-in images and writes them under resources/web/.

The index icons, the favicon, the progress box's cancel button, the Browse button sprite and
the placeholder movie of the upload stand-in. Standard library only: shapes are rasterised
with 4x4 supersampling, PNG is written with zlib, ICO and SWF by hand. The outputs are kept in
the repository, so the build never runs this; run it again after changing a drawing.
"""
import os
import struct
import sys
import zlib

SS = 4  # supersampling per axis


# ---- drawing --------------------------------------------------------------------------------

class Canvas:
    """RGBA canvas; each shape is a coverage test evaluated on a sub-pixel grid."""

    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [[(0, 0, 0, 0)] * w for _ in range(h)]

    def _paint(self, inside, color, box=None):
        x0, y0, x1, y1 = box or (0, 0, self.w, self.h)
        x0, y0 = max(0, int(x0) - 1), max(0, int(y0) - 1)
        x1, y1 = min(self.w, int(x1) + 2), min(self.h, int(y1) + 2)
        for y in range(y0, y1):
            for x in range(x0, x1):
                hits = 0
                for sy in range(SS):
                    for sx in range(SS):
                        px = x + (sx + 0.5) / SS
                        py = y + (sy + 0.5) / SS
                        if inside(px, py):
                            hits += 1
                if hits:
                    c = color(x + 0.5, y + 0.5) if callable(color) else color
                    self._blend(x, y, c, hits / (SS * SS))

    def _blend(self, x, y, c, cover):
        r, g, b = c[:3]
        a = (c[3] / 255.0 if len(c) > 3 else 1.0) * cover
        dr, dg, db, da = self.px[y][x]
        da /= 255.0
        oa = a + da * (1 - a)
        if oa <= 0:
            return
        mix = lambda s, d: (s * a + d * da * (1 - a)) / oa
        self.px[y][x] = (round(mix(r, dr)), round(mix(g, dg)), round(mix(b, db)), round(oa * 255))

    def rect(self, x0, y0, x1, y1, color, radius=0.0):
        def inside(px, py):
            if not (x0 <= px < x1 and y0 <= py < y1):
                return False
            if radius <= 0:
                return True
            cx = min(max(px, x0 + radius), x1 - radius)
            cy = min(max(py, y0 + radius), y1 - radius)
            return (px - cx) ** 2 + (py - cy) ** 2 <= radius * radius
        self._paint(inside, color, (x0, y0, x1, y1))

    def framed_rect(self, x0, y0, x1, y1, fill, border, radius=0.0, width=1.0):
        self.rect(x0, y0, x1, y1, border, radius)
        self.rect(x0 + width, y0 + width, x1 - width, y1 - width, fill, max(0.0, radius - width))

    def polygon(self, points, color):
        def inside(px, py):
            odd = False
            n = len(points)
            for i in range(n):
                ax, ay = points[i]
                bx, by = points[(i + 1) % n]
                if (ay > py) != (by > py):
                    if px < ax + (py - ay) * (bx - ax) / (by - ay):
                        odd = not odd
            return odd
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]
        self._paint(inside, color, (min(xs), min(ys), max(xs), max(ys)))

    def circle(self, cx, cy, r, color):
        self._paint(lambda px, py: (px - cx) ** 2 + (py - cy) ** 2 <= r * r, color,
                    (cx - r, cy - r, cx + r, cy + r))

    def line(self, ax, ay, bx, by, width, color):
        half = width / 2.0
        dx, dy = bx - ax, by - ay
        length2 = dx * dx + dy * dy or 1e-9

        def inside(px, py):
            t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / length2))
            qx, qy = ax + t * dx, ay + t * dy
            return (px - qx) ** 2 + (py - qy) ** 2 <= half * half
        self._paint(inside, color, (min(ax, bx) - half, min(ay, by) - half,
                                    max(ax, bx) + half, max(ay, by) + half))

    def blit(self, other, ox, oy):
        for y in range(other.h):
            for x in range(other.w):
                self.px[oy + y][ox + x] = other.px[y][x]


def vgradient(top, bottom, y0, y1):
    def color(x, y):
        t = min(1.0, max(0.0, (y - y0) / float(max(1e-9, y1 - y0))))
        return tuple(round(a + (b - a) * t) for a, b in zip(top, bottom))
    return color


# ---- file formats ---------------------------------------------------------------------------

def png_bytes(canvas):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xffffffff)
    raw = bytearray()
    for row in canvas.px:
        raw.append(0)  # filter: none
        for p in row:
            raw.extend(p)
    header = struct.pack(">IIBBBBB", canvas.w, canvas.h, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def dib_32(canvas):
    """BITMAPINFOHEADER (double height), bottom-up BGRA rows and the 1-bit AND mask, as in ICO/CUR."""
    w, h = canvas.w, canvas.h
    xor = bytearray()
    for row in reversed(canvas.px):
        for r, g, b, a in row:
            xor.extend((b, g, r, a))
    mask_stride = ((w + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(canvas.px):
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask.extend(bits)
    info = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return info + bytes(xor) + bytes(mask)


def ico_bytes(canvas):
    """One 32-bit BMP image in an ICO file."""
    w, h = canvas.w, canvas.h
    image = dib_32(canvas)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def swf_bytes(width_px, height_px):
    """A minimal movie: one empty white frame of the Browse button's size."""
    def tag(code, data=b""):
        return struct.pack("<H", (code << 6) | len(data)) + data
    # Frame rectangle in twips: 5 bits of field width, then xmin, xmax, ymin, ymax.
    nbits = 14
    fields = [0, width_px * 20, 0, height_px * 20]
    bits = format(nbits, "05b") + "".join(format(v, "0%db" % nbits) for v in fields)
    bits += "0" * (-len(bits) % 8)
    rect = bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
    body = (rect + struct.pack("<HH", 12 << 8, 1) +  # 12 frames per second, 1 frame
            tag(69, struct.pack("<I", 0)) +           # FileAttributes
            tag(9, b"\xff\xff\xff") +                 # SetBackgroundColor
            tag(1) + tag(0))                          # ShowFrame, End
    return b"FWS" + bytes([9]) + struct.pack("<I", 8 + len(body)) + body


# ---- the pictures ---------------------------------------------------------------------------

INK = (70, 80, 96)
PAPER = (255, 255, 255)
PAPER_EDGE = (128, 138, 152)


def page(c, x0, y0, x1, y1, fold=4):
    """A sheet of paper with its top-right corner folded over."""
    outline = [(x0, y0), (x1 - fold, y0), (x1, y0 + fold), (x1, y1), (x0, y1)]
    c.polygon(outline, PAPER_EDGE)
    inner = [(x0 + 1, y0 + 1), (x1 - fold - 0.4, y0 + 1), (x1 - 1, y0 + fold + 0.4),
             (x1 - 1, y1 - 1), (x0 + 1, y1 - 1)]
    c.polygon(inner, vgradient((255, 255, 255), (232, 238, 246), y0, y1))
    c.polygon([(x1 - fold, y0), (x1 - fold, y0 + fold), (x1, y0 + fold)], (200, 208, 220))


def doc_icon():
    c = Canvas(16, 20)
    page(c, 2, 1, 14, 19)
    c.rect(4.5, 14, 11.5, 16, (120, 150, 200))  # a coloured label: some kind of file
    return c


def txt_icon():
    c = Canvas(16, 20)
    page(c, 2, 1, 14, 19)
    for i, y in enumerate((5, 7.5, 10, 12.5, 15)):
        right = 9 if i == 0 else (12 if i % 2 else 10.5)
        c.rect(4, y, right, y + 1, (96, 112, 140))
    return c


def img_icon():
    c = Canvas(16, 14)
    c.framed_rect(0.5, 0.5, 15.5, 13.5, vgradient((120, 180, 240), (200, 230, 255), 1, 9),
                  (90, 100, 120), radius=1.2)
    c.circle(11, 4.3, 1.8, (255, 210, 60))
    c.polygon([(1.5, 12.5), (5.5, 6.5), (9, 12.5)], (70, 150, 70))
    c.polygon([(6, 12.5), (10.5, 8), (14.5, 12.5)], (100, 180, 80))
    return c


def folder(c, body_top, body_color, tab_color):
    c.rect(0.5, 1, 7, 4, tab_color, radius=1)
    c.framed_rect(0.5, body_top, 15.5, 13.5, body_color, (176, 130, 30), radius=1)
    c.rect(1.5, body_top + 1, 14.5, body_top + 2, (255, 236, 160))


def dir_icon():
    c = Canvas(16, 14)
    folder(c, 3, vgradient((255, 214, 90), (240, 176, 40), 3, 13), (230, 170, 40))
    return c


def up_icon():
    c = Canvas(16, 14)
    green, dark = (60, 160, 70), (30, 110, 40)
    # A hooked arrow: up the left side, then along the bottom to the right.
    c.line(4.5, 6, 4.5, 11, 3.2, dark)
    c.line(4.5, 11, 14, 11, 3.2, dark)
    c.polygon([(4.5, 0.5), (9.2, 6.5), (-0.2, 6.5)], dark)
    c.line(4.5, 6, 4.5, 11, 1.6, green)
    c.line(4.5, 11, 13.2, 11, 1.6, green)
    c.polygon([(4.5, 2.0), (7.4, 5.8), (1.6, 5.8)], green)
    return c


def zip_icon():
    c = Canvas(16, 16)
    c.framed_rect(1.5, 1.5, 14.5, 15.5, vgradient((190, 150, 220), (140, 100, 180), 1, 15),
                  (90, 60, 120), radius=1.5)
    c.rect(2.5, 6.5, 13.5, 9.5, (240, 220, 250))  # the band around the archive
    for y in range(2, 15, 2):                       # the zip's teeth
        c.rect(6.5, y, 8, y + 1, (60, 60, 70))
        c.rect(8, y + 1, 9.5, y + 2, (60, 60, 70))
    c.framed_rect(6, 8, 10, 12, (230, 230, 236), (60, 60, 70), radius=0.8)  # the pull
    return c


def exe_icon():
    c = Canvas(16, 13)
    c.framed_rect(0.5, 0.5, 15.5, 12.5, (244, 246, 250), (60, 80, 120), radius=1)
    c.rect(1.5, 1.5, 14.5, 4, vgradient((70, 120, 210), (40, 80, 170), 1.5, 4))
    c.rect(12, 2.2, 13.6, 3.4, (255, 255, 255))
    c.rect(3, 6, 7, 10.5, (200, 210, 228))
    c.rect(8.5, 6, 13, 7, (170, 180, 200))
    c.rect(8.5, 8.5, 12, 9.5, (170, 180, 200))
    return c


def favicon():
    c = Canvas(16, 16)
    c.rect(0.5, 0.5, 15.5, 15.5, vgradient((60, 140, 230), (30, 90, 180), 0, 16), radius=3.5)
    white = (255, 255, 255)
    c.polygon([(8, 2.5), (12.5, 7), (9.4, 7), (9.4, 10.5), (6.6, 10.5), (6.6, 7), (3.5, 7)], white)
    c.line(3.5, 11, 3.5, 13, 1.6, white)  # a tray that the arrow leaves
    c.line(3.5, 13, 12.5, 13, 1.6, white)
    c.line(12.5, 11, 12.5, 13, 1.6, white)
    return c


def cancel_button():
    """Two 14x14 states side by side: normal, then hovered."""
    c = Canvas(28, 14)
    for ox, ring, fill in ((0, (150, 150, 160), (226, 226, 232)), (14, (170, 40, 40), (226, 70, 60))):
        c.circle(ox + 7, 7, 6.3, ring)
        c.circle(ox + 7, 7, 5.3, fill)
        mark = (255, 255, 255) if ox else (110, 110, 120)
        c.line(ox + 4.7, 4.7, ox + 9.3, 9.3, 1.7, mark)
        c.line(ox + 9.3, 4.7, ox + 4.7, 9.3, 1.7, mark)
    return c


# A small proportional pixel font for the button label: 7 rows above the baseline, 2 below.
GLYPHS = {
    "B": ["1110", "1001", "1001", "1110", "1001", "1001", "1110", "0000", "0000"],
    "F": ["1111", "1000", "1000", "1110", "1000", "1000", "1000", "0000", "0000"],
    "r": ["000", "000", "101", "110", "100", "100", "100", "000", "000"],
    "o": ["0000", "0000", "0110", "1001", "1001", "1001", "0110", "0000", "0000"],
    "w": ["00000", "00000", "10001", "10001", "10101", "10101", "01010", "00000", "00000"],
    "s": ["000", "000", "011", "100", "010", "001", "110", "000", "000"],
    "e": ["0000", "0000", "0110", "1001", "1111", "1000", "0111", "0000", "0000"],
    "f": ["011", "100", "111", "100", "100", "100", "100", "000", "000"],
    "i": ["1", "0", "1", "1", "1", "1", "1", "0", "0"],
    "l": ["1", "1", "1", "1", "1", "1", "1", "0", "0"],
    ".": ["0", "0", "0", "0", "0", "0", "1", "0", "0"],
    " ": ["00", "00", "00", "00", "00", "00", "00", "00", "00"],
}


def text_width(text):
    return sum(len(GLYPHS[ch][0]) + 1 for ch in text) - 1


def draw_text(c, text, x, y, color):
    for ch in text:
        rows = GLYPHS[ch]
        for gy, row in enumerate(rows):
            for gx, bit in enumerate(row):
                if bit == "1":
                    c.px[y + gy][x + gx] = color + (255,)
        x += len(rows[0]) + 1


def browse_state(top, bottom, border, ink, pressed):
    c = Canvas(111, 22)
    c.framed_rect(0.5, 0.5, 110.5, 21.5, vgradient(top, bottom, 1, 21), border, radius=3)
    if not pressed:
        c.rect(2, 1.5, 109, 2.5, (255, 255, 255, 150), radius=0)
    label = "Browse for File..."
    shift = 1 if pressed else 0
    draw_text(c, label, (111 - text_width(label)) // 2 + shift, 7 + shift, ink)
    return c


def browse_sprite():
    """Normal, hovered, pressed and disabled states stacked from the top."""
    states = [
        browse_state((252, 252, 254), (214, 222, 234), (120, 132, 156), (30, 40, 60), False),
        browse_state((240, 248, 255), (180, 210, 246), (60, 110, 190), (20, 50, 110), False),
        browse_state((170, 196, 232), (220, 232, 250), (50, 90, 160), (20, 40, 90), True),
        browse_state((240, 240, 240), (228, 228, 228), (190, 190, 190), (170, 170, 170), False),
    ]
    c = Canvas(111, 88)
    for i, state in enumerate(states):
        c.blit(state, 0, 22 * i)
    return c


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "web")
    outputs = {
        "images/doc_icon.png": png_bytes(doc_icon()),
        "images/txt_icon.png": png_bytes(txt_icon()),
        "images/img_icon.png": png_bytes(img_icon()),
        "images/dir_icon.png": png_bytes(dir_icon()),
        "images/up_icon.png": png_bytes(up_icon()),
        "images/zip_icon.png": png_bytes(zip_icon()),
        "images/exe_icon.png": png_bytes(exe_icon()),
        "images/favicon.ico": ico_bytes(favicon()),
        "images/cancelbutton.png": png_bytes(cancel_button()),
        "images/browse111x22.png": png_bytes(browse_sprite()),
        "uploader/swfupload.swf": swf_bytes(111, 22),
    }
    for name, data in outputs.items():
        path = os.path.normpath(os.path.join(root, name))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        print("%-28s %6d bytes" % (name, len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
