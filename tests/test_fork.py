"""A process forked while other threads are inside the kernels: the child's own calls finish, on
its calling thread, with the parent's bits."""

import hashlib
import os
import select
import shutil
import signal
import textwrap
import threading
import time
import traceback

import numpy as np
import pytest

from _kernels import circulant_draw, synthesise_pulses
from support import SANITIZER

FORKS = 40
# A child that has not answered by then is taken to hang. The calls take milliseconds; a
# sanitizer runtime makes them some ten times slower.
CHILD_SECONDS = 20.0 if SANITIZER else 5.0

N = 4096
SLIP = np.linspace(0.0, 2.0, N)
RISE = np.linspace(0.5, 1.5, N)
BETA = np.full(N, 0.2)
QUADRANT = np.random.default_rng(3).random((65, 65))


def draw():
    # Sizes that plan anew: every forked child plans with the planner the parent shares.
    return circulant_draw(QUADRANT, (128, 128), (100, 90), 2**64 - 1)


def pulses():
    return synthesise_pulses(SLIP, RISE, 0.01, BETA)


def fingerprint():
    digest = hashlib.sha256()
    for part in (*draw(), *pulses()):
        digest.update(part.tobytes())
    return digest.hexdigest().encode()


def busy_callers(stop):
    """Threads that keep the planner and the pool busy until `stop` is set; draws of shapes that
    change call after call, so that planning is under way at most times."""

    def draws(k):
        rng = np.random.default_rng(k)
        while not stop.is_set():
            p, c = (int(v) for v in rng.integers(8, 160, size=2))
            circulant_draw(np.ones((p // 2 + 1, c // 2 + 1)), (p, c), (p, c), k)

    def syntheses():
        while not stop.is_set():
            pulses()

    return [threading.Thread(target=draws, args=(k,)) for k in range(2)] + [
        threading.Thread(target=syntheses) for _ in range(2)
    ]


def forked_fingerprint():
    """Forks a child that answers with its fingerprint, and returns that; fails if the child does
    not answer in time (and kills it) or fails."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_end)
            os.write(write_end, fingerprint())
            status = 0
        except BaseException:  # noqa: B036 - whatever it is, the child must not go on as pytest
            traceback.print_exc()
        finally:
            os._exit(status)
    os.close(write_end)
    try:
        answer = read_until_closed(read_end, time.monotonic() + CHILD_SECONDS)
        if answer is None:
            os.kill(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
    finally:
        os.close(read_end)
    assert answer is not None, f"the child did not finish in {CHILD_SECONDS} s"
    assert os.waitstatus_to_exitcode(status) == 0, "the child failed"
    return answer


def read_until_closed(fd, deadline):
    """Everything written to `fd` until its writer closes it; None if that is not by `deadline`."""
    answer = b""
    while select.select([fd], [], [], max(deadline - time.monotonic(), 0))[0]:
        chunk = os.read(fd, 4096)
        if not chunk:
            return answer
        answer += chunk
    return None


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded, use of fork:DeprecationWarning")
def test_children_forked_beside_busy_threads_finish_with_the_same_bits():
    expected = fingerprint()
    stop = threading.Event()
    threads = busy_callers(stop)
    for thread in threads:
        thread.start()
    try:
        for _ in range(FORKS):
            time.sleep(0.01)  # let the busy threads get back into the kernels
            assert forked_fingerprint() == expected
    finally:
        stop.set()
        for thread in threads:
            thread.join()


# A fork while another thread is making one of the module's process-wide values for the first
# time, its Python code slowed down so that the fork falls inside it. The child must make the value
# itself instead of waiting for a maker that does not exist there.
SLOW_FIRST_USES = {
    "collections.abc.Sequence": (
        """
        class SlowAbc(types.ModuleType):
            @property
            def Sequence(self):
                time.sleep(1.0)
                return list

        sys.modules["collections.abc"] = SlowAbc("collections.abc")
        """,
        "{}",
        "'dict' object is not an instance of 'list'",
    ),
    "numpy.lib.NumpyVersion": (
        """
        import numpy.lib

        numpy_version = numpy.lib.NumpyVersion

        def slow_numpy_version(version):
            time.sleep(1.0)
            return numpy_version(version)

        numpy.lib.NumpyVersion = slow_numpy_version
        """,
        "[(0, 0, 0.0)]",
        "[[0.0, 1.0]]",
    ),
}

FORK_DURING_FIRST_USE = """
import os, sys, threading, time, types
import numpy as np
import _kernels
{slow}

def call():
    try:
        return repr(_kernels.eikonal_solve(np.ones((1, 2)), (1.0, 1.0), {seeds}).tolist())
    except TypeError as error:
        return str(error)

first = threading.Thread(target=lambda: print("thread", call(), flush=True))
first.start()
time.sleep(0.3)
pid = os.fork()
if pid == 0:
    os.write(1, ("child " + call() + "\\n").encode())
    os._exit(0)
first.join()
deadline = time.monotonic() + {seconds}
while os.waitpid(pid, os.WNOHANG) == (0, 0):
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        sys.exit("the child did not finish")
    time.sleep(0.02)
"""


@pytest.mark.parametrize("slow_part", SLOW_FIRST_USES)
def test_a_child_forked_during_a_first_time_set_up_makes_the_value_itself(python, slow_part):
    slow, seeds, answer = SLOW_FIRST_USES[slow_part]
    code = FORK_DURING_FIRST_USE.format(slow=textwrap.dedent(slow), seeds=seeds,
                                        seconds=CHILD_SECONDS + 1.0)
    result = python(code)
    assert result.returncode == 0, result.stderr[-2000:]
    assert sorted(result.stdout.splitlines()) == [f"child {answer}", f"thread {answer}"]


# The first process of a pid namespace draws, keeps four threads drawing, and forks into a new pid
# namespace: the child is pid 1 as well, yet none of the pool's threads exist there.
PID_ONE_FORKS_PID_ONE = """
import ctypes, hashlib, os, select, sys, threading, time
import numpy as np
from _kernels import circulant_draw

QUADRANT = np.random.default_rng(3).random((65, 65))

def digest():
    fields = circulant_draw(QUADRANT, (128, 128), (100, 90), 5)
    return hashlib.sha256(fields[0].tobytes() + fields[1].tobytes()).hexdigest()

expected = digest()
stop = threading.Event()
def keep_drawing():
    while not stop.is_set():
        digest()
threads = [threading.Thread(target=keep_drawing) for _ in range(4)]
for thread in threads:
    thread.start()
libc = ctypes.CDLL(None, use_errno=True)
if libc.unshare(0x20000000) != 0:  # CLONE_NEWPID: the children go into a new namespace
    sys.exit("unshare: " + os.strerror(ctypes.get_errno()))
read_end, write_end = os.pipe()
pid = os.fork()
if pid == 0:
    os.write(write_end, f"{os.getpid()} {digest()}".encode())
    os._exit(0)
os.close(write_end)
answer = b""
deadline = time.monotonic() + SECONDS
while select.select([read_end], [], [], max(deadline - time.monotonic(), 0))[0]:
    chunk = os.read(read_end, 4096)
    if not chunk:
        break
    answer += chunk
else:
    os.kill(pid, 9)
stop.set()
for thread in threads:
    thread.join()
os.waitpid(pid, 0)
print(os.getpid(), answer.decode() or "no answer", answer.decode() == f"1 {expected}")
"""


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("unshare") is None,
                    reason="making pid namespaces needs root and unshare(1)")
def test_a_child_with_its_parents_pid_runs_its_loops_on_its_own_thread(python):
    # Nothing can fork once the namespaces' first processes are gone, LeakSanitizer's check at
    # exit included.
    env = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
    result = python(PID_ONE_FORKS_PID_ONE.replace("SECONDS", repr(CHILD_SECONDS)), env=env,
                    wrapper=("unshare", "--pid", "--fork", "--kill-child"))
    assert result.returncode == 0, result.stderr[-2000:]
    parent, child, _, same_bits = result.stdout.split()
    assert (parent, child) == ("1", "1")
    assert same_bits == "True"
