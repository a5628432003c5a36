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
loops, so the threads overlap. `synthesise_pulses` runs at one thread and on every CPU the process
may use (its worker pool is sized once per process, from RAYON_NUM_THREADS).

Every method and case runs in a fresh interpreter of its own and is called 7 times there: the
best, the median and the worst of them are shown, the first call included (a tiny call beforehand
makes the thread pools). The parent checks once that all methods give the same pulses.
"""

import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import _kernels
from timing import CALLS, STATS, call_times, machine, spread

PYTHON_THREADS = 8
CHUNKS = 4 * PYTHON_THREADS  # more pieces than threads, so an uneven piece does not hold the rest up
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


def pulses_call(method, case, pool):
    """The call that times one method on one case, as a function of no arguments."""
    slip, rise, beta, dt = inputs(case)
    if method == "numpy":
        return lambda: numpy_pulses(slip, rise, beta, dt)
    if method == "chunked":
        return lambda: numpy_pulses(slip, rise, beta, dt, pool)
    return lambda: _kernels.synthesise_pulses(slip, rise, dt, beta)


def measure(method, case):
    """Runs in the child: the times of CALLS calls of one method on one case."""
    with ThreadPoolExecutor(PYTHON_THREADS) as pool:
        tiny = np.ones(PYTHON_THREADS * CHUNKS)
        if method == "kernel":
            _kernels.synthesise_pulses(tiny, tiny, 0.1, tiny * 0.2)
        else:
            numpy_pulses(tiny, tiny, tiny * 0.2, 0.1, pool if method == "chunked" else None)
        return call_times(pulses_call(method, case, pool), CALLS)[0]


def child(method, case, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    done = subprocess.run([sys.executable, __file__, "--measure", method, case], env=env,
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{method} on {case}, {threads} threads failed:\n{done.stderr}")
    return spread(json.loads(done.stdout))


def check(case):
    """The kernel and both NumPy versions compute the same pulses, or the comparison is unfair."""
    slip, rise, beta, dt = inputs(case)
    with ThreadPoolExecutor(PYTHON_THREADS) as pool:
        want_offsets, want = numpy_pulses(slip, rise, beta, dt)
        _, chunked = numpy_pulses(slip, rise, beta, dt, pool)
    offsets, samples = _kernels.synthesise_pulses(slip, rise, dt, beta)
    assert np.array_equal(offsets, want_offsets)
    assert np.array_equal(chunked, want)
    np.testing.assert_allclose(samples, want, rtol=1e-12, atol=1e-12 * np.abs(want).max())
    return samples.size


def main():
    if sys.argv[1:2] == ["--measure"]:
        print(json.dumps(measure(*sys.argv[2:4])))
        return
    cpus = len(os.sched_getaffinity(0))
    print(machine())
    print(f"NumPy {np.__version__}; times in s of {CALLS} calls in a fresh process (best, median, "
          f"worst)")
    header = (f"{'case':>8} {'samples':>10} | {'method':<28} {'':>6} {'time s':>8} {'Msamples/s':>11} "
              f"{'vs NumPy':>9} {'vs NumPy x8':>12}")
    print(header)
    print("-" * len(header))
    for case in ("shaped", "impulse"):
        n_samples = check(case)
        rows = [
            ("NumPy", child("numpy", case, 1)),
            (f"NumPy, {PYTHON_THREADS} Python threads", child("chunked", case, 1)),
            ("synthesise_pulses, 1 thread", child("kernel", case, 1)),
            (f"synthesise_pulses, {cpus} threads", child("kernel", case, cpus)),
        ]
        plain, chunked = rows[0][1], rows[1][1]
        for i, (method, t) in enumerate(rows):
            for j, stat in enumerate(STATS):
                label = f"{case:>8} {n_samples:>10}" if i == 0 and j == 0 else " " * 19
                name = method if j == 0 else ""
                seconds = t[stat]
                print(f"{label} | {name:<28} {stat:>6} {seconds:>8.4f} "
                      f"{n_samples / seconds / 1e6:>11.1f} {plain[stat] / seconds:>9.2f} "
                      f"{chunked[stat] / seconds:>12.2f}")


if __name__ == "__main__":
    main()
