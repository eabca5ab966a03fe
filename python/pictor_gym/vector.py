"""ThreadVectorEnv: N environments in one process, stepped at once on a pool of threads."""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor, wait
from copy import deepcopy
from typing import Any, Dict, List, Optional, Tuple, Union

import gymnasium
import numpy as np
import numpy.typing as npt
from gymnasium.vector import AutoresetMode, SyncVectorEnv
from gymnasium.vector.utils import concatenate, iterate

from .env import NESEnv

THREAD_PREFIX = "pictor-env"

# What one sub-environment's turn gives: observation, reward, terminated, truncated, info and,
# for a same-step autoreset, the final observation and info of the episode that ended.
_Result = Tuple[Any, float, bool, bool, Dict[str, Any], Optional[Dict[str, Any]]]


def sub_env_seeds(seed: Union[int, List[Optional[int]], None], num_envs: int) -> List[Optional[int]]:
    """Each sub-environment's seed, as the vector environments take them: None, an int (sub-environment i
    gets seed + i) or a list of one per sub-environment."""
    if seed is None:
        return [None] * num_envs
    seeds: List[Optional[int]] = [seed + i for i in range(num_envs)] if isinstance(seed, int) else list(seed)
    if len(seeds) != num_envs:
        raise ValueError(f"a list of seeds must have num_envs={num_envs} items, got {len(seeds)}")
    return seeds


