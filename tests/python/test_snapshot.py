"""Whole-machine snapshots, pickling and the reset button."""

import copy
import pickle

import numpy as np
import pytest

import pictor
from conftest import DEMO, flush_c_stdout

STATE_LEN = 82189  # the state-file layout a snapshot begins with


def buttons(frame):
    """A scripted input: a different combination of buttons every frame."""
    return [(frame * 7 >> k) & 1 == 1 for k in range(8)]


def play(nes, pad, first, frames):
    """Steps frames with the scripted input from frame first on: (pictures, RAM, sound)."""
    pictures, ram = [], []
    for frame in range(first, first + frames):
        pad.updateInputs(buttons(frame))
        nes.runFrame()
        pictures.append(nes.getImg().copy())
        ram.append(nes.cpuMem()[:0x800].copy())
    return np.array(pictures), np.array(ram), nes.readAudio()


def machine(**kwargs):
    nes = pictor.NES(DEMO, verbose=False, **kwargs)
    pad = pictor.Controller()
    nes.setController(pad, 0)
    return nes, pad


def assert_same_run(a, b):
    for x, y in zip(a, b):
        assert np.array_equal(x, y)


def test_snapshot_continues_exactly_on_the_same_and_on_a_fresh_machine():
    nes, pad = machine()
    play(nes, pad, 0, 40)
    state = nes.getState()
    assert isinstance(state, bytes) and state[STATE_LEN : STATE_LEN + 8] == b"PICTSNAP"
    first = play(nes, pad, 40, 30)
    assert len(first[2]) > 30 * 700 and len(set(first[2])) > 10  # the demo plays music
    assert len({p.tobytes() for p in first[0]}) > 10  # and scrolls

    nes.setState(state)
    assert nes.frameCount() == 40
    assert_same_run(play(nes, pad, 40, 30), first)

    fresh, fresh_pad = machine()
    fresh.setState(memoryview(state))
    assert fresh.getState() == state
    assert_same_run(play(fresh, fresh_pad, 40, 30), first)


def test_bad_snapshots_raise_value_error_and_change_nothing():
    nes, _ = machine()
    for _ in range(5):
        nes.runFrame()
    before = nes.getState()
    good = nes.getState()
    flag = STATE_LEN + 24 + 8 + 8  # the CPU section's first boolean, after its header and cycle count
    cases = {
        "empty": b"",
        "the old layout alone": good[:STATE_LEN],
        "a cut extension header": good[: STATE_LEN + 10],
        "truncated": good[:-1],
        "a byte too many": good + b"\0",
        "another magic": good[:STATE_LEN] + b"X" + good[STATE_LEN + 1 :],
        "version 3": good[: STATE_LEN + 8] + b"\3" + good[STATE_LEN + 9 :],
        "another cartridge": pictor.NES(verbose=False).getState(),
        "a boolean of 2": good[:flag] + b"\2" + good[flag + 1 :],
    }
    reasons = {"version 3": "version 3 is unknown", "another cartridge": "another cartridge"}
    for case, data in cases.items():
        with pytest.raises(ValueError, match=reasons.get(case, "invalid snapshot")):
            nes.setState(data)
        assert nes.getState() == before, case
    with pytest.raises(TypeError):
        nes.setState("not bytes")


def test_pickle_and_deepcopy_carry_the_whole_machine(tmp_path, capfd):
    saves = tmp_path / "saves"
    saves.mkdir()
    # A low clock rate changes how many samples a frame holds: the copies must keep it.
    nes, pad = machine(CLOCK_SPEED=1000000)
    nes.setSaveDir(str(saves))
    play(nes, pad, 0, 20)
    flush_c_stdout()
    capfd.readouterr()
    twins = [pickle.loads(pickle.dumps(nes)), copy.deepcopy(nes)]
    flush_c_stdout()
    assert capfd.readouterr().out == ""  # built quietly, as the original was
    original = play(nes, pad, 20, 10)
    for twin in twins:
        assert twin.getSaveDir() == str(saves) and twin.frameCount() == 20
        twin_pad = pictor.Controller()  # pads and the per-frame callback are not carried
        twin.setController(twin_pad, 0)
        assert_same_run(play(twin, twin_pad, 20, 10), original)

    loud = pickle.loads(pickle.dumps(pictor.NES(DEMO)))
    flush_c_stdout()
    assert "Before: fffc" in capfd.readouterr().out
    assert loud.frameCount() == 0

    nes.start()
    try:
        with pytest.raises(RuntimeError, match="running"):
            pickle.dumps(nes)
    finally:
        nes.stop()
    with pytest.raises(ValueError):
        pictor.NES.__new__(pictor.NES).__setstate__((99,))


def test_reset_button_restarts_the_program_and_keeps_memory():
    nes, _ = machine()
    for _ in range(30):
        nes.runFrame()
    memory = nes.cpuMem()
    assert bytes(memory[0x6000:0x6005]) == b"PICT\x01"  # the demo counts its boots in battery RAM
    before = nes.getState()
    frames = nes.frameCount()
    nes.reset()
    after = nes.getState()
    assert after[4] == (before[4] - 3) & 0xFF and after[0] & 0x04  # SP three lower, interrupts masked
    assert int.from_bytes(after[5:13], "little") == int.from_bytes(bytes(memory[0xFFFC:0xFFFE]), "little")
    assert memory[0x2000] == 0 and memory[0x2001] == 0  # PPUCTRL and PPUMASK cleared
    assert nes.cycleCount() == 0 and nes.frameCount() == frames
    for _ in range(30):
        nes.runFrame()
    assert bytes(memory[0x6000:0x6005]) == b"PICT\x02"  # the program booted again, on the same RAM
