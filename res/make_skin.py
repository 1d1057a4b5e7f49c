#!/usr/bin/python3
"""Draws Vidora's artwork: the two skin backgrounds, the two button strips and the
program icon, written as BMP files beside this script.

Run:  /usr/bin/python3 res/make_skin.py      (needs Debian's python3-pil)

Every shape is drawn as a coverage mask at SS times the final resolution and reduced
with a box filter, so edges are anti-aliased and the output is the same on every run.
No font file is used: the wordmark is built from strokes below.

Colour key: in the normal skin the window shows pure red (255, 0, 0) as see-through, so
that colour appears only in the four outer corners of skin-normal.bmp and nowhere else
(the button strip is copied into the same window). The check at the end enforces it.
"""

import math
import os
import struct
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter

HERE = os.path.dirname(os.path.abspath(__file__))
SS = 4  # supersampling factor for every mask
KEY = (255, 0, 0)

# Palette: graphite frame, black glass, one accent per button.
OUTLINE = (13, 14, 16)
FRAME_TOP = (64, 68, 75)
FRAME_BOTTOM = (35, 37, 41)
FACE_TOP = (56, 60, 66)
FACE_BOTTOM = (40, 42, 47)
WELL = (9, 9, 10)
CELL_GROUND = (0, 0, 0)  # ground of the normal button strip: black, because in fullscreen the
# cells sit on the black band, where any other ground would show as a square around each key
LARGE_GROUND = (97, 97, 97)  # grey the large skin's buttons are drawn on
PLATE_TOP = (66, 70, 77)
PLATE_BOTTOM = (33, 35, 39)
WHITE = (238, 240, 242)
ORANGE = (255, 150, 34)
GREEN = (118, 226, 128)
BLUE = (74, 168, 255)
GREY = (160, 164, 170)
CORAL = (226, 88, 72)
NEUTRAL = (88, 88, 90)  # what a half-covered corner pixel is blended toward


# ---------------------------------------------------------------- drawing helpers

def mask(size, paint):
    """Coverage mask ("L", final size) of whatever paint(draw, s) draws in white at
    SS times the size; s(v) converts a final-pixel coordinate to the big canvas."""
    w, h = size
    big = Image.new("L", (w * SS, h * SS), 0)
    paint(ImageDraw.Draw(big), lambda v: v * SS)
    return big.reduce(SS)


def box(s, x0, y0, x1, y1):
    """Big-canvas corners of the final-pixel box [x0, x1) x [y0, y1)."""
    return [s(x0), s(y0), s(x1) - 1, s(y1) - 1]


def rrect_mask(size, x0, y0, x1, y1, r):
    return mask(size, lambda d, s: d.rounded_rectangle(box(s, x0, y0, x1, y1), radius=s(r), fill=255))


def ellipse_mask(size, cx, cy, rx, ry=None):
    ry = rx if ry is None else ry
    return mask(size, lambda d, s: d.ellipse(box(s, cx - rx, cy - ry, cx + rx, cy + ry), fill=255))


def poly_mask(size, points):
    return mask(size, lambda d, s: d.polygon([(s(x), s(y)) for x, y in points], fill=255))


def stroke(d, s, points, width):
    """A polyline with round caps and joins (PIL lines have square ends)."""
    pts = [(s(x), s(y)) for x, y in points]
    d.line(pts, fill=255, width=round(s(width)), joint="curve")
    r = s(width) / 2
    for x, y in (pts[0], pts[-1]):
        d.ellipse([x - r, y - r, x + r, y + r], fill=255)


def arc_points(cx, cy, rx, ry, a0, a1, n=24):
    """Points along an elliptic arc, angles in degrees, y axis pointing down."""
    return [(cx + rx * math.cos(math.radians(a0 + (a1 - a0) * i / n)),
             cy + ry * math.sin(math.radians(a0 + (a1 - a0) * i / n))) for i in range(n + 1)]


def minus(a, b):
    return ImageChops.subtract(a, b)


