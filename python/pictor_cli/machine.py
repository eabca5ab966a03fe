"""Finding cartridges and building machines for the commands."""

from __future__ import annotations

import io
import os
import sys
import warnings
from dataclasses import dataclass
from importlib import resources
from typing import Any, Optional

INES_MAGIC = b"NES\x1a"
DEMO_NAME = "demo.nes"
ACCURACIES = ("standard", "hardware")  # the timing models a machine is built with


class CliError(Exception):
    """A failure to report to the user as one line, without a traceback."""

    def __init__(self, message: str, status: int = 1):
        super().__init__(message)
        self.status = status


def load_module() -> Any:
    try:
        import pictor
    except ImportError as err:
        raise CliError(f"cannot import the pictor module ({err}); reinstall with: pip install pictor") from None
    return pictor


@dataclass
class Cartridge:
    """A cartridge image: a file on disk, the shipped demo, or bytes made in memory."""

    label: str
    path: Optional[str] = None
    data: Optional[bytes] = None

    @classmethod
    def from_argument(cls, arg: Optional[str]) -> "Cartridge":
        return demo_cartridge() if arg is None else cls.from_file(arg)

    @classmethod
    def from_file(cls, path: str) -> "Cartridge":
        """A cartridge file, read and checked at once (the module reads regular files only)."""
        label = os.path.basename(path)
        try:
            load_module().readCartridge(os.fsencode(path))
        except IsADirectoryError:
            raise CliError(f"cannot open cartridge '{path}': it is a directory") from None
        except OSError as err:
            reason = err.strerror or str(err).removesuffix(": " + path)
            raise CliError(f"cannot open cartridge '{path}': {reason}") from None
        except ValueError as err:
            raise CliError(unusable(label, path, err)) from None
        return cls(label=label, path=path)

    @classmethod
    def from_bytes(cls, label: str, data: bytes) -> "Cartridge":
        return cls(label=label, data=bytes(data))

    @property
    def file_name(self) -> str:
        """The name the machine sees; it names the game folder for state and battery files."""
        return self.path if self.path is not None else self.label + ".nes"


def unusable(label: str, path: str, err: Exception) -> str:
    """The line for an image that is no cartridge: its name once, then the reason."""
    reason = str(err)
    for prefix in (path + ": ", os.fsdecode(os.fsencode(path)) + ": "):
        reason = reason.removeprefix(prefix)
    return f"'{label}' is not a usable cartridge image: {reason}"


def demo_path() -> str:
    """The path of the demo cartridge that ships with pictor, e.g. for pictor.NES(demo_path())."""
    path = resources.files(__package__).joinpath("data").joinpath(DEMO_NAME)
    if not path.is_file():
        raise FileNotFoundError(f"the demo cartridge is missing from this installation ({DEMO_NAME})")
    return os.fspath(path)


def packaged_cartridge(file_name: str, label: str) -> Cartridge:
    """A cartridge image shipped in the package's data folder."""
    resource = resources.files(__package__).joinpath("data").joinpath(file_name)
    try:
        data = resource.read_bytes()
    except OSError:
        raise CliError(f"the {label} cartridge is missing from this installation ({file_name})") from None
    return Cartridge.from_bytes(label, data)


def demo_cartridge() -> Cartridge:
    try:
        return packaged_cartridge(DEMO_NAME, "demo")
    except CliError:
        raise CliError("the demo cartridge is missing from this installation; give a cartridge file") from None


def build_machine(
    cart: Cartridge, verbose: bool = False, accuracy: Optional[str] = None, battery_file: str = "read-write"
) -> Any:
    """Builds a pictor.NES of the timing model (None: standard) for the cartridge; bad images become CliError.

    The machine prints its own diagnostic lines only when verbose; a warning it raises while
    being built (an unsupported mapper) is shown as one line on stderr.
    """
    pictor = load_module()
    if cart.data is not None:
        source: Any = io.BytesIO(cart.data)
        source.name = cart.file_name
    else:
        source = os.fsencode(cart.file_name)  # bytes keep any file name the file system allows
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            nes = pictor.NES(source, verbose=verbose, accuracy=accuracy or "standard", battery_file=battery_file)
    except OSError as err:
        raise CliError(f"cannot open cartridge '{cart.label}': {err.strerror or err}") from None
    except (ValueError, RuntimeError) as err:
        raise CliError(unusable(cart.label, cart.file_name, err)) from None
    for warning in caught:
        print(f"pictor: warning: {' '.join(str(warning.message).split())}", file=sys.stderr)
    return nes
