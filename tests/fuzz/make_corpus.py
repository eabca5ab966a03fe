"""Writes the seed corpora of the fuzz targets: the project's bundled cartridges, small cartridges of
every board of the registry (and of a mapper without one) with a busy program, and edit lists for the
state target. Usage: make_corpus.py OUT_DIR (makes OUT_DIR/rom and OUT_DIR/state)."""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "python" / "pictor_cli" / "data"
# The mapper numbers of the board registry's table.
BOARDS = [int(n) for n in re.findall(r"^\s*\{(\d+),\s+\"", (ROOT / "core/boards/registry.cpp").read_text(), re.M)]

# Rendering, NMI and every sound channel on, then a loop that writes the mapper's registers with a
# counter and reads the picture unit's status; the NMI scrolls, copies sprites and reads the pads.
BUSY = [
    0x78, 0xA2, 0xFF, 0x9A,              # E000 SEI; LDX #$FF; TXS
    0xA9, 0x80, 0x8D, 0x00, 0x20,        # NMI on
    0xA9, 0x1E, 0x8D, 0x01, 0x20,        # background and sprites on
    0xA9, 0xBF, 0x8D, 0x00, 0x40,        # pulse 1
    0xA9, 0x08, 0x8D, 0x03, 0x40,
    0xA9, 0x4F, 0x8D, 0x10, 0x40,        # DMC: loop, fastest rate
    0xA9, 0x10, 0x8D, 0x13, 0x40,
    0xA9, 0x1F, 0x8D, 0x15, 0x40,        # every channel on
    0xA9, 0x07, 0x8D, 0x01, 0xE0,        # MMC3 interrupts on
    0x58,                                # CLI
    0xE6, 0x10, 0xA5, 0x10,              # E02C INC $10; LDA $10
    0x8D, 0x00, 0x80, 0x8D, 0x01, 0x80,  # STA $8000; STA $8001
    0x8D, 0x00, 0xA0, 0x8D, 0x00, 0xC0,  # STA $A000; STA $C000
    0x8D, 0x01, 0xC0, 0x8D, 0x00, 0xE0,  # STA $C001; STA $E000
    0xAD, 0x02, 0x20, 0x4C, 0x2C, 0xE0,  # LDA $2002; JMP $E02C
    0xE6, 0x11, 0xA5, 0x11,              # E04A NMI: INC $11; LDA $11
    0x8D, 0x05, 0x20, 0x8D, 0x05, 0x20,  # scroll
    0xA9, 0x02, 0x8D, 0x14, 0x40,        # OAM DMA from $0200
    0xA9, 0x01, 0x8D, 0x16, 0x40, 0x4A,  # strobe the pads
    0x8D, 0x16, 0x40, 0xAD, 0x16, 0x40,  # read pad 1
    0x40,                                # RTI
]
VECTORS = [0x4A, 0xE0, 0x00, 0xE0, 0x4A, 0xE0]


def cart(mapper, prg_16k=2, chr_8k=1, flags6=0, nes2=False, trainer=False, steer=0):
    prg = bytearray(prg_16k * 0x4000)
    for i in range(len(prg)):
        prg[i] = (i // 1024) & 0xFF
    last = len(prg) - 0x2000
    prg[last : last + len(BUSY)] = bytes(BUSY)
    prg[-6:] = bytes(VECTORS)
    chr_data = bytes((0x80 | (i // 1024)) & 0xFF for i in range(chr_8k * 0x2000))
    flags6 |= (mapper & 0x0F) << 4 | (0x04 if trainer else 0)
    flags7 = (mapper & 0xF0) | (0x08 if nes2 else 0)
    header = b"NES\x1a" + bytes([prg_16k, chr_8k, flags6, flags7]) + bytes(8)
    return header + (bytes(512) if trainer else b"") + bytes(prg) + chr_data + bytes([0, steer])


def main(out):
    rom, state = out / "rom", out / "state"
    rom.mkdir(parents=True, exist_ok=True)
    state.mkdir(parents=True, exist_ok=True)
    for image in sorted(DATA.glob("*.nes")):
        (rom / image.name).write_bytes(image.read_bytes())
    seeds = {}
    for mapper in BOARDS + [255]:
        seeds[f"m{mapper}"] = cart(mapper, prg_16k=4 if mapper else 2)
        seeds[f"m{mapper}-chr-ram-battery"] = cart(mapper, prg_16k=4 if mapper else 2, chr_8k=0, flags6=0x02, steer=1)
        seeds[f"m{mapper}-nes2-trainer-four-screen"] = cart(mapper, prg_16k=2, flags6=0x08, nes2=True,
                                                            trainer=True, steer=3)
    seeds["tiny-prg"] = cart(0, prg_16k=1, chr_8k=0, steer=2)
    seeds["header-only"] = b"NES\x1a" + bytes(12)
    for name, data in seeds.items():
        (rom / f"{name}.nes").write_bytes(data)

    # The state target: a machine (byte 0), a mode (byte 1: extension edits, old-layout edits or the
    # input itself), then edits.
    # fuzz_state's machines: the five bundled cartridges, then one of each other board and one without.
    for machine in range(5 + len([b for b in BOARDS if b > 4]) + 1):
        (state / f"s{machine}-as-is").write_bytes(bytes([machine, 0]))
        (state / f"s{machine}-edits").write_bytes(bytes([machine, 1, 30, 0, 2, 40, 0, 7, 250, 1, 0x80]))
        (state / f"s{machine}-old-layout").write_bytes(bytes([machine, 2, 0, 0xFF, 20, 0x7F, 30, 0x80]))
        (state / f"s{machine}-dot-by-dot").write_bytes(bytes([machine, 4, 100, 0, 3]))
        (state / f"s{machine}-whole-frame").write_bytes(bytes([machine, 8, 60, 0, 0]))
    (state / "raw").write_bytes(bytes([0, 3]) + b"PICTSNAP" + bytes(16))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(Path(sys.argv[1]))