def plus(a, b):
    return ImageChops.add(a, b)


def shifted(m, dx, dy):
    """The mask moved by whole pixels, with empty space shifted in."""
    out = Image.new("L", m.size, 0)
    out.paste(m, (dx, dy))
    return out


def scaled(m, factor):
    """The mask with every value multiplied by factor (0..1)."""
    return m.point(lambda v: round(v * factor))


def vgradient(size, top, bottom, y0=0, y1=None):
    """An RGB image whose colour runs from top (row y0) to bottom (row y1 - 1)."""
    w, h = size
    y1 = h if y1 is None else y1
    col = Image.new("RGB", (1, h))
    span = max(1, y1 - 1 - y0)
    for y in range(h):
        t = min(1.0, max(0.0, (y - y0) / span))
        col.putpixel((0, y), tuple(round(a + (b - a) * t) for a, b in zip(top, bottom)))
    return col.resize((w, h), Image.NEAREST)


def fill(img, colour, m):
    """Paints a solid colour (or an RGB image of the same size) through a mask."""
    src = colour if isinstance(colour, Image.Image) else Image.new("RGB", img.size, colour)
    img.paste(src, (0, 0), m)


def glow(m, radius, strength):
    """A soft halo around a mask, for highlights and shadows."""
    return scaled(m.filter(ImageFilter.GaussianBlur(radius)), strength)


def recess(img, m, depth=1.0):
    """Makes a filled area look sunk into the surface around it: shadow along its
    inner top edge, a light line just below its bottom edge."""
    first = minus(m, shifted(m, 0, 1))
    second = minus(minus(m, shifted(m, 0, 2)), first)
    fill(img, (0, 0, 0), scaled(first, 0.55 * depth))
    fill(img, (0, 0, 0), scaled(second, 0.25 * depth))
    below = minus(shifted(m, 0, 1), m)
    fill(img, (255, 255, 255), scaled(below, 0.16 * depth))


# ---------------------------------------------------------------- symbols (48 x 48 cell)

CELL = (48, 48)


def sym_play():
    # Triangle centred on its centroid; the round-joined outline softens the corners.
    def paint(d, s):
        pts = [(19.0, 14.5), (19.0, 33.5), (35.0, 24.0)]
        d.polygon([(s(x), s(y)) for x, y in pts], fill=255)
        d.line([(s(x), s(y)) for x, y in pts + pts[:1]], fill=255, width=round(s(1.2)), joint="curve")
    return mask(CELL, paint)


def sym_pause():
    def paint(d, s):
        d.rounded_rectangle(box(s, 16.5, 14.5, 22.0, 33.5), radius=s(1.5), fill=255)
        d.rounded_rectangle(box(s, 26.0, 14.5, 31.5, 33.5), radius=s(1.5), fill=255)
    return mask(CELL, paint)


def sym_folder():
    # A folder with its front flap tilted open, the flap parted from the back by a gap.
    back = mask(CELL, lambda d, s: (
        d.rounded_rectangle(box(s, 12.0, 15.0, 22.0, 19.0), radius=s(1.5), fill=255),
        d.rounded_rectangle(box(s, 12.0, 17.0, 34.5, 33.0), radius=s(2.0), fill=255)))
    flap_pts = [(16.5, 21.5), (37.5, 21.5), (34.0, 33.0), (12.0, 33.0)]
    flap = poly_mask(CELL, flap_pts)
    gap = mask(CELL, lambda d, s: d.line([(s(x), s(y)) for x, y in flap_pts[:3]] + [(s(12.0), s(33.0))],
                                         fill=255, width=round(s(3.0)), joint="curve"))
    return plus(minus(back, gap), flap)


