"""Times `synthesise_pulses` against a vectorised NumPy version of the same pulses, plain and chunked
over Python threads, and checks that both give the same samples.

Run with the module on the path, e.g. PYTHONPATH=build/sid/python python3.14 bench/pulses_vs_numpy.py

Cases:
  shaped   n = 100,000 subfaults, rise times uniform in [1, 3] s, slips in [0.5, 2] m, beta = 0.2,
           dt = 0.01 s: about 2e7 samples.
  impulse  n = 1,000,000 subfaults without beta: 3e6 samples.

The NumPy version fixes the counts and `cumsum` offsets first, then fills the samples of a range of
subfaults at once (`np.repeat` and index arithmetic to find each sample's subfault and time, one
`np.where` per limb, `np.add.reduceat` for the areas). Chunked, it splits the subfaults into pieces
that 8 Python threads fill into one preallocated buffer; NumPy drops the interpreter lock in its
loops, so the threads overlap. The worker pool of `synthesise_pulses` is sized once per process from
RAYON_NUM_THREADS, so the script runs its 1-thread measurement in a child process of its own.
Times are the best of a few runs.
"""

import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import _kernels
from timing import best_time

PYTHON_THREADS = 8
CHUNKS = 4 * PYTHON_THREADS  # more pieces than threads, so an uneven piece does not hold the rest up
REPEATS = 5
SLIP_THRESHOLD_M = 1e-4


def inputs(case):
    rng = np.random.default_rng(42)
    if case == "shaped":
        n = 100_000
        return rng.uniform(0.5, 2.0, n), rng.uniform(1.0, 3.0, n), np.full(n, 0.2), 0.01
    n = 1_000_000
    return rng.uniform(0.5, 2.0, n), rng.uniform(1.0, 3.0, n), None, 0.01


def rounded_samples(rise, dt):
    # C's round (halves away from zero) for the non-negative quotients of valid inputs.
    q = rise / dt
    whole = np.trunc(q)
    return (whole + (q - whole >= 0.5)).astype(np.int64)


