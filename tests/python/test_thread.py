"""The emulation thread: start, pause, stop, pacing and per-frame callbacks."""

import io
import pickle
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import pictor
from conftest import DEMO, run_script

RATE = 1789773
SLOW = 50000  # CPU cycles per second, a rate that even sanitizer builds keep up with


@pytest.fixture
def real_time(write_rom):
    """Skips pacing checks on builds too slow to run the console well ahead of real time (sanitizers)."""
    nes = pictor.NES(write_rom(), CLOCK_SPEED=0)
    begin = time.monotonic()
    for _ in range(30):
        nes.runFrame()
    if nes.cycleCount() / (time.monotonic() - begin) < 2 * RATE:
        pytest.skip("this build runs the console at less than twice real time")


def wait_until(condition, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.01)
    return False


def settled(nes, interval=0.1):
    """Whether the cycle count stays put over an interval (the thread steps no more)."""
    before = nes.cycleCount()
    time.sleep(interval)
    return nes.cycleCount() == before


def test_start_pause_stop(write_rom):
    nes = pictor.NES(write_rom())
    frames = []
    nes.perFrame(lambda: frames.append(1))
    nes.start()
    assert wait_until(lambda: len(frames) >= 5)
    with pytest.raises(RuntimeError):
        nes.start()
    with pytest.raises(RuntimeError):
        nes.runFrame()

    nes.setPaused(True)
    nes.setPaused(True)
    time.sleep(0.05)
    assert settled(nes, 0.2)
    nes.setPaused(False)
    nes.setPaused(False)
    assert wait_until(lambda: not settled(nes, 0.05))

    nes.stop()
    assert settled(nes, 0.2)
    assert len(frames) == nes.frameCount()
    with pytest.raises(RuntimeError):
        nes.stop()

    # Stepping and starting again after a stop.
    nes.runFrame()
    nes.start()
    assert wait_until(lambda: len(frames) >= nes.frameCount() - 1 and not settled(nes, 0.05))
    nes.stop()


def rate_over(nes, seconds):
    """Starts nes, lets it run, stops it: emulated cycles per second of wall time."""
    before = nes.cycleCount()
    nes.start()
    begin = time.monotonic()
    time.sleep(seconds)
    nes.stop()
    return (nes.cycleCount() - before) / (time.monotonic() - begin)


def test_default_rate(write_rom, real_time):
    assert 0.5 * RATE < rate_over(pictor.NES(write_rom()), 1.0) < 1.2 * RATE


def test_pacing(write_rom):
    # A low rate that any build keeps up with, against no pacing at all.
    assert 0.5 * SLOW < rate_over(pictor.NES(write_rom(), CLOCK_SPEED=SLOW), 0.5) < 1.2 * SLOW
    assert rate_over(pictor.NES(write_rom(), CLOCK_SPEED=0), 0.5) > 5 * SLOW


def test_pacing_counts_from_start(write_rom):
    nes = pictor.NES(write_rom(), CLOCK_SPEED=SLOW)
    for _ in range(10):  # 6 s of emulated time at this rate, stepped much faster
        nes.runFrame()
    assert rate_over(nes, 0.5) > 0.5 * SLOW  # no sleep first for the time already emulated


def test_paused_from_the_start(write_rom):
    nes = pictor.NES(write_rom())
    nes.setPaused(True)
    nes.start()
    cpu_before = time.process_time()
    time.sleep(0.5)
    assert nes.cycleCount() == 0
    assert time.process_time() - cpu_before < 0.25  # a paused thread sleeps
    nes.stop()  # ends the paused thread without a step
    assert nes.cycleCount() == 0


def test_resume_after_pause(write_rom):
    nes = pictor.NES(write_rom(), CLOCK_SPEED=SLOW)
    nes.start()
    time.sleep(0.2)
    nes.setPaused(True)
    time.sleep(0.5)
    before = nes.cycleCount()
    nes.setPaused(False)
    begin = time.monotonic()
    time.sleep(0.5)
    ran = nes.cycleCount() - before
    elapsed = time.monotonic() - begin
    nes.stop()
    # The pause does not count: no burst to catch up with the 0.5 s spent paused.
    assert 0.5 * SLOW * elapsed < ran < 1.25 * SLOW * elapsed


