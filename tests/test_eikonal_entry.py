"""`eikonal_solve` end to end: its definition, the solver's messages through the entry, and
calls from several threads at once."""

import inspect
import threading

import numpy as np
import pytest

import _kernels
from _kernels import eikonal_solve

DOC = """eikonal_solve(slowness, spacing_km, seeds)
--

First-arrival times over a fault chart, by factored fast sweeping.

`slowness` is 2-D in s/km, `i` down-dip and `j` along-strike; `spacing_km` is
`(d_i, d_j)`; `seeds` is a list of `(i, j, t0_seconds)`, the points the front leaves
at known times: one triple for a hypocentre, and several for a fault triggered
along an edge. Returns travel times in seconds, same shape as
`slowness`. Exact on uniform media, first-order convergent on smooth ones;
`crates/kernels/src/eikonal` has the papers."""


def test_definition():
    assert _kernels.__all__[0] == "eikonal_solve"
    assert str(inspect.signature(eikonal_solve)) == "(slowness, spacing_km, seeds)"
    assert eikonal_solve.__doc__ == DOC.split("\n", 3)[3]
    assert eikonal_solve.__text_signature__ == "(slowness, spacing_km, seeds)"


def test_uniform_medium_is_exact():
    rows, cols, d_i, d_j, s = 21, 31, 0.5, 0.25, 0.4
    times = eikonal_solve(np.full((rows, cols), s), (d_i, d_j), [(10, 12, 2.0)])
    i, j = np.mgrid[0:rows, 0:cols]
    expected = 2.0 + s * np.hypot((i - 10) * d_i, (j - 12) * d_j)
    np.testing.assert_allclose(times, expected, rtol=1e-12, atol=1e-12)
    assert times[10, 12] == 2.0


def test_earliest_seed_wins_cell_by_cell():
    slowness = np.full((5, 9), 1.0)
    one = eikonal_solve(slowness, (1.0, 1.0), [(2, 0, 0.0)])
    two = eikonal_solve(slowness, (1.0, 1.0), [(2, 8, 1.0)])
    both = eikonal_solve(slowness, (1.0, 1.0), [(2, 0, 0.0), (2, 8, 1.0)])
    np.testing.assert_array_equal(both, np.minimum(one, two))


GRID = np.ones((3, 3))


@pytest.mark.parametrize(
    "slowness, spacing, seeds, message",
    [
        (np.zeros((0, 5)), (1.0, 1.0), [(0, 0, 0.0)], "a 0x5 grid has no cells to solve on"),
        (GRID, (0.0, 1.0), [(0, 0, 0.0)], "the down-dip spacing is 0 km; spacing must be positive and finite"),
        (GRID, (-0.0, 1.0), [(0, 0, 0.0)], "the down-dip spacing is -0 km; spacing must be positive and finite"),
        (GRID, (1.0, float("nan")), [(0, 0, 0.0)],
         "the along-strike spacing is NaN km; spacing must be positive and finite"),
        (GRID, (1.0, float("inf")), [(0, 0, 0.0)],
         "the along-strike spacing is inf km; spacing must be positive and finite"),
        (np.array([[1.0, 1.0, -1.0, 1.0], [1.0, 1.0, -1.0, 1.0], [1.0] * 4]), (1.0, 1.0), [],
         "slowness at (0, 2) is -1 s/km; every cell must be positive and finite, or the cells behind it "
         "are unreachable"),
        (GRID, (1.0, 1.0), [], "no seeds: a wavefront needs somewhere to start"),
        (GRID, (1.0, 1.0), [(5, 0, 0.0)], "seed 0 at (5, 0) is outside a 3x3 grid"),
        (GRID, (1.0, 1.0), [(0, 0, float("nan")), (9, 9, 0.0)], "seed 0 starts at t = NaN, which is not a time"),
        (GRID, (1.0, 1.0), [(0, 0, 0.0), (2, 3, 0.0)], "seed 1 at (2, 3) is outside a 3x3 grid"),
        (GRID, (1.0, 1.0), [(0, 0, float("inf"))], "seed 0 starts at t = inf, which is not a time"),
    ],
)
def test_solver_errors_arrive_as_plain_value_errors(slowness, spacing, seeds, message):
    with pytest.raises(ValueError) as caught:
        eikonal_solve(slowness, spacing, seeds)
    error = caught.value
    assert type(error) is ValueError and error.args == (message,)
    assert not hasattr(error, "__notes__") and error.__cause__ is None


def test_conversions_come_before_the_solver():
    # A negative seed index is the interpreter's OverflowError, never the solver's message.
    with pytest.raises(OverflowError) as caught:
        eikonal_solve(np.zeros((0, 5)), (0.0, 0.0), [(-1, 0, 0.0)])
    assert caught.value.__notes__ == ["while processing 'seeds'"]


def test_two_threads_solving_at_once_both_progress():
    # While both solves run, the main thread keeps counting: neither holds the interpreter lock.
    slowness = np.full((1000, 1000), 0.3)
    ticks = 0
    progress = {}

    def solve(name):
        before = ticks
        eikonal_solve(slowness, (0.1, 0.1), [(500, 500, 0.0)])
        progress[name] = ticks - before

    threads = [threading.Thread(target=solve, args=(name,)) for name in ("a", "b")]
    for thread in threads:
        thread.start()
    while any(thread.is_alive() for thread in threads):
        ticks += 1
    for thread in threads:
        thread.join()
    assert progress["a"] > 1000 and progress["b"] > 1000
