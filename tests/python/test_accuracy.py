"""The timing model: chosen once per machine, kept by every copy, refused across snapshots."""

import copy
import io
import pickle

import pytest

import pictor
from conftest import DEMO, ines
from test_cli import cli

MODELS = ("standard", "hardware")


def rom_file():
    file = io.BytesIO(ines())
    file.name = "game.nes"
    return file


def test_every_constructor_takes_the_model_as_a_keyword(write_rom):
    path = write_rom()
    builders = {
        "path": lambda **kw: pictor.NES(path, verbose=False, **kw),
        "blank": lambda **kw: pictor.NES(verbose=False, **kw),
        "file object": lambda **kw: pictor.NES(rom_file(), verbose=False, **kw),
    }
    for name, build in builders.items():
        assert build().accuracy == "standard", name
        for model in MODELS:
            assert build(accuracy=model).accuracy == model, name
        for bad, error in (("fast", ValueError), ("Hardware", ValueError), (1, TypeError), (None, TypeError)):
            with pytest.raises(error, match="'standard' or 'hardware'"):
                build(accuracy=bad)
    nes = pictor.NES(path, verbose=False, accuracy="hardware")
    with pytest.raises(AttributeError):
        nes.accuracy = "standard"
    with pytest.raises(TypeError):
        pictor.NES(path, 1789773, "hardware")  # keyword only


def test_copies_keep_the_model_and_old_pickles_are_standard():
    nes = pictor.NES(DEMO, verbose=False, accuracy="hardware")
    nes.runFrame()
    for twin in (pickle.loads(pickle.dumps(nes)), copy.deepcopy(nes)):
        assert twin.accuracy == "hardware" and twin.getState() == nes.getState()
    standard = pictor.NES(DEMO, verbose=False)
    standard.runFrame()
    version_1 = (1, *standard.__getstate__()[1:7])  # before the model was pickled: a standard snapshot
    old = pictor.NES.__new__(pictor.NES)
    old.__setstate__(version_1)
    assert old.accuracy == "standard"
    for bad, error in (("turbo", ValueError), (3, TypeError)):
        with pytest.raises(error, match="accuracy"):
            pictor.NES.__new__(pictor.NES).__setstate__((2, *nes.__getstate__()[1:7], bad))


def test_a_snapshot_of_the_other_model_is_refused():
    machines = {model: pictor.NES(DEMO, verbose=False, accuracy=model) for model in MODELS}
    for nes in machines.values():
        nes.runFrame()
    for model, nes in machines.items():
        other = machines["hardware" if model == "standard" else "standard"]
        before = nes.getState()
        with pytest.raises(ValueError, match="model"):
            nes.setState(other.getState())
        assert nes.getState() == before


def test_environment_and_commands_take_the_model(tmp_path):
    gym_env = pytest.importorskip("pictor_gym.env")
    env = gym_env.NESEnv(rom=ines(), accuracy="hardware")
    assert env.machine.accuracy == "hardware"
    assert pickle.loads(pickle.dumps(env)).machine.accuracy == "hardware"
    with pytest.raises(ValueError, match="accuracy"):
        gym_env.NESEnv(rom=ines(), accuracy="exact")

    rom = tmp_path / "game.nes"
    rom.write_bytes(ines())
    assert cli("run", rom, "--frames", "2", "--accuracy", "hardware").returncode == 0
    result = cli("bench", rom, "--runs", "1", "--frames", "2")
    header, _, *rows = result.stdout.splitlines()[2:]
    columns = "cartridge frames runs standard fps standard spread hardware fps hardware spread hardware / standard"
    assert header.split() == columns.split()
    assert all(float(row.split()[-1]) > 0 for row in rows)
    result = cli("bench", rom, "--accuracy", "fast")
    assert result.returncode == 2 and "invalid choice: 'fast'" in result.stderr
