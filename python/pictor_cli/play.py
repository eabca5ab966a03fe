"""`pictor play`: a window with picture, sound, keyboard and gamepad, running the machine in real time."""

from __future__ import annotations

import argparse
import collections
import os
import sys
import threading
import time
from typing import Any, Deque, List, Optional, Tuple

import numpy as np

from .machine import Cartridge, CliError, build_machine, load_module
from .media import PLAY_EXTRA, SAMPLE_RATE
from .run import parse_script
from .script import BUTTONS, Script, add_press_argument

DESCRIPTION = (
    "Opens a window and plays a cartridge (the demo cartridge when none is given) in real time on "
    "the machine's own thread, with sound. Keys: arrows = pad, X = A, Z = B, Enter = Start, "
    "right Shift or Backspace = Select, P = pause, F1-F4 = save state 1-4, F5-F8 = load state 1-4, "
    "Escape = quit. The first gamepad also drives pad 1 (d-pad or left stick, east button = A, "
    "south and west buttons = B, back = Select, start = Start). Needs pygame (pip install 'pictor[play]')."
)

WIDTH, HEIGHT = 256, 240
DEFAULT_SCALE = 3
AUDIO_BACKLOG = 6  # blocks of 1024 samples (about 140 ms) kept before the oldest is dropped
AUDIO_PREFILL = 2  # blocks gathered before sound starts, so the first ones do not run dry
STOP_WAIT = 1.0  # seconds to wait for the machine to reach a frame boundary when quitting
HEADLESS_DRIVERS = ("offscreen", "dummy")  # SDL video drivers that show nothing


def add_arguments(parser: argparse.ArgumentParser, positive_int: Any) -> None:
    parser.add_argument("rom", nargs="?", metavar="ROM", help="iNES cartridge image (default: the demo cartridge)")
    parser.add_argument(
        "--scale",
        type=positive_int,
        default=DEFAULT_SCALE,
        metavar="N",
        help="window scale factor (default: %(default)s)",
    )
    parser.add_argument("--frames", type=positive_int, metavar="N", help="quit after N emulated frames")
    add_press_argument(parser, "scripted presses on pad 1, added to the live controls.")
    parser.add_argument("--mute", action="store_true", help="play without sound")


def import_pygame() -> Any:
    os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
    try:
        import pygame
    except ImportError:
        raise CliError(f"pictor play needs pygame: {PLAY_EXTRA}") from None
    return pygame


def keyboard_map(pygame: Any) -> List[Tuple[int, Tuple[int, ...]]]:
    """(button index, keys) in pad order."""
    keys = {
        "A": (pygame.K_x,),
        "B": (pygame.K_z,),
        "Select": (pygame.K_RSHIFT, pygame.K_BACKSPACE),
        "Start": (pygame.K_RETURN, pygame.K_KP_ENTER),
        "Up": (pygame.K_UP,),
        "Down": (pygame.K_DOWN,),
        "Left": (pygame.K_LEFT,),
        "Right": (pygame.K_RIGHT,),
    }
    return [(BUTTONS.index(name), k) for name, k in keys.items()]


def gamepad_buttons(js: Any) -> List[bool]:
    """Pad states from a joystick in SDL's usual layout for XInput-style pads."""
    count = js.get_numbuttons()

    def held(*indexes: int) -> bool:
        return any(i < count and js.get_button(i) for i in indexes)

    x = y = 0.0
    if js.get_numaxes() >= 2:
        x, y = js.get_axis(0), js.get_axis(1)
    hat_x, hat_y = js.get_hat(0) if js.get_numhats() else (0, 0)
    return [
        held(1),  # A: east
        held(0, 2),  # B: south, west
        held(6),  # Select: back
        held(7),  # Start
        hat_y > 0 or y < -0.5,
        hat_y < 0 or y > 0.5,
        hat_x < 0 or x < -0.5,
        hat_x > 0 or x > 0.5,
    ]


