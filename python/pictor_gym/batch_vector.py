"""BatchVectorEnv: N environments of one cartridge on one pictor.Batch, stepped in one native call."""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt
from gymnasium import spaces
from gymnasium.utils import seeding
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

import pictor

from .actions import Combination, action_table
from .env import Accuracy, ObsType, RamFn, Rom, _check_whole, read_rom
from .vector import ThreadVectorEnv, make_thread_vector_env, sub_env_seeds

Seeds = Union[int, List[Optional[int]], None]


class BatchVectorEnv(VectorEnv[Any, Any, Any]):
    """num_envs NESEnv environments of one cartridge, their machines in one pictor.Batch.

    A step hands every action to the batch at once: the machines run their frames on native
    threads without the interpreter lock, and their observations land in one array made once.
    The results are those of SyncVectorEnv over NESEnv(**same arguments) with the same seeds:
    observations, rewards, flags and infos, with the next-step autoreset (a sub-environment whose
    episode ended is reset at the following step, which returns its first observation, reward 0).
    reward_fn and terminated_fn are called for each sub-environment with a read-only copy of its
    RAM, as NESEnv calls them. There is no rendering: for render_mode or the other autoreset modes
    `make_vector_env` builds a ThreadVectorEnv instead.
    """

    metadata: Dict[str, Any] = {"autoreset_mode": AutoresetMode.NEXT_STEP}

    def __init__(
        self,
        num_envs: int,
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
        noop_max: int = 0,
        info_ram: bool = False,
        accuracy: Accuracy = "standard",
        num_threads: Optional[int] = None,
        copy: bool = True,
    ):
        """num_envs: the machines; num_threads: native threads stepping them (default one per core);
        copy: return copies of the observations (False: the batch's own array, overwritten by the
        next step). The other arguments are NESEnv's."""
        _check_whole("num_envs", num_envs, 1)
        _check_whole("noop_max", noop_max, 0)
        self.num_envs = int(num_envs)
        self.noop_max = int(noop_max)
        self.reward_fn = reward_fn
        self.terminated_fn = terminated_fn
        self.info_ram = bool(info_ram)
        self.copy = copy
        image, self.label = read_rom(rom)
        combinations = action_table(actions)
        # Each action as the pad byte the batch takes: bit n holds button n, in pad order.
        self._pads = np.array([sum(int(b) << n for n, b in enumerate(c)) for c in combinations], np.uint8)
        self._batch: Optional[pictor.Batch] = pictor.Batch(
            image,
            self.num_envs,
            frameskip=frameskip,
            obs_type=obs_type,
            obs_shape=obs_shape,
            frame_stack=frame_stack,
            max_pool=max_pool,
            max_steps=max_episode_steps,
            accuracy=accuracy,
            threads=num_threads,
        )
        self.single_action_space = spaces.Discrete(len(combinations))
        self.action_space = batch_space(self.single_action_space, self.num_envs)
        self.single_observation_space = spaces.Box(0, 255, self._batch.observations.shape[1:], np.uint8)
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.render_mode = None
        self._rngs: List[Optional[np.random.Generator]] = [None] * self.num_envs
        self._autoreset = np.zeros(self.num_envs, np.bool_)
        self._all = np.ones(self.num_envs, np.bool_)

    @property
    def batch(self) -> pictor.Batch:
        """The pictor.Batch that holds the machines (for their snapshots)."""
        if self._batch is None:
            raise RuntimeError("the environment is closed")
        return self._batch

    def _draw_noops(self, chosen: Iterable[int]) -> None:
        """Each chosen machine's frames without buttons for its next reset, from its own generator."""
        noops = self.batch.noops
        for i in chosen:
            rng = self._rngs[i]
            if rng is None:
                rng, _ = seeding.np_random(None)
                self._rngs[i] = rng
            noops[i] = int(rng.integers(0, self.noop_max, endpoint=True)) if self.noop_max else 0

    def reset(self, *, seed: Seeds = None, options: Optional[Dict[str, Any]] = None) -> Tuple[Any, Dict[str, Any]]:
        """Resets the sub-environments (those of options["reset_mask"], if given).

        seed: None, an int (sub-environment i gets seed + i) or a list of one seed per sub-environment.
        """
        batch = self.batch
        seeds = sub_env_seeds(seed, self.num_envs)
        mask = self._all
        if options is not None and "reset_mask" in options:
            mask = options["reset_mask"]
            if not isinstance(mask, np.ndarray) or mask.dtype != np.bool_ or mask.shape != (self.num_envs,):
                raise ValueError(f"options['reset_mask'] must be a bool array of shape ({self.num_envs},)")
            if not mask.any():
                raise ValueError("options['reset_mask'] must hold at least one True value")
        chosen = np.flatnonzero(mask)
        for i in chosen:
            if seeds[i] is not None:
                self._rngs[i], _ = seeding.np_random(seeds[i])
        self._draw_noops(chosen)
        if mask.all():
            batch.reset()
        else:
            for i in chosen:
                batch.reset(int(i))
        self._autoreset[mask] = False
        obs = batch.observations
        return (np.array(obs) if self.copy else obs), self._infos(batch.ram, mask)

    def step(
        self, actions: Any
    ) -> Tuple[Any, npt.NDArray[np.float64], npt.NDArray[np.bool_], npt.NDArray[np.bool_], Dict[str, Any]]:
        """Steps every sub-environment, or resets those whose episode ended at the previous step."""
        batch = self.batch
        chosen = np.asarray(actions)
        if (
            chosen.shape != (self.num_envs,)
            or chosen.dtype.kind not in "iu"
            or (chosen < 0).any()
            or (chosen >= len(self._pads)).any()
        ):
            raise ValueError(
                f"actions must be {self.num_envs} whole numbers from 0 to {len(self._pads) - 1}, got {actions!r}"
            )
        resetting = self._autoreset
        batch.done[:] = resetting
        if resetting.any():
            self._draw_noops(np.flatnonzero(resetting))
        obs, ram, done = batch.step(self._pads[chosen])
        truncated = done.copy()  # the batch ends episodes only at max_episode_steps
        rewards = np.zeros(self.num_envs, np.float64)
        terminated = np.zeros(self.num_envs, np.bool_)
        if self.reward_fn is not None or self.terminated_fn is not None:
            for i in np.flatnonzero(~resetting):
                row = np.array(ram[i])
                row.flags.writeable = False
                if self.reward_fn is not None:
                    rewards[i] = float(self.reward_fn(row))
                if self.terminated_fn is not None:
                    terminated[i] = bool(self.terminated_fn(row))
        self._autoreset = terminated | truncated
        return (np.array(obs) if self.copy else obs), rewards, terminated, truncated, self._infos(ram, self._all)

    def _infos(self, ram: npt.NDArray[np.uint8], mask: npt.NDArray[np.bool_]) -> Dict[str, Any]:
        """The infos of the sub-environments of mask, as the vector environments gather NESEnv's."""
        infos: Dict[str, Any] = {"frame_count": np.where(mask, self.batch.frameCount, 0), "_frame_count": mask.copy()}
        if self.info_ram:
            infos["ram"] = np.where(mask[:, None], ram, 0).astype(np.uint8)
            infos["_ram"] = mask.copy()
        return infos

    def close_extras(self, **kwargs: Any) -> None:
        self._batch = None


def make_vector_env(
    num_envs: int = 1,
    *,
    num_threads: Optional[int] = None,
    autoreset_mode: Union[str, AutoresetMode] = AutoresetMode.NEXT_STEP,
    copy: bool = True,
    **env_kwargs: Any,
) -> Union[BatchVectorEnv, ThreadVectorEnv]:
    """The vector entry point of pictor/NES-v0: num_envs NESEnv(**env_kwargs) as one vector environment.

    A BatchVectorEnv, unless a render_mode or another autoreset mode than next-step is asked for:
    then a ThreadVectorEnv. gymnasium.make_vec passes its keyword arguments here.
    """
    if AutoresetMode(autoreset_mode) == AutoresetMode.NEXT_STEP and env_kwargs.get("render_mode") is None:
        env_kwargs.pop("render_mode", None)
        return BatchVectorEnv(num_envs, num_threads=num_threads, copy=copy, **env_kwargs)
    return make_thread_vector_env(
        num_envs, num_threads=num_threads, autoreset_mode=autoreset_mode, copy=copy, **env_kwargs
    )

