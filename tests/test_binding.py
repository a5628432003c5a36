"""Argument binding and conversion: what a caller sees for every argument it gets wrong.

`eikonal_solve` is exercised directly; the parameter kinds it lacks (an optional array, unsigned
integers, a bare float) through the fixture's bindings of `synthesise_pulses` and
`circulant_draw`, which have the real parameter descriptions.
"""

import numpy as np
import pytest

import _frame_fixture as fixture
from _kernels import eikonal_solve
from support import raised

GRID = np.ones((3, 3))
SPACING = (1.0, 1.0)
SEEDS = [(0, 0, 0.0)]
V = np.ones(2)  # a valid 1-D array
Q = np.ones((2, 2))  # a valid 2-D array


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: eikonal_solve(GRID, SPACING, SEEDS, 4),
         "eikonal_solve() takes 3 positional arguments but 4 were given"),
        (lambda: fixture.synthesise_pulses(V, V, 0.1, None, 5, bogus=1),
         "synthesise_pulses() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda: fixture.no_parameters(1), "no_parameters() takes 0 positional arguments but 1 was given"),
        (lambda: eikonal_solve(),
         "eikonal_solve() missing 3 required positional arguments: 'slowness', 'spacing_km', and 'seeds'"),
        (lambda: eikonal_solve(GRID),
         "eikonal_solve() missing 2 required positional arguments: 'spacing_km' and 'seeds'"),
        (lambda: eikonal_solve(seeds=SEEDS),
         "eikonal_solve() missing 2 required positional arguments: 'slowness' and 'spacing_km'"),
        (lambda: fixture.synthesise_pulses(V, V),
         "synthesise_pulses() missing 1 required positional argument: 'dt_s'"),
        (lambda: fixture.circulant_draw(),
         "circulant_draw() missing 4 required positional arguments: "
         "'amplitudes', 'padded_shape', 'cell_counts', and 'seed'"),
        (lambda: eikonal_solve(GRID, slowness=GRID),
         "eikonal_solve() got multiple values for argument 'slowness'"),
        (lambda: eikonal_solve(GRID, SPACING, SEEDS, seed=1),
         "eikonal_solve() got an unexpected keyword argument 'seed'"),
        (lambda: eikonal_solve(Slowness=GRID, spacing_km=SPACING, seeds=SEEDS),
         "eikonal_solve() got an unexpected keyword argument 'Slowness'"),
        # Binding comes before any conversion.
        (lambda: eikonal_solve(None, None, None, bogus=1),
         "eikonal_solve() got an unexpected keyword argument 'bogus'"),
        (lambda: eikonal_solve(GRID, SPACING, SEEDS, **{"s\udcffx": 1}),
         "eikonal_solve() got an unexpected keyword argument 's\ufffd\ufffd\ufffdx'"),
        (lambda: eikonal_solve(GRID, SPACING, SEEDS, **{"é": 1}),
         "eikonal_solve() got an unexpected keyword argument 'é'"),
    ],
)
def test_binding_errors(call, message):
    error = raised(call)
    assert type(error) is TypeError
    assert str(error) == message
    assert not hasattr(error, "__notes__")


def test_keywords_in_any_order_and_optional_beta():
    by_keyword = eikonal_solve(seeds=SEEDS, slowness=GRID, spacing_km=SPACING)
    np.testing.assert_array_equal(by_keyword, eikonal_solve(GRID, SPACING, SEEDS))
    assert fixture.synthesise_pulses(V, V, 0.1)[1] is False
    assert fixture.synthesise_pulses(V, V, 0.1, None)[1] is False
    assert fixture.synthesise_pulses(V, V, 0.1, beta=V)[1] is True


class Float(float):
    pass


class Int(int):
    pass


class Index:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "dt_s, expected",
    [(1, 1.0), (True, 1.0), (-1.0, -1.0), (Float(2.5), 2.5), (np.float32(0.1), float(np.float32(0.1))),
     (np.int64(3), 3.0), (Index(), 7.0)],
)
def test_float_conversion_accepts(dt_s, expected):
    value = fixture.synthesise_pulses(V, V, dt_s)[0]
    assert type(value) is float and value == expected


@pytest.mark.parametrize(
    "seed, expected",
    [(2**64 - 1, 2**64 - 1), (0, 0), (True, 1), (Int(5), 5), (np.uint64(2**63 + 1), 2**63 + 1), (Index(), 7)],
)
def test_unsigned_conversion_accepts(seed, expected):
    assert fixture.circulant_draw(Q, (1, 2), (1, 1), seed)[1] == expected


