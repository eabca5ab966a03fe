"""A small cartridge that keeps every unit of the console busy, for measurements.

`build_synthetic_rom()` returns an iNES image (mapper 0, 16 KiB PRG-ROM, 8 KiB CHR-ROM, horizontal
mirroring). Its program fills the palette and the first name table, turns on the background and
the sprites, starts three sound channels that play without end, and then spins in a busy loop.
Its NMI handler copies the sprite page $0200 into sprite memory by OAM DMA, moves all 64 sprites
one pixel right and down, scrolls the background one pixel further and slides the pulse tone, so
that every frame draws a changing picture.
"""

from __future__ import annotations

from typing import Dict, List, Tuple

PRG_SIZE = 16 * 1024
CHR_SIZE = 8 * 1024
BASE = 0x8000  # the 16 KiB bank appears at $8000 and again at $C000

# Hand-assembled program, one instruction per entry: (address, bytes, comment).
RESET: List[Tuple[int, List[int], str]] = [
    (0x8000, [0x78], "SEI"),
    (0x8001, [0xD8], "CLD"),
    (0x8002, [0xA2, 0xFF], "LDX #$FF"),
    (0x8004, [0x9A], "TXS"),
    (0x8005, [0xE8], "INX              ; X = 0"),
    (0x8006, [0x8E, 0x00, 0x20], "STX $2000        ; NMI off"),
    (0x8009, [0x8E, 0x01, 0x20], "STX $2001        ; rendering off"),
    (0x800C, [0x2C, 0x02, 0x20], "BIT $2002        ; wait for the first vertical blank"),
    (0x800F, [0x10, 0xFB], "BPL $800C"),
    (0x8011, [0x2C, 0x02, 0x20], "BIT $2002        ; and the second"),
    (0x8014, [0x10, 0xFB], "BPL $8011"),
    # Palette: 32 bytes from $8200.
    (0x8016, [0xA9, 0x3F], "LDA #$3F"),
    (0x8018, [0x8D, 0x06, 0x20], "STA $2006"),
    (0x801B, [0x8E, 0x06, 0x20], "STX $2006        ; PPU address $3F00"),
    (0x801E, [0xBD, 0x00, 0x82], "LDA $8200,X"),
    (0x8021, [0x8D, 0x07, 0x20], "STA $2007"),
    (0x8024, [0xE8], "INX"),
    (0x8025, [0xE0, 0x20], "CPX #$20"),
    (0x8027, [0xD0, 0xF5], "BNE $801E"),
    # Name table $2000 and its attributes: 1024 bytes counting 0, 1, ... 255, 0, ...
    (0x8029, [0xA9, 0x20], "LDA #$20"),
    (0x802B, [0x8D, 0x06, 0x20], "STA $2006"),
    (0x802E, [0xA9, 0x00], "LDA #$00"),
    (0x8030, [0x8D, 0x06, 0x20], "STA $2006        ; PPU address $2000"),
    (0x8033, [0xA0, 0x04], "LDY #4"),
    (0x8035, [0xA2, 0x00], "LDX #0"),
    (0x8037, [0x8E, 0x07, 0x20], "STX $2007"),
    (0x803A, [0xE8], "INX"),
    (0x803B, [0xD0, 0xFA], "BNE $8037"),
    (0x803D, [0x88], "DEY"),
    (0x803E, [0xD0, 0xF7], "BNE $8037"),
    # Sprite page $0200 from the table at $8300 (X = 0 again).
    (0x8040, [0xBD, 0x00, 0x83], "LDA $8300,X"),
    (0x8043, [0x9D, 0x00, 0x02], "STA $0200,X"),
    (0x8046, [0xE8], "INX"),
    (0x8047, [0xD0, 0xF7], "BNE $8040"),
    # Sound: pulse 1, triangle and noise with their length counters halted.
    (0x8049, [0xA9, 0x0F], "LDA #$0F"),
    (0x804B, [0x8D, 0x15, 0x40], "STA $4015        ; enable pulse 1, pulse 2, triangle, noise"),
    (0x804E, [0xA9, 0xBF], "LDA #$BF"),
    (0x8050, [0x8D, 0x00, 0x40], "STA $4000        ; duty 2, halted, constant volume 15"),
    (0x8053, [0xA9, 0xFD], "LDA #$FD"),
    (0x8055, [0x8D, 0x02, 0x40], "STA $4002"),
    (0x8058, [0xA9, 0x00], "LDA #$00"),
    (0x805A, [0x8D, 0x03, 0x40], "STA $4003"),
    (0x805D, [0xA9, 0xFF], "LDA #$FF"),
    (0x805F, [0x8D, 0x08, 0x40], "STA $4008        ; triangle: counter halted, reload 127"),
    (0x8062, [0xA9, 0x80], "LDA #$80"),
    (0x8064, [0x8D, 0x0A, 0x40], "STA $400A"),
    (0x8067, [0xA9, 0x00], "LDA #$00"),
    (0x8069, [0x8D, 0x0B, 0x40], "STA $400B"),
    (0x806C, [0xA9, 0x3F], "LDA #$3F"),
    (0x806E, [0x8D, 0x0C, 0x40], "STA $400C        ; noise: halted, constant volume 15"),
    (0x8071, [0xA9, 0x05], "LDA #$05"),
    (0x8073, [0x8D, 0x0E, 0x40], "STA $400E"),
    (0x8076, [0xA9, 0x00], "LDA #$00"),
    (0x8078, [0x8D, 0x0F, 0x40], "STA $400F"),
    # Scroll 0, 0; NMI on; background and sprites on, left columns included.
    (0x807B, [0x8D, 0x05, 0x20], "STA $2005"),
    (0x807E, [0x8D, 0x05, 0x20], "STA $2005"),
    (0x8081, [0xA9, 0x88], "LDA #$88"),
    (0x8083, [0x8D, 0x00, 0x20], "STA $2000        ; NMI on, sprite patterns at $1000"),
    (0x8086, [0xA9, 0x1E], "LDA #$1E"),
    (0x8088, [0x8D, 0x01, 0x20], "STA $2001"),
    # Busy main loop.
    (0x808B, [0xE6, 0x20], "INC $20"),
    (0x808D, [0xA5, 0x20], "LDA $20"),
    (0x808F, [0x45, 0x21], "EOR $21"),
    (0x8091, [0x85, 0x21], "STA $21"),
    (0x8093, [0x4C, 0x8B, 0x80], "JMP $808B"),
]