def numpy_offsets(slip, rise, beta, dt):
    slipping = np.abs(slip) > SLIP_THRESHOLD_M
    if beta is None:
        counts = np.where(slipping, 3, 0)
    else:
        counts = np.where(slipping, np.maximum(rounded_samples(rise, dt), 2) + 1, 0)
    offsets = np.zeros(slip.size + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    return offsets


def numpy_fill(out, slip, rise, beta, dt, offsets, lo, hi):
    """Fills the rows of subfaults lo..hi-1 into out, which holds exactly those rows."""
    base = offsets[lo]
    starts = offsets[lo:hi] - base
    counts = np.diff(offsets[lo : hi + 1])
    if beta is None:
        rows = counts > 0
        out[starts[rows] + 1] = slip[lo:hi][rows] / dt
        return
    rows = np.flatnonzero(counts)
    if rows.size == 0:
        return
    counts, starts = counts[rows], starts[rows]
    k = lo + rows
    T, b = rise[k], beta[k]
    m = rounded_samples(T, dt)
    # Each sample's row and its index s within the row.
    row = np.repeat(np.arange(rows.size), counts)
    s = np.arange(out.size) - np.repeat(starts, counts)
    t = s * dt
    Tr = b * T
    Tr_s, T_s, Tf_s = Tr[row], T[row], (T - Tr)[row]
    alpha = (t * np.pi) / Tr_s
    phi = ((t - Tr_s) * np.pi) / Tf_s
    values = np.where(
        Tr_s > t,
        (0.7 - np.cos(alpha) * 0.7) + np.sin(alpha * 0.5) * 0.6,
        np.where(
            (Tr_s + Tr_s) > t,
            (1.0 - np.cos(alpha) * 0.7) + np.cos(phi) * 0.3,
            np.where(T_s > t, np.cos(phi) * 0.3 + 0.3, 0.0),
        ),
    )
    m_s = m[row]
    spike = m_s < 2
    values = np.where((s >= 1) & (s < m_s) & ~spike, values, 0.0)
    values[spike & (s == 1)] = 1.0
    areas = np.add.reduceat(values * dt, starts)
    np.multiply(values, np.repeat(slip[k] / areas, counts), out=out)


def numpy_pulses(slip, rise, beta, dt, pool=None):
    offsets = numpy_offsets(slip, rise, beta, dt)
    samples = np.zeros(offsets[-1])
    n = slip.size
    if pool is None:
        numpy_fill(samples, slip, rise, beta, dt, offsets, 0, n)
    else:
        bounds = np.linspace(0, n, CHUNKS + 1).astype(np.int64)
        pieces = [
            pool.submit(numpy_fill, samples[offsets[lo] : offsets[hi]], slip, rise, beta, dt, offsets, lo, hi)
            for lo, hi in zip(bounds[:-1], bounds[1:])
        ]
        for piece in pieces:
            piece.result()
    return offsets, samples


def kernel_times():
    times = {}
    for case in ("shaped", "impulse"):
        slip, rise, beta, dt = inputs(case)
        _kernels.synthesise_pulses(slip, rise, dt, beta)  # the pool is made outside the timing
        times[case] = best_time(lambda: _kernels.synthesise_pulses(slip, rise, dt, beta), REPEATS)[0]
    return times


def one_thread_kernel_times():
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    child = subprocess.run([sys.executable, __file__, "--kernel-only"], env=env, capture_output=True,
                           text=True, check=True)
    return json.loads(child.stdout)


def main():
    if sys.argv[1:] == ["--kernel-only"]:
        print(json.dumps(kernel_times()))
        return
    cores = os.environ.get("RAYON_NUM_THREADS") or str(len(os.sched_getaffinity(0)))
    print(f"cpu: {os.cpu_count()} logical; pool of {cores} threads here, 1 in a child process; "
          f"NumPy {np.__version__}, best of {REPEATS}")
    one = one_thread_kernel_times()
    header = (f"{'case':>8} {'samples':>10} | {'method':<28} {'time s':>8} {'Msamples/s':>11} "
              f"{'vs NumPy':>9} {'vs NumPy x8':>12}")
    print(header)
    print("-" * len(header))
    with ThreadPoolExecutor(PYTHON_THREADS) as pool:
        for case in ("shaped", "impulse"):
            slip, rise, beta, dt = inputs(case)
            plain_s, (want_offsets, want) = best_time(lambda: numpy_pulses(slip, rise, beta, dt), REPEATS)
            chunked_s, (_, chunked) = best_time(lambda: numpy_pulses(slip, rise, beta, dt, pool), REPEATS)
            offsets, samples = _kernels.synthesise_pulses(slip, rise, dt, beta)
            ours_s = best_time(lambda: _kernels.synthesise_pulses(slip, rise, dt, beta), REPEATS)[0]
            # The comparison is fair only if both compute the same pulses.
            assert np.array_equal(offsets, want_offsets)
            assert np.array_equal(chunked, want)
            np.testing.assert_allclose(samples, want, rtol=1e-12, atol=1e-12 * np.abs(want).max())
            rows = [
                ("NumPy", plain_s),
                (f"NumPy, {PYTHON_THREADS} Python threads", chunked_s),
                ("synthesise_pulses, 1 thread", one[case]),
                (f"synthesise_pulses, {cores} threads", ours_s),
            ]
            for i, (method, seconds) in enumerate(rows):
                label = f"{case:>8} {samples.size:>10}" if i == 0 else " " * 19
                print(f"{label} | {method:<28} {seconds:>8.4f} {samples.size / seconds / 1e6:>11.1f} "
                      f"{plain_s / seconds:>9.2f} {chunked_s / seconds:>12.2f}")


if __name__ == "__main__":
    main()
