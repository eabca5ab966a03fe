"""A random agent on the demo cartridge, with a reward read from the console's RAM, saved as a GIF.

    python examples/random_agent.py [--steps N] [--seed N] [--gif random_agent.gif]

Trains nothing: it shows the loop. The demo's ship fires with A; its program keeps the shots in
RAM (see demo/demo.s): a 16-bit count of the shots fired at $030A and the heights of the three
shots in flight at $030F-$0311 (0 for a free slot). The reward of a step is the number of shots
in flight after it, and the episode ends once 25 shots have been fired (or after --steps steps).
Needs the gym and play extras: pip install 'pictor[gym,play]'.
"""

from __future__ import annotations

import argparse

import gymnasium
import numpy as np

import pictor_gym  # noqa: F401  registers pictor/NES-v0
from pictor_cli.media import GifRecorder

SHOT_COUNT = 0x030A  # shots fired, little-endian 16 bits
SHOT_Y = slice(0x030F, 0x0312)  # height of each shot slot, 0 when free
SHOTS_TO_END = 25
FRAMESKIP = 4


def shots_in_flight(ram: np.ndarray) -> float:
    return float(np.count_nonzero(ram[SHOT_Y]))


def enough_shots(ram: np.ndarray) -> bool:
    return (int(ram[SHOT_COUNT]) | int(ram[SHOT_COUNT + 1]) << 8) >= SHOTS_TO_END


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=600, help="most steps in the episode (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=0, help="seeds the reset and the agent (default: %(default)s)")
    parser.add_argument("--gif", default="random_agent.gif", help="where to write the episode (default: %(default)s)")
    args = parser.parse_args()

    env = gymnasium.make(
        "pictor/NES-v0",  # rom="game.nes" for another cartridge; the demo when none is given
        frameskip=FRAMESKIP,
        reward_fn=shots_in_flight,
        terminated_fn=enough_shots,
        max_episode_steps=args.steps,
        render_mode="rgb_array",
        noop_max=30,
    )
    env.action_space.seed(args.seed)
    # One picture per step; every=FRAMESKIP gives each the duration of the frames it stands for.
    gif = GifRecorder(open(args.gif, "wb"), FRAMESKIP, env.unwrapped.machine.colorLookup())

    obs, info = env.reset(seed=args.seed)
    gif.offer(0, env.render())
    total, steps, done = 0.0, 0, False
    while not done:
        action = env.action_space.sample()  # an agent would choose from obs here
        obs, reward, terminated, truncated, info = env.step(action)
        total += float(reward)
        steps += 1
        gif.offer(steps * FRAMESKIP, env.render())
        done = terminated or truncated
    env.close()
    pictures = gif.close()
    ending = f"{SHOTS_TO_END} shots fired" if terminated else "step limit"
    print(f"{steps} steps ({ending}), {info['frame_count']} frames, return {total:.0f}; {pictures} pictures in {args.gif}")


if __name__ == "__main__":
    main()
