"""The workload cartridges: the images match their sources, and each one does on the machine
what it claims, as its counters at $0300 and the machine's memory and picture show."""

import hashlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SOURCE = REPO / "workloads"
DATA = REPO / "python" / "pictor_cli" / "data"
KINDS = {"nrom": 0, "mmc1": 1, "uxrom": 2, "cnrom": 3, "mmc3": 4, "mmc4": 10, "fme7": 69}  # kind: mapper number
# KiB of PRG and CHR
SIZES = {"nrom": (32, 8), "mmc1": (128, 32), "uxrom": (128, 0), "cnrom": (32, 32), "mmc3": (64, 32)}
SIZES.update(mmc4=(128, 32), fme7=(64, 32))
BUTTONS = ["A", "B", "Select", "Start", "Up", "Down", "Left", "Right"]

# The program's counters and read-backs (workloads/README.md): name -> (address, bytes).
STATS = {
    "frames": (0x300, 2),
    "loops": (0x302, 2),
    "hits": (0x304, 2),
    "overflows": (0x306, 2),
    "switches": (0x308, 2),
    "irqs": (0x30A, 2),
    "irqs_frame": (0x30C, 1),
    "lag": (0x30D, 1),
    "samples": (0x30E, 1),
    "bank_errors": (0x30F, 1),
    "pal_index": (0x310, 1),
    "pal_read": (0x311, 1),
    "nt_read": (0x312, 1),
    "bg_set": (0x313, 1),
    "spr_set": (0x314, 1),
    "overruns": (0x315, 1),
    "idle": (0x316, 2),
    "kind": (0x318, 1),
    "speed": (0x319, 1),
    "pal_set": (0x31A, 1),
    "flags": (0x31B, 1),
    "chr_bytes": (0x31C, 2),
    "mirroring": (0x31E, 2),
}
STATUS_ROW = 0x2048  # the 16 changing status-bar tiles: "F0000 S+1 P0 K00"

have_cc65 = shutil.which("ca65") is not None and shutil.which("ld65") is not None


def image(kind):
    return (DATA / f"workload_{kind}.nes").read_bytes()


