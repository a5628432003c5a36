"""`synthesise_pulses` end to end: its definition, the kernel's messages and rows through the entry,
the result arrays, and rows that do not depend on the worker pool."""

import hashlib
import inspect
import pathlib
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kernels
from _kernels import synthesise_pulses
from support import raised

DOC = """synthesise_pulses(slip_m, rise_time_s, dt_s, beta=None)
--

Slip-rate pulses for every subfault, as CSR rows.

`slip_m` (metres) and `rise_time_s` are flat, one entry per subfault. `beta`, the
per-subfault rising fraction in `(0, 0.5]`, selects the shape: given, the
Liu-Archuleta-Hartzell piecewise sinusoid; absent, a single-sample impulse. Returns `(offsets, samples)`:
subfault `k`'s pulse is `samples[offsets[k]:offsets[k+1]]` in m/s, normalised so
`dt_s * samples.sum()` recovers the slip. An empty row is a subfault that doesn't
slip. A rise time under half a sample slips instantaneously, as the spike
`[0, slip/dt, 0]`, and keeps all of its slip; with `beta`, a slipping subfault's
negative or non-finite rise time is a `ValueError` naming it."""

NAN = float("nan")
INF = float("inf")
TINY = 5e-324  # the smallest positive subnormal
ABOVE = 0.00010000000000000002  # the next double above the slip threshold
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."

DT_TEXT = " s samples nothing; dt must be positive and finite"
AGREE = " subfaults; the per-subfault arrays must agree"
RANGE = "; the rising limb's fraction must be in (0, 0.5]"


def a(*values):
    return np.array(values, dtype=np.float64)


def rows(offsets, samples):
    return [samples[offsets[k] : offsets[k + 1]] for k in range(len(offsets) - 1)]


def bits(values):
    """The values' bit patterns, any NaN as one pattern: the sign of a NaN is not specified."""
    values = np.asarray(values, dtype=np.float64)
    return np.where(np.isnan(values), np.nan, values).view(np.uint64).tolist()


def round_half_away(q):
    whole = int(q)
    return whole + (q - whole >= 0.5)


def random_inputs(n, seed):
    """Slips of both signs, about one subfault in eight still; rise times up to 5 s."""
    rng = np.random.default_rng(seed)
    slip = (rng.random(n) - 0.5) * 20.0
    still = rng.random(n) < 0.125
    slip[still] = 1e-4 * rng.random(still.sum())
    rise = 5.0 * rng.random(n)
    beta = np.maximum(0.5 * rng.random(n), TINY)
    return slip, rise, beta


def test_definition():
    assert _kernels.__all__[1] == "synthesise_pulses"
    assert str(inspect.signature(synthesise_pulses)) == "(slip_m, rise_time_s, dt_s, beta=None)"
    assert synthesise_pulses.__text_signature__ == "(slip_m, rise_time_s, dt_s, beta=None)"
    assert synthesise_pulses.__doc__ == DOC.split("\n", 3)[3]


# ------------------------------------------------------------------------------------------------
# Validation: the first bad input in the kernel's order, as a plain ValueError


