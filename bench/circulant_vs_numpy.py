"""Times `circulant_draw` against the same draw written with NumPy and SciPy.

Run with the module on the path, e.g. PYTHONPATH=build/sid/python python3.14 bench/circulant_vs_numpy.py

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

Every method runs in its own interpreter, once at one thread (RAYON_NUM_THREADS=1, workers=1)
and once on every CPU the process may use. Times are the best of a few runs; memory is the peak
resident size of the first run above what the interpreter held before it (imports, the
quadrant, the thread pool), next to the budget of the row blocks and the outputs plus 10 %.
"""

import concurrent.futures
import json
import os
import subprocess
import sys
import time

import numpy as np

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


def measure(method, P, C, R, K, threads, repeats):
    """Runs in the child: best time and peak memory of one method."""
    import scipy.fft  # noqa: F401 - loaded before the baseline is read

    import _kernels

    Q = quadrant(P, C)
    pool = concurrent.futures.ThreadPoolExecutor(threads)
    if method == "kernel":
        run = lambda: _kernels.circulant_draw(Q, (P, C), (R, K), SEED)  # noqa: E731
    elif method == "plain":
        run = lambda: plain(Q, P, C, R, K, SEED, threads)  # noqa: E731
    elif method == "tuned":
        run = lambda: tuned(Q, P, C, R, K, SEED, threads, pool)  # noqa: E731
    else:
        ready = tuned_noise(Q, P, C, SEED, pool)

        def run():
            grid = ready.copy()
            start = time.perf_counter()
            tuned_transforms(grid, P, C, R, K, threads)
            return time.perf_counter() - start

    # Memory from the first run, as a user's first call sees it; times from the warm runs after.
    baseline = peak_bytes()
    result = run()
    peak = peak_bytes() - baseline
    best = float("inf")
    for _ in range(repeats):
        result = None  # the previous result must not count towards this run
        start = time.perf_counter()
        result = run()
        elapsed = time.perf_counter() - start
        best = min(best, result if method == "fft" else elapsed)
    return {"seconds": best, "peak": peak}


def child(method, P, C, R, K, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS="1",
               OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    repeats = 5 if P * C <= 2**21 else 3
    code = (f"import json, sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r}); "
            f"import circulant_vs_numpy as b; "
            f"print(json.dumps(b.measure({method!r}, {P}, {C}, {R}, {K}, {threads}, {repeats})))")
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{method} at {P}x{C}, {threads} threads failed:\n{done.stderr}")
    return json.loads(done.stdout)


def main():
    cpus = len(os.sched_getaffinity(0))
    print(f"{cpus} CPUs; numpy {np.__version__}; times in ms (best of a few), memory in MB above setup")
    header = (f"{'P x C -> R x K':>24} {'thr':>3} | {'kernel':>8} {'plain':>8} {'tuned':>8} {'floor~':>8} | "
              f"{'plain/k':>7} {'tuned/k':>7} {'k/floor':>7} | {'mem k':>6} {'plain':>6} {'tuned':>6} "
              f"{'budget':>6}")
    print(header)
    print("-" * len(header))
    for P, C, R, K in SIZES:
        budget = 1.1 * (16 * P * C + 2 * 8 * R * K)
        for threads in (1, cpus):
            r = {m: child(m, P, C, R, K, threads) for m in METHODS}
            floor = r["fft"]["seconds"] + 2 * P * C * NOISE_NS * 1e-9 / threads
            k = r["kernel"]["seconds"]
            ms = lambda m: f"{r[m]['seconds'] * 1e3:>8.1f}"  # noqa: E731
            mb = lambda m: f"{r[m]['peak'] / 2**20:>6.0f}"  # noqa: E731
            print(f"{f'{P}x{C} -> {R}x{K}':>24} {threads:>3} | {ms('kernel')} {ms('plain')} {ms('tuned')} "
                  f"{floor * 1e3:>8.1f} | {r['plain']['seconds'] / k:>7.2f} {r['tuned']['seconds'] / k:>7.2f} "
                  f"{k / floor:>7.2f} | {mb('kernel')} {mb('plain')} {mb('tuned')} {budget / 2**20:>6.0f}")


if __name__ == "__main__":
    main()
