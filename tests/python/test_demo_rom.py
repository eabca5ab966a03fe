"""The demo cartridge: its image matches its sources, and it runs on the machine."""

import gc
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
DEMO_DIR = REPO / "demo"
IMAGE = REPO / "python" / "pictor_cli" / "data" / "demo.nes"

PRG_SIZE = 32768
CHR_SIZE = 8192
STATUS_ROW = 0x2020  # name table 0, row 1: the status bar text
STATUS_TEXT = b"  PICTOR  BOOT %05d  SHOT %05d"
BUTTONS = ["A", "B", "Select", "Start", "Up", "Down", "Left", "Right"]

have_cc65 = shutil.which("ca65") is not None and shutil.which("ld65") is not None


def test_header_and_layout():
    image = IMAGE.read_bytes()
    assert len(image) == 16 + PRG_SIZE + CHR_SIZE
    header = image[:16]
    assert header[:4] == b"NES\x1a"
    assert header[4] == PRG_SIZE // 16384 and header[5] == CHR_SIZE // 8192
    assert header[6] >> 4 == 0 and header[7] >> 4 == 0  # mapper 0
    assert header[6] & 0x01  # vertical mirroring: the two scrolled name tables side by side
    assert header[6] & 0x02  # battery RAM
    assert not header[6] & 0x0C  # no trainer, no four-screen
    assert header[7] & 0x0C == 0  # plain iNES header
    assert header[8:] == bytes(8)

    prg = image[16 : 16 + PRG_SIZE]
    nmi, reset, irq = (int.from_bytes(prg[0x7FFA + 2 * i : 0x7FFC + 2 * i], "little") for i in range(3))
    for vector in (nmi, reset, irq):
        assert 0x8000 <= vector < 0xC000, hex(vector)  # code lies in the first half of PRG
    assert prg[reset - 0x8000] == 0x78  # SEI
    assert prg[irq - 0x8000] == 0x40  # RTI
    # The DMC sample sits at $C000 (sample address code 0), followed by unused ROM.
    sample = prg[0x4000 : 0x4000 + 385]
    assert len(set(sample)) > 8
    assert prg[0x4000 + 385 : 0x4000 + 512] == b"\xff" * 127
    assert any(image[16 + PRG_SIZE + 0x1000 :])  # sprite patterns present


@pytest.mark.skipif(not have_cc65, reason="ca65/ld65 (package cc65) are not on PATH")
def test_rebuild_matches_committed_image(tmp_path):
    committed = IMAGE.read_bytes()
    output = tmp_path / "out" / "demo.nes"
    env = dict(os.environ, PYTHON=sys.executable)
    proc = subprocess.run(
        ["sh", str(DEMO_DIR / "build.sh"), str(output)], capture_output=True, text=True, env=env, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    assert output.read_bytes() == committed, "demo.nes is stale: run demo/build.sh and commit the image"
    assert IMAGE.read_bytes() == committed  # building elsewhere leaves the committed image alone


def test_assets_do_not_depend_on_hash_seed(tmp_path):
    outputs = []
    for seed in ("1", "2"):
        out = tmp_path / seed
        env = dict(os.environ, PYTHONHASHSEED=seed)
        subprocess.run([sys.executable, str(DEMO_DIR / "make_assets.py"), str(out)], check=True, env=env, timeout=120)
        outputs.append({p.name: p.read_bytes() for p in sorted(out.iterdir())})
    assert outputs[0] == outputs[1]
    assert sorted(outputs[0]) == ["demo.chr", "scene.nam", "tiles.inc", "zap.dmc"]
    assert len(outputs[0]["demo.chr"]) == CHR_SIZE and len(outputs[0]["scene.nam"]) == 2048


# ---- Running the demo (needs the built module) ----


@pytest.fixture
def pictor():
    return pytest.importorskip("pictor")


def status_text(nes):
    return bytes(nes.ppuMem()[STATUS_ROW : STATUS_ROW + 32])


def run(nes, frames, audio=None):
    for _ in range(frames):
        nes.runFrame()
        block = nes.getAudio()
        if audio is not None and block:
            audio.append(block)


def test_demo_scrolls_under_a_still_status_bar_and_plays_music(pictor):
    nes = pictor.NES(str(IMAGE))
    audio = []
    run(nes, 120, audio)
    assert status_text(nes) == STATUS_TEXT % (1, 0)
    before = nes.getImg().copy()
    run(nes, 5, audio)
    after = nes.getImg().copy()

    # The status bar (rows 0-20) stays put; the bottom of the brick wall (no sprite reaches
    # rows 226-239) has moved 5 pixels to the left, one per frame.
    assert (after[:21] == before[:21]).all()
    assert len({tuple(c) for c in after[20]}) == 1  # the bar's bottom edge, unbroken by the split
    assert (after[226:, :-5] == before[226:, 5:]).all()
    assert not (after[226:] == before[226:]).all()

    assert len(audio) >= 80  # 125 frames of 735 samples in blocks of 1024
    samples = b"".join(audio)
    levels = set(samples[1::2])  # high bytes of the 16-bit samples
    assert len(levels) > 20


def test_pad_moves_recolours_and_fires(pictor):
    nes = pictor.NES(str(IMAGE))
    pad = pictor.Controller()
    nes.setController(pad, 0)
    run(nes, 60)
    oam = nes.OAM()
    ship_x, ship_attr = int(oam[7]), int(oam[6])

    pad.updateInputs([name == "Right" for name in BUTTONS])
    run(nes, 10)
    assert int(oam[7]) > ship_x

    pad.updateInputs([name == "B" for name in BUTTONS])
    run(nes, 3)
    assert int(oam[6]) & 3 == (ship_attr + 1) & 3  # ship palette
    assert int(oam[10]) & 0x40  # right half mirrored

    pad.updateInputs([name == "A" for name in BUTTONS])
    run(nes, 3)
    assert status_text(nes) == STATUS_TEXT % (1, 1)
    assert any(oam[12 + 4 * i] != 0xFF for i in range(3))  # a shot in flight


def test_firing_plays_the_sample(pictor):
    # Two machines fed the same input give the same sound until one of them fires.
    machines = [pictor.NES(str(IMAGE)) for _ in range(2)]
    pads = [pictor.Controller() for _ in machines]
    audio = [[], []]
    for nes, pad in zip(machines, pads):
        nes.setController(pad, 0)
        run(nes, 100)
    pads[1].updateInputs([name == "A" for name in BUTTONS])
    for nes, blocks in zip(machines, audio):
        run(nes, 10, blocks)
    assert audio[0] and audio[1]
    assert audio[0] != audio[1]


def test_boot_counter_survives_restarts(pictor, lumaret):
    for boot in (1, 2, 3):
        nes = pictor.NES(str(IMAGE))
        memory = nes.cpuMem()
        nes.start()
        deadline = time.monotonic() + 30
        while memory[0x6004] != boot and time.monotonic() < deadline:
            time.sleep(0.01)
        nes.stop()
        assert bytes(memory[0x6000:0x6006]) == b"PICT" + bytes([boot, 0])
        del memory, nes
        gc.collect()  # the battery file of one machine is written before the next is built
    assert (lumaret / "demo" / "ram").stat().st_size == 8192
