"""Repeated calls, successful and failing, leave the process's memory where it was.

Each scenario runs in a fresh interpreter: a warm-up (NumPy's caches, the worker pool, the
allocator's arenas), then the repeated calls with their results dropped, measuring the resident size
and the interpreter's count of allocated blocks before and after.

The bounds: the smallest result of the successful calls below is 20 KB, so a lost result buffer
would add 200 MB over 10,000 calls, and a lost seed list, offsets array or error text still a few
hundred bytes a call; 4 MB of resident growth therefore leaves room for allocator noise only. A
Python object kept alive by a call (an array, a tuple, an exception, a note) would add one block or
more a call to the interpreter's count, which may move by 200 at most.

Under AddressSanitizer the resident size means nothing (freed blocks wait in its quarantine): the
scenarios run with fewer calls there, and the leak check at the interpreter's exit, which fails the
run on any block the module lost, takes the place of the bounds."""

import textwrap

import pytest

from support import SANITIZER, needs_plain_allocator

REPEATS = 10_000 if SANITIZER != "asan" else 200
RSS_BOUND = 4 * 2**20
BLOCKS_BOUND = 200

PRELUDE = textwrap.dedent(
    """
    import gc, os, sys
    import numpy as np
    import _frame_fixture as fixture
    from _kernels import circulant_draw, eikonal_solve, synthesise_pulses

    def rss():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def blocks():
        gc.collect()
        return sys.getallocatedblocks()

    class Broken:
        def __float__(self):
            raise ArithmeticError("broken on purpose")
        __index__ = __float__

    def serpentine(rows=301, cols=4):
        s = np.ones((rows, cols))
        for k, row in enumerate(range(1, rows, 2)):
            s[row, :] = 50.0
            s[row, 0 if k % 2 else cols - 1] = 1.0
        return s

    rng = np.random.default_rng(1)
    medium = 0.5 + rng.random((40, 40))
    n = 1000
    slip, rise, beta = rng.random(n) + 0.1, 0.5 + rng.random(n), np.full(n, 0.25)
    quadrant = rng.random((33, 33))
    large_quadrant = rng.random((513, 513))
    many_slips, many_rises, many_betas = rng.random(5000) + 0.1, 0.5 + 4 * rng.random(5000), np.full(5000, 0.25)
    snake = serpentine()
    seeds = [(0, 0, 0.0), (39, 39, 0.5)]

    def repeat(calls, times):
        for _ in range(times):
            for call in calls:
                try:
                    call()
                except (TypeError, ValueError, OverflowError, ArithmeticError):
                    pass
                except BaseException as error:  # PanicException, from the fixture's faults
                    if type(error).__name__ != "PanicException":
                        raise

    def measure(calls, times, warm=50):
        repeat(calls, warm)
        before = (rss(), blocks())
        repeat(calls, times)
        after = (rss(), blocks())
        print(before[0], after[0], after[1] - before[1])
    """
)

