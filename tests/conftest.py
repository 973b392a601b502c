import os
import subprocess
import sys

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
