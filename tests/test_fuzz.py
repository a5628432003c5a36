"""Random argument lists for the three functions. Every call either returns results of the promised
types and shapes or raises one of the documented exceptions with one of the documented messages;
it never fails internally, crashes or hangs, and it never writes to its inputs.

KERNELS_FUZZ_EXAMPLES sets the number of examples per function (the sanitizer stage runs fewer)."""

import math
import os
import re
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st

from _kernels import circulant_draw, eikonal_solve, synthesise_pulses

EXAMPLES = int(os.environ.get("KERNELS_FUZZ_EXAMPLES", "2000"))
# NumPy warns that it will stop taking its bool scalars as indices; they are just one more input.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

FUZZ = settings(
    derandomize=True,
    database=None,
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=list(HealthCheck),
)

PARAMETERS = {
    eikonal_solve: ("slowness", "spacing_km", "seeds"),
    circulant_draw: ("amplitudes", "padded_shape", "cell_counts", "seed"),
    synthesise_pulses: ("slip_m", "rise_time_s", "dt_s", "beta"),
}
NUMBER = r"(-?\d+(\.\d+)?|NaN|-?inf)"
INT = r"\d+"

# The messages a caller can meet, by exception type. Binding errors and the contiguity error carry
# no note; every conversion error carries "while processing '<parameter>'"; kernel errors none.
BINDING = [
    rf"\w+\(\) takes {INT} positional arguments but {INT} (was|were) given",
    rf"\w+\(\) takes from {INT} to {INT} positional arguments but {INT} (was|were) given",
    r"\w+\(\) got an unexpected keyword argument '.*'",
    r"\w+\(\) got multiple values for argument '\w+'",
    rf"\w+\(\) missing {INT} required positional arguments?: '\w+'((, '\w+')*,? and '\w+')?",
]
CONTIGUITY = r"The given array is not contiguous or is misaligned\."
CONVERSION = {
    TypeError: [
        r"'.+' object is not an instance of '(tuple|Sequence|ndarray)'",
        r"'None' is not an instance of '(tuple|Sequence|ndarray)'",
        r"a str cannot be taken as a sequence of seeds; give \(i, j, t0_seconds\) tuples",
        # The interpreter's own conversions.
        r"must be real number, not .+",
        r"'.+' object cannot be interpreted as an integer",
        r".*__(float|index)__ returned non-(float|int) \(type .+\)",
        # NumPy's own iteration, of a 0-d array given as the seeds.
        r"iteration over a 0-d array",
    ],
    ValueError: [rf"expected tuple of length {INT}, but got tuple of length {INT}"],
    OverflowError: [
        r"can't convert negative int to unsigned",
        r"int too big to convert",
        r"int too large to convert to float",
    ],
}
KERNEL = {
    eikonal_solve: [
        rf"a {INT}x{INT} grid has no cells to solve on",
        rf"the slowness field has {INT} values, but a {INT}x{INT} grid needs {INT}",
        rf"the (down-dip|along-strike) spacing is {NUMBER} km; spacing must be positive and finite",
        rf"slowness at \({INT}, {INT}\) is {NUMBER} s/km; every cell must be positive and finite, "
        r"or the cells behind it are unreachable",
        r"no seeds: a wavefront needs somewhere to start",
        rf"seed {INT} at \({INT}, {INT}\) is outside a {INT}x{INT} grid",
        rf"seed {INT} starts at t = {NUMBER}, which is not a time",
        rf"the sweep did not settle in 64 rounds over a medium whose slowness spans "
        rf"(\d+\.\d|inf)x\. Rounds needed grow with that contrast -- .*",
    ],
    circulant_draw: [
        rf"a {INT}x{INT} embedding has no cells",
        rf"a {INT}x{INT} embedding needs a {INT}x{INT} amplitude quadrant, not {INT}x{INT}",
        rf"a {INT}x{INT} fault does not fit in a {INT}x{INT} embedding",
    ],
    synthesise_pulses: [
        rf"(rise_time_s|beta) has {INT} values for {INT} subfaults; the per-subfault arrays must agree",
        rf"a sample interval of {NUMBER} s samples nothing; dt must be positive and finite",
        rf"subfault {INT} has a slip of {NUMBER} m",
        rf"subfault {INT} has beta = {NUMBER}; the rising limb's fraction must be in \(0, 0.5\]",
        rf"subfault {INT} slips, but has a rise time of {NUMBER} s",
    ],
}


class OwnConversionError(Exception):
    """Raised by an argument's own __float__, __index__ or iteration."""


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if self.value is None:
            raise OwnConversionError("no float here")
        return self.value


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if self.value is None:
            raise OwnConversionError("no index here")
        return self.value