def test_headers_name_each_kind_and_size():
    for kind, mapper in KINDS.items():
        data = image(kind)
        prg_kib, chr_kib = SIZES[kind]
        assert data[:4] == b"NES\x1a"
        assert (data[4], data[5]) == (prg_kib // 16, chr_kib // 8), kind
        assert (data[6] >> 4) | (data[7] & 0xF0) == mapper, kind
        assert data[6] & 0x0F == 0x01 and data[7] & 0x0F == 0 and data[8:16] == bytes(8), kind
        assert len(data) == 16 + 1024 * (prg_kib + chr_kib), kind


@pytest.mark.skipif(not have_cc65, reason="ca65/ld65 (package cc65) are not on PATH")
def test_rebuild_matches_committed_images(tmp_path):
    env = dict(os.environ, PYTHON=sys.executable)
    proc = subprocess.run(
        ["sh", str(SOURCE / "build.sh"), str(tmp_path)], capture_output=True, text=True, env=env, timeout=300
    )
    assert proc.returncode == 0, proc.stderr
    for kind in KINDS:
        built = (tmp_path / f"workload_{kind}.nes").read_bytes()
        assert built == image(kind), f"workload_{kind}.nes is stale: run workloads/build.sh and commit the images"


# ---- Running the workloads (needs the built module) ----

FRAMES = 330
# Scripted presses on pad 1, each held for two frames: frame -> button.
PRESSES = {152: "A", 190: "Right", 200: "Right", 210: "B", 220: "Start", 230: "Select"}
PRESSES.update({250 + 10 * i: "Left" for i in range(5)})  # speed 3 -> -2


class Session:
    """One scripted run of a workload, with what the tests look at."""

    def __init__(self, pictor, kind):
        self.kind = kind
        self.nes = nes = pictor.NES(str(DATA / f"workload_{kind}.nes"))
        pad = pictor.Controller()
        nes.setController(pad, 0)
        self.snapshots = {}  # frame -> counters after it
        self.pictures = set()
        self.audio = []
        self.bg_sets = set()
        self.spr_sets = set()
        self.signature_rows = set()  # mmc4: the top row of status-bar cell 30, tile $FF
        self.patterns_at_200 = None
        for frame in range(FRAMES):
            if frame in PRESSES:
                pad.updateInputs([name == PRESSES[frame] for name in BUTTONS])
            elif frame - 2 in PRESSES:
                pad.updateInputs([False] * 8)
            nes.runFrame()
            picture = nes.getImg()
            self.pictures.add(hashlib.sha1(picture.tobytes()).digest())
            block = nes.getAudio()
            if block:
                self.audio.append(block)
            stats = self.stats()
            self.snapshots[frame] = stats
            self.bg_sets.add(stats["bg_set"])
            self.spr_sets.add(stats["spr_set"])
            self.signature_rows.add(picture[8, 240:248].tobytes())
            if frame == 200:
                self.patterns_at_200 = bytes(nes.ppuMem()[0:0x2000])

    def stats(self):
        memory = self.nes.cpuMem()
        return {
            name: int.from_bytes(bytes(memory[address : address + size]), "little")
            for name, (address, size) in STATS.items()
        }

    def delta(self, name, first, last):
        return (self.snapshots[last][name] - self.snapshots[first][name]) % 0x10000


@pytest.fixture(scope="module")
def pictor():
    return pytest.importorskip("pictor")


@pytest.fixture(scope="module", params=list(KINDS))
def session(request, pictor, tmp_path_factory):
    # Shared by the tests of a kind, so it sets up its own private home: the machine makes
    # its save folder when it is built, before any test's own home exists.
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("HOME", str(tmp_path_factory.mktemp("home")))
        yield Session(pictor, request.param)


def test_every_frame_finishes_in_time(session):
    end = session.snapshots[FRAMES - 1]
    assert end["kind"] == KINDS[session.kind]
    frames = end["frames"]
    assert frames > FRAMES - 20  # a few frames of set-up with rendering off
    assert end["loops"] == frames and end["lag"] == 0 and end["overruns"] == 0
    assert end["idle"] > 0  # the main loop waited for the NMI


def test_split_and_sprite_flags_are_seen_every_frame(session):
    end = session.snapshots[FRAMES - 1]
    # The first frame after rendering starts has no split; every one after it has.
    assert end["hits"] == end["frames"] - 1
    assert end["overflows"] == end["frames"] - 1
    assert len(session.pictures) > FRAMES * 9 // 10  # nearly every picture is new


def test_banks_switch_as_the_kind_does(session):
    kind, window = session.kind, (100, 300)
    frames = window[1] - window[0]
    switches = session.delta("switches", *window)
    least = {"nrom": 0, "cnrom": 2, "uxrom": 6, "mmc1": 6, "mmc3": 6, "mmc4": 6, "fme7": 6}[kind]
    assert switches >= least * frames and (switches == 0) == (kind == "nrom")
    assert session.snapshots[FRAMES - 1]["bank_errors"] == 0  # every switch mapped the bank asked for

    irqs = session.delta("irqs", *window)
    if kind in ("mmc3", "fme7"):
        assert irqs == 3 * frames and session.snapshots[FRAMES - 1]["irqs_frame"] == 3
    else:
        assert irqs == 0
    mirroring = session.delta("mirroring", *window)
    assert mirroring >= 2 * frames if kind in ("mmc1", "mmc3", "fme7") else mirroring == 0

    # The pattern tables read back at status-bar time: background set 0 (on UxROM the
    # uploads change it; on MMC4 the latch still shows the playfield's set, every style in
    # turn), and on the kinds that switch sprite patterns by themselves, every sprite set.
    if kind == "mmc4":
        assert session.bg_sets == {0, 1, 2, 3}
    elif kind != "uxrom":
        assert session.snapshots[FRAMES - 1]["bg_set"] == 0
    switching = ("mmc1", "mmc3", "mmc4", "fme7")
    assert session.spr_sets >= ({0x10, 0x11, 0x12, 0x13} if kind in switching else {0x10})


@pytest.mark.parametrize("session", ["mmc4"], indirect=True)
def test_mmc4_status_bar_is_drawn_after_the_fd_latch(session):
    # Tile $FF of set B0 is blank, of the other sets not: one colour across the cell's top
    # row in every frame means tile $FD switched the table back to B0 on every line.
    assert all(len(set(row[i : i + 3] for i in range(0, 24, 3))) == 1 for row in session.signature_rows)


@pytest.mark.parametrize("session", ["uxrom"], indirect=True)  # the cartridge with CHR-RAM
def test_uxrom_uploads_patterns_every_frame(session):
    assert session.delta("chr_bytes", 100, 300) == 32 * 200
    # By frame 200 more than 128 uploads have replaced the background patterns loaded at
    # power-on (set B0) with set B1, both stored in PRG bank 6.
    bank6 = image("uxrom")[16 + 6 * 0x4000 :][: 0x4000]
    b0, b1 = bank6[:0x1000], bank6[0x1000:0x2000]
    assert b0 != b1
    assert session.patterns_at_200[:0x1000] == b1
    assert session.snapshots[200]["bg_set"] == 1  # and the program reads tile $FF of set B1 back


def test_buttons_change_what_the_program_does(session):
    snap = session.snapshots
    # 32 frames hold one periodic drum sample; with A pressed in frame 152, two.
    assert snap[150]["samples"] - snap[118]["samples"] == 1
    assert snap[182]["samples"] - snap[150]["samples"] == 2
    assert snap[189]["speed"] == 1 and snap[205]["speed"] == 3 and snap[FRAMES - 1]["speed"] == 0xFE
    assert snap[209]["pal_set"] == 0 and snap[215]["pal_set"] == 1
    tall = 1 if session.kind in ("uxrom", "mmc3") else 0  # the kinds that start with 8x16 sprites
    assert snap[219]["flags"] == 2 | tall and snap[225]["flags"] == 2 | (tall ^ 1)
    assert snap[235]["flags"] == tall ^ 1  # OAM rotation off
    memory = session.nes.ppuMem()
    assert bytes(memory[STATUS_ROW + 6 : STATUS_ROW + 12]) == b"S-2 P1"  # shown on the status bar


def test_vblank_reads_return_what_is_in_video_memory(session):
    end = session.snapshots[FRAMES - 1]
    memory = session.nes.ppuMem()
    index = end["pal_index"]
    if index & 0x13 == 0x10:  # sprite backdrop entries are the background ones
        index &= 0x0F
    assert end["pal_read"] == memory[0x3F00 + index] & 0x3F
    assert end["nt_read"] == memory[0x2021] == ord(" ")


def test_sound_plays(session):
    samples = b"".join(session.audio)
    assert len(session.audio) > FRAMES // 2
    assert len(set(samples[1::2])) > 20  # high bytes of the 16-bit samples: many levels
