"""Calls that misuse the module raise Python errors instead of taking the interpreter down, and a
program that halts its processor does not hold up the machine."""

import pictor
from conftest import run_script

# Every public method with arguments it accepts, so that only self decides the outcome.
CALLS = """
import sys, pictor
pad = pictor.Controller()
NES_CALLS = {
    "cpuMem": (), "ppuMem": (), "OAM": (), "getImg": (), "colorLookup": (), "getAudio": (),
    "readAudio": (), "start": (), "stop": (), "saveState": (1,), "loadState": (1,), "getState": (),
    "setState": (b"",), "reset": (), "setPaused": (True,), "setSaveDir": ("/",), "getSaveDir": (),
    "setController": (pad, 0), "frameCount": (), "cycleCount": (), "runFrame": (), "perFrame": (None,),
    "__getstate__": (),
}
CONTROLLER_CALLS = {"updateInputs": ([0] * 8,)}
for cls, calls in ((pictor.NES, NES_CALLS), (pictor.Controller, CONTROLLER_CALLS)):
    properties = {"audioDropped", "accuracy"} if cls is pictor.NES else set()
    public = {n for n in dir(cls) if not n.startswith("_")} - properties
    assert public == set(calls) - {"__getstate__"}, public ^ set(calls)
    for self in (None, 5, pad if cls is pictor.NES else pictor.NES(verbose=False), cls.__new__(cls)):
        for name, args in calls.items():
            try:
                getattr(cls, name)(self, *args)
            except TypeError:
                pass
            else:
                sys.exit(f"{cls.__name__}.{name} accepted {self!r} as self")
        for name in properties:
            try:
                getattr(cls, name).fget(self)
            except TypeError:
                pass
            else:
                sys.exit(f"NES.{name} accepted {self!r}")
# An unbuilt pad is no pad to plug in.
try:
    pictor.NES(verbose=False).setController(pictor.Controller.__new__(pictor.Controller), 0)
except TypeError as e:
    assert "__init__" in str(e)
else:
    sys.exit("an unbuilt pad was plugged in")
print("ok")
"""


def test_methods_refuse_a_self_that_is_no_built_object():
    # In a fresh interpreter: a method that dereferences nothing would end it with a signal.
    proc = run_script(CALLS)
    assert proc.returncode == 0, (proc.returncode, proc.stdout[-2000:], proc.stderr[-2000:])
    assert "ok" in proc.stdout.splitlines()


def test_a_built_object_is_never_built_again(write_rom):
    nes = pictor.NES(write_rom(), verbose=False)
    nes.runFrame()
    state = nes.__getstate__()
    for again in (lambda: nes.__init__(), lambda: nes.__init__(write_rom("other.nes")),
                  lambda: nes.__setstate__(state)):
        try:
            again()
        except RuntimeError as e:
            assert "already built" in str(e)
        else:
            raise AssertionError("a second build went through")
    assert nes.frameCount() == 1  # the machine is the one it was
    pad = pictor.Controller()
    try:
        pad.__init__()
    except RuntimeError:
        pass
    else:
        raise AssertionError("a second build of a pad went through")
    fresh = pictor.NES.__new__(pictor.NES)
    fresh.__setstate__(state)  # what unpickling does: __new__, then one build
    assert fresh.frameCount() == 1


def halting_cartridge():
    """Counts its boots at $10, then meets the halt opcode $92; the rest of PRG is $92 too."""
    prg = bytearray([0x92]) * 0x4000
    prg[:2] = bytes([0xE6, 0x10])  # 8000 INC $10, then $92 at 8002
    for vector in (0x3FFA, 0x3FFC, 0x3FFE):
        prg[vector : vector + 2] = (0x8000).to_bytes(2, "little")
    return b"NES\x1a\x01\x01\x00\x00" + bytes(8) + bytes(prg) + bytes(0x2000)


def test_a_halted_processor_lets_frames_pass_until_reset(tmp_path):
    rom = tmp_path / "halt.nes"
    rom.write_bytes(halting_cartridge())
    nes = pictor.NES(str(rom), verbose=False)
    nes.runFrame()
    memory = nes.cpuMem()
    assert memory[0x10] == 1
    for _ in range(3):
        cycles, frames = nes.cycleCount(), nes.frameCount()
        nes.runFrame()  # the picture unit still ends frames while the processor stands
        assert 29780 <= nes.cycleCount() - cycles <= 29781
        assert nes.frameCount() == frames + 1
    assert memory[0x10] == 1
    nes.reset()
    nes.runFrame()
    assert memory[0x10] == 2  # the program ran again from the reset vector
