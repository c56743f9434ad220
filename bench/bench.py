#!/usr/bin/env python3
"""Speed and memory of rust's four conversions next to the NumPy and pandas tools
a user would otherwise reach for, measured in one process and one run.

    python bench/bench.py [--quick | --goal] [--only FUNCTIONS] [--out DIR]

Peers, each on the same data:
  * numpy.interp on float64 copies of the table (forward: interp(x, xp, fp);
    inverse: interp(f, fp, xp)): the ratio column is relative to it;
  * numpy.searchsorted of the queries in the searched table (xp or fp);
  * pandas.Index(table).get_indexer(queries, method=pad/backfill/nearest), next to
    the inverse methods ffill/bfill/nearest (timing only: they answer a different
    question, the index of a tie point, not a position);
  * numpy.copyto(out, src) of N uint64 into an existing array: the memory floor.

Data: a table of n tie points with random segment lengths and a random whole
slope (1..5) on each segment, so that every whole position maps to an exact
value and back. int64 values are offset by 1.7e18 (nanosecond timestamps);
float64 values are half of the offset-free ones, small enough that every step of
the float arithmetic is exact.

Query orders: N whole positions over the table, and for the inverse functions
the exact values at those positions (the same set for every method):
  * even: one constant step, like sample indices or a regular clock; inside a
    segment the values then step by a constant too, and that step changes from
    segment to segment;
  * uneven: sorted random whole positions, so the gaps vary;
  * random: the even positions in a random order;
  * sorted: floor(k * span / (N - 1)) for k = 0 .. N-1, whose steps differ by one
    here and there; measured in the cold regime only, so that its cells stay
    comparable with earlier runs, which had it under this name;
  * a single query in the middle of the table, for N = 1.

Regimes:
  * single: N = 1, the cost of one call;
  * warm: N = 4e6, repeated calls in one process. A 32 MB block is below glibc's
    largest dynamic mmap threshold, so once one has been freed the C allocator
    hands the same memory back to the next call, as in a user's loop over chunks;
  * cold: N = 1e7. An 80 MB block is always mapped afresh and returned when freed,
    so every call pays for fresh pages.
The tables report each side's minor page faults per call, which show what
memory a call actually got.

Goal summary (warm regime and N = 1): the ratio of medians to numpy.interp for
each order and function, marked against the ratio being worked towards. The
goals are reported, never asserted.

Every rust call is checked once against the expected exact result before it is
timed. Timing: time.perf_counter_ns around an inner loop long enough to last
>= 20 ms (one call from N = 1e5 on), repeated round-robin over all calls of a
case; the median, min and max of the repeats are reported in ns per query
element. The checking call warms the memory in the warm regime and is the first
timed repeat in the cold one.

Memory: each measured call runs first in a fresh child process (glibc's mmap
threshold fixed, so large blocks are mapped and returned rather than recycled);
the child resets its peak RSS (VmHWM, by writing 5 to /proc/self/clear_refs)
just before the call and reports the peak minus the RSS just before it.

Output: raw data (timings.json, timings.csv, memory.json) and results.md,
speed.png go to DIR (default bench/results/); a full run without --out also
writes results.md and speed.png to bench/, for the README. --goal measures only
the goal summary's cells, with fewer repeats, and prints it; it writes files
only with --out.
"""

from __future__ import annotations

import argparse
import csv
import functools
import gc
import json
import os
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import rust

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)

FUNCTIONS = ["forward_int", "forward_float", "inverse_int", "inverse_float"]
METHODS = [None, "nearest", "ffill", "bfill"]
ALL_TABLES = [2, 100, 10**4, 10**6]

SPAN = 2**26  # positions covered by a table
X0 = 1_000  # first tie position
INT_OFFSET = 1_700_000_000 * 10**9  # int64 values: nanosecond timestamps
FLOAT_START = -(2**20)  # first float64 value (before halving)
SEED = 20240611
# "half": float64 values that are half-integers, so that every step of the float
# arithmetic is exact; "real": real-valued ones, as users' tables are (set by
# --values).
VALUES = "half"


class Regime:
    """How a group of cases is called: N, the orders, the tables and the repeats."""

    def __init__(self, name: str, n_queries: int, orders: list[str], tables: list[int], repeats: int,
                 min_timing_ms: int = 20):
        self.name = name
        self.n_queries = n_queries
        self.orders = orders
        self.tables = tables
        self.repeats = repeats
        self.min_timing_ns = min_timing_ms * 10**6

    @property
    def one_call(self) -> bool:
        """One call per timing: long enough on its own."""
        return self.n_queries >= 10**5

    @property
    def first_call_timed(self) -> bool:
        # In the cold regime every call maps fresh memory, the checking one as well,
        # so it is a fair first repeat; in the warm regime it is the call that
        # leaves memory behind for the others.
        return self.name == "cold"

    def title(self, order: str) -> str:
        if self.name == "single":
            return "N = 1: a single query"
        return f"{self.name}, N = {fmt_count(self.n_queries)} {order} queries"