class Screen:
    """A pygame window showing 256x240 pictures scaled up, with a sound channel for 16-bit mono blocks.

    `pictor play` and the Gymnasium environment's human rendering both show the machine through
    it. Only `audio.append` may be called from another thread; the rest runs on the window's
    thread.
    """

    def __init__(self, pygame: Any, *, scale: int, sound: bool):
        self.pygame = pygame
        self.scale = scale
        self.sound = sound
        self.frame = np.zeros((HEIGHT, WIDTH, 3), np.uint8)  # the picture shown by show()
        self.audio: Deque[bytes] = collections.deque(maxlen=AUDIO_BACKLOG)  # blocks not yet queued
        self.window: Any = None
        self.surface: Any = None
        self.scaled: Any = None
        self.channel: Any = None
        self.no_sound: Optional[str] = None  # why the sound could not open

    def open(self, title: str) -> None:
        """Opens the window (CliError when there is no display) and, if asked for, the sound.

        Without a sound device the window opens silent, and `no_sound` says why.
        """
        pygame = self.pygame
        try:
            pygame.display.init()
            # Without a display SDL falls back to a driver that shows nothing; one asked for by
            # name (SDL_VIDEODRIVER) is the user's choice.
            if pygame.display.get_driver() in HEADLESS_DRIVERS and not os.environ.get("SDL_VIDEODRIVER"):
                raise CliError("no window can open: there is no display (DISPLAY and WAYLAND_DISPLAY are not set)")
            self.window = pygame.display.set_mode((WIDTH * self.scale, HEIGHT * self.scale))
        except pygame.error as err:
            raise CliError(f"cannot open a window: {err}") from None
        self.set_title(title)
        self.surface = pygame.image.frombuffer(self.frame, (WIDTH, HEIGHT), "RGB")
        self.scaled = pygame.Surface(self.window.get_size(), 0, self.surface)  # scale() needs equal formats
        if self.sound:
            try:
                pygame.mixer.init(frequency=SAMPLE_RATE, size=-16, channels=1, buffer=1024, allowedchanges=0)
                self.channel = pygame.mixer.Channel(0)
            except pygame.error as err:
                self.no_sound = str(err)

    def set_title(self, title: str) -> None:
        self.pygame.display.set_caption(title)

    def show(self, frame: Optional[np.ndarray] = None) -> None:
        """Draws `frame` (or the picture already in `self.frame`) scaled to the window."""
        if frame is not None:
            np.copyto(self.frame, frame)
        self.pygame.transform.scale(self.surface, self.scaled.get_size(), self.scaled)
        self.window.blit(self.scaled, (0, 0))
        self.pygame.display.flip()

    def feed_audio(self) -> None:
        """Hands the waiting blocks to the sound channel when it has room for them."""
        channel = self.channel
        if channel is None:
            self.audio.clear()
            return
        # The channel holds one playing and one queued sound; pending blocks go out together.
        if channel.get_queue() is not None or not self.audio:
            return
        busy = channel.get_busy()
        if not busy and len(self.audio) < AUDIO_PREFILL:
            return
        data = b"".join(self.audio.popleft() for _ in range(len(self.audio)))
        sound = self.pygame.mixer.Sound(buffer=data)
        if busy:
            channel.queue(sound)
        else:
            channel.play(sound)

    def close(self) -> None:
        """Stops the sound and closes the window (pygame.quit)."""
        if self.channel is not None:
            self.channel.stop()
            self.channel = None
        self.window = self.surface = self.scaled = None
        self.pygame.quit()


