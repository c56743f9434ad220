"""Worked cases of forward_float and inverse_float: the 64-bit arithmetic and its
truncation on a segment, the fill methods, NaN, infinities and signed zeros,
the float64 arrays accepted, and independence from the caller's x87 state."""
import ctypes
import ctypes.util
import json
import os
import platform
import random
import subprocess
import sys

import numpy as np
import pytest

import rust
from conftest import METHODS, U64_MAX, u64
from float_helpers import (F64_MAX, F64_MIN_NORMAL, F64_TINY, FP_ORDER, INF, NAN, NAN_OR_INF,
                           NOT_FINITE, NOT_FOUND, OUT_F, OUT_X, XP_ORDER, bits, f64, f64_bits,
                           outcome)


def forward(x, xp, fp):
    return outcome(rust.forward_float, u64(x), u64(xp), f64(fp))


def inverse(f, xp, fp, method=None):
    return outcome(rust.inverse_float, f64(f), u64(xp), f64(fp), method)


# ---------------------------------------------------------------------------
# Forward on a segment: ((x1 - x) f0 + (x - x0) f1) / (x1 - x0), each step
# rounded to 64 bits, the quotient truncated toward zero to binary64.

@pytest.mark.parametrize(
    "x,  xp,            fp,                              result",
    [
        # 1/10 is m = 0xCCCCCCCCCCCCCCCD, e = -3: truncated to 0x3FB9999999999999,
        # one below the nearest binary64 (0x3FB999999999999A, 0.1).
        (1,  [0, 10],       [0.0, 1.0],                      0.09999999999999999),
        (1,  [0, 10],       [0.0, -1.0],                     -0.09999999999999999),
        (9,  [0, 10],       [1.0, 0.0],                      0.09999999999999999),
        # 2.7e308 passes the largest binary64 in the sum and comes back in the quotient.
        (1,  [0, 2],        [1e308, 1.7e308],                1.35e308),
        (1,  [0, 2],        [F64_MAX, F64_MAX],              F64_MAX),
        # A quarter of the smallest normal value is the subnormal 2^-1024.
        (1,  [0, 4],        [0.0, F64_MIN_NORMAL],           5.562684646268003e-309),
        (1,  [0, 4],        [0.0, -F64_MIN_NORMAL],          -5.562684646268003e-309),
        (1,  [0, 2],        [0.0, 3 * F64_TINY],             F64_TINY),  # 1.5 * 2^-1074, truncated
        # -2^-1076 lies below the smallest subnormal: +0.0, the sign is dropped.
        (3,  [0, 4],        [-5e-324, 0.0],                  0.0),
        (1,  [0, 2],        [-1.0, 1.0],                     0.0),       # an exact zero is +0.0
        (1,  [0, 2],        [-0.0, -0.0],                    0.0),
        # Not clamped to [f0, f1]: 0.3 * (2^53 - 2) rounds, and the quotient lands
        # just below 0.3, whose binary64 neighbour below is the result.
        (3,  [0, 2**53 + 1], [0.3, 0.3],                     0.29999999999999993),
        (1,  [0, 10**19],   [0.7, 0.7],                      0.6999999999999998),
        # 2^63 / (2^64 - 1) rounds up to 0.5 + 2^-64 at 64 bits, truncated to 0.5.
        (2**63, [0, U64_MAX], [0.0, 1.0],                    0.5),
        (5,  [4, 6, U64_MAX], [-3.0, 5.0, 7.0],              1.0),       # the first of two segments
    ],
)
def test_forward_on_a_segment(x, xp, fp, result):
    assert forward([x], xp, fp) == [bits(result)]


# ---------------------------------------------------------------------------
# Inverse on a segment: R = (x0 (f1 - f) + x1 (f - f0)) / (f1 - f0), each step
# rounded to 64 bits, then: None only if R is whole, nearest (ties to even),
# ffill = floor, bfill = ceil; the integer part is clamped to 2^64 - 1.

N = NOT_FOUND
GAP = 2.0**-64 - 2.0**-70  # below half an ulp of 1 at 64 bits
LOW, HIGH = 2.0**-52 - GAP, 1 + 2.0**-52