def test_callback_none_and_replacement(write_rom):
    nes = pictor.NES(write_rom())
    calls = []
    nes.perFrame(lambda: calls.append(1))
    nes.perFrame(None)
    nes.runFrame()
    assert calls == []

    nes.start()
    assert wait_until(lambda: nes.frameCount() >= 3)
    counts = {}
    for i in range(200):  # swaps while the thread calls
        nes.perFrame(lambda i=i: counts.__setitem__(i, counts.get(i, 0) + 1))
        time.sleep(0.001)
    assert wait_until(lambda: 199 in counts)
    nes.perFrame(None)
    nes.stop()
    assert sum(counts.values()) >= 1


def test_callback_errors(write_rom, monkeypatch):
    nes = pictor.NES(write_rom())

    def fail():
        raise ValueError("callback failed")

    nes.perFrame(fail)
    with pytest.raises(ValueError, match="callback failed"):
        nes.runFrame()
    assert nes.frameCount() == 1

    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append(u.exc_type))
    nes.start()
    assert wait_until(lambda: reports and settled(nes))
    assert reports == [ValueError]
    nes.stop()  # the run ended by itself; stop joins and returns normally

    nes.perFrame(None)
    nes.start()
    assert wait_until(lambda: not settled(nes, 0.05))
    nes.stop()