SCENARIOS = {
    "eikonal_solve": "[lambda: eikonal_solve(medium, (1.0, 0.5), seeds)]",
    "circulant_draw": "[lambda: circulant_draw(quadrant, (64, 64), (50, 50), 7)]",
    "synthesise_pulses": "[lambda: synthesise_pulses(slip, rise, 0.05, beta), "
    "lambda: synthesise_pulses(slip, rise, 0.05)]",
    # Every error of the three functions: binding, conversion (the interpreter's and the
    # argument's own), layout and kernel errors; one in ten calls each, to keep the time down.
    "eikonal_solve errors": """[
        lambda: eikonal_solve(medium, (1.0, 1.0)),
        lambda: eikonal_solve(medium, (1.0, 1.0), seeds, seed=1),
        lambda: eikonal_solve(medium.astype(np.float32), (1.0, 1.0), seeds),
        lambda: eikonal_solve(medium, [1.0, 1.0], seeds),
        lambda: eikonal_solve(medium, (1.0,), seeds),
        lambda: eikonal_solve(medium, (1.0, Broken()), seeds),
        lambda: eikonal_solve(medium, (1.0, 1.0), "seeds"),
        lambda: eikonal_solve(medium, (1.0, 1.0), {}),
        lambda: eikonal_solve(medium, (1.0, 1.0), seeds + [(0, -1, 0.0)]),
        lambda: eikonal_solve(medium, (1.0, 1.0), seeds + [(0, 0)]),
        lambda: eikonal_solve(medium, (1.0, 1.0), seeds + [(0, Broken(), 0.0)]),
        lambda: eikonal_solve(medium[:, ::2], (1.0, 1.0), seeds),
        lambda: eikonal_solve(np.ones((0, 5)), (1.0, 1.0), seeds),
        lambda: eikonal_solve(medium, (0.0, 1.0), seeds),
        lambda: eikonal_solve(medium, (1.0, float("nan")), seeds),
        lambda: eikonal_solve(-medium, (1.0, 1.0), seeds),
        lambda: eikonal_solve(medium, (1.0, 1.0), []),
        lambda: eikonal_solve(medium, (1.0, 1.0), seeds + [(40, 0, 0.0)]),
        lambda: eikonal_solve(medium, (1.0, 1.0), seeds + [(0, 0, float("inf"))]),
        lambda: eikonal_solve(snake, (1.0, 1.0), [(0, 0, 0.0)]),
    ]""",
    "circulant_draw errors": """[
        lambda: circulant_draw(quadrant, (64, 64), (50, 50)),
        lambda: circulant_draw(quadrant.tolist(), (64, 64), (50, 50), 7),
        lambda: circulant_draw(quadrant, [64, 64], (50, 50), 7),
        lambda: circulant_draw(quadrant, (64, -1), (50, 50), 7),
        lambda: circulant_draw(quadrant, (64, 64), (50, 50, 1), 7),
        lambda: circulant_draw(quadrant, (64, 64), (50, 50), 2**64),
        lambda: circulant_draw(quadrant, (64, 64), (50, 50), Broken()),
        lambda: circulant_draw(np.asfortranarray(quadrant)[::2], (64, 64), (50, 50), 7),
        lambda: circulant_draw(quadrant, (0, 64), (50, 50), 7),
        lambda: circulant_draw(quadrant[1:], (64, 64), (50, 50), 7),
        lambda: circulant_draw(quadrant, (64, 64), (65, 50), 7),
    ]""",
    "synthesise_pulses errors": """[
        lambda: synthesise_pulses(slip, rise, 0.05, beta, 1),
        lambda: synthesise_pulses(slip, rise),
        lambda: synthesise_pulses(slip, rise.reshape(10, 100), 0.05),
        lambda: synthesise_pulses(slip, rise, "0.05"),
        lambda: synthesise_pulses(slip, rise, Broken(), beta),
        lambda: synthesise_pulses(slip, rise, 0.05, beta.astype(np.float32)),
        lambda: synthesise_pulses(slip, rise[::2].repeat(2)[::2], 0.05, beta[::2]),
        lambda: synthesise_pulses(slip, rise, 0.0, beta),
        lambda: synthesise_pulses(slip, rise[1:], 0.05, beta),
        lambda: synthesise_pulses(slip, rise, 0.05, beta[1:]),
        lambda: synthesise_pulses(slip, rise, 0.05, beta * 3),
        lambda: synthesise_pulses(np.full(n, np.inf), rise, 0.05, beta),
        lambda: synthesise_pulses(slip, -rise, 0.05, beta),
    ]""",
    # Results and grids of a few MiB and more are mappings of their own, which the allocator and
    # AddressSanitizer never see: only the resident size shows one that is not given back.
    "large results": "[lambda: circulant_draw(large_quadrant, (1024, 1024), (1024, 1024), 7), "
    "lambda: synthesise_pulses(many_slips, many_rises, 0.01, many_betas)]",
    # Internal failures on a worker-pool thread and on the calling thread, each holding an array
    # and 1 MB of scratch that must come back as the failure unwinds.
    "internal failures": """[
        lambda: fixture.fail_on_worker(slip, 2**17),
        lambda: fixture.fail_in_caller(medium, 2**17),
    ]""",
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_repeated_calls_keep_memory_flat(python, scenario):
    times = REPEATS // 10 if "errors" in scenario or "failures" in scenario else REPEATS
    if scenario == "internal failures":
        times //= 5  # 400 failures of each kind, written reports and all
    if scenario == "large results":
        times = min(times, 100)  # 16 MiB of fields and 8 MiB of samples a round
    code = PRELUDE + f"\nmeasure({SCENARIOS[scenario]}, {times})\n"
    result = python(code)
    # Under AddressSanitizer a leaked block fails the interpreter's exit.
    assert result.returncode == 0, result.stderr[-4000:]
    before, after, blocks = map(int, result.stdout.split())
    print(f"\n{scenario}: {times} rounds, RSS {before / 2**20:.1f} -> {after / 2**20:.1f} MiB, "
          f"{blocks:+d} blocks")
    if SANITIZER != "asan":
        assert after - before < RSS_BOUND
        assert abs(blocks) < BLOCKS_BOUND


# What one solve adds to the high-water mark of a fresh interpreter, its result included, with the
# medium made first. A seed in a corner is the worst case for anything kept per offset from the
# seed, which then spans the whole grid.
PEAK_PROBE = textwrap.dedent(
    """
    import numpy as np
    from _kernels import eikonal_solve

    def high_water():
        with open("/proc/self/status") as lines:
            return next(int(line.split()[1]) * 1024 for line in lines if line.startswith("VmHWM:"))

    rows = cols = 1000
    medium = 1.0 / (2.0 + np.linspace(0.0, 2.0, rows)[:, None] + np.zeros((1, cols)))
    eikonal_solve(medium[:8, :8].copy(), (0.1, 0.1), [(0, 0, 0.0)])
    try:  # start the mark afresh, at what is resident now
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
    except OSError:
        pass
    before = high_water()
    times = eikonal_solve(medium, (0.1, 0.1), SEEDS)
    print((high_water() - before) / (rows * cols))
    """
)


@needs_plain_allocator
@pytest.mark.parametrize("seeds", [[(0, 0, 0.0)], [(999, 999, 0.0)], [(0, 999, 1.0), (999, 0, 0.0)]],
                         ids=["top-left corner", "bottom-right corner", "two corners"])
def test_eikonal_peak_memory_stays_under_48_bytes_a_cell(python, seeds):
    result = python(PEAK_PROBE.replace("SEEDS", repr(seeds)))
    assert result.returncode == 0, result.stderr[-4000:]
    per_cell = float(result.stdout)
    print(f"\n{seeds}: {per_cell:.1f} B/cell")
    assert per_cell <= 48.0


# What a result costs while it is kept, against NumPy's array of the same shape, per array. NumPy
# advises its large arrays for huge pages as the module does, and the kernel backs only the 2 MiB
# extents wholly inside a mapping: a result whose mapping ran on past its last page would take the
# whole of a last huge page once written, up to 2 MiB more than its bytes. Without transparent huge
# pages (absent, or `never`) both cost their pages alike. The draw's fields live in pages of its
# padded grid, which the draw has written.
KEPT_PROBE = textwrap.dedent(
    """
    import os
    import numpy as np
    from _kernels import circulant_draw, eikonal_solve

    def rss():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def growth_per_array(make, arrays_per_call, calls=30):
        make()  # warms the allocator
        before = rss()
        kept = [make() for _ in range(calls)]
        growth = (rss() - before) / (calls * arrays_per_call)
        del kept
        return growth

    rows, cols = SHAPE
    medium = np.ones((rows, cols))
    quadrant = PADDED and np.random.default_rng(1).random((PADDED[0] // 2 + 1, PADDED[1] // 2 + 1))
    calls = {
        "eikonal_solve": (lambda: eikonal_solve(medium, (1.0, 1.0), [(0, 0, 0.0)]), 1),
        "circulant_draw": (lambda: circulant_draw(quadrant, PADDED, (rows, cols), 7), 2),
    }
    print(growth_per_array(lambda: np.ones((rows, cols)), 1), growth_per_array(*calls[CALL]))
    """
)


@needs_plain_allocator
@pytest.mark.parametrize(
    "call, shape, padded",
    [
        ("eikonal_solve", (1000, 600), None),
        ("eikonal_solve", (513, 1024), None),
        ("circulant_draw", (1000, 600), (2048, 1024)),
        ("circulant_draw", (513, 1024), (1024, 1024)),
    ],
    ids=["eikonal 1000x600", "eikonal 513x1024", "draw 1000x600", "draw 513x1024"],
)
def test_kept_results_cost_what_numpy_arrays_do(python, call, shape, padded):
    # On one thread: worker threads' allocator arenas grow over the first draws they join in.
    result = python(f"SHAPE, PADDED, CALL = {shape!r}, {padded!r}, {call!r}\n" + KEPT_PROBE,
                    env={"RAYON_NUM_THREADS": "1"})
    assert result.returncode == 0, result.stderr[-4000:]
    numpy, kernel = (float(v) / 2**20 for v in result.stdout.split())
    print(f"\n{call} {shape}: {kernel:.2f} MiB kept per array, NumPy's {numpy:.2f} MiB")
    assert kernel <= numpy + 0.3
