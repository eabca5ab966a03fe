"""`pictor bench`: frames per second of runFrame over several runs, as a table."""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import tempfile
import threading
import time
from typing import Any, List, Optional

from .machine import ACCURACIES, Cartridge, build_machine, demo_cartridge, packaged_cartridge
from .media import FRAME_RATE
from .progress import Progress

# The workload cartridges (workloads/ in the source tree), one per cartridge kind.
WORKLOAD_KINDS = ("nrom", "mmc1", "uxrom", "cnrom", "mmc3", "mmc4", "fme7")

DESCRIPTION = (
    "Measures how many frames per second runFrame emulates: for the demo cartridge, for the seven "
    "workload cartridges (one program that keeps the picture, sound and cartridge hardware as busy "
    "as a busy game does, built for mappers 0, 1, 2, 3, 4, 10 and 69; labelled workload-KIND), and for each "
    "cartridge given. Each run builds a fresh machine and times --frames frames. With --accuracy the "
    "table shows, for that timing model, the median over the runs, the slowest and fastest run, the "
    "spread ((fastest - slowest) / median) and the median as a multiple of the console's real-time "
    "60.1 frames per second; without it, both models side by side (median and spread of each) and the "
    "hardware model's median as a fraction of the standard one's. The host's processor and platform "
    "are printed above the table. --thread adds a table of the emulation thread's "
    "processor use while it runs in real time and while it is paused; --parallel adds one of N "
    "machines stepped on N threads at once (both in the --accuracy model, standard by default). The "
    "machines' save folders go to a temporary home "
    "folder, so benchmarking leaves the real saves alone."
)


def add_arguments(parser: argparse.ArgumentParser, positive_int: Any) -> None:
    parser.add_argument(
        "roms", nargs="*", metavar="ROM", help="more iNES cartridge images to measure after the bundled ones"
    )
    parser.add_argument(
        "--runs", type=positive_int, default=5, metavar="N", help="runs per cartridge (default: %(default)s)"
    )
    parser.add_argument(
        "--frames", type=positive_int, default=300, metavar="N", help="frames per run (default: %(default)s)"
    )
    parser.add_argument(
        "--progress", action="store_true", help="show progress on stderr even when it is not a terminal"
    )
    parser.add_argument(
        "--thread",
        type=seconds,
        metavar="SECONDS",
        help="also measure the emulation thread's processor use for SECONDS running in real time and SECONDS paused",
    )
    parser.add_argument(
        "--parallel",
        type=positive_int,
        metavar="N",
        help="also time 1 to N machines stepping --frames frames each on as many threads",
    )


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number of seconds") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"{text} is not a positive number of seconds")
    return value


def bundled_cartridges() -> List[Cartridge]:
    """The demo and the workload cartridges that ship with the package."""
    carts = [demo_cartridge()]
    for kind in WORKLOAD_KINDS:
        carts.append(packaged_cartridge(f"workload_{kind}.nes", f"workload-{kind}"))
    return carts


def cpu_model(cpuinfo: str = "/proc/cpuinfo") -> Optional[str]:
    """The processor's model name as the kernel reports it, if it does."""
    try:
        with open(cpuinfo, encoding="utf-8", errors="replace") as f:
            for line in f:
                key, sep, value = line.partition(":")
                if sep and key.strip() in ("model name", "Model", "Hardware") and value.strip():
                    return " ".join(value.split())
    except OSError:
        pass
    return None


def host_lines() -> List[str]:
    cpu = cpu_model() or platform.processor() or "unknown"
    return [f"cpu: {cpu} ({os.cpu_count() or '?'} logical processors)", f"platform: {platform.platform()}"]


def measure(
    cart: Cartridge, runs: int, frames: int, verbose: bool, accuracy: Optional[str], progress: Progress
) -> List[float]:
    rates = []
    for run in range(runs):
        nes = build_machine(cart, verbose=verbose, accuracy=accuracy)
        start = time.perf_counter()
        for frame in range(frames):
            nes.runFrame()
            progress.update(run * frames + frame + 1)
        elapsed = time.perf_counter() - start
        rates.append(frames / elapsed if elapsed > 0 else float("inf"))
        del nes
    return rates


