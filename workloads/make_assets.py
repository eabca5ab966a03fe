#!/usr/bin/env python3
"""Makes the workload cartridges' data files: pattern sets, tables and DMC samples.

Usage: make_assets.py OUTPUT_DIR

Writes into OUTPUT_DIR:
  patterns.chr  32 KiB: background sets B0-B3 (4 KiB each), then sprite sets S0-S3;
                every cartridge kind takes the sets it needs (see workload.s)
  heights.bin   256 bytes: ground-top tile row of each world column (mod 256)
  clouds.bin    32 bytes: cloud rows (bits 0-2: tile rows 6-8) per 4-column group
  sin96.bin, sin64.bin, sin24.bin, sin12.bin
                256 signed bytes each: one sine period scaled to +-96, +-64, +-24, +-12
  hit.dmc       one-shot DMC sample (a drum hit)
  hum.dmc       loopable DMC sample (a buzzing tone, whole periods)
  assets.inc    ca65 constants: tile numbers, DMC sample length codes

The font, the tile encoder, the integer sine, the DMC encoder and the file
helpers come from the demo's generator, so both cartridges share one glyph set.
Pure standard library and integer arithmetic only, so the output is the same
byte for byte on every machine and Python version.
"""

import os
import runpy
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# The demo's generator, run as a library (its main() does not run).
demo = runpy.run_path(os.path.join(os.path.dirname(HERE), "demo", "make_assets.py"))
FONT = demo["FONT"]
encode_tile = demo["encode_tile"]
sine_table = demo["sine_table"]
encode_dmc = demo["encode_dmc"]
output_dir = demo["output_dir"]
write_files = demo["write_files"]
SETS = 4  # styles of background and sprite sets

# ---------------------------------------------------------------------------
# A small deterministic pseudo-random source (32-bit xorshift).
# ---------------------------------------------------------------------------


