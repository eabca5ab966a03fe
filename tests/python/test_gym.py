"""The Gymnasium environment pictor/NES-v0: its API, parameters, determinism, vector forms and window."""

import copy
import os
import importlib.metadata
import pickle
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import gymnasium  # the gym extra; without it these tests fail rather than skip
import numpy as np
import pytest
from gymnasium.utils.env_checker import check_env
from gymnasium.vector import AutoresetMode

import pictor_gym
from conftest import DEMO, PADS, ines, run_script
from pictor_gym import BatchVectorEnv, NESEnv, ThreadVectorEnv, luma, make_thread_vector_env
from pictor_gym.vector import THREAD_PREFIX

ENV_ID = "pictor/NES-v0"
# The demo keeps a frame counter at $00 (advanced by every NMI) and the heights of its three
# shots at $030F-$0311, 0 for a free slot (demo/demo.s).
FRAME_COUNTER = 0x00
SHOT_Y = slice(0x030F, 0x0312)


def shots_in_flight(ram):
    return float(np.count_nonzero(ram[SHOT_Y]))


def counter_past_40(ram):
    return bool(ram[FRAME_COUNTER] > 40)


def same(a, b):
    """Deep equality of observations, rewards, flags and infos (arrays compared by value)."""
    if isinstance(a, dict):
        return isinstance(b, dict) and a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (tuple, list)) or (isinstance(a, np.ndarray) and a.dtype == object):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return np.array_equal(np.asarray(a), np.asarray(b))


def play(env, seed, actions, **reset):
    """The reset and every step's results."""
    record = [env.reset(seed=seed, **reset)]
    record += [env.step(a) for a in actions]
    return record


def random_actions(n, count, num_envs=None, seed=0):
    return np.random.default_rng(seed).integers(0, n, count if num_envs is None else (count, num_envs))


def pool_threads():
    return [t for t in threading.enumerate() if t.name.startswith(THREAD_PREFIX)]


@pytest.mark.parametrize("obs_type", ["rgb", "grayscale", "ram"])
def test_check_env_passes(obs_type, sdl_dummy):
    # check_env also builds the environment in each render mode, "human" included.
    env = gymnasium.make(ENV_ID, obs_type=obs_type, frameskip=2, noop_max=5)
    check_env(env.unwrapped)
    env.close()


