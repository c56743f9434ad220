"""Worked cases of forward_int and inverse_int: rounding on a segment, the fill
rules outside the table, and the failures with their exact types and messages."""
import pytest

import rust
from conftest import I64_MAX, I64_MIN, METHODS, U64_MAX, i64, raises_exactly, u64

OUT_X = (IndexError, "x out of bounds")
OUT_F = (KeyError, "f out of bounds")
NOT_FOUND = (KeyError, "f not found")
XP_ORDER = (ValueError, "xp must be strictly increasing")
FP_ORDER = (ValueError, "fp must be strictly increasing")


def forward(x, xp, fp):
    return rust.forward_int(u64(x), u64(xp), i64(fp)).tolist()


def inverse(f, xp, fp, method=None):
    return rust.inverse_int(i64(f), u64(xp), i64(fp), method).tolist()


def check(outcome, call, *args):
    """outcome is a list of results or an (exception type, message) pair."""
    if isinstance(outcome, tuple):
        raises_exactly(outcome[0], outcome[1], call, *args)
    else:
        assert call(*args) == outcome


# ---------------------------------------------------------------------------
# Rounding on one segment

H = 2**63  # half of 2**64


@pytest.mark.parametrize(
    "x0, x1,       f0,      f1,      x,     result",
    [
        (0, 4,         0,       10,      1,     2),    # 2.5: ties to even, down
        (0, 4,         0,       10,      2,     5),
        (0, 4,         0,       10,      3,     8),    # 7.5: ties to even, up
        (0, 4,         -10,     0,       1,     -8),   # -7.5
        (0, 4,         -10,     0,       3,     -2),   # -2.5
        (0, 4,         0,       -10,     1,     -2),   # decreasing values
        (0, 3,         0,       1,       1,     0),    # 1/3
        (0, 3,         0,       1,       2,     1),    # 2/3
        (0, 2,         I64_MIN, I64_MAX, 1,     0),    # -0.5 across the full int64 range
        (0, U64_MAX,   0,       1,       H,     1),    # just above one half
        (0, U64_MAX,   0,       1,       H - 1, 0),    # just below one half
        (0, U64_MAX,   I64_MIN, I64_MAX, H,     0),    # exactly 0
        (0, U64_MAX,   I64_MIN, I64_MAX - 1, H,     -1),   # -1 + just below one half
        (0, U64_MAX,   I64_MIN, I64_MAX - 1, H - 1, -1),   # -2 + just above one half
        (0, U64_MAX,   I64_MAX, I64_MIN, 1,     I64_MAX - 1),
        (U64_MAX - 2, U64_MAX, I64_MAX - 1, I64_MAX, U64_MAX - 1, I64_MAX - 1),  # 2**63 - 1.5 to even
        (5, 7,         3,       3,       6,     3),    # equal values
        (0, 2,         1,       2,       1,     2),    # 1.5
        (0, 2,         2,       3,       1,     2),    # 2.5
        (0, 2,         -2,      -1,      1,     -2),   # -1.5
        (0, 2,         -3,      -2,      1,     -2),   # -2.5
    ],
)
def test_forward_on_a_segment(x0, x1, f0, f1, x, result):
    assert forward([x], [x0, x1], [f0, f1]) == [result]
    # The same segment between neighbours, reached by the search.
    xp = [x0 - 1] * (x0 > 0) + [x0, x1] + [x1 + 1] * (x1 < U64_MAX)
    fp = [7] * (x0 > 0) + [f0, f1] + [7] * (x1 < U64_MAX)
    assert forward([x], xp, fp) == [result]


