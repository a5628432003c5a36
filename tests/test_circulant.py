"""`circulant_draw` end to end: known draws, the kernel's messages through the entry, a direct
evaluation against an independent generator, determinism across pools and threads, and the
arrays handed back."""

import hashlib
import inspect
import math
import re
import textwrap
import threading
from pathlib import Path

import numpy as np
import pytest

import _kernels
from _kernels import circulant_draw
from support import raised

DOC = """circulant_draw(amplitudes, padded_shape, cell_counts, seed)
--

A pair of independent standard-normal fields from one circulant-embedding draw.

`amplitudes` is the `(padded_i//2 + 1, padded_j//2 + 1)` quadrant of the
square-rooted, non-negative eigenvalues of the embedding on the `padded_shape`
grid, which the full grid mirrors. Returns `(real, imaginary)`, each cropped to
`cell_counts` and each a field with the embedded covariance, independent of the
other (Dietrich & Newsam 1997). The same `seed` gives the same pair.

The doc on [`field`] has the details."""

NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def quadrant(P, C, seed=3):
    """A positive, decaying amplitude quadrant with no symmetry a transform could hide a slip in."""
    w, v = np.mgrid[0 : P // 2 + 1, 0 : C // 2 + 1]
    return np.exp(-0.15 * w - 0.1 * v) + np.random.default_rng(seed).uniform(0, 0.2, (P // 2 + 1, C // 2 + 1))


def test_definition():
    assert _kernels.__all__[2] == "circulant_draw"
    assert str(inspect.signature(circulant_draw)) == "(amplitudes, padded_shape, cell_counts, seed)"
    assert circulant_draw.__doc__ == DOC.split("\n", 3)[3]
    assert len(DOC.encode()) == 564


# ---------------------------------------------------------------------------------------------
# Known draws


def test_single_cell_is_the_first_pair_of_normals():
    real, imaginary = circulant_draw(np.array([[1.0]]), (1, 1), (1, 1), 0)
    assert real.tolist() == [[2.007951957087276]]
    assert imaginary.tolist() == [[-1.2450973225106816]]
    # Lengths of 1 leave the noise alone and the scale is exactly 1: only the amplitude remains.
    real, imaginary = circulant_draw(np.array([[-2.5]]), (1, 1), (1, 1), 0)
    assert real.tolist() == [[-2.5 * 2.007951957087276]]
    assert imaginary.tolist() == [[-2.5 * -1.2450973225106816]]


def test_two_by_two_draw_and_its_crop():
    real, imaginary = circulant_draw(np.ones((2, 2)), (2, 2), (2, 2), 0)
    np.testing.assert_allclose(
        real.ravel(), [0.3281748583302021, 0.3037723552594753, 2.041858373793009, 1.3420983267918651],
        rtol=0, atol=1e-15)
    np.testing.assert_allclose(
        imaginary.ravel(),
        [-1.4431837034379584, -0.014274989918052858, -1.0629034740632028, 0.030167522397850907],
        rtol=0, atol=1e-15)
    row_real, row_imaginary = circulant_draw(np.ones((2, 2)), (2, 2), (1, 2), 0)
    assert row_real.shape == (1, 2)
    np.testing.assert_array_equal(row_real, real[:1])
    np.testing.assert_array_equal(row_imaginary, imaginary[:1])


# ---------------------------------------------------------------------------------------------
# The kernel's messages


@pytest.mark.parametrize(
    "amplitudes, padded, cells, message",
    [
        (np.ones((3, 3)), (0, 5), (0, 0), "a 0x5 embedding has no cells"),
        (np.ones((3, 3)), (5, 0), (0, 0), "a 5x0 embedding has no cells"),
        (np.zeros((0, 0)), (0, 5), (9, 9), "a 0x5 embedding has no cells"),  # before the quadrant
        (np.zeros((0, 7))[:, ::2], (0, 5), (0, 0), "a 0x5 embedding has no cells"),  # empty: any strides
        (np.ones((4, 4)), (8, 6), (1, 1), "a 8x6 embedding needs a 5x4 amplitude quadrant, not 4x4"),
        (np.ones((4, 4)), (7, 9), (1, 1), "a 7x9 embedding needs a 4x5 amplitude quadrant, not 4x4"),
        (np.ones((4, 5)).T, (7, 9), (1, 1), "a 7x9 embedding needs a 4x5 amplitude quadrant, not 5x4"),
        (np.zeros((0, 0)), (4, 4), (1, 1), "a 4x4 embedding needs a 3x3 amplitude quadrant, not 0x0"),
        (np.ones((4, 4)), (8, 6), (9, 3), "a 8x6 embedding needs a 5x4 amplitude quadrant, not 4x4"),
        (np.ones((5, 4)), (8, 6), (9, 3), "a 9x3 fault does not fit in a 8x6 embedding"),
        (np.ones((5, 4)), (8, 6), (8, 7), "a 8x7 fault does not fit in a 8x6 embedding"),
        (np.ones((1, 1)), (2**64 - 1, 1), (1, 1),
         "a 18446744073709551615x1 embedding needs a 9223372036854775808x1 amplitude quadrant, not 1x1"),
    ],
)
def test_kernel_errors_arrive_as_plain_value_errors(amplitudes, padded, cells, message):
    error = raised(lambda: circulant_draw(amplitudes, padded, cells, 0))
    assert type(error) is ValueError and error.args == (message,)
    assert not hasattr(error, "__notes__") and error.__cause__ is None


def test_the_whole_padded_grid_fits():
    real, imaginary = circulant_draw(np.ones((5, 4)), (8, 6), (8, 6), 0)
    assert real.shape == imaginary.shape == (8, 6)


# ---------------------------------------------------------------------------------------------
# Empty fault grids


@pytest.mark.parametrize("cells", [(0, 5), (8, 0), (0, 0)])
def test_empty_fault_grids(cells):
    real, imaginary = circulant_draw(np.ones((5, 4)), (8, 6), cells, 0)
    for field in (real, imaginary):
        assert field.shape == cells and field.strides == (0, 0) and field.dtype == np.float64
        assert type(field.base).__name__ == "PySliceContainer"
    assert real is not imaginary


POOL_ON_EMPTY_DRAW = textwrap.dedent(
    """
    import os, numpy as np, _kernels
    def threads():
        return len(os.listdir("/proc/self/task"))
    start = threads()
    q = np.ones((33, 33))
    try:
        _kernels.circulant_draw(q, (64, 64), (65, 0), 0)
    except ValueError:
        pass
    failed = threads() - start
    _kernels.circulant_draw(q, (64, 64), CELLS, 0)
    empty = threads() - start
    # The pool was sized by the empty draw: a larger request now changes nothing.
    os.environ["RAYON_NUM_THREADS"] = "8"
    _kernels.circulant_draw(q, (64, 64), (64, 64), 0)
    print(failed, empty, threads() - start)
    """
)


@pytest.mark.parametrize("cells", [(0, 64), (64, 0), (0, 0)])
def test_an_empty_draw_still_makes_the_pool(python, cells):
    result = python(POOL_ON_EMPTY_DRAW.replace("CELLS", repr(cells)), env={"RAYON_NUM_THREADS": "3"})
    assert result.returncode == 0, result.stderr
    failed, empty, later = map(int, result.stdout.split())
    assert failed == 0
    assert 0 < empty <= 2  # the caller plus at most two workers
    assert later == empty


# ---------------------------------------------------------------------------------------------
# The net result against an independent evaluation


class Pcg:
    """The 128-bit PCG with the XSL-RR output, on Python integers."""

    M = 0x2360ED051FC65DA44385DF649FCCF645
    MASK = (1 << 128) - 1

    def __init__(self, seed_bytes):
        self.increment = int.from_bytes(seed_bytes[16:], "little") | 1
        self.state = (int.from_bytes(seed_bytes[:16], "little") + self.increment) & self.MASK
        self.state = (self.state * self.M + self.increment) & self.MASK

    @classmethod
    def from_u64(cls, seed):
        words = []
        s = seed
        for _ in range(8):
            s = (s * 0x5851F42D4C957F2D + 0xA17654E46FBE17F3) & (2**64 - 1)
            t = (((s >> 18) ^ s) >> 27) & 0xFFFFFFFF
            q = s >> 59
            words.append(((t >> q) | (t << (32 - q))) & 0xFFFFFFFF)
        return cls(b"".join(w.to_bytes(4, "little") for w in words))

    def copy(self):
        other = object.__new__(Pcg)
        other.state, other.increment = self.state, self.increment
        return other

    def next_u64(self):
        self.state = (self.state * self.M + self.increment) & self.MASK
        hi, lo = self.state >> 64, self.state & (2**64 - 1)
        x, rot = hi ^ lo, hi >> 58
        return ((x >> rot) | (x << (64 - rot))) & (2**64 - 1)


def parse_table(text, name):
    body = re.search(name + r"\[257\] = \{(.*?)\};", text, re.S).group(1)
    return [float.fromhex(item) for item in body.replace(",", " ").split()]


@pytest.fixture(scope="module")
def ziggurat():
    text = (Path(__file__).parents[1] / "crates/kernels/src/zig_tables.hpp").read_text()
    X, F = parse_table(text, "ZIG_NORM_X"), parse_table(text, "ZIG_NORM_F")
    # The header is the kernel's own: hold a few of its entries to the published values.
    assert len(X) == len(F) == 257
    assert (X[0], X[1], X[128], X[255], X[256]) == (
        3.91075795953709, 3.654152885361009, 1.5353425714388431, 0.2152418959132738, 0.0)
    assert (F[0], F[3], F[128], F[254], F[256]) == (
        0.000477467764586655, 0.004037972593371872, 0.30769741250555377, 0.9598790918124159, 1.0)
    return X, F


class Normals:
    """The ziggurat sampler over one generator; counts the tail values it returns."""

    def __init__(self, tables, generator):
        self.X, self.F = tables
        self.g = generator
        self.tails = 0

    def open01(self):
        return (2 * (self.g.next_u64() >> 12) + 1) * 2.0**-53

    def __call__(self):
        X, F, R = self.X, self.F, self.X[1]
        while True:
            w = self.g.next_u64()
            i = w & 0xFF
            u = (w >> 12) * 2.0**-51 - 1.0
            x = X[i] * u
            if abs(x) < X[i + 1]:
                return x
            if i == 0:
                while True:
                    xt = math.log(self.open01()) / R
                    y = math.log(self.open01())
                    if not xt * xt > y * -2.0:
                        break
                self.tails += 1
                return xt - R if u < 0 else R - xt
            t = ((self.g.next_u64() >> 11) * 2.0**-53) * (F[i] - F[i + 1]) + F[i + 1]
            if math.exp((x * x) * -0.5) > t:
                return x


def streams(seed, P):
    master = Pcg.from_u64(seed)
    out = []
    for _ in range((P + 31) // 32):
        outputs = [master.next_u64() for _ in range(4)]
        out.append(Pcg(b"".join(o.to_bytes(8, "little") for o in outputs)))
    return out


def noise(tables, seed, P, C, Q):
    """The mirrored complex noise of the padded grid, and how many tail values went into it."""
    W = np.empty((P, C), dtype=complex)
    tails = 0
    for b, stream in enumerate(streams(seed, P)):
        normal = Normals(tables, stream.copy())
        for r in range(32 * b, min(32 * b + 32, P)):
            for j in range(C):
                a = Q[min(r, P - r), min(j, C - j)]
                z1 = normal()
                z2 = normal()
                W[r, j] = complex(z1 * a, z2 * a)
        tails += normal.tails
    return W, tails


def inverse_dft(n, m):
    """The n x m matrix of exp(+2 pi i k r / n), with k r reduced first so large angles stay exact."""
    k, r = np.mgrid[0:n, 0:m]
    return np.exp(2j * np.pi * ((k * r) % n) / n)


def test_the_reference_generator_reproduces_the_published_values(ziggurat):
    stream = streams(0, 1)[0]
    assert (stream.state, stream.increment) == (
        0x56F868523A2FD83672752F9244AD73C5, 0x09F71EE2B019A7DAB5B235D60CF8E231)
    normal = Normals(ziggurat, stream)
    assert [normal() for _ in range(4)] == [
        2.007951957087276, -1.2450973225106816, 0.3620812750359354, -1.2609898549904797]


def test_blocks_chunks_and_streams_against_a_direct_evaluation(ziggurat):
    # Two row blocks (two streams), two column blocks and two output chunks; this seed's noise
    # holds a tail value, so the sampler's rarest branch is compared too.
    P, C, R, K, seed = 33, 20, 33, 17, 13
    Q = quadrant(P, C)
    W, tails = noise(ziggurat, seed, P, C, Q)
    assert tails > 0
    X = inverse_dft(P, R).T @ W @ inverse_dft(C, K) / math.sqrt(P * C)
    real, imaginary = circulant_draw(Q, (P, C), (R, K), seed)
    scale = np.abs(X).max()
    np.testing.assert_allclose(real, X.real, rtol=0, atol=1e-12 * scale)
    np.testing.assert_allclose(imaginary, X.imag, rtol=0, atol=1e-12 * scale)
    # A smaller crop is the same field's corner, to the bit.
    corner = circulant_draw(Q, (P, C), (5, 3), seed)
    np.testing.assert_array_equal(corner[0], real[:5, :3])
    np.testing.assert_array_equal(corner[1], imaginary[:5, :3])


# FFTW transforms one column of length 25, 64 or 128 otherwise than a batch of them.
@pytest.mark.parametrize("P, C", [(64, 40), (25, 50), (128, 34), (33, 64), (5, 47)])
def test_every_crop_is_the_whole_draws_corner_to_the_bit(P, C):
    # One column (K mod 16 == 1, or K == 1), a partial block, a whole block, and several blocks,
    # each with a single row, part of the rows and all of them.
    Q = quadrant(P, C)
    whole = circulant_draw(Q, (P, C), (P, C), 21)
    differing = []
    for R in (1, P // 2 + 1, P):
        for K in (1, 5, 16, 17, 33, C - 1, C):
            crop = circulant_draw(Q, (P, C), (R, K), 21)
            if any(part.tobytes() != full[:R, :K].tobytes() for part, full in zip(crop, whole)):
                differing.append((R, K))
    assert differing == []


# ---------------------------------------------------------------------------------------------
# Determinism


DETERMINISM = (np.linspace(0.2, 1.5, 101 * 66).reshape(101, 66), (200, 130), (150, 120), 2024)


def digest(fields):
    return hashlib.sha256(fields[0].tobytes() + fields[1].tobytes()).hexdigest()


def test_same_bits_for_any_pool_size(python):
    # 7 row blocks, 8 column blocks and 5 output chunks, spread over pools of several sizes.
    expected = digest(circulant_draw(*DETERMINISM))
    code = textwrap.dedent(
        f"""
        import hashlib, numpy as np, _kernels
        q = np.linspace(0.2, 1.5, 101 * 66).reshape(101, 66)
        f = _kernels.circulant_draw(q, (200, 130), (150, 120), 2024)
        print(hashlib.sha256(f[0].tobytes() + f[1].tobytes()).hexdigest())
        """
    )
    for threads in ("1", "3", "8"):
        result = python(code, env={"RAYON_NUM_THREADS": threads})
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == expected, threads


# Another FFTW user in the process plans the draw's own transforms patiently: in place, backward,
# rows of length C in batches of 32 and the rest, columns of length P in batches of 16 and the rest,
# and single transforms of both. Wisdom in a shared libfftw3 would steer later estimate plans.
PATIENT_NEIGHBOUR = textwrap.dedent(
    """
    import ctypes, hashlib, numpy as np, _kernels
    P, C, R, K = SHAPE
    q = np.random.default_rng(1).uniform(0.1, 1.0, (P // 2 + 1, C // 2 + 1))
    def digest():
        f = _kernels.circulant_draw(q, (P, C), (R, K), 7)
        return hashlib.sha256(f[0].tobytes() + f[1].tobytes()).hexdigest()
    first = digest()
    shared_before = "libfftw3.so" in open("/proc/self/maps").read()
    fftw = ctypes.CDLL("libfftw3.so.3")
    fftw.fftw_malloc.restype = fftw.fftw_plan_many_dft.restype = ctypes.c_void_p
    fftw.fftw_malloc.argtypes = [ctypes.c_size_t]
    fftw.fftw_destroy_plan.argtypes = fftw.fftw_free.argtypes = [ctypes.c_void_p]
    i, p = ctypes.c_int, ctypes.c_void_p
    fftw.fftw_plan_many_dft.argtypes = [i, ctypes.POINTER(i), i, p, p, i, i, p, p, i, i, i, ctypes.c_uint]
    BACKWARD, PATIENT = 1, 1 << 5
    for n, batch in [(C, min(P, 32)), (C, P % 32), (P, 16), (P, K % 16), (C, 1), (P, 1)]:
        if batch == 0:
            continue
        cells = fftw.fftw_malloc(16 * n * batch)
        length = i(n)
        plan = fftw.fftw_plan_many_dft(1, ctypes.byref(length), batch, cells, None, 1, n, cells, None,
                                       1, n, BACKWARD, PATIENT)
        assert plan
        fftw.fftw_destroy_plan(plan)
        fftw.fftw_free(cells)
    print(digest() == first, shared_before)
    """
)


@pytest.mark.parametrize("shape", [(64, 96, 64, 96), (200, 130, 150, 120)])
def test_another_fftw_user_planning_patiently_changes_no_bit(python, shape):
    result = python(PATIENT_NEIGHBOUR.replace("SHAPE", repr(shape)))
    assert result.returncode == 0, result.stderr
    same_bits, shared_library_loaded = result.stdout.split()
    assert same_bits == "True"
    assert shared_library_loaded == "False"  # the module's FFTW is its own, linked in


def test_repeated_calls_and_other_seeds():
    amplitudes, padded, cells, seed = DETERMINISM
    first = circulant_draw(amplitudes, padded, cells, seed)
    assert digest(circulant_draw(amplitudes, padded, cells, seed)) == digest(first)
    assert digest(circulant_draw(amplitudes, padded, cells, seed + 1)) != digest(first)
    # The two parts are independent fields, not copies of one another.
    assert not np.array_equal(first[0], first[1])


def test_large_draws_agree_with_their_small_crops():
    # The whole 1024x1024 draw gets its fields (8 MiB each) in the pages of its spent row grid;
    # the 512x512 crop gets fresh heap blocks. Every cell the two share has the same bits.
    Q = quadrant(1024, 1024)
    whole = circulant_draw(Q, (1024, 1024), (1024, 1024), 11)
    crop = circulant_draw(Q, (1024, 1024), (512, 512), 11)
    for part, cropped in zip(whole, crop):
        np.testing.assert_array_equal(part[:512, :512], cropped)
    assert not np.array_equal(whole[0], whole[1])


@pytest.mark.parametrize(
    "view",
    [np.asfortranarray, lambda q: q.T.copy().T, lambda q: np.asarray(q, dtype="<f8").view(np.ndarray)],
)
def test_fortran_order_gives_the_c_order_draw(view):
    Q = quadrant(33, 20)
    same = view(Q)
    assert np.array_equal(same, Q)
    np.testing.assert_array_equal(
        np.array(circulant_draw(same, (33, 20), (33, 17), 5)),
        np.array(circulant_draw(Q, (33, 20), (33, 17), 5)))


def test_two_threads_drawing_at_once_give_the_serial_results():
    Q = quadrant(256, 300)
    seeds = {"a": [1, 2, 3, 4], "b": [5, 6, 7, 8]}
    serial = {s: digest(circulant_draw(Q, (256, 300), (200, 250), s)) for s in sum(seeds.values(), [])}
    found = {}
    start = threading.Barrier(2)

    def draw(name):
        start.wait()
        for s in seeds[name]:
            found[s] = digest(circulant_draw(Q, (256, 300), (200, 250), s))

    threads = [threading.Thread(target=draw, args=(name,)) for name in seeds]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert found == serial


# ---------------------------------------------------------------------------------------------
# The entry's conversions


Q = np.ones((2, 3))  # right for (2, 4) and (3, 5)
STRIDED = np.ones((2, 6))[:, ::2]  # the right shape for (2, 4), but not contiguous


@pytest.mark.parametrize(
    "args, kind, message, parameter",
    [
        ((Q.astype(np.float32), (2, 4), (1, 1), 0), TypeError,
         "'ndarray' object is not an instance of 'ndarray'", "amplitudes"),
        ((np.ones(3), (2, 4), (1, 1), 0), TypeError, "'ndarray' object is not an instance of 'ndarray'",
         "amplitudes"),
        ((Q.tolist(), (2, 4), (1, 1), 0), TypeError, "'list' object is not an instance of 'ndarray'",
         "amplitudes"),
        ((Q, [2, 4], (1, 1), 0), TypeError, "'list' object is not an instance of 'tuple'", "padded_shape"),
        ((Q, (2, 4, 1), (1, 1), 0), ValueError, "expected tuple of length 2, but got tuple of length 3",
         "padded_shape"),
        ((Q, (2, -4), (1, 1), 0), OverflowError, None, "padded_shape"),
        ((Q, (2, 4), (1,), 0), ValueError, "expected tuple of length 2, but got tuple of length 1",
         "cell_counts"),
        ((Q, (2, 4), (1, 2.0), 0), TypeError, None, "cell_counts"),
        ((Q, (2, 4), (1, 1), -1), OverflowError, None, "seed"),
        ((Q, (2, 4), (1, 1), 2**64), OverflowError, None, "seed"),
        ((Q, (2, 4), (1, 1), "0"), TypeError, None, "seed"),
        # Parameters convert in order; the first failure is the one reported.
        ((None, [2, 4], None, -1), TypeError, "'None' is not an instance of 'ndarray'", "amplitudes"),
        ((Q, [2, 4], None, -1), TypeError, "'list' object is not an instance of 'tuple'", "padded_shape"),
        ((Q, (2, 4), None, -1), TypeError, "'None' is not an instance of 'tuple'", "cell_counts"),
        # Every conversion comes before the contiguity test, and the kernel's shape checks after both.
        ((STRIDED, (2, 4), (1, 1), -1), OverflowError, None, "seed"),
        ((STRIDED, (0, 4), (1, 1), -1), OverflowError, None, "seed"),
    ],
)
def test_conversion_errors_carry_the_parameter_note(args, kind, message, parameter):
    error = raised(lambda: circulant_draw(*args))
    assert type(error) is kind
    if message is not None:
        assert str(error) == message
    assert error.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize(
    "amplitudes",
    [STRIDED, np.ones((3, 2))[::-1].T, np.frombuffer(bytes(8 * 6 + 1), np.float64, 6, 1).reshape(2, 3)],
)
def test_unusable_buffers_are_refused_without_a_note(amplitudes):
    # Even a quadrant of the wrong shape, or a fault that does not fit: the buffer is tested first.
    for padded, cells in [((2, 4), (1, 1)), ((8, 8), (1, 1)), ((2, 4), (9, 9))]:
        error = raised(lambda: circulant_draw(amplitudes, padded, cells, 0))
        assert type(error) is TypeError and str(error) == NOT_CONTIGUOUS
        assert not hasattr(error, "__notes__")


def test_seed_range_and_numpy_integers():
    top = circulant_draw(Q, (3, 5), (3, 5), 2**64 - 1)
    assert digest(top) != digest(circulant_draw(Q, (3, 5), (3, 5), 0))
    assert digest(circulant_draw(Q, (np.int64(3), np.uint8(5)), (np.int32(3), 5), np.uint64(2**64 - 1))) \
        == digest(top)
    assert digest(circulant_draw(Q, (3, 5), (3, 5), np.int16(7))) == digest(circulant_draw(Q, (3, 5), (3, 5), 7))


def test_keywords_in_any_order_and_binding_errors():
    by_keyword = circulant_draw(seed=9, cell_counts=(3, 4), amplitudes=Q, padded_shape=(3, 5))
    assert digest(by_keyword) == digest(circulant_draw(Q, (3, 5), (3, 4), 9))
    for call, message in [
        (lambda: circulant_draw(Q, (3, 5), (3, 4), 9, 1),
         "circulant_draw() takes 4 positional arguments but 5 were given"),
        (lambda: circulant_draw(Q, (3, 5), (3, 4)),
         "circulant_draw() missing 1 required positional argument: 'seed'"),
        (lambda: circulant_draw(Q, (3, 5), (3, 4), 9, amplitudes=Q),
         "circulant_draw() got multiple values for argument 'amplitudes'"),
    ]:
        error = raised(call)
        assert type(error) is TypeError and str(error) == message
        assert not hasattr(error, "__notes__")


# ---------------------------------------------------------------------------------------------
# The arrays handed back


def test_result_arrays():
    amplitudes = quadrant(40, 30)
    fields = circulant_draw(amplitudes, (40, 30), (25, 18), 11)
    assert type(fields) is tuple and len(fields) == 2
    real, imaginary = fields
    for field in fields:
        assert type(field) is np.ndarray and field.dtype == np.float64
        assert field.shape == (25, 18) and field.strides == (18 * 8, 8)
        assert field.flags.c_contiguous and field.flags.writeable and field.flags.aligned
        assert not field.flags.owndata and type(field.base).__name__ == "PySliceContainer"
        assert not np.shares_memory(field, amplitudes)
    assert real.base is not imaginary.base and not np.shares_memory(real, imaginary)
    kept = imaginary.copy()
    real[...] = np.nan  # writeable in fact, and only into its own buffer
    np.testing.assert_array_equal(imaginary, kept)