class BadSequence:
    """Passes the sequence test; its length raises (a hint only) and its iteration may raise."""

    def __init__(self, items, fail_at):
        self.items, self.fail_at = items, fail_at

    def __len__(self):
        raise OwnConversionError("no length")

    def __getitem__(self, k):
        if k == self.fail_at:
            raise OwnConversionError("iteration broke")
        return self.items[k]


class Subarray(np.ndarray):
    pass


class Pair(tuple):
    pass


# ---------------------------------------------------------------------------------------------
# Values

INTS = st.one_of(
    st.integers(0, 70),
    st.sampled_from([-1, -(2**63), 2**63, 2**64 - 1, 2**64, 2**200, -(2**200)]),
)
FLOATS = st.one_of(
    st.floats(-5, 50),
    st.sampled_from([0.0, -0.0, 5e-324, -5e-324, 1e308, math.inf, -math.inf, math.nan, 1e-300]),
)
DTYPES = [
    np.float64, np.float32, np.float16, np.longdouble, np.int64, np.int32, np.uint8, np.uint64,
    np.bool_, np.complex128, np.complex64, object, "U3", "S3", "M8[s]", "m8[s]", ">f8", "<f8",
]


def scalar_of_many_kinds(numbers):
    return st.one_of(
        numbers,
        numbers.map(lambda v: np.float64(v) if isinstance(v, float) else np.int64(v % 2**63)),
        st.sampled_from([np.uint64(2**64 - 1), np.float32(0.5), np.int8(-3), np.bool_(True)]),
        st.sampled_from([True, False, None, "1.0", b"1", 1j, [], (), {}, object(), Ellipsis]),
        st.sampled_from([Floaty(None), Floaty(0.5), Floaty("x"), Indexy(None), Indexy(3)]),
        st.sampled_from([Indexy(-1), Indexy(2**64), Indexy(1.5)]),
    )


FLOAT_LIKE = scalar_of_many_kinds(FLOATS)
INT_LIKE = scalar_of_many_kinds(INTS)


@st.composite
def arrays(draw, nd, values=FLOATS, max_side=9, min_side=0):
    """Arrays around the shape a parameter wants: any dtype, ndim, order, strides and size, views,
    subclasses, read-only and misaligned ones, float64 most often."""
    want = draw(st.sampled_from([nd] * 20 + [0, 1, 2, 3]))
    shape = tuple(draw(st.lists(st.integers(min_side, max_side), min_size=want, max_size=want)))
    dtype = draw(st.sampled_from([np.float64] * 60 + DTYPES))
    size = int(np.prod(shape)) if shape else 1
    # Up to 64 drawn values, repeated to fill a larger array.
    data = draw(st.lists(values, min_size=min(size, 64), max_size=min(size, 64)))
    base = np.resize(np.array(data, dtype=np.float64), size).reshape(shape)
    try:
        with np.errstate(all="ignore"):
            array = base.astype(dtype)
    except (TypeError, ValueError):
        array = base
    layout = draw(st.sampled_from(["c"] * 6 + ["f", "f", "strided", "reversed", "view", "misaligned"]))
    if layout == "f":
        array = np.asfortranarray(array)
    elif layout == "strided" and array.ndim:
        wide = np.repeat(array, 2, axis=-1)
        array = wide[..., ::2]
    elif layout == "reversed" and array.ndim:
        array = array[::-1]
    elif layout == "view" and array.ndim and array.shape[0] > 1:
        array = array[1:]
    elif layout == "misaligned" and array.dtype == np.float64:
        raw = bytearray(array.nbytes + 1)
        array = np.frombuffer(raw, dtype=np.float64, offset=1, count=array.size).reshape(shape)
        array[...] = base
    kind = draw(st.sampled_from(["plain"] * 9 + ["subclass", "readonly", "transposed"]))
    if kind == "subclass":
        array = array.view(Subarray)
    elif kind == "readonly":
        array = array.view()
        array.flags.writeable = False
    elif kind == "transposed":
        array = array.T
    return array


def mostly(good, other, odds=4):
    """`good` `odds` times as often as `other` (one_of would flatten nested choices and weigh
    every branch alike)."""
    return st.integers(0, odds).flatmap(lambda k: other if k == 0 else good)


def anything():
    return st.one_of(
        FLOAT_LIKE,
        st.lists(st.floats(allow_nan=True), max_size=4),
        st.tuples(FLOAT_LIKE, FLOAT_LIKE, FLOAT_LIKE),
        arrays(2, max_side=4),
    )


def pair(items):
    return st.one_of(
        st.tuples(items, items),
        st.tuples(items, items).map(Pair),
        st.tuples(items, items).map(list),
        st.lists(items, max_size=4).map(tuple),
        anything(),
    )


