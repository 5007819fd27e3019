#!/usr/bin/env python3
"""Draws the splash window's artwork: the 440 x 250 background, the 8 x 8
close cross and the application icon (16, 32, 48 and 256 pixels).

Only the standard library is used, and every random choice comes from fixed
seeds, so running it again gives the same bytes. The build does not run it:
the files it writes are committed beside it.

    python3 ui/resources/draw_artwork.py [output-directory]
"""

import math
import os
import random
import struct
import sys
import zlib

WIDTH, HEIGHT = 440, 250


# ---------------------------------------------------------------- PNG / ICO


def png_bytes(width, height, rows, alpha):
    """rows: list of bytes objects, RGB or RGBA, one per scanline."""

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0)
    raw = b"".join(b"\x00" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico_bytes(images):
    """images: list of (size, rgba rows). Small sizes as 32-bit DIBs (every
    Windows version reads those), 256 as PNG."""
    blobs = []
    for size, rows in images:
        if size >= 256:
            blobs.append(png_bytes(size, size, rows, True))
            continue
        info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
        pixels = bytearray()
        for row in reversed(rows):  # DIBs are stored bottom-up, as BGRA
            for x in range(size):
                r, g, b, a = row[4 * x:4 * x + 4]
                pixels += bytes((b, g, r, a))
        mask_stride = ((size + 31) // 32) * 4
        blobs.append(info + bytes(pixels) + bytes(mask_stride * size))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, _), blob in zip(images, blobs):
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    return out + b"".join(blobs)


# ---------------------------------------------------------------- helpers


def clamp(v, lo=0.0, hi=1.0):
    return lo if v < lo else hi if v > hi else v


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def smoothstep(e0, e1, x):
    t = clamp((x - e0) / (e1 - e0))
    return t * t * (3 - 2 * t)


def gradient(stops, t):
    """stops: list of (position, colour) in ascending position."""
    if t <= stops[0][0]:
        return stops[0][1]
    for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
        if t <= p1:
            return mix(c0, c1, smoothstep(p0, p1, t))
    return stops[-1][1]


class Noise1D:
    def __init__(self, seed, cells):
        rnd = random.Random(seed)
        self.values = [rnd.random() for _ in range(cells + 2)]

    def at(self, x):
        i = int(math.floor(x))
        f = x - i
        f = f * f * (3 - 2 * f)
        a = self.values[i % len(self.values)]
        b = self.values[(i + 1) % len(self.values)]
        return a + (b - a) * f


def ridge(seed, base, amplitude, scale, octaves=5, sharp=0.0):
    """A mountain ridge: height (row) for every column, fractal value noise."""
    layers = [Noise1D(seed * 31 + k, 512) for k in range(octaves)]
    heights = []
    for x in range(WIDTH):
        v, amp, freq, total = 0.0, 1.0, 1.0 / scale, 0.0
        for n in layers:
            s = n.at(x * freq)
            if sharp:
                s = (1 - sharp) * s + sharp * (1 - abs(2 * s - 1))
            v += s * amp
            total += amp
            amp *= 0.5
            freq *= 2.0
        heights.append(base - amplitude * (v / total - 0.5) * 2)
    return heights


class Noise2D:
    def __init__(self, seed, size=64):
        rnd = random.Random(seed)
        self.size = size
        self.values = [rnd.random() for _ in range(size * size)]

    def at(self, x, y):
        s = self.size
        xi, yi = int(math.floor(x)), int(math.floor(y))
        fx, fy = x - xi, y - yi
        fx = fx * fx * (3 - 2 * fx)
        fy = fy * fy * (3 - 2 * fy)
        v = self.values
        a = v[(yi % s) * s + xi % s]
        b = v[(yi % s) * s + (xi + 1) % s]
        c = v[((yi + 1) % s) * s + xi % s]
        d = v[((yi + 1) % s) * s + (xi + 1) % s]
        top = a + (b - a) * fx
        bottom = c + (d - c) * fx
        return top + (bottom - top) * fy


def fbm(noises, x, y):
    v, amp, total, freq = 0.0, 1.0, 0.0, 1.0
    for n in noises:
        v += n.at(x * freq, y * freq) * amp
        total += amp
        amp *= 0.5
        freq *= 2.03
    return v / total


# ---------------------------------------------------------------- lettering

# A geometric display face drawn as round-capped strokes. Coordinates are in
# a box one unit high; x is in units of the same size.


def arc(cx, cy, rx, ry, a0, a1, steps=18):
    pts = []
    for k in range(steps + 1):
        a = math.radians(a0 + (a1 - a0) * k / steps)
        pts.append((cx + rx * math.cos(a), cy + ry * math.sin(a)))
    return pts


GLYPHS = {
    "T": (0.78, [[(0.0, 0.0), (0.78, 0.0)], [(0.39, 0.0), (0.39, 1.0)]]),
    "E": (0.6, [[(0.6, 0.0), (0.0, 0.0), (0.0, 1.0), (0.6, 1.0)], [(0.0, 0.5), (0.48, 0.5)]]),
    "S": (0.66, [arc(0.33, 0.255, 0.31, 0.255, -25, -270) + arc(0.33, 0.745, 0.33, 0.255, -90, 155)]),
    "A": (0.8, [[(0.0, 1.0), (0.4, 0.0), (0.8, 1.0)], [(0.16, 0.62), (0.64, 0.62)]]),
    "L": (0.58, [[(0.0, 0.0), (0.0, 1.0), (0.58, 1.0)]]),
    "Y": (0.78, [[(0.0, 0.0), (0.39, 0.52), (0.78, 0.0)], [(0.39, 0.52), (0.39, 1.0)]]),
    "R": (0.68, [[(0.0, 1.0), (0.0, 0.0), (0.38, 0.0)] + arc(0.38, 0.25, 0.27, 0.25, -90, 90) +
                 [(0.0, 0.5)], [(0.34, 0.5), (0.68, 1.0)]]),
    "C": (0.74, [arc(0.46, 0.5, 0.46, 0.5, -42, -318, 30)]),
    "H": (0.7, [[(0.0, 0.0), (0.0, 1.0)], [(0.7, 0.0), (0.7, 1.0)], [(0.0, 0.5), (0.7, 0.5)]]),
    " ": (0.42, []),
}


def text_segments(text, x0, y0, height, tracking):
    """Line segments of `text` with its top-left at (x0, y0), and its width."""
    segs = []
    x = x0
    for ch in text:
        width, strokes = GLYPHS[ch]
        for stroke in strokes:
            pts = [(x + px * height, y0 + py * height) for px, py in stroke]
            segs.extend(zip(pts, pts[1:]))
        x += (width + tracking) * height
    return segs, x - x0 - tracking * height


def text_width(text, height, tracking):
    return text_segments(text, 0, 0, height, tracking)[1]


def distance_field(segs, w, h, reach):
    """Distance from every pixel centre to the nearest segment, capped."""
    field = [reach] * (w * h)
    for (ax, ay), (bx, by) in segs:
        x_lo = max(int(min(ax, bx) - reach), 0)
        x_hi = min(int(max(ax, bx) + reach) + 1, w - 1)
        y_lo = max(int(min(ay, by) - reach), 0)
        y_hi = min(int(max(ay, by) + reach) + 1, h - 1)
        dx, dy = bx - ax, by - ay
        length2 = dx * dx + dy * dy or 1e-9
        for y in range(y_lo, y_hi + 1):
            py = y + 0.5
            row = y * w
            for x in range(x_lo, x_hi + 1):
                px = x + 0.5
                t = clamp(((px - ax) * dx + (py - ay) * dy) / length2)
                ex, ey = ax + t * dx - px, ay + t * dy - py
                d = math.sqrt(ex * ex + ey * ey)
                if d < field[row + x]:
                    field[row + x] = d
    return field


# ---------------------------------------------------------------- background


def draw_background():
    img = [[0.0, 0.0, 0.0] for _ in range(WIDTH * HEIGHT)]
    horizon = 158
    sun_x, sun_y, sun_r = 318.0, 134.0, 23.0

    sky = [(0.00, (8, 10, 32)), (0.30, (30, 26, 74)), (0.55, (92, 48, 104)),
           (0.78, (214, 104, 78)), (0.92, (250, 170, 98)), (1.00, (255, 214, 150))]
    clouds = [Noise2D(101 + k) for k in range(5)]
    rnd = random.Random(7)

    # Sky, sun glow and lit cloud streaks.
    for y in range(HEIGHT):
        base = gradient(sky, y / horizon)
        for x in range(WIDTH):
            c = list(base)
            dx, dy = x - sun_x, (y - sun_y) * 1.6
            dist = math.sqrt(dx * dx + dy * dy)
            glow = math.exp(-dist / 70.0) * 0.55 + math.exp(-dist / 22.0) * 0.35
            c = [c[i] + (255, 190, 120)[i] * glow for i in range(3)]
            if 40 < y < horizon:
                n = fbm(clouds, x / 46.0, y / 9.0)
                band = smoothstep(40, 80, y) * (1 - smoothstep(125, horizon, y))
                a = smoothstep(0.52, 0.78, n) * band * 0.85
                if a > 0:
                    lit = clamp(1 - (horizon - y) / 90.0)
                    under = mix((70, 40, 90), (255, 150, 90), lit)
                    top = mix((40, 30, 70), (200, 110, 110), lit)
                    cc = mix(under, top, smoothstep(0.55, 0.9, n))
                    c = [c[i] * (1 - a) + cc[i] * a for i in range(3)]
            img[y * WIDTH + x] = c

    # Stars, fading towards the glow of the horizon.
    for _ in range(170):
        x, y = rnd.randrange(WIDTH), rnd.randrange(0, 112)
        fade = 1 - smoothstep(30, 112, y)
        fade *= clamp(math.hypot(x - sun_x, y - sun_y) / 120.0)
        b = rnd.random() ** 2.2 * 230 * fade
        p = img[y * WIDTH + x]
        for i in range(3):
            p[i] = min(255.0, p[i] + b * (0.85, 0.9, 1.0)[i])
        if b > 150:  # the brightest few get a small cross
            for ox, oy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                q = img[(y + oy) % HEIGHT * WIDTH + (x + ox) % WIDTH]
                for i in range(3):
                    q[i] = min(255.0, q[i] + b * 0.35)

    # The setting sun, a little flattened by the haze.
    for y in range(int(sun_y - sun_r - 2), int(sun_y + sun_r + 3)):
        for x in range(int(sun_x - sun_r - 2), int(sun_x + sun_r + 3)):
            d = math.hypot(x + 0.5 - sun_x, (y + 0.5 - sun_y) * 1.08)
            a = clamp(sun_r + 0.5 - d)
            if a > 0:
                core = mix((255, 250, 226), (255, 196, 120), clamp((y - sun_y + sun_r) / (2 * sun_r)))
                p = img[y * WIDTH + x]
                for i in range(3):
                    p[i] = p[i] * (1 - a) + core[i] * a

    def fill_ridge(heights, colour_top, colour_bottom, haze_to=None, haze=0.0, light=None):
        for x in range(WIDTH):
            h = heights[x]
            for y in range(max(int(h), 0), HEIGHT):
                cover = clamp(y + 1 - h)
                t = clamp((y - h) / 60.0)
                c = mix(colour_top, colour_bottom, t)
                if light is not None:  # rim light on slopes that face the sun
                    slope = heights[min(x + 1, WIDTH - 1)] - heights[max(x - 1, 0)]
                    facing = clamp(-slope * 0.25) if x < sun_x else clamp(slope * 0.25)
                    rim = facing * math.exp(-(y - h) / 3.0) * light
                    c = mix(c, (255, 170, 100), clamp(rim))
                if haze_to is not None:
                    c = mix(c, haze_to, haze)
                p = img[y * WIDTH + x]
                for i in range(3):
                    p[i] = p[i] * (1 - cover) + c[i] * cover

    def mist(y_center, spread, colour, strength, seed):
        n = [Noise2D(seed + k) for k in range(3)]
        for y in range(max(int(y_center - 3 * spread), 0), min(int(y_center + 3 * spread), HEIGHT)):
            w = math.exp(-((y - y_center) / spread) ** 2)
            for x in range(WIDTH):
                a = w * strength * (0.55 + 0.9 * fbm(n, x / 60.0, y / 7.0))
                a = clamp(a)
                p = img[y * WIDTH + x]
                for i in range(3):
                    p[i] = p[i] * (1 - a) + colour[i] * a

    far = ridge(11, 142, 34, 70, sharp=0.55)
    fill_ridge(far, (150, 92, 120), (120, 80, 118), (236, 150, 120), 0.35, light=0.8)
    mist(160, 9, (246, 170, 130), 0.45, 300)

    mid = ridge(23, 175, 30, 48, sharp=0.35)
    # A watchtower on the highest point of the middle range, left of centre.
    peak_x = min(range(50, 170), key=lambda x: mid[x])
    fill_ridge(mid, (62, 40, 78), (44, 30, 62), light=0.6)
    top = mid[peak_x]
    tower = []  # (x0, x1, y0, y1) rectangles
    tower.append((peak_x - 5, peak_x + 5, top - 30, top + 4))
    tower.append((peak_x - 7, peak_x + 7, top - 33, top - 28))
    for k in range(-7, 8, 4):  # battlements
        tower.append((peak_x + k, peak_x + k + 2, top - 37, top - 32))
    tower.append((peak_x + 5, peak_x + 12, top - 14, top + 4))
    for x0, x1, y0, y1 in tower:
        for y in range(int(y0), int(y1)):
            for x in range(int(x0), int(x1)):
                img[y * WIDTH + x] = [46, 30, 60]
    for wx, wy in ((peak_x - 1, top - 22), (peak_x + 8, top - 8)):  # lit windows
        for y in range(int(wy), int(wy) + 3):
            img[y * WIDTH + wx] = [255, 196, 110]
            img[y * WIDTH + wx + 1] = [230, 160, 80]
    mist(188, 7, (150, 90, 120), 0.35, 400)

    near = ridge(37, 206, 16, 90, octaves=4)
    fill_ridge(near, (22, 16, 36), (10, 8, 20), light=0.35)

    # Pine silhouettes along the near ridge.
    for _ in range(46):
        x = rnd.uniform(0, WIDTH)
        h = rnd.uniform(9, 22)
        base_y = near[int(x) % WIDTH] + 3
        for y in range(int(base_y - h), int(base_y) + 1):
            half = (y - (base_y - h)) / h * h * 0.22 + 0.4
            for xx in range(int(x - half - 1), int(x + half + 2)):
                if 0 <= xx < WIDTH and 0 <= y < HEIGHT:
                    a = clamp(half + 0.5 - abs(xx + 0.5 - x))
                    p = img[y * WIDTH + xx]
                    for i in range(3):
                        p[i] = p[i] * (1 - a) + (12, 9, 22)[i] * a

    # The bottom band carries the white status line and caption: keep it dark.
    for y in range(HEIGHT):
        dark = smoothstep(198, 236, y) * 0.72
        for x in range(WIDTH):
            p = img[y * WIDTH + x]
            for i in range(3):
                p[i] *= 1 - dark

    # Lettering: glow, shadow, dark outline and a golden fill.
    title, letter_h, tracking = "TESSALY REACH", 30.0, 0.2
    tw = text_width(title, letter_h, tracking)
    tx, ty = (WIDTH - tw) / 2, 46.0
    segs, _ = text_segments(title, tx, ty, letter_h, tracking)
    field = distance_field(segs, WIDTH, HEIGHT, 16.0)
    shadow = distance_field([((a[0] + 2, a[1] + 3), (b[0] + 2, b[1] + 3)) for a, b in segs],
                            WIDTH, HEIGHT, 8.0)
    stroke = 2.9
    for y in range(int(ty - 16), int(ty + letter_h + 17)):
        for x in range(WIDTH):
            p = img[y * WIDTH + x]
            d, ds = field[y * WIDTH + x], shadow[y * WIDTH + x]
            glow = 0.5 * math.exp(-max(d - stroke, 0) / 5.0) if d < 16 else 0
            for i in range(3):
                p[i] += (255, 150, 70)[i] * glow * 0.55
            sa = clamp(stroke + 3.0 - ds) * 0.6
            for i in range(3):
                p[i] *= 1 - sa
            oa = clamp(stroke + 1.9 + 0.5 - d)
            for i in range(3):
                p[i] = p[i] * (1 - oa) + (28, 14, 10)[i] * oa
            fa = clamp(stroke + 0.5 - d)
            if fa > 0:
                t = clamp((y + 0.5 - ty) / letter_h)
                gold = gradient([(0.0, (255, 246, 206)), (0.42, (250, 206, 112)),
                                 (0.5, (214, 150, 52)), (1.0, (244, 190, 92))], t)
                for i in range(3):
                    p[i] = p[i] * (1 - fa) + gold[i] * fa

    # An ornament under the title: a thin rule with a diamond in the middle.
    rule_y = ty + letter_h + 11
    cx = WIDTH / 2
    for x in range(int(cx - 118), int(cx + 119)):
        fade = 1 - abs(x - cx) / 118.0
        for y, strength in ((int(rule_y), 0.85), (int(rule_y) + 1, 0.25)):
            p = img[y * WIDTH + x]
            for i in range(3):
                p[i] = p[i] * (1 - fade * strength) + (240, 190, 110)[i] * fade * strength
    for y in range(int(rule_y - 5), int(rule_y + 7)):
        for x in range(int(cx - 6), int(cx + 7)):
            d = abs(x + 0.5 - cx) + abs(y + 0.5 - rule_y - 0.5)
            a = clamp(4.5 - d)
            p = img[y * WIDTH + x]
            for i in range(3):
                p[i] = p[i] * (1 - a) + (255, 226, 150)[i] * a

    # Vignette, then dither to 8 bits so the gradients do not band.
    dither = random.Random(99)
    rows = []
    for y in range(HEIGHT):
        row = bytearray()
        for x in range(WIDTH):
            nx, ny = (x - WIDTH / 2) / (WIDTH / 2), (y - HEIGHT / 2) / (HEIGHT / 2)
            v = 1 - 0.28 * smoothstep(0.35, 1.5, nx * nx + ny * ny)
            p = img[y * WIDTH + x]
            for i in range(3):
                row.append(int(clamp(p[i] * v + dither.random() - 0.5, 0, 255) + 0.5) & 0xFF
                           if p[i] * v < 254.5 else 255)
        rows.append(bytes(row))
    return rows


# ---------------------------------------------------------------- small images


def draw_close_icon():
    """8 x 8 white cross; the alpha channel carries its anti-aliased shape."""
    rows = []
    ss = 8
    for y in range(8):
        row = bytearray()
        for x in range(8):
            hit = 0
            for sy in range(ss):
                for sx in range(ss):
                    px, py = x + (sx + 0.5) / ss, y + (sy + 0.5) / ss
                    d1 = abs((px - 0.5) - (py - 0.5)) / math.sqrt(2)
                    d2 = abs((px - 0.5) + (py - 0.5) - 7) / math.sqrt(2)
                    inside = 0.5 <= px <= 7.5 and 0.5 <= py <= 7.5
                    if inside and min(d1, d2) <= 0.8:
                        hit += 1
            row += bytes((255, 255, 255, round(255 * hit / (ss * ss))))
        rows.append(bytes(row))
    return rows


def draw_icon(size):
    """The application icon: a rounded tile with a dusk sky, a mountain and a
    golden T, drawn on a finer grid and averaged down."""
    ss = 4 if size <= 48 else 2
    n = size * ss
    radius = 0.2 * n
    sky = [(0.0, (22, 20, 64)), (0.55, (120, 56, 110)), (0.8, (240, 136, 80)), (1.0, (255, 200, 130))]
    t_segs = [((0.27 * n, 0.2 * n), (0.73 * n, 0.2 * n)), ((0.5 * n, 0.2 * n), (0.5 * n, 0.62 * n))]
    t_half = 0.065 * n if size > 16 else 0.085 * n

    def mountain(x):
        return 0.6 * n + abs(x - 0.62 * n) * 0.55 - 0.05 * n * math.sin(x / n * 9)

    acc = [[0.0] * 4 for _ in range(size * size)]
    for sy in range(n):
        py = sy + 0.5
        for sx in range(n):
            px = sx + 0.5
            # rounded-square mask
            qx = max(radius - px, px - (n - radius), 0)
            qy = max(radius - py, py - (n - radius), 0)
            if qx * qx + qy * qy > radius * radius:
                continue
            c = gradient(sky, py / (0.72 * n))
            if py > mountain(px):
                c = mix((58, 34, 72), (16, 12, 30), clamp((py - 0.55 * n) / (0.35 * n)))
            d = min(_seg_dist(px, py, a, b) for a, b in t_segs)
            if d <= t_half + 0.05 * n:
                c = (30, 14, 10)
            if d <= t_half:
                c = gradient([(0.0, (255, 244, 200)), (0.5, (236, 176, 70)), (1.0, (250, 204, 110))],
                             (py - 0.14 * n) / (0.52 * n))
            cell = acc[(sy // ss) * size + sx // ss]
            cell[0] += c[0]
            cell[1] += c[1]
            cell[2] += c[2]
            cell[3] += 1
    rows = []
    k = ss * ss
    for y in range(size):
        row = bytearray()
        for x in range(size):
            r, g, b, cnt = acc[y * size + x]
            if cnt:
                row += bytes((int(r / cnt + 0.5), int(g / cnt + 0.5), int(b / cnt + 0.5),
                              int(255 * cnt / k + 0.5)))
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return rows


def _seg_dist(px, py, a, b):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    t = clamp(((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy))
    return math.hypot(ax + t * dx - px, ay + t * dy - py)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "splash_background.png"), "wb") as f:
        f.write(png_bytes(WIDTH, HEIGHT, draw_background(), False))
    with open(os.path.join(out, "close_icon.png"), "wb") as f:
        f.write(png_bytes(8, 8, draw_close_icon(), True))
    with open(os.path.join(out, "tessaly.ico"), "wb") as f:
        f.write(ico_bytes([(s, draw_icon(s)) for s in (16, 32, 48, 256)]))


if __name__ == "__main__":
    main()
