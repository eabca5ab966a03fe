"""Gymnasium environments over the pictor NES console.

Importing this package registers ``pictor/NES-v0``; so does importing Gymnasium, through the
start-up hook in ``_pictor_gym_autoload``::

    import gymnasium

    env = gymnasium.make("pictor/NES-v0", rom="game.nes", frameskip=4, obs_type="grayscale")
    envs = gymnasium.make_vec("pictor/NES-v0", num_envs=8, obs_type="grayscale", obs_shape=(84, 84))

``gymnasium.make("pictor_gym:pictor/NES-v0", ...)`` imports it on the way. NESEnv is the
environment; make_vec gives a BatchVectorEnv, whose machines step in one native call, or a
ThreadVectorEnv (sub-environments stepped on parallel threads) for rendering and the other
autoreset modes.
Needs the gym extra: ``pip install 'pictor[gym]'``.
"""

from __future__ import annotations

import gymnasium

from .actions import BUTTONS, DEFAULT_ACTIONS
from .batch_vector import BatchVectorEnv, make_vector_env
from .env import NESEnv, luma
from .vector import ThreadVectorEnv, make_thread_vector_env

ENV_ID = "pictor/NES-v0"


def register_envs() -> None:
    """Registers pictor/NES-v0 with Gymnasium, once (this package's import does it already).

    Also the function named by the package's "gymnasium.envs" entry point.
    """
    if ENV_ID in gymnasium.registry:
        return
    gymnasium.register(
        id=ENV_ID,
        entry_point="pictor_gym.env:NESEnv",
        vector_entry_point="pictor_gym.batch_vector:make_vector_env",
    )


register_envs()

__all__ = [
    "BUTTONS",
    "BatchVectorEnv",
    "DEFAULT_ACTIONS",
    "ENV_ID",
    "NESEnv",
    "ThreadVectorEnv",
    "luma",
    "make_thread_vector_env",
    "make_vector_env",
    "register_envs",
]
