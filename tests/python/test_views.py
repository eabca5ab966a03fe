"""Array views, audio blocks, counters and pads."""

import gc
import weakref

import numpy as np
import pytest

import pictor
from conftest import DEMO, PADS


def test_counters_after_run_frame(write_rom):
    nes = pictor.NES(write_rom())
    assert (nes.frameCount(), nes.cycleCount()) == (0, 0)
    calls = []
    nes.perFrame(lambda: calls.append(nes.frameCount()))
    nes.runFrame()
    assert nes.frameCount() == 1 and calls == [1]
    assert 29600 <= nes.cycleCount() <= 29900
    nes.runFrame()
    assert nes.frameCount() == 2 and calls == [1, 2]
    assert 59300 <= nes.cycleCount() <= 59700


def test_view_shapes_and_aliasing(write_rom):
    nes = pictor.NES(write_rom())
    shapes = {
        "getImg": ((240, 256, 3), (768, 3, 1)),
        "colorLookup": ((64, 3), (3, 1)),
        "cpuMem": ((65536,), (1,)),
        "ppuMem": ((16384,), (1,)),
        "OAM": ((256,), (1,)),
    }
    for name, (shape, strides) in shapes.items():
        array = getattr(nes, name)()
        assert array.dtype == np.uint8 and array.shape == shape and array.strides == strides, name
        assert array.flags.writeable and not array.flags.owndata, name
        assert getattr(nes, name)().__array_interface__["data"][0] == array.__array_interface__["data"][0], name

    a, b = nes.cpuMem(), nes.cpuMem()
    a[0x10] = 5
    assert b[0x10] == 5
    assert a[0x8000] == 0xA9  # first program byte
    a[0x00] = 0x9C
    nes.runFrame()
    assert a[0x01] == 0x9C  # the program read what Python stored
    nes.OAM()[7] = 3
    assert nes.OAM()[7] == 3


def test_views_keep_the_machine_alive(write_rom):
    nes = pictor.NES(write_rom())
    nes.runFrame()
    memory = nes.cpuMem()
    picture = nes.getImg()
    assert memory.base is nes
    expected = memory.tobytes()
    alive = weakref.ref(nes)
    del nes
    gc.collect()
    assert alive() is not None
    assert memory.tobytes() == expected and picture.sum() >= 0
    del memory, picture
    gc.collect()
    assert alive() is None


def test_palette(write_rom):
    nes = pictor.NES(write_rom())
    palette = nes.colorLookup()
    assert tuple(palette[0]) == (96, 96, 96) and tuple(palette[1]) == (0, 28, 161)
    original = palette.copy()
    try:
        palette[0] = (1, 2, 3)
        assert tuple(nes.colorLookup()[0]) == (1, 2, 3)
        assert tuple(pictor.NES().colorLookup()[0]) == (1, 2, 3)  # one palette for the process
    finally:
        palette[:] = original


def test_audio_blocks(write_rom):
    nes = pictor.NES(write_rom())
    assert nes.getAudio() == b""
    lengths = []
    for _ in range(10):
        nes.runFrame()
        block = nes.getAudio()
        assert isinstance(block, bytes)
        lengths.append(len(block))
        if block:
            assert nes.getAudio() == b""  # each block is handed out once
    assert set(lengths) <= {0, 2048}
    assert lengths.count(2048) >= 4  # about 735 samples per frame


def test_read_audio_is_lossless_and_bounded():
    nes, twin = pictor.NES(DEMO, verbose=False), pictor.NES(DEMO, verbose=False)
    blocks, stream = [], []
    for _ in range(20):
        nes.runFrame()
        block = nes.getAudio()
        if block:
            blocks.append(np.frombuffer(block, np.int16))
        stream.append(nes.readAudio())
    stream = np.concatenate(stream)
    assert stream.dtype == np.int16 and abs(len(stream) - 20 * 735) < 40 and len(set(stream)) > 20
    assert nes.readAudio().shape == (0,)
    # getAudio's blocks are the same samples; its first block is the empty one before any sample.
    published = np.concatenate(blocks[1:])
    assert np.array_equal(published, stream[: len(published)])

    # More than a second unread: the latest second is kept, the rest counted as dropped.
    for _ in range(20):
        twin.runFrame()
    twin.readAudio()
    later = []
    for _ in range(90):
        nes.runFrame()
        twin.runFrame()
        later.append(twin.readAudio())
    later = np.concatenate(later)
    assert np.array_equal(nes.readAudio(), later[-44100:])
    assert nes.audioDropped == len(later) - 44100 and twin.audioDropped == 0


def test_controller_protocol(write_rom):
    nes = pictor.NES(write_rom(program=PADS))
    mem = nes.cpuMem()

    def reads(base):
        nes.runFrame()
        return [int(v) for v in mem[base : base + 9]]

    assert reads(0x20) == [0x40] * 8 + [0x41]  # built-in pads: all released; the ninth read gives 1

    pad0, pad1 = pictor.Controller(), pictor.Controller()
    pad0.updateInputs([1, 0, 0, 1, 0, 0, 0, 1])  # A, Start, Right; ints by their truth
    pad1.updateInputs([False, True, None, np.bool_(True), 0, 0, 1, 0, "ignored", 9])
    nes.setController(pad0, 0)
    nes.setController(pad1, 1)
    assert [v & 1 for v in reads(0x20)] == [1, 0, 0, 1, 0, 0, 0, 1, 1]
    assert [v & 1 for v in reads(0x30)] == [0, 1, 0, 1, 0, 0, 1, 0, 1]

    # Any sequence of at least 8 values.
    pad1.updateInputs((0, 1, 0, 0, 1, 0, 0, 0))
    pad0.updateInputs(np.array([1, 0, 0, 1, 0, 0, 0, 1, 0], dtype=np.uint8))
    assert [v & 1 for v in reads(0x30)] == [0, 1, 0, 0, 1, 0, 0, 0, 1]
    for short in ([True] * 7, (), np.ones(3)):
        with pytest.raises(ValueError, match="8 button states"):
            pad0.updateInputs(short)
    with pytest.raises(TypeError):
        pad0.updateInputs(5)
    with pytest.raises(TypeError, match="button 0 must be a bool, a number or None, not str"):
        pad0.updateInputs(["a"] * 8)
    assert [v & 1 for v in reads(0x20)[:8]] == [1, 0, 0, 1, 0, 0, 0, 1]  # unchanged

    for port in (2, -1, 256):
        with pytest.raises(ValueError):
            nes.setController(pad0, port)


def test_plugged_pad_stays_alive(write_rom):
    nes = pictor.NES(write_rom(program=PADS))
    pad = pictor.Controller()
    pad.updateInputs([True] * 8)
    nes.setController(pad, 0)
    alive = weakref.ref(pad)
    del pad
    gc.collect()
    assert alive() is not None
    nes.runFrame()
    assert [v & 1 for v in nes.cpuMem()[0x20:0x28]] == [1] * 8

    nes.setController(pictor.Controller(), 0)  # the old pad is no longer held
    gc.collect()
    assert alive() is None
    nes.runFrame()
    assert [v & 1 for v in nes.cpuMem()[0x20:0x28]] == [0] * 8
