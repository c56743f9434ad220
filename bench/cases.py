"""The calls each case times: rust's functions and their peers on the same data, and the check of rust's results.

Peers, each on the same data:
  * numpy.interp on float64 copies of the table (forward: interp(x, xp, fp);
    inverse: interp(f, fp, xp)): the ratio column is relative to it;
  * numpy.searchsorted of the queries in the searched table (xp or fp);
  * pandas.Index(table).get_indexer(queries, method=pad/backfill/nearest), next to
    the inverse methods ffill/bfill/nearest (timing only: they answer a different
    question, the index of a tie point, not a position);
  * numpy.copyto(out, src) of N uint64 into an existing array: the memory floor.
"""

from __future__ import annotations

import functools

import numpy as np

from bench import data
from bench.regimes import FUNCTIONS, Regime

METHODS = [None, "nearest", "ffill", "bfill"]


def method_label(function: str, method: str | None) -> str:
    return function if method is None else f"{function} {method}"


def labels_of(function: str) -> list[str]:
    """rust's rows for one function: every method of the inverse ones (on
    real-valued float tables, where nearly no value has a whole position,
    every method but None)."""
    if function.startswith("forward"):
        return [function]
    if function == "inverse_float" and data.VALUES == "real":
        return [method_label(function, m) for m in METHODS if m is not None]
    return [method_label(function, m) for m in METHODS]


OURS = [fn if m is None else method_label(fn, m) for fn in FUNCTIONS
        for m in (METHODS if fn.startswith("inverse") else [None])]
PANDAS_METHODS = {"ffill": "pad", "bfill": "backfill", "nearest": "nearest"}
INTERP = ["np.interp forward", "np.interp inverse"]
SEARCHSORTED = ["np.searchsorted xp (uint64)", "np.searchsorted fp (int64)", "np.searchsorted fp (float64)"]
PANDAS = [f"pandas {p} ({t})" for t in ("int64", "float64") for p in PANDAS_METHODS.values()]
FLOOR = "np.copyto (floor)"
PEERS = INTERP + SEARCHSORTED + PANDAS + [FLOOR]
ALL = OURS + PEERS
FORWARD_ROWS = {"forward_int", "forward_float", "np.interp forward", "np.searchsorted xp (uint64)", FLOOR}


def reference_of(name: str) -> str:
    """The numpy.interp row a row's ratio is taken to."""
    return "np.interp forward" if name in FORWARD_ROWS else "np.interp inverse"


def parse_only(text: str | None) -> list[str]:
    """The functions named by --only, in their usual order."""
    if not text:
        return list(FUNCTIONS)
    chosen = [t.strip() for t in text.split(",") if t.strip()]
    unknown = [t for t in chosen if t not in FUNCTIONS]
    if unknown or not chosen:
        raise SystemExit(f"--only takes a comma-separated list of {', '.join(FUNCTIONS)}; got {text!r}")
    return [fn for fn in FUNCTIONS if fn in chosen]


def names_for(mode: str, regime: str, order: str, ours: list[str], have_pandas: bool) -> list[str]:
    """The rows measured in one case.

    The goal summary needs only rust's rows and numpy.interp. Elsewhere every peer
    runs, except that pandas, the slowest, runs only on single queries and the
    cold regime's sorted and random orders.
    """
    names = list(ours)
    if mode == "goal":
        return names + [r for r in INTERP if any(reference_of(o) == r for o in ours)]
    names += INTERP + SEARCHSORTED
    if have_pandas and (regime == "single" or (regime == "cold" and order in ("sorted", "random"))):
        names += PANDAS
    return names + [FLOOR]


def plan(mode: str, regimes: list[Regime], functions: list[str], have_pandas: bool) -> list[dict]:
    """Every case of a run, in the order they are timed: one table size, one
    order, and the calls to time on them."""
    ours = [label for fn in functions for label in labels_of(fn)]
    return [{"regime": r.name, "queries": r.n_queries, "tie_points": n, "order": order,
             "calls": names_for(mode, r.name, order, ours, have_pandas)}
            for r in regimes for n in r.tables for order in r.orders]


def case_data(case: dict) -> tuple[data.Table, data.Queries]:
    table = data.Table(case["tie_points"])
    return table, data.Queries(table, case["queries"], case["order"])


def build_calls(table: data.Table, q: data.Queries, names) -> dict:
    """name -> (callable, expected result or None), in the order of ALL."""
    import rust

    calls = {}
    want = set(names)
    if "forward_int" in want:
        calls["forward_int"] = (functools.partial(rust.forward_int, q.x, table.xp, table.fp_int), q.f_int)
    if "forward_float" in want:
        calls["forward_float"] = (functools.partial(rust.forward_float, q.x, table.xp, table.fp_float),
                                  q.f_float if q.float_checked else None)
    for fn, f, fp in (("inverse_int", q.f_int, table.fp_int), ("inverse_float", q.f_float, table.fp_float)):
        for m in METHODS:
            label = method_label(fn, m)
            if label not in want:
                continue
            # The method goes in by position, as numpy.interp's arguments do: a
            # partial that holds a keyword builds a dictionary for every call
            # (about 250 ns on CPython 3.11, as much as a whole single-query
            # call), where a call that names method= in the source passes the
            # keyword without one.
            method = () if m is None else (m,)
            checked = fn == "inverse_int" or q.float_checked
            calls[label] = (functools.partial(getattr(rust, fn), f, table.xp, fp, *method), q.x if checked else None)
    peers = {
        "np.interp forward": lambda: functools.partial(np.interp, q.x_f, table.xp_f, table.fp_float),
        "np.interp inverse": lambda: functools.partial(np.interp, q.f_float, table.fp_float, table.xp_f),
        "np.searchsorted xp (uint64)": lambda: functools.partial(np.searchsorted, table.xp, q.x),
        "np.searchsorted fp (int64)": lambda: functools.partial(np.searchsorted, table.fp_int, q.f_int),
        "np.searchsorted fp (float64)": lambda: functools.partial(np.searchsorted, table.fp_float, q.f_float),
    }
    for name, make in peers.items():
        if name in want:
            calls[name] = (make(), None)
    for t, f in (("int64", q.f_int), ("float64", q.f_float)):
        for p in PANDAS_METHODS.values():
            label = f"pandas {p} ({t})"
            if label in want:
                import pandas as pd

                # The index is built once, outside the timing, as a user would keep it.
                index = pd.Index(table.fp_int if t == "int64" else table.fp_float)
                calls[label] = (functools.partial(index.get_indexer, f, method=p), None)
    if FLOOR in want:
        out = np.empty_like(q.x)
        out.fill(0)  # an existing array: its pages are already there
        calls[FLOOR] = (functools.partial(np.copyto, out, q.x), None)
    return calls


def check(fn, expected) -> str | None:
    """Runs fn once: None when it ran as expected, else why not."""
    try:
        result = fn()
    except Exception as e:  # noqa: BLE001 - any failure is reported in the table
        return f"raises {type(e).__name__}: {e}"
    if expected is not None:
        if result.shape != expected.shape or not np.array_equal(result, expected):
            bad = int(np.count_nonzero(result != expected)) if result.shape == expected.shape else -1
            return f"differs from the exact result ({bad} elements)"
    return None
