"""NumPy arrays at the boundary: which arguments are taken, how they reach a kernel, and the
result arrays handed back."""

import textwrap

import numpy as np
import pytest

import _frame_fixture as fixture
from _kernels import eikonal_solve
from support import needs_plain_allocator, raised

SPACING = (1.0, 1.0)
SEEDS = [(0, 0, 0.0)]
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


class Sub(np.ndarray):
    pass


@pytest.mark.parametrize(
    "slowness, message",
    [
        ([[1.0]], "'list' object is not an instance of 'ndarray'"),
        (((1.0,),), "'tuple' object is not an instance of 'ndarray'"),
        (None, "'None' is not an instance of 'ndarray'"),
        (np.ones((2, 2), dtype=np.float32), "'ndarray' object is not an instance of 'ndarray'"),
        (np.ones((2, 2), dtype=np.int64), "'ndarray' object is not an instance of 'ndarray'"),
        (np.ones((2, 2), dtype=">f8"), "'ndarray' object is not an instance of 'ndarray'"),
        (np.ones(4), "'ndarray' object is not an instance of 'ndarray'"),
        (np.ones((2, 2, 2)), "'ndarray' object is not an instance of 'ndarray'"),
        (np.float64(1.0), "'float64' object is not an instance of 'ndarray'"),
    ],
)
def test_arguments_that_are_not_2d_float64_arrays(slowness, message):
    error = raised(lambda: eikonal_solve(slowness, SPACING, SEEDS))
    assert type(error) is TypeError and str(error) == message
    assert error.__notes__ == ["while processing 'slowness'"]


def test_a_2d_array_for_a_1d_parameter():
    error = raised(lambda: fixture.synthesise_pulses(np.ones((2, 2)), np.ones(2), 0.1))
    assert str(error) == "'ndarray' object is not an instance of 'ndarray'"
    assert error.__notes__ == ["while processing 'slip_m'"]


def test_subclass_and_native_equivalent_dtype_are_taken():
    grid = np.ones((3, 3))
    expected = eikonal_solve(grid, SPACING, SEEDS)
    np.testing.assert_array_equal(eikonal_solve(grid.view(Sub), SPACING, SEEDS), expected)
    np.testing.assert_array_equal(eikonal_solve(grid.astype("<d"), SPACING, SEEDS), expected)


@pytest.mark.parametrize(
    "slowness, message",
    [
        (np.zeros((0, 5)), "a 0x5 grid has no cells to solve on"),
        (np.zeros((5, 0)), "a 5x0 grid has no cells to solve on"),
        (np.zeros((6, 0))[::2], "a 3x0 grid has no cells to solve on"),  # odd strides, no cells
        (np.zeros((0, 10))[:, ::3], "a 0x4 grid has no cells to solve on"),
        (np.zeros((4, 0), order="F")[::-1], "a 4x0 grid has no cells to solve on"),
    ],
)
def test_empty_arrays_skip_the_contiguity_test(slowness, message):
    error = raised(lambda: eikonal_solve(slowness, SPACING, SEEDS))
    assert type(error) is ValueError and str(error) == message


@pytest.mark.parametrize(
    "view",
    [
        lambda a: a[:, ::2],
        lambda a: a[::2, :],
        lambda a: a[::-1],
        lambda a: a[1:3, 1:4],
    ],
)
def test_non_contiguous_views_are_refused_after_the_conversions(view):
    slowness = view(np.ones((4, 6)))
    error = raised(lambda: eikonal_solve(slowness, SPACING, SEEDS))
    assert type(error) is TypeError and str(error) == NOT_CONTIGUOUS
    assert not hasattr(error, "__notes__")
    # A conversion error of a later parameter still wins.
    error = raised(lambda: eikonal_solve(slowness, [1.0, 1.0], SEEDS))
    assert str(error) == "'list' object is not an instance of 'tuple'"
    assert error.__notes__ == ["while processing 'spacing_km'"]