def test_stop_and_drop_with_python_callback():
    # In a fresh interpreter: a deadlock here must end in a timeout, not hang the suite.
    proc = run_script(
        """
        import gc, sys, time, pictor

        def hold_the_lock(seconds):
            # With a long switch interval a busy loop keeps the interpreter lock,
            # so the thread is left waiting for it at its next frame boundary.
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                pass

        sys.setswitchinterval(100)
        nes = pictor.NES()
        calls = []
        nes.perFrame(lambda: calls.append(sum(range(100))))
        nes.start()
        time.sleep(0.2)
        hold_the_lock(0.2)
        nes.stop()
        stopped = len(calls)
        time.sleep(0.1)
        assert len(calls) == stopped and stopped > 0

        nes.start()
        hold_the_lock(0.2)
        del nes                     # dropping a running machine stops its thread
        gc.collect()
        dropped = len(calls)
        time.sleep(0.2)
        assert len(calls) == dropped
        sys.setswitchinterval(0.005)

        other = pictor.NES()
        def stop_from_callback():
            other.stop()
        other.perFrame(stop_from_callback)
        other.start()
        time.sleep(0.2)
        other.stop()                # joins the thread that its callback ended
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert "ok" in proc.stdout.splitlines()


def test_callback_drops_its_own_machine():
    proc = run_script(
        """
        import time, weakref, pictor
        nes = pictor.NES()
        alive = weakref.ref(nes)
        def drop():
            global nes
            nes = None
        nes.perFrame(drop)
        nes.start()
        for _ in range(500):
            if alive() is None:
                break
            time.sleep(0.01)
        assert alive() is None
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert "ok" in proc.stdout.splitlines()


def test_callbacks_that_end_their_own_machine():
    # Each case once crashed or leaked: the callback held the last reference to
    # its machine, or formed a cycle with it that the garbage collector missed.
    proc = run_script(
        """
        import gc, sys, threading, time, weakref, pictor
        reports = []
        sys.unraisablehook = lambda u: reports.append(u.exc_type)

        def wait_gone(ref, called):
            # Collect only after the callback has run, so that it is the
            # callback's own doing that ends the machine.
            assert called.wait(10)
            for _ in range(300):
                gc.collect()
                if ref() is None:
                    return True
                time.sleep(0.01)
            return False

        def one_shot(called):
            nes = pictor.NES()
            def once():
                called.set()
                nes.perFrame(None)   # drops the closure, the last path to nes
            nes.perFrame(once)
            nes.start()
            return weakref.ref(nes)

        def closure_cycle(called):
            nes = pictor.NES()
            nes.perFrame(lambda: (nes.frameCount(), called.set()))
            nes.start()
            return weakref.ref(nes)

        def raising(called):
            nes = pictor.NES()
            def fail():
                nes.frameCount()
                called.set()
                raise KeyError("from the callback")
            nes.perFrame(fail)
            nes.start()
            return weakref.ref(nes)

        for case in (one_shot, closure_cycle, raising):
            called = threading.Event()
            assert wait_gone(case(called), called), case.__name__
        assert reports == [KeyError]

        # stop from the callback while the program stops too; start and
        # runFrame from the callback are refused instead of waiting on themselves.
        nes = pictor.NES()
        refused = []
        def busy():
            for call in (nes.start, nes.runFrame):
                try:
                    call()
                except RuntimeError as err:
                    refused.append(str(err))
            nes.stop()
        nes.perFrame(busy)
        nes.start()
        time.sleep(0.2)
        nes.stop()
        assert len(refused) >= 2 and all("own per-frame callback" in r for r in refused), refused
        assert reports == [KeyError]
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert "ok" in proc.stdout.splitlines()


def test_stop_is_prompt_at_low_clock_rates(write_rom):
    nes = pictor.NES(write_rom(), CLOCK_SPEED=1)  # one instruction lasts seconds
    nes.start()
    time.sleep(0.1)
    begin = time.monotonic()
    nes.stop()
    assert time.monotonic() - begin < 1.0


def test_exit_while_running():
    proc = run_script(
        """
        import time, pictor
        nes = pictor.NES()
        nes.perFrame(lambda: nes.frameCount())
        nes.start()
        plain = pictor.NES(CLOCK_SPEED=0)
        plain.start()
        time.sleep(0.2)
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert "ok" in proc.stdout.splitlines()


def test_machines_on_threads_match_their_serial_runs():
    # runFrame does not hold the interpreter lock, so machines on threads step side by side.
    image = bytearray(Path(DEMO).read_bytes())
    image[6] &= ~0x02  # no battery RAM: no machine's run leaves anything for the next

    def run(results, key):
        cartridge = io.BytesIO(image)
        cartridge.name = "demo.nes"
        nes = pictor.NES(cartridge, verbose=False)
        for _ in range(40):
            nes.runFrame()
        results[key] = (nes.getImg().copy(), nes.getState(), nes.readAudio())

    serial = {}
    run(serial, "alone")
    parallel = {}
    threads = [threading.Thread(target=run, args=(parallel, i)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert sorted(parallel) == [0, 1, 2]
    for picture, state, audio in parallel.values():
        expected = serial["alone"]
        assert np.array_equal(picture, expected[0]) and state == expected[1] and np.array_equal(audio, expected[2])


def test_what_may_run_beside_a_machine(write_rom, lumaret):
    nes = pictor.NES(write_rom(), verbose=False)
    state = nes.getState()
    state_calls = {
        "getState": nes.getState,
        "setState": lambda: nes.setState(state),
        "reset": nes.reset,
        "saveState": lambda: nes.saveState(1),
        "loadState": lambda: nes.loadState(1),
        "pickle": lambda: pickle.dumps(nes),
    }

    # Inside runFrame on another thread: state calls and a second runFrame are refused.
    inside, go_on, refused = threading.Event(), threading.Event(), []
    nes.perFrame(lambda: (inside.set(), go_on.wait(10)))
    stepper = threading.Thread(target=nes.runFrame)
    stepper.start()
    assert inside.wait(10)
    for name, call in list(state_calls.items()) + [("runFrame", nes.runFrame), ("start", nes.start)]:
        with pytest.raises(RuntimeError, match="busy"):
            call()
        refused.append(name)
    assert nes.readAudio().dtype == np.int16 and nes.frameCount() == 1  # reading is fine
    go_on.set()
    stepper.join(10)
    nes.perFrame(None)

    # The running thread: refused until it is paused, then allowed (it waits for the pause).
    nes.start()
    try:
        for name, call in state_calls.items():
            with pytest.raises(RuntimeError, match="pause it"):
                call()
        nes.setPaused(True)
        for name, call in state_calls.items():
            call()
        nes.setState(state)
        nes.setPaused(False)
        assert wait_until(lambda: nes.frameCount() >= 2)  # it runs on from the restored state
    finally:
        nes.stop()

    # From the machine's own per-frame callback.
    from_callback = []

    def try_state():
        try:
            nes.getState()
        except RuntimeError as err:
            from_callback.append(str(err))
        nes.stop()

    nes.perFrame(try_state)
    nes.start()
    assert wait_until(lambda: from_callback)
    nes.stop()
    assert "own per-frame callback" in from_callback[0]