class ThreadVectorEnv(SyncVectorEnv):
    """A vector environment that steps its sub-environments on a pool of threads in this process.

    pictor.NES.runFrame releases the interpreter lock while it emulates, so N machines stepped on
    N threads use N cores without the copying and process start-up of AsyncVectorEnv. The results
    are those of SyncVectorEnv with the same arguments, in the same order: the same autoreset modes
    (next step by default, same step, disabled), observations, rewards, flags and infos. The
    sub-environments' own code (reward_fn, terminated_fn) runs on the pool's threads.

    Build it from environment constructors, as SyncVectorEnv, or through Gymnasium:
    ``gymnasium.make_vec("pictor/NES-v0", num_envs=4, vectorization_mode="vector_entry_point")``.
    `close` closes the sub-environments and ends the threads.
    """

    def __init__(
        self,
        env_fns: Sequence[Callable[[], gymnasium.Env[Any, Any]]],
        copy: bool = True,
        observation_mode: Union[str, Tuple[gymnasium.Space[Any], gymnasium.Space[Any]]] = "same",
        autoreset_mode: Union[str, AutoresetMode] = AutoresetMode.NEXT_STEP,
        num_threads: Optional[int] = None,
    ):
        """env_fns, copy, observation_mode, autoreset_mode: as for SyncVectorEnv.

        num_threads: threads that step the sub-environments; default: one per sub-environment, at
            most one per core. With one, they are stepped on the calling thread.
        """
        super().__init__(env_fns, copy=copy, observation_mode=observation_mode, autoreset_mode=autoreset_mode)
        if num_threads is None:
            num_threads = min(self.num_envs, os.cpu_count() or 1)
        if num_threads < 1:
            raise ValueError(f"num_threads must be at least 1, got {num_threads}")
        self.num_threads = num_threads
        # One thread gains nothing over the calling thread: then there is no pool.
        self._pool = ThreadPoolExecutor(num_threads, THREAD_PREFIX) if num_threads > 1 else None
        self._halt = threading.Event()
        for env in self.envs:
            if isinstance(env.unwrapped, NESEnv):
                env.unwrapped.halt = self._halt

    def _map(self, fn: Callable[..., Any], *items: Any) -> List[Any]:
        """fn over the items, in order: on the pool's threads at once, or here without a pool.

        An exception here (Ctrl-C) cancels the turns not yet begun and halts those under way at
        their next frame, so that the pool is idle at once; the exception goes on.
        """
        if self._pool is None:
            return list(map(fn, *items))
        futures = [self._pool.submit(fn, *args) for args in zip(*items)]
        try:
            return [future.result() for future in futures]
        except BaseException:
            for future in futures:
                future.cancel()
            self._halt.set()
            try:
                wait(futures)
            finally:
                self._halt.clear()
            raise

    def reset(
        self,
        *,
        seed: Union[int, List[Optional[int]], None] = None,
        options: Optional[Dict[str, Any]] = None,
    ) -> Tuple[Any, Dict[str, Any]]:
        """Resets the sub-environments (those of options["reset_mask"], if given) at once.

        seed: None, an int (sub-environment i gets seed + i) or a list of one seed per sub-environment.
        """
        seeds = sub_env_seeds(seed, self.num_envs)

        mask = np.ones(self.num_envs, np.bool_)
        if options is not None and "reset_mask" in options:
            options = dict(options)
            mask = options.pop("reset_mask")
            if not isinstance(mask, np.ndarray) or mask.dtype != np.bool_ or mask.shape != (self.num_envs,):
                raise ValueError(f"options['reset_mask'] must be a bool array of shape ({self.num_envs},)")
            if not mask.any():
                raise ValueError("options['reset_mask'] must hold at least one True value")
        self._terminations[mask] = False
        self._truncations[mask] = False
        self._autoreset_envs[mask] = False

        chosen = [i for i in range(self.num_envs) if mask[i]]
        results = self._map(lambda i: self.envs[i].reset(seed=seeds[i], options=options), chosen)
        infos: Dict[str, Any] = {}
        for i, (obs, info) in zip(chosen, results):
            self._env_obs[i] = obs
            infos = self._add_info(infos, info, i)
        self._observations = concatenate(self.single_observation_space, self._env_obs, self._observations)
        return (deepcopy(self._observations) if self.copy else self._observations), infos

    def step(
        self, actions: Any
    ) -> Tuple[Any, npt.NDArray[np.float64], npt.NDArray[np.bool_], npt.NDArray[np.bool_], Dict[str, Any]]:
        """Steps every sub-environment at once (or resets those whose episode ended, by the autoreset mode)."""
        turns = list(iterate(self.action_space, actions))
        if len(turns) != self.num_envs:
            raise ValueError(f"expected {self.num_envs} actions, got {len(turns)}")
        results = self._map(self._turn, range(self.num_envs), turns)
        infos: Dict[str, Any] = {}
        for i, (obs, reward, terminated, truncated, info, final) in enumerate(results):
            self._env_obs[i] = obs
            self._rewards[i] = reward
            self._terminations[i] = terminated
            self._truncations[i] = truncated
            if final is not None:
                infos = self._add_info(infos, final, i)
            infos = self._add_info(infos, info, i)
        self._observations = concatenate(self.single_observation_space, self._env_obs, self._observations)
        self._autoreset_envs = np.logical_or(self._terminations, self._truncations)
        return (
            deepcopy(self._observations) if self.copy else self._observations,
            np.copy(self._rewards),
            np.copy(self._terminations),
            np.copy(self._truncations),
            infos,
        )

    def _turn(self, i: int, action: Any) -> _Result:
        """Sub-environment i's part of a step, on a pool thread; as SyncVectorEnv.step does it."""
        env = self.envs[i]
        mode = self.autoreset_mode
        if mode == AutoresetMode.NEXT_STEP and self._autoreset_envs[i]:
            obs, info = env.reset()
            return obs, 0.0, False, False, info, None
        if mode == AutoresetMode.DISABLED and self._autoreset_envs[i]:
            raise RuntimeError(f"sub-environment {i} ended its episode: reset it (autoreset mode 'Disabled')")
        obs, reward, terminated, truncated, info = env.step(action)
        final = None
        if mode == AutoresetMode.SAME_STEP and (terminated or truncated):
            final = {"final_obs": obs, "final_info": info}
            obs, info = env.reset()
        return obs, float(reward), bool(terminated), bool(truncated), info, final

    def close_extras(self, **kwargs: Any) -> None:
        """Closes the sub-environments, then ends the pool's threads."""
        try:
            super().close_extras(**kwargs)
        finally:
            pool = getattr(self, "_pool", None)  # None too when __init__ failed before making it
            if pool is not None:
                pool.shutdown(wait=True)


def make_thread_vector_env(
    num_envs: int = 1,
    *,
    num_threads: Optional[int] = None,
    autoreset_mode: Union[str, AutoresetMode] = AutoresetMode.NEXT_STEP,
    copy: bool = True,
    **env_kwargs: Any,
) -> ThreadVectorEnv:
    """The vector entry point of pictor/NES-v0: a ThreadVectorEnv of num_envs NESEnv(**env_kwargs).

    gymnasium.make_vec passes its keyword arguments here (vector_kwargs is not allowed in this
    mode), so num_threads, autoreset_mode and copy are taken out of them.
    """
    if num_envs < 1:
        raise ValueError(f"num_envs must be at least 1, got {num_envs}")
    return ThreadVectorEnv(
        [lambda: NESEnv(**env_kwargs) for _ in range(num_envs)],
        copy=copy,
        autoreset_mode=autoreset_mode,
        num_threads=num_threads,
    )