def test_misaligned_array_is_refused():
    raw = np.zeros(8 * 9 + 1, dtype=np.uint8)
    misaligned = raw[1:].view(np.float64).reshape(3, 3)
    assert not misaligned.flags.aligned
    error = raised(lambda: fixture.grid_cells(misaligned))
    assert type(error) is TypeError and str(error) == NOT_CONTIGUOUS


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a,
        lambda a: np.asfortranarray(a),
        lambda a: np.ascontiguousarray(a.T).T,
        lambda a: a[1:2],  # one row: both C- and F-contiguous
    ],
)
def test_kernels_read_cell_i_j_at_row_major_position(make):
    grid = np.arange(12.0).reshape(3, 4) + 1.0
    array = make(grid)
    assert fixture.grid_cells(array) == [x for row in array.tolist() for x in row]


def test_fortran_order_gives_the_c_order_result():
    rng = np.random.default_rng(5)
    slowness = rng.uniform(0.2, 0.5, size=(17, 23))
    seeds = [(3, 4, 0.0), (15, 20, 1.5)]
    c_result = eikonal_solve(slowness, (0.5, 0.7), seeds)
    f_result = eikonal_solve(np.asfortranarray(slowness), (0.5, 0.7), seeds)
    np.testing.assert_array_equal(f_result, c_result)
    # The transpose of a C array is F-ordered; the result follows its indices.
    t_result = eikonal_solve(slowness.T.copy().T, (0.5, 0.7), seeds)
    np.testing.assert_array_equal(t_result, c_result)
    assert f_result.flags.c_contiguous


@pytest.mark.parametrize("order", ["C", "F"])
def test_result_array(order):
    slowness = np.asarray(np.full((5, 7), 0.25), order=order)
    result = eikonal_solve(slowness, (1.0, 1.0), [(2, 3, 0.0)])
    assert type(result) is np.ndarray and result.dtype == np.float64
    assert result.shape == (5, 7) and result.strides == (56, 8)
    assert result.flags.c_contiguous and result.flags.writeable and result.flags.aligned
    assert not result.flags.owndata
    assert type(result.base).__name__ == "PySliceContainer"
    assert not np.shares_memory(result, slowness)
    result[0, 0] = -1.0  # writeable in fact, not only in its flags


def test_result_shapes_and_strides_of_other_kinds():
    # A 2-D result without cells has zero strides.
    for counts, strides in [((2, 3), (24, 8)), ((0, 3), (0, 0)), ((3, 0), (0, 0))]:
        field = fixture.circulant_draw(np.ones((1, 1)), (1, 1), counts, 0)[2]
        assert field.shape == counts and field.strides == strides and field.dtype == np.float64
        assert type(field.base).__name__ == "PySliceContainer" and field.flags.writeable
        assert not field.flags.owndata  # empty ones too: NumPy must not allocate its own
    _, _, (offsets, samples) = fixture.synthesise_pulses(np.array([1.0, 2.0, 3.0]), np.ones(3), 0.1)
    assert offsets.dtype == np.int64 and offsets.tolist() == [0, 1, 2, 3] and offsets.strides == (8,)
    assert samples.dtype == np.float64 and samples.tolist() == [1.0, 2.0, 3.0]
    for array in (offsets, samples):
        assert type(array.base).__name__ == "PySliceContainer" and not array.flags.owndata
    empty = fixture.synthesise_pulses(np.ones(0), np.ones(0), 0.1)[2][1]
    assert empty.shape == (0,) and not empty.flags.owndata
    assert type(empty.base).__name__ == "PySliceContainer"


def test_owner_type_is_not_exposed_and_cannot_be_made():
    import _kernels

    owner = type(eikonal_solve(np.ones((1, 1)), SPACING, SEEDS).base)
    assert owner.__name__ == "PySliceContainer" and owner.__bases__ == (object,)
    assert "PySliceContainer" not in dir(_kernels)
    with pytest.raises(TypeError):
        owner()


