"""Exact references for the module's results, in Python integers and fractions
only: the roundings of a rational to an integer, the fill rules of the table,
and one int64-table query forward or inverse. Importable from its path alone
(it imports nothing of the tests), so that other checks of the module's
results can put this directory on sys.path and use it."""
from bisect import bisect_left
from fractions import Fraction

# The failures of a query or a call, as (exception type, message).
OUT_X = (IndexError, "x out of bounds")
OUT_F = (KeyError, "f out of bounds")
NOT_FOUND = (KeyError, "f not found")
XP_ORDER = (ValueError, "xp must be strictly increasing")
FP_ORDER = (ValueError, "fp must be strictly increasing")

__all__ = [
    "OUT_X", "OUT_F", "NOT_FOUND", "XP_ORDER", "FP_ORDER", "Failure",
    "floor_of", "ceil_of", "nearest_even", "round_by_method",
    "increasing", "segment_of", "fill_outside",
    "exact_value", "exact_position", "forward_one", "inverse_one", "forward_in", "inverse_in", "outcomes",
]


class Failure(Exception):
    """A query's failure; `outcome` is what the caller compares with."""

    def __init__(self, outcome):
        Exception.__init__(self)
        self.outcome = outcome


# ---------------------------------------------------------------------------
# Roundings of a rational (a Fraction or an int) to an integer


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


def round_by_method(q, method):
    """The position an inverse method takes for the exact position q: for Exact
    (None) q itself when whole, else None; Nearest rounds halves to even, Ffill
    down, Bfill up."""
    if method is None:
        return q.numerator if q.denominator == 1 else None
    if method == "nearest":
        return nearest_even(q)
    if method == "ffill":
        return floor_of(q)
    if method == "bfill":
        return ceil_of(q)
    raise ValueError(method)


# ---------------------------------------------------------------------------
# The table's rules


def increasing(seq):
    return all(a < b for a, b in zip(seq, seq[1:]))


def segment_of(seq, q):
    """The index i of the segment seq[i - 1] < q < seq[i], for an increasing
    seq with seq[0] < q < seq[-1] and q no element of it."""
    return bisect_left(seq, q)


def fill_outside(xp, method, below):
    """The position of a query outside the table's values, below the first value
    or above the last: Nearest and Bfill give the first position below, Nearest
    and Ffill the last above; Exact and the other fill fail there (None)."""
    if below:
        return xp[0] if method in ("nearest", "bfill") else None
    return xp[-1] if method in ("nearest", "ffill") else None


# ---------------------------------------------------------------------------
# One query, exactly


def exact_value(x, x0, x1, f0, f1):
    """The value at position x on the line through (x0, f0) and (x1, f1), x0 != x1."""
    return f0 + Fraction((f1 - f0) * (x - x0), x1 - x0)


def exact_position(f, x0, x1, f0, f1):
    """The position of value f on the line through (x0, f0) and (x1, f1), f0 != f1."""
    return x0 + Fraction((x1 - x0) * (f - f0), f1 - f0)


def forward_one(x, xp, fp):
    """forward_int of one position: the stored value at a tie point, else the
    segment's exact value rounded to nearest, halves to even."""
    if not increasing(xp):
        raise Failure(XP_ORDER)
    return forward_in(x, xp, fp)


def forward_in(x, xp, fp):
    """forward_one() for a table whose positions are known to increase."""
    i = bisect_left(xp, x)
    if i < len(xp) and xp[i] == x:
        return fp[i]
    if i == 0 or i == len(xp):
        raise Failure(OUT_X)
    return nearest_even(exact_value(x, xp[i - 1], xp[i], fp[i - 1], fp[i]))


def inverse_one(f, xp, fp, method):
    """inverse_int of one value under a method (None for Exact)."""
    if not increasing(fp):
        raise Failure(FP_ORDER)
    return inverse_in(f, xp, fp, method)


def inverse_in(f, xp, fp, method):
    """inverse_one() for a table whose values are known to increase."""
    i = bisect_left(fp, f)
    if i < len(fp) and fp[i] == f:
        return xp[i]
    if not fp:
        raise Failure(OUT_F)
    if i == 0 or i == len(fp):
        position = fill_outside(xp, method, i == 0)
        if position is None:
            raise Failure(OUT_F)
        return position
    position = round_by_method(exact_position(f, xp[i - 1], xp[i], fp[i - 1], fp[i]), method)
    if position is None:
        raise Failure(NOT_FOUND)
    return position


def outcomes(one, queries, *table):
    """Per query: ("ok", result) or ("fail", outcome)."""
    out = []
    for q in queries:
        try:
            out.append(("ok", one(q, *table)))
        except Failure as e:
            out.append(("fail", e.outcome))
    return out
