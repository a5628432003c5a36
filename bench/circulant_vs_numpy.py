"""Times `circulant_draw` against the same draw written with NumPy and SciPy.

Run with the module on the path, e.g. PYTHONPATH=build/sid/python python3.14 bench/circulant_vs_numpy.py
Arguments such as 4096x4096 keep only those padded sizes.

Methods, each given the same amplitude quadrant and producing the same two cropped, contiguous
float64 fields (with other random numbers, so only their cost is compared):
  kernel  `_kernels.circulant_draw`.
  plain   what a user writes first: mirror the quadrant onto the full grid, draw both parts with
          `default_rng(seed).standard_normal`, `scipy.fft.ifft2(..., workers=n)`, scale, crop, split.
  tuned   what an expert writes: the noise drawn on n threads from one spawned generator per 32
          rows, straight into a complex buffer, the amplitudes mirrored block by block; row
          transforms of every padded row in place, then column transforms of only the K kept
          columns; scale while splitting the kept rows.
  fft     the tuned way's two transforms alone, on a ready buffer: with the noise at NOISE_NS a
          normal over n threads, an estimate of the floor (SciPy's transforms stand in for the
          best ones FFTW can find, so the true floor is somewhat lower).

Every method runs in its own fresh interpreter, once at one thread (RAYON_NUM_THREADS=1,
workers=1) and once on every CPU the process may use, and is called 7 times there: the best,
the median and the worst of them are shown, the first call included (a tiny call beforehand
makes the thread pools, so that only the large call's own work is timed). Memory is the peak
resident size of the first call above what the interpreter held before it (imports, the
quadrant, the thread pools), next to the budget of the row blocks and the outputs plus 10 %.
"""

import concurrent.futures
import json
import os
import subprocess
import sys
import time

import numpy as np

from timing import CALLS, STATS, call_times, machine, spread

SIZES = [(512, 1024, 256, 512), (2048, 2048, 1000, 1000), (4096, 4096, 2000, 2000)]
METHODS = ["kernel", "plain", "tuned", "fft"]
SEED = 7
ROWS_PER_GENERATOR = 32
NOISE_NS = 4.3  # one native ziggurat normal, measured on this machine