@pytest.mark.parametrize(
    "f,         xp,                  fp,           exact,   nearest, ffill,     bfill",
    [
        # 10 * 0.1 carried at 64 bits is 1 + 2^-54, not whole.
        (0.1,       [0, 10],             [0.0, 1.0],   N,       1,       1,         2),
        (0.25,      [0, 1],              [0.0, 0.5],   N,       0,       0,         1),      # R = 0.5
        (0.75,      [0, 3],              [0.0, 1.5],   N,       2,       1,         2),      # R = 1.5
        (0.25,      [10, 0],             [0.0, 1.0],   N,       8,       7,         8),      # R = 7.5
        (1.0,       [0, 3],              [0.0, 3.0],   1,       1,       1,         1),
        (0.5,       [5, 5],              [0.0, 1.0],   5,       5,       5,         5),
        (0.5,       [0, U64_MAX],        [0.0, 1.0],   N,       2**63,   2**63 - 1, 2**63),  # 2^63 - 0.5
        # f - f0 = 1 + 2^-70 needs 71 bits and rounds to 1: R = 5 exactly.
        (2.0**-70,  [0, 10],             [-1.0, 1.0],  5,       5,       5,         5),
        # 1 + 2^-60 fits: R = 5 + 5 * 2^-60.
        (2.0**-60,  [0, 10],             [-1.0, 1.0],  N,       5,       5,         6),
        # f1 - f0 = 1 + GAP rounds down to 1 while f1 - f = 1 and f - f0 = GAP are
        # exact: the sum rounds up to 2^64, and so does R, clamped to 2^64 - 1.
        (2.0**-52,  [U64_MAX, U64_MAX - 1], [LOW, HIGH], U64_MAX, U64_MAX, U64_MAX, U64_MAX),
    ],
)
def test_inverse_on_a_segment(f, xp, fp, exact, nearest, ffill, bfill):
    for method, want in zip(METHODS, (exact, nearest, ffill, bfill)):
        assert inverse([f], xp, fp, method) == (want if isinstance(want, tuple) else [want]), method


# ---------------------------------------------------------------------------
# NaN, infinities, signed zeros and the order of failures

XP = [0, 10]
FP = [0.0, 1.0]


@pytest.mark.parametrize(
    "f,                xp,       fp,                   method,    result",
    [
        ([NAN, 100.0],     XP,       FP,                   None,      NAN_OR_INF),
        ([100.0, NAN],     XP,       FP,                   None,      OUT_F),      # the NaN is never read
        ([100.0, NAN],     XP,       FP,                   "nearest", NAN_OR_INF),
        ([0.5, NAN],       XP,       FP,                   "ffill",   NAN_OR_INF),
        ([INF, NAN],       XP,       FP,                   "bfill",   OUT_F),
        ([NAN, INF],       XP,       FP,                   "bfill",   NAN_OR_INF),
        ([],               [0, 1, 2], [0.0, NAN, 1.0],     None,      []),
        ([0.5],            [0, 1, 2], [0.0, NAN, 1.0],     "nearest", FP_ORDER),
        ([NAN],            [0, 1, 2], [0.0, NAN, 1.0],     "nearest", FP_ORDER),   # the flag comes first
        ([1.0],            [0, 1],   [NAN, 1.0],           None,      FP_ORDER),
        ([1.0],            [0, 1],   [-0.0, 0.0],          "nearest", FP_ORDER),   # equal, no increase
        ([1.0],            [4],      [NAN],                None,      NAN_OR_INF),
        ([1.0],            [4],      [NAN],                "nearest", NAN_OR_INF),
        ([NAN],            [4],      [NAN],                "ffill",   NAN_OR_INF),
        ([NAN],            [],       [],                   None,      OUT_F),      # no table, nothing compared
        ([1.0],            [],       [],                   "ffill",   OUT_F),
        ([0.0, -0.0],      [7, 9],   [-0.0, 1.0],          "bfill",   [7, 7]),
        ([-0.0],           [7, 9],   [-1.0, 0.0],          "ffill",   [9]),
        ([INF],            XP,       FP,                   None,      OUT_F),
        ([INF],            XP,       FP,                   "nearest", [10]),
        ([INF],            XP,       FP,                   "ffill",   [10]),
        ([INF],            XP,       FP,                   "bfill",   OUT_F),
        ([-INF],           XP,       FP,                   None,      OUT_F),
        ([-INF],           XP,       FP,                   "nearest", [0]),
        ([-INF],           XP,       FP,                   "ffill",   OUT_F),
        ([-INF],           XP,       FP,                   "bfill",   [0]),
        ([-2.0],           XP,       [-INF, 0.0],          "bfill",   NOT_FINITE),
        ([-2.0, 2.0],      XP,       [-INF, INF],          "nearest", NOT_FINITE),
        ([-5.0, 0.5],      [0, 10, 20], [-1.0, 0.0, INF],  None,      OUT_F),
        ([-INF, 0.0, INF], [3, 10, 20], [-INF, 0.0, INF],  None,      [3, 10, 20]),  # hits on infinities
    ],
)
def test_inverse_with_special_values(f, xp, fp, method, result):
    assert inverse(f, xp, fp, method) == result


