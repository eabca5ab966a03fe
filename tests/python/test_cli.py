"""The pictor command: run, play and bench on small cartridges, and its handling of bad input."""

import os
import shutil
import subprocess
import sys
import wave
from pathlib import Path

import numpy as np
import pytest

from conftest import BATTERY, ines

pictor = pytest.importorskip("pictor")
from pictor_cli import main as cli_main  # noqa: E402
from pictor_cli.machine import Cartridge, CliError, build_machine  # noqa: E402
from pictor_cli.run import parse_script  # noqa: E402
from pictor_cli.script import Script, ScriptError, parse_press  # noqa: E402

FRAME_RATE = 1789773 * 3 / (341 * 262)
BLACK, RED = 0x0F, 0x16


def pad_probe_rom() -> bytes:
    """NROM-128 image that shows the A button of pad 1 as the backdrop: red when held, else black.

    Every vertical blank it strobes $4016, reads the first bit (A) and writes colours[A] to
    palette entry $3F00; background rendering is on with blank tiles, so the whole picture
    is the backdrop colour.
    """
    code = bytes.fromhex(
        "78 D8 A2 FF 9A"  # C000: SEI; CLD; LDX #$FF; TXS
        "2C 02 20 10 FB"  # C005: BIT $2002; BPL C005
        "A9 08 8D 01 20"  # C00A: LDA #$08; STA $2001   (show background)
        "A9 01 8D 16 40 A9 00 8D 16 40"  # C00F: strobe pad 1
        "AD 16 40 29 01 A8"  # C019: LDA $4016; AND #1; TAY
        "A9 3F 8D 06 20 A9 00 8D 06 20"  # C01F: PPUADDR = $3F00
        "B9 40 C0 8D 07 20"  # C029: LDA $C040,Y; STA $2007
        "A9 00 8D 06 20 8D 06 20 8D 05 20 8D 05 20"  # C02F: PPUADDR = 0, scroll = 0
        "4C 05 C0"  # C03D: JMP C005
        f"{BLACK:02X} {RED:02X} 40"  # C040: colours; C042: RTI
    )
    prg = bytearray(16384)
    prg[: len(code)] = code
    prg[0x3FFA:0x4000] = bytes.fromhex("42 C0 00 C0 42 C0")  # NMI, reset, IRQ
    header = b"NES\x1a" + bytes([1, 0, 0, 0]) + bytes(8)  # 1 x 16 KiB PRG, CHR RAM, mapper 0
    return header + bytes(prg)


@pytest.fixture
def probe(tmp_path):
    path = tmp_path / "probe.nes"
    path.write_bytes(pad_probe_rom())
    return path


def cli(*args, env=None):
    """Runs the installed command in a child process."""
    script = Path(sys.executable).with_name("pictor")
    command = [str(script)] if script.exists() else [sys.executable, "-m", "pictor_cli"]
    return subprocess.run(
        command + [str(a) for a in args], capture_output=True, text=True, env=env, timeout=120, check=False
    )


def test_run_on_demo_writes_picture_sound_and_animation(tmp_path, capfd, monkeypatch):
    Image = pytest.importorskip("PIL.Image")
    png, wav, gif = tmp_path / "last.png", tmp_path / "run.wav", tmp_path / "run.gif"
    frames = 12
    args = ["run", "--frames", frames, "--png", png, "--wav", wav, "--gif", gif, "--gif-every", 3]
    rc = cli_main.main([str(a) for a in args])
    out, err = capfd.readouterr()
    assert rc == 0, err
    assert err == ""
    lines = out.splitlines()
    assert lines[-1].startswith(f"demo: {frames} frames in ") and lines[-1].endswith(" frames per second")
    assert [line.split()[1] for line in lines[:-1]] == [str(png), str(gif), str(wav)]

    with Image.open(png) as image:
        assert (image.format, image.size, image.mode) == ("PNG", (256, 240), "RGB")
        picture = np.asarray(image)
    # The PNG is the machine's picture at the end of the same frame, taken at the frame boundary.
    # The demo counts its boots in battery RAM, so the second machine gets a home of its own.
    monkeypatch.setenv("HOME", str(tmp_path))
    nes = build_machine(Cartridge.from_argument(None))
    boundary = []
    nes.perFrame(lambda: boundary.append(nes.getImg().copy()))
    for _ in range(frames):
        nes.runFrame()
    nes.perFrame(None)
    assert np.array_equal(picture, boundary[-1])

    with wave.open(str(wav)) as sound:
        assert (sound.getnchannels(), sound.getsampwidth(), sound.getframerate()) == (1, 2, 44100)
        samples = sound.getnframes()
    assert samples % 1024 == 0
    assert abs(samples - frames * 44100 / FRAME_RATE) <= 1024

    with Image.open(gif) as anim:
        assert (anim.format, anim.size) == ("GIF", (256, 240))
        # Frames 0, 3, 6 and 9; Pillow merges identical neighbours into one longer frame.
        assert 1 <= anim.n_frames <= 4
        total = 0
        for i in range(anim.n_frames):
            anim.seek(i)
            total += anim.info["duration"]
        assert total == pytest.approx(4 * 3000 / FRAME_RATE, abs=10)
        anim.seek(0)
        assert np.array_equal(np.asarray(anim.convert("RGB")), boundary[0])


