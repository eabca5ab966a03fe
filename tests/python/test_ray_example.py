"""examples/ray_rollouts.py: evolution strategies on the actors of a local Ray instance."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

if "libasan" in os.environ.get("LD_PRELOAD", ""):
    # Ray's own processes would start with the sanitizer runtime preloaded as well.
    pytest.skip("Ray does not run under the preloaded sanitizer runtime", allow_module_level=True)
pytest.importorskip("ray", reason="the Ray example needs the ray extra")

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "ray_rollouts.py"


def run(*flags, timeout=300):
    return subprocess.run(
        [sys.executable, str(EXAMPLE), *flags], capture_output=True, text=True, timeout=timeout, env=os.environ.copy()
    )


@pytest.fixture
def ray_temp():
    """Ray's session folder: its sockets' paths must fit in 107 bytes, too few below tmp_path."""
    folder = tempfile.mkdtemp(prefix="ray-", dir="/tmp")
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def test_iterations_on_local_actors(ray_temp):
    flags = ["--iterations", "2", "--actors", "2", "--machines-per-actor", "2", "--episode-steps", "20"]
    proc = run(*flags, "--num-cpus", "2", "--temp-dir", ray_temp)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    pattern = re.compile(r"iteration (\d)/2: [\d.]+ episodes/s, return mean ([\d.]+) best (\d+)")
    iterations = [m for m in map(pattern.fullmatch, lines) if m]
    assert [m[1] for m in iterations] == ["1", "2"], proc.stdout
    for m in iterations:
        # The demo changes RAM at every frame, so every episode has some activity.
        assert 0 < float(m[2]) <= int(m[3]), m[0]
    assert lines[-1].startswith("8 episodes of 20 steps on 2 actors in "), proc.stdout


@pytest.mark.parametrize(
    "flags, message",
    [
        (["--actors", "0"], "--actors: must be at least 1"),
        (["--reward", "0x800"], "outside the RAM"),
        (["--reward", "motion"], "not 'activity' or an address"),
        (["--address", "auto", "--num-cpus", "2"], "for a local instance"),
    ],
)
def test_bad_flags_stop_before_ray_starts(flags, message):
    proc = run(*flags, timeout=60)
    assert proc.returncode == 2 and message in proc.stderr, proc.stderr
