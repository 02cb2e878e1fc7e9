#!/usr/bin/env python3
# Draws the three tray icons (port closed, data flowing, port open) and writes
# them as multi-size .ico files into ui/icons. Standard library only.
import os
import struct

SIZES = (16, 24, 32, 48, 64, 72)
SS = 4  # supersampling per axis, for smooth edges


def inside_shell(x, y):
    # A D-sub connector shell: a trapezoid, wide at the top, with rounded
    # corners, in unit coordinates (0..1).
    top, bottom = 0.30, 0.74
    if y < top or y > bottom:
        return False
    t = (y - top) / (bottom - top)
    half = 0.44 - 0.08 * t
    return abs(x - 0.5) <= half


def pin_centres():
    pins = [(0.5 + (i - 2) * 0.15, 0.44) for i in range(5)]
    pins += [(0.5 + (i - 1.5) * 0.15, 0.60) for i in range(4)]
    return pins


def arrow(x, y, cx, cy, up):
    # A small solid arrow head with a stem, pointing up or down.
    dy = (cy - y) if up else (y - cy)
    if -0.02 <= dy <= 0.11 and abs(x - cx) <= 0.11 - dy:
        return True
    return -0.12 <= dy <= 0 and abs(x - cx) <= 0.035


def colour_at(kind, x, y):
    shell = {"closed": (120, 120, 120), "open": (30, 150, 50), "activity": (235, 150, 0)}[kind]
    edge = {"closed": (60, 60, 60), "open": (10, 80, 20), "activity": (140, 70, 0)}[kind]
    if kind == "activity":
        if arrow(x, y, 0.30, 0.16, True) or arrow(x, y, 0.70, 0.18, False):
            return (200, 20, 20, 255)
    if kind == "closed" and abs((x - 0.5) - (y - 0.52)) < 0.05 and 0.12 < x < 0.88 and 0.14 < y < 0.90:
        return (200, 20, 20, 255)  # a red stroke: nothing is open
    if kind == "open" and 0.44 <= x <= 0.56 and 0.74 <= y <= 0.95:
        return (30, 30, 30, 255)  # the cable plugged in
    for px, py in pin_centres():
        if (x - px) ** 2 + (y - py) ** 2 <= 0.045 ** 2 and inside_shell(x, y):
            return (250, 250, 250, 255)
    if inside_shell(x, y):
        if not (inside_shell(x - 0.05, y) and inside_shell(x + 0.05, y)
                and inside_shell(x, y - 0.05) and inside_shell(x, y + 0.05)):
            return edge + (255,)
        return shell + (255,)
    return (0, 0, 0, 0)


def render(kind, size):
    rows = []
    for j in range(size):
        row = []
        for i in range(size):
            acc = [0, 0, 0, 0]
            for sj in range(SS):
                for si in range(SS):
                    x = (i + (si + 0.5) / SS) / size
                    y = (j + (sj + 0.5) / SS) / size
                    r, g, b, a = colour_at(kind, x, y)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = SS * SS
            a = acc[3] / n
            if acc[3]:
                row.append((acc[0] // acc[3], acc[1] // acc[3], acc[2] // acc[3], int(a)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def bitmap(pixels, size):
    # 32-bit BGRA DIB, bottom-up, followed by the 1-bit AND mask.
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(pixels):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        line = bytearray(stride)
        for i, (_, _, _, a) in enumerate(row):
            if a == 0:
                line[i // 8] |= 0x80 >> (i % 8)
        mask += line
    return header + bytes(xor) + bytes(mask)


def write_ico(path, kind):
    images = [bitmap(render(kind, s), s) for s in SIZES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for s, img in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    for img in images:
        out += img
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    folder = os.path.join(here, "..", "ui", "icons")
    os.makedirs(folder, exist_ok=True)
    for kind in ("closed", "activity", "open"):
        write_ico(os.path.join(folder, kind + ".ico"), kind)