def sym_scissors():
    # Two ring handles below, blades crossing at a pivot and opening upward.
    rings = [(18.0, 32.5), (30.0, 32.5)]
    tips = [(31.5, 11.0), (16.5, 11.0)]
    pivot = (24.0, 23.2)

    def blade(d, s, ring, tip):
        dx, dy = tip[0] - ring[0], tip[1] - ring[1]
        ln = math.hypot(dx, dy)
        ux, uy = dx / ln, dy / ln
        nx, ny = -uy, ux
        base = (ring[0] + ux * 4.8, ring[1] + uy * 4.8)
        half = 1.7
        pts = [(base[0] + nx * half, base[1] + ny * half),
               (pivot[0] + nx * 1.9, pivot[1] + ny * 1.9),
               (tip[0] + nx * 0.35, tip[1] + ny * 0.35),
               (tip[0] - nx * 0.35, tip[1] - ny * 0.35),
               (pivot[0] - nx * 1.9, pivot[1] - ny * 1.9),
               (base[0] - nx * half, base[1] - ny * half)]
        d.polygon([(s(x), s(y)) for x, y in pts], fill=255)

    def paint(d, s):
        for ring, tip in zip(rings, tips):
            blade(d, s, ring, tip)
        for cx, cy in rings:
            d.ellipse(box(s, cx - 5.6, cy - 5.6, cx + 5.6, cy + 5.6), fill=255)

    solid = mask(CELL, paint)
    holes = mask(CELL, lambda d, s: [d.ellipse(box(s, cx - 3.3, cy - 3.3, cx + 3.3, cy + 3.3), fill=255)
                                     for cx, cy in rings])
    screw = ellipse_mask(CELL, pivot[0], pivot[1], 0.9)
    return minus(minus(solid, holes), screw)


# ---------------------------------------------------------------- button strips

def button_cell(ground, symbol, colour, accent):
    """One 48 x 48 cell: a round dark key on the ground colour with the symbol on it.
    accent is None for the resting face, or the glow colour of the hovered face."""
    img = Image.new("RGB", CELL, ground)
    cx, cy, r = 24.0, 24.0, 21.0
    plate = ellipse_mask(CELL, cx, cy, r)
    # Drop shadow under the key, then the key with its gradient and rims.
    fill(img, (0, 0, 0), glow(shifted(plate, 0, 1), 1.2, 0.55))
    if accent is not None:
        fill(img, accent, glow(plate, 2.0, 0.55))
    fill(img, (4, 4, 5), plate)
    face = ellipse_mask(CELL, cx, cy, r - 1)
    fill(img, vgradient(CELL, PLATE_TOP, PLATE_BOTTOM, 3, 45), face)
    rim = minus(face, ellipse_mask(CELL, cx, cy + 0.8, r - 1.6))
    fill(img, (255, 255, 255), scaled(rim, 0.22))
    if accent is not None:
        ring = minus(face, ellipse_mask(CELL, cx, cy, r - 2.2))
        fill(img, accent, scaled(ring, 0.85))
        fill(img, accent, scaled(face, 0.10))
    # Symbol: a shadow below it, a halo when hovered, then the symbol itself.
    fill(img, (0, 0, 0), glow(shifted(symbol, 0, 1), 0.8, 0.8))
    if accent is not None:
        fill(img, accent, glow(symbol, 2.2, 0.75))
    fill(img, colour, symbol)
    # Halos and shadows fade out before the cell's edge, so the cell's border is pure
    # ground and cells sit seamlessly on a panel of the ground colour.
    out = Image.new("RGB", CELL, ground)
    out.paste(img, (0, 0), ellipse_mask(CELL, cx, cy, 23.0))
    return out


def button_strip(ground):
    play, pause, folder, scissors = sym_play(), sym_pause(), sym_folder(), sym_scissors()
    cells = [
        (play, ORANGE, ORANGE), (play, WHITE, None),
        (pause, ORANGE, ORANGE), (pause, WHITE, None),
        (folder, GREEN, GREEN), (folder, WHITE, None),
        (scissors, BLUE, BLUE), (scissors, GREY, None),
    ]
    strip = Image.new("RGB", (384, 48), ground)
    for n, (symbol, colour, accent) in enumerate(cells):
        strip.paste(button_cell(ground, symbol, colour, accent), (48 * n, 0))
    return strip


