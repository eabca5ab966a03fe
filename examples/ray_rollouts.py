"""Evolution strategies on Ray actors, each stepping a pictor.Batch of machines.

    python examples/ray_rollouts.py [--iterations 10] [--actors 2] [--machines-per-actor 4]
    python examples/ray_rollouts.py --address auto --actors 16   # on a running Ray cluster

Without --address, ray.init() starts a local Ray instance (--num-cpus caps its processors);
with --address auto (or HEAD:6379) it joins the cluster that `ray start` set up. The policy is
linear: the 2 KiB RAM scaled to [0, 1] gives 8 numbers, and a button is held while its number
is above 0. Each iteration the driver draws one perturbation of the policy per machine, every
actor runs its share for one fixed-length episode on its batch, and the driver moves the
policy along the ES estimate of the gradient of the return. The default reward is activity:
at each step, the number of RAM bytes that changed since the step before. The cartridge's
bytes are sent to the actors, so its path needs to exist only where the driver runs.
Needs the ray extra: pip install 'pictor[ray]'.
"""

from __future__ import annotations

import argparse
import time
from typing import Callable

import numpy as np
import numpy.typing as npt
import ray

import pictor
from pictor_cli import demo_path

BUTTONS = 8
RAM_SIZE = 2048
PARAMS = BUTTONS * (RAM_SIZE + 1)  # a weight per button and RAM byte, and a bias per button

Ram = npt.NDArray[np.uint8]
Reward = Callable[[Ram, Ram], npt.NDArray[np.int64]]  # (RAM before, RAM after) -> one per machine


def activity(before: Ram, after: Ram) -> npt.NDArray[np.int64]:
    changed: npt.NDArray[np.int64] = np.count_nonzero(before != after, axis=1).astype(np.int64)
    return changed


def make_reward(text: str) -> Reward:
    """'activity', or a RAM address (such as 0x06, the demo ship's column): that byte after each step."""
    if text == "activity":
        return activity
    try:
        address = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not 'activity' or an address: {text!r}") from None
    if not 0 <= address < RAM_SIZE:
        raise argparse.ArgumentTypeError(f"address {text} is outside the RAM (0 to {RAM_SIZE - 1:#x})")
    return lambda before, after: after[:, address].astype(np.int64)


@ray.remote  # the driver sets its CPUs, one per native thread, with .options(num_cpus=...)
class Evaluator:
    """Owns one batch of machines; runs one episode per perturbation, one perturbation per machine."""

    def __init__(self, rom: bytes, machines: int, frameskip: int, threads: int, reward: str) -> None:
        self.batch = pictor.Batch(rom, machines, frameskip=frameskip, obs_type="ram", threads=threads)
        self.reward = make_reward(reward)

    def machines(self) -> int:
        return len(self.batch)

    def evaluate(self, params: npt.NDArray[np.float32], steps: int) -> npt.NDArray[np.int64]:
        """params: (machines, PARAMS), a policy per machine; returns their episodes' returns."""
        n = len(self.batch)
        weights = params.reshape(n, BUTTONS, RAM_SIZE + 1)
        inputs = np.ones((n, RAM_SIZE + 1), np.float32)  # the last input is the bias's constant 1
        before = self.batch.reset().copy()
        returns = np.zeros(n, np.int64)
        for _ in range(steps):
            inputs[:, :RAM_SIZE] = before * np.float32(1 / 255)
            held = np.einsum("nbk,nk->nb", weights, inputs) > 0
            _, ram, _ = self.batch.step(held)
            returns += self.reward(before, ram)
            before[:] = ram  # the step's arrays are overwritten by the next step
        return returns


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    return value


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add = parser.add_argument
    add("--rom", metavar="PATH", default=None, help="cartridge image (default: the demo cartridge)")
    add("--actors", metavar="N", type=positive, default=2, help="Ray actors (default: %(default)s)")
    add("--machines-per-actor", metavar="M", type=positive, default=4, help="machines per batch (default: %(default)s)")
    add("--threads-per-actor", metavar="T", type=positive, default=1, help="threads and CPUs per actor (default: 1)")
    add("--iterations", metavar="K", type=positive, default=10, help="ES iterations (default: %(default)s)")
    add("--episode-steps", metavar="S", type=positive, default=200, help="steps per episode (default: %(default)s)")
    add("--frameskip", metavar="F", type=positive, default=4, help="frames per step (default: %(default)s)")
    add("--reward", metavar="activity|ADDR", default="activity", help="'activity' (default) or an address")
    add("--sigma", type=float, default=0.05, help="perturbation scale (default: %(default)s)")
    add("--learning-rate", type=float, default=0.01, help="step along the gradient estimate (default: %(default)s)")
    add("--seed", type=int, default=0, help="seeds the perturbations (default: %(default)s)")
    add("--address", metavar="ADDR", default=None, help="a Ray cluster to join, e.g. auto (default: a local instance)")
    add("--num-cpus", metavar="N", type=positive, default=None, help="processors of a local instance (default: all)")
    add("--temp-dir", metavar="DIR", default=None, help="Ray's session folder for a local instance (default: Ray's)")
    args = parser.parse_args()
    try:
        make_reward(args.reward)
    except argparse.ArgumentTypeError as err:
        parser.error(f"argument --reward: {err}")
    if args.address is not None and (args.num_cpus is not None or args.temp_dir is not None):
        parser.error("--num-cpus and --temp-dir are for a local instance, not with --address")
    return args