class Random:
    def __init__(self, seed):
        self.state = (seed * 2654435761 + 12345) & 0xFFFFFFFF or 1

    def next(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x

    def below(self, n):
        return self.next() % n


BLANK = (0,) * 64


def tile_from_rows(rows):
    """An 8x8 tile from 8 strings of '.', '1'-'3'."""
    assert len(rows) == 8 and all(len(r) == 8 for r in rows), rows
    return tuple(0 if ch == "." else int(ch) for row in rows for ch in row)


def signature_tile(value):
    """Tile $FF of every set: its first pattern byte names the set, so a program can
    read back through $2007 which set is mapped."""
    low = [(value >> (7 - x)) & 1 for x in range(8)]
    return tuple(low + [0] * 56)


# ---------------------------------------------------------------------------
# Background sets: status bar tiles and the font, then terrain tiles whose
# details change with the style, so a bank switch shows on the picture.
# ---------------------------------------------------------------------------

PANEL, TEXT, EDGE = 2, 1, 3  # status bar colours (background palette 0)

TILE_PANEL = 0x01
TILE_BAR_TOP = 0x02
TILE_BAR_BOTTOM = 0x03
TILE_SKY = 0x60  # 8 tiles
TILE_CLOUD = 0x68  # 8 tiles
TILE_GRASS = 0x70  # 4 tiles
TILE_WATER = 0x74  # 4 tiles
TILE_PILLAR = 0x78  # 4 tiles: cap left/right, body left/right
TILE_DIRT = 0x80  # 16 tiles
TILE_BRICK = 0x90  # 4 tiles
TILE_SIGNATURE = 0xFF


def bar_tiles():
    panel = tuple([PANEL] * 64)
    top = tuple(EDGE if y == 2 else PANEL for y in range(8) for x in range(8))
    # The bottom edge's last pixel row is the line sprite 0 meets: the split starts there.
    bottom = tuple(EDGE if y == 7 else PANEL for y in range(8) for x in range(8))
    return {TILE_PANEL: panel, TILE_BAR_TOP: top, TILE_BAR_BOTTOM: bottom}


def font_tiles():
    tiles = {}
    for ch, rows in FONT.items():
        pixels = [PANEL] * 64
        for y, row in enumerate(rows):
            for x, c in enumerate(row):
                if c == "#":
                    pixels[y * 8 + x + 1] = TEXT
        tiles[ord(ch)] = tuple(pixels)
    for ch in "+":
        pixels = [PANEL] * 64
        for y in range(1, 6):
            pixels[y * 8 + 3] = TEXT
        for x in range(1, 6):
            pixels[3 * 8 + x] = TEXT
        tiles[ord(ch)] = tuple(pixels)
    return tiles


def sky_tile(style, n):
    """Mostly transparent; a star or two whose place depends on the style."""
    rnd = Random(1000 + style * 16 + n)
    pixels = [0] * 64
    for _ in range(1 + (n + style) % 2):
        pixels[rnd.below(64)] = 3 if rnd.below(2) else 1
    return tuple(pixels)


def cloud_tile(style, n):
    """A piece of cloud: a blob whose bulges move with the style."""
    pixels = []
    for y in range(8):
        for x in range(8):
            d = (2 * x - 7) ** 2 + (2 * y - 7 - (n & 1) * 2) ** 2
            limit = 40 + ((n * 7 + style * 13 + x * y) % 24)
            if d < limit:
                pixels.append(3 if y < 3 + style % 2 else 1)
            else:
                pixels.append(0)
    return tuple(pixels)


def grass_tile(style, n):
    pixels = []
    for y in range(8):
        for x in range(8):
            blade = (x * 3 + n + style) % 4 == 0
            if y == 0:
                pixels.append(3 if blade else 0)
            elif y == 1:
                pixels.append(3 if blade or (x + style) % 2 else 1)
            else:
                pixels.append(2 if (x * 5 + y * 3 + n + style) % 7 == 0 else 1)
    return tuple(pixels)


def water_tile(style, n):
    pixels = []
    for y in range(8):
        for x in range(8):
            wave = (x + n * 2 + style * 3 + (y // 2) * 3) % 8
            pixels.append(3 if wave == 0 and y % 4 == 1 else (2 if y % 4 == 2 else 1))
    return tuple(pixels)


def pillar_tile(style, n):
    cap, right = n < 2, n & 1
    pixels = []
    for y in range(8):
        for x in range(8):
            edge = x == 7 if right else x == 0
            if cap and y < 2 + style % 2:
                pixels.append(3)
            elif edge:
                pixels.append(2)
            elif (x + y * (style + 1)) % 5 == 0:
                pixels.append(2)
            else:
                pixels.append(1)
    return tuple(pixels)


def dirt_tile(style, n):
    rnd = Random(2000 + style * 32 + n)
    pixels = []
    for _ in range(64):
        r = rnd.below(16)
        pixels.append(3 if r == 0 else (2 if r < 4 + style else 1))
    return tuple(pixels)


def brick_tile(style, n):
    offset = 4 if n & 2 else 0
    pixels = []
    for y in range(8):
        for x in range(8):
            if y == 7 or (x + offset + style * 2 + (n & 1) * 8) % 8 == 7:
                pixels.append(2)
            elif y == 0:
                pixels.append(3)
            else:
                pixels.append(1)
    return tuple(pixels)


def background_set(style):
    tiles = [BLANK] * 256
    for number, pixels in list(bar_tiles().items()) + list(font_tiles().items()):
        tiles[number] = pixels
    for n in range(8):
        tiles[TILE_SKY + n] = sky_tile(style, n)
        tiles[TILE_CLOUD + n] = cloud_tile(style, n)
    for n in range(4):
        tiles[TILE_GRASS + n] = grass_tile(style, n)
        tiles[TILE_WATER + n] = water_tile(style, n)
        tiles[TILE_PILLAR + n] = pillar_tile(style, n)
        tiles[TILE_BRICK + n] = brick_tile(style, n)
    for n in range(16):
        tiles[TILE_DIRT + n] = dirt_tile(style, n)
    tiles[TILE_SIGNATURE] = signature_tile(style)
    return tiles


# ---------------------------------------------------------------------------
# Sprite sets: 8x16 drawings in even/odd tile pairs of the $1000 table, named
# by their even (top) tile. In 8x8 mode sprites show the top tile from the
# $1000 table; in 8x16 mode the program sets bit 0 of the tile byte, which
# selects the $1000 table for the pair. A shape and its second drawing are
# neighbouring pairs starting at a multiple of 4, so the program switches
# drawings by setting bit 1. Every shape is lopsided, so flips show. The sets
# differ in colours, so a CHR switch shows on the sprites too.
# ---------------------------------------------------------------------------

MARK_LINE = ["11111111"] + ["........"] * 7
EMPTY8 = ["........"] * 8

SHAPES = [
    # Sprite 0: one opaque line on its top row (tile $00 in 8x8 mode, byte $01 in 8x16).
    ("MARK", MARK_LINE + EMPTY8),
    ("SPARE", EMPTY8 + EMPTY8),
    ("ARROW", [
        "........", "...1....", "...11...", "...121..", "1111221.", "12222221", "1111221.", "...121..",
        "...11...", "...1....", "..3.....", ".33.....", "333.....", ".33.....", "..3.....", "........",
    ]),
    ("ARROW2", [
        "........", "....1...", "....11..", "....121.", ".1111221", "11222221", ".1111221", "....121.",
        "....11..", "....1...", "...3....", "..33....", ".333....", "..33....", "...3....", "........",
    ]),
    ("GEM", [
        "........", "........", "...3....", "..313...", ".31113..", "3111113.", ".31123..", "..323...",
        "...3....", "........", "..2.....", ".222....", "..2.....", "........", "........", "........",
    ]),
    ("GEM2", [
        "........", "........", "....3...", "...313..", "..31113.", ".3111113", "..31123.", "...323..",
        "....3...", "........", "...2....", "..222...", "...2....", "........", "........", "........",
    ]),
    ("BALL", [
        "........", "..1111..", ".133111.", "13311111", "13111112", "11111112", "11111122", ".111122.",
        "..1222..", "........", "........", "...33...", "..3..3..", "...33...", "........", "........",
    ]),
    ("BALL2", [
        "........", "..1111..", ".111331.", "11113311", "21111131", "21111111", "22111111", ".221111.",
        "..2221..", "........", "........", "..3..3..", "...33...", "..3..3..", "........", "........",
    ]),
    ("STAR", [
        "...1....", "...1....", "..121...", "1112111.", ".12221..", "..1.1...", ".1...1..", "1.....1.",
        "........", "...3....", "..333...", "...3..3.", "......3.", ".....33.", "........", "........",
    ]),
    ("STAR2", [
        "....1...", "....1...", "...121..", ".1112111", "..12221.", "...1.1..", "..1...1.", ".1.....1",
        "........", "....3...", "...333..", "....3.3.", "......3.", "....33..", "........", "........",
    ]),
    ("FISH", [
        "........", "...111..", "..11111.", ".1311112", "11111122", ".1111112", "..11111.", "...111..",
        "....2...", "...2....", "........", "..33....", ".3333...", "..33....", "........", "........",
    ]),
    ("FISH2", [
        "........", "...111..", "..11111.", ".1311121", "11111221", ".1111121", "..11111.", "...111..",
        "...2....", "....2...", "........", "...33...", "..3333..", "...33...", "........", "........",
    ]),
    ("DROP", [
        "...3....", "...3....", "..313...", "..313...", ".31113..", ".31123..", ".31223..", "..333...",
        "........", "...2....", "...2....", "........", "...2....", "........", "........", "........",
    ]),
    ("DROP2", [
        "....3...", "....3...", "...313..", "...313..", "..31113.", "..31123.", "..31223.", "...333..",
        "........", "....2...", "........", "....2...", "....2...", "........", "........", "........",
    ]),
]


# Colour orders of the sprite sets: colour c of a drawing becomes RECOLOUR[set][c].
RECOLOUR = [(0, 1, 2, 3), (0, 2, 3, 1), (0, 3, 1, 2), (0, 1, 3, 2)]


def recolour(pixels, style):
    return tuple(RECOLOUR[style][p] for p in pixels)


def sprite_set(style):
    tiles = [BLANK] * 256
    numbers = {}
    for pair, (name, drawing) in enumerate(SHAPES):
        assert len(drawing) == 16, name
        top = tile_from_rows(drawing[:8])
        bottom = tile_from_rows(drawing[8:])
        if name != "MARK":
            top, bottom = recolour(top, style), recolour(bottom, style)
        tiles[2 * pair], tiles[2 * pair + 1] = top, bottom
        numbers[name] = 2 * pair
        assert name.endswith("2") or name == "SPARE" or numbers[name] % 4 == 0, name
    tiles[TILE_SIGNATURE] = signature_tile(0x10 + style)
    return tiles, numbers


# ---------------------------------------------------------------------------
# Terrain and tables
# ---------------------------------------------------------------------------


def heights():
    """Ground-top tile rows 12-24 along 256 columns: plateaus joined by one-row steps."""
    rnd = Random(77)
    h, target, out = 18, 18, []
    for _ in range(256):
        if h == target and rnd.below(6) == 0:
            target = 12 + rnd.below(13)
        if h < target:
            h += 1
        elif h > target:
            h -= 1
        out.append(h)
    # Close the loop smoothly: the world repeats every 256 columns.
    while abs(out[-1] - out[0]) > 1:
        out[-1] += 1 if out[0] > out[-1] else -1
    return bytes(out)


def clouds():
    rnd = Random(99)
    return bytes(rnd.below(8) if rnd.below(3) else 0 for _ in range(32))


def sine(amplitude):
    table = sine_table()  # one period in 256 steps, scaled to 1024
    out = bytearray()
    for value in table:
        scaled = (value * amplitude + (512 if value >= 0 else -512)) // 1024
        out.append(scaled & 0xFF)
    return bytes(out)


# ---------------------------------------------------------------------------
# DMC samples: 1-bit deltas, each bit moving the output level up or down by 2.
# ---------------------------------------------------------------------------

HIT_LENGTH_CODE = 15  # $4013 value: 15 * 16 + 1 = 241 bytes
HUM_LENGTH_CODE = 1  # 17 bytes, looped
HUM_START_LEVEL = 30  # the $4011 level the hum starts from: it swings from 30 up to 98


def hit_sample():
    """A falling thump under a burst of noise, fading out."""
    sine_1024 = sine_table()
    rnd = Random(5)
    length = (HIT_LENGTH_CODE * 16 + 1) * 8
    targets = []
    phase = 0
    step = 40 << 8  # 8.8 fixed-point table steps per bit
    for i in range(length):
        fade = length - i
        tone = sine_1024[(phase >> 8) & 255] * 48 // 1024
        noise = (rnd.below(64) - 32) * max(0, length // 3 - i) // (length // 3)
        targets.append(64 + (tone + noise) * fade // length)
        phase += step
        step -= step >> 8
    return encode_dmc(targets)


def hum_sample():
    """Two whole periods of a triangle in 17 bytes: the level returns to its start,
    so the sample loops without a click."""
    bits = HUM_LENGTH_CODE * 16 * 8 + 8  # 136
    pattern = []
    quarter = bits // 4
    for i in range(bits):
        pattern.append(1 if (i // quarter) % 2 == 0 else 0)
    data = bytearray()
    for i in range(0, bits, 8):
        byte = 0
        for b in range(8):
            byte |= pattern[i + b] << b
        data.append(byte)
    return bytes(data)


def main(argv):
    out = output_dir(argv)
    if out is None:
        return 2

    chr_data = bytearray()
    for style in range(SETS):
        chr_data += b"".join(encode_tile(t) for t in background_set(style))
    numbers = {}
    for style in range(SETS):
        tiles, numbers = sprite_set(style)
        chr_data += b"".join(encode_tile(t) for t in tiles)
    assert len(chr_data) == 32768

    files = {
        "patterns.chr": bytes(chr_data),
        "heights.bin": heights(),
        "clouds.bin": clouds(),
        "sin96.bin": sine(96),
        "sin64.bin": sine(64),
        "sin24.bin": sine(24),
        "sin12.bin": sine(12),
        "hit.dmc": hit_sample(),
        "hum.dmc": hum_sample(),
    }
    assert len(files["hit.dmc"]) == HIT_LENGTH_CODE * 16 + 1
    assert len(files["hum.dmc"]) == HUM_LENGTH_CODE * 16 + 1
    write_files(out, files)

    constants = {
        "TILE_PANEL": TILE_PANEL,
        "TILE_BAR_TOP": TILE_BAR_TOP,
        "TILE_BAR_BOTTOM": TILE_BAR_BOTTOM,
        "TILE_SKY": TILE_SKY,
        "TILE_CLOUD": TILE_CLOUD,
        "TILE_GRASS": TILE_GRASS,
        "TILE_WATER": TILE_WATER,
        "TILE_PILLAR": TILE_PILLAR,
        "TILE_DIRT": TILE_DIRT,
        "TILE_BRICK": TILE_BRICK,
        "TILE_SIGNATURE": TILE_SIGNATURE,
    }
    constants.update({"SPR_" + name: number for name, number in numbers.items() if name != "SPARE"})
    constants["HIT_LENGTH_CODE"] = HIT_LENGTH_CODE
    constants["HUM_LENGTH_CODE"] = HUM_LENGTH_CODE
    constants["HUM_START_LEVEL"] = HUM_START_LEVEL
    with open(os.path.join(out, "assets.inc"), "w", newline="\n") as f:
        f.write("; Generated by make_assets.py: tile numbers and DMC sample lengths.\n")
        for name, value in constants.items():
            f.write("%s = $%02X\n" % (name, value))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
