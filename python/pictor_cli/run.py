"""`pictor run`: emulate a number of frames headless and keep the picture, an animation and the sound."""

from __future__ import annotations

import argparse
import contextlib
import time
from typing import Any, List, Optional

import numpy as np

from .machine import Cartridge, CliError, build_machine, load_module
from .media import GifRecorder, WavRecorder, open_output, require_pillow, write_png
from .progress import Progress
from .script import Script, ScriptError, add_press_argument

DESCRIPTION = (
    "Runs a cartridge (the demo cartridge when none is given) for a number of frames on this thread, "
    "without a window, pressing scripted buttons on pad 1. It can keep the last picture as PNG, every "
    "Nth picture as an animated GIF and the sound as a 16-bit mono 44100 Hz WAV, then prints the "
    "frames per second. A battery-backed game's save is read but not written back unless --save is "
    "given, so a scripted run never overwrites a real save. PNG and GIF need Pillow (pip install "
    "'pictor[play]'); WAV needs nothing extra."
)


def add_arguments(parser: argparse.ArgumentParser, positive_int: Any) -> None:
    parser.add_argument("rom", nargs="?", metavar="ROM", help="iNES cartridge image (default: the demo cartridge)")
    parser.add_argument(
        "--frames", type=positive_int, default=600, metavar="N", help="frames to emulate (default: %(default)s)"
    )
    add_press_argument(parser, "scripted presses on pad 1.")
    parser.add_argument("--png", metavar="PATH", help="write the last picture as PNG")
    parser.add_argument("--gif", metavar="PATH", help="write the run as an animated GIF")
    parser.add_argument(
        "--gif-every", type=positive_int, default=2, metavar="N", help="keep every Nth frame in the GIF (default: 2)"
    )
    parser.add_argument("--wav", metavar="PATH", help="write the sound as WAV (16-bit mono, 44100 Hz)")
    parser.add_argument(
        "--progress", action="store_true", help="show progress on stderr even when it is not a terminal"
    )
    parser.add_argument(
        "--save", action="store_true", help="write the game's battery RAM back to its save folder at the end"
    )


def parse_script(args: argparse.Namespace) -> Script:
    try:
        return Script.parse(args.press)
    except ScriptError as err:
        raise CliError(str(err), status=2) from None


def command(args: argparse.Namespace) -> int:
    script = parse_script(args)
    if args.png is not None:
        require_pillow("pictor run --png")
    if args.gif is not None:
        require_pillow("pictor run --gif")
    cart = Cartridge.from_argument(args.rom)
    battery_file = "read-write" if args.save else "read-only"
    nes = build_machine(cart, verbose=args.verbose, accuracy=args.accuracy, battery_file=battery_file)
    try:
        with contextlib.ExitStack() as files:
            return _run(args, cart, nes, script, files)
    except OSError as err:
        raise CliError(f"cannot write output: {err.strerror or err}") from None
    finally:
        nes.perFrame(None)  # drops the machine -> callback -> machine cycle


def _run(args: argparse.Namespace, cart: Cartridge, nes: Any, script: Script, files: contextlib.ExitStack) -> int:
    pad = load_module().Controller()
    nes.setController(pad, 0)
    png_out = files.enter_context(open_output(args.png)) if args.png is not None else None
    gif: Optional[GifRecorder] = None
    wav: Optional[WavRecorder] = None
    if args.gif is not None:
        gif = GifRecorder(files.enter_context(open_output(args.gif)), args.gif_every, nes.colorLookup())
    if args.wav is not None:
        wav = WavRecorder(files.enter_context(open_output(args.wav)))
        files.callback(wav.discard)

    # Pictures are taken in the per-frame callback, at the frame boundary itself: when runFrame
    # returns, the machine has already drawn the first few dots of the next picture.
    last_picture = np.zeros((240, 256, 3), np.uint8)
    frames = 0

    def on_frame() -> None:
        picture = nes.getImg()
        if png_out is not None:
            np.copyto(last_picture, picture)
        if gif is not None:
            gif.offer(frames, picture)

    if png_out is not None or gif is not None:
        nes.perFrame(on_frame)

    progress = Progress(f"{cart.label}: frame", args.frames, enabled=True if args.progress else None)
    pressed: List[bool] = [False] * 8
    interrupted = False
    start = time.perf_counter()
    try:
        for frame in range(args.frames):
            states = script.buttons(frame)
            if states != pressed:
                pad.updateInputs(states)
                pressed = states
            nes.runFrame()
            frames += 1
            if wav is not None:
                wav.add(nes.getAudio())
            progress.update(frames)
    except KeyboardInterrupt:
        interrupted = True
    elapsed = time.perf_counter() - start
    progress.finish()

    if png_out is not None:
        write_png(png_out, last_picture)
        png_out.close()
        print(f"wrote {args.png} (256x240 PNG)")
    if gif is not None:
        print(f"wrote {args.gif} ({gif.close()} frames, every {args.gif_every})")
    if wav is not None:
        print(f"wrote {args.wav} ({wav.close():.2f} s of sound, 44100 Hz mono 16-bit)")
    fps = frames / elapsed if elapsed > 0 else float("inf")
    print(f"{cart.label}: {frames} frames in {elapsed:.2f} s, {fps:.1f} frames per second")
    return 130 if interrupted else 0