@pytest.mark.parametrize(
    "presses, colour",
    [
        ([], BLACK),
        (["A@0-"], RED),
        (["a@0-3"], BLACK),  # released before the end
        (["B@0-", "Start+a@5-"], RED),
        (["Up@0-,A@6"], RED),  # one frame: read in its vertical blank, shown in the next picture
        (["A@7"], BLACK),  # read after the last picture was drawn, though it shows in the next dots
    ],
)
def test_scripted_presses_reach_the_game(tmp_path, probe, presses, colour, capfd):
    pytest.importorskip("PIL.Image")
    from PIL import Image

    png = tmp_path / "probe.png"
    args = ["run", str(probe), "--frames", "8", "--png", str(png)]
    rc = cli_main.main(args + [arg for press in presses for arg in ("--press", press)])
    assert rc == 0, capfd.readouterr().err
    expected = pictor.NES().colorLookup()[colour]
    with Image.open(png) as image:
        picture = np.asarray(image)
    assert (picture == expected).all()


def test_press_syntax():
    assert parse_press("A@60-90").buttons == (0,)
    press = parse_press(" right + a @ 5 - 7 ")
    assert (press.buttons, press.first, press.end) == ((0, 7), 5, 7)
    assert parse_press("Select@3").end == 4
    assert parse_press("start@100-").end is None

    script = Script.parse(["A@2-4", "Left@3,Down@0-"])
    a, left, down = 0, 6, 5
    assert [script.buttons(f)[a] for f in range(6)] == [False, False, True, True, False, False]
    assert [script.buttons(f)[left] for f in range(6)] == [False, False, False, True, False, False]
    assert all(script.buttons(f)[down] for f in (0, 1000))
    assert not Script.parse([]) and not any(Script().buttons(0))

    for bad, words in [
        ("Jump@1-2", "unknown button 'Jump'"),
        ("A@5-5", "not after"),
        ("A", "expected BUTTONS@FIRST-END"),
        ("A@-3", "expected"),
        ("@4", "names no button"),
        ("A+@4", "unknown button ''"),
    ]:
        with pytest.raises(ScriptError, match=words):
            parse_press(bad)

    # One press per option: a cartridge after it stays the cartridge, a bare button is an error.
    args = cli_main.build_parser().parse_args(["run", "--press", "A@1-2", "game.nes"])
    assert len(parse_script(args).presses) == 1 and args.rom == "game.nes"
    with pytest.raises(CliError, match="expected BUTTONS@FIRST-END"):
        parse_script(cli_main.build_parser().parse_args(["run", "--press", "A"]))