@pytest.mark.parametrize(
    "slip, rise, beta, dt, message",
    [
        # dt comes first, even with nothing to sample
        (a(), a(), None, 0.0, "a sample interval of 0" + DT_TEXT),
        (a(1), a(1), None, -0.0, "a sample interval of -0" + DT_TEXT),
        (a(1), a(1), None, NAN, "a sample interval of NaN" + DT_TEXT),
        (a(1), a(1), None, -INF, "a sample interval of -inf" + DT_TEXT),
        (a(1, 1), a(1), a(0.7), -0.25, "a sample interval of -0.25" + DT_TEXT),
        # then the lengths, rise times before beta
        (a(1, 1, 1, 1), a(1, 1, 1), a(0.1), 0.1, "rise_time_s has 3 values for 4" + AGREE),
        (a(1, 1), a(1, 1), a(), 0.1, "beta has 0 values for 2" + AGREE),
        (a(), a(), a(0.2), 0.1, "beta has 1 values for 0" + AGREE),
        # then every beta, still subfaults included, before any slip
        (a(1), a(1), a(0.5000000000000001), 0.1, "subfault 0 has beta = 0.5000000000000001" + RANGE),
        (a(1, 1), a(1, 1), a(0.2, 0.0), 0.1, "subfault 1 has beta = 0" + RANGE),
        (a(1), a(1), a(-0.0), 0.1, "subfault 0 has beta = -0" + RANGE),
        (a(1), a(1), a(NAN), 0.1, "subfault 0 has beta = NaN" + RANGE),
        (a(1), a(1), a(INF), 0.1, "subfault 0 has beta = inf" + RANGE),
        (a(0), a(1), a(-1), 0.1, "subfault 0 has beta = -1" + RANGE),
        (a(NAN, 1), a(1, 1), a(0.2, 0.7), 0.1, "subfault 1 has beta = 0.7" + RANGE),
        # then the slips, before any rise time
        (a(INF), a(1), None, 0.1, "subfault 0 has a slip of inf m"),
        (a(1, NAN), a(1, 1), a(0.2, 0.2), 0.1, "subfault 1 has a slip of NaN m"),
        (a(1, -INF), a(NAN, 1), a(0.2, 0.2), 0.1, "subfault 1 has a slip of -inf m"),
        # rise times last, and only of slipping subfaults with beta
        (a(1), a(NAN), a(0.2), 0.1, "subfault 0 slips, but has a rise time of NaN s"),
        (a(-2), a(-0.5), a(0.2), 0.1, "subfault 0 slips, but has a rise time of -0.5 s"),
        (a(1), a(INF), a(0.5), 0.1, "subfault 0 slips, but has a rise time of inf s"),
        (a(1, 0, 2, 3), a(1, NAN, 2, -1), a(0.2, 0.2, 0.2, 0.2), 0.1,
         "subfault 3 slips, but has a rise time of -1 s"),
    ],
)
def test_bad_inputs_are_plain_value_errors(slip, rise, beta, dt, message):
    error = raised(lambda: synthesise_pulses(slip, rise, dt, beta))
    assert type(error) is ValueError and error.args == (message,)
    assert not hasattr(error, "__notes__") and error.__cause__ is None


@pytest.mark.parametrize(
    "slip, rise, beta, dt, offsets",
    [
        (a(), a(), None, 0.1, [0]),
        (a(), a(), a(), 0.1, [0]),
        (a(0, 1, 0, 2), a(1, 1, 1, 1), None, 0.5, [0, 0, 3, 3, 6]),
        (a(1e-4, -1e-4, ABOVE, -ABOVE), a(1, 1, 1, 1), None, 0.1, [0, 0, 0, 3, 6]),
        (a(1e-4, -1e-4, ABOVE), a(1, 1, 1), a(0.2, 0.2, 0.2), 1.0, [0, 0, 0, 3]),
        (a(1), a(1), None, TINY, [0, 3]),  # subnormal dt accepted
        (a(1, 1), a(1, 1), a(0.5, TINY), 0.1, [0, 11, 22]),  # both ends of beta's range
        (a(1, 1), a(NAN, -3), None, 0.1, [0, 3, 6]),  # rise times unread without beta
        (a(0, 1e-4), a(NAN, -1), a(0.2, 0.2), 0.1, [0, 0, 0]),  # nor for still subfaults
        (a(1, 1), a(0.0, -0.0), a(0.2, 0.2), 0.1, [0, 3, 6]),
    ],
)
def test_row_offsets(slip, rise, beta, dt, offsets):
    got, samples = synthesise_pulses(slip, rise, dt, beta)
    assert got.tolist() == offsets and samples.shape == (offsets[-1],)


