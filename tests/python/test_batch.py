"""pictor.Batch and pictor.Observer: many machines in one call, observations made in C++."""

import numpy as np
import pytest

import pictor
from conftest import DEMO, ines
from pictor_gym import luma

with open(DEMO, "rb") as f:
    DEMO_IMAGE = f.read()


def pads(byte):
    return [bool(byte >> b & 1) for b in range(8)]


@pytest.mark.parametrize("accuracy", ["standard", "hardware"])
def test_a_batch_steps_as_separate_machines_do(accuracy):
    kinds = dict(obs_type="grayscale", obs_shape=(84, 84), frame_stack=3, max_pool=True)
    batch = pictor.Batch(DEMO, 3, frameskip=2, max_steps=5, accuracy=accuracy, threads=2, **kinds)
    assert len(batch) == 3 and batch.threads == 2 and batch.observations.shape == (3, 3, 84, 84)
    machines = [pictor.NES(DEMO, verbose=False, accuracy=accuracy, battery_file="none") for _ in range(3)]
    controllers = [pictor.Controller() for _ in machines]
    observers = [pictor.Observer(nes, **kinds) for nes in machines]
    for nes, pad, observer in zip(machines, controllers, observers):
        nes.setController(pad, 0)
        observer.hold()
        observer.fill()
    power_on = machines[0].getState()
    actions = np.random.default_rng(1).integers(0, 256, (12, 3))
    for step, row in enumerate(actions, 1):
        # The two forms of actions give the same pads.
        given = row if step % 2 else np.array([pads(a) for a in row])
        obs, ram, done = batch.step(given)
        for i, (nes, pad, observer) in enumerate(zip(machines, controllers, observers)):
            if step in (6, 12):  # the episodes ended at max_steps: these steps reset
                nes.setState(power_on)
                pad.updateInputs(pads(0))
                observer.hold()
                observer.fill()
            else:
                pad.updateInputs(pads(row[i]))
                nes.runFrame()
                observer.hold()
                nes.runFrame()
                observer.push()
            assert np.array_equal(obs[i], observer.observation)
            assert np.array_equal(ram[i], nes.cpuMem()[:2048])
            assert batch.frameCount[i] == nes.frameCount()
        assert done.tolist() == [step in (5, 11)] * 3


def test_states_resets_and_noops():
    batch = pictor.Batch(DEMO_IMAGE, 2, frameskip=1, obs_type="ram")
    nes = pictor.NES(DEMO, verbose=False, battery_file="none")
    for _ in range(30):
        nes.runFrame()
    later = nes.getState()
    batch.setState(1, later)
    assert batch.getState(1) == later
    batch.setResetState(0, later)
    batch.noops[:] = [0, 5]
    batch.done[:] = True  # ends both episodes: the next step resets them, its actions unused
    obs, ram, done = batch.step(np.array([255, 255]))
    assert not done.any()
    assert np.array_equal(obs[0], nes.cpuMem()[:2048])  # machine 0's reset snapshot is now `later`
    assert batch.frameCount.tolist() == [30, 5]  # machine 1 went back to power-on, then 5 frames
    with pytest.raises(ValueError):
        batch.setState(0, later[:-1])
    with pytest.raises(ValueError):
        batch.setResetState(0, b"junk")
    assert batch.getState(0) == later  # unchanged by the refusals
    with pytest.raises(IndexError, match="out of range"):
        batch.getState(2)


@pytest.mark.parametrize(
    "args, kwargs, error, match",
    [
        ((DEMO, 0), {}, ValueError, "n must be"),
        ((DEMO, 10**6), {}, ValueError, "n must be"),
        ((DEMO, 4096), {"frame_stack": 64}, ValueError, "4 GiB"),
        ((DEMO, 1), {"frameskip": 0}, ValueError, "frameskip"),
        ((DEMO, 1), {"obs_type": "hsv"}, ValueError, "obs_type"),
        ((DEMO, 1), {"obs_shape": (300, 10)}, ValueError, "obs_shape"),
        ((DEMO, 1), {"obs_type": "ram", "obs_shape": (84, 84)}, ValueError, "obs_shape"),
        ((DEMO, 1), {"obs_type": "ram", "max_pool": True}, ValueError, "max_pool"),
        ((DEMO, 1), {"frame_stack": 0}, ValueError, "frame_stack"),
        ((DEMO, 1), {"frame_stack": 65}, ValueError, "frame_stack"),
        ((DEMO, 1), {"max_steps": 0}, ValueError, "max_steps"),
        ((DEMO, 1), {"threads": 0}, ValueError, "threads"),
        ((b"not a cartridge", 1), {}, ValueError, "header"),
        (("/nonexistent/game.nes", 1), {}, FileNotFoundError, "game.nes"),
    ],
)
def test_bad_arguments_are_refused(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        pictor.Batch(*args, **kwargs)


@pytest.mark.parametrize(
    "actions", [np.zeros(3, np.int64), np.zeros((2, 7), bool), np.array([0, 256]), np.array([-1, 0]), np.zeros(2)]
)
def test_bad_actions_are_refused(actions):
    batch = pictor.Batch(ines(), 2, frameskip=1)
    with pytest.raises(ValueError, match="Batch.step"):
        batch.step(actions)


def test_observer_pictures_against_their_definitions():
    nes = pictor.NES(DEMO, verbose=False, battery_file="none")
    rgb, gray = pictor.Observer(nes), pictor.Observer(nes, obs_type="grayscale")
    halves = pictor.Observer(nes, obs_type="grayscale", obs_shape=(120, 128))
    thirds = pictor.Observer(nes, obs_shape=(80, 64))  # 3 x 4 pixels each
    small = pictor.Observer(nes, obs_type="grayscale", obs_shape=(84, 84))
    stack = pictor.Observer(nes, obs_type="grayscale", frame_stack=3)
    stack.fill()
    frames = [luma(np.array(nes.getImg()))] * 3  # the power-on picture fills the stack
    for _ in range(40):
        nes.runFrame()
        picture = np.array(nes.getImg())
        frames.append(luma(picture))
        assert np.array_equal(rgb.push(), picture)
        assert np.array_equal(gray.push(), frames[-1])
        wide = frames[-1].astype(np.int64)
        blocks = wide.reshape(120, 2, 128, 2).sum(axis=(1, 3))
        assert np.array_equal(halves.push(), (blocks + 2) // 4)
        blocks = picture.astype(np.int64).reshape(80, 3, 64, 4, 3).sum(axis=(1, 3))
        assert np.array_equal(thirds.push(), (blocks + 6) // 12)
        # Area weights of a non-integer ratio: each output pixel averages the fractions it covers.
        rows = np.clip(np.minimum(np.arange(1, 241)[None] * 84, np.arange(1, 85)[:, None] * 240)
                       - np.maximum(np.arange(240)[None] * 84, np.arange(84)[:, None] * 240), 0, None)
        cols = np.clip(np.minimum(np.arange(1, 257)[None] * 84, np.arange(1, 85)[:, None] * 256)
                       - np.maximum(np.arange(256)[None] * 84, np.arange(84)[:, None] * 256), 0, None)
        mean = rows @ wide @ cols.T / (240 * 256)  # fmt: skip
        assert np.abs(small.push() - mean).max() <= 0.5 + 1e-9
        assert np.array_equal(stack.push(), np.stack(frames[-3:]))
    with pytest.raises(TypeError, match="pictor.NES"):
        pictor.Observer("game.nes")
