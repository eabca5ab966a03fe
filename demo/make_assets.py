#!/usr/bin/env python3
"""Makes the demo cartridge's data files: pattern tables, name tables and the DMC sample.

Usage: make_assets.py OUTPUT_DIR

Writes into OUTPUT_DIR:
  demo.chr   8 KiB CHR-ROM: background tiles at $0000, 8x16 sprite tiles at $1000
  scene.nam  2 KiB: name table 0 then name table 1, each 960 tile bytes and 64 attribute bytes
  zap.dmc    the 1-bit delta sample played when the player fires
  tiles.inc  ca65 constants for the sprite tile numbers

Pure standard library and integer arithmetic only, so the output is the same byte for byte
on every machine and Python version.
"""

import os
import sys

# ---------------------------------------------------------------------------
# Font: 5x7 glyphs, stored at the tile number equal to their ASCII code so that
# the program can write text straight from ca65 strings. Glyph pixels use
# colour 1 over the status bar's panel colour 2.
# ---------------------------------------------------------------------------

FONT = {
    " ": [".....", ".....", ".....", ".....", ".....", ".....", "....."],
    "!": ["..#..", "..#..", "..#..", "..#..", "..#..", ".....", "..#.."],
    "-": [".....", ".....", ".....", ".###.", ".....", ".....", "....."],
    ".": [".....", ".....", ".....", ".....", ".....", ".##..", ".##.."],
    ":": [".....", "..#..", "..#..", ".....", "..#..", "..#..", "....."],
    "0": [".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."],
    "1": ["..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "2": [".###.", "#...#", "....#", "..##.", ".#...", "#....", "#####"],
    "3": ["####.", "....#", "....#", ".###.", "....#", "....#", "####."],
    "4": ["...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."],
    "5": ["#####", "#....", "####.", "....#", "....#", "#...#", ".###."],
    "6": ["..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."],
    "7": ["#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."],
    "8": [".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."],
    "9": [".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."],
    "A": [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "B": ["####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."],
    "C": [".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."],
    "D": ["###..", "#..#.", "#...#", "#...#", "#...#", "#..#.", "###.."],
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    "F": ["#####", "#....", "#....", "####.", "#....", "#....", "#...."],
    "G": [".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"],
    "H": ["#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "I": [".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "J": ["..###", "...#.", "...#.", "...#.", "...#.", "#..#.", ".##.."],
    "K": ["#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"],
    "L": ["#....", "#....", "#....", "#....", "#....", "#....", "#####"],
    "M": ["#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"],
    "N": ["#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "P": ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
    "Q": [".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "S": [".####", "#....", "#....", ".###.", "....#", "....#", "####."],
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "U": ["#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "V": ["#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    "W": ["#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."],
    "X": ["#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"],
    "Y": ["#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."],
    "Z": ["#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"],
}

PANEL = 2  # status bar background colour (palette 0)
TEXT = 1  # glyph colour (palette 0)
EDGE = 3  # status bar edge lines (palette 0)

# Tile numbers $20-$5F belong to the font; scene tiles take the other numbers.
FONT_FIRST, FONT_LAST = 0x20, 0x5F


def font_tile(rows):
    """A glyph centred in an 8x8 tile, columns 1-5 and rows 0-6."""
    pixels = [PANEL] * 64
    for y, row in enumerate(rows):
        for x, ch in enumerate(row):
            if ch == "#":
                pixels[y * 8 + x + 1] = TEXT
    return tuple(pixels)


# ---------------------------------------------------------------------------
# Sprites: 8x16 drawings ('.' transparent, '1'-'3' colours). In 8x16 mode a
# sprite's tile byte selects the pattern table with bit 0, so every drawing
# occupies an even/odd tile pair in the $1000 table and is addressed with the
# odd number (pair * 2 + 1).
# ---------------------------------------------------------------------------

# Left half of the player's 16x16 ship; the program draws the right half with
# the same tiles mirrored horizontally.
PLAYER_SHIP = [
    ".......22.......",
    ".......22.......",
    "......2112......",
    "......1221......",
    ".....112211.....",
    ".....111111.....",
    "....11111111....",
    "...2111111112...",
    "..211111111112..",
    ".21111211211112.",
    "2111112..2111112",
    "211112....211112",
    "21112......21112",
    ".22..........22.",
    "..3..........3..",
    "..3..........3..",
]

SPRITES = [
    # Sprite 0: one opaque line on its top row, placed over the status bar's
    # bottom edge to signal where the scrolling part of the picture starts.
    ("MARK", ["11111111"] + ["........"] * 15),
    ("PLAYER", [row[:8] for row in PLAYER_SHIP]),
    ("SHOT", [
        "...22...", "..2332..", "..2332..", "..2332..", "...33...", "...33...",
        "...11...", "...11...", "...1....", "....1...", "...1....",
    ] + ["........"] * 5),
    # Bird facing right, wings up then wings down.
    ("BIRD", [
        "........", "........", "1.......", "11......", ".11.....", ".111..1.",
        "..111121", ".1111113", "1111111.", "..1111..",
    ] + ["........"] * 6),
    ("BIRD2", [
        "........", "........", "........", "........", "........", "......1.",
        ".....121", ".1111113", "1111111.", ".11111..", "..111...", "..11....",
        ".11.....",
    ] + ["........"] * 3),
    # Walker facing right, legs apart then together.
    ("WALKER", [
        "........", "........", "...111..", "..11111.", ".1111332", ".1111332",
        ".111111.", ".1111111", ".111111.", ".333331.", "..3333..", "..1111..",
        "..1..1..", ".1...1..", ".1....1.", "22....22",
    ]),
    ("WALKER2", [
        "........", "........", "...111..", "..11111.", ".1111332", ".1111332",
        ".111111.", ".1111111", ".111111.", ".333331.", "..3333..", "..1111..",
        "...11...", "...11...", "...11...", "..2222..",
    ]),
    # Rocket pointing up, flame below.
    ("ROCKET", [
        "...22...", "..2222..", "..2112..", ".221122.", ".222222.", ".221122.",
        ".221122.", ".222222.", ".222222.", "12222221", "11222211", "11.33.11",
        "1..33..1", "...33...", "...3....", "....3...",
    ]),
    # Ball lit from the top left.
    ("BALL", ["........"] * 4 + [
        "..1111..", ".132111.", "13221111", "13211111", "11111111", "11111111",
        ".111111.", "..1111..",
    ] + ["........"] * 4),
]


def sprite_tiles(drawing):
    """The two 8x8 tiles (top, bottom) of an 8x16 drawing."""
    assert len(drawing) == 16 and all(len(row) == 8 for row in drawing), drawing
    pixels = [[int(ch) if ch != "." else 0 for ch in row] for row in drawing]
    top = tuple(pixels[y][x] for y in range(8) for x in range(8))
    bottom = tuple(pixels[y][x] for y in range(8, 16) for x in range(8))
    return top, bottom


# ---------------------------------------------------------------------------
# Background: a 512x240 picture spread over the two side-by-side name tables,
# drawn pixel by pixel with a palette number per pixel, then cut into tiles.
# Every 16x16 area may use one palette only (the attribute table's unit).
# ---------------------------------------------------------------------------

WIDTH, HEIGHT = 512, 240
GROUND_Y = 176  # first pixel row of the grass

# Background palettes: 0 status bar, 1 hills and grass, 2 ground, 3 clouds and pillars.
PAL_BAR, PAL_GREEN, PAL_EARTH, PAL_STONE = 0, 1, 2, 3


class Scene:
    def __init__(self):
        self.colour = [[0] * WIDTH for _ in range(HEIGHT)]
        self.palette = [[0] * WIDTH for _ in range(HEIGHT)]

    def put(self, x, y, colour, palette):
        """Sets one pixel; x wraps round, as the two name tables do when scrolling."""
        if 0 <= y < HEIGHT:
            x %= WIDTH
            self.colour[y][x] = colour
            self.palette[y][x] = palette

    def area_palette(self, ax, ay):
        """The palette of the 16x16 area (ax, ay); transparent pixels do not count."""
        used = set()
        for y in range(ay * 16, min(ay * 16 + 16, HEIGHT)):
            for x in range(ax * 16, ax * 16 + 16):
                if self.colour[y][x]:
                    used.add(self.palette[y][x])
        if len(used) > 1:
            raise ValueError("16x16 area (%d, %d) mixes palettes %s" % (ax, ay, sorted(used)))
        return used.pop() if used else 0

    def tile(self, tx, ty):
        return tuple(self.colour[ty * 8 + y][tx * 8 + x] for y in range(8) for x in range(8))


def draw_status_bar(scene):
    """Pixel rows 0-23: panel, top edge line and the bottom edge that sprite 0 sits on.

    Only name table 0's copy is shown, but the bar spans both tables: when the split's fine
    scroll takes effect partway along the edge line, the end of that line comes from name
    table 1. Rows 21-23 are transparent, so it does not matter on which of them the split lands.
    """
    for y in range(24):
        for x in range(WIDTH):
            if y in (2, 20):
                colour = EDGE
            elif y < 20:
                colour = PANEL
            else:
                colour = 0
            scene.put(x, y, colour, PAL_BAR)


CLOUD_BIG = [(8, 10, 6), (16, 7, 7), (24, 10, 6)]  # circles (cx, cy, r) in a 32x16 box
CLOUD_SMALL = [(7, 10, 5), (14, 8, 6), (19, 11, 4)]  # in a 24x16 box


def draw_cloud(scene, left, top, circles, width):
    """White cloud with a grey underside; a flat bottom from row 10 to 14."""
    for y in range(16):
        for x in range(width):
            inside = any((x - cx) ** 2 + (y - cy) ** 2 <= r * r for cx, cy, r in circles)
            inside = inside or (10 <= y <= 14 and 3 <= x < width - 3)
            if inside:
                scene.put(left + x, top + y, 1 if y >= 12 else 3, PAL_STONE)


def draw_hill(scene, centre, half_width, height):
    """A parabolic hill standing on the grass: light rim, mid-green body with a dark dot texture."""
    for dx in range(-half_width, half_width + 1):
        top = GROUND_Y - height + height * dx * dx // (half_width * half_width)
        x = centre + dx
        for y in range(top, GROUND_Y):
            if y - top < 2:
                colour = 3
            elif (x % 8, y % 8) in ((1, 2), (5, 6)):
                colour = 2
            else:
                colour = 1
            scene.put(x, y, colour, PAL_GREEN)


def draw_pillar(scene, left):
    """A 16-pixel stone column from pixel row 128 down to the grass, opaque across its width."""
    for y in range(128, GROUND_Y):
        for xo in range(16):
            if y < 136:  # capital
                colour = 3 if y == 128 else (2 if y == 135 else 1)
            elif y >= 172:  # base
                colour = 2 if y == 172 else 1
            elif xo == 0:
                colour = 3
            elif xo in (5, 10, 15):
                colour = 2
            else:
                colour = 1
            scene.put(left + xo, y, colour, PAL_STONE)


def draw_ground(scene):
    """Grass on pixel rows 176-191, brick wall below it."""
    for y in range(GROUND_Y, GROUND_Y + 16):
        for x in range(WIDTH):
            if y == GROUND_Y:
                colour = 3 if x % 4 == 1 else 0  # grass tips against the sky
            elif y == GROUND_Y + 1:
                colour = 3 if x % 2 else 1
            elif (x % 8, y % 8) in ((3, 4), (7, 0)):
                colour = 2
            else:
                colour = 1
            scene.put(x, y, colour, PAL_GREEN)
    for y in range(GROUND_Y + 16, HEIGHT):
        row = (y - GROUND_Y - 16) // 8
        for x in range(WIDTH):
            offset = 8 if row % 2 else 0
            if y % 8 == 7 or (x + offset) % 16 == 15:
                colour = 2  # mortar
            elif y % 8 == 0:
                colour = 3  # lit top edge of each brick
            else:
                colour = 1
            scene.put(x, y, colour, PAL_EARTH)


def draw_scene():
    scene = Scene()
    draw_status_bar(scene)
    # Clouds on tile rows 4-11, tile-aligned so that repeated shapes share tiles.
    for tx, ty in ((2, 4), (19, 6), (37, 4), (55, 8)):
        draw_cloud(scene, tx * 8, ty * 8, CLOUD_BIG, 32)
    for tx, ty in ((11, 8), (29, 10), (46, 6)):
        draw_cloud(scene, tx * 8, ty * 8, CLOUD_SMALL, 24)
    # Hills on tile rows 12-21.
    for centre, half_width, height in ((40, 56, 64), (152, 40, 40), (256, 64, 72), (360, 48, 48), (456, 40, 56)):
        draw_hill(scene, centre, half_width, height)
    # Columns every 128 pixels, on 16-pixel boundaries.
    for tx in (10, 26, 42, 58):
        draw_pillar(scene, tx * 8)
    draw_ground(scene)
    return scene


# ---------------------------------------------------------------------------
# Output
# ---------------------------------------------------------------------------


def encode_tile(pixels):
    """16 bytes of CHR: bit plane 0 for the 8 rows, then bit plane 1; leftmost pixel in bit 7."""
    low, high = bytearray(8), bytearray(8)
    for y in range(8):
        for x in range(8):
            p = pixels[y * 8 + x]
            low[y] |= (p & 1) << (7 - x)
            high[y] |= (p >> 1) << (7 - x)
    return bytes(low + high)


def build_background(scene):
    """Returns (256 background tiles, name table bytes for both tables)."""
    tiles = [tuple([0] * 64)] * 256
    for ch, rows in FONT.items():
        tiles[ord(ch)] = font_tile(rows)
    index = {tiles[0]: 0}
    for ch in FONT:
        index.setdefault(tiles[ord(ch)], ord(ch))
    free = [n for n in range(1, 256) if not FONT_FIRST <= n <= FONT_LAST]

    tables = bytearray()
    for table in range(2):
        names = bytearray()
        for ty in range(30):
            for tx in range(32):
                pixels = scene.tile(table * 32 + tx, ty)
                if pixels not in index:
                    if not free:
                        raise ValueError("more than %d distinct background tiles" % (256 - 64))
                    number = free.pop(0)
                    tiles[number] = pixels
                    index[pixels] = number
                names.append(index[pixels])
        # Attribute byte for each 32x32 block: 2 bits per 16x16 area,
        # top-left in bits 0-1, top-right 2-3, bottom-left 4-5, bottom-right 6-7.
        attributes = bytearray()
        for by in range(8):
            for bx in range(8):
                value = 0
                for quadrant, (qx, qy) in enumerate(((0, 0), (1, 0), (0, 1), (1, 1))):
                    ay = by * 2 + qy
                    if ay < 15:
                        value |= scene.area_palette(table * 16 + bx * 2 + qx, ay) << (2 * quadrant)
                attributes.append(value)
        tables += names + attributes
    return tiles, bytes(tables)


def build_sprites():
    """Returns (256 sprite-table tiles, {name: tile byte for OAM})."""
    tiles = [tuple([0] * 64)] * 256
    numbers = {}
    for pair, (name, drawing) in enumerate(SPRITES):
        tiles[2 * pair], tiles[2 * pair + 1] = sprite_tiles(drawing)
        numbers[name] = 2 * pair + 1  # bit 0 set: pattern table $1000
    return tiles, numbers


# DMC sample: a falling chirp with a decaying amplitude, encoded as 1-bit deltas
# (each bit moves the output level up or down by 2). Played at rate index 13,
# 1789773 / 84 = 21307 bits per second.
DMC_RATE_CYCLES = 84
DMC_LENGTH_CODE = 24  # $4013 value: 24 * 16 + 1 = 385 bytes, 0.14 s
SINE_STEPS = 256


def sine_table():
    """Quarter-wave integer sine scaled to 1024, extended to a full wave, without floating point."""
    # Bhaskara's rational approximation of sin over a half period, in integers.
    table = []
    for i in range(SINE_STEPS):
        d = i * 360 // SINE_STEPS  # degrees
        sign = 1
        if d >= 180:
            d -= 180
            sign = -1
        value = 4 * d * (180 - d) * 1024 // (40500 - d * (180 - d))
        table.append(sign * value)
    return table


def encode_dmc(targets, start=64):
    """1-bit deltas, 8 a byte (first in bit 0), that move the output level from start
    towards each target in turn; the level stays within 0-127 as the DMC's does."""
    level = start
    data = bytearray()
    for i in range(0, len(targets), 8):
        byte = 0
        for bit, target in enumerate(targets[i : i + 8]):
            if target > level:
                byte |= 1 << bit
                if level <= 125:
                    level += 2
            elif level >= 2:
                level -= 2
        data.append(byte)
    return bytes(data)


def build_sample():
    sine = sine_table()
    rate = 1789773 // DMC_RATE_CYCLES
    length = DMC_LENGTH_CODE * 16 + 1
    phase = 0  # 16.16 fixed point index into the sine table
    freq = 1400 << 8  # Hz in 24.8 fixed point
    amplitude = 56 << 16  # output level units in 16.16
    targets = []
    for _ in range(length * 8):
        targets.append(64 + ((amplitude >> 16) * sine[(phase >> 16) % SINE_STEPS] >> 10))
        phase += (freq * SINE_STEPS << 8) // rate
        freq -= freq >> 9  # pitch falls by about 1/512 per bit
        freq = max(freq, 120 << 8)
        amplitude -= amplitude >> 10  # fades out over the length of the sample
    # The program sets level 64 through $4011 before starting the sample.
    return encode_dmc(targets, start=64)


def output_dir(argv):
    """The OUTPUT_DIR argument, created if missing; None, after a usage line, if absent."""
    if len(argv) != 2:
        sys.stderr.write("usage: make_assets.py OUTPUT_DIR\n")
        return None
    os.makedirs(argv[1], exist_ok=True)
    return argv[1]


def write_files(out, files):
    """Writes {file name: bytes} into the folder out."""
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


def main(argv):
    out = output_dir(argv)
    if out is None:
        return 2

    background, names = build_background(draw_scene())
    sprites, numbers = build_sprites()
    chr_rom = b"".join(encode_tile(t) for t in background + sprites)
    assert len(chr_rom) == 8192 and len(names) == 2048

    write_files(out, {"demo.chr": chr_rom, "scene.nam": names, "zap.dmc": build_sample()})
    with open(os.path.join(out, "tiles.inc"), "w", newline="\n") as f:
        f.write("; Generated by make_assets.py: sprite tile bytes (8x16 mode, pattern table $1000).\n")
        for name, number in numbers.items():
            f.write("TILE_%s = $%02X\n" % (name, number))
        f.write("DMC_LENGTH_CODE = %d\n" % DMC_LENGTH_CODE)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
