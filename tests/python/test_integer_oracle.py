"""forward_int and inverse_int against a slow, exact reference written here in
Python integers and fractions, over random tables and queries."""
import random
from fractions import Fraction

import pytest

import rust
from conftest import I64_MAX, I64_MIN, METHODS, U64_MAX, i64, u64

# ---------------------------------------------------------------------------
# The reference. Failures are (exception type, message) pairs.

OUT_X = (IndexError, "x out of bounds")
OUT_F = (KeyError, "f out of bounds")
NOT_FOUND = (KeyError, "f not found")
XP_ORDER = (ValueError, "xp must be strictly increasing")
FP_ORDER = (ValueError, "fp must be strictly increasing")


class Failure(Exception):
    def __init__(self, outcome):
        Exception.__init__(self)
        self.outcome = outcome


def floor_of(q):
    return q.numerator // q.denominator


def ceil_of(q):
    return -((-q.numerator) // q.denominator)


def nearest_even(q):
    """q rounded to the nearest integer, halves to the even one."""
    below = floor_of(q)
    rest = q - below
    if rest > Fraction(1, 2):
        return below + 1
    if rest < Fraction(1, 2):
        return below
    return below if below % 2 == 0 else below + 1


def increasing(seq):
    return all(a < b for a, b in zip(seq, seq[1:]))


def ref_forward_one(x, xp, fp):
    if not increasing(xp):
        raise Failure(XP_ORDER)
    for xi, fi in zip(xp, fp):
        if xi == x:
            return fi
    if not xp or x < xp[0] or x > xp[-1]:
        raise Failure(OUT_X)
    i = next(k for k in range(len(xp)) if xp[k] > x)
    x0, x1, f0, f1 = xp[i - 1], xp[i], fp[i - 1], fp[i]
    return nearest_even(f0 + Fraction((f1 - f0) * (x - x0), x1 - x0))


def ref_inverse_one(f, xp, fp, method):
    if not increasing(fp):
        raise Failure(FP_ORDER)
    for xi, fi in zip(xp, fp):
        if fi == f:
            return xi
    # Outside the table: below the first value, Nearest and Bfill give the first
    # position; above the last, Nearest and Ffill give the last.
    if not fp:
        raise Failure(OUT_F)
    if f < fp[0]:
        if method in ("nearest", "bfill"):
            return xp[0]
        raise Failure(OUT_F)
    if f > fp[-1]:
        if method in ("nearest", "ffill"):
            return xp[-1]
        raise Failure(OUT_F)
    i = next(k for k in range(len(fp)) if fp[k] > f)
    x0, x1, f0, f1 = xp[i - 1], xp[i], fp[i - 1], fp[i]
    exact = x0 + Fraction((x1 - x0) * (f - f0), f1 - f0)
    if method is None:
        if exact.denominator != 1:
            raise Failure(NOT_FOUND)
        return exact.numerator
    if method == "nearest":
        return nearest_even(exact)
    if method == "ffill":
        return floor_of(exact)
    return ceil_of(exact)


def ref_outcomes(one, queries, *table):
    """Per query: ("ok", result) or ("fail", (type, message))."""
    out = []
    for q in queries:
        try:
            out.append(("ok", one(q, *table)))
        except Failure as e:
            out.append(("fail", e.outcome))
    return out


def actual(call, *args):
    try:
        return ("ok", call(*args).tolist())
    except (IndexError, KeyError, ValueError) as e:
        return ("fail", (type(e), e.args[0] if len(e.args) == 1 else e.args))


def compare(call, make_query, queries, outcomes, table_args, context):
    """The whole query array, then the succeeding queries alone, then each
    failing query alone."""
    first_failure = next((o[1] for o in outcomes if o[0] == "fail"), None)
    expected = ("fail", first_failure) if first_failure else ("ok", [o[1] for o in outcomes])
    assert actual(call, make_query(queries), *table_args) == expected, context
    good = [q for q, o in zip(queries, outcomes) if o[0] == "ok"]
    if first_failure and good:
        expected_good = [o[1] for o in outcomes if o[0] == "ok"]
        assert actual(call, make_query(good), *table_args) == ("ok", expected_good), context
    for q, o in zip(queries, outcomes):
        if o[0] == "fail":
            assert actual(call, make_query([q]), *table_args) == o, (context, q)


# ---------------------------------------------------------------------------
# Random tables and queries

EDGE_POSITIONS = [0, 1, 2, 3, 2**63 - 2, 2**63 - 1, 2**63, 2**63 + 1, U64_MAX - 2, U64_MAX - 1, U64_MAX]
EDGE_VALUES = [I64_MIN, I64_MIN + 1, I64_MIN + 2, -2, -1, 0, 1, 2, I64_MAX - 2, I64_MAX - 1, I64_MAX]


def draw(rng, lo, hi, edges, style):
    if style == "small":  # crowded: many exact hits and halves
        return rng.randint(-20, 20) if lo < 0 else rng.randint(0, 40)
    if style == "edges":
        return rng.choice(edges)
    if style == "mixed":
        return rng.choice([rng.choice(edges), rng.randint(lo, hi)])
    return rng.randint(lo, hi)


def increasing_sample(rng, n, lo, hi, edges, style):
    values = set()
    tries = 0
    while len(values) < n and tries < 20 * n + 50:
        values.add(draw(rng, lo, hi, edges, style))
        tries += 1
    return sorted(values)


def disorder(rng, seq):
    """Spoil the strict increase of seq (two or more elements) in one of three ways."""
    seq = list(seq)
    i = rng.randrange(len(seq) - 1)
    kind = rng.randrange(3)
    if kind == 0:
        seq[i], seq[i + 1] = seq[i + 1], seq[i]
    elif kind == 1:
        seq[i + 1] = seq[i]
    else:
        rng.shuffle(seq)
        if increasing(seq):
            seq[0], seq[-1] = seq[-1], seq[0]
    return seq


def queries_around(rng, points, lo, hi, count):
    """Tie points, their neighbours, points inside segments (midpoints among
    them, for halves), points outside, and both ends of the range."""
    out = [lo, hi]
    for p in points:
        out += [p, max(lo, p - 1), min(hi, p + 1)]
    ordered = sorted(points)
    for a, b in zip(ordered, ordered[1:]):
        if b - a > 1:
            out += [(a + b) // 2, (a + b + 1) // 2, rng.randint(a + 1, b - 1)]
    out += [rng.randint(lo, hi) for _ in range(4)]
    rng.shuffle(out)
    return out[:count]


STYLES = ["small", "full", "edges", "mixed"]


def forward_case(rng):
    style = rng.choice(STYLES)
    n = rng.choice([0, 1, 2, 2, 3, 4, 6, 9])
    xp = increasing_sample(rng, n, 0, U64_MAX, EDGE_POSITIONS, style)
    fp = [draw(rng, I64_MIN, I64_MAX, EDGE_VALUES, rng.choice(STYLES)) for _ in xp]
    if len(xp) >= 2 and rng.random() < 0.08:
        xp = disorder(rng, xp)
    queries = queries_around(rng, xp, 0, U64_MAX, rng.randint(1, 24))
    return queries, xp, fp


def inverse_case(rng):
    style = rng.choice(STYLES)
    n = rng.choice([0, 1, 2, 2, 3, 4, 6, 9])
    fp = increasing_sample(rng, n, I64_MIN, I64_MAX, EDGE_VALUES, style)
    xstyle = rng.choice(STYLES)
    xp = [draw(rng, 0, U64_MAX, EDGE_POSITIONS, xstyle) for _ in fp]
    if rng.random() < 0.3:
        xp.sort(reverse=rng.random() < 0.5)
    if len(fp) >= 2 and rng.random() < 0.08:
        fp = disorder(rng, fp)
    queries = queries_around(rng, fp, I64_MIN, I64_MAX, rng.randint(1, 24))
    return queries, xp, fp


@pytest.mark.parametrize("seed", range(8))
def test_forward_against_reference(seed):
    rng = random.Random(1000 + seed)
    for case in range(120):
        queries, xp, fp = forward_case(rng)
        outcomes = ref_outcomes(ref_forward_one, queries, xp, fp)
        compare(rust.forward_int, u64, queries, outcomes, (u64(xp), i64(fp)),
                ("seed", seed, "case", case, xp, fp))


@pytest.mark.parametrize("seed", range(8))
def test_inverse_against_reference(seed):
    rng = random.Random(2000 + seed)
    for case in range(120):
        queries, xp, fp = inverse_case(rng)
        for method in METHODS:
            outcomes = ref_outcomes(ref_inverse_one, queries, xp, fp, method)
            compare(lambda q, a, b: rust.inverse_int(q, a, b, method), i64, queries, outcomes,
                    (u64(xp), i64(fp)), ("seed", seed, "case", case, method, xp, fp))


def test_the_reference_rounds_halves_to_even():
    # The reference itself, on the halves and near-halves it must get right.
    assert [nearest_even(Fraction(n, 2)) for n in range(-5, 6)] == [-2, -2, -2, -1, 0, 0, 0, 1, 2, 2, 2]
    assert nearest_even(Fraction(2**63, 2**64 - 1)) == 1
    assert nearest_even(Fraction(2**63 - 1, 2**64 - 1)) == 0
    assert (floor_of(Fraction(-7, 2)), ceil_of(Fraction(-7, 2))) == (-4, -3)