def test_views_keep_the_buffer_alive():
    result = eikonal_solve(np.full((50, 50), 0.5), SPACING, [(0, 0, 0.0)])
    expected = result[10:20].copy()
    view = result[10:20]
    del result
    np.testing.assert_array_equal(view, expected)


@needs_plain_allocator
def test_dropped_results_free_their_buffers(python):
    # Each buffer is 0.7 MB; if those of the solves alone leaked, RSS would grow by 58 MB.
    code = textwrap.dedent(
        """
        import numpy as np, _kernels, _frame_fixture
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096
        s = np.full((300, 300), 0.3)
        for _ in range(5):
            _kernels.eikonal_solve(s, (1.0, 1.0), [(0, 0, 0.0)])
            _frame_fixture.circulant_draw(s, (1, 1), (300, 300), 0)
        before = rss()
        for _ in range(40):
            r = _kernels.eikonal_solve(s, (1.0, 1.0), [(0, 0, 0.0)])
            v = r[1:]
            del r, v
            _frame_fixture.circulant_draw(s, (1, 1), (300, 300), 0)
            _kernels.eikonal_solve(np.asfortranarray(s), (1.0, 1.0), [(0, 0, 0.0)])
        print(rss() - before)
        """
    )
    result = python(code)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 25 * 2**20


# Replaces one entry of NumPy's interface table by a constant-returning function, then calls the
# module; puts the real table back and calls again.
FAKE_TABLE = textwrap.dedent(
    """
    import ctypes, numpy as np, _kernels
    core = "numpy._core" if np.lib.NumpyVersion(np.__version__).major >= 2 else "numpy.core"
    mod = __import__(core + ".multiarray", fromlist=["_ARRAY_API"])
    api = ctypes.pythonapi
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    api.PyCapsule_New.restype = ctypes.py_object
    api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    real = mod._ARRAY_API
    table = (ctypes.c_void_p * 283)()
    ctypes.memmove(table, api.PyCapsule_GetPointer(real, None), ctypes.sizeof(table))
    fake = ctypes.CFUNCTYPE(ctypes.c_int)(lambda: VALUE)
    table[INDEX] = ctypes.cast(fake, ctypes.c_void_p).value
    mod._ARRAY_API = REPLACEMENT
    def call():
        try:
            _kernels.eikonal_solve(np.ones((1, 1)), (1.0, 1.0), [(0, 0, 0.0)])
            return "ok"
        except BaseException as e:
            return type(e).__name__ + ": " + str(e)
    print(call())
    mod._ARRAY_API = real
    print(call())
    """
)


@pytest.mark.parametrize(
    "index, value, replacement, text",
    [
        (0, 0x2000001, "api.PyCapsule_New(table, None, None)",
         "module compiled against ABI version 0x2000000 but this version of numpy is 0x2000001"),
        (211, 0xB, "api.PyCapsule_New(table, None, None)",
         "module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the running NumPy has "
         "C-API version 0xb"),
        (210, 2, "api.PyCapsule_New(table, None, None)",
         "module compiled as little endian, but detected different endianness at runtime"),
        (0, 0, "object()", "'object' object is not an instance of 'PyCapsule'"),
    ],
)
def test_numpy_interface_tests_and_retry(python, index, value, replacement, text):
    code = FAKE_TABLE.replace("INDEX", str(index)).replace("VALUE", str(value))
    result = python(code.replace("REPLACEMENT", replacement))
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.splitlines()
    assert first.startswith("PanicException: Failed to access NumPy array API capsule: ")
    assert text in first
    assert second == "ok"


def test_the_table_comes_from_the_multiarray_module_of_this_numpy(python):
    code = textwrap.dedent(
        """
        import sys, numpy as np, _kernels
        _kernels.eikonal_solve(np.ones((1, 1)), (1.0, 1.0), [(0, 0, 0.0)])
        core = "numpy._core" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core"
        print(hasattr(sys.modules[core + ".multiarray"], "_RUST_NUMPY_BORROW_CHECKING_API"))
        """
    )
    result = python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True\n"
