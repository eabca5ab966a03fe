"""State files, the save directory and the battery RAM file."""

import gc
import resource
import signal
import time

import pytest

import pictor
from conftest import BATTERY, ines, run_script

STATE_LEN = 82189  # the old layout, with which every state file begins
CPU_MEM = slice(13, 13 + 65536)
PPU_MEM = slice(65549, 65549 + 16384)


def run(nes, frames):
    for _ in range(frames):
        nes.runFrame()


def wait_until(condition, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.05)
    return False


def test_state_file_layout_and_round_trip(write_rom, lumaret):
    nes = pictor.NES(write_rom("game.nes"))
    nes.cpuMem()[0x00] = 0x77  # the program copies $00 through A to $01
    run(nes, 3)
    nes.ppuMem()[0x2000] = 0x55
    nes.saveState(3)
    data = (lumaret / "game" / "3").read_bytes()
    assert data == nes.getState() and len(data) > STATE_LEN
    assert data[STATE_LEN : STATE_LEN + 8] == b"PICTSNAP"
    assert data[1] == 0x77 and data[3] == 0x33  # A, Y
    pc = int.from_bytes(data[5:13], "little", signed=True)
    assert 0x8006 <= pc <= 0x800F
    assert data[CPU_MEM] == nes.cpuMem().tobytes()
    assert data[PPU_MEM] == nes.ppuMem().tobytes()
    assert (data[2] - data[13 + 0x41]) % 256 in (0, 1)  # X, stored at $41 on every pass
    assert list(lumaret.joinpath("game").iterdir()) == [lumaret / "game" / "3"]  # no temporary left

    frames, cycles = nes.frameCount(), nes.cycleCount()
    nes.ppuMem()[0x2000] = 0x00
    run(nes, 2)
    assert nes.cpuMem().tobytes() != data[CPU_MEM]
    assert nes.loadState(3) is True
    assert nes.cpuMem().tobytes() == data[CPU_MEM]
    assert nes.ppuMem()[0x2000] == 0x55
    assert (nes.cycleCount(), nes.frameCount()) == (cycles, frames)  # the whole machine came back
    nes.saveState(4)
    assert (lumaret / "game" / "4").read_bytes() == data

    # A file of the old layout alone loads as it always did: registers, memories, mapper block.
    (lumaret / "game" / "5").write_bytes(data[:STATE_LEN])
    run(nes, 2)
    cycles = nes.cycleCount()
    assert nes.loadState(5) is True
    assert nes.cpuMem().tobytes() == data[CPU_MEM]
    assert nes.cycleCount() == cycles and nes.frameCount() == frames + 2

    # Slots are plain decimal file names, negative ones included.
    nes.saveState(-1)
    assert (lumaret / "game" / "-1").read_bytes() == nes.getState()


def test_load_failures(write_rom, lumaret):
    nes = pictor.NES(write_rom("game.nes"))
    run(nes, 1)
    assert nes.loadState(5) is False
    before = nes.cpuMem().tobytes()
    (lumaret / "game" / "7").write_bytes(bytes(100))
    with pytest.raises(ValueError):
        nes.loadState(7)
    (lumaret / "game" / "8").write_bytes(bytes(STATE_LEN + 1))
    with pytest.raises(ValueError):
        nes.loadState(8)
    nes.saveState(9)
    bad_pc = bytearray((lumaret / "game" / "9").read_bytes())
    bad_pc[5:13] = (0x10000).to_bytes(8, "little")
    bad_pc[13] ^= 0xFF  # memory that must not be applied either
    (lumaret / "game" / "9").write_bytes(bytes(bad_pc))
    with pytest.raises(ValueError, match="program counter"):
        nes.loadState(9)
    assert nes.cpuMem().tobytes() == before
    # A whole state of another cartridge.
    (lumaret / "game" / "10").write_bytes(pictor.NES(verbose=False).getState())
    with pytest.raises(ValueError, match="another cartridge"):
        nes.loadState(10)
    assert nes.cpuMem().tobytes() == before

    blank = pictor.NES()
    with pytest.raises(RuntimeError, match="save directory"):
        blank.saveState(1)
    with pytest.raises(RuntimeError, match="save directory"):
        blank.loadState(1)


