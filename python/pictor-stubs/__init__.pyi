"""Type information for the pictor extension module: an NES console and its pads."""

from typing import Any, Callable, Protocol, overload

import numpy
import numpy.typing

class _RomFile(Protocol):
    """What the file-object constructor reads: a name (it names the game folder) and the image."""

    @property
    def name(self) -> str | bytes: ...
    def read(self) -> bytes | bytearray | str: ...

class NES:
    """One console. Save states and battery RAM live in $HOME/.config/Lumaret/<game>."""

    @overload
    def __init__(self, rom_name: str | bytes, CLOCK_SPEED: int = 1789773) -> None:
        """Loads the cartridge image at the path rom_name."""

    @overload
    def __init__(self, CLOCK_SPEED: int = 1789773) -> None:
        """A console with the blank cartridge."""

    @overload
    def __init__(self, rom_file: _RomFile, CLOCK_SPEED: int = 1789773) -> None:
        """Reads the cartridge image from rom_file.read(); rom_file.name gives the game folder."""

    def cpuMem(self) -> numpy.typing.NDArray[numpy.uint8]:
        """The CPU address space, shape (65536,), aliasing the machine's memory."""

    def ppuMem(self) -> numpy.typing.NDArray[numpy.uint8]:
        """The PPU address space, shape (16384,)."""

    def OAM(self) -> numpy.typing.NDArray[numpy.uint8]:
        """Sprite memory, shape (256,)."""

    def getImg(self) -> numpy.typing.NDArray[numpy.uint8]:
        """The picture, shape (240, 256, 3), RGB, aliasing the frame buffer being drawn."""

    def colorLookup(self) -> numpy.typing.NDArray[numpy.uint8]:
        """The system palette, shape (64, 3), RGB."""

    def getAudio(self) -> bytes:
        """The latest block of 1024 mono int16 samples at 44100 Hz (2048 bytes), or b"" if none is new."""

    def start(self) -> None:
        """Runs the console in real time on a background thread."""

    def stop(self) -> None:
        """Writes the battery RAM file and ends the background thread."""

    def saveState(self, slot: int, /) -> None: ...
    def loadState(self, slot: int, /) -> bool:
        """False when the slot holds no state."""

    def setPaused(self, paused: bool, /) -> None: ...
    def setSaveDir(self, directory: str | bytes, /) -> bool:
        """Moves the state files to an existing directory; False if it does not exist."""

    def getSaveDir(self) -> str: ...
    def setController(self, pad: Controller, port: int, /) -> None:
        """Plugs pad into port 0 ($4016) or 1 ($4017)."""

    def frameCount(self) -> int: ...
    def cycleCount(self) -> int: ...
    def runFrame(self) -> None:
        """Steps the console on the calling thread until the next frame boundary."""

    def perFrame(self, callback: Callable[[], None] | None, /) -> None:
        """Calls callback at every frame boundary, on the thread that steps the console; None removes it."""

class Controller:
    """A standard pad; all buttons start released."""

    def __init__(self) -> None: ...
    def updateInputs(self, buttons: list[Any], /) -> None:
        """Sets the buttons from the truth of the first 8 values: A, B, Select, Start, Up, Down, Left, Right."""