# ---------------------------------------------------------------- wordmark

def wordmark(size, x, baseline, xh, width):
    """Mask of the word "Vidora" in a geometric stroke face: xh is the x-height,
    width the stroke width, (x, baseline) where the V starts."""
    cap = xh * 1.42
    o = xh / 2  # bowl radius
    gap = xh * 0.30

    def paint(d, s):
        cx = x
        # V
        vw = xh * 1.05
        stroke(d, s, [(cx, baseline - cap), (cx + vw / 2, baseline), (cx + vw, baseline - cap)], width)
        cx += vw + gap
        # i
        stroke(d, s, [(cx, baseline - xh), (cx, baseline)], width)
        dot = width * 0.62
        d.ellipse(box(s, cx - dot, baseline - cap + 0.2 - dot, cx + dot, baseline - cap + 0.2 + dot), fill=255)
        cx += gap + o
        # d: bowl and a tall stem on its right
        stroke(d, s, arc_points(cx, baseline - o, o, o, 0, 360, 48), width)
        stroke(d, s, [(cx + o, baseline - cap), (cx + o, baseline)], width)
        cx += o + gap + o
        # o
        stroke(d, s, arc_points(cx, baseline - o, o, o, 0, 360, 48), width)
        cx += o + gap
        # r: stem and a shoulder
        stroke(d, s, [(cx, baseline), (cx, baseline - xh)], width)
        stroke(d, s, arc_points(cx + o * 0.95, baseline - o, o * 0.95, o, 180, 290, 16), width)
        cx += o * 1.3 + gap + o
        # a: single-storey, bowl and a stem on its right
        stroke(d, s, arc_points(cx, baseline - o, o, o, 0, 360, 48), width)
        stroke(d, s, [(cx + o, baseline - xh), (cx + o, baseline)], width)
    return mask(size, paint)


def cross_mask(size, cx, cy, half, width):
    return mask(size, lambda d, s: (
        stroke(d, s, [(cx - half, cy - half), (cx + half, cy + half)], width),
        stroke(d, s, [(cx - half, cy + half), (cx + half, cy - half)], width)))


# ---------------------------------------------------------------- normal skin

NORMAL = (520, 276)
CORNER_R = 22.0


def corner_coverage(x, y, w, h, r, n=16):
    """Share of pixel (x, y) inside the rounded rectangle 0, 0, w, h with corner radius r,
    sampled on an n x n grid; exact 1.0 away from the corners."""
    cx = r if x < r else (w - r if x >= w - r else None)
    cy = r if y < r else (h - r if y >= h - r else None)
    if cx is None or cy is None:
        return 1.0
    inside = 0
    for i in range(n):
        for j in range(n):
            px, py = x + (i + 0.5) / n, y + (j + 0.5) / n
            if (px - cx) ** 2 + (py - cy) ** 2 <= r * r:
                inside += 1
    return inside / (n * n)


def grille(img, size, x0, x1, y0, y1, pitch=5):
    """Horizontal slots, each a dark groove with a light lower lip."""
    y = y0
    while y + 2 <= y1:
        slot = rrect_mask(size, x0, y, x1, y + 2, 1.0)
        fill(img, (3, 3, 4), slot)
        fill(img, (255, 255, 255), scaled(minus(shifted(slot, 0, 1), slot), 0.10))
        y += pitch


