"""One kinematic rupture scenario on a planar fault, computed with `_kernels`.

    python3 examples/rupture_scenario.py [--out rupture.png] [--seed N] [--magnitude Mw]

1. Slip: a random field from `circulant_draw` with an anisotropic von Karman autocorrelation,
   tapered at the buried edges and scaled to the target seismic moment.
2. Rupture times: `eikonal_solve` from the hypocentre, the rupture velocity a fraction of a
   shear-wave speed that grows with depth, slower where slip is low.
3. Slip rates: rise times that grow with slip, Liu-Archuleta-Hartzell pulses from
   `synthesise_pulses`, summed at their onset times into the moment-rate function.

Uses only `_kernels`, NumPy and matplotlib. Prints a summary and writes a figure with four panels.
"""

import argparse
import math
import sys
import time

import numpy as np

import _kernels

# Fault: 40 km along strike by 20 km down dip, top edge 1 km below the surface, dipping 60 degrees.
LENGTH_KM, WIDTH_KM, CELL_KM = 40.0, 20.0, 0.25
TOP_KM, DIP_DEG = 1.0, 60.0
HYPOCENTRE_KM = (14.0, 12.0)  # (down dip, along strike) from the fault's top-left corner
RIGIDITY_PA = 3.3e10
# Von Karman autocorrelation: correlation lengths (down dip, along strike) and Hurst exponent.
CORRELATION_KM = (5.0, 12.0)
HURST = 0.75
SLIP_SPREAD = 0.6  # standard deviation of log-slip
RUPTURE_FRACTION = 0.8  # of the local shear-wave speed, where slip is high
RISING_FRACTION = 0.2  # beta of the slip-rate pulses
DT_S = 0.02


def bessel_k(order, x):
    """Modified Bessel function of the second kind, K_order(x) for x > 0, by quadrature of
    K_v(x) = integral over t >= 0 of exp(-x cosh t) cosh(v t)."""
    t = np.linspace(0.0, 12.0, 4001)[:, None]
    integrand = np.exp(-x[None, :] * np.cosh(t)) * np.cosh(order * t)
    return np.trapezoid(integrand, t, axis=0) if hasattr(np, "trapezoid") else np.trapz(
        integrand, t, axis=0)


def von_karman(r, hurst):
    """Von Karman autocorrelation at normalised lags r (1 at r = 0)."""
    out = np.ones_like(r)
    positive = r > 0
    x = r[positive]
    out[positive] = x**hurst * bessel_k(hurst, x) / (2.0 ** (hurst - 1) * math.gamma(hurst))
    return out