def regimes_for(mode: str) -> list[Regime]:
    if mode == "goal":
        return [Regime("single", 1, ["single"], [2, 100], 5, min_timing_ms=10),
                Regime("warm", 4 * 10**6, ["even", "uneven", "random"], [100, 10**4, 10**6], 5)]
    if mode == "quick":
        return [Regime("single", 1, ["single"], [2, 10**4], 3, min_timing_ms=5),
                Regime("warm", 4 * 10**5, ["even", "uneven", "random"], [2, 10**4, 10**6], 2),
                Regime("cold", 10**6, ["sorted", "random"], [2, 10**4, 10**6], 2)]
    return [Regime("single", 1, ["single"], ALL_TABLES, 11),
            Regime("warm", 4 * 10**6, ["even", "uneven", "random"], ALL_TABLES, 7),
            Regime("cold", 10**7, ["sorted", "even", "uneven", "random"], ALL_TABLES, 3)]


# ---------------------------------------------------------------- data


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


# ---------------------------------------------------------------- the calls


def method_label(function: str, method: str | None) -> str:
    return function if method is None else f"{function} {method}"


def labels_of(function: str) -> list[str]:
    """rust's rows for one function: every method of the inverse ones (on
    real-valued float tables, where nearly no value has a whole position,
    every method but None)."""
    if function.startswith("forward"):
        return [function]
    if function == "inverse_float" and VALUES == "real":
        return [method_label(function, m) for m in METHODS if m is not None]
    return [method_label(function, m) for m in METHODS]


OURS = [label for fn in FUNCTIONS for label in labels_of(fn)]
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


def names_for(mode: str, regime: Regime, order: str, n: int, ours: list[str], have_pandas: bool) -> list[str]:
    """The rows measured in one case.

    The goal summary needs only rust's rows and numpy.interp. Elsewhere every peer
    runs, except that pandas, the slowest, runs only where earlier runs had it:
    single queries and the cold regime's sorted and random orders.
    """
    names = list(ours)
    if mode == "goal":
        return names + [r for r in INTERP if any(reference_of(o) == r for o in ours)]
    names += INTERP + SEARCHSORTED
    if have_pandas and (regime.name == "single" or (regime.name == "cold" and order in ("sorted", "random"))):
        names += PANDAS
    return names + [FLOOR]


def build_calls(table: Table, q: Queries, names, pandas_index=None):
    """name -> (callable, expected result or None), in the order of ALL."""
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
            kwargs = {} if m is None else {"method": m}
            checked = fn == "inverse_int" or q.float_checked
            calls[label] = (functools.partial(getattr(rust, fn), f, table.xp, fp, **kwargs), q.x if checked else None)
    if "np.interp forward" in want:
        calls["np.interp forward"] = (functools.partial(np.interp, q.x_f, table.xp_f, table.fp_float), None)
    if "np.interp inverse" in want:
        calls["np.interp inverse"] = (functools.partial(np.interp, q.f_float, table.fp_float, table.xp_f), None)
    if "np.searchsorted xp (uint64)" in want:
        calls["np.searchsorted xp (uint64)"] = (functools.partial(np.searchsorted, table.xp, q.x), None)
    if "np.searchsorted fp (int64)" in want:
        calls["np.searchsorted fp (int64)"] = (functools.partial(np.searchsorted, table.fp_int, q.f_int), None)
    if "np.searchsorted fp (float64)" in want:
        calls["np.searchsorted fp (float64)"] = (
            functools.partial(np.searchsorted, table.fp_float, q.f_float), None)
    for t, f in (("int64", q.f_int), ("float64", q.f_float)):
        for p in PANDAS_METHODS.values():
            label = f"pandas {p} ({t})"
            if label in want:
                index = pandas_index(t)
                calls[label] = (functools.partial(index.get_indexer, f, method=p), None)
    if FLOOR in want:
        out = np.empty_like(q.x)
        out.fill(0)  # an existing array: its pages are already there
        calls[FLOOR] = (functools.partial(np.copyto, out, q.x), None)
    return calls


def pandas_indexes(table: Table):
    import pandas as pd

    made = {}

    def get(kind: str):
        if kind not in made:
            made[kind] = pd.Index(table.fp_int if kind == "int64" else table.fp_float)
        return made[kind]

    return get