@pytest.mark.parametrize(
    "x0, x1,       f0,      f1,      f,   exact,     nearest, ffill, bfill",
    [
        (10, 20,       0,       4,       1,   NOT_FOUND, 12,      12,    13),   # 12.5
        (10, 20,       0,       4,       2,   15,        15,      15,    15),
        (10, 20,       0,       4,       3,   NOT_FOUND, 18,      17,    18),   # 17.5
        (20, 10,       0,       4,       1,   NOT_FOUND, 18,      17,    18),   # decreasing positions
        (11, 21,       0,       4,       1,   NOT_FOUND, 14,      13,    14),   # 13.5
        (0, 10,        -3,      3,       -2,  NOT_FOUND, 2,       1,     2),    # 5/3
        (0, 10,        -3,      3,       1,   NOT_FOUND, 7,       6,     7),    # 20/3
        (0, 1,         I64_MIN, I64_MAX, 0,   NOT_FOUND, 1,       0,     1),    # just above one half
        (0, 1,         I64_MIN, I64_MAX, -1,  NOT_FOUND, 0,       0,     1),    # just below one half
        (0, U64_MAX,   I64_MIN, I64_MAX, 0,   H,         H,       H,     H),
        (U64_MAX, 0,   I64_MIN, I64_MAX, 0,   H - 1,     H - 1,   H - 1, H - 1),
        (7, 7,         -5,      5,       1,   7,         7,       7,     7),    # equal positions
        (U64_MAX, U64_MAX - 1, 0, 2,     1,   NOT_FOUND, U64_MAX - 1, U64_MAX - 1, U64_MAX),
    ],
)
def test_inverse_on_a_segment(x0, x1, f0, f1, f, exact, nearest, ffill, bfill):
    for method, outcome in zip(METHODS, (exact, nearest, ffill, bfill)):
        expected = outcome if isinstance(outcome, tuple) else [outcome]
        check(expected, inverse, [f], [x0, x1], [f0, f1], method)
        # The same segment between neighbours, reached by the search.
        xp = [3] * (f0 > I64_MIN) + [x0, x1] + [4] * (f1 < I64_MAX)
        fp = [f0 - 1] * (f0 > I64_MIN) + [f0, f1] + [f1 + 1] * (f1 < I64_MAX)
        check(expected, inverse, [f], xp, fp, method)


# ---------------------------------------------------------------------------
# Exact hits and the fill rules outside the table

XP3 = [10, 30, 20]  # positions need not be ordered for inverse
FP3 = [-5, 0, 7]


@pytest.mark.parametrize(
    "f,        exact,  nearest, ffill,  bfill",
    [
        (-5,       [10],   [10],    [10],   [10]),
        (0,        [30],   [30],    [30],   [30]),
        (7,        [20],   [20],    [20],   [20]),
        (-6,       OUT_F,  [10],    OUT_F,  [10]),
        (I64_MIN,  OUT_F,  [10],    OUT_F,  [10]),
        (8,        OUT_F,  [20],    [20],   OUT_F),
        (I64_MAX,  OUT_F,  [20],    [20],   OUT_F),
        (-1,       [26],   [26],    [26],   [26]),   # 10 + 20 * 4/5
        (1,        NOT_FOUND, [29], [28],   [29]),   # 30 - 10/7 = 28.57...
        (4,        NOT_FOUND, [24], [24],   [25]),   # 30 - 40/7 = 24.28...
    ],
)
def test_inverse_fill_rules(f, exact, nearest, ffill, bfill):
    for method, outcome in zip(METHODS, (exact, nearest, ffill, bfill)):
        check(outcome, inverse, [f], XP3, FP3, method)


@pytest.mark.parametrize(
    "x,          outcome",
    [
        ([10],       [5]),
        ([9],        OUT_X),
        ([11],       OUT_X),
        ([0],        OUT_X),
        ([U64_MAX],  OUT_X),
    ],
)
def test_forward_one_tie_point(x, outcome):
    check(outcome, forward, x, [10], [5])


@pytest.mark.parametrize(
    "f,     exact,  nearest, ffill,  bfill",
    [
        (5,     [10],   [10],    [10],   [10]),
        (4,     OUT_F,  [10],    OUT_F,  [10]),
        (6,     OUT_F,  [10],    [10],   OUT_F),
    ],
)
def test_inverse_one_tie_point(f, exact, nearest, ffill, bfill):
    for method, outcome in zip(METHODS, (exact, nearest, ffill, bfill)):
        check(outcome, inverse, [f], [10], [5], method)


def test_empty_table():
    check(OUT_X, forward, [0], [], [])
    check(OUT_F, inverse, [0], [], [], None)
    check(OUT_F, inverse, [0], [], [], "ffill")


