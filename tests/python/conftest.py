"""Shared fixtures: a private HOME for every test and small iNES images with tiny programs."""

import ctypes
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

_libc = ctypes.CDLL(None)

# The bundled demo cartridge: music, a DMC sample, sprites, scrolling and battery RAM.
DEMO = str(Path(__file__).resolve().parents[2] / "python" / "pictor_cli" / "data" / "demo.nes")

RTI_ADDR = 0x8100  # NMI and IRQ vectors point at a lone RTI

# Keeps A=$11, Y=$33; X counts up and is stored at $41; copies $00 to $01; $43 counts passes.
COUNTER = [
    0xA9, 0x11,        # 8000 LDA #$11
    0xA0, 0x33,        # 8002 LDY #$33
    0xA2, 0x00,        # 8004 LDX #$00
    0xE8,              # 8006 INX
    0x86, 0x41,        # 8007 STX $41
    0xA5, 0x00,        # 8009 LDA $00
    0x85, 0x01,        # 800B STA $01
    0xE6, 0x43,        # 800D INC $43
    0x4C, 0x06, 0x80,  # 800F JMP $8006
]

# Strobes the pads, then reads $4016 into $20-$28 and $4017 into $30-$38 (nine reads each), forever.
PADS = [
    0xA9, 0x01,        # 8000 LDA #1
    0x8D, 0x16, 0x40,  # 8002 STA $4016
    0xA9, 0x00,        # 8005 LDA #0
    0x8D, 0x16, 0x40,  # 8007 STA $4016
    0xA2, 0x00,        # 800A LDX #0
    0xAD, 0x16, 0x40,  # 800C LDA $4016
    0x95, 0x20,        # 800F STA $20,X
    0xAD, 0x17, 0x40,  # 8011 LDA $4017
    0x95, 0x30,        # 8014 STA $30,X
    0xE8,              # 8016 INX
    0xE0, 0x09,        # 8017 CPX #9
    0xD0, 0xF1,        # 8019 BNE $800C
    0x4C, 0x00, 0x80,  # 801B JMP $8000
]

# Writes $5A to $6000 and $A5 to $7FFF (battery RAM), then waits.
BATTERY = [
    0xA9, 0x5A,        # 8000 LDA #$5A
    0x8D, 0x00, 0x60,  # 8002 STA $6000
    0xA9, 0xA5,        # 8005 LDA #$A5
    0x8D, 0xFF, 0x7F,  # 8007 STA $7FFF
    0x4C, 0x0A, 0x80,  # 800A JMP $800A
]


def ines(program=COUNTER, battery=False, mapper=0):
    """An iNES image: 16 KiB PRG (mirrored at $8000 and $C000) holding program at $8000, 8 KiB CHR."""
    prg = bytearray(0x4000)
    prg[: len(program)] = bytes(program)
    prg[RTI_ADDR - 0x8000] = 0x40
    for vector, target in ((0x3FFA, RTI_ADDR), (0x3FFC, 0x8000), (0x3FFE, RTI_ADDR)):
        prg[vector : vector + 2] = target.to_bytes(2, "little")
    header = b"NES\x1a" + bytes([1, 1, (mapper & 0x0F) << 4 | (2 if battery else 0), mapper & 0xF0]) + bytes(8)
    return header + bytes(prg) + bytes(0x2000)


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    """HOME is an empty private folder for every test, so nothing touches the real configuration."""
    folder = tmp_path / "home"
    folder.mkdir()
    monkeypatch.setenv("HOME", str(folder))
    return folder


@pytest.fixture
def sdl_dummy(monkeypatch):
    """SDL's dummy video and sound drivers: pygame windows and sound without a display or a sound card."""
    pytest.importorskip("pygame", reason="windows need the play extra (pygame)")
    monkeypatch.setenv("SDL_VIDEODRIVER", "dummy")
    monkeypatch.setenv("SDL_AUDIODRIVER", "dummy")
    monkeypatch.setenv("PYGAME_HIDE_SUPPORT_PROMPT", "1")


@pytest.fixture
def lumaret(home):
    return home / ".config" / "Lumaret"


@pytest.fixture
def write_rom(tmp_path):
    """Writes an image under tmp_path/roms and returns its path as a str."""

    def write(name="game.nes", image=None, **kwargs):
        path = tmp_path / "roms" / name
        path.parent.mkdir(exist_ok=True)
        path.write_bytes(ines(**kwargs) if image is None else image)
        return str(path)

    return write


def flush_c_stdout():
    """The core prints through C stdio, which buffers when stdout is not a terminal."""
    _libc.fflush(None)


def run_script(code, timeout=30):
    """Runs code in a fresh interpreter (for cases that could hang or must see interpreter exit)."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=os.environ.copy(),
    )
    return proc
