"""Timing shared by the benchmark scripts."""

import time


def best_time(run, repeats):
    """The shortest of `repeats` timed calls of run(), and the last call's result."""
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result