@pytest.mark.parametrize("method", METHODS)
def test_every_method_alike(method):
    assert inverse([-0.0], [7, 9], [0.0, 1.0], method) == [7]            # -0.0 hits +0.0
    assert inverse([INF], XP, [0.0, INF], method) == [10]                # hits on infinite ends
    assert inverse([INF, -INF], XP, [-INF, INF], method) == [10, 0]
    assert inverse([1.0], XP, [0.0, INF], method) == NOT_FINITE          # inside a segment ending at inf
    assert inverse([NAN], XP, FP, method) == NAN_OR_INF


@pytest.mark.parametrize(
    "x,           xp,          fp,                 result",
    [
        ([1],         [0, 2],      [0.0, NAN],         NOT_FINITE),
        ([1],         [0, 2],      [INF, 0.0],         NOT_FINITE),
        ([1],         [0, 2],      [0.0, -INF],        NOT_FINITE),
        ([0, 2],      [0, 2],      [INF, -INF],        [bits(INF), bits(-INF)]),  # hits need no arithmetic
        ([2, 0],      [0, 2],      [0.0, -0.0],        [bits(-0.0), 0]),
        ([100, 1],    [0, 2],      [0.0, NAN],         OUT_X),                    # first failure wins
        ([1, 100],    [0, 2],      [0.0, NAN],         NOT_FINITE),
        ([3, 1],      [0, 2, 4],   [0.0, 1.0, NAN],    NOT_FINITE),
        ([1, 3],      [0, 2, 4],   [0.0, 1.0, NAN],    NOT_FINITE),
        ([1],         [2, 0],      [NAN, 0.0],         XP_ORDER),                 # the flag comes first
        ([1],         [0, 1, 2],   [3.0, NAN, -1.0],   [bits(NAN)]),              # fp is never ordered
        ([],          [2, 0],      [NAN, 0.0],         []),
    ],
)
def test_forward_with_special_values(x, xp, fp, result):
    assert forward(x, xp, fp) == result


def test_forward_returns_stored_values_bit_for_bit():
    patterns = [
        0x7FF0000000001234,  # signalling NaN with a payload
        0xFFF800000000ABCD,  # negative quiet NaN with a payload
        0x8000000000000000,  # -0.0
        0x0000000000000001,  # the smallest subnormal
        0xFFF0000000000000,  # -inf
    ]
    xp = u64([0, 10, 20, 30, 40])
    x = u64([40, 0, 10, 20, 30, 0])
    assert outcome(rust.forward_float, x, xp, f64_bits(patterns)) == [patterns[i] for i in (4, 0, 1, 2, 3, 0)]
    # Halfway from -0.0 to 2^-1074 lies 2^-1075, below every subnormal: +0.0.
    assert outcome(rust.forward_float, u64([25]), xp, f64_bits(patterns)) == [0]


# ---------------------------------------------------------------------------
# Float64 arrays only, for fp and f

def refusal(param):
    message = "argument '%s': 'ndarray' object cannot be converted to 'PyArray<T, D>'" % param
    return ("builtins.TypeError", (message,))


WRONG_FLOATS = ["f4", "f2", np.longdouble, np.dtype("f8").newbyteorder(), "i8", "u8", "c16"]


