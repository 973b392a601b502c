import os
import subprocess
import sys
from pathlib import Path

import pytest


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter (the one running the tests) and
    returns the completed process; extra environment entries may be given."""

    def run(code, env=None):
        full_env = dict(os.environ)
        full_env.update(env or {})
        return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              env=full_env, timeout=120)

    return run


# Real files other projects wrote, beside the checkout (../shared/data);
# tests that need them skip where the folder is absent.
SHARED_DATA = Path(__file__).resolve().parents[1].parent / "shared" / "data"
# The peers' own environment (make peers), for oracle tests; they skip without it.
PEERS_PYTHON = Path(__file__).resolve().parents[1] / ".venv-peers" / "bin" / "python"


def shared_files(folder: str, pattern: str = "*") -> list[Path]:
    """The real files of a folder of ../shared/data, sorted; none where it is absent."""
    return sorted((SHARED_DATA / folder).glob(pattern)) if (SHARED_DATA / folder).is_dir() else []


def shared_file(name: str) -> Path:
    """One real file of ../shared/data ('outcar/OUTCAR.x'); the test skips where it is absent."""
    path = SHARED_DATA / name
    if not path.exists():
        pytest.skip(f"{name} is not in ../shared/data")
    return path


@pytest.fixture
def run_peer():
    """Runs a snippet with the peers' interpreter (make peers) and returns its
    stdout; the test skips where that environment does not exist."""

    def run(code, *args):
        if not PEERS_PYTHON.exists():
            pytest.skip("no .venv-peers: make peers")
        done = subprocess.run([str(PEERS_PYTHON), "-c", code, *map(str, args)], capture_output=True, text=True,
                              timeout=600)
        if done.returncode != 0:
            raise AssertionError(f"peer failed: {done.stderr[-2000:]}")
        return done.stdout

    return run
