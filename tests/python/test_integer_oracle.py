"""forward_int and inverse_int against the slow, exact reference in Python
integers and fractions (reference.py), over random tables and queries."""
import random
from bisect import bisect_left
from fractions import Fraction

import pytest

import rust
from conftest import I64_MAX, I64_MIN, METHODS, U64_MAX, i64, u64
from reference import (ceil_of, exact_value, fill_outside, floor_of, forward_in, forward_one, increasing, inverse_in,
                       inverse_one, nearest_even, outcomes, round_by_method)

def actual(call, *args):
    try:
        return ("ok", call(*args).tolist())
    except (IndexError, KeyError, ValueError) as e:
        return ("fail", (type(e), e.args[0] if len(e.args) == 1 else e.args))


def whole_call(outcomes_):
    """The outcome of one call over all the queries: the first failure, or every result."""
    first_failure = next((o[1] for o in outcomes_ if o[0] == "fail"), None)
    return ("fail", first_failure) if first_failure else ("ok", [o[1] for o in outcomes_])


def compare(call, make_query, queries, outcomes, table_args, context):
    """The whole query array, then the succeeding queries alone, then each
    failing query alone."""
    expected = whole_call(outcomes)
    assert actual(call, make_query(queries), *table_args) == expected, context
    good = [q for q, o in zip(queries, outcomes) if o[0] == "ok"]
    if expected[0] == "fail" and good:
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
        expected = outcomes(forward_one, queries, xp, fp)
        compare(rust.forward_int, u64, queries, expected, (u64(xp), i64(fp)),
                ("seed", seed, "case", case, xp, fp))


@pytest.mark.parametrize("seed", range(8))
def test_inverse_against_reference(seed):
    rng = random.Random(2000 + seed)
    for case in range(120):
        queries, xp, fp = inverse_case(rng)
        for method in METHODS:
            expected = outcomes(inverse_one, queries, xp, fp, method)
            compare(lambda q, a, b: rust.inverse_int(q, a, b, method), i64, queries, expected,
                    (u64(xp), i64(fp)), ("seed", seed, "case", case, method, xp, fp))


def test_the_reference_rounds_halves_to_even():
    # The reference itself, on the halves and near-halves it must get right.
    assert [nearest_even(Fraction(n, 2)) for n in range(-5, 6)] == [-2, -2, -2, -1, 0, 0, 0, 1, 2, 2, 2]
    assert nearest_even(Fraction(2**63, 2**64 - 1)) == 1
    assert nearest_even(Fraction(2**63 - 1, 2**64 - 1)) == 0
    assert (floor_of(Fraction(-7, 2)), ceil_of(Fraction(-7, 2))) == (-4, -3)


@pytest.mark.parametrize(
    "q,                        exact,  nearest,  ffill,  bfill",
    [
        (Fraction(4),              4,      4,        4,      4),
        (Fraction(5, 2),           None,   2,        2,      3),
        (Fraction(7, 2),           None,   4,        3,      4),
        (Fraction(-5, 2),          None,   -2,       -3,     -2),
        (Fraction(-1, 3),          None,   0,        -1,     0),
        (Fraction(2**64 - 1, 2),   None,   2**63,    2**63 - 1, 2**63),
        (Fraction(2**65 - 1, 2**65), None, 1,        0,      1),
    ],
)
def test_the_reference_rounds_by_method(q, exact, nearest, ffill, bfill):
    got = [round_by_method(q, m) for m in METHODS]
    assert got == [exact, nearest, ffill, bfill]


def test_the_reference_fills_outside_from_the_first_and_last_positions():
    # Positions falling: the first and the last, not the smallest and largest.
    xp = [20, 15, 10]
    assert [fill_outside(xp, m, below=True) for m in METHODS] == [None, 20, None, 20]
    assert [fill_outside(xp, m, below=False) for m in METHODS] == [None, 10, 10, None]


# ---------------------------------------------------------------------------
# Large tables: the walk's routes for whole query arrays (segment runs, evenly
# spaced steps, queries a few to a segment, scattered batches) against the
# same reference, one query at a time. The small tables above never leave
# the one-query answer.


def large_table(rng, n, whole_slopes, x_start, f_start):
    """n tie points ten to a few hundred positions apart (a few adjacent),
    rising by a whole multiple of each gap (every whole position has a whole
    value) or by anything."""
    gaps = [1 if rng.random() < 0.05 else rng.randint(10, 300) for _ in range(n - 1)]
    rises = [g * rng.randint(1, 5) if whole_slopes else rng.randint(1, 700) for g in gaps]
    xp, fp = [x_start], [f_start]
    for g, r in zip(gaps, rises):
        xp.append(xp[-1] + g)
        fp.append(fp[-1] + r)
    return xp, fp