@pytest.mark.parametrize("dtype", WRONG_FLOATS, ids=lambda d: np.dtype(d).str)
def test_only_native_float64_is_accepted(dtype):
    wrong = np.array([0.0, 1.0], dtype=dtype)
    xp, fp, q = u64([0, 1]), f64([0.0, 1.0]), f64([0.5])
    assert outcome(rust.forward_float, u64([0]), xp, wrong) == refusal("fp")
    assert outcome(rust.inverse_float, wrong, xp, fp) == refusal("f")
    assert outcome(rust.inverse_float, q, xp, wrong, "nearest") == refusal("fp")


@pytest.mark.parametrize("dtype", ["<f8", "=f8", np.double])
def test_other_names_of_float64_are_accepted(dtype):
    fp = np.array([0.0, 1.0], dtype=dtype)
    assert outcome(rust.forward_float, u64([1]), u64([0, 10]), fp) == [0x3FB9999999999999]
    assert outcome(rust.inverse_float, np.array([0.1], dtype=dtype), u64([0, 10]), fp, "bfill") == [2]


# ---------------------------------------------------------------------------
# The caller's x87 control word: results do not depend on it, and it is given back.

FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO = 0x000, 0x400, 0x800, 0xC00


def libm():
    if platform.machine().lower() not in ("x86_64", "amd64"):
        pytest.skip("the x87 control word exists on x86-64 only")
    name = ctypes.util.find_library("m")
    try:
        return ctypes.CDLL(name)
    except OSError:
        pytest.skip("libm cannot be loaded")


def rounding_workload():
    """Calls whose results hang on every rounding step: random 64-bit positions,
    values over many magnitudes, queries inside the segments. Returns a function
    computing all of them."""
    rng = random.Random(20)
    calls = []
    for _ in range(40):
        n = rng.randint(2, 5)
        xp = sorted({rng.getrandbits(64) for _ in range(n)})
        scale = 10.0 ** rng.randint(-300, 300)
        fp = sorted({rng.uniform(-1, 1) * scale for _ in xp})[:len(xp)]
        xp = xp[:len(fp)]
        x = [rng.randint(a + 1, b - 1) for a, b in zip(xp, xp[1:]) for _ in range(3)]
        f = [rng.uniform(a, b) for a, b in zip(fp, fp[1:]) for _ in range(3)]
        calls.append((rust.forward_float, u64(x), u64(xp), f64(fp)))
        for method in METHODS[1:]:
            calls.append((rust.inverse_float, f64(f), u64(xp), f64(fp), method))
    calls.append((rust.forward_float, u64([1, 3]), u64([0, 10, 2**53 + 1]), f64([0.0, 1.0, 0.3])))
    calls.append((rust.inverse_float, f64([0.1, 0.25]), u64([0, 10]), f64([0.0, 1.0]), "nearest"))
    return lambda: [outcome(*call) for call in calls]


@pytest.mark.parametrize("mode", [FE_UPWARD, FE_TOWARDZERO, FE_DOWNWARD])
def test_results_ignore_the_rounding_mode(mode):
    lib = libm()
    run = rounding_workload()
    assert lib.fegetround() == FE_TONEAREST
    expected = run()
    assert lib.fesetround(mode) == 0
    try:
        got = run()
        after = lib.fegetround()
    finally:
        lib.fesetround(FE_TONEAREST)
    assert after == mode
    assert got == expected


class FEnv(ctypes.Structure):
    # glibc's fenv_t on x86-64: the x87 environment (28 bytes) and MXCSR.
    _fields_ = [("control", ctypes.c_uint16), ("rest", ctypes.c_uint16 * 13), ("mxcsr", ctypes.c_uint32)]


@pytest.mark.parametrize("precision", [0x000, 0x200], ids=["24-bit", "53-bit"])
def test_results_ignore_the_precision_control(precision):
    lib = libm()
    run = rounding_workload()
    saved, env, seen = FEnv(), FEnv(), FEnv()
    assert lib.fegetenv(ctypes.byref(saved)) == 0
    expected = run()
    ctypes.pointer(env)[0] = saved
    env.control = (saved.control & ~0x300) | precision
    assert lib.fesetenv(ctypes.byref(env)) == 0
    try:
        got = run()
        lib.fegetenv(ctypes.byref(seen))
    finally:
        lib.fesetenv(ctypes.byref(saved))
    assert seen.control == env.control
    assert got == expected


