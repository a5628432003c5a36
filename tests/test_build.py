"""What the build itself refuses."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

SOURCE = pathlib.Path(__file__).resolve().parents[1]

# Makes the interpreter report itself as a free-threaded build, as such a build's sysconfig would.
FREE_THREADED = """
import sysconfig
_real = sysconfig.get_config_var
sysconfig.get_config_var = lambda name: 1 if name == "Py_GIL_DISABLED" else _real(name)
"""


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
def test_configure_refuses_a_free_threaded_interpreter(tmp_path):
    (tmp_path / "sitecustomize.py").write_text(FREE_THREADED)
    environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH")}
    environment["PYTHONPATH"] = str(tmp_path)
    result = subprocess.run(
        ["cmake", "-S", str(SOURCE), "-B", str(tmp_path / "build"), f"-DPython_EXECUTABLE={sys.executable}"],
        capture_output=True,
        text=True,
        env=environment,
        timeout=120,
    )
    assert result.returncode != 0
    message = " ".join(result.stderr.split())
    assert f"{sys.executable} is a free-threaded build of CPython (Py_GIL_DISABLED)" in message
    assert "_kernels is made for the standard build only" in message
