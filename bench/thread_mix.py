"""Calls per second of the concurrency tests' mix of calls (solves, pulse syntheses and field draws
of a few milliseconds each, with failing calls among them) on 1, 2, 4, 8 and 16 Python threads, and
the speed-up over one thread.

Run with the module on the path, e.g. PYTHONPATH=build/sid/python python3.14 bench/thread_mix.py
Options: --seconds S per measurement (default 3), --scale K to multiply the problem sizes (default 1).

Each measurement is the best of three runs; the machine may be shared. The worker pool is the
process's default size throughout, so the pool users compete for it as the threads add up, while
the solves, which run on their calling threads, scale with the threads themselves.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from test_concurrency import mix, run_mix  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--scale", type=int, default=1)
    options = parser.parse_args()
    calls = mix(options.scale)
    run_mix(calls, 1, 0.2)  # the pool and NumPy warmed up
    print(f"{'threads':>8} {'calls/s':>10} {'speed-up':>9}")
    single = None
    for threads in (1, 2, 4, 8, 16):
        best = 0.0
        for _ in range(3):
            began = time.perf_counter()
            _, counts = run_mix(calls, threads, options.seconds)
            best = max(best, sum(counts) / (time.perf_counter() - began))
        single = single or best
        print(f"{threads:>8} {best:>10.0f} {best / single:>8.2f}x")


if __name__ == "__main__":
    main()
