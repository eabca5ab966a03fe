"""Constructor overloads, argument errors, printed lines and the game folder."""

import io
import os
import warnings
from pathlib import Path

import pytest

import pictor
from conftest import flush_c_stdout, ines


def program_start(nes):
    """The first bytes at $8000, which identify the cartridge that was loaded."""
    return bytes(nes.cpuMem()[0x8000:0x8004])


COUNTER_START = bytes([0xA9, 0x11, 0xA0, 0x33])


def test_constructor_overloads(write_rom, lumaret):
    path = write_rom("game.nes")
    assert program_start(pictor.NES(path)) == COUNTER_START
    assert program_start(pictor.NES(path.encode())) == COUNTER_START
    assert program_start(pictor.NES(rom_name=path, CLOCK_SPEED=1789773)) == COUNTER_START
    # Any os.PathLike, giving str or bytes, as a position or as rom_name.
    assert program_start(pictor.NES(Path(path))) == COUNTER_START
    assert program_start(pictor.NES(rom_name=Path(path), verbose=False)) == COUNTER_START

    class BytesPath:
        def __fspath__(self):
            return os.fsencode(path)

    assert program_start(pictor.NES(BytesPath())) == COUNTER_START
    with open(path, "rb") as f:
        assert program_start(pictor.NES(f)) == COUNTER_START
    with open(path, "rb") as f:
        assert program_start(pictor.NES(rom_file=f, CLOCK_SPEED=0)) == COUNTER_START

    stream = io.BytesIO(ines())
    stream.name = "memory game.nes"
    assert program_start(pictor.NES(stream)) == COUNTER_START
    assert (lumaret / "memory_game").is_dir()

    class Bytearray:
        name = b"raw.nes"

        def read(self):
            return bytearray(ines())

    assert program_start(pictor.NES(Bytearray())) == COUNTER_START

    # No argument or an int: the blank cartridge, no save directory.
    for blank in (pictor.NES(), pictor.NES(5), pictor.NES(CLOCK_SPEED=0)):
        assert blank.getSaveDir() == ""
        assert blank.cycleCount() == 0 and blank.frameCount() == 0