def thread_use(cart: Cartridge, seconds: float, verbose: bool, accuracy: Optional[str]) -> List[List[str]]:
    """Processor time of the process (its main thread sleeps) per wall second, running and paused."""
    nes = build_machine(cart, verbose=verbose, accuracy=accuracy)
    rows = []
    try:
        nes.start()
        time.sleep(min(0.2, seconds))  # past the start
        for state in ("running", "paused"):
            if state == "paused":
                nes.setPaused(True)
                time.sleep(0.05)
            cpu, wall, frames = time.process_time(), time.perf_counter(), nes.frameCount()
            time.sleep(seconds)
            cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
            fps = (nes.frameCount() - frames) / wall
            rows.append([cart.label, state, f"{wall:.2f}", f"{fps:.1f}", f"{100 * cpu / wall:.2f}%"])
    finally:
        nes.stop()
    return rows


def parallel_rates(
    cart: Cartridge, most: int, frames: int, verbose: bool, accuracy: Optional[str]
) -> List[List[str]]:
    """Wall time of n machines stepping frames frames each on n threads, for n = 1..most."""
    rows = []
    single = None
    for n in range(1, most + 1):
        machines = [build_machine(cart, verbose=verbose, accuracy=accuracy) for _ in range(n)]

        def step(nes: Any) -> None:
            for _ in range(frames):
                nes.runFrame()

        threads = [threading.Thread(target=step, args=(nes,)) for nes in machines]
        start = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        wall = time.perf_counter() - start
        total = n * frames / wall if wall > 0 else float("inf")
        single = single or total
        rows.append([cart.label, str(n), str(frames), f"{wall:.2f}", f"{total:.1f}", f"{total / single:.2f}"])
        del machines
    return rows


def format_table(rows: List[List[str]]) -> str:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for n, row in enumerate(rows):
        cells = [row[0].ljust(widths[0])] + [cell.rjust(w) for cell, w in zip(row[1:], widths[1:])]
        lines.append("  ".join(cells).rstrip())
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def command(args: argparse.Namespace) -> int:
    given = [Cartridge.from_file(path) for path in args.roms]
    carts = bundled_cartridges() + given
    home = os.environ.get("HOME")
    tables = []
    with tempfile.TemporaryDirectory() as scratch_home:
        os.environ["HOME"] = scratch_home
        try:
            tables.append(measure_all(carts, args))
            if args.thread is not None:
                header = ["cartridge", "thread", "seconds", "fps", "processor use"]
                rows = [row for cart in carts for row in thread_use(cart, args.thread, args.verbose, args.accuracy)]
                tables.append([header] + rows)
            if args.parallel is not None:
                header = ["cartridge", "machines", "frames each", "seconds", "total fps", "x one machine"]
                rows = [
                    r
                    for cart in carts
                    for r in parallel_rates(cart, args.parallel, args.frames, args.verbose, args.accuracy)
                ]
                tables.append([header] + rows)
        finally:
            if home is None:
                del os.environ["HOME"]
            else:
                os.environ["HOME"] = home
    print("\n".join(host_lines()))
    print("\n\n".join(format_table(rows) for rows in tables))
    return 0


def spread(rates: List[float]) -> str:
    """(fastest - slowest) / median, in percent."""
    return f"{100 * (max(rates) - min(rates)) / statistics.median(rates):.1f}%"


def measure_all(carts: List[Cartridge], args: argparse.Namespace) -> List[List[str]]:
    """The main table: one timing model in detail (--accuracy), or both side by side."""
    models = [args.accuracy] if args.accuracy else list(ACCURACIES)
    if len(models) == 1:
        rows = [["cartridge", "frames", "runs", "median fps", "slowest", "fastest", "spread", "x real time"]]
    else:
        rows = [["cartridge", "frames", "runs"] + [f"{m} {c}" for m in models for c in ("fps", "spread")]]
        rows[0].append(" / ".join(reversed(models)))
    for cart in carts:
        rates = {}
        for model in models:
            label = f"{cart.label}: frame" if len(models) == 1 else f"{cart.label} ({model}): frame"
            progress = Progress(label, args.runs * args.frames, enabled=True if args.progress else None)
            try:
                rates[model] = measure(cart, args.runs, args.frames, args.verbose, model, progress)
            finally:
                progress.finish()
        row = [cart.label, str(args.frames), str(args.runs)]
        medians = {model: statistics.median(r) for model, r in rates.items()}
        if len(models) == 1:
            (model,) = models
            median, r = medians[model], rates[model]
            row += [f"{median:.1f}", f"{min(r):.1f}", f"{max(r):.1f}", spread(r), f"{median / FRAME_RATE:.2f}"]
        else:
            for model in models:
                row += [f"{medians[model]:.1f}", spread(rates[model])]
            row.append(f"{medians[models[1]] / medians[models[0]]:.2f}")
        rows.append(row)
    return rows
