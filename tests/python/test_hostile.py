"""Hostile use of threads, callbacks, exit and odd arguments: errors at once, never a wedge or an abort."""

import gc
import io
import os
import pickle
import re
import threading
import time
import weakref

import pytest

import pictor
from conftest import BATTERY, DEMO, ines, run_script
from test_thread import wait_until


def test_a_raising_callback_leaves_a_machine_its_snapshots_restore(write_rom, lumaret):
    nes = pictor.NES(write_rom(), verbose=False)
    nes.perFrame(lambda: {}["a Ctrl-C lands here"])
    for _ in range(3):
        pytest.raises(KeyError, nes.runFrame)
    nes.setState(nes.getState())
    nes.saveState(1)
    assert nes.loadState(1)
    pickle.loads(pickle.dumps(nes)).runFrame()


def test_callbacks_never_wait_for_each_other():
    a, b = (pictor.NES(DEMO, verbose=False, CLOCK_SPEED=0) for _ in range(2))
    outcomes = []
    together = threading.Barrier(2)

    def reader(me, other):
        def read():
            me.setPaused(True)
            me.perFrame(None)
            together.wait(5)  # both paused, each in its callback: neither thread can park
            try:
                other.getState()
                outcomes.append("read")  # once the other has left its callback and parked
            except RuntimeError as err:
                outcomes.append("another machine's per-frame callback" in str(err) and "refused")

        return read

    a.perFrame(reader(a, b))
    b.perFrame(reader(b, a))
    a.start()
    b.start()
    assert wait_until(lambda: len(outcomes) == 2, 5) and "refused" in outcomes and False not in outcomes
    for nes in (a, b):
        nes.getState()
        nes.stop()

    # stop() of each other from the callbacks: ends both, waits for neither.
    a.perFrame(lambda: b.stop())
    b.perFrame(lambda: a.stop())
    a.start()
    b.start()
    assert wait_until(lambda: _ended(a) and _ended(b), 5)


def _ended(nes):
    try:
        return bool(nes.getState())  # refused while the thread runs unpaused
    except RuntimeError:
        return False


def test_every_machine_dropped_in_its_own_callback_is_freed():
    machines = {i: pictor.NES(verbose=False, CLOCK_SPEED=0) for i in range(40)}
    alive = [weakref.ref(nes) for nes in machines.values()]
    for i, nes in list(machines.items()):
        nes.perFrame(lambda i=i: machines.pop(i, None))
        nes.start()
    del nes
    time.sleep(1)  # the main thread runs no bytecode meanwhile: the hand-overs queue up
    assert wait_until(lambda: gc.collect() is not None and not any(ref() for ref in alive), 10)


EXIT_CASES = {
    "in runFrame": "nes = pictor.NES(DEMO, verbose=False)\nloop = lambda: [nes.runFrame() for _ in iter(int, 1)]",
    "in getState of a paused machine": (
        "nes = pictor.NES(DEMO, verbose=False, CLOCK_SPEED=0)\nnes.start()\nnes.setPaused(True)\n"
        "loop = lambda: [nes.getState() for _ in iter(int, 1)]"
    ),
}


@pytest.mark.parametrize("case", EXIT_CASES)
def test_exit_with_daemon_threads_inside_the_machine_is_clean(case, write_rom, lumaret):
    rom = write_rom("keep.nes", program=BATTERY, battery=True)
    for run in range(3):
        proc = run_script(
            f"import threading, time, pictor\nDEMO = {DEMO!r}\nkeep = pictor.NES({rom!r}, verbose=False)\n"
            f"keep.runFrame()\n{EXIT_CASES[case]}\n"
            "threading.Thread(target=loop, daemon=True).start()\ntime.sleep(0.3)\n"
        )
        assert proc.returncode == 0, (case, run, proc.returncode, proc.stderr[-1500:])
        assert proc.stderr == ""
        assert (lumaret / "keep" / "ram").read_bytes()[0] == 0x5A
        (lumaret / "keep" / "ram").unlink()


def test_replaced_pads_are_released_while_the_machine_runs():
    nes = pictor.NES(DEMO, verbose=False)
    nes.start()
    refs = []
    for i in range(20002):
        if i == 20000:
            time.sleep(0.05)  # a step or two later
        pad = pictor.Controller()
        nes.setController(pad, i & 1)
        refs.append(weakref.ref(pad))
    assert sum(ref() is not None for ref in refs[:-4]) == 0  # all but those of the last step or two
    nes.stop()


def test_bad_arguments_are_type_and_value_errors(tmp_path, lumaret):
    nes = pictor.NES(DEMO, verbose=False)
    state = list(nes.__getstate__())
    for item, bad in ((0, 2**100), (3, 2**100), (1, "text")):
        with pytest.raises((TypeError, ValueError), match="version|item"):
            pictor.NES.__new__(pictor.NES).__setstate__(tuple(state[:item] + [bad] + state[item + 1 :]))
    unnamed = io.BytesIO(ines())
    unnamed.name = 3
    pytest.raises(TypeError, pictor.NES, unnamed).match("name must be str or bytes, not int")

    # Paths that are not UTF-8 come back as the file system gives them.
    folder = os.fsencode(tmp_path) + b"/\xff dir"
    os.mkdir(folder)
    (tmp_path / os.fsdecode(b"\xff dir") / "x.nes").write_bytes(ines())
    game = pictor.NES(folder + b"/x.nes", verbose=False, save_root=folder)
    assert game.getSaveDir() == os.fsdecode(folder + b"/x")
    assert pickle.loads(pickle.dumps(game)).getSaveDir() == game.getSaveDir()
    with open(folder + b"/bad.nes", "wb") as f:
        f.write(ines()[:100])  # cut short
    pytest.raises(ValueError, pictor.NES, folder + b"/bad.nes").match(re.escape(os.fsdecode(folder)))