def minor_faults() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def check(fn, expected):
    """Runs fn once: (None when it ran as expected, else why not; its time in ns
    or None; its minor page faults)."""
    f0 = minor_faults()
    t0 = time.perf_counter_ns()
    try:
        result = fn()
    except Exception as e:  # noqa: BLE001 - any failure is reported in the table
        return f"raises {type(e).__name__}: {e}", None, 0
    elapsed = time.perf_counter_ns() - t0
    faults = minor_faults() - f0
    if expected is not None:
        if result.shape != expected.shape or not np.array_equal(result, expected):
            bad = int(np.count_nonzero(result != expected)) if result.shape == expected.shape else -1
            return f"differs from the exact result ({bad} elements)", elapsed, faults
    return None, elapsed, faults


# ---------------------------------------------------------------- timing


def time_loops(fn, loops: int) -> tuple[int, int]:
    """(ns, minor page faults) of `loops` calls."""
    if loops == 1:
        f0 = minor_faults()
        t0 = time.perf_counter_ns()
        fn()
        t = time.perf_counter_ns() - t0
        return t, minor_faults() - f0
    rng = range(loops)
    f0 = minor_faults()
    t0 = time.perf_counter_ns()
    for _ in rng:
        fn()
    t = time.perf_counter_ns() - t0
    return t, minor_faults() - f0


def calibrate(fn, min_timing_ns: int) -> int:
    """Inner loop count so that one timing lasts at least the shortest timing."""
    loops = 1
    while True:
        t, _ = time_loops(fn, loops)
        if t >= min_timing_ns:
            return loops
        if t <= 0:
            loops *= 10
            continue
        loops = max(loops * 2, int(loops * min_timing_ns * 1.2 / t) + 1)


def time_case(calls: dict, regime: Regime):
    """Checks every call, then times those that ran, round-robin over the calls.

    Returns (name -> status, name -> ns per element of each repeat, name -> minor
    page faults per call of each repeat).
    """
    n_queries = regime.n_queries
    timed_check = regime.one_call and regime.first_call_timed
    statuses = {}
    samples = {name: [] for name in calls}
    faults = {name: [] for name in calls}
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for name, (fn, expected) in calls.items():
            statuses[name], t, flt = check(fn, expected)
            if timed_check and t is not None:
                samples[name].append(t / n_queries)
                faults[name].append(flt)
            gc.collect()
        # A wrong result is still timed, and shown with its status.
        live = {name: fn for name, (fn, _) in calls.items() if not statuses[name] or "differs" in statuses[name]}
        loops = {name: (1 if regime.one_call else calibrate(fn, regime.min_timing_ns)) for name, fn in live.items()}
        for _ in range(regime.repeats - (1 if timed_check else 0)):
            for name, fn in live.items():
                t, flt = time_loops(fn, loops[name])
                samples[name].append(t / loops[name] / n_queries)
                faults[name].append(flt / loops[name])
    finally:
        if gc_was:
            gc.enable()
    return statuses, samples, faults


# ---------------------------------------------------------------- memory


def read_status_kib(field: str) -> int:
    with open("/proc/self/status") as fh:
        return int(re.search(rf"^{field}:\s+(\d+) kB", fh.read(), re.M).group(1))


def memory_child(arg: str) -> None:
    """Runs in a fresh process: one call on saved data, prints its peak extra memory."""
    job = json.loads(arg)
    d = job["dir"]
    table = Table.__new__(Table)
    q = Queries.__new__(Queries)
    for obj, arrays in ((table, TABLE_ARRAYS), (q, QUERY_ARRAYS)):
        for a in arrays:
            setattr(obj, a, np.load(os.path.join(d, a + ".npy")))
    table.n = len(table.xp)
    name = job["name"]
    index = pandas_indexes(table) if name.startswith("pandas") else None
    if index is not None:
        index("int64" if "int64" in name else "float64")
    fn, _ = build_calls(table, q, [name], index)[name]
    gc.collect()
    gc.disable()

    rss0 = read_status_kib("VmRSS")
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        how = "VmHWM"
    except OSError:
        how = "ru_maxrss"
    max0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    result = fn()
    peak = read_status_kib("VmHWM") if how == "VmHWM" else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if how == "ru_maxrss":  # only growth past the earlier peak shows: a lower bound
        rss0 = max0
    del result
    print(json.dumps({"extra_bytes": max(0, peak - rss0) * 1024, "how": how}))


TABLE_ARRAYS = ("xp", "fp_int", "fp_float", "xp_f")
QUERY_ARRAYS = ("x", "f_int", "f_float", "x_f")