@pytest.mark.parametrize(
    "rise, count",
    [(0.49999999999999994, 3), (1.4999999999999998, 3), (1.5, 3), (2.4999999999999996, 3), (2.5, 4),
     (10.0, 11)],
)
def test_sample_count_rounds_rise_over_dt_half_away(rise, count):
    offsets, samples = synthesise_pulses(a(1.0), a(rise), 1, a(0.2))
    assert offsets.tolist() == [0, count]
    assert samples[0] == 0.0 and samples[-1] == 0.0 and np.all(samples[1:-1] > 0.0)


# ------------------------------------------------------------------------------------------------
# Rows


@pytest.mark.parametrize(
    "slip, rise, beta, dt, row",
    [
        (-2.0, NAN, None, 0.5, [0.0, -4.0, 0.0]),  # impulse: positive zeros whatever the slip
        (2.0, -1.0, None, 0.5, [0.0, 4.0, 0.0]),
        (3.0, 0.0, 0.2, 0.5, [0.0, 6.0, 0.0]),  # spike: zeros carry the slip's sign
        (-3.0, -0.0, 0.2, 0.5, [-0.0, -6.0, -0.0]),
        (-1.0, 1.4999999999999998, 0.3, 1.0, [-0.0, -1.0, -0.0]),
        (1.0, 1.0, None, TINY, [0.0, INF, 0.0]),  # slip / dt overflows
        (-1.0, 1.0, None, TINY, [0.0, -INF, 0.0]),
        (1.0, 0.0, 0.2, TINY, [NAN, INF, NAN]),  # zero times an infinite scale
    ],
)
def test_impulse_and_spike_rows_bit_for_bit(slip, rise, beta, dt, row):
    _, samples = synthesise_pulses(a(slip), a(rise), dt, None if beta is None else a(beta))
    assert bits(samples) == bits(row)


def limb_values(t, T, b):
    """The three limbs of the sinusoid at times t, each over all of t."""
    tr, tf = b * T, T - b * T
    alpha, phi = t * np.pi / tr, (t - tr) * np.pi / tf
    rising = (0.7 - np.cos(alpha) * 0.7) + np.sin(alpha * 0.5) * 0.6
    middle = (1.0 - np.cos(alpha) * 0.7) + np.cos(phi) * 0.3
    falling = np.cos(phi) * 0.3 + 0.3
    return rising, middle, falling


@pytest.mark.parametrize(
    "slip, T, b, dt, limbs",
    [
        (1.0, 1.0, 0.5, 0.01, "rm"),  # the falling limb is never reached
        (-2.0, 1.0, 0.2, 0.01, "rmf"),
        (0.5, 2.5, 0.5, 1.0, "rm"),  # 4 samples, two of them shaped
        (1.0, 3.7, 0.35, 0.1, "rmf"),
    ],
)
def test_sinusoid_rows_follow_their_limbs(slip, T, b, dt, limbs):
    _, samples = synthesise_pulses(a(slip), a(T), dt, a(b))
    m = round_half_away(T / dt)
    assert samples.shape == (m + 1,)
    t = np.arange(1, m) * dt
    rising, middle, falling = limb_values(t, T, b)
    which = np.where(b * T > t, 0, np.where(2 * b * T > t, 1, 2))
    assert "".join("rmf"[w] for w in dict.fromkeys(which.tolist())) == limbs
    shape = np.choose(which, [rising, middle, falling])
    scale = slip / (shape.sum() * dt)
    np.testing.assert_allclose(samples[1:-1], shape * scale, rtol=1e-12)
    assert bits(samples[[0, -1]]) == bits([0.0 * np.sign(slip)] * 2)
    if b == 0.5:
        # The falling limb differs from the middle there, so a wrong branch would show.
        late = t >= T / 2
        assert late.any() and not np.allclose(falling[late], middle[late], rtol=1e-3)


