#!/usr/bin/env python3
"""Speed and memory of rust's four conversions next to the NumPy and pandas tools
a user would otherwise reach for, measured in one process and one run.

    python bench/bench.py [--quick] [--out DIR]

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
the float arithmetic is exact. Queries are N whole positions evenly spread over
the table ("sorted") or a random permutation of them ("random"); the inverse
queries are the exact values at those positions, the same set for every method.
Every call is checked once against the expected result; from N = 1e6 on that
call is also the first timed repeat.

Timing: time.perf_counter_ns around an inner loop long enough to last >= 20 ms
(one call for large N), repeated round-robin over all calls of a case; the
median, min and max of the repeats are reported in ns per query element.

Memory: each measured call runs first in a fresh child process (glibc's mmap
threshold fixed, so large blocks are mapped and returned rather than recycled);
the child resets its peak RSS (VmHWM, by writing 5 to /proc/self/clear_refs)
just before the call and reports the peak minus the RSS just before it.

Output: raw data (timings.json, timings.csv, memory.json) and results.md,
speed.png go to DIR (default bench/results/); a full run without --out also
writes results.md and speed.png to bench/, for the README.
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

FULL_NS = [1, 10**3, 10**6, 10**7]
FULL_TABLES = [2, 100, 10**4, 10**6]
QUICK_NS = [1, 10**3, 10**6]
QUICK_TABLES = [2, 10**4, 10**6]
ORDERS = ["sorted", "random"]
METHODS = [None, "nearest", "ffill", "bfill"]

SPAN = 2**26  # positions covered by a table
X0 = 1_000  # first tie position
INT_OFFSET = 1_700_000_000 * 10**9  # int64 values: nanosecond timestamps
FLOAT_START = -(2**20)  # first float64 value (before halving)
SEED = 20240611


class Settings:
    """Repeats and the shortest timing: fewer and shorter for --quick."""

    quick = False

    @classmethod
    def min_timing_ns(cls) -> int:
        return 5_000_000 if cls.quick else 20_000_000

    @classmethod
    def repeats(cls, n_queries: int) -> int:
        if cls.quick:
            return 2 if n_queries >= 10**6 else 3
        if n_queries >= 10**7:
            return 3
        if n_queries >= 10**6:
            return 5
        if n_queries > 1:
            return 7
        return 11


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
        self.xp_f = self.xp.astype(np.float64)  # for numpy.interp


class Queries:
    """N whole positions over the table and the exact values there."""

    def __init__(self, table: Table, n_queries: int, order: str):
        span = np.uint64(int(table.xp[-1]) - int(table.xp[0]))
        if n_queries == 1:
            x = np.array([table.xp[0] + span // np.uint64(2)], np.uint64)
        else:
            steps = np.arange(n_queries, dtype=np.uint64)
            x = table.xp[0] + (steps * span) // np.uint64(n_queries - 1)
        if order == "random":
            rng = np.random.default_rng([SEED, table.n, n_queries, 1])
            x = x[rng.permutation(n_queries)]
        segment = np.searchsorted(table.xp, x, side="right") - 1
        segment = np.minimum(segment, table.n - 2)
        rise = (x - table.xp[segment]).astype(np.int64) * table.slopes[segment]
        below = table.fp_int[segment] - INT_OFFSET
        self.x = x
        self.f_int = INT_OFFSET + below + rise
        self.f_float = (FLOAT_START + below + rise) * 0.5
        self.x_f = x.astype(np.float64)


# ---------------------------------------------------------------- the calls


def method_label(function: str, method: str | None) -> str:
    return function if method is None else f"{function} {method}"


OURS = ["forward_int", "forward_float"] + [
    method_label(fn, m) for fn in ("inverse_int", "inverse_float") for m in METHODS
]
PANDAS_METHODS = {"ffill": "pad", "bfill": "backfill", "nearest": "nearest"}
PEERS = (
    ["np.interp forward", "np.interp inverse",
     "np.searchsorted xp (uint64)", "np.searchsorted fp (int64)", "np.searchsorted fp (float64)"]
    + [f"pandas {p} ({t})" for t in ("int64", "float64") for p in PANDAS_METHODS.values()]
    + ["np.copyto (floor)"]
)
ALL = OURS + PEERS
FORWARD_ROWS = {"forward_int", "forward_float", "np.interp forward", "np.searchsorted xp (uint64)",
                "np.copyto (floor)"}


def reference_of(name: str) -> str:
    """The numpy.interp row a row's ratio is taken to."""
    return "np.interp forward" if name in FORWARD_ROWS else "np.interp inverse"