def lane_workload():
    """Sorted queries, long runs in a few segments and a few to a segment of a
    large table, on real values and half-integers: what goes through the
    binary64 lanes where the CPU has AVX-512."""
    rng = np.random.default_rng(21)
    calls = []
    for n, count in ((5, 2000), (3000, 12000)):
        xp = np.unique(rng.integers(0, 2**40, size=n, dtype=np.uint64))
        for fp in (np.cumsum(rng.uniform(0.5, 1.5, size=len(xp))) * 3.25, xp.astype(np.float64) * 0.5):
            x = np.sort(rng.integers(xp[0] + 1, xp[-1], size=count, dtype=np.uint64))
            calls.append((rust.forward_float, x, xp, fp))
            f = np.sort(rng.uniform(fp[0], fp[-1], size=count))
            for method in METHODS[1:]:
                calls.append((rust.inverse_float, f, xp, fp, method))
            calls.append((rust.inverse_float, rust.forward_float(x, xp, fp), xp, fp))
    return lambda: [outcome(*call) for call in calls]


# The SSE control register's rounding field and its flush-to-zero and
# denormals-are-zero bits.
MXCSR_MODES = {"up": 0x4000, "toward zero": 0x6000, "flush to zero, denormals are zero": 0x8040}


@pytest.mark.parametrize("bits", list(MXCSR_MODES.values()), ids=list(MXCSR_MODES))
def test_results_ignore_the_sse_modes(bits):
    lib = libm()
    run = lane_workload()
    saved, env, seen = FEnv(), FEnv(), FEnv()
    assert lib.fegetenv(ctypes.byref(saved)) == 0
    expected = run()
    ctypes.pointer(env)[0] = saved
    env.mxcsr = (saved.mxcsr & ~0xE040) | bits
    assert lib.fesetenv(ctypes.byref(env)) == 0
    try:
        got = run()
        lib.fegetenv(ctypes.byref(seen))
    finally:
        lib.fesetenv(ctypes.byref(saved))
    assert seen.mxcsr & 0xFFC0 == env.mxcsr & 0xFFC0
    assert got == expected


UNMASKED_CHILD = r"""
import ctypes, ctypes.util, json
import numpy as np
import rust


class FEnv(ctypes.Structure):
    _fields_ = [("control", ctypes.c_uint16), ("rest", ctypes.c_uint16 * 13), ("mxcsr", ctypes.c_uint32)]


lib = ctypes.CDLL(ctypes.util.find_library("m"))
args = (np.array([1, 3], dtype=np.uint64), np.array([0, 4], dtype=np.uint64),
        np.array([5e-324, 1.0 / 3.0]))
lib.feclearexcept(0x3F)
saved, env, seen = FEnv(), FEnv(), FEnv()
lib.fegetenv(ctypes.byref(saved))
ctypes.pointer(env)[0] = saved
env.control = saved.control & ~0x3F  # every x87 exception unmasked
env.rest[1] = saved.rest[1] & ~0xBF  # no flag pending (status word)
lib.fesetenv(ctypes.byref(env))
out = rust.forward_float(*args)
lib.fegetenv(ctypes.byref(seen))
np.longdouble(1) + np.longdouble(2)  # exact, but faults if a flag was left pending
lib.fesetenv(ctypes.byref(saved))
print(json.dumps([seen.control & 0x3F, seen.rest[1] & 0x3F, out.view(np.uint64).tolist()]))
"""


def test_unmasked_x87_exceptions_stay_quiet():
    # Run apart: a flag left pending under an unmasked exception would end the
    # process at its next x87 instruction.
    libm()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", UNMASKED_CHILD], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, (done.returncode, done.stderr)
    expected = outcome(rust.forward_float, u64([1, 3]), u64([0, 4]), f64([5e-324, 1.0 / 3.0]))
    # The word is given back unmasked, with no flag left pending.
    assert json.loads(done.stdout) == [0, 0, expected]


# ---------------------------------------------------------------------------
# Long runs of exact positions (method None), which take a way of their own
# once a run's first queries were whole: against the same queries one call
# each. Tables whose steps are exact (a slope of a power of two, or of 3),
# where a query half-way between two positions, planted early, in the middle
# of a run, late or at the end, is not found; and one whose products round
# (positions about 2^63), where it may be.