def test_failed_write_keeps_the_good_file(write_rom, lumaret):
    nes = pictor.NES(write_rom("game.nes"))
    nes.saveState(1)
    folder = lumaret / "game"
    good = (folder / "1").read_bytes()
    run(nes, 1)

    # The file size limit makes the write fail part-way through.
    old_limit = resource.getrlimit(resource.RLIMIT_FSIZE)
    old_handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (50000, old_limit[1]))
    try:
        with pytest.raises(OSError):
            nes.saveState(1)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, old_limit)
        signal.signal(signal.SIGXFSZ, old_handler)
    assert (folder / "1").read_bytes() == good
    assert sorted(p.name for p in folder.iterdir()) == ["1"]

    # The slot's name is taken by a non-empty directory: the rename fails.
    (folder / "2" / "x").mkdir(parents=True)
    with pytest.raises(OSError):
        nes.saveState(2)
    assert sorted(p.name for p in folder.iterdir()) == ["1", "2"]


def test_save_dir(write_rom, lumaret, tmp_path):
    nes = pictor.NES(write_rom("game.nes", image=ines(BATTERY, battery=True)))
    assert nes.getSaveDir() == f"{lumaret}/game"
    assert nes.setSaveDir(str(tmp_path / "missing")) is False
    assert nes.getSaveDir() == f"{lumaret}/game"
    elsewhere = tmp_path / "states"
    elsewhere.mkdir()
    assert nes.setSaveDir(str(elsewhere)) is True
    assert nes.getSaveDir() == str(elsewhere)
    run(nes, 1)
    nes.saveState(2)
    assert (elsewhere / "2").read_bytes() == nes.getState()
    assert nes.loadState(2) is True
    with pytest.raises(RuntimeError):
        nes.stop()  # never started; the battery RAM is written first, to the game folder
    assert (lumaret / "game" / "ram").stat().st_size == 8192
    assert not (elsewhere / "ram").exists()

    blank = pictor.NES()
    assert blank.setSaveDir(str(elsewhere)) is True
    blank.saveState(9)
    assert blank.loadState(9) is True


def test_battery_ram(write_rom, lumaret):
    path = write_rom("Battery Game.nes", image=ines(BATTERY, battery=True))
    ram = lumaret / "Battery_Game" / "ram"
    nes = pictor.NES(path)
    run(nes, 1)
    with pytest.raises(RuntimeError):
        nes.stop()
    data = ram.read_bytes()
    assert len(data) == 8192 and data[0] == 0x5A and data[-1] == 0xA5

    # Inserting the cartridge again loads the file before the program runs.
    ram.write_bytes(bytes([0x12]) + bytes(8190) + bytes([0x34]))
    again = pictor.NES(path)
    assert again.cpuMem()[0x6000] == 0x12 and again.cpuMem()[0x7FFF] == 0x34

    # Dropping a machine writes its battery RAM too, into its own game folder
    # even when another machine was built after it.
    run(again, 1)
    other = pictor.NES(write_rom("other.nes", image=ines(BATTERY, battery=True)))
    del again
    gc.collect()
    assert ram.read_bytes()[0] == 0x5A
    assert not (lumaret / "other" / "ram").exists()
    del other
    gc.collect()
    assert (lumaret / "other" / "ram").stat().st_size == 8192

    # No battery, no file.
    plain = pictor.NES(write_rom("plain.nes"))
    run(plain, 1)
    with pytest.raises(RuntimeError):
        plain.stop()
    del plain
    gc.collect()
    assert not (lumaret / "plain" / "ram").exists()