@settings(derandomize=True, database=None, max_examples=200, deadline=None)
@given(
    st.lists(
        st.tuples(
            st.floats(-20.0, 20.0, allow_nan=False),
            st.floats(0.0, 5.0),
            st.floats(TINY, 0.5),
        ),
        min_size=1,
        max_size=70,
    ),
    st.floats(0.005, 2.0),
    st.booleans(),
)
def test_rows_integrate_to_the_slip(subfaults, dt, with_beta):
    slip, rise, beta = (np.array(column) for column in zip(*subfaults))
    offsets, samples = synthesise_pulses(slip, rise, dt, beta if with_beta else None)
    eps = np.finfo(np.float64).eps
    for k, row in enumerate(rows(offsets, samples)):
        if not abs(slip[k]) > 1e-4:
            assert row.size == 0
            continue
        # The area and this sum each carry up to about L/2 roundings.
        assert abs(dt * row.sum() - slip[k]) <= (row.size + 4) * eps * abs(slip[k])
        assert row[0] == 0.0 and row[-1] == 0.0


# ------------------------------------------------------------------------------------------------
# Sample limits


def test_rows_past_the_sample_limit_are_an_internal_failure(table):  # noqa: F811
    slip, rise, beta = a(1.0), a(1.0), a(0.2)
    # rise / dt is infinite: the row would not fit 64 bits, and nothing is allocated for it.
    error = raised(lambda: synthesise_pulses(slip, rise, TINY, beta))
    assert type(error).__name__ == "PanicException" and str(error) == "capacity overflow"
    for array in (slip, rise, beta):
        table.assert_free(array)
    offsets, samples = synthesise_pulses(slip, rise, 0.25, beta)
    assert offsets.tolist() == [0, 5] and abs(samples.sum() * 0.25 - 1.0) < 1e-15
    # The rise-time checks still come first.
    error = raised(lambda: synthesise_pulses(a(1, 1), a(1, NAN), TINY, a(0.2, 0.2)))
    assert type(error) is ValueError and str(error) == "subfault 1 slips, but has a rise time of NaN s"


# ------------------------------------------------------------------------------------------------
# The entry: conversions, notes, result arrays


def test_results_are_fresh_writeable_arrays_over_owned_buffers():
    slip, rise, beta = random_inputs(200, 1)
    inputs = [x.copy() for x in (slip, rise, beta)]
    offsets, samples = synthesise_pulses(slip, rise, 0.05, beta)
    for array, dtype in ((offsets, np.int64), (samples, np.float64)):
        assert type(array) is np.ndarray and array.dtype == dtype and array.ndim == 1
        assert array.strides == (8,) and array.flags.c_contiguous and array.flags.aligned
        assert array.flags.writeable and not array.flags.owndata
        assert type(array.base).__name__ == "PySliceContainer"
        assert not any(np.shares_memory(array, x) for x in (slip, rise, beta))
    assert offsets.shape == (201,) and offsets[0] == 0 and np.all(np.diff(offsets) >= 0)
    assert samples.shape == (offsets[-1],)
    assert not np.shares_memory(offsets, samples)
    for got, before in zip((slip, rise, beta), inputs):
        assert bits(got) == bits(before)
    samples[:] = -1.0
    offsets[:] = 7


def test_no_subfaults():
    offsets, samples = synthesise_pulses(a(), a(), 0.1)
    assert offsets.dtype == np.int64 and offsets.tolist() == [0]
    assert samples.dtype == np.float64 and samples.shape == (0,)