def draw_normal_skin():
    w, h = NORMAL
    img = Image.new("RGB", NORMAL, FRAME_BOTTOM)
    outer = rrect_mask(NORMAL, 0, 0, w, h, CORNER_R)
    fill(img, OUTLINE, outer)
    # Outer chamfer, then the raised face plate inside it.
    rim = rrect_mask(NORMAL, 1, 1, w - 1, h - 1, CORNER_R - 1)
    fill(img, vgradient(NORMAL, FRAME_TOP, FRAME_BOTTOM), rim)
    fill(img, (255, 255, 255), scaled(minus(rim, shifted(rim, 0, 1)), 0.30))
    face = rrect_mask(NORMAL, 5, 5, w - 5, h - 5, CORNER_R - 5)
    fill(img, (0, 0, 0), scaled(minus(shifted(face, 0, 1), face), 0.35))
    fill(img, (0, 0, 0), scaled(minus(face, shifted(face, 0, -1)), 0.25))
    fill(img, vgradient(NORMAL, FACE_TOP, FACE_BOTTOM, 5, h - 5), face)
    fill(img, (255, 255, 255), scaled(minus(face, shifted(face, 0, 1)), 0.16))
    # A faint sheen over the upper half of the face.
    sheen = rrect_mask(NORMAL, 6, 6, w - 6, 120, CORNER_R - 6)
    fade = vgradient(NORMAL, (255, 255, 255), (0, 0, 0), 6, 120).convert("L")
    fill(img, (255, 255, 255), scaled(ImageChops.multiply(sheen, fade), 0.05))

    # Black glass holding the video (88, 20, 420, 256) and the seek bar (424, 21, 432, 257).
    well = rrect_mask(NORMAL, 80, 12, 436, 264, 7)
    fill(img, WELL, well)
    recess(img, well, 1.4)
    fill(img, (0, 0, 0), rrect_mask(NORMAL, 86, 18, 434, 258, 3))
    groove = rrect_mask(NORMAL, 423, 20, 433, 258, 1.5)
    fill(img, (28, 29, 32), groove)
    fill(img, (0, 0, 0), rrect_mask(NORMAL, 424, 21, 432, 257, 0))

    # Speaker grille with a close mark: the close area is 28, 98, 38, 180.
    plate = rrect_mask(NORMAL, 21, 88, 45, 190, 12)
    fill(img, (24, 25, 28), plate)
    recess(img, plate, 1.2)
    grille(img, NORMAL, 27, 39, 98, 130)
    grille(img, NORMAL, 27, 39, 150, 182)
    badge = ellipse_mask(NORMAL, 33, 140, 6.5)
    fill(img, (14, 14, 16), badge)
    fill(img, CORAL, scaled(minus(badge, ellipse_mask(NORMAL, 33, 140, 5.6)), 0.55))
    fill(img, CORAL, cross_mask(NORMAL, 33, 140, 2.4, 1.4))

    # Wordmark engraved into the frame below the grille.
    text = wordmark(NORMAL, 17.0, 236.0, 4.6, 1.15)
    fill(img, (255, 255, 255), scaled(shifted(text, 0, 1), 0.10))
    fill(img, (18, 19, 21), scaled(text, 0.75))

    # Recessed column behind the three buttons (cells at x 440..488).
    column = rrect_mask(NORMAL, 438, 30, 490, 242, 12)
    fill(img, CELL_GROUND, column)
    recess(img, column, 1.4)
    # A small orange pilot light below the column, echoing the play accent.
    led = ellipse_mask(NORMAL, 464, 255, 2.2)
    fill(img, ORANGE, glow(led, 2.0, 0.35))
    fill(img, (120, 64, 10), led)
    fill(img, ORANGE, ellipse_mask(NORMAL, 464, 254.6, 1.5))

    # The see-through corners: red only where no part of the pixel is frame; a pixel the
    # curve crosses keeps a frame colour, blended toward a neutral grey by its uncovered share.
    px = img.load()
    for y in list(range(0, math.ceil(CORNER_R))) + list(range(h - math.ceil(CORNER_R), h)):
        for x in list(range(0, math.ceil(CORNER_R))) + list(range(w - math.ceil(CORNER_R), w)):
            c = corner_coverage(x, y, w, h, CORNER_R)
            if c == 0.0:
                px[x, y] = KEY
            elif c < 1.0:
                px[x, y] = tuple(round(n + (f - n) * c) for f, n in zip(OUTLINE, NEUTRAL))
    return img


