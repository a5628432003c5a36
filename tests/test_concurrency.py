"""Many Python threads calling the three functions at once: the same outcomes as serial calls,
failures that stay in their own thread, one worker pool, and kernels that run without the lock."""

import hashlib
import os
import random
import shutil
import sys
import tempfile
import textwrap
import threading
import time

import numpy as np
import pytest

from _kernels import circulant_draw, eikonal_solve, synthesise_pulses

THREADS = 16
SECONDS = float(os.environ.get("KERNELS_MIX_SECONDS", "3"))


def serpentine(rows=301, cols=4, wall=50.0):
    """Fast corridors between slow walls whose gaps alternate ends: the front has to snake through
    150 turns, and every turn costs the sweeps another round."""
    slowness = np.ones((rows, cols))
    for k, row in enumerate(range(1, rows, 2)):
        slowness[row, :] = wall
        slowness[row, 0 if k % 2 else cols - 1] = 1.0
    return slowness


def mix(scale=1):
    """(name, call) pairs: work big enough to be worth releasing the lock for, and failures."""
    rng = np.random.default_rng(5)
    side = 120 * scale
    medium = 0.3 + rng.random((side, side))
    n = 4000 * scale
    slip = rng.random(n) * 2
    rise = 0.5 + rng.random(n)
    beta = np.full(n, 0.2)
    quadrant = rng.random((65 * scale, 65 * scale))
    padded = (128 * scale, 128 * scale)
    snake = serpentine()
    return [
        ("solve", lambda: eikonal_solve(medium, (0.5, 0.5), [(0, 0, 0.0), (side - 1, 3, 1.5)])),
        ("solve F-ordered", lambda: eikonal_solve(np.asfortranarray(medium), (1.0, 0.5), [(5, 5, 0.0)])),
        ("pulses", lambda: synthesise_pulses(slip, rise, 0.01, beta)),
        ("impulses", lambda: synthesise_pulses(slip, rise, 0.01)),
        ("draw", lambda: circulant_draw(quadrant, padded, (100 * scale, 90 * scale), 2**64 - 1)),
        ("draw, other seed", lambda: circulant_draw(quadrant, padded, (128 * scale, 1), 17)),
        ("not settled", lambda: eikonal_solve(snake, (1.0, 1.0), [(0, 0, 0.0)])),
        ("bad rise time", lambda: synthesise_pulses(slip, -rise, 0.01, beta)),
        ("bad quadrant", lambda: circulant_draw(quadrant[1:], padded, (1, 1), 0)),
        ("bad argument", lambda: eikonal_solve(medium, [1.0, 1.0], [(0, 0, 0.0)])),
        ("misplaced seed", lambda: eikonal_solve(medium, (1.0, 1.0), [(0, 0, 0.0), (0, side, 0.0)])),
    ]


def outcome(call):
    """A call's result or its exception, in a form that compares bit for bit."""
    try:
        result = call()
    except (TypeError, ValueError) as error:
        return (type(error).__name__, str(error), tuple(getattr(error, "__notes__", ())))
    arrays = result if isinstance(result, tuple) else (result,)
    return tuple((a.dtype.str, a.shape, a.tobytes()) for a in arrays)


def run_mix(calls, threads, seconds):
    """Runs `calls` in random orders on `threads` threads for `seconds`; returns the outcomes seen
    per call name (as a set) and the number of calls made per thread."""
    seen = [dict() for _ in range(threads)]
    counts = [0] * threads
    start = threading.Barrier(threads)

    def work(k):
        order = random.Random(k)
        start.wait()
        end = time.perf_counter() + seconds
        while time.perf_counter() < end:
            name, call = order.choice(calls)
            seen[k].setdefault(name, set()).add(outcome(call))
            counts[k] += 1

    pool = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    return seen, counts


def test_threads_in_a_mix_see_the_serial_outcomes():
    calls = mix()
    expected = {name: outcome(call) for name, call in calls}
    assert expected["not settled"][1].startswith("the sweep did not settle in 64 rounds")
    assert expected["bad argument"][0] == "TypeError"

    began = time.perf_counter()
    seen, counts = run_mix(calls, THREADS, SECONDS)
    elapsed = time.perf_counter() - began
    print(f"\n{THREADS} threads: {sum(counts) / elapsed:.0f} calls/s over {elapsed:.1f} s")

    for k, outcomes in enumerate(seen):
        assert counts[k] > 0, f"thread {k} made no call"
        for name, results in outcomes.items():
            assert results == {expected[name]}, f"thread {k}: {name} differed from serial"
    # Every kind of call, failing ones included, ran alongside the others.
    assert set().union(*seen) == set(expected)


def test_the_pool_is_made_once(python):
    """The pool's threads exist soon after its first parallel loop, and a load from many Python
    threads neither adds threads nor replaces them."""
    result = python(
        textwrap.dedent(
            """
            import os, threading, time, numpy as np
            from _kernels import synthesise_pulses, circulant_draw
            python_threads = {threading.get_native_id()}
            def others():
                return {int(t) for t in os.listdir("/proc/self/task")} - python_threads
            n = 20000
            args = (np.ones(n), np.ones(n), 0.01, np.full(n, 0.2))
            synthesise_pulses(*args)
            # oneTBB starts the workers one after another once the first loop asks for them.
            first, steady = others(), 0
            while steady < 10:
                time.sleep(0.05)
                now = others()
                first, steady = now, steady + 1 if now == first else 0
            seen = set(first)
            ready = threading.Barrier(16)
            def load():
                python_threads.add(threading.get_native_id())
                ready.wait()  # every Python thread known before anyone looks
                for _ in range(30):
                    synthesise_pulses(*args)
                    circulant_draw(np.ones((65, 65)), (128, 128), (100, 100), 3)
                    seen.update(others() - python_threads)
            threads = [threading.Thread(target=load) for _ in range(16)]
            for t in threads: t.start()
            for t in threads: t.join()
            print(len(first), len(seen), len(others()), seen == first)
            """
        ),
        env={"RAYON_NUM_THREADS": "6"},
    )
    assert result.returncode == 0, result.stderr
    first, seen, last, same = result.stdout.split()
    # At most six workers (the calling thread may count as one of them), the same ones throughout.
    assert 1 <= int(first) <= 6
    assert same == "True" and int(seen) == int(first) and int(last) == int(first)