# FME-7: RAM at $6000 takes $5A and $A5, then ROM is shown there again.
FME7_BATTERY = [
    0xA9, 0x08, 0x8D, 0x00, 0x80,  # 8000 LDA #$08; STA $8000  (command 8: $6000)
    0xA9, 0xC0, 0x8D, 0x00, 0xA0,  # 8005 LDA #$C0; STA $A000  (RAM, enabled)
    0xA9, 0x5A, 0x8D, 0x00, 0x60,  # 800A LDA #$5A; STA $6000
    0xA9, 0xA5, 0x8D, 0xFF, 0x7F,  # 800F LDA #$A5; STA $7FFF
    0xA9, 0x00, 0x8D, 0x00, 0xA0,  # 8014 LDA #$00; STA $A000  (ROM bank 0)
    0x4C, 0x19, 0x80,              # 8019 JMP $8019
]


def test_battery_ram_kept_by_the_board(write_rom, lumaret):
    # A board that shows ROM at $6000 keeps its RAM aside: the file gets the RAM.
    path = write_rom("fme7.nes", image=ines(FME7_BATTERY, battery=True, mapper=69))
    ram = lumaret / "fme7" / "ram"
    for _ in range(2):  # the second machine loads the file into the board's RAM first
        nes = pictor.NES(path)
        assert nes.cpuMem()[0x6000] == 0xA9  # ROM shows at power-on
        run(nes, 2)
        with pytest.raises(RuntimeError):
            nes.stop()
        data = ram.read_bytes()
        assert len(data) == 8192 and data[0] == 0x5A and data[-1] == 0xA5
        del nes
        gc.collect()
    assert ram.read_bytes()[0] == 0x5A

    # An MMC5 whose NES 2.0 header gives 32 KiB of battery RAM keeps all of
    # it: the program copies $6000 to $6001 in RAM bank 2.
    program = bytes([0xA9, 0x02, 0x8D, 0x02, 0x51, 0xA9, 0x01, 0x8D, 0x03, 0x51,  # E000 allow RAM writes
                     0xA9, 0x02, 0x8D, 0x13, 0x51,                                # E00A bank 2 at $6000
                     0xAD, 0x00, 0x60, 0x8D, 0x01, 0x60, 0x4C, 0x15, 0xE0])       # E00F copy; wait
    prg = bytearray(0x4000)
    prg[0x2000 : 0x2000 + len(program)] = program
    prg[0x3FFA:0x4000] = bytes([0x15, 0xE0, 0x00, 0xE0, 0x15, 0xE0])
    header = b"NES\x1a" + bytes([1, 1, 0x52, 0x08, 0, 0, 0x90]) + bytes(5)
    path = write_rom("mmc5.nes", image=header + bytes(prg) + bytes(0x2000))
    ram = lumaret / "mmc5" / "ram"
    ram.parent.mkdir(parents=True, exist_ok=True)
    ram.write_bytes(bytes(2 * 8192) + b"\x55" + bytes(3 * 8192 - 1))
    nes = pictor.NES(path)
    run(nes, 2)
    with pytest.raises(RuntimeError):
        nes.stop()
    data = ram.read_bytes()
    assert len(data) == 4 * 8192 and data[2 * 8192 : 2 * 8192 + 2] == b"\x55\x55"


def test_battery_ram_write_failure(write_rom, lumaret):
    nes = pictor.NES(write_rom("game.nes", image=ines(BATTERY, battery=True)))
    (lumaret / "game" / "ram" / "x").mkdir(parents=True)  # "ram" is a non-empty directory
    with pytest.raises(OSError):
        nes.stop()
    nes.start()
    with pytest.raises(OSError):
        nes.stop()  # the thread is stopped all the same
    with pytest.raises(OSError):
        nes.stop()