LONG_RUN_TABLES = {
    "slope 1/2": ([0, 1 << 20, 3 << 20], [-100.0, -100.0 + 2.0**19, -100.0 + 2.0**19 + 2.0**20]),
    "slope 3": ([7, 100006], [1e6, 1e6 + 3 * 99999]),
    "about 2^63": ([(1 << 63) - (1 << 20), (1 << 63) + (1 << 20)], [0.0, 2.0**21]),
}


@pytest.mark.parametrize("planted", [None, 3, 40, 300, -1])
@pytest.mark.parametrize("table", LONG_RUN_TABLES)
def test_long_runs_of_exact_positions_match_single_queries(table, planted):
    xp, fp = LONG_RUN_TABLES[table]
    rng = random.Random(table)
    values = []
    for (x0, x1), (f0, f1) in zip(zip(xp, xp[1:]), zip(fp, fp[1:])):
        slope = (f1 - f0) / (x1 - x0)
        offsets = sorted(rng.randrange(1, x1 - x0) for _ in range(700))
        values += [f0 + offset * slope for offset in offsets]
        if planted is not None and len(values) == 700:
            values[planted] = f0 + (offsets[planted] + 0.5) * slope
    singles = [inverse([v], xp, fp) for v in values]
    failures = [s for s in singles if not isinstance(s, list)]
    expected = failures[0] if failures else [s[0] for s in singles]
    assert inverse(values, xp, fp) == expected
    if table != "about 2^63":
        assert (planted is not None) == bool(failures)


# ---------------------------------------------------------------------------
# Sorted queries a few to a segment of a large table, which go from segment to
# segment without a search: a query on a tie point is that point's value, bit
# for bit, even where the value is not finite, and only a query strictly
# inside a segment next to such a value fails. Against the same queries one
# call each.

def single_or_first_failure(call, queries, *table):
    singles = [call([q], *table) for q in queries]
    failures = [s for s in singles if not isinstance(s, list)]
    return failures[0] if failures else [s[0] for s in singles]


# ---------------------------------------------------------------------------
# Method None on many queries, which a call may answer a stretch of a few
# thousand at a time by the nearest position, watching for a rounded step, and
# again by the method where one rounded: the failure raised is the first in
# query order, whether the failing queries share a stretch or not and
# whatever each fails with. On a table of slope 1/2 every step is exact: a
# value's position is twice the value, found where that is whole.

WATCHED_PLANTS = {
    "not whole": (lambda fp: fp[50] + 0.25, NOT_FOUND),
    "outside": (lambda fp: fp[-1] + 1.0, OUT_F),
    "next to -inf": (lambda fp: -1.0, NOT_FINITE),
}


@pytest.mark.parametrize("order", ["sorted", "scattered"])
@pytest.mark.parametrize("late_at", [3000, 9000], ids=["same stretch", "later stretch"])
@pytest.mark.parametrize("late", WATCHED_PLANTS)
@pytest.mark.parametrize("early", [None, *WATCHED_PLANTS])
def test_exact_positions_fail_at_the_first_failing_query(early, late, late_at, order):
    rng = random.Random(f"{early} {late} {order}")
    xp = [1024 * i for i in range(200)]
    fp = [-INF] + [x * 0.5 for x in xp[1:]]
    positions = [rng.randrange(xp[2], xp[-1]) for _ in range(10000)]
    f = [x * 0.5 for x in (sorted(positions) if order == "sorted" else positions)]
    planted = {late_at: late} if early is None else {1000: early, late_at: late}
    for at, name in planted.items():
        f[at] = WATCHED_PLANTS[name][0](fp)
    first = min(planted)
    assert inverse(f, xp, fp) == WATCHED_PLANTS[planted[first]][1]
    assert inverse(f[:first], xp, fp) == [int(2 * v) for v in f[:first]]


