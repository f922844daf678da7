#!/usr/bin/env python3
"""Draws the program's own pictures: the hand cursor HAND-M.CUR, the drag cursor drag.ico and
the application icon brindlequill.png, with its copies for the icon theme (icons/<size>/,
installed into hicolor). The outputs are committed; run this again only to change them."""
import struct
import zlib

HAND = """
.......XX.......................
......X..X......................
......X..X......................
......X..X......................
......X..X......................
......X..XXX....................
......X..X..XXX.................
......X..X..X..XX...............
......X..X..X..X.X..............
...XX.X..X..X..X..X.............
..X..XX........X..X.............
..X...X...........X.............
...X..............X.............
....X.............X.............
....X.............X.............
.....X...........X..............
.....X...........X..............
......X.........X...............
......X.........X...............
......XXXXXXXXXXX...............
"""

DRAG = """
X...............................
XX..............................
X.X.............................
X..X............................
X...X...........................
X....X..........................
X.....X.........................
X......X........................
X.......X.......................
X........X......................
X.....XXXXX.....................
X..X..X.........................
X.X.X..X........................
XX..X..X........................
X....X..X.......................
.....X..X.......................
......XX........................
................................
...........XXXXXXXXXXX..........
...........X.........XX.........
...........X.........X.X........
...........X.........XXXX.......
...........X............X.......
...........X............X.......
...........X............X.......
...........X............X.......
...........X............X.......
...........XXXXXXXXXXXXXX.......
"""


def grid(art):
    rows = [r for r in art.strip("\n").split("\n")]
    rows += ["." * 32] * (32 - len(rows))
    return [r.ljust(32, ".")[:32] for r in rows]


def fill_inside(rows):
    """Outline pixels are black; pixels enclosed by the outline are white; the rest clear."""
    h, w = len(rows), len(rows[0])
    outside = [[False] * w for _ in range(h)]
    stack = [(y, x) for y in range(h) for x in (0, w - 1)] + [(y, x) for x in range(w) for y in (0, h - 1)]
    while stack:
        y, x = stack.pop()
        if 0 <= y < h and 0 <= x < w and not outside[y][x] and rows[y][x] == ".":
            outside[y][x] = True
            stack += [(y + 1, x), (y - 1, x), (y, x + 1), (y, x - 1)]
    pixels = []
    for y in range(h):
        line = []
        for x in range(w):
            if rows[y][x] == "X":
                line.append((0, 0, 0, 255))
            elif outside[y][x]:
                line.append((0, 0, 0, 0))
            else:
                line.append((255, 255, 255, 255))
        pixels.append(line)
    return pixels


def cursor_file(pixels, hot, kind):
    """A 32x32, 32-bit Windows icon (kind 1) or cursor (kind 2) with one image."""
    h, w = len(pixels), len(pixels[0])
    xor = b"".join(struct.pack("<BBBB", b, g, r, a) for row in reversed(pixels) for (r, g, b, a) in row)
    and_rows = []
    for row in reversed(pixels):
        bits = 0
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (31 - x)
        and_rows.append(struct.pack(">I", bits))
    mask = b"".join(and_rows)
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + xor + mask
    field1, field2 = (hot if kind == 2 else (1, 32))
    entry = struct.pack("<BBBBHHII", w, h, 0, 0, field1, field2, len(image), 22)
    return struct.pack("<HHH", 0, kind, 1) + entry + image


def png(pixels):
    h, w = len(pixels), len(pixels[0])
    raw = b"".join(b"\0" + b"".join(struct.pack("BBBB", *p) for p in row) for row in pixels)

    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def icon(size=64):
    """A brindled book with a quill: warm brown cover with darker stripes, cream pages."""
    px = [[(0, 0, 0, 0)] * size for _ in range(size)]
    for y in range(8, 58):
        for x in range(10, 50):
            edge = x in (10, 49) or y in (8, 57)
            if edge:
                px[y][x] = (60, 35, 20, 255)
            elif x < 16:
                px[y][x] = (92, 54, 30, 255)
            else:
                stripe = ((x + y // 2) // 5) % 3 == 0
                px[y][x] = (110, 66, 36, 255) if stripe else (168, 104, 52, 255)
    for y in range(12, 56):
        for x in range(50, 54):
            px[y][x] = (245, 236, 214, 255) if y % 3 else (210, 198, 170, 255)
    # The quill: a slanted feather from the lower left to the upper right corner.
    for t in range(0, 46):
        cx, cy = 14 + t, 54 - t
        for dx in range(-2 if t > 8 else 0, 3 if t > 8 else 1):
            x, y = cx + dx, cy + dx
            if 0 <= x < size and 0 <= y < size:
                px[y][x] = (250, 250, 250, 255) if dx else (40, 40, 40, 255)
    return px


# The icon theme's sizes: the 64-pixel drawing shrunk by averaging or grown pixel by pixel.
THEME_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def scaled(pixels, size):
    """pixels (square) resized to size x size: each output pixel averages the source area it
    covers (colours weighted by opacity), so small sizes stay smooth and large ones stay sharp."""
    n = len(pixels)
    out = []
    for oy in range(size):
        row = []
        y0, y1 = oy * n / size, (oy + 1) * n / size
        for ox in range(size):
            x0, x1 = ox * n / size, (ox + 1) * n / size
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(int(y0), min(n, int(-(-y1 // 1)))):
                wy = min(y1, sy + 1) - max(y0, sy)
                for sx in range(int(x0), min(n, int(-(-x1 // 1)))):
                    w = wy * (min(x1, sx + 1) - max(x0, sx))
                    r, g, b, a = pixels[sy][sx]
                    acc[0] += r * a * w
                    acc[1] += g * a * w
                    acc[2] += b * a * w
                    acc[3] += a * w
            area = (y1 - y0) * (x1 - x0)
            alpha = acc[3] / area
            if acc[3] > 0:
                row.append(tuple(round(c / acc[3]) for c in acc[:3]) + (round(alpha),))
            else:
                row.append((0, 0, 0, 0))
        out.append(row)
    return out


if __name__ == "__main__":
    import os
    with open("HAND-M.CUR", "wb") as f:
        f.write(cursor_file(fill_inside(grid(HAND)), (8, 0), 2))
    with open("drag.ico", "wb") as f:
        f.write(cursor_file(fill_inside(grid(DRAG)), (0, 0), 1))
    with open("brindlequill.png", "wb") as f:
        f.write(png(icon()))
    for size in THEME_SIZES:
        folder = os.path.join("icons", f"{size}x{size}")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "brindlequill.png"), "wb") as f:
            f.write(png(scaled(icon(), size)))