def build_calls(table: Table, q: Queries, names=ALL, pandas_index=None):
    """name -> (callable, expected result or None)."""
    calls = {}
    want = set(names)
    if "forward_int" in want:
        calls["forward_int"] = (functools.partial(rust.forward_int, q.x, table.xp, table.fp_int), q.f_int)
    if "forward_float" in want:
        calls["forward_float"] = (functools.partial(rust.forward_float, q.x, table.xp, table.fp_float),
                                  q.f_float)
    for fn, f, fp in (("inverse_int", q.f_int, table.fp_int), ("inverse_float", q.f_float, table.fp_float)):
        for m in METHODS:
            label = method_label(fn, m)
            if label not in want:
                continue
            kwargs = {} if m is None else {"method": m}
            calls[label] = (functools.partial(getattr(rust, fn), f, table.xp, fp, **kwargs), q.x)
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
    if "np.copyto (floor)" in want:
        out = np.empty_like(q.x)
        out.fill(0)  # an existing array: its pages are already there
        calls["np.copyto (floor)"] = (functools.partial(np.copyto, out, q.x), None)
    return calls


def pandas_indexes(table: Table):
    import pandas as pd

    made = {}

    def get(kind: str):
        if kind not in made:
            made[kind] = pd.Index(table.fp_int if kind == "int64" else table.fp_float)
        return made[kind]

    return get


def check(fn, expected):
    """Runs fn once: (None when it ran as expected, else why not; its time in ns or None)."""
    t0 = time.perf_counter_ns()
    try:
        result = fn()
    except Exception as e:  # noqa: BLE001 - any failure is reported in the table
        return f"raises {type(e).__name__}: {e}", None
    elapsed = time.perf_counter_ns() - t0
    if expected is not None:
        if result.shape != expected.shape or not np.array_equal(result, expected):
            bad = int(np.count_nonzero(result != expected)) if result.shape == expected.shape else -1
            return f"differs from the exact result ({bad} elements)", elapsed
    return None, elapsed


# ---------------------------------------------------------------- timing


def time_loops(fn, loops: int) -> int:
    if loops == 1:
        t0 = time.perf_counter_ns()
        fn()
        return time.perf_counter_ns() - t0
    rng = range(loops)
    t0 = time.perf_counter_ns()
    for _ in rng:
        fn()
    return time.perf_counter_ns() - t0


def calibrate(fn) -> int:
    """Inner loop count so that one timing lasts at least the shortest timing."""
    loops = 1
    while True:
        t = time_loops(fn, loops)
        if t >= Settings.min_timing_ns():
            return loops
        if t <= 0:
            loops *= 10
            continue
        loops = max(loops * 2, int(loops * Settings.min_timing_ns() * 1.2 / t) + 1)


def time_case(calls: dict, n_queries: int, repeats: int):
    """Checks every call, then times those that ran, round-robin over the calls.

    Returns (name -> status, name -> ns per element of each repeat). From N = 1e6
    on, the checking call is the first timed repeat (the functions are warm from
    the smaller cases); below that it only warms up.
    """
    big = n_queries >= 10**6
    statuses, samples = {}, {name: [] for name in calls}
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for name, (fn, expected) in calls.items():
            statuses[name], t = check(fn, expected)
            if big and t is not None:
                samples[name].append(t / n_queries)
            gc.collect()
        live = {name: fn for name, (fn, _) in calls.items() if not statuses[name] or "differs" in statuses[name]}
        loops = {name: (1 if big else calibrate(fn)) for name, fn in live.items()}
        for _ in range(repeats - (1 if big else 0)):
            for name, fn in live.items():
                t = time_loops(fn, loops[name])
                samples[name].append(t / loops[name] / n_queries)
    finally:
        if gc_was:
            gc.enable()
    return statuses, samples


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
    import resource

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
    return f"1e{e}" if v == 10**e else f"{v:.0e}"


def summarise(results: list[dict]) -> dict:
    """(N, n, order, name) -> {median, min, max, ratio, status}."""
    by = {}
    for r in results:
        key = (r["N"], r["n"], r["order"], r["name"])
        s = r["ns_per_element"]
        by[key] = {"status": r["status"]}
        if s:
            by[key].update(median=statistics.median(s), min=min(s), max=max(s))
    for (N, n, order, name), v in by.items():
        ref = by.get((N, n, order, reference_of(name)), {})
        if "median" in v and "median" in ref:
            v["ratio"] = v["median"] / ref["median"]
    return by


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


