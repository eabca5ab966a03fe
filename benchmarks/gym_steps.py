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
against one machine's runFrame rate, times the threads the batch has. Needs the gym extra
(pip install 'pictor[gym]').
"""

from __future__ import annotations

import argparse
import os
import time
from typing import List, Optional

import gymnasium
import numpy as np

import pictor
import pictor_gym
from pictor_cli.bench import format_table, host_lines
from pictor_cli import demo_path

MODES = {"single": "sync", "async": "async", "thread": "thread", "batch": "vector_entry_point"}
ENV_COUNTS = (1, 2, 4, 8)
WARM_UP = 10


def make(mode: str, num_envs: int, rom: Optional[str], frameskip: int, obs_type: str) -> gymnasium.vector.VectorEnv:
    kwargs = dict(rom=rom, frameskip=frameskip, obs_type=obs_type)
    if mode == "thread":
        return pictor_gym.make_thread_vector_env(num_envs, **kwargs)
    return gymnasium.make_vec(pictor_gym.ENV_ID, num_envs=num_envs, vectorization_mode=MODES[mode], **kwargs)


def steps_per_second(mode: str, num_envs: int, steps: int, rom: Optional[str], frameskip: int, obs_type: str) -> float:
    envs = make(mode, num_envs, rom, frameskip, obs_type)
    try:
        actions = np.random.default_rng(0).integers(0, envs.single_action_space.n, (WARM_UP + steps, num_envs))
        envs.reset(seed=0)
        for a in actions[:WARM_UP]:
            envs.step(a)
        start = time.perf_counter()
        for a in actions[WARM_UP:]:
            envs.step(a)
        elapsed = time.perf_counter() - start
    finally:
        envs.close()
    return num_envs * steps / elapsed if elapsed > 0 else float("inf")


def frames_per_second(rom: Optional[str], frames: int) -> float:
    """One machine's runFrame rate on this thread: the emulation a step cannot avoid."""
    nes = pictor.NES(rom or demo_path(), verbose=False, battery_file="none")
    for _ in range(WARM_UP):
        nes.runFrame()
    start = time.perf_counter()
    for _ in range(frames):
        nes.runFrame()
    return frames / (time.perf_counter() - start)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("rom", nargs="?", help="iNES cartridge image (default: the demo cartridge)")
    parser.add_argument("--steps", type=int, default=300, help="timed steps per row (default: %(default)s)")
    parser.add_argument("--frameskip", type=int, default=4, help="frames per step (default: %(default)s)")
    parser.add_argument("--obs-type", default="rgb", choices=("rgb", "grayscale", "ram"))
    args = parser.parse_args(argv)

    emulation = frames_per_second(args.rom, args.steps * args.frameskip)
    cores = os.cpu_count() or 1
    rows = [["mode", "envs", "steps/s", "frames/s", "x one env", "outside emulation"]]
    single = None
    for mode in MODES:
        for n in ENV_COUNTS:
            rate = steps_per_second(mode, n, args.steps, args.rom, args.frameskip, args.obs_type)
            single = single or rate
            outside = ""
            if mode == "batch":
                ideal = emulation * min(n, cores) / args.frameskip
                outside = f"{max(0.0, 1 - rate / ideal):.0%}"
            rows.append([mode, str(n), f"{rate:.0f}", f"{rate * args.frameskip:.0f}", f"{rate / single:.2f}", outside])
    print("\n".join(host_lines()))
    print(f"cartridge: {args.rom or 'demo'}, frameskip {args.frameskip}, obs_type {args.obs_type}, {args.steps} steps")
    print(f"one machine's runFrame: {emulation:.0f} frames/s")
    print(format_table(rows))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