def test_argument_errors(write_rom):
    path = write_rom()
    with pytest.raises(AttributeError):
        pictor.NES(None)
    with pytest.raises(AttributeError):
        pictor.NES(io.BytesIO(ines()))  # no name
    with pytest.raises(TypeError):
        pictor.NES(path, "fast")
    with pytest.raises(TypeError):
        pictor.NES(rom_name=5)
    with pytest.raises(TypeError):
        pictor.NES(CLOCK_SPEED=1.5)
    with pytest.raises(TypeError):
        pictor.NES(path, 2**40)

    class BadRead:
        name = "x.nes"

        def read(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        pictor.NES(BadRead())

    nes = pictor.NES(path)
    with pytest.raises(TypeError):
        nes.saveState("1")
    with pytest.raises(TypeError):
        nes.runFrame(1)
    with pytest.raises(TypeError):
        nes.setController(5, 0)
    with pytest.raises(TypeError):
        pictor.NES(path, 1789773, False)  # verbose is a keyword
    with pytest.raises(AttributeError):
        nes.extra = 1


def test_cartridge_errors(write_rom, tmp_path):
    missing = str(tmp_path / "nowhere.nes")
    with pytest.raises(FileNotFoundError) as info:
        pictor.NES(missing)
    assert info.value.filename == missing

    bad = write_rom("bad.nes", image=b"this is not a cartridge image")
    with pytest.raises(ValueError):
        pictor.NES(bad)
    stream = io.BytesIO(b"NES\x1a")
    stream.name = "short.nes"
    with pytest.raises(ValueError):
        pictor.NES(stream)


def test_quiet_machines_print_nothing(write_rom, capfd):
    path = write_rom("Battery Game.nes", battery=True)
    flush_c_stdout()
    capfd.readouterr()
    machines = [pictor.NES(verbose=False), pictor.NES(path, verbose=False), pictor.NES(path, verbose=False)]
    with open(path, "rb") as f:
        machines.append(pictor.NES(f, verbose=False))
    for nes in machines:
        nes.runFrame()
        nes.reset()
    del machines
    flush_c_stdout()
    assert capfd.readouterr() == ("", "")


def test_unsupported_mapper_warns(write_rom, capfd):
    path = write_rom("odd.nes", mapper=255)
    with pytest.warns(RuntimeWarning) as warned:
        nes = pictor.NES(path, verbose=False)
    (warning,) = warned
    assert "mapper 255" in str(warning.message) and "(supported mappers: 0, 1, 2, 3, 4, 5, 7," in str(warning.message)
    nes.runFrame()  # the fallback: a machine that runs, though its program is not in place
    assert nes.frameCount() == 1
    flush_c_stdout()
    assert capfd.readouterr().out == ""
    with pytest.warns(RuntimeWarning, match="mapper 255"):
        pictor.NES(path)
    flush_c_stdout()
    assert "UNRECOGNIZED MAPPER!" in capfd.readouterr().out.splitlines()


def test_printed_lines(write_rom, home, capfd):
    flush_c_stdout()
    capfd.readouterr()
    pictor.NES()
    flush_c_stdout()
    out = capfd.readouterr().out.splitlines()
    assert out.index("No rom specified.") < out.index("rom created.")

    path = write_rom("Super Game.nes")
    pictor.NES(path)
    flush_c_stdout()
    out = capfd.readouterr().out.splitlines()
    config = f"{home}/.config"
    assert out.index(f"LINUX, {config}") < out.index(f"{config}/Lumaret/Super_Game")
    assert "Folder already exists. Checking for save..." not in out

    pictor.NES(path)
    flush_c_stdout()
    assert "Folder already exists. Checking for save..." in capfd.readouterr().out.splitlines()


@pytest.mark.parametrize(
    "name, folder",
    [
        ("roms/Super Game.nes", "Super_Game"),
        ("archive.tar.nes", "archive.tar"),
        ("C:\\games\\x.nes", "x"),
        ("dir.v2/game", "game"),
        # Names that reduce to nothing (or to "." and ".."): a folder named by the image's hash,
        # never Lumaret itself or a folder above it.
        (".nes", None),
        ("dir/.nes", None),
        ("dir/", None),
        ("..", None),
        ("...", None),
        ("x/..nes", None),
    ],
)
def test_game_folder_names(name, folder, lumaret):
    stream = io.BytesIO(ines())
    stream.name = name
    nes = pictor.NES(stream)
    game = Path(nes.getSaveDir())
    assert game.parent == lumaret and game.is_dir()
    if folder is None:
        assert game.name.startswith("unnamed-") and len(game.name) == len("unnamed-") + 16
        other = io.BytesIO(ines([0xEA]))  # another cartridge of no name has a folder of its own
        other.name = name
        assert pictor.NES(other).getSaveDir() not in (str(game), str(lumaret))
    else:
        assert game.name == folder


def test_failed_construction_leaves_nothing_on_disk(write_rom, home, tmp_path):
    with pytest.raises(FileNotFoundError):
        pictor.NES(str(tmp_path / "missing.nes"))
    with pytest.raises(ValueError):
        pictor.NES(write_rom("bad.nes", image=b"NES\x1a\x02" + bytes(20)))  # truncated
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            pictor.NES(write_rom("odd.nes", mapper=255), verbose=False)
    fifo = tmp_path / "fifo.nes"
    os.mkfifo(fifo)
    with pytest.raises(OSError, match="regular file"):
        pictor.NES(str(fifo))  # at once: a FIFO is never opened for a blocking read
    assert list(home.iterdir()) == []


def test_text_mode_files_and_nul_bytes_are_refused(write_rom, tmp_path):
    path = write_rom("game.nes")
    with open(path, encoding="latin-1") as text:
        with pytest.raises(TypeError, match="binary mode"):
            pictor.NES(text)
    for bad in (path + "\0.bak", os.fsencode(path) + b"\0", Path(path + "\0x")):
        with pytest.raises(ValueError, match="null byte"):
            pictor.NES(bad)
    stream = io.BytesIO(ines())
    stream.name = "game\0.nes"
    with pytest.raises(ValueError, match="null byte"):
        pictor.NES(stream)
    nes = pictor.NES(path, verbose=False)
    with pytest.raises(ValueError, match="null byte"):
        nes.setSaveDir(str(tmp_path) + "\0/elsewhere")
    assert nes.setSaveDir(path) is False  # a file is no folder for state files
    assert nes.getSaveDir().endswith("/game")


def test_home_handling(write_rom, home, monkeypatch, tmp_path):
    path = write_rom()
    assert not (home / ".config").exists()
    pictor.NES(path)  # .config, Lumaret and the game folder are all created
    assert (home / ".config" / "Lumaret" / "game").is_dir()

    monkeypatch.delenv("HOME")
    with pytest.raises(RuntimeError, match="HOME"):
        pictor.NES(path)

    monkeypatch.setenv("HOME", str(tmp_path / "no" / "such" / "home"))
    with pytest.raises(RuntimeError):
        pictor.NES(path)

    # Lumaret is a file: the game folder cannot be made inside it.
    other = tmp_path / "other"
    (other / ".config").mkdir(parents=True)
    (other / ".config" / "Lumaret").write_bytes(b"")
    monkeypatch.setenv("HOME", str(other))
    with pytest.raises(RuntimeError):
        pictor.NES(path)


def test_save_root_holds_the_game_folder(write_rom, home, tmp_path):
    path = write_rom("Super Game.nes")
    root = tmp_path / "saves"
    root.mkdir()
    nes = pictor.NES(Path(path), verbose=False, save_root=root)
    assert nes.getSaveDir() == str(root / "Super_Game")
    stream = io.BytesIO(ines())
    stream.name = "streamed.nes"
    assert pictor.NES(stream, verbose=False, save_root=os.fsencode(root)).getSaveDir() == str(root / "streamed")
    nes.saveState(1)
    assert (root / "Super_Game" / "1").is_file()
    with pytest.raises(FileNotFoundError):
        pictor.NES(path, save_root=tmp_path / "missing")
    with pytest.raises(NotADirectoryError):
        pictor.NES(path, save_root=path)
    assert list(home.iterdir()) == []  # HOME is not consulted at all