def test_beta_absent_or_none_and_dt_as_an_int():
    slip, rise = a(1.0, 0.0, -2.5), a(1.0, 1.0, NAN)
    expected = synthesise_pulses(slip, rise, 1.0)
    for offsets, samples in (
        synthesise_pulses(slip, rise, 1),
        synthesise_pulses(slip, rise, 1.0, None),
        synthesise_pulses(slip, rise, 1.0, beta=None),
        synthesise_pulses(dt_s=1, beta=None, rise_time_s=rise, slip_m=slip),
    ):
        assert offsets.tolist() == expected[0].tolist() == [0, 3, 3, 6]
        assert bits(samples) == bits(expected[1]) == bits([0.0, 1.0, 0.0, 0.0, -2.5, 0.0])
    # Any array, an empty one included, is a given beta.
    assert str(raised(lambda: synthesise_pulses(slip, rise, 1, a()))) == "beta has 0 values for 3" + AGREE


V = a(1.0, 2.0)


@pytest.mark.parametrize(
    "call, kind, parameter",
    [
        (lambda: synthesise_pulses([1.0, 2.0], V, 0.1), TypeError, "slip_m"),
        (lambda: synthesise_pulses(V.astype(np.float32), V, 0.1), TypeError, "slip_m"),
        (lambda: synthesise_pulses(V, np.ones((2, 1)), 0.1), TypeError, "rise_time_s"),
        (lambda: synthesise_pulses(V, None, 0.1), TypeError, "rise_time_s"),
        (lambda: synthesise_pulses(V, V, "0.1"), TypeError, "dt_s"),
        (lambda: synthesise_pulses(V, V, 10**400), OverflowError, "dt_s"),
        (lambda: synthesise_pulses(V, V, 0.1, 0.2), TypeError, "beta"),
        (lambda: synthesise_pulses(V, V, 0.1, V.astype(np.int64)), TypeError, "beta"),
        # an earlier parameter wins, and conversions come before the kernel's checks
        (lambda: synthesise_pulses(None, None, None, None), TypeError, "slip_m"),
        (lambda: synthesise_pulses(V, a(1.0), 0.0, [0.2]), TypeError, "beta"),
        # conversions come before the contiguity tests
        (lambda: synthesise_pulses(np.ones(4)[::2], V, "x"), TypeError, "dt_s"),
        (lambda: synthesise_pulses(np.ones(4)[::2], V, 0.1, "x"), TypeError, "beta"),
    ],
)
def test_conversion_errors_name_their_parameter(call, kind, parameter):
    error = raised(call)
    assert type(error) is kind and error.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize(
    "slip, rise, beta",
    [
        (np.ones(4)[::2], V, None),
        (V, np.ones(4)[::-2], None),
        (V, V, np.ones(4)[1::2]),
        (np.ones(4)[::2], V, a()),  # the bad-length beta is the kernel's to report, later
    ],
)
def test_non_contiguous_inputs_are_refused_without_a_note(slip, rise, beta):
    # dt = 0 would be the kernel's first complaint: the layout test comes before the kernel.
    error = raised(lambda: synthesise_pulses(slip, rise, 0.0, beta))
    assert type(error) is TypeError and error.args == (NOT_CONTIGUOUS,)
    assert not hasattr(error, "__notes__")


def test_empty_strided_inputs_skip_the_layout_test():
    empty = np.ones(4)[::2][:0]
    offsets, samples = synthesise_pulses(empty, empty, 0.1, empty)
    assert offsets.tolist() == [0] and samples.size == 0


@pytest.mark.parametrize(
    "call",
    [
        lambda s, r, b: synthesise_pulses(s, r, 0.1, b),
        lambda s, r, b: synthesise_pulses(s, r, 0.0, b),  # kernel error
        lambda s, r, b: synthesise_pulses(s, r, "x", b),  # conversion error after two holds
        lambda s, r, b: synthesise_pulses(s, r, 0.1, [0.2, 0.2, 0.2]),
        lambda s, r, b: synthesise_pulses(s, np.ones(6)[::2], 0.1, b),  # layout error
    ],
)
def test_every_way_out_gives_the_inputs_back(table, call):  # noqa: F811
    slip, rise, beta = a(1.0, 0.0, 2.0), a(1.0, 1.0, 2.0), a(0.2, 0.2, 0.5)
    counts = [sys.getrefcount(x) for x in (slip, rise, beta)]
    try:
        call(slip, rise, beta)
    except (TypeError, ValueError):
        pass
    assert [sys.getrefcount(x) for x in (slip, rise, beta)] == counts
    for array in (slip, rise, beta):
        table.assert_free(array)