def measure_memory(n_queries: int, jobs: list[tuple[int, str, list[str]]], tmp: str, log) -> list[dict]:
    """jobs: (table size, order, names); one fresh process per call."""
    rows = []
    env = dict(os.environ)
    env["MALLOC_MMAP_THRESHOLD_"] = "65536"
    env["MALLOC_TRIM_THRESHOLD_"] = "131072"
    for n, order, names in jobs:
        t0 = time.monotonic()
        table = Table(n)
        q = Queries(table, n_queries, order)
        d = os.path.join(tmp, f"mem-{n}-{order}")
        os.makedirs(d, exist_ok=True)
        for obj, arrays in ((table, TABLE_ARRAYS), (q, QUERY_ARRAYS)):
            for a in arrays:
                np.save(os.path.join(d, a + ".npy"), getattr(obj, a))
        del q
        for name in names:
            job = json.dumps({"dir": d, "name": name})
            proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", job],
                                  capture_output=True, text=True, env=env)
            row = {"N": n_queries, "n": n, "order": order, "name": name}
            if proc.returncode != 0:
                lines = proc.stderr.strip().splitlines() or ["no output"]
                row.update(extra_bytes=None, how="failed: " + lines[-1])
            else:
                row.update(json.loads(proc.stdout.strip().splitlines()[-1]))
            rows.append(row)
        shutil.rmtree(d)
        log(f"memory N={fmt_count(n_queries):>4} n={fmt_count(n):>4} {order:6}: {len(names)} calls "
            f"in {time.monotonic() - t0:5.1f} s")
    return rows


# ---------------------------------------------------------------- report


def fmt_ns(v: float) -> str:
    if v >= 100:
        return f"{v:.0f}"
    if v >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def fmt_count(v: int) -> str:
    if v < 1000:
        return str(v)
    e = len(str(v)) - 1
    if v == 10**e:
        return f"1e{e}"
    if v % 10**e == 0:
        return f"{v // 10**e}e{e}"
    return f"{v:.0e}"


def summarise(results: list[dict]) -> dict:
    """(regime, n, order, name) -> {median, min, max, ratio, faults, status}."""
    by = {}
    for r in results:
        key = (r["regime"], r["n"], r["order"], r["name"])
        s = r["ns_per_element"]
        by[key] = {"status": r["status"]}
        if s:
            by[key].update(median=statistics.median(s), min=min(s), max=max(s),
                           faults=statistics.median(r["faults_per_call"]))
    for (regime, n, order, name), v in by.items():
        ref = by.get((regime, n, order, reference_of(name)), {})
        if "median" in v and "median" in ref:
            v["ratio"] = v["median"] / ref["median"]
    return by


