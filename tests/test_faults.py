"""Internal failures in the middle of a call, on a worker-pool thread and on the calling thread
while detached: each reaches Python as one PanicException after one report, every hold and buffer
of the call is given back, and the module goes on working."""

import re
import threading

import numpy as np
import pytest

import _frame_fixture as fixture
from _kernels import circulant_draw, eikonal_solve, synthesise_pulses
from support import REPORT


def working_calls():
    """One call of each function, large enough that the two pool users spread over the pool."""
    n = 4096
    slip = np.linspace(0.0, 2.0, n)
    rise = np.full(n, 1.0)
    offsets, samples = synthesise_pulses(slip, rise, 0.05, np.full(n, 0.2))
    real, imag = circulant_draw(np.ones((33, 33)), (64, 64), (40, 50), 7)
    times = eikonal_solve(np.ones((20, 30)), (1.0, 1.0), [(0, 0, 0.0)])
    return offsets[-1], samples.sum(), real.sum(), imag.sum(), times[-1, -1]


def panic_of(call):
    try:
        call()
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        assert type(error).__name__ == "PanicException" and not isinstance(error, Exception)
        return error
    pytest.fail("no internal failure")


@pytest.mark.parametrize(
    "where, call, message",
    [
        ("worker", lambda a: fixture.fail_on_worker(a.ravel(), 100_000), r"broken on a pool thread at item \d+"),
        ("caller", lambda a: fixture.fail_in_caller(a, 100_000), r"broken in the calling thread after 24 cells"),
    ],
    ids=["on a pool thread", "on the calling thread"],
)
def test_failure_reaches_python_once_and_leaves_nothing_behind(table, capfd, where, call, message):
    before = working_calls()
    array = np.arange(24.0).reshape(4, 6)
    pristine = array.copy()
    capfd.readouterr()

    error = panic_of(lambda: call(array))

    reports = list(re.finditer(REPORT, capfd.readouterr().err))
    assert len(reports) == 1
    assert re.fullmatch(message, reports[0]["message"])
    assert str(error) == reports[0]["message"] and error.args == (str(error),)
    caller = threading.get_native_id()
    if where == "worker":
        assert int(reports[0]["tid"]) != caller
    else:
        assert int(reports[0]["tid"]) == caller
    table.assert_free(array)  # the read-only hold ended with the unwinding
    np.testing.assert_array_equal(array, pristine)
    assert working_calls() == before


def test_failures_in_many_threads_at_once(table):
    """Failures on the pool and on callers, from several threads, interleaved with good calls."""
    expected = working_calls()
    arrays = [np.full((3, 5), float(k)) for k in range(8)]
    outcomes = [None] * len(arrays)

    def run(k):
        results = []
        for _ in range(5):
            fault = fixture.fail_on_worker if k % 2 else fixture.fail_in_caller
            argument = arrays[k].ravel() if k % 2 else arrays[k]
            results.append(str(panic_of(lambda: fault(argument, 1000))))
            results.append(working_calls() == expected)
        outcomes[k] = results

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(arrays))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for k, results in enumerate(outcomes):
        assert results is not None, f"thread {k} died"
        assert all(results[1::2]), f"thread {k} saw a wrong result after a failure"
    for array in arrays:
        table.assert_free(array)
