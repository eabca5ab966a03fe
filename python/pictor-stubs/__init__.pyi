"""Type information for the pictor extension module: an NES console and its pads.

An NES console for Python programs: the CPU, picture unit, sound unit, pads and cartridge hardware
as a C++ core. NES is one console, Controller one pad.
"""

import os
from collections.abc import Callable
from typing import Literal, Protocol, overload

import numpy
import numpy.typing
from typing_extensions import Buffer

__version__: str
"""The version of the installed pictor distribution."""

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Accuracy = Literal["standard", "hardware"]
_BatteryFile = Literal["read-write", "read-only", "none"]

class _Buttons(Protocol):
    """What updateInputs reads: a length and values by index (a list, a tuple, a NumPy array...)."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> object: ...

class _RomFile(Protocol):
    """What the file-object constructor reads: a name (it names the game folder) and the image."""

    @property
    def name(self) -> str | bytes: ...
    def read(self) -> bytes | bytearray: ...

class NES:
    """One console with its cartridge.

    Step it with runFrame on the calling thread, or run it in real time on its own thread with
    start. Save states and battery RAM live in $HOME/.config/Lumaret/<game>.
    """

    @overload
    def __init__(
        self,
        rom_name: _Path,
        CLOCK_SPEED: int = 1789773,
        *,
        verbose: bool = True,
        save_root: _Path | None = None,
        accuracy: _Accuracy = "standard",
        battery_file: _BatteryFile = "read-write",
    ) -> None:
        """Loads the cartridge image at a path.

        rom_name: the image file (str, bytes or os.PathLike); its base name without extension names
            the game folder (a name that reduces to nothing, such as ".nes", gets one named by the
            image's hash).
        CLOCK_SPEED: CPU cycles per second of real time for the emulation thread; 0 runs it unpaced.
        verbose: False prints nothing at all for this machine.
        save_root: an existing folder to hold the game folder instead of $HOME/.config/Lumaret.
        accuracy: the timing model, fixed for the machine's life: "standard" (the default) or
            "hardware" (the console cycle by cycle); ValueError for any other value.
        battery_file: what a battery-backed cartridge does with the ram file in its game folder:
            "read-write" (read when inserted, written back), "read-only" (read, never written) or
            "none" (neither; battery RAM starts cleared).

        Raises FileNotFoundError (or another OSError) when the file cannot be read or is not a
        regular file, ValueError when it is not a cartridge image or the path holds a NUL byte;
        warns (RuntimeWarning) when its mapper is not supported. A failed construction leaves
        nothing behind on disk.
        """

    @overload
    def __init__(self, CLOCK_SPEED: int = 1789773, *, verbose: bool = True, accuracy: _Accuracy = "standard") -> None:
        """A console with the blank cartridge (no game folder).

        CLOCK_SPEED: CPU cycles per second of real time for the emulation thread; 0 runs it unpaced.
        verbose: False prints nothing at all for this machine.
        accuracy: the timing model: "standard" (the default) or "hardware".
        """

    @overload
    def __init__(
        self,
        rom_file: _RomFile,
        CLOCK_SPEED: int = 1789773,
        *,
        verbose: bool = True,
        save_root: _Path | None = None,
        accuracy: _Accuracy = "standard",
        battery_file: _BatteryFile = "read-write",
    ) -> None:
        """Reads the cartridge image from a file object.

        rom_file: an object with a name (str or bytes; it names the game folder) and read() giving
            the image (bytes or bytearray; a file opened in text mode is refused with TypeError).
        CLOCK_SPEED: CPU cycles per second of real time for the emulation thread; 0 runs it unpaced.
        verbose: False prints nothing at all for this machine.
        save_root: an existing folder to hold the game folder instead of $HOME/.config/Lumaret.
        accuracy: the timing model: "standard" (the default) or "hardware".
        battery_file: "read-write" (the default), "read-only" or "none", as for a path.
        """

    def cpuMem(self) -> numpy.typing.NDArray[numpy.uint8]:
        """The CPU address space: a writable uint8 view of shape (65536,) on the machine's memory."""

    def ppuMem(self) -> numpy.typing.NDArray[numpy.uint8]:
        """The PPU address space (pattern tables, name tables, palette): a writable uint8 view of shape (16384,)."""

    def OAM(self) -> numpy.typing.NDArray[numpy.uint8]:
        """Sprite memory: a writable uint8 view of shape (256,)."""

    def getImg(self) -> numpy.typing.NDArray[numpy.uint8]:
        """The picture: a uint8 view of shape (240, 256, 3), RGB, on the frame buffer being drawn."""

    def colorLookup(self) -> numpy.typing.NDArray[numpy.uint8]:
        """The system palette: a writable uint8 view of shape (64, 3), RGB, shared by every machine."""

    def getAudio(self) -> bytes:
        """The latest completed block of 1024 mono int16 samples at 44100 Hz as 2048 bytes, or b"" when
        no new block has been completed since the last call."""

    def readAudio(self) -> numpy.typing.NDArray[numpy.int16]:
        """Every sample produced since the previous call (at most the last second): a new int16 array,
        mono, 44100 Hz. Older samples are dropped and counted in audioDropped. Independent of getAudio;
        safe while the emulation thread runs."""

    @property
    def audioDropped(self) -> int:
        """Samples readAudio has dropped so far because more than a second accumulated."""

    def start(self) -> None:
        """Runs the console in real time on its own thread, calling the per-frame callback at every frame.

        Raises RuntimeError when it already runs.
        """

    def stop(self) -> None:
        """Ends the emulation thread, waiting for it, then writes the battery RAM file.

        Raises RuntimeError when no thread runs (after writing the battery RAM file).
        """

    def saveState(self, slot: int) -> None:
        """Writes the machine's snapshot (getState) to the numbered state file slot in the save folder.

        slot: the file's number; its decimal text is the file name.
        """

    def loadState(self, slot: int) -> bool:
        """Restores the numbered state file slot: a whole snapshot exactly, a file of the old 82189-byte
        layout as ever (registers, memories, mapper block). Returns False when there is no such file;
        OSError when something other than a regular file is there.

        slot: the file's number.

        Raises ValueError, leaving the machine as it was, for a file that is no valid state of this
        cartridge.
        """

    def getState(self) -> bytes:
        """A snapshot of the whole machine as bytes: the state-file layout followed by a versioned
        extension block (docs/state-format.md). Not during a runFrame, from the per-frame callback, or
        while the emulation thread runs unpaused (RuntimeError)."""

    def setState(self, state: Buffer) -> None:
        """Restores a snapshot from getState (of this machine or of one built from the same cartridge
        image); stepping with the same input then repeats the original run exactly. Audio not yet read
        is dropped.

        state: the snapshot bytes.

        Raises ValueError, leaving the machine exactly as it was, for a snapshot that is malformed,
        truncated, of another version or of another cartridge.
        """

    def reset(self) -> None:
        """Presses the console's reset button: the CPU's reset sequence from the reset vector, PPUCTRL,
        PPUMASK, the scroll, w latch and read buffer cleared, every sound channel silenced. Memory,
        cartridge RAM, the mapper and the frame count are kept."""

    def setPaused(self, paused: bool) -> None:
        """Pauses or resumes the emulation thread; a paused thread sleeps until resumed or stopped.

        paused: True to pause, False to resume.
        """

    def setSaveDir(self, directory: _Path) -> bool:
        """Moves the state files to an existing directory; returns False (and changes nothing) if
        there is no directory at that path. The battery RAM file stays in the game folder.

        directory: the folder (str, bytes or os.PathLike); ValueError when it holds a NUL byte.
        """

    def getSaveDir(self) -> str:
        """The folder of the numbered state files; empty for the blank cartridge until setSaveDir."""

    def setController(self, pad: Controller, port: int) -> None:
        """Plugs a pad into a port; the machine keeps it alive while plugged in.

        pad: the Controller.
        port: 0 (read at $4016) or 1 (read at $4017); ValueError otherwise.
        """

    def frameCount(self) -> int:
        """Frames completed since the machine was built."""

    def cycleCount(self) -> int:
        """CPU cycles since the last reset."""

    @property
    def accuracy(self) -> _Accuracy:
        """The timing model the machine was built with: "standard" or "hardware"."""

    def runFrame(self) -> None:
        """Steps the console on the calling thread until the next frame boundary, without holding the
        interpreter lock (the per-frame callback takes it back). Raises RuntimeError while the
        emulation thread runs or another thread is inside runFrame on this machine."""

    def perFrame(self, callback: Callable[[], None] | None) -> None:
        """Calls callback with no arguments at every frame boundary, on the thread that steps the console.

        callback: the callable, or None to remove it.
        """

    def __getstate__(self) -> tuple[object, ...]:
        """The pickled state: the cartridge image, the snapshot, the clock rate, the save folder, the
        game folder, verbose, the timing model and the battery file mode; not the per-frame callback
        or plugged pads."""

    def __setstate__(self, state: tuple[object, ...], /) -> None:
        """Builds the machine from a pickled state (printing nothing unless it was verbose).

        state: what __getstate__ returned.
        """

def readCartridge(path: _Path) -> bytes:
    """The bytes of the cartridge image file at path, read and checked as NES(path) reads it: only a
    regular file is read (OSError at once for a FIFO, a device or a directory; FileNotFoundError when
    there is none), and ValueError when it is not a usable cartridge image.

    path: the image file (str, bytes or os.PathLike).
    """

class Controller:
    """A standard pad with eight buttons, all released at first; plug it in with NES.setController."""

    def __init__(self) -> None:
        """A pad with every button released."""

    def updateInputs(self, buttons: _Buttons) -> None:
        """Sets the buttons from the truth of the first 8 values, in the order A, B, Select, Start, Up,
        Down, Left, Right.

        buttons: any sequence of at least 8 values (list, tuple, NumPy array); ValueError for fewer.
        """

_ObsType = Literal["rgb", "grayscale", "ram"]

class Observer:
    """One machine's observation for a learning agent, made in C++ from the palette indices of its
    picture (or its work RAM) into an array of its own, which every call returns a view of: copy
    what you keep."""

    def __init__(
        self,
        nes: NES,
        *,
        obs_type: _ObsType = "rgb",
        obs_shape: tuple[int, int] | None = None,
        frame_stack: int = 1,
        max_pool: bool = False,
    ) -> None:
        """nes: the machine observed (kept alive by the observer).
        obs_type: "rgb" (240, 256, 3), "grayscale" (240, 256: the BT.601 luma of each colour) or
            "ram" (2048,), all uint8.
        obs_shape: (height, width) for a smaller picture, averaged over the area each pixel covers.
        frame_stack: the last frame_stack frames (1 to 64), oldest first, on a leading axis when
            above 1.
        max_pool: each picture is the element-wise maximum of the frame held by hold() and the
            current one.
        """

    def hold(self) -> None:
        """Keeps the current picture as the one max_pool pools with: call it before the last frame
        of a step."""

    def push(self) -> numpy.typing.NDArray[numpy.uint8]:
        """Moves the stack on by one frame, puts the current one last and returns the observation."""

    def fill(self) -> numpy.typing.NDArray[numpy.uint8]:
        """Puts the current frame in every place of the stack (as after a reset) and returns the
        observation."""

    @property
    def observation(self) -> numpy.typing.NDArray[numpy.uint8]:
        """The observation as the last push or fill made it."""

class Batch:
    """n machines of one cartridge, stepped together: step runs every machine's frames on a pool of
    native threads with the interpreter lock released and writes the observations, work RAM and
    episode ends into arrays made once. Each call returns views of those arrays: copy what you
    keep."""

    def __init__(
        self,
        rom: _Path | Buffer,
        n: int,
        *,
        frameskip: int = 4,
        obs_type: _ObsType = "rgb",
        obs_shape: tuple[int, int] | None = None,
        frame_stack: int = 1,
        max_pool: bool = False,
        max_steps: int | None = None,
        accuracy: _Accuracy = "standard",
        threads: int | None = None,
    ) -> None:
        """rom: a path (str or os.PathLike) or the bytes of a cartridge image.
        n: the number of machines, 1 to 4096 (their observations at most 4 GiB).
        frameskip: frames each step holds its action for.
        obs_type: "rgb", "grayscale" or "ram", as for pictor.Observer.
        obs_shape: (height, width) for smaller pictures, as for pictor.Observer.
        frame_stack: the last frame_stack observations of each machine, as for pictor.Observer.
        max_pool: each picture is the element-wise maximum of the last two frames of its step.
        max_steps: steps after which a machine's episode ends (its done flag is set); None: never.
        accuracy: the timing model of every machine, "standard" or "hardware".
        threads: native threads that step the machines, the calling one included; default one per
            core, at most one per machine.
        """

    def __len__(self) -> int:
        """The number of machines."""

    @property
    def threads(self) -> int:
        """Native threads that step the machines, the calling one included."""

    def step(
        self, actions: numpy.typing.ArrayLike
    ) -> tuple[
        numpy.typing.NDArray[numpy.uint8], numpy.typing.NDArray[numpy.uint8], numpy.typing.NDArray[numpy.bool]
    ]:
        """Steps every machine by one action and returns (observations, ram, done).

        actions: an (n,) array of pad bytes from 0 to 255 (bit 0 A, 1 B, 2 Select, 3 Start, 4 Up,
            5 Down, 6 Left, 7 Right) or an (n, 8) array of truth values in that order. A machine
            whose done flag is set is reset instead (to its reset snapshot, then noops frames
            without buttons), its action unused.
        done is set for the machines that reached max_steps; it is writable: set an entry to end
        that machine's episode at the next step.
        """

    def reset(self, index: int | None = None) -> numpy.typing.NDArray[numpy.uint8]:
        """Resets every machine (or one) to its reset snapshot, runs its noops frames without
        buttons, and returns the observations.

        index: the machine, from 0; None for all.
        """

    @property
    def observations(self) -> numpy.typing.NDArray[numpy.uint8]:
        """The (n, ...) uint8 observations."""

    @property
    def ram(self) -> numpy.typing.NDArray[numpy.uint8]:
        """The (n, 2048) uint8 work RAM of every machine after the last step."""

    @property
    def done(self) -> numpy.typing.NDArray[numpy.bool]:
        """The (n,) writable bool episode ends."""

    @property
    def noops(self) -> numpy.typing.NDArray[numpy.int32]:
        """The (n,) writable int32 frames without buttons each machine runs after its resets."""

    @property
    def frameCount(self) -> numpy.typing.NDArray[numpy.int64]:
        """The (n,) int64 frames each machine has run since power-on."""

    def getState(self, index: int) -> bytes:
        """The snapshot of a machine, as NES.getState gives it.

        index: the machine, from 0.
        """

    def setState(self, index: int, state: bytes) -> None:
        """Restores a snapshot (of NES.getState or Batch.getState) into a machine; ValueError, with
        the machine unchanged, for one that does not fit it. Its observation changes at its next
        step.

        index: the machine, from 0.
        state: the snapshot (bytes).
        """

    def setResetState(self, index: int, state: bytes) -> None:
        """Makes a snapshot the one a machine returns to at its resets; ValueError for one that does
        not fit it.

        index: the machine, from 0.
        state: the snapshot (bytes).
        """
