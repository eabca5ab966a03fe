#!/usr/bin/env python3
"""Frames per second of `runFrame`, printed as a table.

Usage: python benchmarks/frame_rate.py [ROM] [--frames N] [--runs N] [--warmup N]

Measures the cartridge at ROM when one is given, and always the synthetic workload (background
on, 64 sprites moved every frame through OAM DMA, three sound channels playing). Each run builds
a fresh machine, runs the warm-up frames, then times N frames. The save folders the machines
create go to a temporary HOME that is removed afterwards.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import io
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Iterator, List, Tuple

REAL_TIME_FPS = 1789773 / 29780.5  # CPU cycles per second / CPU cycles per frame

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))


@contextlib.contextmanager
def quiet_stdout() -> Iterator[None]:
    """Sends file descriptor 1 to /dev/null while the machine prints its load-time lines."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), 1)
            try:
                yield
            finally:
                ctypes.CDLL(None).fflush(None)
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def measure(make: Callable[[], Any], frames: int, runs: int, warmup: int) -> List[float]:
    rates = []
    for _ in range(runs):
        with quiet_stdout():
            nes = make()
            for _ in range(warmup):
                nes.runFrame()
        start = time.perf_counter()
        for _ in range(frames):
            nes.runFrame()
        elapsed = time.perf_counter() - start
        rates.append(frames / elapsed)
        del nes
    return rates


def format_table(rows: List[List[str]]) -> str:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for n, row in enumerate(rows):
        cells = [row[0].ljust(widths[0])] + [cell.rjust(w) for cell, w in zip(row[1:], widths[1:])]
        lines.append("  ".join(cells))
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("rom", nargs="?", help="an iNES cartridge image to measure as well")
    parser.add_argument("--frames", type=int, default=600, help="timed frames per run (default 600)")
    parser.add_argument("--runs", type=int, default=3, help="runs per workload (default 3)")
    parser.add_argument("--warmup", type=int, default=30, help="untimed frames before each run (default 30)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as home:
        os.environ["HOME"] = home
        import pictor
        from pictor_cli.synthetic import build_synthetic_rom

        workloads: List[Tuple[str, Callable[[], Any]]] = []
        if args.rom:
            rom_path = args.rom
            workloads.append((Path(rom_path).name, lambda: pictor.NES(rom_path)))
        image = build_synthetic_rom()

        def synthetic() -> Any:
            rom_file = io.BytesIO(image)
            rom_file.name = "synthetic.nes"
            return pictor.NES(rom_file)

        workloads.append(("synthetic", synthetic))

        rows = [["workload", "frames", "runs", "median fps", "slowest", "fastest", "x real time"]]
        for label, make in workloads:
            rates = measure(make, args.frames, args.runs, args.warmup)
            median = statistics.median(rates)
            rows.append(
                [
                    label,
                    str(args.frames),
                    str(args.runs),
                    f"{median:.1f}",
                    f"{min(rates):.1f}",
                    f"{max(rates):.1f}",
                    f"{median / REAL_TIME_FPS:.2f}",
                ]
            )
    print(format_table(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