def test_only_regular_files_are_read_or_replaced(write_rom, lumaret, tmp_path):
    # In a fresh interpreter with a time limit: a blocking open of a FIFO would hang, not fail.
    path = write_rom("game.nes", image=ines(BATTERY, battery=True))
    proc = run_script(
        f"""
        import os, pictor
        folder = {str(lumaret / "game")!r}
        nes = pictor.NES({path!r}, verbose=False)
        os.mkfifo(os.path.join(folder, "1"))
        os.symlink("/dev/zero", os.path.join(folder, "2"))
        os.mkdir(os.path.join(folder, "3"))
        for slot, error in ((1, OSError), (2, OSError), (3, IsADirectoryError)):
            try:
                nes.loadState(slot)
            except error as e:
                assert "regular" in str(e) or slot == 3, e
            else:
                raise SystemExit(f"slot {{slot}} loaded")
            try:
                nes.saveState(slot)
            except OSError:
                pass
            else:
                raise SystemExit(f"slot {{slot}} was replaced")
        assert not os.path.isfile(os.path.join(folder, "1")) and os.path.islink(os.path.join(folder, "2"))
        assert nes.setSaveDir(os.path.join(folder, "1")) is False
        os.mkfifo(os.path.join(folder, "ram"))
        try:
            pictor.NES({path!r}, verbose=False)
        except OSError as e:
            assert "battery RAM" in str(e), e
        else:
            raise SystemExit("a FIFO was taken for battery RAM")
        try:
            nes.stop()
        except OSError:
            pass
        assert sorted(os.listdir(folder)) == ["1", "2", "3", "ram"]  # no temporary file left
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "ok" in proc.stdout.splitlines()


def test_old_layout_mapper_bytes_stay_within_the_registers(write_rom, lumaret):
    nes = pictor.NES(write_rom("mmc3.nes", mapper=4), verbose=False)
    run(nes, 2)
    old = bytearray(nes.getState()[:STATE_LEN])
    old[81933:81947] = bytes([7, 0x40, 30, 200, 9, 0, 0]) + (2**31).to_bytes(4, "little") + bytes(3)
    (lumaret / "mmc3" / "1").write_bytes(bytes(old))
    assert nes.loadState(1) is True
    run(nes, 2)
    state = nes.getState()
    nes.setState(state)  # the machine's own snapshot is a valid one
    assert nes.getState() == state


def test_battery_ram_reaches_its_file_while_running_and_at_exit(write_rom, lumaret):
    path = write_rom("game.nes", image=ines(BATTERY, battery=True))
    ram = lumaret / "game" / "ram"
    nes = pictor.NES(path, verbose=False)
    nes.start()
    try:
        # Within a few seconds of a change, with the thread still running.
        assert wait_until(lambda: ram.exists() and ram.read_bytes()[0] == 0x5A, timeout=15)
        nes.cpuMem()[0x7000] = 0x33
        assert wait_until(lambda: ram.read_bytes()[0x1000] == 0x33, timeout=15)
    finally:
        nes.stop()
    assert ram.read_bytes() == nes.cpuMem()[0x6000:0x8000].tobytes()

    # At interpreter exit, even for a machine that is never freed, and one whose thread still runs.
    ram.unlink()
    other = write_rom("other.nes", image=ines(BATTERY, battery=True))
    proc = run_script(
        f"""
        import ctypes, time, pictor
        nes = pictor.NES({path!r}, verbose=False)
        nes.runFrame()
        nes.cpuMem()[0x6001] = 0x44
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(nes))  # never freed: only the exit writes it
        running = pictor.NES({other!r}, verbose=False)
        running.start()
        time.sleep(0.1)
        running.cpuMem()[0x6002] = 0x55
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    data = ram.read_bytes()
    assert data[:2] == b"\x5a\x44" and len(data) == 8192
    assert (lumaret / "other" / "ram").read_bytes()[:3] == b"\x5a\x00\x55"
    assert sorted(p.name for p in (lumaret / "game").iterdir()) == ["ram"]
