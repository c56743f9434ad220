"""forward_float and inverse_float against a slow reference written here: every
arithmetic step is one MPFR operation at 64 bits, round to nearest; the exits
from the extended value (truncation to binary64, integer part to uint64), the
integer rounding of the fill methods and the table's rules are plain Python
integers and fractions (reference.py). Random tables over the whole binary64
range."""
import math
import random
from collections import Counter
from fractions import Fraction

import pytest

import rust
from conftest import METHODS, U64_MAX, u64
from float_helpers import (F64_MAX, F64_MIN_NORMAL, F64_TINY, FP_ORDER, NAN_OR_INF, NOT_FINITE,
                           NOT_FOUND, OUT_F, OUT_X, XP_ORDER, bits, f64_bits, from_bits, outcome)
from reference import Failure, fill_outside, increasing, round_by_method, segment_of

gmpy2 = pytest.importorskip("gmpy2")

# Each operation rounds once, from the exact result, to 64 significant bits. The
# exponent range is far wider than the formulas reach (about 2^-2100 to 2^1090).
CTX = gmpy2.context(precision=64, round=gmpy2.RoundToNearest,
                    emin=-(1 << 20), emax=1 << 20, subnormalize=False)

SIGN = 1 << 63
MASK = (1 << 64) - 1

# ---------------------------------------------------------------------------
# The extended value: entry, exits, integer rounding


def enter_position(x):
    v = gmpy2.mpfr(x, 64)
    assert v.as_integer_ratio() == (x, 1)
    return v


def enter_value(pattern):
    value = from_bits(pattern)
    if not math.isfinite(value):
        raise Failure(NOT_FINITE)
    v = gmpy2.mpfr(value, 64)
    assert v.as_integer_ratio() == value.as_integer_ratio()
    return v


def parts(v):
    """(sign, m, e) with |v| = m * 2^(e - 64) and 2^63 <= m < 2^64; None for zero."""
    num, den = (int(k) for k in v.as_integer_ratio())
    if num == 0:
        return None
    sign, num = int(num < 0), abs(num)
    k = den.bit_length() - 1
    assert den == 1 << k
    zeros = (num & -num).bit_length() - 1
    num, k = num >> zeros, k - zeros
    assert num.bit_length() <= 64
    return sign, num << (64 - num.bit_length()), num.bit_length() - k


def to_f64_bits(v):
    """Truncating conversion to binary64, as a bit pattern."""
    p = parts(v)
    if p is None:
        return 0
    s, m, e = p
    if e > 1024:
        return (s << 63) | (0x7FF << 52)
    if e >= -1021:
        return (s << 63) | ((e + 1022) << 52) | ((m >> 11) & ((1 << 52) - 1))
    if e >= -1073:
        return (s << 63) | (m >> (-e - 1010))
    return 0


def exact(v):
    num, den = v.as_integer_ratio()
    return Fraction(int(num), int(den))


