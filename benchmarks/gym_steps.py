"""Steps per second of pictor/NES-v0: N separate environments, Gymnasium's async vector, threads and the batch.

    python benchmarks/gym_steps.py [--steps N] [--frameskip N] [--obs-type rgb|grayscale|ram] [ROM]

Each row builds its environments, resets them, takes a few steps to warm up and then times
--steps steps of random actions (the same for every row) for 1, 2, 4 and 8 machines. steps/s
counts the steps of all machines together; "x one env" compares it with one environment.

- single: N NESEnv stepped one after the other (Gymnasium's sync vector);
- async: Gymnasium's async vector (one process per machine);
- thread: pictor_gym.ThreadVectorEnv (NESEnv on a pool of Python threads);
- batch: the default vector environment, pictor_gym.BatchVectorEnv (one pictor.Batch).

"outside emulation" is the share of a batch step's time not spent running frames: measured
against what the batch's threads can emulate, as many machines' runFrame loops on as many
threads, taken in turns with the row's steps (on a shared host two threads rarely give twice
one). Needs the gym extra (pip install 'pictor[gym]').
"""

from __future__ import annotations

import argparse
import os
import statistics
import threading
import time
from typing import List, Optional, Tuple

import gymnasium
import numpy as np

import pictor
import pictor_gym
from pictor_cli.bench import format_table, host_lines
from pictor_cli import demo_path

MODES = {"single": "sync", "async": "async", "thread": "thread", "batch": "vector_entry_point"}
ENV_COUNTS = (1, 2, 4, 8)
WARM_UP = 10
ROUNDS = 5  # batch rows: timed steps and their reference taken in turns


def make(mode: str, num_envs: int, rom: Optional[str], frameskip: int, obs_type: str) -> gymnasium.vector.VectorEnv:
    kwargs = dict(rom=rom, frameskip=frameskip, obs_type=obs_type)
    if mode == "thread":
        return pictor_gym.make_thread_vector_env(num_envs, **kwargs)
    return gymnasium.make_vec(pictor_gym.ENV_ID, num_envs=num_envs, vectorization_mode=MODES[mode], **kwargs)


def steps_per_second(
    mode: str, num_envs: int, steps: int, rom: Optional[str], frameskip: int, obs_type: str, rounds: int = 1
) -> List[Tuple[float, float]]:
    """The timed steps in `rounds` rounds: for each, its steps per second and, for batch rows, what
    the threads could emulate in steps per second, measured just before it."""
    envs = make(mode, num_envs, rom, frameskip, obs_type)
    threads = min(num_envs, os.cpu_count() or 1)
    results = []
    try:
        actions = np.random.default_rng(0).integers(0, envs.single_action_space.n, (WARM_UP + steps, num_envs))
        envs.reset(seed=0)
        for a in actions[:WARM_UP]:
            envs.step(a)
        for chunk in np.array_split(actions[WARM_UP:], max(1, min(rounds, steps))):
            ideal = 0.0
            if mode == "batch":
                per_thread = max(1, len(chunk) * frameskip * num_envs // threads)
                ideal = frames_per_second(rom, per_thread, threads) / frameskip
            start = time.perf_counter()
            for a in chunk:
                envs.step(a)
            elapsed = time.perf_counter() - start
            results.append((num_envs * len(chunk) / elapsed if elapsed > 0 else float("inf"), ideal))
    finally:
        envs.close()
    return results


def frames_per_second(rom: Optional[str], frames: int, threads: int = 1) -> float:
    """The runFrame rate of `threads` machines, each on a thread of its own (runFrame runs without
    the interpreter lock): the emulation a step cannot avoid."""
    machines = [pictor.NES(rom or demo_path(), verbose=False, battery_file="none") for _ in range(threads)]

    def run(nes: pictor.NES, count: int) -> None:
        for _ in range(count):
            nes.runFrame()

    for nes in machines:
        run(nes, WARM_UP)
    workers = [threading.Thread(target=run, args=(nes, frames)) for nes in machines]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return threads * frames / (time.perf_counter() - start)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("rom", nargs="?", help="iNES cartridge image (default: the demo cartridge)")
    parser.add_argument("--steps", type=int, default=300, help="timed steps per row (default: %(default)s)")
    parser.add_argument("--frameskip", type=int, default=4, help="frames per step (default: %(default)s)")
    parser.add_argument("--obs-type", default="rgb", choices=("rgb", "grayscale", "ram"))
    args = parser.parse_args(argv)

    emulation = frames_per_second(args.rom, args.steps * args.frameskip)
    rows = [["mode", "envs", "steps/s", "frames/s", "x one env", "threads' runFrame", "outside emulation"]]
    single = None
    for mode in MODES:
        for n in ENV_COUNTS:
            results = steps_per_second(
                mode, n, args.steps, args.rom, args.frameskip, args.obs_type, ROUNDS if mode == "batch" else 1
            )
            rate = len(results) / sum(1 / r for r, _ in results)  # all steps over all their time
            single = single or rate
            reference = outside = ""
            if mode == "batch":
                # Rounds alternate with their reference, so that a busy host slows both alike.
                reference = f"{statistics.median(ideal for _, ideal in results) * args.frameskip:.0f}"
                outside = f"{max(0.0, statistics.median(1 - r / ideal for r, ideal in results)):.0%}"
            rate_cells = [f"{rate:.0f}", f"{rate * args.frameskip:.0f}", f"{rate / single:.2f}"]
            rows.append([mode, str(n), *rate_cells, reference, outside])
    print("\n".join(host_lines()))
    print(f"cartridge: {args.rom or 'demo'}, frameskip {args.frameskip}, obs_type {args.obs_type}, {args.steps} steps")
    print(f"one machine's runFrame: {emulation:.0f} frames/s")
    print(format_table(rows))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