def test_pairs_accept_tuple_subclasses_and_ints():
    class Pair(tuple):
        pass

    assert fixture.circulant_draw(Q, Pair((3, 4)), (1, 1), 0)[0] == (3, 4)
    np.testing.assert_array_equal(eikonal_solve(GRID, (1, 2), SEEDS), eikonal_solve(GRID, (1.0, 2.0), SEEDS))


# (call, exception type, message or None for the interpreter's own text, parameter in the note)
CONVERSION_ERRORS = [
    (lambda: eikonal_solve(GRID, [1.0, 1.0], SEEDS), TypeError,
     "'list' object is not an instance of 'tuple'", "spacing_km"),
    (lambda: eikonal_solve(GRID, None, SEEDS), TypeError, "'None' is not an instance of 'tuple'", "spacing_km"),
    (lambda: eikonal_solve(GRID, (1.0,), SEEDS), ValueError,
     "expected tuple of length 2, but got tuple of length 1", "spacing_km"),
    (lambda: eikonal_solve(GRID, (1.0, 2.0, 3.0), SEEDS), ValueError,
     "expected tuple of length 2, but got tuple of length 3", "spacing_km"),
    (lambda: eikonal_solve(GRID, (1.0, "2"), SEEDS), TypeError, "must be real number, not str", "spacing_km"),
    (lambda: eikonal_solve(GRID, (10**400, 1.0), SEEDS), OverflowError, None, "spacing_km"),
    (lambda: eikonal_solve(GRID, SPACING, "000"), TypeError,
     "a str cannot be taken as a sequence of seeds; give (i, j, t0_seconds) tuples", "seeds"),
    (lambda: eikonal_solve(GRID, SPACING, {}), TypeError, "'dict' object is not an instance of 'Sequence'", "seeds"),
    (lambda: eikonal_solve(GRID, SPACING, (s for s in SEEDS)), TypeError,
     "'generator' object is not an instance of 'Sequence'", "seeds"),
    (lambda: eikonal_solve(GRID, SPACING, {(0, 0, 0.0)}), TypeError, "'set' object is not an instance of 'Sequence'",
     "seeds"),
    (lambda: eikonal_solve(GRID, SPACING, [(0, 0, 0.0), [1, 1, 0.0]]), TypeError,
     "'list' object is not an instance of 'tuple'", "seeds"),
    (lambda: eikonal_solve(GRID, SPACING, [(0, 0)]), ValueError,
     "expected tuple of length 3, but got tuple of length 2", "seeds"),
    (lambda: eikonal_solve(GRID, SPACING, [(0, -1, 0.0)]), OverflowError, None, "seeds"),
    (lambda: eikonal_solve(GRID, SPACING, [(0.0, 0, 0.0)]), TypeError, None, "seeds"),
    (lambda: eikonal_solve(GRID, SPACING, [(0, 0, None)]), TypeError, None, "seeds"),
    (lambda: eikonal_solve(GRID, SPACING, np.zeros((1, 3))), TypeError,
     "'ndarray' object is not an instance of 'tuple'", "seeds"),
    # A huge reported length is only a hint: the first item fails long before memory would.
    (lambda: eikonal_solve(GRID, SPACING, range(10**17)), TypeError, "'int' object is not an instance of 'tuple'",
     "seeds"),
    (lambda: fixture.circulant_draw(Q, (-1, 4), (1, 1), 0), OverflowError, None, "padded_shape"),
    (lambda: fixture.circulant_draw(Q, (1, 4), (1, 2**64), 0), OverflowError, None, "cell_counts"),
    (lambda: fixture.circulant_draw(Q, (1, 4), (1, 1), 2**64), OverflowError, None, "seed"),
    (lambda: fixture.circulant_draw(Q, (1, 4), (1, 1), 1.0), TypeError, None, "seed"),
    (lambda: fixture.circulant_draw(Q, (1, 4), (1, 1), np.float64(1.0)), TypeError, None, "seed"),
    (lambda: fixture.synthesise_pulses(V, V, "0.1"), TypeError, "must be real number, not str", "dt_s"),
    (lambda: fixture.synthesise_pulses(V, V, None), TypeError, None, "dt_s"),
    (lambda: fixture.synthesise_pulses(V, V, 0.1, [1.0, 2.0]), TypeError,
     "'list' object is not an instance of 'ndarray'", "beta"),
]


@pytest.mark.parametrize("call, kind, message, parameter", CONVERSION_ERRORS)
def test_conversion_errors_carry_the_parameter_note(call, kind, message, parameter):
    error = raised(call)
    assert type(error) is kind
    if message is not None:
        assert str(error) == message
    assert error.__notes__ == [f"while processing '{parameter}'"]


