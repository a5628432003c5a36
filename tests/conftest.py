import ctypes
import os
import subprocess
import sys

import numpy as np
import pytest


def run_python(code, env=None, wrapper=(), cwd=None):
    """Runs `code` in a fresh interpreter that finds the built extensions, and returns the result.
    `wrapper` is a command line that the interpreter's own is appended to, such as `unshare --pid`."""
    environment = dict(os.environ)
    environment.pop("KERNELS_BACKTRACE", None)
    environment.update(env or {})
    return subprocess.run(
        [*wrapper, sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=environment,
        cwd=cwd,
        timeout=120,
    )


@pytest.fixture
def python():
    return run_python


# The array borrow table, reached through its capsule with ctypes as another extension sharing it
# would reach it.
NAME = "_RUST_NUMPY_BORROW_CHECKING_API"

# Callbacks keep the interpreter lock, as an extension calling the record from C would hold it.
HOLD = ctypes.PYFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.py_object)
END = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class Shared(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("flags", ctypes.c_void_p),
        ("acquire", HOLD),
        ("acquire_mut", HOLD),
        ("release", END),
        ("release_mut", END),
    ]


def multiarray():
    core = "numpy._core" if np.lib.NumpyVersion(np.__version__).major >= 2 else "numpy.core"
    return sys.modules[core + ".multiarray"]


@pytest.fixture(scope="module")
def table():
    import _kernels

    _kernels.eikonal_solve(np.ones((1, 1)), (1.0, 1.0), [(0, 0, 0.0)])  # installs the table
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    record = Shared.from_address(get(getattr(multiarray(), NAME), NAME.encode()))
    assert record.version == 1

    class Table:
        def acquire(self, array):
            return record.acquire(record.flags, array)

        def acquire_mut(self, array):
            return record.acquire_mut(record.flags, array)

        def release(self, array):
            record.release(record.flags, array)

        def release_mut(self, array):
            record.release_mut(record.flags, array)

        def assert_free(self, array):
            """A writable hold can be taken, so no read-only hold of a call was left behind."""
            assert self.acquire_mut(array) == 0
            self.release_mut(array)

    return Table()

