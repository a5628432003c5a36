"""Times `eikonal_solve` against scikit-fmm's `travel_time` on the same grids, and measures both
against closed-form travel times.

Run with the module on the path, e.g. PYTHONPATH=build/sid/python python3.14 bench/eikonal_vs_skfmm.py

The fault is 10 km down-dip by 20 km along-strike at three refinements, with the source on the
node nearest the centre. Media:
  uniform   slowness 0.3 s/km: rays are straight, t = s * r.
  gradient  velocity v(z) = v0 + g z growing with depth (v0 = 2 km/s, g = 0.2 /s): rays are arcs,
            t = arccosh(1 + g^2 r^2 / (2 v(z_source) v(z))) / g.

scikit-fmm gets its best set-up: second order, and the source as the zero contour of a circle of
radius 1.5 cells around the seed node (a single-node source is far less accurate), with the time
to cross that radius at the source's speed added back. Errors are relative, over every cell but
the source's own. Times are the best of a few runs on one thread.

Then the solver alone: 1000x2000 with one central seed, best, median and worst of 7 calls; and
the peak resident memory a 1500x1500 solve adds, result included, for a seed in a corner, one at
the centre and one in each of two opposite corners, each in a fresh interpreter with its input
made first.
"""

import os
import subprocess
import sys
import textwrap

import numpy as np

import _kernels
from timing import CALLS, STATS, best_time, call_times, spread

try:
    import skfmm
except ImportError:
    sys.exit("scikit-fmm is needed: it is in the sid root (python3-scikit-fmm)")

EXTENT_KM = (10.0, 20.0)
SIZES = [(100, 200), (500, 1000), (1000, 2000)]
V0, GRADIENT = 2.0, 0.2
UNIFORM_SLOWNESS = 0.3


def grid(rows, cols):
    d = EXTENT_KM[0] / (rows - 1)
    i, j = np.mgrid[0:rows, 0:cols]
    return d, i * d, j * d, (rows // 2, cols // 2)


def media(rows, cols):
    d, z, x, (si, sj) = grid(rows, cols)
    zs, xs = si * d, sj * d
    r = np.hypot(z - zs, x - xs)
    uniform = np.full((rows, cols), UNIFORM_SLOWNESS)
    yield "uniform", uniform, UNIFORM_SLOWNESS * r
    v = V0 + GRADIENT * z
    vs = V0 + GRADIENT * zs
    exact = np.arccosh(1.0 + GRADIENT**2 * r**2 / (2.0 * vs * v)) / GRADIENT
    yield "gradient", 1.0 / v, exact


def errors(times, exact, source):
    mask = np.ones(exact.shape, dtype=bool)
    mask[source] = False
    relative = np.abs(times[mask] - exact[mask]) / exact[mask]
    return relative.max(), relative.mean()


PEAK_PROBE = textwrap.dedent(
    """
    import sys
    import numpy as np
    import _kernels

    def status(field):
        with open("/proc/self/status") as lines:
            return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(field))

    rows, cols, seeds = int(sys.argv[1]), int(sys.argv[2]), eval(sys.argv[3])
    slowness = 1.0 / (2.0 + 2.0 * np.linspace(0.0, 1.0, rows)[:, None] + np.zeros((1, cols)))
    _kernels.eikonal_solve(slowness[:8, :8].copy(), (0.1, 0.1), [(0, 0, 0.0)])
    try:  # start the high-water mark afresh, at what is resident now
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
    except OSError:
        pass
    before = status("VmHWM:")
    times = _kernels.eikonal_solve(slowness, (0.1, 0.1), seeds)
    print(status("VmHWM:") - before)
    """
)


def peak_bytes(rows, cols, seeds):
    """What a solve adds to the peak resident size of a fresh interpreter."""
    probe = subprocess.run([sys.executable, "-c", PEAK_PROBE, str(rows), str(cols), repr(seeds)],
                           check=True, capture_output=True, text=True)
    return int(probe.stdout)


def solver_alone():
    rows, cols = 1000, 2000
    d, _, _, source = grid(rows, cols)
    slowness = next(media(rows, cols))[1]
    times = call_times(lambda: _kernels.eikonal_solve(slowness, (d, d), [(source[0], source[1], 0.0)]),
                       CALLS)[0]
    best, median, worst = (spread(times)[stat] for stat in STATS)
    print(f"\n{rows}x{cols} uniform, central seed, 7 calls: best {best:.4f} s, median {median:.4f} s, "
          f"worst {worst:.4f} s")
    side = 1500
    for where, seeds in [("corner seed", [(0, 0, 0.0)]),
                         ("centre seed", [(side // 2, side // 2, 0.0)]),
                         ("two corners", [(0, 0, 0.0), (side - 1, side - 1, 0.0)])]:
        peak = peak_bytes(side, side, seeds)
        print(f"peak memory, {side}x{side}, {where}: {peak / 2**20:6.1f} MiB, "
              f"{peak / (side * side):5.1f} B/cell")


def main():
    print(f"cpu: {os.cpu_count()} logical, one thread used by each method")
    header = (f"{'grid':>11} {'medium':>9} | {'factored s':>10} {'skfmm s':>9} {'ratio':>6} | "
              f"{'max rel':>8} {'mean rel':>9} | {'fmm max':>8} {'fmm mean':>9}")
    print(header)
    print("-" * len(header))
    for rows, cols in SIZES:
        d, z, x, source = grid(rows, cols)
        repeats = 5 if rows * cols <= 100_000 else 2
        radius = 1.5 * d
        phi = np.hypot(z - source[0] * d, x - source[1] * d) - radius
        for name, slowness, exact in media(rows, cols):
            ours_s, ours = best_time(
                lambda: _kernels.eikonal_solve(slowness, (d, d), [(source[0], source[1], 0.0)]), repeats)
            speed = 1.0 / slowness
            fmm_s, fmm = best_time(lambda: skfmm.travel_time(phi, speed, dx=d, order=2), repeats)
            # travel_time is unsigned on both sides of the contour: inside it counts towards the
            # source, so it is subtracted from the crossing time there.
            fmm = radius * slowness[source] + np.sign(phi) * np.asarray(fmm)
            ours_max, ours_mean = errors(ours, exact, source)
            fmm_max, fmm_mean = errors(fmm, exact, source)
            print(f"{rows:>5}x{cols:<5} {name:>9} | {ours_s:>10.4f} {fmm_s:>9.4f} {ours_s / fmm_s:>6.2f} | "
                  f"{ours_max:>8.2e} {ours_mean:>9.2e} | {fmm_max:>8.2e} {fmm_mean:>9.2e}")
    solver_alone()


if __name__ == "__main__":
    main()