# Descending queries, answered a block of 32768 at a time from each block's
# last query: the failure raised is the first in query order, whether the
# failing queries share a block or not and whatever each fails with.
@pytest.mark.parametrize("late_at", [20000, 50000], ids=["same block", "later block"])
@pytest.mark.parametrize("late", WATCHED_PLANTS)
@pytest.mark.parametrize("early", [None, *WATCHED_PLANTS])
def test_descending_queries_fail_at_the_first_failing_query(early, late, late_at):
    rng = np.random.default_rng(len(f"{early} {late}") + late_at)
    xp = [1024 * i for i in range(200)]
    fp = [-INF] + [x * 0.5 for x in xp[1:]]
    f = np.sort(rng.integers(xp[2], xp[-1], size=70000))[::-1] * 0.5
    planted = {late_at: late} if early is None else {1000: early, late_at: late}
    for at, name in planted.items():
        f[at] = WATCHED_PLANTS[name][0](fp)
    first = min(planted)
    assert inverse(f, xp, fp) == WATCHED_PLANTS[planted[first]][1]
    assert inverse(f[:first], xp, fp) == [int(2 * v) for v in f[:first]]


# Scattered queries on a small table, many to a segment, take segments set up
# once for the call: they are answered as one query at a time, failures
# included (the first in query order).
@pytest.mark.parametrize("inside_next_to_it", [None, 30, 700], ids=["none", "early", "late"])
@pytest.mark.parametrize("special", [NAN, INF], ids=["nan", "inf"])
def test_scattered_queries_on_a_small_table_fail_where_single_ones_do(special, inside_next_to_it):
    rng = random.Random(9)
    xp = [1000 * i for i in range(40)]
    fp = [rng.uniform(-1e3, 1e3) for _ in xp]
    fp[7] = fp[30] = special
    quiet = [i for i in range(len(xp) - 1) if i + 1 not in (7, 30) and i not in (7, 30)]
    x = [rng.randrange(xp[i] + 1, xp[i + 1]) for i in rng.choices(quiet, k=1500)] + [xp[7], xp[30]] * 20
    rng.shuffle(x)
    if inside_next_to_it is not None:
        x.insert(inside_next_to_it, xp[30] - 1)
    expected = single_or_first_failure(forward, x, xp, fp)
    assert forward(x, xp, fp) == expected
    assert (inside_next_to_it is not None) == (not isinstance(expected, list))


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("values", ["real", "halves"])
def test_scattered_inverse_queries_on_a_small_table_match_single_queries(values, method):
    rng = random.Random(values)
    xp = sorted(rng.sample(range(1, 2**40), 50))
    fp = sorted(rng.uniform(-1e6, 1e6) for _ in xp) if values == "real" else [x * 0.5 for x in xp]
    f = [rng.uniform(fp[0], fp[-1]) for _ in range(1000)] + fp + [fp[-1] + 1.0, fp[0] - 1.0]
    if values == "halves":
        f = [x * 0.5 for x in rng.choices(range(xp[0], xp[-1]), k=1000)] + f[1000:]
    rng.shuffle(f)
    assert inverse(f, xp, fp, method) == single_or_first_failure(lambda q, *t: inverse(q, *t, method), f, xp, fp)


@pytest.mark.parametrize("inside_next_to_it", [None, 150, 1200], ids=["none", "early", "late"])
@pytest.mark.parametrize("special", [NAN, INF, -INF], ids=["nan", "inf", "-inf"])
def test_queries_a_few_to_a_segment_hit_values_that_are_not_finite(special, inside_next_to_it):
    rng = random.Random(5)
    n = 1000
    xp = [10 * i for i in range(n)]
    fp = [rng.uniform(-1e3, 1e3) for _ in range(n)]
    targets = set(range(100, n - 1, 37))
    for i in targets:
        fp[i] = special
    x = []
    for i in range(n - 1):
        # Two queries inside each segment, none in those next to a special
        # value, whose tie point is queried itself.
        if i in targets:
            x.append(xp[i])
        elif i + 1 not in targets:
            x += sorted(rng.sample(range(xp[i] + 1, xp[i + 1]), 2))
    if inside_next_to_it is not None:
        i = min(t for t in targets if 2 * t > inside_next_to_it)
        x.append(xp[i] + 3)
        x.sort()
    expected = single_or_first_failure(forward, x, xp, fp)
    assert forward(x, xp, fp) == expected
    assert (inside_next_to_it is not None) == (not isinstance(expected, list))
