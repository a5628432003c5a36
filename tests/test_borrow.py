"""The array borrow table, driven through its capsule with ctypes as another extension sharing it
would: its writable holds and the module's read-only holds must exclude each other."""

import signal
import textwrap
import threading

import numpy as np
import pytest

import _frame_fixture as fixture
from _kernels import eikonal_solve

SPACING = (1.0, 1.0)
SEEDS = [(0, 0, 0.0)]


def solve_outcome(slowness):
    try:
        eikonal_solve(slowness, SPACING, SEEDS)
        return "ok"
    except BaseException as error:  # noqa: B036 - PanicException is one of the outcomes
        return f"{type(error).__name__}: {error}"


BASE = np.ones((4, 6))
FLAT = np.ones(24)


@pytest.mark.parametrize(
    "held, argument, outcome",
    [
        (BASE, BASE, "panic"),
        (BASE[1:3], BASE[2:], "panic"),
        (BASE[:, 2:4], BASE[2:], "panic"),  # strided hold reaching into the argument
        (BASE[:2], BASE[2:], "ok"),  # disjoint rows of one buffer
        (np.ones((4, 6)), BASE, "ok"),  # another owner entirely
        # Even elements against odd ones never share an element; the argument is then refused
        # only for its layout, after its hold was granted.
        (FLAT[1::2], FLAT[::2].reshape(3, 4), "not contiguous"),
        (FLAT[4::2], FLAT[::2].reshape(3, 4), "panic"),
    ],
)
def test_writable_hold_of_another_extension(table, held, argument, outcome):
    assert table.acquire_mut(held) == 0
    try:
        result = solve_outcome(argument)
    finally:
        table.release_mut(held)
    if outcome == "panic":
        assert result.startswith("PanicException: ") and result.endswith("AlreadyBorrowed")
    elif outcome == "not contiguous":
        assert result == "TypeError: The given array is not contiguous or is misaligned."
    else:
        assert result == "ok"
    table.assert_free(argument)
    table.assert_free(held)


@pytest.mark.parametrize(
    "call",
    [
        lambda a: eikonal_solve(a, SPACING, SEEDS),
        lambda a: eikonal_solve(a, [1.0], SEEDS),  # conversion error after the hold
        lambda a: eikonal_solve(a, SPACING, []),  # kernel error
        lambda a: eikonal_solve(a, (1.0, float("nan")), SEEDS),
        lambda a: eikonal_solve(a[:, ::2], SPACING, SEEDS),  # contiguity error
        lambda a: fixture.synthesise_pulses(a[0], a[0], 0.1),  # one array for two parameters
        lambda a: fixture.synthesise_pulses(a[0], a[1], 0.1, a[2]),  # three views of one buffer
        lambda a: fixture.synthesise_pulses(a[0], a[1], "x"),
        lambda a: fixture.fail_holding(a.T),  # internal failure while detached
    ],
)
def test_every_way_out_releases_the_holds(table, call):
    array = np.ones((3, 4))
    try:
        call(array)
    except BaseException:  # noqa: B036 - PanicException is one of the ways out
        pass
    table.assert_free(array)


def test_read_only_holds_are_counted_and_shared(table):
    array = np.ones((3, 3))
    assert table.acquire(array) == 0
    assert table.acquire(array[:]) == 0  # a view of it, same key
    assert solve_outcome(array) == "ok"  # read-only holds never refuse each other
    assert table.acquire_mut(array) == -1
    table.release(array)
    assert table.acquire_mut(array) == -1
    table.release(array)
    table.assert_free(array)


def test_writable_holds_exclude_each_other_and_need_writeable_arrays(table):
    array = np.ones((3, 3))
    assert table.acquire_mut(array[0]) == 0
    assert table.acquire_mut(array[0]) == -1
    assert table.acquire(array[:1]) == -1
    assert table.acquire_mut(array[1]) == 0
    table.release_mut(array[0])
    table.release_mut(array[1])
    frozen = np.ones(3)
    frozen.flags.writeable = False
    assert table.acquire_mut(frozen) == -2
    # Arrays without elements, or of no dimensions, still take and give back holds.
    for special in (np.ones((0, 3)), np.array(1.0)):
        assert table.acquire(special) == 0
        table.release(special)
        table.assert_free(special)