def main() -> None:
    args = parse_args()
    try:
        with open(args.rom or demo_path(), "rb") as f:
            rom = f.read()
    except OSError as err:
        raise SystemExit(f"error: cannot read the cartridge: {err}") from None
    if args.address is None:
        ray.init(num_cpus=args.num_cpus, _temp_dir=args.temp_dir)
    else:
        ray.init(address=args.address)
    wanted, cpus = args.actors * args.threads_per_actor, ray.cluster_resources().get("CPU", 0)
    if wanted > cpus:
        # Every actor takes part in every iteration: one that waits for CPUs stalls the run.
        shortfall = f"the actors ask for {wanted} CPUs and the cluster has {cpus:g}"
        if args.address is None:
            ray.shutdown()
            raise SystemExit(f"error: {shortfall}: use fewer --actors or --threads-per-actor")
        print(f"warning: {shortfall}; the run waits until the cluster grows", flush=True)

    m = args.machines_per_actor
    # mypy reads past class decorators: to it Evaluator is the plain class, not Ray's actor class.
    options = Evaluator.options(num_cpus=args.threads_per_actor)  # type: ignore[attr-defined]
    actors = [options.remote(rom, m, args.frameskip, args.threads_per_actor, args.reward) for _ in range(args.actors)]
    ray.get([a.machines.remote() for a in actors])  # the batches are built: time the episodes alone
    rng = np.random.default_rng(args.seed)
    mean = np.zeros(PARAMS, np.float32)
    population = args.actors * m
    best, best_iteration, started = -1, 0, time.perf_counter()
    for iteration in range(1, args.iterations + 1):
        tick = time.perf_counter()
        noise = rng.standard_normal((population, PARAMS), np.float32)
        params = mean + np.float32(args.sigma) * noise
        shares = [a.evaluate.remote(params[i * m : (i + 1) * m], args.episode_steps) for i, a in enumerate(actors)]
        returns = np.concatenate(ray.get(shares))
        seconds = time.perf_counter() - tick
        # The ES estimate of the gradient of the return: the perturbations weighted by standardised returns.
        spread = returns.std()
        if spread > 0:
            scores = ((returns - returns.mean()) / spread).astype(np.float32)
            mean += np.float32(args.learning_rate / (population * args.sigma)) * (scores @ noise)
        if returns.max() > best:
            best, best_iteration = int(returns.max()), iteration
        print(
            f"iteration {iteration}/{args.iterations}: {population / seconds:.1f} episodes/s, "
            f"return mean {returns.mean():.1f} best {returns.max()}",
            flush=True,
        )
    seconds = time.perf_counter() - started
    episodes, actors_text = population * args.iterations, f"{args.actors} actor{'s' * (args.actors > 1)}"
    print(
        f"{episodes} episodes of {args.episode_steps} steps on {actors_text} in {seconds:.1f} s "
        f"({episodes / seconds:.1f} episodes/s, {episodes * args.episode_steps / seconds:.0f} steps/s); "
        f"best return {best} (iteration {best_iteration})"
    )
    ray.shutdown()


if __name__ == "__main__":
    main()