def to_u64(q):
    """Integer part of a rational, clamped to [0, 2^64 - 1]."""
    if q <= 0:
        return 0
    return min(q.numerator // q.denominator, U64_MAX)


# ---------------------------------------------------------------------------
# The segment formulas, one rounded operation per line

SEEN = Counter()  # paths the random cases reached, checked at the end of each test


def forward_scheme(x, x0, x1, f0, f1):
    X, X0, X1 = enter_position(x), enter_position(x0), enter_position(x1)
    F0 = enter_value(f0)
    F1 = enter_value(f1)
    A = CTX.sub(X1, X)
    P = CTX.mul(F0, A)
    B = CTX.sub(X, X0)
    Q = CTX.mul(F1, B)
    S = CTX.add(P, Q)
    D = CTX.sub(X1, X0)
    R = CTX.div(S, D)
    out = to_f64_bits(R)
    if out != bits(float(R)):
        SEEN["truncation differs from rounding"] += 1
    if out & (0x7FF << 52) == 0 and out & ~SIGN:
        SEEN["subnormal result"] += 1
    return out


def inverse_scheme(f, x0, x1, f0, f1, method):
    F = enter_value(f)
    X0, X1 = enter_position(x0), enter_position(x1)
    F0 = enter_value(f0)
    F1 = enter_value(f1)
    A = CTX.sub(F1, F)
    P = CTX.mul(X0, A)
    B = CTX.sub(F, F0)
    Q = CTX.mul(X1, B)
    S = CTX.add(P, Q)
    D = CTX.sub(F1, F0)
    R = exact(CTX.div(S, D))
    if exact(A) + exact(B) != exact(D):
        SEEN["value differences rounded"] += 1
    r = round_by_method(R, method)
    return None if r is None else to_u64(r)


# ---------------------------------------------------------------------------
# The table: monotonicity flags, exact hits, fills outside, segments inside


def ref_forward_one(x, xp, fp):
    if not increasing(xp):
        raise Failure(XP_ORDER)
    if x in xp:
        return fp[xp.index(x)]  # the stored pattern
    if not xp or x < xp[0] or x > xp[-1]:
        raise Failure(OUT_X)
    i = segment_of(xp, x)
    SEEN["forward segment"] += 1
    return forward_scheme(x, xp[i - 1], xp[i], fp[i - 1], fp[i])


def ref_inverse_one(f, xp, fp, method):
    values = [from_bits(p) for p in fp]
    q = from_bits(f)
    if not increasing(values):
        raise Failure(FP_ORDER)
    assert values or method in (None, "ffill")  # an empty table fills from nowhere
    if values and (math.isnan(q) or math.isnan(values[0])):
        raise Failure(NAN_OR_INF)
    for i, v in enumerate(values):
        if v == q:
            return xp[i]
    if not values or q < values[0] or q > values[-1]:
        position = fill_outside(xp, method, not values or q < values[0])
        if position is None:
            raise Failure(OUT_F)
        return position
    i = segment_of(values, q)
    SEEN["inverse segment"] += 1
    r = inverse_scheme(f, xp[i - 1], xp[i], fp[i - 1], fp[i], method)
    if r is None:
        raise Failure(NOT_FOUND)
    return r


def ref_outcomes(one, queries, *table):
    out = []
    for q in queries:
        try:
            out.append(one(q, *table))
        except Failure as e:
            out.append(e.outcome)
    return out


def compare(call, queries, outcomes, context):
    """The whole query array, then the succeeding queries alone, then each
    failing query alone."""
    failures = [o for o in outcomes if isinstance(o, tuple)]
    expected = failures[0] if failures else outcomes
    assert call(queries) == expected, context
    SEEN["calls"] += 1
    SEEN["queries"] += len(queries)
    if failures:
        good = [(q, o) for q, o in zip(queries, outcomes) if not isinstance(o, tuple)]
        if good:
            assert call([q for q, _ in good]) == [o for _, o in good], context
        for q, o in zip(queries, outcomes):
            if isinstance(o, tuple):
                SEEN[o] += 1
                assert call([q]) == o, (context, q)


# ---------------------------------------------------------------------------
# Random tables. Values are bit patterns throughout, so NaN payloads survive.


def key(p):
    """Maps bit patterns of non-NaN values onto integers in their numeric order
    (-0.0 just below +0.0)."""
    return p | SIGN if p < SIGN else ~p & MASK


def unkey(k):
    return k & ~SIGN if k >= SIGN else ~k & MASK


EDGE_VALUES = [bits(v) for v in (
    0.0, F64_TINY, 2 * F64_TINY, F64_MIN_NORMAL - F64_TINY, F64_MIN_NORMAL, 2.0**-1021,
    0.1, 0.5, 1.0, 1.5, 3.0, 2.0**53 + 2, 2.0**63, 2.0**64, 1e300, 2.0**1023, F64_MAX)]
EDGE_VALUES += [p | SIGN for p in EDGE_VALUES]
EDGE_POSITIONS = [0, 1, 2, 3, 2**53 + 1, 2**63 - 1, 2**63, 2**63 + 1, U64_MAX - 2, U64_MAX - 1, U64_MAX]
VALUE_STYLES = ["any", "band", "short", "edges", "tiny"]
POSITION_STYLES = ["small", "full", "edges", "cluster"]


def random_nan(rng):
    return (rng.getrandbits(1) << 63) | (0x7FF << 52) | rng.randrange(1, 1 << 52)


def value_drawer(rng):
    """One table's way of drawing values: over every magnitude, in a narrow band of
    exponents, short significands (exact quotients are likely), edges, or tiny."""
    style = rng.choice(VALUE_STYLES)
    centre = rng.randrange(1, 2047)
    scale = rng.randrange(-1080, 1010)
    sign = rng.getrandbits(1) if rng.random() < 0.5 else None

    def draw():
        s = rng.getrandbits(1) if sign is None else sign
        if style == "any":
            return (s << 63) | (rng.randrange(0, 2047) << 52) | rng.getrandbits(52)
        if style == "band":
            exp = min(2046, max(0, centre + rng.randint(-3, 3)))
            return (s << 63) | (exp << 52) | rng.getrandbits(52)
        if style == "short":
            return bits(math.ldexp((-1) ** s * rng.randint(0, 64), scale))
        if style == "tiny":
            return (s << 63) | (rng.choice([0, 0, 1, 2]) << 52) | rng.getrandbits(52)
        return rng.choice(EDGE_VALUES)

    return draw


def position_drawer(rng):
    style = rng.choice(POSITION_STYLES)
    base = rng.choice([0, rng.getrandbits(64), U64_MAX - 40])

    def draw():
        if style == "small":
            return rng.randint(0, 40)
        if style == "full":
            return rng.getrandbits(rng.choice([8, 32, 53, 63, 64]))
        if style == "cluster":
            return min(U64_MAX, base + rng.randint(0, 40))
        return rng.choice(EDGE_POSITIONS)

    return draw


def increasing_values(draw, n):
    ordered = sorted({key(draw()) for _ in range(n)})
    # +0.0 and -0.0 are equal: keep one of them.
    return [unkey(k) for i, k in enumerate(ordered) if not (k == SIGN and ordered[i - 1:i] == [SIGN - 1])]


def spoil_values(rng, fp):
    """Make fp not strictly increasing: swap a pair, repeat a value, put a NaN in,
    or put -0.0 followed by +0.0."""
    fp = list(fp)
    i = rng.randrange(len(fp) - 1)
    kind = rng.randrange(4)
    if kind == 0:
        fp[i], fp[i + 1] = fp[i + 1], fp[i]
    elif kind == 1:
        fp[i + 1] = fp[i]
    elif kind == 2:
        fp[rng.randrange(len(fp))] = random_nan(rng)
    else:
        fp[i], fp[i + 1] = SIGN, 0
    return fp


def queries_between(rng, lo, hi, count):
    """Values strictly between two non-NaN patterns, in numeric order."""
    klo, khi = key(lo), key(hi)
    if khi - klo < 2:
        return []
    out = [unkey(klo + 1), unkey(khi - 1)]
    out += [unkey(rng.randrange(klo + 1, khi)) for _ in range(count)]
    a, b = from_bits(lo), from_bits(hi)
    if math.isfinite(a) and math.isfinite(b):
        mid = a / 2 + b / 2
        if a < mid < b:
            out.append(bits(mid))
    return out


def arrange(rng, queries, order):
    """Some of the queries: shuffled, ascending (each next to the last, as a
    search that starts from the previous answer likes) or descending."""
    rng.shuffle(queries)
    queries = queries[:rng.randint(1, 24)]
    kind = rng.randrange(3)
    if kind:
        queries.sort(key=order, reverse=kind == 2)
    return queries


def forward_case(rng):
    n = rng.choice([0, 1, 2, 2, 3, 4, 6, 9])
    draw_x, draw_f = position_drawer(rng), value_drawer(rng)
    xp = sorted({draw_x() for _ in range(n)})
    fp = [draw_f() for _ in xp]
    if fp and rng.random() < 0.15:
        fp[rng.randrange(len(fp))] = rng.choice([random_nan(rng), bits(math.inf), bits(-math.inf)])
    if len(xp) >= 2 and rng.random() < 0.06:
        i = rng.randrange(len(xp) - 1)
        xp[i], xp[i + 1] = xp[i + 1], xp[i]
    queries = [0, U64_MAX]
    for p in xp:
        queries += [p, max(0, p - 1), min(U64_MAX, p + 1)]
    for a, b in zip(xp, xp[1:]):
        if b - a > 1:
            queries += [(a + b) // 2, (a + b + 1) // 2] + [rng.randint(a + 1, b - 1) for _ in range(3)]
    return arrange(rng, queries, int), xp, fp


def inverse_case(rng, method):
    n = rng.choice([1, 1, 2, 2, 3, 4, 6, 9] if method in ("nearest", "bfill") else [0, 1, 2, 2, 3, 4, 6, 9])
    draw_x, draw_f = position_drawer(rng), value_drawer(rng)
    fp = increasing_values(draw_f, n)
    if len(fp) >= 2 and rng.random() < 0.1:
        fp[0] = bits(-math.inf)
    if len(fp) >= 2 and rng.random() < 0.1:
        fp[-1] = bits(math.inf)
    if len(fp) == 1 and rng.random() < 0.1:
        fp = [random_nan(rng)]
    xp = [draw_x() for _ in fp]
    shape = rng.randrange(5)
    if shape == 0:
        xp.sort()
    elif shape == 1:
        xp.sort(reverse=True)
    elif shape == 2 and xp:
        xp = [xp[0]] * len(xp)
    queries = [bits(-math.inf), bits(math.inf)]
    ordered = [p for p in fp if not math.isnan(from_bits(p))]
    for p in ordered:
        queries.append(p)
        queries += [n for n in (unkey(key(p) - 1), unkey(key(p) + 1)) if not math.isnan(from_bits(n))]
    for lo, hi in zip(ordered, ordered[1:]):
        queries += queries_between(rng, lo, hi, 4)
    if rng.random() < 0.05:
        queries.append(random_nan(rng))
    if len(fp) >= 2 and rng.random() < 0.06:
        fp = spoil_values(rng, fp)
    return arrange(rng, queries, key), xp, fp


SEEDS = range(6)


def forward_call(xp, fp):
    xpa, fpa = u64(xp), f64_bits(fp)
    return lambda q: outcome(rust.forward_float, u64(q), xpa, fpa)


def inverse_call(xp, fp, method):
    xpa, fpa = u64(xp), f64_bits(fp)
    return lambda q: outcome(rust.inverse_float, f64_bits(q), xpa, fpa, method)


@pytest.mark.parametrize("seed", SEEDS)
def test_forward_against_reference(seed):
    SEEN.clear()
    rng = random.Random(3000 + seed)
    for case in range(250):
        queries, xp, fp = forward_case(rng)
        outcomes = ref_outcomes(ref_forward_one, queries, xp, fp)
        compare(forward_call(xp, fp), queries, outcomes, ("seed", seed, "case", case, xp, fp))
    # The cases reached what they are for.
    for path in ("forward segment", "truncation differs from rounding", "subnormal result",
                 OUT_X, XP_ORDER, NOT_FINITE):
        assert SEEN[path] > 0, (path, SEEN)


@pytest.mark.parametrize("seed", SEEDS)
def test_inverse_against_reference(seed):
    SEEN.clear()
    rng = random.Random(4000 + seed)
    for case in range(100):
        for method in METHODS:
            queries, xp, fp = inverse_case(rng, method)
            outcomes = ref_outcomes(ref_inverse_one, queries, xp, fp, method)
            compare(inverse_call(xp, fp, method), queries, outcomes,
                    ("seed", seed, "case", case, method, xp, fp))
    for path in ("inverse segment", "value differences rounded", NOT_FOUND, OUT_F, FP_ORDER, NOT_FINITE):
        assert SEEN[path] > 0, (path, SEEN)


# ---------------------------------------------------------------------------
# The reference's own exits, on the values where they are easy to get wrong


@pytest.mark.parametrize(
    "num,          den,        pattern",
    [
        (1,            10,         0x3FB9999999999999),  # m = 0xCCCCCCCCCCCCCCCD, truncated
        (-1,           10,         0xBFB9999999999999),
        (1,            2**1074,    0x0000000000000001),  # e = -1073
        (3,            2**1075,    0x0000000000000001),  # 1.5 * 2^-1074, truncated
        (-3,           2**1075,    0x8000000000000001),  # keeps its sign
        (-1,           2**1075,    0x0000000000000000),  # e = -1074: +0.0, sign dropped
        (2**64 - 1,    2**1086,    0x000FFFFFFFFFFFFF),  # e = -1022: subnormal, shift by 12
        (2**64 - 1,    2**1085,    0x001FFFFFFFFFFFFF),  # e = -1021: the smallest exponent field
        (2**64 - 1,    2**-960,    bits(F64_MAX)),       # e = 1024: finite
        (2**1024,      1,          0x7FF0000000000000),  # e = 1025
        (-(2**1025),   1,          0xFFF0000000000000),
    ],
)
def test_reference_truncates_to_binary64(num, den, pattern):
    assert to_f64_bits(CTX.div(gmpy2.mpfr(num, 64), gmpy2.mpfr(den, 64))) == pattern


def test_reference_round_trips_every_finite_binary64():
    rng = random.Random(7)
    for _ in range(2000):
        p = rng.getrandbits(64)
        if (p >> 52) & 0x7FF != 0x7FF:
            assert to_f64_bits(enter_value(p)) == (0 if p == SIGN else p)