@pytest.mark.parametrize(
    "args, message",
    [
        (["run", "{tmp}/missing.nes"], "cannot open cartridge"),
        (["run", "{tmp}/text.nes"], "'text.nes' is not a usable cartridge image: not an iNES image"),
        (["run", "{tmp}/trunc.nes"], "'trunc.nes' is not a usable cartridge image: cartridge image is truncated"),
        (["run", "{tmp}/fifo.nes"], "not a regular file"),
        (["bench", "{tmp}/fifo.nes"], "not a regular file"),
        (["bench", "--thread", "-1"], "argument --thread: -1 is not a positive number of seconds"),
        (["run", "{tmp}"], "is a directory"),
        (["run", "--press", "Jump@1-2"], "unknown button 'Jump'"),
        (["run", "--press", "A@9-3"], "not after"),
        (["run", "--frames", "0"], "argument --frames"),
        (["run", "--gif-every", "x"], "argument --gif-every"),
        (["run", "--nope"], "unrecognized arguments: --nope (see 'pictor run --help')"),
        (["run", "--frames", "1", "--png", "{tmp}/no/such/dir/x.png"], "cannot write"),
        (["run", "--frames", "1", "--png", ""], "cannot write ''"),
        (["run", "--frames", "2", "--wav", "/dev/full"], "No space left on device"),
        (["run", "--press", "A"], "expected BUTTONS@FIRST-END"),
        (["bench", "{tmp}/missing.nes"], "cannot open cartridge"),
        (["play", "--scale", "-2"], "argument --scale"),
        (["fly"], "invalid choice"),
        ([], "choose a command"),
    ],
)
def test_bad_input_gives_one_line_and_nonzero_exit(tmp_path, args, message):
    (tmp_path / "text.nes").write_text("not a cartridge\n")
    (tmp_path / "trunc.nes").write_bytes(pad_probe_rom()[:100])
    os.mkfifo(tmp_path / "fifo.nes")  # opened for reading, it would wait for a writer for ever
    result = cli(*[a.format(tmp=tmp_path) for a in args])
    assert result.returncode != 0
    assert "Traceback" not in result.stderr
    assert len(result.stderr.splitlines()) == 1, result.stderr
    assert result.stderr.startswith("pictor: error: ") and message in result.stderr