def test_registration_at_gymnasium_import_by_module_id_and_entry_point():
    registered = gymnasium.registry[ENV_ID]
    assert registered.entry_point == "pictor_gym.env:NESEnv"
    assert registered.vector_entry_point == "pictor_gym.batch_vector:make_vector_env"
    (entry,) = [e for e in importlib.metadata.entry_points(group="gymnasium.envs") if e.name == "pictor"]
    assert entry.load() is pictor_gym.register_envs

    # In a fresh interpreter: nothing of pictor is loaded at start, the import of Gymnasium
    # registers the id, the "module:id" form finds it too, and registering again warns about
    # nothing.
    proc = run_script(
        """
        import sys
        import warnings
        warnings.simplefilter("error")
        assert not {"pictor", "pictor_gym", "gymnasium"} & set(sys.modules)
        import gymnasium
        env = gymnasium.make("pictor/NES-v0", frameskip=1)
        env.reset(seed=0)
        env.close()
        gymnasium.make("pictor_gym:pictor/NES-v0").close()
        import pictor_gym
        pictor_gym.register_envs()
        env = gymnasium.make("pictor/NES-v0")
        print(type(env.unwrapped).__name__, env.unwrapped.label)
        env.close()
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["NESEnv", "demo"]


def test_observation_types(sdl_dummy):
    actions = random_actions(11, 12)
    rgb = NESEnv(frameskip=3, render_mode="rgb_array")
    gray = NESEnv(frameskip=3, obs_type="grayscale")
    ram = NESEnv(frameskip=3, obs_type="ram", info_ram=True)
    assert rgb.observation_space == gymnasium.spaces.Box(0, 255, (240, 256, 3), np.uint8)
    assert gray.observation_space == gymnasium.spaces.Box(0, 255, (240, 256), np.uint8)
    assert ram.observation_space == gymnasium.spaces.Box(0, 255, (2048,), np.uint8)
    runs = [play(env, 0, actions) for env in (rgb, gray, ram)]
    for (rgb_obs, *_), (gray_obs, *_), (ram_obs, *rest) in zip(*runs):
        assert rgb_obs.dtype == gray_obs.dtype == ram_obs.dtype == np.uint8
        assert np.array_equal(gray_obs, luma(rgb_obs))
        assert np.array_equal(ram_obs, rest[-1]["ram"])  # the info's copy of the same RAM
    assert np.array_equal(rgb.render(), runs[0][-1][0])
    # The documented conversion: (77 R + 150 G + 29 B + 128) >> 8.
    pixels = np.array([[[255, 255, 255], [0, 0, 0], [255, 0, 0], [0, 255, 0], [0, 0, 255]]], np.uint8)
    assert luma(pixels).tolist() == [[255, 0, 77, 149, 29]]
    for env in (rgb, gray, ram):
        env.close()


def test_frameskip_and_max_pool():
    one = NESEnv(frameskip=1)
    pooled = NESEnv(frameskip=4, max_pool=True, render_mode="rgb_array")
    gray = NESEnv(frameskip=4, max_pool=True, obs_type="grayscale")
    for env in (one, pooled, gray):
        env.reset(seed=0)
    differs = False
    for step, action in enumerate(random_actions(11, 10), 1):
        frames = [one.step(action)[0] for _ in range(4)]
        obs, _, _, _, info = pooled.step(action)
        assert info["frame_count"] == 4 * step == one.machine.frameCount()
        assert np.array_equal(obs, np.maximum(frames[2], frames[3]))
        assert np.array_equal(pooled.render(), frames[3])  # render shows the last frame itself
        assert np.array_equal(gray.step(action)[0], np.maximum(luma(frames[2]), luma(frames[3])))
        differs |= not np.array_equal(obs, frames[3])
    assert differs  # the demo's sprites move: pooling two frames is not the last one
    for env in (one, pooled, gray):
        env.close()
    with pytest.raises(ValueError, match="frameskip"):
        NESEnv(frameskip=0)
    with pytest.raises(ValueError, match="max_pool"):
        NESEnv(obs_type="ram", max_pool=True)


def test_actions_and_their_meanings():
    env = NESEnv()
    assert env.action_space == gymnasium.spaces.Discrete(11)
    assert env.get_action_meanings() == [
        "NOOP", "Right", "Right+A", "Right+B", "Right+A+B", "A", "Left", "Left+A", "Down", "Up", "Start",
    ]  # fmt: skip
    env.close()

    every = NESEnv(actions="all")
    meanings = every.get_action_meanings()
    assert every.action_space.n == 256 == len(set(meanings))
    assert [meanings[i] for i in (0, 1, 0b1001, 0b10000000, 255)] == [
        "NOOP", "A", "A+Start", "Right", "Up+Down+Left+Right+A+B+Select+Start",
    ]  # fmt: skip
    every.close()

    # The pad-reading program stores eight reads of $4016 at $20: the buttons each action holds.
    combos = ["right+a", ("Select", "DOWN"), "NOOP", "B+Up+Left"]
    pads = NESEnv(ines(PADS), actions=combos, obs_type="ram", frameskip=1)
    assert pads.get_action_meanings() == ["Right+A", "Down+Select", "NOOP", "Up+Left+B"]
    pads.reset(seed=0)
    held = [[1, 0, 0, 0, 0, 0, 0, 1], [0, 0, 1, 0, 0, 1, 0, 0], [0] * 8, [0, 1, 0, 0, 1, 0, 1, 0]]
    for action, expected in enumerate(held):
        ram = pads.step(action)[0]
        assert [v & 1 for v in ram[0x20:0x28]] == expected
    with pytest.raises(ValueError, match="from 0 to 3"):
        pads.step(4)
    pads.close()

    for bad, message in ((["Right+Jump"], "unknown button"), ("most", "'all'"), ([], "at least one")):
        with pytest.raises(ValueError, match=message):
            NESEnv(actions=bad)


def test_reward_termination_truncation_and_info_ram():
    seen = []

    def reward(ram):
        seen.append(ram)
        return np.uint8(ram[FRAME_COUNTER])

    env = NESEnv(reward_fn=reward, terminated_fn=counter_past_40, info_ram=True, max_episode_steps=15)
    env.reset(seed=0)
    ends = []
    for step in range(1, 16):
        obs, r, terminated, truncated, info = env.step(0)
        ram = seen[-1]
        assert ram.shape == (2048,) and ram.dtype == np.uint8 and not ram.flags.writeable
        assert info["ram"] is ram and isinstance(r, float) and r == ram[FRAME_COUNTER]
        assert terminated == (ram[FRAME_COUNTER] > 40)
        assert truncated == (step == 15)
        ends.append(terminated)
    assert not ends[0] and ends[-1]  # the counter passes 40 within the 60 frames
    env.close()

    # Defaults: no reward, no end, no RAM in the info. A limit through gymnasium.make works alike.
    env = gymnasium.make(ENV_ID, max_episode_steps=3)
    for _ in range(2):
        env.reset(seed=1)
        results = [env.step(1) for _ in range(3)]
        assert [r[1:4] for r in results] == [(0.0, False, False), (0.0, False, False), (0.0, False, True)]
        assert results[-1][4].keys() == {"frame_count"}
    env.close()


def test_reset_is_deterministic_and_noops_follow_the_seed():
    actions = random_actions(11, 25)
    env = NESEnv(noop_max=30, obs_type="grayscale", reward_fn=shots_in_flight, info_ram=True)
    first = play(env, 7, actions)
    play(env, 8, actions[::-1])  # another episode between: nothing of it carries over
    assert same(play(env, 7, actions), first)
    starts = {env.reset(seed=seed)[1]["frame_count"] for seed in range(12)}
    assert len(starts) > 1 and starts <= set(range(31))  # 0 to noop_max no-op frames
    env.close()

    # A new machine powers on the same (its battery RAM comes from no earlier run).
    again = NESEnv(noop_max=30, obs_type="grayscale", reward_fn=shots_in_flight, info_ram=True)
    assert same(play(again, 7, actions), first)
    assert again.reset()[1]["frame_count"] in range(31)
    again.close()
    assert NESEnv(noop_max=0).reset(seed=3)[1]["frame_count"] == 0


def test_rom_as_path_path_like_or_bytes(tmp_path):
    image = Path(DEMO).read_bytes()
    actions = random_actions(11, 5)
    runs = []
    for rom in (DEMO, Path(DEMO), image, None):
        env = NESEnv(rom, obs_type="ram")
        runs.append(play(env, 0, actions))
        env.close()
    assert all(same(run, runs[0]) for run in runs)
    with pytest.raises(ValueError, match="iNES"):
        NESEnv(b"not a cartridge")
    with pytest.raises(FileNotFoundError):
        NESEnv(tmp_path / "missing.nes")
    with pytest.raises(TypeError, match="rom"):
        NESEnv(42)


def test_nothing_written_into_home(home, tmp_path, monkeypatch):
    private = tmp_path / "tmp"
    private.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(private))
    env = NESEnv(DEMO)  # a battery-backed cartridge: the machine writes its RAM when dropped
    play(env, 0, random_actions(11, 5))
    twin = pickle.loads(pickle.dumps(env))
    assert len(list(private.iterdir())) == 2  # one private folder per machine
    env.close()
    env.close()  # twice is fine
    del twin
    assert list(private.iterdir()) == [] and list(home.iterdir()) == []


def test_pickled_and_copied_envs_continue_identically():
    env = NESEnv(frameskip=2, reward_fn=shots_in_flight, noop_max=10, max_episode_steps=20)
    play(env, 4, random_actions(11, 6))
    copies = [pickle.loads(pickle.dumps(env)), copy.deepcopy(env)]
    later = random_actions(11, 12, seed=1)
    original = [env.step(a) for a in later] + [env.reset()]  # the generator travels too
    for twin in copies:
        assert same([twin.step(a) for a in later] + [twin.reset()], original)
        twin.close()
    env.close()
    closed = pickle.loads(pickle.dumps(env))
    with pytest.raises(RuntimeError, match="closed"):
        closed.step(0)


def vector_run(envs, steps, seed=3):
    actions = random_actions(envs.single_action_space.n, steps, envs.num_envs)
    record = play(envs, seed, actions)
    record.append(envs.reset(options={"reset_mask": np.array([True, False] + [True] * (envs.num_envs - 2))}))
    record += [envs.step(a) for a in actions[:3]]
    envs.close()
    return record


VECTOR_KWARGS = dict(
    frameskip=2, obs_type="grayscale", noop_max=8, reward_fn=shots_in_flight, terminated_fn=counter_past_40,
    max_episode_steps=7, info_ram=True,
)  # fmt: skip


def test_async_make_vec_matches_sync():
    sync = vector_run(gymnasium.make_vec(ENV_ID, num_envs=2, vectorization_mode="sync", **VECTOR_KWARGS), 16)
    async_ = vector_run(gymnasium.make_vec(ENV_ID, num_envs=2, vectorization_mode="async", **VECTOR_KWARGS), 16)
    assert same(async_, sync)


@pytest.mark.parametrize("mode", [AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP])
def test_thread_vector_env_matches_sync_and_closes_its_threads(mode):
    sync = gymnasium.make_vec(
        ENV_ID, num_envs=3, vectorization_mode="sync", vector_kwargs={"autoreset_mode": mode}, **VECTOR_KWARGS
    )
    expected = vector_run(sync, 20)
    threads = make_thread_vector_env(3, autoreset_mode=mode, **VECTOR_KWARGS)
    assert isinstance(threads, ThreadVectorEnv) and threads.metadata["autoreset_mode"] == mode
    threads.reset(seed=0)
    assert pool_threads()  # the pool's threads run the machines
    assert same(vector_run(threads, 20), expected)
    assert not pool_threads() and threads.closed

    # Built directly from environment constructors.
    direct = ThreadVectorEnv([lambda: NESEnv(frameskip=1)] * 2, num_threads=2)
    sync = gymnasium.make_vec(ENV_ID, num_envs=2, vectorization_mode="sync", frameskip=1)
    assert same(play(direct, 0, [[1, 2]] * 3), play(sync, 0, [[1, 2]] * 3))
    direct.close()
    sync.close()
    assert not pool_threads()


@pytest.mark.parametrize(
    "kwargs",
    [
        VECTOR_KWARGS,
        dict(frameskip=3, obs_type="rgb", max_pool=True, frame_stack=3, max_episode_steps=5),
        dict(obs_type="grayscale", obs_shape=(84, 84), frame_stack=4, max_pool=True, terminated_fn=counter_past_40),
        dict(obs_type="ram", frame_stack=2, noop_max=30, actions="all", info_ram=True, max_episode_steps=9),
    ],
)
def test_batch_vector_env_is_the_default_and_matches_separate_envs(kwargs):
    sync = gymnasium.make_vec(ENV_ID, num_envs=3, vectorization_mode="sync", **kwargs)
    batch = gymnasium.make_vec(ENV_ID, num_envs=3, **kwargs)
    assert isinstance(batch, BatchVectorEnv)
    assert batch.single_observation_space == sync.single_observation_space
    assert batch.action_space == sync.action_space
    assert same(vector_run(batch, 24), vector_run(sync, 24))
    # What the batch does not do, the threads do.
    for other in (dict(autoreset_mode=AutoresetMode.SAME_STEP), dict(render_mode="rgb_array")):
        threads = gymnasium.make_vec(ENV_ID, num_envs=2, **other)
        assert isinstance(threads, ThreadVectorEnv)
        threads.close()


def test_human_window_shows_the_game_and_closes(sdl_dummy):
    import pygame

    env = gymnasium.make(ENV_ID, render_mode="human", frameskip=1)
    env.reset(seed=0)
    assert not pygame.display.get_init()  # nothing opens before the first render()
    env.render()
    for action in (0, 5, 1):
        env.step(action)
    assert pygame.display.get_init() and pygame.display.get_surface().get_size() == (768, 720)
    assert pygame.mixer.get_init() is not None
    assert "demo" in pygame.display.get_caption()[0]
    env.close()
    assert not pygame.display.get_init() and pygame.mixer.get_init() is None
    env.close()


def test_example_and_benchmark_scripts_run(tmp_path):
    root = Path(__file__).resolve().parents[2]
    gif = tmp_path / "episode.gif"
    example = [sys.executable, str(root / "examples" / "random_agent.py"), "--steps", "15", "--gif", str(gif)]
    result = subprocess.run(example, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("15 steps (step limit)") and gif.read_bytes()[:6] == b"GIF89a"

    bench = [sys.executable, str(root / "benchmarks" / "gym_steps.py"), "--steps", "2", "--obs-type", "ram"]
    result = subprocess.run(bench, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    rows = [line.split()[:2] for line in result.stdout.splitlines()[6:]]  # below the host, settings and header lines
    assert rows == [[mode, n] for mode in ("single", "async", "thread", "batch") for n in ("1", "2", "4", "8")]


def test_hostile_rom_paths_are_refused_at_once(tmp_path):
    fifo = tmp_path / "fifo.nes"
    os.mkfifo(fifo)  # Python's open() would wait for a writer for ever
    for path in (fifo, "/dev/zero", tmp_path):
        with pytest.raises(OSError):
            NESEnv(rom=path)
    pytest.raises(ValueError, NESEnv, rom=b"not one").match("must be a cartridge image, but these bytes have no")


def test_an_environment_left_open_exits_silently():
    proc = run_script(f"import pictor_gym\nenv = pictor_gym.NESEnv(rom={DEMO!r})\nenv.reset()\nenv.step(0)\n")
    assert proc.returncode == 0 and proc.stderr == ""


def test_an_interrupted_vector_step_halts_the_turns_under_way():
    def interrupt(ram):
        raise KeyboardInterrupt  # as a Ctrl-C lands in one of the pool's turns

    long_step = 20000
    makers = [lambda: NESEnv(reward_fn=interrupt, frameskip=2)] + [lambda: NESEnv(frameskip=long_step)] * 3
    envs = ThreadVectorEnv(makers, num_threads=2)
    envs.reset(seed=0)
    machines = [env.unwrapped.machine for env in envs.envs]
    with pytest.raises(KeyboardInterrupt):
        envs.step(np.zeros(4, np.int64))
    envs.close()  # waits for the pool's threads
    # The long turn under way stopped at a frame; those not yet begun never ran.
    assert [nes.frameCount() < long_step // 2 for nes in machines] == [True] * 4


def test_human_rendering_opens_nothing_before_render_and_warns_once_without_devices():
    env = {k: v for k, v in os.environ.items() if not k.startswith("SDL_") and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    code = (
        f"import warnings, pictor_gym\nenv = pictor_gym.NESEnv(rom={DEMO!r}, render_mode='human')\n"
        "env.reset()\nenv.step(0)\nenv.render()\nenv.step(0)\nenv.render()\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
    warned = [line for line in proc.stderr.splitlines() if "Warning" in line]
    assert proc.returncode == 0 and len(warned) == 1 and "no window can open" in warned[0], proc.stderr
    assert "ALSA" not in proc.stderr and "XDG" not in proc.stderr
