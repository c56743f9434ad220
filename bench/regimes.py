"""The regimes of each run mode: how many queries, which orders and tables, and how pyperf times each call.

  * single: N = 1, the cost of one call;
  * warm: N = 4e6, repeated calls in one process. A 32 MB block is below glibc's
    largest dynamic mmap threshold, so once one has been freed the C allocator
    hands the same memory back to the next call, as in a user's loop over chunks;
  * cold: N = 1e7. An 80 MB block is always mapped afresh and returned when freed,
    so every call pays for fresh pages.
"""

from __future__ import annotations

FUNCTIONS = ["forward_int", "forward_float", "inverse_int", "inverse_float"]
ALL_TABLES = [2, 100, 10**4, 10**6]
MODES = ("goal", "quick", "full")

# From this many queries on, one call lasts long enough to be a value by itself.
ONE_CALL_QUERIES = 10**5


class Regime:
    """How a group of cases is called: N, the orders, the tables, and the worker
    processes, values and warmups that pyperf gives each call."""

    def __init__(self, name: str, n_queries: int, orders: list[str], tables: list[int], processes: int,
                 values: int, warmups: int = 1, min_time: float = 0.1):
        self.name = name
        self.n_queries = n_queries
        self.orders = orders
        self.tables = tables
        self.processes = processes
        self.values = values
        self.warmups = warmups
        self.min_time = min_time

    @property
    def loops(self) -> int:
        """Calls per value: 0 lets pyperf calibrate them to last min_time."""
        return 1 if self.n_queries >= ONE_CALL_QUERIES else 0

    def title(self, order: str) -> str:
        if self.name == "single":
            return "N = 1: a single query"
        return f"{self.name}, N = {fmt_count(self.n_queries)} {order} queries"

    def to_dict(self) -> dict:
        return dict(vars(self))

    @classmethod
    def from_dict(cls, d: dict) -> "Regime":
        return cls(**d)


def regimes_for(mode: str) -> list[Regime]:
    """The regimes of a run mode. The warm regime skips two calls per process:
    the first maps its block, the second grows the heap that later calls reuse.
    The cold regime skips none: every call maps fresh memory, the first too."""
    if mode == "goal":
        return [Regime("single", 1, ["single"], [2, 100], processes=2, values=3, min_time=0.01),
                Regime("warm", 4 * 10**6, ["even", "uneven", "random"], [100, 10**4, 10**6], processes=2,
                       values=3, warmups=2)]
    if mode == "quick":
        return [Regime("single", 1, ["single"], [2, 10**4], processes=1, values=3, min_time=0.005),
                Regime("warm", 4 * 10**5, ["even", "uneven", "random"], [2, 10**4, 10**6], processes=1,
                       values=2, warmups=2),
                Regime("cold", 10**6, ["sorted", "random"], [2, 10**4, 10**6], processes=1, values=2,
                       warmups=0)]
    if mode == "full":
        return [Regime("single", 1, ["single"], ALL_TABLES, processes=4, values=3, min_time=0.02),
                Regime("warm", 4 * 10**6, ["even", "uneven", "random"], ALL_TABLES, processes=3, values=3,
                       warmups=2),
                Regime("cold", 10**7, ["sorted", "even", "uneven", "random"], ALL_TABLES, processes=1, values=3,
                       warmups=0)]
    raise ValueError(f"unknown mode {mode!r}")


def fmt_count(v: int) -> str:
    """1, 100, 1e4, 4e6: the way table sizes and query counts are written."""
    if v < 1000:
        return str(v)
    e = len(str(v)) - 1
    if v == 10**e:
        return f"1e{e}"
    if v % 10**e == 0:
        return f"{v // 10**e}e{e}"
    return f"{v:.0e}"
