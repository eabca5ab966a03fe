"""Writing what a run produced: the last picture (PNG), an animation (GIF) and the sound (WAV)."""

from __future__ import annotations

import contextlib
import sys
import wave
from array import array
from typing import Any, BinaryIO, List

import numpy as np

from .machine import CliError

PLAY_EXTRA = "pip install 'pictor[play]'"
SAMPLE_RATE = 44100
# Pictures per second at the default clock: 3 dots per CPU cycle, 341 x 262 dots per picture.
FRAME_RATE = 1789773 * 3 / (341 * 262)


def require_pillow(what: str) -> Any:
    try:
        from PIL import Image
    except ImportError:
        raise CliError(f"{what} needs Pillow: {PLAY_EXTRA}") from None
    return Image


def open_output(path: str) -> BinaryIO:
    try:
        return open(path, "wb")
    except OSError as err:
        raise CliError(f"cannot write '{path}': {err.strerror or err}") from None


def write_png(out: BinaryIO, frame: np.ndarray) -> None:
    Image = require_pillow("pictor run --png")
    Image.fromarray(np.ascontiguousarray(frame, dtype=np.uint8)).save(out, format="PNG")


class GifRecorder:
    """Keeps every Nth frame as a palette image and writes them as one looping GIF."""

    def __init__(self, out: BinaryIO, every: int, system_palette: np.ndarray):
        self.Image = require_pillow("pictor run --gif")
        self.out = out
        self.every = every
        # Pictures are drawn from the system palette, so mapping onto its colours loses nothing.
        colours = np.unique(np.asarray(system_palette, dtype=np.uint8).reshape(-1, 3), axis=0)
        self.palette = self.Image.new("P", (1, 1))
        self.palette.putpalette(colours.tobytes())
        self.frames: List[Any] = []

    def offer(self, index: int, frame: np.ndarray) -> None:
        if index % self.every == 0:
            image = self.Image.fromarray(np.array(frame, dtype=np.uint8))
            self.frames.append(image.quantize(palette=self.palette, dither=self.Image.Dither.NONE))

    def durations(self) -> List[int]:
        # GIF delays are whole centiseconds; rounding the running time keeps the total exact.
        step = 100.0 * self.every / FRAME_RATE
        marks = [round(i * step) for i in range(len(self.frames) + 1)]
        return [10 * max(1, b - a) for a, b in zip(marks, marks[1:])]

    def close(self) -> int:
        if self.frames:
            first, rest = self.frames[0], self.frames[1:]
            first.save(self.out, format="GIF", save_all=True, append_images=rest, duration=self.durations(), loop=0)
        self.out.close()
        return len(self.frames)


class WavRecorder:
    """Streams the 16-bit mono blocks of getAudio into a WAV file."""

    def __init__(self, out: BinaryIO):
        self.file = out
        self.wav = wave.open(out, "wb")
        self.wav.setnchannels(1)
        self.wav.setsampwidth(2)
        self.wav.setframerate(SAMPLE_RATE)
        self.samples = 0

    def add(self, block: bytes) -> None:
        if not block:
            return
        if sys.byteorder == "big":
            # The machine hands over samples in host order; WAV is little-endian.
            samples = array("h", block)
            samples.byteswap()
            block = samples.tobytes()
        self.wav.writeframes(block)
        self.samples += len(block) // 2

    def close(self) -> float:
        self.wav.close()
        self.file.close()
        return self.samples / SAMPLE_RATE

    def discard(self) -> None:
        """Lets go of the WAV writer after a failed write, so that it does not try again later."""
        with contextlib.suppress(OSError, ValueError):
            self.wav.close()