def embedding_amplitudes(padded, spacing_km, correlation_km, hurst):
    """The quadrant of square-rooted eigenvalues of the circulant embedding, and the share of the
    spectrum that clipping negative eigenvalues to zero removed."""
    P, C = padded
    lag_i = np.minimum(np.arange(P), P - np.arange(P)) * spacing_km / correlation_km[0]
    lag_j = np.minimum(np.arange(C), C - np.arange(C)) * spacing_km / correlation_km[1]
    r = np.hypot(lag_i[:, None], lag_j[None, :])
    unique, inverse = np.unique(r, return_inverse=True)
    covariance = von_karman(unique, hurst)[inverse].reshape(P, C)
    eigenvalues = np.fft.fft2(covariance).real
    negative = -eigenvalues[eigenvalues < 0].sum()
    clipped = np.clip(eigenvalues, 0.0, None)
    dropped = negative / clipped.sum()
    return np.sqrt(clipped[: P // 2 + 1, : C // 2 + 1]), dropped


def edge_taper(rows, cols, width_cells):
    """1 inside, falling to 0 towards the sides and the bottom; the top edge stays open."""
    def ramp(n):
        d = np.arange(n) + 0.5
        return np.clip(d / width_cells, 0, 1)

    along = np.minimum(ramp(cols), ramp(cols)[::-1])
    down = ramp(rows)[::-1]
    return np.sqrt(down[:, None] * along[None, :])


def moment_rate(offsets, samples, onset_s, dt, cell_area_m2):
    """Sum of every subfault's slip rate, shifted to its onset, times rigidity and cell area."""
    lengths = np.diff(offsets)
    start = np.rint(onset_s / dt).astype(np.int64)
    positions = np.repeat(start - offsets[:-1], lengths) + np.arange(samples.size)
    rate = np.bincount(positions, weights=samples, minlength=positions.max(initial=0) + 1)
    return rate * RIGIDITY_PA * cell_area_m2


def run(seed=2026, magnitude=7.0):
    rows, cols = round(WIDTH_KM / CELL_KM), round(LENGTH_KM / CELL_KM)
    padded = (2 * rows, 2 * cols)
    seconds = {}
    summary = {"grid": (rows, cols)}

    # 1. Slip.
    amplitudes, dropped = embedding_amplitudes(padded, CELL_KM, CORRELATION_KM, HURST)
    start = time.perf_counter()
    field, _ = _kernels.circulant_draw(amplitudes, padded, (rows, cols), seed)
    seconds["circulant_draw"] = time.perf_counter() - start
    moment = 10.0 ** (1.5 * magnitude + 9.1)
    cell_area = (CELL_KM * 1e3) ** 2
    shape = np.exp(SLIP_SPREAD * field) * edge_taper(rows, cols, 12)
    slip = shape * moment / (RIGIDITY_PA * cell_area * shape.sum())

    # 2. Rupture times.
    depth = TOP_KM + (np.arange(rows) + 0.5) * CELL_KM * math.sin(math.radians(DIP_DEG))
    shear_speed = np.minimum(2.8 + 0.06 * depth, 3.9)[:, None]  # km/s
    weak = np.clip(slip / slip.mean(), 0.0, 1.0)
    velocity = RUPTURE_FRACTION * shear_speed * (0.7 + 0.3 * weak)
    hypo = (round(HYPOCENTRE_KM[0] / CELL_KM), round(HYPOCENTRE_KM[1] / CELL_KM))
    start = time.perf_counter()
    onset = _kernels.eikonal_solve(1.0 / velocity, (CELL_KM, CELL_KM), [(*hypo, 0.0)])
    seconds["eikonal_solve"] = time.perf_counter() - start

    # 3. Slip rates: rise times grow with the square root of slip around the scaling law's mean.
    mean_rise = 2.03e-9 * (moment * 1e7) ** (1.0 / 3.0)
    rise = np.clip(mean_rise * np.sqrt(slip / slip.mean()), 0.2, 8.0)
    beta = np.full(rows * cols, RISING_FRACTION)
    start = time.perf_counter()
    offsets, samples = _kernels.synthesise_pulses(slip.ravel(), rise.ravel(), DT_S, beta)
    seconds["synthesise_pulses"] = time.perf_counter() - start
    rate = moment_rate(offsets, samples, onset.ravel(), DT_S, cell_area)

    summary.update(
        moment=moment,
        magnitude=magnitude,
        moment_from_rate=rate.sum() * DT_S,
        rupture_duration_s=float(onset.max()),
        moment_95_s=float(np.searchsorted(np.cumsum(rate), 0.95 * rate.sum()) * DT_S),
        peak_slip_m=float(slip.max()),
        mean_rise_s=float(rise.mean()),
        dropped_variance=float(dropped),
        seconds=seconds,
    )
    arrays = dict(slip=slip, onset=onset, rise=rise, offsets=offsets, samples=samples, rate=rate,
                  hypocentre=hypo)
    return summary, arrays


def plot(summary, arrays, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows, cols = summary["grid"]
    extent = (0, cols * CELL_KM, rows * CELL_KM, 0)
    fig, axes = plt.subplots(2, 2, figsize=(13, 8), constrained_layout=True)

    ax = axes[0, 0]
    im = ax.imshow(arrays["slip"], extent=extent, cmap="YlOrRd")
    levels = np.arange(1.0, arrays["onset"].max(), 1.0)
    x = (np.arange(cols) + 0.5) * CELL_KM
    y = (np.arange(rows) + 0.5) * CELL_KM
    contours = ax.contour(x, y, arrays["onset"], levels=levels, colors="#333333", linewidths=0.6)
    ax.clabel(contours, levels[1::2], fmt="%d s", fontsize=7)
    hi, hj = arrays["hypocentre"]
    ax.plot((hj + 0.5) * CELL_KM, (hi + 0.5) * CELL_KM, marker="*", color="cyan", ms=16,
            mec="black")
    ax.set(title="Slip (m) and rupture time (s)", xlabel="along strike (km)",
           ylabel="down dip (km)")
    fig.colorbar(im, ax=ax, shrink=0.8)

    ax = axes[0, 1]
    im = ax.imshow(arrays["rise"], extent=extent, cmap="viridis")
    ax.set(title="Rise time (s)", xlabel="along strike (km)", ylabel="down dip (km)")
    fig.colorbar(im, ax=ax, shrink=0.8)

    ax = axes[1, 0]
    slip = arrays["slip"].ravel()
    offsets, samples, onset = arrays["offsets"], arrays["samples"], arrays["onset"].ravel()
    for k in np.argsort(slip)[[-1, slip.size * 3 // 4, slip.size // 2, slip.size // 10]]:
        row = samples[offsets[k]:offsets[k + 1]]
        t = onset[k] + np.arange(row.size) * DT_S
        ax.plot(t, row, label=f"cell ({k // cols}, {k % cols}): {slip[k]:.1f} m")
    ax.set(title="Slip rate of four subfaults", xlabel="time (s)", ylabel="slip rate (m/s)")
    ax.legend(fontsize=8)

    ax = axes[1, 1]
    rate = arrays["rate"]
    ax.plot(np.arange(rate.size) * DT_S, rate / 1e18, color="black")
    ax.fill_between(np.arange(rate.size) * DT_S, rate / 1e18, alpha=0.2, color="gray")
    ax.set(title=f"Moment rate, Mw {summary['magnitude']:.1f}", xlabel="time (s)",
           ylabel="moment rate (1e18 N m/s)")

    fig.savefig(path, dpi=110)
    plt.close(fig)


def describe(summary):
    rows, cols = summary["grid"]
    s = summary["seconds"]
    return "\n".join([
        f"grid            {rows} x {cols} cells of {CELL_KM} km ({WIDTH_KM:g} km down dip, "
        f"{LENGTH_KM:g} km along strike)",
        f"moment          {summary['moment']:.3e} N m (Mw {summary['magnitude']:.2f}); "
        f"integral of the moment rate {summary['moment_from_rate']:.3e} N m",
        f"slip            peak {summary['peak_slip_m']:.2f} m; clipping negative embedding "
        f"eigenvalues changed the spectrum by {100 * summary['dropped_variance']:.3f} %",
        f"rupture         front reaches the last cell at {summary['rupture_duration_s']:.1f} s; "
        f"95 % of the moment released by {summary['moment_95_s']:.1f} s; mean rise time "
        f"{summary['mean_rise_s']:.2f} s",
        f"time            circulant_draw {1e3 * s['circulant_draw']:.1f} ms, eikonal_solve "
        f"{1e3 * s['eikonal_solve']:.1f} ms, synthesise_pulses "
        f"{1e3 * s['synthesise_pulses']:.1f} ms",
    ])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="rupture.png", help="where to write the figure")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--magnitude", type=float, default=7.0)
    args = parser.parse_args(argv)
    summary, arrays = run(args.seed, args.magnitude)
    plot(summary, arrays, args.out)
    print(describe(summary))
    print(f"figure          {args.out}")
    return summary


if __name__ == "__main__":
    main(sys.argv[1:])