def render(head: list[str], rows: list[list[str]], markdown: bool) -> list[str]:
    if markdown:
        out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        return out + ["| " + " | ".join(r) + " |" for r in rows]
    widths = [max(len(r[i]) for r in [head] + rows) for i in range(len(head))]
    return ["  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in [head] + rows]


def cell(v: dict | None, with_range: bool) -> str:
    if v is None:
        return "—"
    if "median" not in v:
        return v["status"] or "—"
    text = fmt_ns(v["median"])
    if with_range:
        text += f" ({fmt_ns(v['min'])}–{fmt_ns(v['max'])})"
    if "ratio" in v:
        text += f" ×{v['ratio']:.2f}"
    if v["status"]:
        text += f" [{v['status']}]"
    return text


def fault_note(by: dict, regime: Regime) -> str:
    """Minor page faults per call of rust's rows and of numpy.interp over a regime."""
    parts = []
    for label, rows in (("rust's functions", OURS), ("numpy.interp", INTERP)):
        values = [v["faults"] for (r, _, _, name), v in by.items()
                  if r == regime.name and name in rows and "faults" in v]
        if values:
            lo, hi = min(values), max(values)
            parts.append(f"{label} {lo:.0f}" + (f"–{hi:.0f}" if round(hi) != round(lo) else ""))
    if not parts:
        return ""
    size = 8 * regime.n_queries
    return (f"Minor page faults per call (the output is {size / 2**20:.1f} MiB, {size // 4096} pages of 4 KiB): "
            + "; ".join(parts) + ".")


def speed_tables(by: dict, regimes: list[Regime], markdown: bool) -> str:
    out = []
    for regime in regimes:
        if markdown and regime.name != "single":
            out += [f"### The {regime.name} regime", "", fault_note(by, regime), ""]
        for order in regime.orders:
            names = [name for name in ALL if any((regime.name, n, order, name) in by for n in regime.tables)]
            if not names:
                continue
            head = ["call"] + [f"n = {fmt_count(n)}" for n in regime.tables]
            rows = [[name] + [cell(by.get((regime.name, n, order, name)), markdown) for n in regime.tables]
                    for name in names]
            if markdown:
                level = "###" if regime.name == "single" else "####"
                out += [f"{level} {regime.title(order)}", ""] + render(head, rows, True) + [""]
            else:
                out += ["", f"{regime.title(order)}: ns per element, ×ratio to numpy.interp"]
                out += render(head, rows, False)
        if not markdown and regime.name != "single":
            out.append(fault_note(by, regime))
    return "\n".join(out)


# ---------------------------------------------------------------- goal summary

# The ratio to numpy.interp being worked towards, (int, float) per order.
GOALS = {"even": (0.5, 0.9), "uneven": (0.8, 1.0), "random": (0.3, 0.3), "single": (0.5, 0.5)}
# A method slower than method None by this factor is shown beside it.
WORST_SHOWN = 1.15


def goal_of(order: str, function: str) -> float:
    return GOALS[order][0 if function.endswith("_int") else 1]


def mark(ratio: float, goal: float) -> str:
    return f"{ratio:.2f}" + ("✓" if ratio <= goal else "✗")


def goal_cell(by: dict, regime: str, order: str, function: str, tables: list[int]) -> tuple[str, int, int]:
    """The ratios of one function at each table size: (text, sizes met, sizes).

    A size counts as met when every method of the function is within the goal;
    a failed or wrong call never is.
    """
    goal = goal_of(order, function)
    parts, met, count = [], 0, 0
    first, *others = labels_of(function)
    for n in tables:
        v = by.get((regime, n, order, first))
        if v is None:
            parts.append("—")
            continue
        count += 1
        if "ratio" not in v:
            parts.append("failed")
            continue
        r = v["ratio"]
        text = mark(r, goal)
        worst, method, wrong = r, None, bool(v["status"])
        for label in others:
            w = by.get((regime, n, order, label), {})
            wrong |= bool(w.get("status"))
            if w.get("ratio", 0) > worst:
                worst, method = w["ratio"], label.split()[-1]
        if method is not None and (worst >= WORST_SHOWN * r or (worst > goal) != (r > goal)):
            text += f" ({method} {mark(worst, goal)})"
        if wrong:
            text += " [wrong result]"
        met += worst <= goal and not wrong
        parts.append(text)
    return " / ".join(parts), met, count


def goal_table(by: dict, regimes: list[Regime], functions: list[str], markdown: bool) -> str:
    rows = []
    met = count = 0
    found = {r.name: r for r in regimes}
    lines = []
    warm, single = found.get("warm"), found.get("single")
    if warm is None and single is None:
        return ""
    for regime, orders in ((warm, ["even", "uneven", "random"]), (single, ["single"])):
        if regime is None:
            continue
        tables = [n for n in (ALL_TABLES[1:] if regime.name == "warm" else ALL_TABLES[:2]) if n in regime.tables]
        for order in orders:
            if order not in regime.orders:
                continue
            goals = GOALS[order]
            label = ("N = 1" if order == "single" else order) + " (n = " + " / ".join(map(fmt_count, tables)) + "; "
            label += (f"≤ {goals[0]}" if goals[0] == goals[1] else f"int ≤ {goals[0]}, float ≤ {goals[1]}") + ")"
            row = [label]
            for fn in functions:
                text, m, c = goal_cell(by, regime.name, order, fn, tables)
                row.append(text)
                met += m
                count += c
            rows.append(row)
    head = ["order (table sizes; goal)"] + functions
    if warm is not None:
        lines.append(f"Ratio of medians to numpy.interp in the warm regime (N = {fmt_count(warm.n_queries)}, "
                     "repeated calls) and for a single query; below 1 is faster. ✓ the goal being worked towards "
                     "is met, ✗ it is not. Inverse functions: method None (on real-valued float tables, "
                     "\"nearest\" for inverse_float), and in brackets the slowest "
                     f"method where it is {WORST_SHOWN}× slower or on the other side of the goal.")
    lines += [""] + render(head, rows, markdown) + ["", f"Goals met: {met} of {count} (function, order, table "
                                                    "size) cells, counting a cell met when every method is."]
    return "\n".join(lines)


# ---------------------------------------------------------------- memory and plot


def memory_table(mem: list[dict], markdown: bool) -> str:
    if not mem:
        return ""
    N = mem[0]["N"]
    cols = list(dict.fromkeys((m["n"], m["order"]) for m in mem))
    get = {(m["n"], m["order"], m["name"]): m for m in mem}
    head = ["call"] + [f"n = {fmt_count(n)}, {order}" for n, order in cols]
    rows = []
    for name in ALL:
        if not any((n, order, name) in get for n, order in cols):
            continue
        row = [name]
        for n, order in cols:
            m = get.get((n, order, name))
            if m is None or m["extra_bytes"] is None:
                row.append(m["how"] if m else "—")
                continue
            floor = 8 * N + (16 * n if name in OURS else 0)
            row.append(f"{m['extra_bytes'] / 2**20:.1f} MiB ({m['extra_bytes'] / floor:.2f}×)")
        rows.append(row)
    floors = ", ".join(f"n = {fmt_count(n)}: {(8 * N + 16 * n) / 2**20:.1f} MiB"
                       for n in sorted({c[0] for c in cols}))
    note = (f"Peak extra memory of one call at N = {fmt_count(N)} (first call in a fresh process). "
            f"In brackets: relative to the output (8 B × N = {8 * N / 2**20:.1f} MiB), plus for rust's "
            f"functions the copies of xp and fp (16 B × n; with them {floors}).")
    if markdown:
        return "\n".join([note, ""] + render(head, rows, True))
    return "\n".join(["", note] + render(head, rows, False))


PLOT_ORDERS = ["even", "uneven", "random"]


def plot(by: dict, regimes: list[Regime], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = [r for r in regimes if r.name != "single"]
    fig, axes = plt.subplots(len(shown), len(PLOT_ORDERS), figsize=(19, 5.5 * len(shown)), sharey=True,
                             squeeze=False)
    colours = plt.get_cmap("tab20").colors
    for row, regime in zip(axes, shown):
        for ax, order in zip(row, PLOT_ORDERS):
            for i, name in enumerate(ALL):
                pts = [(n, by[(regime.name, n, order, name)]["median"]) for n in regime.tables
                       if "median" in by.get((regime.name, n, order, name), {})]
                if not pts:
                    continue
                ours = name in OURS
                ax.plot([p[0] for p in pts], [p[1] for p in pts],
                        label=name, color=colours[i % len(colours)] if name != FLOOR else "black",
                        linestyle="-" if ours else "--", marker="o" if ours else "s",
                        linewidth=2.0 if ours else 1.2, markersize=4)
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_xlabel("table size n (tie points)")
            ax.set_title(regime.title(order))
            ax.grid(True, which="both", alpha=0.3)
        row[0].set_ylabel("ns per query element (median)")
    handles, labels = {}, {}
    for ax in axes.flat:  # every row shown in any panel, once
        for h, lab in zip(*ax.get_legend_handles_labels()):
            handles.setdefault(lab, h)
    labels = [name for name in ALL if name in handles]
    fig.legend([handles[lab] for lab in labels], labels, loc="center right", fontsize=8, frameon=False,
               bbox_to_anchor=(0.995, 0.5))
    fig.suptitle("rust (solid) against NumPy and pandas (dashed)")
    fig.tight_layout(rect=(0, 0, 0.86, 0.97))
    fig.savefig(path, dpi=90)
    plt.close(fig)


def environment() -> dict:
    info = {"python": platform.python_version(), "numpy": np.__version__, "machine": platform.machine(),
            "cores": os.cpu_count(), "module": os.path.abspath(rust.__file__)}
    try:
        import pandas

        info["pandas"] = pandas.__version__
    except ImportError:
        info["pandas"] = None
    try:
        with open("/proc/cpuinfo") as fh:
            info["cpu"] = re.search(r"^model name\s*:\s*(.*)$", fh.read(), re.M).group(1)
    except (OSError, AttributeError):
        info["cpu"] = platform.processor()
    try:
        rev = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                             text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True).stdout.strip()
        info["revision"] = rev + (" (with uncommitted changes)" if dirty else "")
    except OSError:
        info["revision"] = None
    return info


# ---------------------------------------------------------------- main


def parse_only(text: str | None) -> list[str]:
    if not text:
        return list(FUNCTIONS)
    chosen = [t.strip() for t in text.split(",") if t.strip()]
    unknown = [t for t in chosen if t not in FUNCTIONS]
    if unknown or not chosen:
        raise SystemExit(f"--only takes a comma-separated list of {', '.join(FUNCTIONS)}; got {text!r}")
    return [fn for fn in FUNCTIONS if fn in chosen]


def write_raw(out: str, env: dict, results: list[dict], by: dict, mem: list[dict], elapsed: float) -> None:
    with open(os.path.join(out, "timings.json"), "w") as fh:
        json.dump({"environment": env, "results": results, "memory": mem, "seconds": elapsed}, fh, indent=1)
    samples = {(r["regime"], r["n"], r["order"], r["name"]): r["ns_per_element"] for r in results}
    n_of = {r["regime"]: r["N"] for r in results}
    with open(os.path.join(out, "timings.csv"), "w", newline="") as fh:
        w = csv.writer(fh)
        w.writerow(["regime", "N", "n", "order", "name", "status", "median_ns", "min_ns", "max_ns",
                    "ratio_to_interp", "faults_per_call", "samples_ns"])
        for key, v in by.items():
            regime, n, order, name = key
            w.writerow([regime, n_of[regime], n, order, name, v["status"] or "", v.get("median", ""),
                        v.get("min", ""), v.get("max", ""), v.get("ratio", ""), v.get("faults", ""),
                        " ".join(f"{s:.4g}" for s in samples[key])])
    with open(os.path.join(out, "memory.json"), "w") as fh:
        json.dump(mem, fh, indent=1)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--quick", action="store_true", help="smaller N, fewer tables and repeats: a smoke run")
    mode.add_argument("--goal", action="store_true",
                      help="only the goal summary's cells (warm regime, N = 1), fewer repeats; prints the table")
    parser.add_argument("--only", metavar="FUNCTIONS",
                        help="comma-separated functions to measure, e.g. forward_int,inverse_float")
    parser.add_argument("--out", help="directory for all output (default bench/results/; with --goal: none)")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory measurements")
    parser.add_argument("--regimes", help="comma-separated regimes to run out of single, warm, cold")
    parser.add_argument("--tables", type=float, nargs="+", metavar="n",
                        help="table sizes to run instead of the default ones (at least 2)")
    parser.add_argument("--values", choices=["half", "real"], default="half",
                        help="float64 tables of half-integers (every step exact; the default) or of real values")
    parser.add_argument("--build", default="default build",
                        help="how the module was built, for the report (bench/run.sh fills it in)")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    global VALUES
    VALUES = args.values
    if args.memory_child:
        memory_child(args.memory_child)
        return 0

    started = time.monotonic()
    run_mode = "goal" if args.goal else "quick" if args.quick else "full"
    functions = parse_only(args.only)
    ours = [label for fn in functions for label in labels_of(fn)]
    regimes = regimes_for(run_mode)
    if args.regimes:
        chosen = {r.strip() for r in args.regimes.split(",")}
        unknown = chosen - {r.name for r in regimes}
        if unknown:
            raise SystemExit(f"--regimes: unknown or not in this mode: {', '.join(sorted(unknown))}")
        regimes = [r for r in regimes if r.name in chosen]
    if args.tables:
        tables = sorted({int(v) for v in args.tables})
        if tables[0] < 2:
            raise SystemExit("--tables: a table has at least 2 tie points")
        for r in regimes:
            r.tables = tables
    writes = args.out is not None or run_mode != "goal"
    out = os.path.abspath(args.out or os.path.join(BENCH_DIR, "results"))
    publish = (args.out is None and run_mode == "full" and not (args.regimes or args.tables or args.only))
    have_pandas = True
    try:
        import pandas  # noqa: F401
    except ImportError:
        have_pandas = False
    env = environment()

    def log(msg: str) -> None:
        print(msg, flush=True)

    env["build"] = args.build
    env["values"] = args.values
    log(f"rust from {env['module']} ({args.build}; {args.values} float values); numpy {env['numpy']}, "
        f"pandas {env['pandas']}, Python {env['python']}, {env['cpu']} ({env['cores']} cores)")
    results = []
    for regime in regimes:
        N = regime.n_queries
        for n in regime.tables:
            table = Table(n)
            index = pandas_indexes(table) if have_pandas else None
            for order in regime.orders:
                t0 = time.monotonic()
                q = Queries(table, N, order)
                names = names_for(run_mode, regime, order, n, ours, have_pandas)
                calls = build_calls(table, q, names, index)
                statuses, samples, faults = time_case(calls, regime)
                for name in calls:
                    results.append({"regime": regime.name, "N": N, "n": n, "order": order, "name": name,
                                    "status": statuses[name], "ns_per_element": samples[name],
                                    "faults_per_call": faults[name]})
                bad = {k: v for k, v in statuses.items() if v}
                log(f"{regime.name:6} N={fmt_count(N):>4} n={fmt_count(n):>4} {order:6}: "
                    f"{sum(1 for v in samples.values() if v)} calls timed in {time.monotonic() - t0:5.1f} s"
                    + (f"; not as expected: {bad}" if bad else ""))
                del q, calls
    by = summarise(results)
    goals = goal_table(by, regimes, functions, markdown=False)

    if run_mode == "goal":
        elapsed = time.monotonic() - started
        print(f"\n{env['cpu']} ({env['cores']} cores); module: {args.build}; {args.values} float values")
        print(goals)
        if writes:
            os.makedirs(out, exist_ok=True)
            write_raw(out, env, results, by, [], elapsed)
            with open(os.path.join(out, "goal.md"), "w") as fh:
                fh.write(goal_table(by, regimes, functions, markdown=True) + "\n")
            log(f"\nwritten to {out}")
        log(f"\n{elapsed:.0f} s")
        return 0

    os.makedirs(out, exist_ok=True)
    mem = []
    cold = next((r for r in regimes if r.name == "cold"), None)
    if not args.no_memory and cold is not None:
        # Every call on sorted queries with a small and the largest table; rust's
        # functions also on random queries with a middle-sized one (the peers'
        # memory does not depend on the order; with the largest table each random
        # call takes seconds).
        tables = cold.tables
        small = [t for t in tables if t >= 100][:1]
        large = tables[-1]
        middle = [t for t in tables if 100 < t < large][-1:] or [large]
        names = ours + [p for p in PEERS if have_pandas or p not in PANDAS]
        jobs = [(t, "sorted", names) for t in small if t != large] + [(large, "sorted", names)]
        jobs.append((middle[0], "random", ours))
        log(f"memory at N = {fmt_count(cold.n_queries)}, one fresh process per call:")
        with tempfile.TemporaryDirectory(dir=out) as tmp:
            mem = measure_memory(cold.n_queries, jobs, tmp, log)

    elapsed = time.monotonic() - started
    write_raw(out, env, results, by, mem, elapsed)

    print("\n" + goals)
    print(speed_tables(by, regimes, markdown=False))
    print(memory_table(mem, markdown=False))

    cmd = "bash bench/run.sh" + "".join(
        f" {flag}" for flag, on in (("--quick", args.quick), (f"--only {args.only}", args.only),
                                    (f"--regimes {args.regimes}", args.regimes),
                                    (f"--out {args.out}", args.out)) if on)
    def regime_text(r: Regime) -> str:
        size = f"{8 * r.n_queries / 2**20:.0f} MiB"
        return {"single": "*single*: N = 1, the cost of one call",
                "warm": f"*warm*: repeated calls with N = {fmt_count(r.n_queries)} in one process, so that a "
                        f"freed {size} block comes back from the C allocator to the next call, as in a user's "
                        "loop over chunks",
                "cold": f"*cold*: calls with N = {fmt_count(r.n_queries)}, whose {size} blocks glibc maps "
                        "afresh on every call"
                        + (" (from 32 MiB on, the most its dynamic mmap threshold reaches)" if 8 * r.n_queries
                           >= 2**25 else " (only once its dynamic mmap threshold is below them: a smoke run)")
                }[r.name]

    def repeats_text(r: Regime) -> str:
        return f"{r.repeats} in the {r.name} regime" if r.name != "single" else f"{r.repeats} for a single query"

    md = [
        "# Speed and memory",
        "",
        f"Made by `{cmd}` in {elapsed / 60:.1f} min on {env['cpu']} ({env['cores']} cores; "
        f"module: {env['build']}; {env['values']} float values), "
        f"Python {env['python']}, NumPy {env['numpy']}, pandas {env['pandas']}, module at revision "
        f"{env['revision']}.",
        "",
    ]
    if goals:
        md += ["## Goals", "", goal_table(by, regimes, functions, markdown=True), ""]
    md += [
        "## How it is measured",
        "",
        "Each cell: median ns per query element over the repeats (min–max), then ×the ratio to "
        "`numpy.interp` on float64 copies of the same data (forward rows to `np.interp(x, xp, fp)`, inverse "
        "rows to `np.interp(f, fp, xp)`); below 1 is faster than `numpy.interp`. n is the number of tie "
        "points. Queries are whole positions over the table: *even* (one constant step, like sample indices), "
        "*uneven* (sorted random positions), *random* (the even ones in a random order) and, in the cold "
        "regime only, *sorted* (the order earlier runs measured under this name: floor(k·span/(N−1)), whose "
        "steps differ by one here and there). Inverse queries are the exact values there, the same for every "
        "method, so every call succeeds and each rust result was checked against the exact one before timing.",
        "",
        "Regimes: " + "; ".join(regime_text(r) for r in regimes) + ". Each of the last two states the minor "
        "page faults per call that rust's functions and `numpy.interp` actually paid.",
        "",
        "The pandas rows (`pd.Index(table).get_indexer(queries, method=...)`, index built once outside the "
        "timing; single queries and the cold regime's sorted and random orders only) and `np.searchsorted` "
        "find tie points rather than positions: timing only. `np.copyto` copies N uint64 into an existing "
        "array: the memory-bandwidth floor. Repeats: " + ", ".join(repeats_text(r) for r in regimes)
        + "; below N = 1e5 each timing is an inner loop of at least "
        f"{min(r.min_timing_ns for r in regimes) // 10**6} ms.",
        "",
    ]
    try:
        plot(by, regimes, os.path.join(out, "speed.png"))
        plotted = True
    except ImportError:
        log("matplotlib missing: no plot")
        plotted = False
    if plotted:
        md += ["![ns per element against table size, warm and cold regimes](speed.png)", ""]
    md += ["## Time", "", speed_tables(by, regimes, markdown=True)]
    if mem:
        md += ["## Memory", "", memory_table(mem, markdown=True), ""]
    with open(os.path.join(out, "results.md"), "w") as fh:
        fh.write("\n".join(md))
    if publish:
        shutil.copy(os.path.join(out, "results.md"), os.path.join(BENCH_DIR, "results.md"))
        if plotted:
            shutil.copy(os.path.join(out, "speed.png"), os.path.join(BENCH_DIR, "speed.png"))
    log(f"\nwritten to {out}" + (" and bench/results.md, bench/speed.png" if publish else "")
        + f"; {elapsed:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