# A pool larger than the process may start, for an ordinary user (root ignores the limit) allowed
# 64 processes: a user of the test's own, since the limit counts all of a user's processes. oneTBB ends the process when it cannot start a worker it wants, and a size beyond
# what it serves would leave the pool without workers: the first is a PanicException naming the
# size, the second is capped. Once the variable asks for a size that can start, the next call
# makes the pool.
UNDER_PROCESS_LIMIT = textwrap.dedent(
    """
    import hashlib, os, numpy as np, _kernels
    q = np.random.default_rng(2).random((513, 513))
    try:
        _kernels.circulant_draw(q, (1024, 1024), (1000, 999), 11)
    except BaseException as error:
        print(type(error).__name__, str(error).split(":")[0])
    os.environ["RAYON_NUM_THREADS"] = "4"
    for _ in range(5):  # loops long enough for oneTBB to start every worker it wants
        fields = _kernels.circulant_draw(q, (1024, 1024), (1000, 999), 11)
    with open("/proc/self/status") as status:
        threads = next(int(line.split()[1]) for line in status if line.startswith("Threads:"))
    print(hashlib.sha256(fields[0].tobytes() + fields[1].tobytes()).hexdigest(), threads)
    """
)


@pytest.fixture
def module_for_anyone():
    """A directory that any user may read, holding a copy of the module: the build may lie under
    a home directory that only its owner may enter."""
    import _kernels

    with tempfile.TemporaryDirectory() as directory:
        os.chmod(directory, 0o755)
        shutil.copy(_kernels.__file__, directory)
        yield directory


@pytest.mark.skipif(shutil.which("prlimit") is None or shutil.which("setpriv") is None,
                    reason="needs prlimit(1) and setpriv(1)")
@pytest.mark.parametrize("size, pool", [("200", 200), ("40000", 32768)])
def test_a_pool_the_process_cannot_start_is_a_panic_naming_its_size(python, module_for_anyone,
                                                                    size, pool):
    limit = ("prlimit", "--nproc=64")
    as_user = ("setpriv", f"--reuid={0x70000000 + os.getpid()}", "--regid=65534", "--clear-groups")
    result = python(UNDER_PROCESS_LIMIT, env={"RAYON_NUM_THREADS": size, "PYTHONPATH": module_for_anyone},
                    wrapper=(*as_user, *limit) if os.geteuid() == 0 else limit, cwd=module_for_anyone)
    assert result.returncode == 0, result.stderr[-2000:]
    failure, (digest, threads) = result.stdout.splitlines()[0], result.stdout.split()[-2:]
    assert failure == f"PanicException cannot start a worker pool of {pool} threads"
    fields = circulant_draw(np.random.default_rng(2).random((513, 513)), (1024, 1024), (1000, 999), 11)
    assert digest == hashlib.sha256(fields[0].tobytes() + fields[1].tobytes()).hexdigest()
    assert 1 < int(threads) <= 5  # the caller, 3 workers, and perhaps a sanitizer's own thread


def long_calls():
    """A call of each function that lasts some tens of milliseconds on one CPU."""
    n = 40000
    slip, rise, beta = np.linspace(0.0, 2.0, n), np.full(n, 1.0), np.full(n, 0.2)
    medium = np.full((700, 700), 0.3)
    quadrant = np.ones((513, 513))
    return {
        "eikonal_solve": lambda: eikonal_solve(medium, (0.1, 0.1), [(350, 350, 0.0)]),
        "circulant_draw": lambda: circulant_draw(quadrant, (1024, 1024), (1000, 1000), 5),
        "synthesise_pulses": lambda: synthesise_pulses(slip, rise, 0.01, beta),
    }


def counts_during(call, calls=2):
    """How far another thread counts during each of `calls` calls, with forced hand-overs of the
    interpreter lock turned off: it can count only while the caller lets the lock go."""
    ticks, done = 0, False

    def count():
        nonlocal ticks
        while not done:
            ticks += 1
            time.sleep(0)  # lets the lock go to a caller that wants it back

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    counter = threading.Thread(target=count)
    try:
        counter.start()
        progress = []
        for _ in range(calls):
            before = ticks
            call()
            progress.append(ticks - before)
    finally:
        done = True
        counter.join()
        sys.setswitchinterval(interval)
    return progress


@pytest.mark.parametrize("name", ["eikonal_solve", "circulant_draw", "synthesise_pulses"])
def test_another_thread_runs_while_a_kernel_does(name):
    # Not a speed-up: this holds on one CPU and under any load.
    progress = counts_during(long_calls()[name])
    assert min(progress) > 0, f"counts during the calls: {progress}"


def test_a_call_that_keeps_the_lock_sees_no_count():
    # The control: sorting a list in C never lets the lock go.
    values = list(range(300_000))
    random.Random(1).shuffle(values)
    assert counts_during(lambda: sorted(values)) == [0, 0]