def speed_tables(by: dict, ns: list[int], tables: list[int], markdown: bool) -> str:
    out = []
    for N in ns:
        for order in ORDERS:
            if not any((N, n, order, ALL[0]) in by for n in tables):
                continue
            title = f"N = {fmt_count(N)} queries, " + ("a single query" if N == 1 else f"{order} queries")
            head = ["call"] + [f"n = {fmt_count(n)}" for n in tables]
            rows = [[name] + [cell(by.get((N, n, order, name)), markdown) for n in tables] for name in ALL]
            if markdown:
                out.append(f"### {title}\n")
                out.append("| " + " | ".join(head) + " |")
                out.append("|" + "---|" * len(head))
                out += ["| " + " | ".join(r) + " |" for r in rows]
                out.append("")
            else:
                widths = [max(len(r[i]) for r in [head] + rows) for i in range(len(head))]
                out.append(f"\n{title}: ns per element, ×ratio to numpy.interp")
                out.append("  ".join(h.ljust(w) for h, w in zip(head, widths)))
                out += ["  ".join(c.ljust(w) for c, w in zip(r, widths)) for r in rows]
    return "\n".join(out)


def memory_table(mem: list[dict], markdown: bool) -> str:
    if not mem:
        return ""
    N = mem[0]["N"]
    cols = sorted({(m["n"], ORDERS.index(m["order"])) for m in mem})
    get = {(m["n"], m["order"], m["name"]): m for m in mem}
    head = ["call"] + [f"n = {fmt_count(n)}, {ORDERS[o]}" for n, o in cols]
    rows = []
    for name in ALL:
        row = [name]
        for n, o in cols:
            m = get.get((n, ORDERS[o], name))
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
        out = [note, "", "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        out += ["| " + " | ".join(r) + " |" for r in rows]
        return "\n".join(out)
    widths = [max(len(r[i]) for r in [head] + rows) for i in range(len(head))]
    out = ["", note, "  ".join(h.ljust(w) for h, w in zip(head, widths))]
    out += ["  ".join(c.ljust(w) for c, w in zip(r, widths)) for r in rows]
    return "\n".join(out)


def plot(by: dict, N: int, tables: list[int], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(15, 6.5), sharey=True)
    colours = plt.get_cmap("tab20").colors
    for ax, order in zip(axes, ORDERS):
        for i, name in enumerate(ALL):
            pts = [(n, by[(N, n, order, name)]["median"]) for n in tables
                   if "median" in by.get((N, n, order, name), {})]
            if not pts:
                continue
            ours = name in OURS
            ax.plot([p[0] for p in pts], [p[1] for p in pts],
                    label=name, color=colours[i % len(colours)] if name != "np.copyto (floor)" else "black",
                    linestyle="-" if ours else "--", marker="o" if ours else "s",
                    linewidth=2.0 if ours else 1.2, markersize=4)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("table size n (tie points)")
        ax.set_title(f"N = {fmt_count(N)} {order} queries")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("ns per query element (median)")
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="center right", fontsize=8, frameon=False, bbox_to_anchor=(0.995, 0.5))
    fig.suptitle("rust (solid) against NumPy / pandas (dashed)")
    fig.tight_layout(rect=(0, 0, 0.84, 0.96))
    fig.savefig(path, dpi=100)
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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="N up to 1e6 and fewer tables: a smoke run")
    parser.add_argument("--out", help="directory for all output (default bench/results/)")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory measurements")
    parser.add_argument("--queries", type=float, nargs="+", metavar="N",
                        help="query counts to run instead of the default ones")
    parser.add_argument("--tables", type=float, nargs="+", metavar="n",
                        help="table sizes to run instead of the default ones (at least 2)")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child)
        return 0

    started = time.monotonic()
    out = os.path.abspath(args.out or os.path.join(BENCH_DIR, "results"))
    os.makedirs(out, exist_ok=True)
    publish = args.out is None and not args.quick
    Settings.quick = args.quick
    ns = QUICK_NS if args.quick else FULL_NS
    tables = QUICK_TABLES if args.quick else FULL_TABLES
    if args.queries:
        ns = sorted({int(v) for v in args.queries})
    if args.tables:
        tables = sorted({int(v) for v in args.tables})
    if args.queries or args.tables:
        publish = False
    have_pandas = True
    try:
        import pandas  # noqa: F401
    except ImportError:
        have_pandas = False
    names = [n for n in ALL if have_pandas or not n.startswith("pandas")]
    env = environment()

    def log(msg: str) -> None:
        print(msg, flush=True)

    log(f"rust from {env['module']}; numpy {env['numpy']}, pandas {env['pandas']}, "
        f"Python {env['python']}, {env['cpu']} ({env['cores']} cores)")
    results = []
    for N in ns:
        for n in tables:
            table = Table(n)
            index = pandas_indexes(table) if have_pandas else None
            for order in (["sorted"] if N == 1 else ORDERS):
                q = Queries(table, N, order)
                calls = build_calls(table, q, names, index)
                t0 = time.monotonic()
                statuses, samples = time_case(calls, N, Settings.repeats(N))
                for name in names:
                    results.append({"N": N, "n": n, "order": order, "name": name, "status": statuses[name],
                                    "ns_per_element": samples.get(name, [])})
                bad = {k: v for k, v in statuses.items() if v}
                log(f"N={fmt_count(N):>4} n={fmt_count(n):>4} {order:6}: {sum(1 for v in samples.values() if v)} calls timed "
                    f"in {time.monotonic() - t0:5.1f} s" + (f"; not as expected: {bad}" if bad else ""))
                del q, calls
    by = summarise(results)

    mem = []
    if not args.no_memory:
        # Every call on sorted queries with a small and the largest table; rust's
        # functions also on random queries with a middle-sized one (the peers'
        # memory does not depend on the order; with the largest table each random
        # call takes seconds).
        mem_n = ns[-1]
        small = [t for t in tables if t >= 100][:1]
        large = tables[-1]
        middle = [t for t in tables if 100 < t < large][-1:] or [large]
        jobs = [(t, "sorted", names) for t in small if t != large] + [(large, "sorted", names)]
        jobs.append((middle[0], "random", OURS))
        log(f"memory at N = {fmt_count(mem_n)}, one fresh process per call:")
        with tempfile.TemporaryDirectory(dir=out) as tmp:
            mem = measure_memory(mem_n, jobs, tmp, log)

    elapsed = time.monotonic() - started
    with open(os.path.join(out, "timings.json"), "w") as fh:
        json.dump({"environment": env, "results": results, "memory": mem, "seconds": elapsed}, fh, indent=1)
    with open(os.path.join(out, "timings.csv"), "w", newline="") as fh:
        w = csv.writer(fh)
        w.writerow(["N", "n", "order", "name", "status", "median_ns", "min_ns", "max_ns", "ratio_to_interp",
                    "samples_ns"])
        for (N, n, order, name), v in by.items():
            w.writerow([N, n, order, name, v["status"] or "", v.get("median", ""), v.get("min", ""),
                        v.get("max", ""), v.get("ratio", ""),
                        " ".join(f"{s:.4g}" for s in next(r["ns_per_element"] for r in results
                                                          if (r["N"], r["n"], r["order"], r["name"])
                                                          == (N, n, order, name)))])
    with open(os.path.join(out, "memory.json"), "w") as fh:
        json.dump(mem, fh, indent=1)

    print(speed_tables(by, ns, tables, markdown=False))
    print(memory_table(mem, markdown=False))

    cmd = "bash bench/run.sh" + (" --quick" if args.quick else "") + (f" --out {args.out}" if args.out else "")
    md = [
        "# Speed and memory",
        "",
        f"Made by `{cmd}` in {elapsed / 60:.1f} min on {env['cpu']} ({env['cores']} cores), "
        f"Python {env['python']}, NumPy {env['numpy']}, pandas {env['pandas']}, module at revision "
        f"{env['revision']}.",
        "",
        "Each cell: median ns per query element over the repeats (min–max), then ×the ratio to "
        "`numpy.interp` on float64 copies of the same data (forward rows to `np.interp(x, xp, fp)`, inverse "
        "rows to `np.interp(f, fp, xp)`); below 1 is faster than `numpy.interp`. n is the number of tie "
        "points. Queries are whole positions evenly spread over the table (sorted) or a random permutation "
        "of them; inverse queries are the exact values there, the same for every method, so every call "
        "succeeds and each rust result was checked against the exact one before timing. The pandas rows "
        "(`pd.Index(table).get_indexer(queries, method=...)`, index built once outside the timing) and "
        "`np.searchsorted` find tie points rather than positions: timing only. `np.copyto` copies N "
        "uint64 into an existing array: the memory-bandwidth floor. Repeats: "
        + ", ".join(f"{Settings.repeats(N)} at N = {fmt_count(N)}" for N in ns)
        + f"; below N = 1e6 each timing is an inner loop of at least {Settings.min_timing_ns() // 10**6} ms.",
        "",
    ]
    try:
        plot(by, ns[-1], tables, os.path.join(out, "speed.png"))
        plotted = True
    except ImportError:
        log("matplotlib missing: no plot")
        plotted = False
    if plotted:
        md += [f"![ns per element against table size at N = {fmt_count(ns[-1])}](speed.png)", ""]
    md += ["## Time", "", speed_tables(by, ns, tables, markdown=True)]
    if mem:
        md += ["## Memory", "", memory_table(mem, markdown=True), ""]
    text = "\n".join(md)
    with open(os.path.join(out, "results.md"), "w") as fh:
        fh.write(text)
    if publish:
        shutil.copy(os.path.join(out, "results.md"), os.path.join(BENCH_DIR, "results.md"))
        if plotted:
            shutil.copy(os.path.join(out, "speed.png"), os.path.join(BENCH_DIR, "speed.png"))
    log(f"\nwritten to {out}" + (" and bench/results.md, bench/speed.png" if publish else "")
        + f"; {elapsed:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