@pytest.mark.parametrize("method", ["nearest", "bfill"])
def test_empty_table_with_a_fill_below_does_not_crash(method):
    # There is no first position to fill with; the module may answer either way,
    # but only with a one-element uint64 result or a KeyError.
    try:
        result = rust.inverse_int(i64([0]), u64([]), i64([]), method)
    except KeyError:
        return
    assert result.shape == (1,)


# ---------------------------------------------------------------------------
# Order of the tie points


@pytest.mark.parametrize(
    "x,            xp",
    [
        ([0],          [0, 10, 5]),    # exact hits fail too
        ([5],          [0, 10, 5]),
        ([7],          [0, 10, 5]),
        ([U64_MAX],    [0, 10, 5]),
        ([5],          [5, 5]),
        ([0],          [U64_MAX, 0]),  # positions compare unsigned
        ([1],          [0, 1, 2, 2]),
        ([2],          [3, 2, 1]),
    ],
)
def test_forward_refuses_unordered_positions(x, xp):
    check(XP_ORDER, forward, x, xp, list(range(len(xp))))


@pytest.mark.parametrize(
    "fp",
    [[4, 4], [3, -5], [I64_MAX, I64_MIN], [0, 1, 1], [2, 1, 0]],
)
@pytest.mark.parametrize("method", METHODS)
def test_inverse_refuses_unordered_values(fp, method):
    check(FP_ORDER, inverse, [fp[0]], list(range(len(fp))), fp, method)


def test_unsigned_positions_and_signed_values():
    # 2**64 - 1 is the largest position; -5 is below 3.
    assert forward([U64_MAX, 2**63], [0, U64_MAX], [-5, 3]) == [3, -1]
    assert inverse([-5, 3], [0, U64_MAX], [-5, 3]) == [0, U64_MAX]


def test_forward_values_in_any_order():
    assert forward([15, 20, 5], [0, 10, 20], [0, 10, 5]) == [8, 5, 5]  # 7.5 -> 8
    assert forward(list(range(11)), [0, 10], [3, 3]) == [3] * 11


def test_inverse_positions_in_any_order():
    assert inverse([0, 1, 2], [0, 10, 5], [0, 1, 2]) == [0, 10, 5]
    assert inverse([0, 2], [9, 9, 9], [0, 1, 2]) == [9, 9]
    assert inverse([1], [20, 10], [0, 4], "nearest") == [18]


# ---------------------------------------------------------------------------
# Failures: exact types, and the first failing element wins


def test_kinds_map_to_distinct_exception_types():
    e = raises_exactly(IndexError, "x out of bounds", rust.forward_int, u64([11]), u64([0, 10]), i64([0, 1]))
    assert str(e) == "x out of bounds"
    e = raises_exactly(KeyError, "f out of bounds", rust.inverse_int, i64([11]), u64([0, 10]), i64([0, 1]))
    assert str(e) == "'f out of bounds'"
    e = raises_exactly(KeyError, "f not found", rust.inverse_int, i64([1]), u64([0, 3]), i64([0, 2]))
    assert str(e) == "'f not found'"


@pytest.mark.parametrize(
    "x,                 outcome",
    [
        ([5, 100, 7],       OUT_X),
        ([U64_MAX, 5],      OUT_X),
        ([5, 6, 7],         [5, 6, 7]),
    ],
)
def test_forward_first_failure_ends_the_call(x, outcome):
    check(outcome, forward, x, [0, 10], [0, 10])


@pytest.mark.parametrize(
    "f,              method,   outcome",
    [
        ([4, 1, -1],     None,     NOT_FOUND),     # 1 lies at 10.5
        ([4, -1, 1],     None,     OUT_F),
        ([4, 21, 1],     "ffill",  [12, 20, 10]),
        ([4, 21, -1],    "ffill",  OUT_F),
        ([-1, 1, 21],    "bfill",  OUT_F),           # 21 is above: bfill has no fill
    ],
)
def test_inverse_first_failure_ends_the_call(f, method, outcome):
    check(outcome, inverse, f, [10, 20], [0, 20], method)
