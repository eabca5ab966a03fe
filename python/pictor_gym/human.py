"""render_mode="human": the `pictor play` window and sound, paced to the console's frame rate."""

from __future__ import annotations

import time
from typing import Any, Optional

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


class HumanView:
    """Shows each step's last picture and plays its sound, no faster than the console would.

    The window opens at the first picture. Closing it (the window's close button) stops the
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
            try:
                self.screen.open(f"pictor - {self.label}")
            except CliError as err:
                raise RuntimeError(f"render_mode='human': {err}") from None
            self.opened = True
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
        if self.opened and not self.closed:
            self.screen.close()
        self.closed = True