def query_positions(rng, xp, order):
    """Whole positions over the table (and a little past both ends) in one of
    the orders the walk tells apart."""
    first, last = xp[0] - 3, xp[-1] + 3
    n = len(xp)
    if order == "few, evenly spaced":
        step = max(1, (last - first) // (4 * n))
        return list(range(first, last + 1, step))
    if order == "few, uneven":
        return sorted(rng.randint(first, last) for _ in range(4 * n))
    if order == "many":  # dozens to a segment over a stretch of the table, then back to a few
        middle = xp[n // 2]
        return (list(range(xp[n // 4], middle)) + sorted(rng.randint(middle, last) for _ in range(n)))
    if order == "few, restarting":  # sorted runs, each ending short of the table's end and starting again below
        ends = [xp[rng.randint(n // 2, n - 4)] - rng.randint(0, 1) for _ in range(3)]
        return [x for end in ends for x in sorted(rng.randint(first, end) for _ in range(2 * n))]
    positions = [rng.randint(first, last) for _ in range(4 * n)]
    if order == "scattered":
        return positions
    raise ValueError(order)


WALK_ORDERS = ["few, evenly spaced", "few, uneven", "few, restarting", "many", "scattered"]
# (whole slopes, first position, first value): near zero, and where the
# products need 128 bits.
WALK_TABLES = [(False, 0, -5000), (True, 1000, 7), (False, 2**63 + 5, -(2**62)),
               (True, U64_MAX - 2**22, I64_MAX - 2**24)]


@pytest.mark.parametrize("order", WALK_ORDERS)
@pytest.mark.parametrize("whole_slopes, x_start, f_start", WALK_TABLES)
def test_forward_routes_against_reference(order, whole_slopes, x_start, f_start):
    rng = random.Random(f"forward {order} {x_start}")
    xp, fp = large_table(rng, 800, whole_slopes, x_start, f_start)
    queries = [min(max(x, 0), U64_MAX) for x in query_positions(rng, xp, order)]
    # Queries out of the table end the call at the first of them; the ones
    # inside alone reach every route.
    inside = [x for x in queries if xp[0] <= x <= xp[-1]]
    for qs in (inside, queries):
        expected = whole_call(outcomes(forward_in, qs, xp, fp))
        assert actual(rust.forward_int, u64(qs), u64(xp), i64(fp)) == expected, (order, len(qs))


@pytest.mark.parametrize("order", WALK_ORDERS)
@pytest.mark.parametrize("whole_slopes, x_start, f_start", WALK_TABLES)
def test_inverse_routes_against_reference(order, whole_slopes, x_start, f_start):
    rng = random.Random(f"inverse {order} {f_start}")
    xp, fp = large_table(rng, 800, whole_slopes, x_start, f_start)
    # The values at whole positions, rounded either way where they are not
    # whole, and the table's values from a little below to a little above.
    values = []
    for x in query_positions(rng, xp, order):
        i = min(max(bisect_left(xp, x), 1), len(xp) - 1)
        v = exact_value(x, xp[i - 1], xp[i], fp[i - 1], fp[i])
        values.append(min(max(rng.choice([floor_of(v), ceil_of(v)]), I64_MIN), I64_MAX))
    for method in METHODS:
        expected = whole_call(outcomes(inverse_in, values, xp, fp, method))
        got = actual(lambda q, a, b: rust.inverse_int(q, a, b, method), i64(values), u64(xp), i64(fp))
        assert got == expected, (order, method)


# Evenly spaced values that the segment steps four at a time, after a first
# segment on which each is whole: every method's rounding read off stepped
# quotients, ties to even for "nearest" (two or four values a position), and
# the Exact method's misses found inside stepped groups alone (the values
# before them whole: the segment's first, answered alone, and its run's
# first, divided; and the run's groups end with the call, so that no value
# after them is left to fail), on positions that rise and that fall.
@pytest.mark.parametrize("per", [2, 4, 5], ids=lambda p: f"{p} values a position")
@pytest.mark.parametrize("gap", [1, 3])
@pytest.mark.parametrize("falling", [False, True], ids=["rising", "falling"])
def test_inverse_steps_evenly_spaced_values_by_every_method(per, gap, falling):
    xp = [0, 1000, 1000 + 10**6]
    if falling:
        xp = [2 * 10**6 - x for x in xp]
    fp = [0, 1000, 1000 + per * 10**6]
    start = 1000 + 2 * per
    values = list(range(10, 1000)) + [1000 + per] + list(range(start, start + (4 * 750 + 1) * gap, gap))
    for method in METHODS:
        expected = whole_call(outcomes(inverse_in, values, xp, fp, method))
        got = actual(lambda q, a, b: rust.inverse_int(q, a, b, method), i64(values), u64(xp), i64(fp))
        assert got == expected, method
