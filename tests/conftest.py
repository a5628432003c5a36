import os
import subprocess
import sys

import pytest


def run_python(code, env=None):
    """Runs `code` in a fresh interpreter that finds the built extensions, and returns the result."""
    environment = dict(os.environ)
    environment.pop("KERNELS_BACKTRACE", None)
    environment.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=environment,
        timeout=120,
    )


@pytest.fixture
def python():
    return run_python