class Player:
    """Runs one machine on its thread and shows it.

    Only on_frame runs on the machine's thread, at frame boundaries. The machine is only ever
    paused from there (a pause, a state request, the frame limit, quitting), so that once `idle`
    is set it is known to sit between two frames, and the main thread may save or load a state
    (the machine allows that while paused) or stop it.
    """

    def __init__(
        self,
        nes: Any,
        pad: Any,
        pygame: Any,
        *,
        label: str,
        scale: int,
        script: Script,
        frame_limit: Optional[int],
        sound: bool,
    ):
        self.nes = nes
        self.pad = pad
        self.pygame = pygame
        self.label = label
        self.script = script
        self.frame_limit = frame_limit
        self.keys = keyboard_map(pygame)

        # Shared with the machine's thread.
        self.control = threading.Lock()  # guards hold, idle, requests and the pause state together
        self.frame_lock = threading.Lock()
        self.shared_frame = np.zeros((HEIGHT, WIDTH, 3), np.uint8)
        self.new_frame = threading.Event()
        self.idle = threading.Event()  # the machine is paused at a frame boundary
        self.requests: Deque[Tuple[str, int]] = collections.deque()
        self.messages: Deque[str] = collections.deque()
        self.live: Tuple[bool, ...] = (False,) * 8
        self.pressed: List[bool] = [False] * 8
        self.frames = 0
        self.hold = False  # the player asked for a pause
        self.quitting = False
        self.finished = False  # frame limit reached, or the callback failed
        self.error: Optional[BaseException] = None

        self.screen = Screen(pygame, scale=scale, sound=sound)
        self.joystick: Any = None

    # Machine thread ---------------------------------------------------------------------------

    def on_frame(self) -> None:
        """Per-frame callback: copy the picture, take the sound block, set the pad for the next frame."""
        try:
            nes = self.nes
            with self.frame_lock:
                np.copyto(self.shared_frame, nes.getImg())
            block = nes.getAudio()
            if block:
                self.screen.audio.append(block)
            self.frames += 1
            with self.control:
                if self.frame_limit is not None and self.frames >= self.frame_limit:
                    self.finished = True
                if self.finished or self.quitting or self.hold or self.requests:
                    # The machine ends the current step, then idles without calling back.
                    nes.setPaused(True)
                    self.idle.set()
                else:
                    self._set_pad(self.frames)
            self.new_frame.set()
        except BaseException as err:  # the machine's thread has no handler; hand it to the main thread
            self.error = err
            self.finished = True
            self.nes.setPaused(True)
            self.idle.set()

    def _set_pad(self, frame: int) -> None:
        states = [s or l for s, l in zip(self.script.buttons(frame), self.live)]
        if states != self.pressed:
            self.pad.updateInputs(states)
            self.pressed = states

    def _apply(self, action: str, slot: int) -> str:
        try:
            if action == "save":
                self.nes.saveState(slot)
                return f"saved state {slot}"
            if self.nes.loadState(slot):
                return f"loaded state {slot}"
            return f"no saved state in slot {slot}"
        except (OSError, RuntimeError, ValueError) as err:
            return f"state {slot}: {err}"

    # Main thread ------------------------------------------------------------------------------

    def run(self) -> float:
        """Plays until quit or the frame limit; returns the seconds played."""
        pygame = self.pygame
        self._open_window()
        self._set_pad(0)
        self.nes.perFrame(self.on_frame)
        started = time.perf_counter()
        self.nes.start()
        try:
            while not (self.quitting or self.finished):
                for event in pygame.event.get():
                    self._handle(event)
                self._read_controls()
                if self.new_frame.wait(0.02):  # releases the interpreter lock for the machine's thread
                    self.new_frame.clear()
                    self._draw()
                self.screen.feed_audio()
                self._serve_requests()
                while self.messages:
                    self._notify(self.messages.popleft())
        finally:
            self._shutdown()
        elapsed = time.perf_counter() - started
        while self.messages:
            self._notify(self.messages.popleft())
        if self.error is not None:
            raise self.error
        return elapsed

    def _open_window(self) -> None:
        self.screen.open(self._title())
        if self.screen.no_sound is not None:
            print(f"pictor: no sound: {self.screen.no_sound}", file=sys.stderr)
        self.pygame.joystick.init()

    def _title(self, message: str = "") -> str:
        title = f"pictor - {self.label}" + (" (paused)" if self.hold else "")
        return title + (f" - {message}" if message else "")

    def _set_title(self, message: str = "") -> None:
        self.screen.set_title(self._title(message))

    def _notify(self, message: str) -> None:
        print(message, flush=True)
        if self.pygame.display.get_init():
            self._set_title(message)

    def _handle(self, event: Any) -> None:
        pygame = self.pygame
        if event.type == pygame.QUIT:
            self.quitting = True
        elif event.type == pygame.KEYDOWN:
            key = event.key
            if key == pygame.K_ESCAPE:
                self.quitting = True
            elif key == pygame.K_p:
                self._toggle_pause()
            elif pygame.K_F1 <= key <= pygame.K_F8:
                n = key - pygame.K_F1
                self._request("save" if n < 4 else "load", n % 4 + 1)
        elif event.type == pygame.JOYDEVICEADDED and self.joystick is None:
            self.joystick = pygame.joystick.Joystick(event.device_index)
        elif event.type == pygame.JOYDEVICEREMOVED and self.joystick is not None:
            if event.instance_id == self.joystick.get_instance_id():
                self.joystick = None

    def _toggle_pause(self) -> None:
        with self.control:
            self.hold = not self.hold
            if not self.hold and self.idle.is_set():
                self.idle.clear()
                self.nes.setPaused(False)
        self._set_title()

    def _request(self, action: str, slot: int) -> None:
        with self.control:
            self.requests.append((action, slot))

    def _serve_requests(self) -> None:
        """Saves and loads once the machine idles between two frames, then lets it run on."""
        with self.control:
            if not (self.idle.is_set() and self.requests):
                return
            while self.requests:
                self.messages.append(self._apply(*self.requests.popleft()))
            if not (self.hold or self.finished or self.quitting):
                self.idle.clear()
                self.nes.setPaused(False)

    def _read_controls(self) -> None:
        held = self.pygame.key.get_pressed()
        states = [any(held[k] for k in keys) for _, keys in self.keys]
        if self.joystick is not None:
            states = [a or b for a, b in zip(states, gamepad_buttons(self.joystick))]
        self.live = tuple(states)

    def _draw(self) -> None:
        with self.frame_lock:
            np.copyto(self.screen.frame, self.shared_frame)
        self.screen.show()

    def _shutdown(self) -> None:
        # stop() joins the machine's thread, which must not be waiting for the interpreter lock
        # in on_frame by then: let on_frame idle the machine at the next frame boundary first.
        self.quitting = True
        if self.idle.wait(STOP_WAIT):
            self._serve_requests()
        else:
            self.nes.setPaused(True)
            time.sleep(0.05)
        self.nes.stop()  # also writes the battery RAM
        self.nes.perFrame(None)  # drops the machine -> callback -> player -> machine cycle
        self.screen.close()


def command(args: argparse.Namespace) -> int:
    script = parse_script(args)
    pygame = import_pygame()
    cart = Cartridge.from_argument(args.rom)
    pictor = load_module()
    nes = build_machine(cart, verbose=args.verbose, accuracy=args.accuracy)
    pad = pictor.Controller()
    nes.setController(pad, 0)
    player = Player(
        nes,
        pad,
        pygame,
        label=cart.label,
        scale=args.scale,
        script=script,
        frame_limit=args.frames,
        sound=not args.mute,
    )
    try:
        elapsed = player.run()
    except KeyboardInterrupt:
        return 130
    fps = player.frames / elapsed if elapsed > 0 else 0.0
    print(f"{cart.label}: played {player.frames} frames in {elapsed:.2f} s, {fps:.1f} frames per second")
    return 0