SEED = st.tuples(st.integers(0, 4), st.integers(0, 4), st.floats(-2, 5))
SEED_ITEM = st.one_of(
    SEED,
    SEED,
    st.tuples(INT_LIKE, INT_LIKE, FLOAT_LIKE),
    st.lists(FLOAT_LIKE, max_size=4).map(tuple),
    st.lists(FLOAT_LIKE, max_size=3),
    anything(),
)
SEEDS = st.one_of(
    st.lists(SEED, max_size=3),
    st.lists(SEED_ITEM, max_size=4),
    st.lists(SEED_ITEM, max_size=4).map(tuple),
    st.builds(BadSequence, st.lists(SEED, min_size=1, max_size=3), st.integers(0, 3)),
    st.lists(SEED, max_size=3).map(lambda s: np.array(s, dtype=object)),
    st.sampled_from(["", "(0, 0, 0.0)", range(3), {}, set(), iter([(0, 0, 0.0)]), None]),
    anything(),
)


# ---------------------------------------------------------------------------------------------
# Calls


@st.composite
def calls(draw, function, values):
    """Positional and keyword arguments, with now and then one too many, one missing, one repeated
    or one of an unknown name."""
    names = PARAMETERS[function]
    split = draw(st.integers(0, len(values)))
    args = list(values[:split])
    kwargs = dict(zip(names[split:], values[split:]))
    if function is synthesise_pulses and values[3] is None and draw(st.booleans()):
        if "beta" in kwargs:
            del kwargs["beta"]  # absent, which binds like None
        elif len(args) == 4:
            args.pop()
    mistake = draw(st.sampled_from([None] * 24 + ["extra", "missing", "repeat", "unknown"]))
    if mistake == "extra":
        args.append(draw(anything()))
    elif mistake == "missing" and kwargs:
        kwargs.pop(draw(st.sampled_from(sorted(kwargs))))
    elif mistake == "missing" and args:
        args.pop()
    elif mistake == "repeat" and args:
        kwargs[names[draw(st.integers(0, min(len(args), len(names)) - 1))]] = draw(anything())
    elif mistake == "unknown":
        kwargs[draw(st.sampled_from(["seed_", "Slowness", "dt", "beta_", "\udcff", "x"]))] = 1
    return args, kwargs