def quadrant(P, C):
    """Square roots of the embedding eigenvalues of a separable exponential covariance with
    correlation lengths of a tenth of the grid: the outer product of the two 1-D spectra, so
    that making it costs no more memory than the quadrant itself."""
    def spectrum(n):
        k = np.minimum(np.arange(n), n - np.arange(n))
        return np.sqrt(np.maximum(np.fft.fft(np.exp(-k / (0.1 * n))).real, 0.0))[: n // 2 + 1]

    return np.outer(spectrum(P), spectrum(C))


def mirror_indices(n):
    k = np.arange(n)
    return np.minimum(k, n - k)


def plain(Q, P, C, R, K, seed, workers):
    import scipy.fft

    amplitudes = Q[np.ix_(mirror_indices(P), mirror_indices(C))]
    rng = np.random.default_rng(seed)
    noise = amplitudes * (rng.standard_normal((P, C)) + 1j * rng.standard_normal((P, C)))
    field = scipy.fft.ifft2(noise, workers=workers) * np.sqrt(P * C)
    kept = field[:R, :K]
    return np.ascontiguousarray(kept.real), np.ascontiguousarray(kept.imag)


def tuned_noise(Q, P, C, seed, pool):
    rows, cols = mirror_indices(P), mirror_indices(C)
    grid = np.empty((P, C), dtype=np.complex128)
    pairs = grid.view(np.float64).reshape(P, C, 2)
    blocks = range(0, P, ROWS_PER_GENERATOR)
    generators = [np.random.default_rng(s) for s in np.random.SeedSequence(seed).spawn(len(blocks))]

    def fill(b, generator):
        block = slice(b, min(b + ROWS_PER_GENERATOR, P))
        generator.standard_normal(out=pairs[block])
        pairs[block] *= Q[rows[block]][:, cols][:, :, None]

    list(pool.map(fill, blocks, generators))
    return grid


def tuned_transforms(grid, P, C, R, K, workers):
    import scipy.fft

    scipy.fft.ifft(grid, axis=1, norm="forward", overwrite_x=True, workers=workers)
    columns = scipy.fft.ifft(grid[:, :K], axis=0, norm="forward", workers=workers)
    return columns[:R]


def tuned(Q, P, C, R, K, seed, workers, pool):
    grid = tuned_noise(Q, P, C, seed, pool)
    kept = tuned_transforms(grid, P, C, R, K, workers)
    del grid
    s = 1.0 / np.sqrt(P * C)
    return kept.real * s, kept.imag * s


def peak_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def method_call(method, Q, P, C, R, K, threads, pool):
    """The call that times one method on one size, as a function of no arguments."""
    import _kernels

    if method == "kernel":
        return lambda: _kernels.circulant_draw(Q, (P, C), (R, K), SEED)
    if method == "plain":
        return lambda: plain(Q, P, C, R, K, SEED, threads)
    if method == "tuned":
        return lambda: tuned(Q, P, C, R, K, SEED, threads, pool)
    ready = tuned_noise(Q, P, C, SEED, pool)

    def transforms_only():
        grid = ready.copy()
        start = time.perf_counter()
        tuned_transforms(grid, P, C, R, K, threads)
        return time.perf_counter() - start

    return transforms_only


def measure(method, P, C, R, K, threads):
    """Runs in the child: the times of CALLS calls of one method, and the first call's peak
    memory."""
    import scipy.fft  # noqa: F401 - loaded before the baseline is read

    pool = concurrent.futures.ThreadPoolExecutor(threads)
    small = 64
    method_call(method, quadrant(small, small), small, small, small // 2, small // 2, threads, pool)()
    run = method_call(method, quadrant(P, C), P, C, R, K, threads, pool)
    baseline = peak_bytes()
    first = call_times(run, 1)[0]
    peak = peak_bytes() - baseline
    rest = call_times(run, CALLS - 1)[0]
    return {"seconds": first + rest, "peak": peak}


def child(method, P, C, R, K, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS="1",
               OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    code = (f"import json, sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r}); "
            f"import circulant_vs_numpy as b; "
            f"print(json.dumps(b.measure({method!r}, {P}, {C}, {R}, {K}, {threads})))")
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{method} at {P}x{C}, {threads} threads failed:\n{done.stderr}")
    return json.loads(done.stdout)


def main():
    cpus = len(os.sched_getaffinity(0))
    print(machine())
    print(f"numpy {np.__version__}; times in ms of {CALLS} calls in a fresh process (best, median, "
          f"worst), memory in MB above setup")
    header = (f"{'P x C -> R x K':>24} {'thr':>3} {'':>6} | {'kernel':>8} {'plain':>8} {'tuned':>8} "
              f"{'floor~':>8} | {'plain/k':>7} {'tuned/k':>7} {'k/floor':>7} | {'mem k':>6} "
              f"{'plain':>6} {'tuned':>6} {'budget':>6}")
    print(header)
    print("-" * len(header))
    wanted = sys.argv[1:]
    for P, C, R, K in SIZES:
        if wanted and f"{P}x{C}" not in wanted:
            continue
        budget = 1.1 * (16 * P * C + 2 * 8 * R * K)
        for threads in (1, cpus):
            r = {m: child(m, P, C, R, K, threads) for m in METHODS}
            t = {m: spread(r[m]["seconds"]) for m in METHODS}
            mb = lambda m: f"{r[m]['peak'] / 2**20:>6.0f}"  # noqa: E731
            for i, stat in enumerate(STATS):
                floor = t["fft"][stat] + 2 * P * C * NOISE_NS * 1e-9 / threads
                k = t["kernel"][stat]
                ms = lambda m: f"{t[m][stat] * 1e3:>8.1f}"  # noqa: E731
                label = f"{f'{P}x{C} -> {R}x{K}':>24} {threads:>3}" if i == 0 else " " * 28
                memory = (f"{mb('kernel')} {mb('plain')} {mb('tuned')} {budget / 2**20:>6.0f}"
                          if i == 0 else "")
                print(f"{label} {stat:>6} | {ms('kernel')} {ms('plain')} {ms('tuned')} "
                      f"{floor * 1e3:>8.1f} | {t['plain'][stat] / k:>7.2f} {t['tuned'][stat] / k:>7.2f} "
                      f"{k / floor:>7.2f} | {memory}".rstrip())


if __name__ == "__main__":
    main()
