"""NESEnv: one pictor machine as a Gymnasium environment."""

from __future__ import annotations

import io
import os
import shutil
import tempfile
import threading
import weakref
from collections.abc import Callable, Iterable
from typing import Any, Dict, List, Literal, Optional, SupportsFloat, Tuple, Union

import gymnasium
import numpy as np
import numpy.typing as npt
from gymnasium import spaces

import pictor
from pictor_cli.machine import INES_MAGIC, demo_cartridge
from pictor_cli.media import FRAME_RATE

from .actions import Combination, action_table, meaning
from .human import HumanView

RELEASED = (False,) * 8
RAM_SIZE = 0x800  # the console's 2 KiB of work RAM, $0000-$07FF
# Luma of an RGB pixel in whole numbers: ITU-R BT.601 weights scaled to 256 (77 + 150 + 29),
# rounded to nearest, so white stays 255 and the result is the same on every machine.
LUMA_WEIGHTS = np.array([77, 150, 29], np.uint16)

Rom = Union[str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, bytearray, memoryview, None]
RamFn = Callable[[npt.NDArray[np.uint8]], Any]
Obs = npt.NDArray[np.uint8]
Accuracy = Literal["standard", "hardware"]
ObsType = Literal["rgb", "grayscale", "ram"]

def _check_whole(name: str, value: Any, least: int) -> None:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < least:
        raise ValueError(f"{name} must be a whole number of at least {least}, got {value!r}")


def luma(picture: npt.NDArray[np.uint8]) -> Obs:
    """The grayscale of a (240, 256, 3) RGB picture: (77 R + 150 G + 29 B + 128) >> 8, uint8."""
    weighted = picture.astype(np.uint16) * LUMA_WEIGHTS
    total = weighted[..., 0] + weighted[..., 1] + weighted[..., 2] + 128  # at most 65408
    result: Obs = (total >> 8).astype(np.uint8)
    return result


def read_rom(rom: Rom) -> Tuple[bytes, str]:
    """The cartridge image and its label: the demo cartridge for None, a file for a path, or the bytes."""
    if rom is None:
        cart = demo_cartridge()
        assert cart.data is not None
        return cart.data, cart.label
    if isinstance(rom, (bytes, bytearray, memoryview)):
        data, label = bytes(rom), "game"
        if not data.startswith(INES_MAGIC):
            raise ValueError("rom given as bytes must be a cartridge image, but these bytes have no iNES header")
        return data, label
    if isinstance(rom, (str, os.PathLike)):
        path = os.fspath(rom)
        data = pictor.readCartridge(path)  # regular files only: never a wait on a FIFO or a device
        return data, os.path.splitext(os.path.basename(os.fsdecode(path)))[0]
    raise TypeError(f"rom must be a path, a path-like object or the bytes of an image, got {type(rom).__name__}")