def snapshot(value):
    """What a call must leave unchanged: the bytes of every array, the items of every container."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, np.ascontiguousarray(value).tobytes())
    if isinstance(value, (list, tuple)):
        return (type(value), tuple(snapshot(v) for v in value))
    return ("object", id(value))


def check_outcome(function, args, kwargs, check_result):
    before = snapshot((args, kwargs))
    try:
        result = function(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, OwnConversionError) as error:
        event(check_error(function, error))
    else:
        event("result")
        check_result(result)
    assert snapshot((args, kwargs)) == before, "an input was modified"


def check_error(function, error):
    message = str(error)
    notes = getattr(error, "__notes__", [])
    if isinstance(error, OwnConversionError):
        assert len(notes) == 1
    elif type(error) is TypeError and any(re.fullmatch(p, message) for p in BINDING):
        assert not notes, f"{message!r} carries {notes}"
        return "binding error"
    elif type(error) is TypeError and re.fullmatch(CONTIGUITY, message):
        assert not notes, f"{message!r} carries {notes}"
        return "layout error"
    elif type(error) is ValueError and any(re.fullmatch(p, message) for p in KERNEL[function]):
        assert not notes, f"{message!r} carries {notes}"
        return "kernel error: " + message.split(" ")[0 if message[0] != "a" else 2]
    else:
        patterns = CONVERSION.get(type(error), [])
        assert any(re.fullmatch(p, message) for p in patterns), f"{type(error).__name__}: {message}"
    names = "|".join(PARAMETERS[function])
    assert len(notes) == 1 and re.fullmatch(rf"while processing '({names})'", notes[0]), notes
    return "conversion error: " + notes[0].split("'")[1]


def result_array(array, dtype, shape):
    assert type(array) is np.ndarray and array.dtype == dtype and array.shape == shape
    assert array.flags.c_contiguous and array.flags.writeable


def float_or_none(value):
    try:
        return float(value)
    except Exception:
        return None


def may_overflow(slowness, spacing):
    """Whether travel times could pass 1e300 s, when the values can be read here."""
    try:
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            cells = np.abs(np.asarray(slowness, dtype=np.float64))
            steps = np.abs(np.array([float(d) for d in spacing], dtype=np.float64))
            largest = np.max(cells[np.isfinite(cells)], initial=0.0)
            step = np.max(steps[np.isfinite(steps)], initial=0.0)
            return bool(largest * step * (sum(cells.shape) + 1) > 1e300)
    except Exception:
        return False


# ---------------------------------------------------------------------------------------------
# The three functions


@FUZZ
@given(st.data())
def test_eikonal_solve(data):
    # Mostly media the solver accepts; a few cells of any value in the rest.
    grids = mostly(arrays(2, values=st.floats(0.1, 3), max_side=10, min_side=4),
                   arrays(2, values=st.one_of(st.floats(0.1, 3), FLOATS), max_side=10), odds=2)
    slowness = data.draw(mostly(grids, anything()))
    spacings = st.tuples(st.floats(0.1, 2), st.floats(0.1, 2))
    spacing = data.draw(mostly(spacings, pair(FLOAT_LIKE)))
    seeds = data.draw(mostly(st.lists(SEED, min_size=1, max_size=3), SEEDS))
    # Travel times beyond the largest float end the solve in an internal failure by design.
    assume(not may_overflow(slowness, spacing))
    args, kwargs = data.draw(calls(eikonal_solve, [slowness, spacing, seeds]))

    def check(times):
        result_array(times, np.float64, slowness.shape)
        assert not np.shares_memory(times, slowness)

    check_outcome(eikonal_solve, args, kwargs, check)


@st.composite
def embeddings(draw):
    """A quadrant with a padded shape and cell counts that fit it, mostly; or any pair."""
    padded = (draw(st.integers(1, 12)), draw(st.integers(1, 12)))
    shape = (padded[0] // 2 + 1, padded[1] // 2 + 1)
    values = st.one_of(st.floats(0, 3), FLOATS)
    quadrant = np.array(draw(st.lists(values, min_size=shape[0] * shape[1],
                                      max_size=shape[0] * shape[1]))).reshape(shape)
    quadrant = draw(st.sampled_from([quadrant, np.asfortranarray(quadrant), quadrant.view(Subarray)]))
    cells = (draw(st.integers(0, padded[0] + 1)), draw(st.integers(0, padded[1] + 1)))
    return quadrant, padded, cells


@FUZZ
@given(st.data())
def test_circulant_draw(data):
    if data.draw(st.booleans()):
        amplitudes, padded, cells = data.draw(embeddings())
    else:
        amplitudes = data.draw(mostly(arrays(2, max_side=7), anything()))
        shapes = mostly(st.tuples(st.integers(0, 9), st.integers(0, 9)), pair(INT_LIKE), odds=2)
        padded, cells = data.draw(shapes), data.draw(shapes)
    seed = data.draw(mostly(st.integers(0, 2**64 - 1), INT_LIKE, odds=2))
    args, kwargs = data.draw(calls(circulant_draw, [amplitudes, padded, cells, seed]))

    def check(fields):
        assert type(fields) is tuple and len(fields) == 2
        shape = tuple(int(c) for c in cells)
        for field in fields:
            result_array(field, np.float64, shape)
        assert not np.shares_memory(fields[0], fields[1])

    check_outcome(circulant_draw, args, kwargs, check)


def predicted_samples(slip, rise, dt, beta):
    """The sample total a call would make, when its inputs can be read here (None otherwise)."""
    dt = float_or_none(dt)
    if not all(isinstance(a, np.ndarray) for a in (slip, rise, beta)) or dt is None:
        return None
    try:
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            slip, rise = slip.astype(np.float64).ravel(), rise.astype(np.float64).ravel()
    except (TypeError, ValueError):
        return None
    if slip.size != rise.size or not dt > 0:
        return None
    with np.errstate(all="ignore"):
        ratio = np.where(np.abs(slip) > 1e-4, np.nan_to_num(rise / dt, posinf=1e30), 0.0)
        return float(np.sum(np.maximum(np.round(np.abs(ratio)), 2) + 1))


@FUZZ
@given(st.data())
def test_synthesise_pulses(data):
    n = data.draw(st.integers(0, 100))
    same = st.lists(st.floats(-3, 3), min_size=n, max_size=n).map(np.array)
    slip = data.draw(mostly(same, st.one_of(arrays(1, max_side=70), anything())))
    rise = data.draw(mostly(same.map(np.abs), st.one_of(arrays(1, max_side=70), anything())))
    dt = data.draw(mostly(st.floats(0.01, 1), FLOAT_LIKE))
    fraction = st.lists(st.floats(0.01, 0.5), min_size=n, max_size=n).map(np.array)
    beta = data.draw(mostly(st.one_of(st.none(), fraction), st.one_of(arrays(1, max_side=70), anything()), odds=3))
    # A valid call may ask for more samples than memory holds, which ends the process by design.
    samples = predicted_samples(slip, rise, dt, beta)
    assume(samples is None or samples < 2e6)
    args, kwargs = data.draw(calls(synthesise_pulses, [slip, rise, dt, beta]))

    def check(result):
        assert type(result) is tuple and len(result) == 2
        offsets, samples = result
        result_array(offsets, np.int64, (slip.shape[0] + 1,))
        result_array(samples, np.float64, (int(offsets[-1]),))
        assert offsets[0] == 0 and np.all(np.diff(offsets) >= 0)

    check_outcome(synthesise_pulses, args, kwargs, check)