def test_file_names_that_are_not_text(tmp_path, probe):
    # A name with bytes that are not UTF-8 is shown escaped, even with strict output encoding.
    odd = os.fsencode(tmp_path) + b"/bad\xff.nes"
    Path(os.fsdecode(odd)).write_bytes(probe.read_bytes())
    env = dict(os.environ, PYTHONIOENCODING="utf-8:strict")
    result = cli("run", os.fsdecode(odd), "--frames", "1", env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("bad\\udcff.nes: 1 frames in ")


def test_missing_pillow_names_the_extra(tmp_path):
    # A sitecustomize that hides PIL stands in for an installation without the extra.
    hide = tmp_path / "hide"
    hide.mkdir()
    (hide / "sitecustomize.py").write_text("import sys\nsys.modules['PIL'] = None\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(hide), os.environ.get("PYTHONPATH")])))
    result = cli("run", "--frames", "1", "--png", tmp_path / "x.png", env=env)
    assert result.returncode == 1
    assert result.stderr == "pictor: error: pictor run --png needs Pillow: pip install 'pictor[play]'\n"
    assert not (tmp_path / "x.png").exists()
    result = cli("run", "--frames", "2", "--wav", tmp_path / "x.wav", env=env)
    size = (tmp_path / "x.wav").stat().st_size
    assert result.returncode == 0 and size > 44 and (size - 44) % 2048 == 0


def test_machine_lines_stay_out_of_the_output(tmp_path, probe):
    result = cli("run", "--frames", "1")
    assert result.returncode == 0
    assert len(result.stdout.splitlines()) == 1 and "frames per second" in result.stdout
    assert "LINUX, " in cli("run", "--frames", "1", "-v").stdout

    # An unsupported mapper: the machine runs on, and the warning is one line.
    odd = tmp_path / "odd.nes"
    image = bytearray(probe.read_bytes())
    image[6] |= 0xF0
    image[7] |= 0xF0
    odd.write_bytes(bytes(image))
    result = cli("run", odd, "--frames", "1")
    assert result.returncode == 0, result.stderr
    (line,) = result.stderr.splitlines()
    assert line.startswith("pictor: warning: ") and "mapper 255," in line


def test_bench_prints_the_host_and_a_table(probe, home):
    result = cli("bench", probe, "--runs", "2", "--frames", "3", "--accuracy", "standard")
    assert result.returncode == 0, result.stderr
    cpu, host, header, rule, *rows = result.stdout.splitlines()
    assert cpu.startswith("cpu: ") and len(cpu) > len("cpu: ")
    assert host.startswith("platform: ")
    assert header.split()[:4] == ["cartridge", "frames", "runs", "median"]
    assert set(rule) <= {"-", " "}
    workloads = ["workload-" + kind for kind in ("nrom", "mmc1", "uxrom", "cnrom", "mmc3", "mmc4", "fme7")]
    assert [row.split()[0] for row in rows] == ["demo", *workloads, "probe.nes"]
    for row in rows:
        cells = row.split()
        assert cells[1:3] == ["3", "2"]
        median, slowest, fastest = map(float, cells[3:6])
        assert 0 < slowest <= median <= fastest
    assert not (home / ".config").exists()  # save folders went to a scratch home

    # The emulation thread's processor use, and machines on threads side by side.
    result = cli("bench", probe, "--runs", "1", "--frames", "2", "--thread", "0.1", "--parallel", "2")
    assert result.returncode == 0, result.stderr
    tables = [table.splitlines() for table in result.stdout.split("\n\n")]
    tables[0] = tables[0][2:]  # below the host lines
    assert [table[0].split()[1] for table in tables] == ["frames", "thread", "machines"]
    assert [row.split()[1] for row in tables[1][2:]] == ["running", "paused"] * 9
    assert [row.split()[1] for row in tables[2][2:]] == ["1", "2"] * 9


def test_play_runs_scripted_frames_and_exits(sdl_dummy, probe):
    result = cli("play", "--frames", "20", "--scale", "1", "--script", "Start@2-5,Right@0-,A@10-")
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr
    assert result.stdout.splitlines()[-1].startswith("demo: played 20 frames in ")

    result = cli("play", probe, "--frames", "5", "--mute")
    assert result.returncode == 0, result.stderr


def test_play_keys_pause_save_and_load(sdl_dummy, probe, monkeypatch, capsys):
    import pygame

    from pictor_cli import play

    nes = build_machine(Cartridge.from_file(str(probe)))
    pad = pictor.Controller()
    nes.setController(pad, 0)
    player = play.Player(
        nes, pad, pygame, label="probe", scale=1, script=Script.parse(["A@0-"]), frame_limit=30, sound=True
    )
    # Keys typed one per pass of the main loop, each once its condition holds.
    keys = [
        (lambda: True, pygame.K_F6),  # load slot 2 while running: nothing saved yet
        (lambda: True, pygame.K_p),
        (player.idle.is_set, pygame.K_F2),  # save and load while paused, on this thread
        (lambda: True, pygame.K_F6),
        (lambda: True, pygame.K_p),
        (lambda: not player.idle.is_set() and player.frames >= 10, pygame.K_F1),  # running again
        (lambda: True, pygame.K_F5),
    ]
    read_controls = player._read_controls

    def type_keys():
        read_controls()
        if keys and keys[0][0]():
            pygame.event.post(pygame.event.Event(pygame.KEYDOWN, key=keys.pop(0)[1]))

    monkeypatch.setattr(player, "_read_controls", type_keys)
    player.run()
    assert capsys.readouterr().out.splitlines() == [
        "no saved state in slot 2",
        "saved state 2",
        "loaded state 2",
        "saved state 1",
        "loaded state 1",
    ]
    assert not keys and player.frames == 30
    assert len(os.listdir(nes.getSaveDir())) >= 2
    # The pad probe shows red once the scripted A press has been read.
    assert (player.shared_frame == nes.colorLookup()[RED]).all()


def test_console_script_is_installed():
    script = shutil.which("pictor") or Path(sys.executable).with_name("pictor")
    assert Path(script).exists()
    result = subprocess.run([str(script), "--version"], capture_output=True, text=True, check=False)
    assert result.returncode == 0 and result.stdout.startswith("pictor ")


def test_run_reads_the_save_but_writes_it_only_when_asked(tmp_path, lumaret):
    (tmp_path / "keep.nes").write_bytes(ines(program=BATTERY, battery=True))
    (lumaret / "keep").mkdir(parents=True)
    (lumaret / "keep" / "ram").write_bytes(b"\x11" * 0x2000)
    for extra, first in (([], 0x11), (["--save"], 0x5A)):  # the program writes $5A at $6000
        assert cli("run", tmp_path / "keep.nes", "--frames", "2", *extra).returncode == 0
        assert (lumaret / "keep" / "ram").read_bytes()[0] == first


def test_play_without_a_display_says_so(probe):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER")}
    result = cli("play", probe, "--frames", "2", "--mute", env=env)
    assert result.returncode == 1 and "error: no window can open: there is no display" in result.stderr