# ---------------------------------------------------------------- large skin

LARGE = (548, 420)


def draw_large_skin():
    w, h = LARGE
    img = Image.new("RGB", LARGE, LARGE_GROUND)
    full = rrect_mask(LARGE, 0, 0, w, h, 0)
    # Window edge: light inner line top/left, shade bottom/right (the outline comes last).
    fill(img, (150, 150, 152), rrect_mask(LARGE, 1, 1, w - 1, 2, 0))
    fill(img, (150, 150, 152), rrect_mask(LARGE, 1, 1, 2, h - 1, 0))
    fill(img, (70, 70, 72), rrect_mask(LARGE, 1, h - 2, w - 1, h - 1, 0))
    fill(img, (70, 70, 72), rrect_mask(LARGE, w - 2, 1, w - 1, h - 1, 0))

    # Title band with the wordmark.
    band = rrect_mask(LARGE, 0, 0, w, 24, 0)
    fill(img, vgradient(LARGE, (78, 82, 89), (50, 52, 57), 0, 24), band)
    fill(img, (255, 255, 255), scaled(rrect_mask(LARGE, 1, 1, w - 1, 2, 0), 0.22))
    fill(img, (30, 31, 34), rrect_mask(LARGE, 0, 23, w, 24, 0))
    mark = rrect_mask(LARGE, 8, 5, 22, 19, 3.5)
    fill(img, ORANGE, mark)
    fill(img, (255, 255, 255), scaled(minus(mark, shifted(mark, 0, 1)), 0.35))
    fill(img, (30, 24, 18), poly_mask(LARGE, [(13.2, 8.6), (13.2, 15.4), (18.6, 12.0)]))
    text = wordmark(LARGE, 28.5, 16.5, 7.5, 1.7)
    fill(img, (0, 0, 0), scaled(shifted(text, 0, 1), 0.6))
    fill(img, (226, 228, 232), text)

    # Close square in the top-right corner (524, 0, 548, 24).
    square = rrect_mask(LARGE, 524, 0, 548, 24, 0)
    fill(img, vgradient(LARGE, (92, 62, 58), (64, 40, 37), 0, 24), square)
    fill(img, (24, 25, 28), rrect_mask(LARGE, 523, 0, 524, 24, 0))
    fill(img, (255, 255, 255), scaled(rrect_mask(LARGE, 524, 1, 547, 2, 0), 0.20))
    x = cross_mask(LARGE, 536, 12, 4.0, 2.0)
    fill(img, (0, 0, 0), scaled(shifted(x, 0, 1), 0.5))
    fill(img, (240, 232, 230), x)

    # Video area (12, 24, 524, 348) in a thin dark bezel.
    fill(img, (30, 31, 34), rrect_mask(LARGE, 11, 24, 525, 349, 0))
    fill(img, (255, 255, 255), scaled(rrect_mask(LARGE, 11, 349, 525, 350, 0), 0.25))
    fill(img, (0, 0, 0), rrect_mask(LARGE, 12, 24, 524, 348, 0))

    # Seek groove (8, 353, 538, 356), sunk into the panel.
    fill(img, (52, 52, 54), rrect_mask(LARGE, 7, 352, 539, 357, 0))
    fill(img, (142, 142, 144), rrect_mask(LARGE, 7, 357, 539, 358, 0))
    fill(img, (16, 16, 18), rrect_mask(LARGE, 8, 353, 538, 356, 0))

    # Speaker slots at the right end of the button row.
    for i in range(7):
        y = 368 + i * 6
        slot = rrect_mask(LARGE, 452, y, 532, y + 2, 1.0)
        fill(img, (58, 58, 60), slot)
        fill(img, (255, 255, 255), scaled(minus(shifted(slot, 0, 1), slot), 0.22))
    # Dark outline around the whole window, drawn last so nothing covers it.
    fill(img, (24, 25, 28), minus(full, rrect_mask(LARGE, 1, 1, w - 1, h - 1, 0)))
    return img


