"""The benchmark's data: tables of tie points, query positions in each order, and the exact values there.

A table of n tie points has random segment lengths and a random whole slope
(1..5) on each segment, so that every whole position maps to an exact value and
back. int64 values are offset by 1.7e18 (nanosecond timestamps); float64 values
are half of the offset-free ones, small enough that every step of the float
arithmetic is exact ("half"), or real values with all 53 bits in use ("real").

Query orders: N whole positions over the table, and for the inverse functions
the exact values at those positions (the same set for every method):
  * even: one constant step, like sample indices or a regular clock;
  * uneven: sorted random whole positions, so the gaps vary;
  * random: the even positions in a random order;
  * sorted: floor(k * span / (N - 1)) for k = 0 .. N-1, whose steps differ by one
    here and there (the cold regime's order under this name);
  * single: one query in the middle of the table, for N = 1.
"""

from __future__ import annotations

import os

import numpy as np

SPAN = 2**26  # positions covered by a table
X0 = 1_000  # first tie position
INT_OFFSET = 1_700_000_000 * 10**9  # int64 values: nanosecond timestamps
FLOAT_START = -(2**20)  # first float64 value (before halving)
SEED = 20240611
# "half": float64 values that are half-integers, so that every step of the float
# arithmetic is exact; "real": real-valued ones, as users' tables are (set by
# --values before any table is made).
VALUES = "half"

# The arrays a memory probe's child process reads back.
TABLE_ARRAYS = ("xp", "fp_int", "fp_float", "xp_f")
QUERY_ARRAYS = ("x", "f_int", "f_float", "x_f")


class Table:
    """n tie points: xp uint64, fp int64 and float64, and the slope of each segment."""

    def __init__(self, n: int):
        rng = np.random.default_rng([SEED, n])
        segments = n - 1
        mean = max(1, SPAN // segments)
        lengths = rng.integers(1, 2 * mean, size=segments, dtype=np.int64, endpoint=False)
        slopes = rng.integers(1, 6, size=segments, dtype=np.int64)
        self.n = n
        self.slopes = slopes
        self.xp = np.empty(n, np.uint64)
        self.xp[0] = X0
        self.xp[1:] = X0 + np.cumsum(lengths).astype(np.uint64)
        rise = np.empty(n, np.int64)
        rise[0] = 0
        rise[1:] = np.cumsum(lengths * slopes)
        self.fp_int = INT_OFFSET + rise
        self.fp_float = (FLOAT_START + rise) * 0.5
        if VALUES == "real":
            # Steps of 3.25 times uniform(0.5, 1.5): values with all 53 bits in use.
            steps = np.random.default_rng([SEED, n, 3]).uniform(0.5, 1.5, size=n)
            self.fp_float = np.cumsum(steps) * 3.25
        self.xp_f = self.xp.astype(np.float64)  # for numpy.interp


def positions(table: Table, n_queries: int, order: str) -> np.ndarray:
    """N whole positions inside the table, in the given order."""
    first, last = int(table.xp[0]), int(table.xp[-1])
    span = last - first
    if order == "single":
        return np.array([first + span // 2], np.uint64)
    if order == "sorted":
        steps = np.arange(n_queries, dtype=np.uint64)
        return np.uint64(first) + (steps * np.uint64(span)) // np.uint64(max(1, n_queries - 1))
    if order == "uneven":
        rng = np.random.default_rng([SEED, table.n, n_queries, 2])
        x = rng.integers(first, last, size=n_queries, dtype=np.uint64, endpoint=True)
        x.sort()
        return x
    if order not in ("even", "random"):
        raise ValueError(f"unknown order {order!r}")
    step = span // max(1, n_queries - 1)
    if step == 0:
        raise ValueError(f"a table spanning {span} positions has no room for {n_queries} distinct ones")
    start = first + (span - step * (n_queries - 1)) // 2  # centred: both ends stay inside
    x = np.uint64(start) + np.arange(n_queries, dtype=np.uint64) * np.uint64(step)
    if order == "random":
        rng = np.random.default_rng([SEED, table.n, n_queries, 1])
        x = x[rng.permutation(n_queries)]
    return x


class Queries:
    """N whole positions over the table and the exact values there."""

    def __init__(self, table: Table, n_queries: int, order: str):
        x = positions(table, n_queries, order)
        segment = np.searchsorted(table.xp, x, side="right") - 1
        segment = np.minimum(segment, table.n - 2)
        rise = (x - table.xp[segment]).astype(np.int64) * table.slopes[segment]
        below = table.fp_int[segment] - INT_OFFSET
        self.x = x
        self.f_int = INT_OFFSET + below + rise
        self.f_float = (FLOAT_START + below + rise) * 0.5
        self.x_f = x.astype(np.float64)
        # Real-valued tables have no exact results to check the float calls
        # against here (the test suite's oracles cover them); their inverse
        # queries are the values at the positions, which are not whole.
        self.float_checked = VALUES != "real"
        if not self.float_checked:
            self.f_float = np.interp(self.x_f, table.xp_f, table.fp_float)


def save(table: Table, q: Queries, folder: str) -> None:
    """Writes a case's arrays, for other processes to time or probe the very data that was checked."""
    os.makedirs(folder, exist_ok=True)
    for obj, arrays in ((table, TABLE_ARRAYS), (q, QUERY_ARRAYS)):
        for a in arrays:
            np.save(os.path.join(folder, a + ".npy"), getattr(obj, a))


def load(folder: str) -> tuple[Table, Queries]:
    """A case's arrays as save wrote them: enough to make its calls, not to check them."""
    table = Table.__new__(Table)
    q = Queries.__new__(Queries)
    for obj, arrays in ((table, TABLE_ARRAYS), (q, QUERY_ARRAYS)):
        for a in arrays:
            setattr(obj, a, np.load(os.path.join(folder, a + ".npy")))
    table.n = len(table.xp)
    q.float_checked = False
    return table, q