# ------------------------------------------------------------------------------------------------
# Work items and the worker pool


@pytest.mark.parametrize("n", [64, 65, 129, 1000, 5000])
def test_rows_do_not_depend_on_how_subfaults_are_grouped(n):
    # Calls of at most 64 subfaults run on the calling thread; longer ones on the pool. With beta,
    # 5000 subfaults have 8 MiB of samples: a mapping of its own, not a heap block.
    slip, rise, beta = random_inputs(n, n)
    for b in (beta, None):
        offsets, samples = synthesise_pulses(slip, rise, 0.01, b)
        pieces = [
            synthesise_pulses(slip[lo : lo + 37], rise[lo : lo + 37], 0.01, None if b is None else b[lo : lo + 37])
            for lo in range(0, n, 37)
        ]
        assert bits(samples) == bits(np.concatenate([p[1] for p in pieces]))
        lengths = np.concatenate([np.diff(p[0]) for p in pieces])
        assert np.diff(offsets).tolist() == lengths.tolist()


DIGEST = textwrap.dedent(
    """
    import hashlib, numpy as np, _kernels
    from test_pulses import random_inputs
    for n in (64, 65, 129, 5000):
        slip, rise, beta = random_inputs(n, n)
        offsets, samples = _kernels.synthesise_pulses(slip, rise, 0.01, beta)
        print(n, hashlib.sha256(offsets.tobytes() + samples.tobytes()).hexdigest())
    """
)


def test_rows_do_not_depend_on_the_number_of_threads(python):
    tests = str(pathlib.Path(__file__).parent)
    digests = []
    for threads in ("1", "8"):
        env = {"RAYON_NUM_THREADS": threads}
        result = python(f"import sys; sys.path.insert(0, {tests!r})\n" + DIGEST, env=env)
        assert result.returncode == 0, result.stderr
        digests.append(result.stdout)
    assert digests[0] == digests[1] and len(digests[0].splitlines()) == 4
    slip, rise, beta = random_inputs(129, 129)
    offsets, samples = synthesise_pulses(slip, rise, 0.01, beta)
    here = hashlib.sha256(offsets.tobytes() + samples.tobytes()).hexdigest()
    assert f"129 {here}" in digests[0].splitlines()


# The pool is sized from RAYON_NUM_THREADS once, when it is made: a variable changed afterwards has
# no effect, so the threads a long call then brings up show whether an earlier call made the pool.
POOL_MADE_BY = textwrap.dedent(
    """
    import os, numpy as np, _kernels
    try:
        _kernels.synthesise_pulses(np.ones(0), np.ones(0), DT)
    except ValueError:
        pass
    os.environ["RAYON_NUM_THREADS"] = "8"
    before = len(os.listdir("/proc/self/task"))
    slip, rise, beta = np.ones(20000), np.full(20000, 0.2), np.full(20000, 0.2)
    most = before
    for _ in range(10):
        _kernels.synthesise_pulses(slip, rise, 0.001, beta)
        most = max(most, len(os.listdir("/proc/self/task")))
    print(most - before)
    """
)


@pytest.mark.parametrize("dt, made", [(0.1, True), (0.0, False)])
def test_a_call_without_subfaults_makes_the_pool(python, dt, made):
    result = python(POOL_MADE_BY.replace("DT", repr(dt)), env={"RAYON_NUM_THREADS": "2"})
    assert result.returncode == 0, result.stderr
    workers = int(result.stdout)
    # A pool of 2 has one worker beside the calling thread; one of 8 brings up several.
    assert workers <= 1 if made else workers > 1
