"""Steps per second of pictor/NES-v0 vector environments: 1, 2 and 4 machines, sync, async and thread.

    python benchmarks/gym_steps.py [--steps N] [--frameskip N] [--obs-type rgb|grayscale|ram] [ROM]

Each row builds the vector environment with gymnasium.make_vec, resets it, takes a few steps to
warm up and then times --steps vector steps of random actions (the same for every row). steps/s
counts the steps of all sub-environments together; "x one env" compares it with the same mode's
single environment. Needs the gym extra (pip install 'pictor[gym]').
"""

from __future__ import annotations

import argparse
import time
from typing import List, Optional

import gymnasium
import numpy as np

import pictor_gym  # noqa: F401  registers pictor/NES-v0
from pictor_cli.bench import format_table, host_lines

MODES = {"sync": "sync", "async": "async", "thread": "vector_entry_point"}
ENV_COUNTS = (1, 2, 4)
WARM_UP = 10


def steps_per_second(mode: str, num_envs: int, steps: int, rom: Optional[str], frameskip: int, obs_type: str) -> float:
    envs = gymnasium.make_vec(
        pictor_gym.ENV_ID,
        num_envs=num_envs,
        vectorization_mode=MODES[mode],
        rom=rom,
        frameskip=frameskip,
        obs_type=obs_type,
    )
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


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("rom", nargs="?", help="iNES cartridge image (default: the demo cartridge)")
    parser.add_argument("--steps", type=int, default=300, help="timed vector steps per row (default: %(default)s)")
    parser.add_argument("--frameskip", type=int, default=4, help="frames per step (default: %(default)s)")
    parser.add_argument("--obs-type", default="rgb", choices=("rgb", "grayscale", "ram"))
    args = parser.parse_args(argv)

    rows = [["mode", "envs", "steps/s", "frames/s", "x one env"]]
    for mode in MODES:
        single = None
        for n in ENV_COUNTS:
            rate = steps_per_second(mode, n, args.steps, args.rom, args.frameskip, args.obs_type)
            single = single or rate
            rows.append([mode, str(n), f"{rate:.0f}", f"{rate * args.frameskip:.0f}", f"{rate / single:.2f}"])
    print("\n".join(host_lines()))
    print(f"cartridge: {args.rom or 'demo'}, frameskip {args.frameskip}, obs_type {args.obs_type}, {args.steps} steps")
    print(format_table(rows))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