def test_concurrent_calls_on_one_array(table):
    array = np.full((300, 300), 0.3)
    errors = []

    def work():
        try:
            for _ in range(5):
                eikonal_solve(array, SPACING, SEEDS)
        except BaseException as error:  # noqa: B036
            errors.append(error)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    table.assert_free(array)


# Installs a record of the test's own on the multiarray module before the module looks for one.
FOREIGN_RECORD = textwrap.dedent(
    """
    import ctypes, numpy as np, _kernels
    core = "numpy._core" if np.lib.NumpyVersion(np.__version__).major >= 2 else "numpy.core"
    mod = __import__(core + ".multiarray", fromlist=["x"])
    HOLD = ctypes.PYFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.py_object)
    END = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)
    class Shared(ctypes.Structure):
        _fields_ = [("version", ctypes.c_uint64), ("flags", ctypes.c_void_p), ("acquire", HOLD),
                    ("acquire_mut", HOLD), ("release", END), ("release_mut", END)]
    calls = []
    def acquire(flags, array):
        calls.append(("acquire", array.shape))
        return STATUS
    def release(flags, array):
        calls.append(("release", array.shape))
    record = Shared(VERSION, None, HOLD(acquire), HOLD(lambda f, a: 0), END(release), END(lambda f, a: None))
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    installed = ATTRIBUTE
    setattr(mod, "_RUST_NUMPY_BORROW_CHECKING_API", installed)
    def call():
        try:
            _kernels.eikonal_solve(np.ones((2, 3)), (1.0, 1.0), [(0, 0, 0.0)])
            return "ok"
        except BaseException as e:
            return type(e).__name__ + ": " + str(e)
    print(call())
    print(calls)
    print(getattr(mod, "_RUST_NUMPY_BORROW_CHECKING_API") is installed)
    delattr(mod, "_RUST_NUMPY_BORROW_CHECKING_API")
    print(call())  # a failed set-up is tried again
    """
)
CAPSULE = 'new(ctypes.addressof(record), b"_RUST_NUMPY_BORROW_CHECKING_API", None)'


@pytest.mark.parametrize(
    "version, status, attribute, first, calls",
    [
        (1, 0, CAPSULE, "ok", "[('acquire', (2, 3)), ('release', (2, 3))]"),
        (1, 5, CAPSULE, "PanicException: Unexpected return code 5 from borrow checking API",
         "[('acquire', (2, 3))]"),
        (0, 0, CAPSULE, "PanicException: Internal borrow checking API error: ", "[]"),
        (1, 0, 'new(ctypes.addressof(record), b"another name", None)',
         "PanicException: Internal borrow checking API error: ", "[]"),
        (1, 0, "42", "PanicException: Internal borrow checking API error: ", "[]"),
    ],
)
def test_record_found_on_the_multiarray_module(python, version, status, attribute, first, calls):
    code = FOREIGN_RECORD.replace("VERSION", str(version)).replace("STATUS", str(status))
    result = python(code.replace("ATTRIBUTE", attribute))
    assert result.returncode == 0, result.stderr
    outcome, seen, kept, retried = result.stdout.splitlines()
    assert outcome.startswith(first)
    if attribute == "42":
        assert "'int' object is not an instance of 'PyCapsule'" in outcome
    assert seen == calls
    assert kept == "True"  # never replaced by a table of the module's own
    assert retried == ("ok" if first.startswith("PanicException: Internal") else outcome)


def test_a_failure_inside_the_tables_functions_ends_the_process(python):
    # The table's functions are called from other extensions' C code: an internal failure in them
    # (here NumPy's interface cannot be loaded) must end the process, never unwind into the caller.
    result = python(
        textwrap.dedent(
            """
            import sys
            import numpy as np
            import _frame_fixture
            core = "numpy._core" if np.lib.NumpyVersion(np.__version__).major >= 2 else "numpy.core"
            sys.modules[core + ".multiarray"]._ARRAY_API = None
            try:
                _frame_fixture.hold_directly(np.ones(3))
            except BaseException as error:
                print("came back as", type(error).__name__)
            """
        )
    )
    assert result.returncode == -signal.SIGABRT, (result.stdout, result.stderr)
    assert result.stdout == ""
    assert "Failed to access NumPy array API capsule" in result.stderr