# ---------------------------------------------------------------- icon

ICON = (64, 64)


def draw_icon():
    """A graphite tile with a strip of film across it and an orange play mark; returns
    RGBA with straight alpha."""
    tile = rrect_mask(ICON, 2, 2, 62, 62, 13)
    shadow = glow(shifted(tile, 0, 1), 1.0, 0.45)
    rgb = Image.new("RGB", ICON, OUTLINE)
    fill(rgb, vgradient(ICON, (84, 89, 98), (38, 40, 45), 3, 61), rrect_mask(ICON, 3, 3, 61, 61, 12))
    fill(rgb, (255, 255, 255), scaled(minus(tile, shifted(tile, 0, 1)), 0.45))
    # Film band with perforations above and below the frame.
    band = rrect_mask(ICON, 3, 13, 61, 51, 0)
    fill(rgb, (16, 17, 19), band)
    for x in range(7, 58, 8):
        for y in (15.5, 45.5):
            fill(rgb, (190, 194, 200), rrect_mask(ICON, x, y, x + 4, y + 3, 1.0))
    frame = rrect_mask(ICON, 7, 21, 57, 43, 2.5)
    fill(rgb, vgradient(ICON, (52, 56, 63), (30, 32, 36), 21, 43), frame)
    play = poly_mask(ICON, [(26.0, 24.5), (26.0, 39.5), (39.5, 32.0)])
    fill(rgb, (0, 0, 0), glow(shifted(play, 0, 1), 0.8, 0.7))
    fill(rgb, ORANGE, play)
    alpha = plus(tile, ImageChops.multiply(shadow, ImageChops.invert(tile)))
    out = rgb.convert("RGBA")
    out.putalpha(alpha)
    return out


# ---------------------------------------------------------------- file writers

def save_bmp24(img, name):
    """Uncompressed 24-bit bottom-up BMP with a BITMAPINFOHEADER (PIL's RGB writer)."""
    img.convert("RGB").save(os.path.join(HERE, name), format="BMP")


def save_bmp32_alpha(img, name):
    """32-bit BMP with a BITMAPV5HEADER, BI_BITFIELDS and an alpha mask, bottom-up,
    straight (not premultiplied) alpha."""
    w, h = img.size
    rows = []
    for y in range(h - 1, -1, -1):
        row = bytearray()
        for x in range(w):
            r, g, b, a = img.getpixel((x, y))
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    pixels = b"".join(rows)
    header = struct.pack(
        "<IiiHHIIiiII4I4s36s3I4I",
        124, w, h, 1, 32, 3, len(pixels), 2835, 2835, 0, 0,
        0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000,
        b"BGRs",  # LCS_sRGB, stored little-endian
        bytes(36), 0, 0, 0,
        4, 0, 0, 0)  # LCS_GM_IMAGES, no profile
    offset = 14 + len(header)
    head = b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset)
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(head + header + pixels)


# ---------------------------------------------------------------- check of the written files