class NESEnv(gymnasium.Env[Obs, np.int64]):
    """One NES console running a cartridge, stepped a few frames per action.

    Each step holds one button combination on pad 1 for `frameskip` frames. The observation is the
    last picture (RGB or grayscale) or the 2 KiB of work RAM; `reward_fn` and `terminated_fn` read
    that RAM after every step. `reset` restores the snapshot taken right after power-on, so every
    episode starts from the same console and the same seed and actions repeat it exactly.

    The machine keeps its game folder (state slots; no battery RAM file) in a private temporary folder
    that `close` removes: episodes neither depend on nor change the saves in the user's home, and
    a battery-backed cartridge powers on with cleared battery RAM every time.
    """

    _cleanup: Callable[[], object]  # removes the private save folder, once
    metadata: Dict[str, Any] = {"render_modes": ["rgb_array", "human"], "render_fps": FRAME_RATE / 4}

    def __init__(
        self,
        rom: Rom = None,
        *,
        frameskip: int = 4,
        max_pool: bool = False,
        actions: Union[str, Iterable[Combination], None] = None,
        obs_type: ObsType = "rgb",
        obs_shape: Optional[Tuple[int, int]] = None,
        frame_stack: int = 1,
        reward_fn: Optional[RamFn] = None,
        terminated_fn: Optional[RamFn] = None,
        max_episode_steps: Optional[int] = None,
        render_mode: Optional[str] = None,
        noop_max: int = 0,
        info_ram: bool = False,
        accuracy: Accuracy = "standard",
    ):
        """Builds the console for a cartridge and takes its power-on snapshot.

        rom: the cartridge: a path (str or os.PathLike) or the bytes of an iNES image; None is the
            demo cartridge that ships with pictor.
        frameskip: frames each step holds its action for (at least 1).
        max_pool: the picture observation is the element-wise maximum of the last two frames of the
            step (after the grayscale conversion for "grayscale", before obs_shape's resizing); for
            pictures only.
        actions: the button combinations of the actions: "Right+A" style strings or sequences of
            button names; None for DEFAULT_ACTIONS, "all" for all 256 (action n holds the buttons of
            the bits of n in pad order: bit 0 A, 1 B, 2 Select, 3 Start, 4 Up, 5 Down, 6 Left,
            7 Right).
        obs_type: "rgb" (240, 256, 3), "grayscale" (240, 256) or "ram" (2048,), all uint8.
        obs_shape: (height, width) of a smaller picture, each pixel the average of the area it
            covers (84, 84 as agents for this console usually take); for pictures only.
        frame_stack: the observation is the last frame_stack observations, oldest first, on a new
            leading axis (when above 1); after a reset every place holds the first one.
        reward_fn: called with a read-only copy of the 2 KiB RAM after each step; its float is the
            reward (default: 0).
        terminated_fn: called likewise; its truth ends the episode (default: never).
        max_episode_steps: steps after which `truncated` is True (default: no limit).
        render_mode: None, "rgb_array" (render returns the last picture) or "human" (a window with
            sound, as `pictor play` shows, paced to the console's 60 frames per second).
        noop_max: after each reset, run a number of frames without buttons drawn uniformly from
            0 to noop_max with the environment's random generator (seeded by reset).
        info_ram: put a copy of the RAM in every info as "ram".
        accuracy: the machine's timing model, "standard" or "hardware" (the console cycle by cycle,
            slower); see pictor.NES.
        """
        _check_whole("frameskip", frameskip, 1)
        _check_whole("frame_stack", frame_stack, 1)
        _check_whole("noop_max", noop_max, 0)
        if max_episode_steps is not None:
            _check_whole("max_episode_steps", max_episode_steps, 1)
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(f"render_mode must be None, 'rgb_array' or 'human', got {render_mode!r}")

        self.frameskip = int(frameskip)
        self.max_pool = bool(max_pool)
        self.obs_type = obs_type
        self.obs_shape = None if obs_shape is None else (int(obs_shape[0]), int(obs_shape[1]))
        self.frame_stack = int(frame_stack)
        self.reward_fn = reward_fn
        self.terminated_fn = terminated_fn
        self.max_episode_steps = None if max_episode_steps is None else int(max_episode_steps)
        self.render_mode = render_mode
        self.noop_max = int(noop_max)
        self.info_ram = bool(info_ram)
        self.accuracy = accuracy
        # Set by whoever steps the environment from another thread (ThreadVectorEnv on a Ctrl-C):
        # a step under way then ends at the next frame with StepHalted.
        self.halt: Optional[threading.Event] = None
        self.metadata = {**self.metadata, "render_fps": FRAME_RATE / self.frameskip}

        self._pads = action_table(actions)
        self.action_space = spaces.Discrete(len(self._pads))
        # The module checks the observation's settings (ValueError naming the argument) before
        # anything is read or made on disk.
        pictor.Observer(pictor.NES(verbose=False), **self._observation_settings())

        self._image, self.label = read_rom(rom)
        self._view: Optional[HumanView] = HumanView(self.label) if render_mode == "human" else None
        self._nes: Optional[pictor.NES] = None
        self._build()
        self.observation_space = spaces.Box(0, 255, self._observer.observation.shape, np.uint8)
        self._power_on = self.machine.getState()
        self._steps = 0

    # The machine ----------------------------------------------------------------------------------

    def _build(self) -> None:
        """Builds the machine with a fresh private save folder and plugs in pad 1."""
        folder = tempfile.mkdtemp(prefix="pictor-gym-")
        self._cleanup = weakref.finalize(self, shutil.rmtree, folder, ignore_errors=True)
        source = io.BytesIO(self._image)
        source.name = "game.nes"  # names the game folder, inside the private one
        # The folder goes with the environment: no battery RAM file, which nothing would read.
        nes = pictor.NES(source, verbose=False, save_root=folder, accuracy=self.accuracy, battery_file="none")
        self._pad = pictor.Controller()
        nes.setController(self._pad, 0)
        self._nes = nes
        self._picture = nes.getImg()  # live views: they follow the machine
        self._memory = nes.cpuMem()
        self._observer = pictor.Observer(nes, **self._observation_settings())

    def _observation_settings(self) -> Dict[str, Any]:
        return {
            "obs_type": self.obs_type,
            "obs_shape": self.obs_shape,
            "frame_stack": self.frame_stack,
            "max_pool": self.max_pool,
        }

    @property
    def machine(self) -> pictor.NES:
        """The pictor.NES this environment steps (for its palette, snapshots, audio...)."""
        if self._nes is None:
            raise RuntimeError("the environment is closed")
        return self._nes

    def get_action_meanings(self) -> List[str]:
        """The name of each action: "NOOP" or its buttons joined by '+', directions first ("Right+A")."""
        return [meaning(pad) for pad in self._pads]

    # The Gymnasium API ----------------------------------------------------------------------------

    def reset(
        self, *, seed: Optional[int] = None, options: Optional[Dict[str, Any]] = None
    ) -> Tuple[Obs, Dict[str, Any]]:
        """Back to the power-on snapshot, then 0 to noop_max frames without buttons; options are unused."""
        super().reset(seed=seed)
        nes = self.machine
        nes.setState(self._power_on)
        self._steps = 0
        self._pad.updateInputs(RELEASED)
        noops = int(self.np_random.integers(0, self.noop_max, endpoint=True)) if self.noop_max else 0
        if noops == 0:
            self._observer.hold()  # no frame before the last: the picture pools with itself
        self._run(nes, noops)
        ram = self._ram()
        if self.render_mode == "human":
            self._show(noops)
        return np.array(self._observer.fill()), self._info(ram)

    def step(self, action: Any) -> Tuple[Obs, SupportsFloat, bool, bool, Dict[str, Any]]:
        nes = self.machine
        index = int(action)
        if index != action or not 0 <= index < len(self._pads):
            raise ValueError(f"action must be a whole number from 0 to {len(self._pads) - 1}, got {action!r}")
        self._pad.updateInputs(self._pads[index])
        self._run(nes, self.frameskip)
        self._steps += 1
        ram = self._ram()
        reward = 0.0 if self.reward_fn is None else float(self.reward_fn(ram))
        terminated = False if self.terminated_fn is None else bool(self.terminated_fn(ram))
        truncated = self.max_episode_steps is not None and self._steps >= self.max_episode_steps
        info = self._info(ram)
        if self.render_mode == "human":
            self._show(self.frameskip)
        return np.array(self._observer.push()), reward, terminated, truncated, info

    def render(self) -> Optional[Obs]:
        """The last picture, a (240, 256, 3) uint8 copy, for "rgb_array"; shows it for "human"."""
        if self.render_mode == "rgb_array":
            return np.array(self.machine.getImg())
        if self.render_mode == "human":
            if self._view is not None:
                self._view.show(self._picture, self.machine.readAudio(), 0)
            return None
        gymnasium.logger.warn("render() was called without a render_mode; pass render_mode='rgb_array' or 'human'")
        return None

    def close(self) -> None:
        """Closes the window, drops the machine and removes its private folder; closing twice is fine."""
        if self._view is not None:
            self._view.close()
            self._view = None
        if self._nes is not None:
            self._nes = None  # the views keep it alive until they go too
            del self._picture, self._memory, self._pad, self._observer
        self._cleanup()

    # Inside a step --------------------------------------------------------------------------------

    def _run(self, nes: pictor.NES, frames: int) -> None:
        for i in range(frames):
            if self.halt is not None and self.halt.is_set():
                raise StepHalted("the step was halted between two frames")
            if self.max_pool and i == frames - 1:
                self._observer.hold()
            nes.runFrame()

    def _ram(self) -> npt.NDArray[np.uint8]:
        ram = np.array(self._memory[:RAM_SIZE])
        ram.flags.writeable = False
        return ram

    def _info(self, ram: npt.NDArray[np.uint8]) -> Dict[str, Any]:
        info: Dict[str, Any] = {"frame_count": self.machine.frameCount()}
        if self.info_ram:
            info["ram"] = ram
        return info

    def _show(self, frames: int) -> None:
        """Shows the picture once render() has opened the window (steps and resets follow it)."""
        if self._view is not None and self._view.opened:
            self._view.show(self._picture, self.machine.readAudio(), frames)

    # Pickling: the settings and the machine's snapshot; the copy builds its own machine. ----------

    def __getstate__(self) -> Dict[str, Any]:
        state = {k: v for k, v in self.__dict__.items() if k not in _NOT_PICKLED}
        state["_machine_state"] = None if self._nes is None else self._nes.getState()
        state["_stack"] = None if self._nes is None else np.array(self._observer.observation)
        state["_wants_view"] = self._view is not None
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        machine_state = state.pop("_machine_state")
        stack = state.pop("_stack")
        wants_view = state.pop("_wants_view")
        self.__dict__.update(state)
        self.halt = None
        self._view = HumanView(self.label) if wants_view else None
        self._nes = None
        self._cleanup = _nothing
        if machine_state is not None:  # else it was closed, and stays so
            self._build()
            self.machine.setState(machine_state)
            np.copyto(self._observer.observation, stack)


def _nothing() -> None:
    pass


class StepHalted(Exception):
    """A step ended early, between two frames, because its `halt` event was set."""


_NOT_PICKLED = frozenset({"_nes", "_pad", "_picture", "_memory", "_observer", "_cleanup", "_view", "halt"})
