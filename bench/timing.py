"""Timing shared by the benchmark scripts."""

import os
import platform
import statistics
import time

CALLS = 7  # timed calls of a method in a fresh process: enough for a median and a worst
STATS = ("best", "median", "worst")


def call_times(run, calls):
    """The times of `calls` timed calls of run(), in call order, and the last call's result.
    A run() that returns a number has timed itself: that number is its time."""
    times, result = [], None
    for _ in range(calls):
        result = None  # the previous result must not count towards this call
        start = time.perf_counter()
        result = run()
        elapsed = time.perf_counter() - start
        times.append(result if isinstance(result, float) else elapsed)
    return times, result


def best_time(run, repeats):
    """The shortest of `repeats` timed calls of run(), and the last call's result."""
    times, result = call_times(run, repeats)
    return min(times), result


def spread(times):
    """{"best", "median", "worst"} of a list of call times."""
    return {"best": min(times), "median": statistics.median(times), "worst": max(times)}


def _read(path):
    try:
        with open(path) as text:
            return text.read().strip()
    except OSError:
        return "unknown"


def machine():
    """One line naming the CPU, the CPUs this process may use, and the transparent huge page
    settings, which decide what first touch of fresh memory costs."""
    model = platform.processor() or "unknown CPU"
    for line in _read("/proc/cpuinfo").splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    thp = "/sys/kernel/mm/transparent_hugepage/"
    return (f"{model}, {len(os.sched_getaffinity(0))} CPUs usable; transparent huge pages "
            f"enabled {_read(thp + 'enabled')}, defrag {_read(thp + 'defrag')}")