def read_bmp(name):
    """(width, height, bits, header size, compression, pixel rows top-down as bytes)."""
    with open(os.path.join(HERE, name), "rb") as f:
        data = f.read()
    assert data[:2] == b"BM", name
    offset = struct.unpack_from("<I", data, 10)[0]
    hsize, w, h, planes, bits, comp = struct.unpack_from("<IiiHHI", data, 14)
    assert planes == 1 and h > 0, name + ": not a bottom-up BMP"
    stride = (w * bits // 8 + 3) & ~3
    rows = [data[offset + (h - 1 - y) * stride: offset + (h - 1 - y) * stride + w * bits // 8] for y in range(h)]
    assert len(data) >= offset + stride * h, name + ": pixel data cut short"
    return w, h, bits, hsize, comp, data, rows


def red_pixels(rows):
    red = set()
    for y, row in enumerate(rows):
        for x in range(len(row) // 3):
            if row[3 * x: 3 * x + 3] == b"\x00\x00\xff":  # stored blue, green, red
                red.add((x, y))
    return red


def check():
    expected = {"skin-normal.bmp": NORMAL, "skin-large.bmp": LARGE,
                "buttons-normal.bmp": (384, 48), "buttons-large.bmp": (384, 48)}
    for name, size in expected.items():
        w, h, bits, hsize, comp, _, rows = read_bmp(name)
        assert (w, h) == size, "%s is %dx%d" % (name, w, h)
        assert (bits, hsize, comp) == (24, 40, 0), name + ": not 24-bit BI_RGB with BITMAPINFOHEADER"
        red = red_pixels(rows)
        if name != "skin-normal.bmp":
            assert not red, "%s has %d pure red pixels" % (name, len(red))
            continue
        # Red only inside the four corner squares, the same staircase in each corner,
        # and each corner's red region shrinking away from the window's corner point.
        w, h = size
        r = math.ceil(CORNER_R)
        assert all((x < r or x >= w - r) and (y < r or y >= h - r) for x, y in red), \
            "skin-normal.bmp has pure red outside its corners"
        top_left = {(x, y) for x, y in red if x < r and y < r}
        mirrors = [{(w - 1 - x, y) for x, y in top_left}, {(x, h - 1 - y) for x, y in top_left},
                   {(w - 1 - x, h - 1 - y) for x, y in top_left}]
        assert red == top_left.union(*mirrors), "skin-normal.bmp corners differ"
        assert (0, 0) in red and (r - 1, r - 1) not in red and (0, r) not in red
        assert all((x - 1, y) in red or x == 0 for x, y in top_left), "corner region not convex"
        assert all((x, y - 1) in red or y == 0 for x, y in top_left), "corner region not convex"
        # The video area and the seek bar stay black glass.
        for x, y in ((88, 20), (419, 255), (254, 138), (424, 21), (431, 256)):
            assert rows[y][3 * x: 3 * x + 3] == b"\x00\x00\x00", "skin-normal.bmp not black at %d,%d" % (x, y)
    # The large skin's button row stands on the grey its cells are drawn on.
    _, _, _, _, _, _, rows = read_bmp("skin-large.bmp")
    for x, y in ((6, 388), (66, 366), (126, 410), (186, 388)):
        assert rows[y][3 * x: 3 * x + 3] == bytes(LARGE_GROUND), "skin-large.bmp button row ground"
    # Each cell's border is exactly the ground, so cells show no seam on their panel.
    for name, ground in (("buttons-normal.bmp", CELL_GROUND), ("buttons-large.bmp", LARGE_GROUND)):
        _, _, _, _, _, _, rows = read_bmp(name)
        bgr = bytes(reversed(ground))
        for n in range(8):
            edge = [(48 * n + i, j) for i in range(48) for j in (0, 47)]
            edge += [(48 * n + j, i) for i in range(48) for j in (0, 47)]
            assert all(rows[y][3 * x: 3 * x + 3] == bgr for x, y in edge), "%s cell %d edge" % (name, n)
    w, h, bits, hsize, comp, data, _ = read_bmp("icon.bmp")
    assert (w, h, bits, comp) == (64, 64, 32, 3) and hsize >= 108, "icon.bmp not 64x64 32-bit bitfields"
    assert struct.unpack_from("<4I", data, 54) == (0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000), \
        "icon.bmp masks"
    alphas = data[-64 * 64 * 4 + 3::4]
    assert alphas[0] == 0 and max(alphas) == 255, "icon.bmp alpha"


def main():
    save_bmp24(draw_normal_skin(), "skin-normal.bmp")
    save_bmp24(draw_large_skin(), "skin-large.bmp")
    save_bmp24(button_strip(CELL_GROUND), "buttons-normal.bmp")
    save_bmp24(button_strip(LARGE_GROUND), "buttons-large.bmp")
    save_bmp32_alpha(draw_icon(), "icon.bmp")
    check()


if __name__ == "__main__":
    sys.exit(main())
