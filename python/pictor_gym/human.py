"""render_mode="human": the `pictor play` window and sound, paced to the console's frame rate."""

from __future__ import annotations

import contextlib
import os
import time
import warnings
from typing import Any, Iterator, Optional

import numpy as np
from gymnasium.error import DependencyNotInstalled

from pictor_cli.machine import CliError
from pictor_cli.media import FRAME_RATE, PLAY_EXTRA
from pictor_cli.play import DEFAULT_SCALE, Screen, import_pygame

MAX_LAG = 0.25  # seconds behind the console's pace after which the window stops catching up


def require_pygame() -> Any:
    try:
        return import_pygame()
    except CliError:
        raise DependencyNotInstalled(f"render_mode='human' needs pygame: {PLAY_EXTRA}") from None


@contextlib.contextmanager
def quiet_stderr() -> Iterator[None]:
    """Standard error of the C libraries sent nowhere: a machine without a display or sound card
    makes the sound and video libraries print a dozen lines while they look for one."""
    saved = os.dup(2)
    try:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


class HumanView:
    """Shows each step's last picture and plays its sound, no faster than the console would.

    The window and the sound device open at the first picture; what cannot open is said in one
    warning (no window: nothing is shown). Closing the window (its close button) stops the
    showing; the environment steps on without it.
    """

    def __init__(self, label: str, *, scale: int = DEFAULT_SCALE, sound: bool = True):
        self.pygame = require_pygame()
        self.label = label
        self.screen = Screen(self.pygame, scale=scale, sound=sound)
        self.opened = False
        self.closed = False
        self.due: Optional[float] = None  # when the picture after the last shown one is due

    def show(self, frame: np.ndarray, samples: np.ndarray, frames: int) -> None:
        """Shows `frame`, queues `samples` (int16) and waits until `frames` console frames have passed."""
        if self.closed:
            return
        if not self.opened:
            self.opened = True
            try:
                with quiet_stderr():
                    self.screen.open(f"pictor - {self.label}")
            except CliError as err:
                warnings.warn(f"render_mode='human': {err}; the environment runs on without showing it", stacklevel=3)
                self.closed = True
                return
            if self.screen.no_sound is not None:
                warnings.warn(f"render_mode='human': no sound ({self.screen.no_sound})", stacklevel=3)
        for event in self.pygame.event.get():
            if event.type == self.pygame.QUIT:
                self.close()
                return
        self.screen.show(frame)
        if samples.size:
            self.screen.audio.append(samples.tobytes())
        self.screen.feed_audio()
        now = time.perf_counter()
        if self.due is None or now - self.due > MAX_LAG:
            self.due = now
        self.due += frames / FRAME_RATE
        delay = self.due - time.perf_counter()
        if delay > 0:
            time.sleep(delay)

    def close(self) -> None:
        if self.opened and not self.closed and self.screen.window is not None:
            self.screen.close()
        self.closed = True