NMI: List[Tuple[int, List[int], str]] = [
    (0x8100, [0x48], "PHA"),
    (0x8101, [0x8A], "TXA"),
    (0x8102, [0x48], "PHA"),
    (0x8103, [0xA9, 0x02], "LDA #$02"),
    (0x8105, [0x8D, 0x14, 0x40], "STA $4014        ; OAM DMA from $0200"),
    (0x8108, [0xE6, 0x10], "INC $10          ; frame counter"),
    (0x810A, [0xA5, 0x10], "LDA $10"),
    (0x810C, [0x8D, 0x05, 0x20], "STA $2005        ; scroll X = frame counter"),
    (0x810F, [0xA9, 0x00], "LDA #$00"),
    (0x8111, [0x8D, 0x05, 0x20], "STA $2005        ; scroll Y = 0"),
    (0x8114, [0xA9, 0x88], "LDA #$88"),
    (0x8116, [0x8D, 0x00, 0x20], "STA $2000        ; name table $2000"),
    (0x8119, [0xA5, 0x10], "LDA $10"),
    (0x811B, [0x8D, 0x02, 0x40], "STA $4002        ; the pulse tone slides"),
    (0x811E, [0xA2, 0x00], "LDX #0"),
    (0x8120, [0xFE, 0x03, 0x02], "INC $0203,X      ; sprite X + 1"),
    (0x8123, [0xFE, 0x00, 0x02], "INC $0200,X      ; sprite Y + 1"),
    (0x8126, [0xE8], "INX"),
    (0x8127, [0xE8], "INX"),
    (0x8128, [0xE8], "INX"),
    (0x8129, [0xE8], "INX"),
    (0x812A, [0xD0, 0xF4], "BNE $8120"),
    (0x812C, [0x68], "PLA"),
    (0x812D, [0xAA], "TAX"),
    (0x812E, [0x68], "PLA"),
    (0x812F, [0x40], "RTI"),
    (0x8130, [0x40], "RTI              ; IRQ handler"),
]

NMI_ADDRESS = 0x8100
RESET_ADDRESS = 0x8000
IRQ_ADDRESS = 0x8130
PALETTE_ADDRESS = 0x8200
OAM_ADDRESS = 0x8300

# Backdrop, then four background and four sprite palettes.
PALETTE = [
    0x0F, 0x01, 0x21, 0x31, 0x0F, 0x06, 0x16, 0x26, 0x0F, 0x09, 0x19, 0x29, 0x0F, 0x02, 0x12, 0x22,
    0x0F, 0x14, 0x24, 0x34, 0x0F, 0x07, 0x17, 0x27, 0x0F, 0x0A, 0x1A, 0x2A, 0x0F, 0x15, 0x25, 0x35,
]


def _initial_oam() -> List[int]:
    """64 sprites spread over the screen with every palette, flip and priority combination."""
    oam = []
    for i in range(64):
        oam += [(i * 29) % 224, i, i & 0xE3, (i * 53) & 0xFF]
    return oam


def _chr() -> bytes:
    """Background tiles at $0000 with varied stripes; sprite tiles at $1000, round and three-coloured."""
    data = bytearray(CHR_SIZE)
    for n in range(256):
        for r in range(8):
            data[n * 16 + r] = (n * 17 + r * 29) & 0xFF
            data[n * 16 + r + 8] = ((n * 23) ^ (r * 7)) & 0xFF
    for n in range(256):
        base = 0x1000 + n * 16
        for r in range(8):
            low = high = 0
            for c in range(8):
                dist = (2 * r - 7) ** 2 + (2 * c - 7) ** 2  # from the tile's centre, doubled
                value = 0 if dist > 50 else 1 + (dist + n) % 3
                low |= (value & 1) << (7 - c)
                high |= (value >> 1) << (7 - c)
            data[base + r] = low
            data[base + r + 8] = high
    return bytes(data)


def _place(prg: bytearray, address: int, data: List[int]) -> None:
    offset = address - BASE
    prg[offset : offset + len(data)] = bytes(data)


def build_synthetic_rom() -> bytes:
    """The iNES image of the workload."""
    prg = bytearray(PRG_SIZE)
    for program in (RESET, NMI):
        for address, code, _ in program:
            _place(prg, address, code)
    _place(prg, PALETTE_ADDRESS, PALETTE)
    _place(prg, OAM_ADDRESS, _initial_oam())
    vectors: Dict[int, int] = {0xBFFA: NMI_ADDRESS, 0xBFFC: RESET_ADDRESS, 0xBFFE: IRQ_ADDRESS}
    for address, target in vectors.items():
        _place(prg, address, [target & 0xFF, target >> 8])
    header = b"NES\x1a" + bytes([PRG_SIZE // 16384, CHR_SIZE // 8192, 0x00, 0x00]) + bytes(8)
    return header + bytes(prg) + _chr()