def test_earlier_parameter_wins():
    error = raised(lambda: eikonal_solve([1.0], [1.0], "x"))
    assert error.__notes__ == ["while processing 'slowness'"]
    error = raised(lambda: eikonal_solve(GRID, [1.0], "x"))
    assert error.__notes__ == ["while processing 'spacing_km'"]


class Raises:
    """An object whose own conversions raise a given exception."""

    def __init__(self, exception):
        self.exception = exception

    def __float__(self):
        raise self.exception

    def __index__(self):
        raise self.exception


class BrokenSequence(list):
    def __init__(self, exception):
        super().__init__([(0, 0, 0.0)])
        self.exception = exception

    def __len__(self):
        raise RuntimeError("no length")  # ignored: the length is only a hint

    def __iter__(self):
        raise self.exception


@pytest.mark.parametrize(
    "make_call, parameter",
    [
        (lambda bad: eikonal_solve(GRID, (1.0, bad), SEEDS), "spacing_km"),
        (lambda bad: eikonal_solve(GRID, SPACING, [(0, 0, 0.0), (bad, 0, 0.0)]), "seeds"),
        (lambda bad: eikonal_solve(GRID, SPACING, [(0, 0, bad)]), "seeds"),
        (lambda bad: eikonal_solve(GRID, SPACING, BrokenSequence(bad.exception)), "seeds"),
        (lambda bad: fixture.circulant_draw(Q, (1, 4), (1, 1), bad), "seed"),
        (lambda bad: fixture.synthesise_pulses(V, V, bad), "dt_s"),
    ],
)
def test_an_arguments_own_exception_arrives_itself_noted(make_call, parameter):
    exception = LookupError("from the argument itself")
    error = raised(lambda: make_call(Raises(exception)))
    assert error is exception
    assert error.__notes__ == [f"while processing '{parameter}'"]
    assert error.__traceback__ is not None


def test_failed_add_note_leaves_the_error_unchanged():
    exception = LookupError("notes replaced")
    exception.__notes__ = "not a list"
    error = raised(lambda: eikonal_solve(GRID, (1.0, Raises(exception)), SEEDS))
    assert error is exception and error.__notes__ == "not a list"


@pytest.mark.parametrize("seeds", [[], (), np.zeros((0, 3))])
def test_empty_seed_sequences_reach_the_solver(seeds):
    error = raised(lambda: eikonal_solve(GRID, SPACING, seeds))
    assert type(error) is ValueError and str(error) == "no seeds: a wavefront needs somewhere to start"
    assert not hasattr(error, "__notes__")


def test_seed_sequences_keep_their_order():
    two = [(0, 0, 0.0), (2, 3, 0.0)]
    for seeds in (two, tuple(two)):
        assert str(raised(lambda: eikonal_solve(GRID, SPACING, seeds))) == "seed 1 at (2, 3) is outside a 3x3 grid"


@pytest.mark.parametrize(
    "replacement, shown",
    [
        ("(list, tuple)", "list | tuple"),
        ("(list, (tuple, Outer.Inner))", "list | tuple | Outer.Inner"),
        ("Outer.Inner", "Outer.Inner"),
        ("Described()", "anything sequence-like"),
    ],
)
def test_seeds_error_names_whatever_collections_abc_sequence_is(python, replacement, shown):
    # A fresh interpreter: the module looks the name up once, and the patch must not outlive the test.
    result = python(
        "import collections.abc\n"
        "import numpy as np\n"
        "import _kernels\n"
        "class Outer:\n"
        "    class Inner:\n"
        "        pass\n"
        "class Described:\n"
        "    def __str__(self):\n"
        "        return 'anything sequence-like'\n"
        f"collections.abc.Sequence = {replacement}\n"
        "try:\n"
        "    _kernels.eikonal_solve(np.ones((1, 1)), (1.0, 1.0), {})\n"
        "except TypeError as error:\n"
        "    print(str(error), error.__notes__)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"'dict' object is not an instance of '{shown}' [\"while processing 'seeds'\"]\n"


def test_seeds_error_walks_a_sequence_tuple_nested_deeper_than_the_c_stack(python):
    # isinstance accepts tuples nested to any depth; naming one must neither overflow the stack
    # nor take time quadratic in the depth.
    result = python(
        "import collections.abc\n"
        "import numpy as np\n"
        "import _kernels\n"
        "t = ()\n"
        "for _ in range(100_000):\n"
        "    t = (list, t)\n"
        "collections.abc.Sequence = t\n"
        "try:\n"
        "    _kernels.eikonal_solve(np.ones((1, 1)), (1.0, 1.0), {})\n"
        "except TypeError as error:\n"
        "    assert str(error) == \"'dict' object is not an instance of '\" + 'list | ' * 100_000 + \"'\"\n"
        "    print(error.__notes__)\n"
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout == "[\"while processing 'seeds'\"]\n"
