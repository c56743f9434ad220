"""Timing of every planned call by pyperf: worker processes, calibrated loops, and one JSON suite of the values.

The main process checks each case's rust calls against the exact results, then
hands every call that ran to pyperf's Runner, which spawns worker processes
(this package again, with the plan file) and collects their values into one
pyperf suite. Each worker loads the case's data as the main process saved it
after the check, so the data timed is the data checked.

A value is the time of `loops` calls divided by loops × N (pyperf's inner
loops), so the suite holds seconds per query element; with N from 1e5 on, one
call is a value by itself, below that pyperf calibrates the loops to last the
regime's min_time. Each run also records the minor page faults per call of its
values (metadata "minor_faults"), which show what memory a call actually got.

pyperf is imported here only, so that the data, the goal summary and the report
can be loaded without it.
"""

from __future__ import annotations

import gc
import json
import os
import resource
import shutil
import statistics
import time

from bench import cases, data
from bench.regimes import Regime, fmt_count

WORKER_FLAG = "--timing-worker"  # what the workers' command line starts with
FAULTS = "minor_faults"
EXTRA = "rust_bench"  # the suite's own section: the run's plan, statuses, memory
LAUNCHER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "__main__.py")

_faults_per_call: list[float] = []  # of the values computed in this worker since the last teardown
_built: dict = {}  # the one call a worker times, with its data


class FaultsHook:
    """A pyperf hook: the median minor page faults per call of a worker's values, in the run's metadata."""

    name = FAULTS

    @classmethod
    def load(cls):  # the entry-point protocol pyperf selects hooks by
        return cls

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def teardown(self, metadata: dict) -> None:
        # Called after the warmups and again after the values: the last one stays.
        if _faults_per_call:
            metadata[FAULTS] = float(statistics.median(_faults_per_call))
        _faults_per_call.clear()


def _minor_faults() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def _time_call(loops: int, folder: str, name: str) -> float:
    """pyperf's time function: seconds for `loops` calls of one planned call on the case's saved data."""
    key = (folder, name)
    if key not in _built:
        _built.clear()
        table, q = data.load(folder)
        _built[key] = cases.build_calls(table, q, [name])[name][0]
    fn = _built[key]
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        rng = range(loops)
        f0 = _minor_faults()
        t0 = time.perf_counter()
        for _ in rng:
            fn()
        elapsed = time.perf_counter() - t0
        faults = _minor_faults() - f0
    finally:
        if enabled:
            gc.enable()
    _faults_per_call.append(faults / loops)
    return elapsed


def bench_name(case: dict, call: str) -> str:
    where = f"{case['regime']} n={fmt_count(case['tie_points'])}"
    if case["order"] != case["regime"]:
        where += f" {case['order']}"
    return f"{where}: {call}"


def _metadata(case: dict, call: str, status: str | None) -> dict:
    md = {"regime": case["regime"], "queries": case["queries"], "tie_points": case["tie_points"],
          "order": case["order"], "call": call, "reference": cases.reference_of(call)}
    if status:
        md["status"] = status
    return md


def timed(case: dict, statuses: dict) -> list[str]:
    """The calls of a case that pyperf times: a wrong result is timed and shown
    with its status; a call that raises is not."""
    return [name for name in case["calls"]
            if not statuses.get(name) or statuses[name].startswith("differs")]


def _check_case(case: dict, folder: str) -> dict:
    """Checks a case's calls and saves its data for the workers."""
    table, q = cases.case_data(case)
    calls = cases.build_calls(table, q, case["calls"])
    statuses = {}
    for name in case["calls"]:
        fn, expected = calls[name]
        statuses[name] = cases.check(fn, expected)
        gc.collect()
    data.save(table, q, folder)
    return statuses


def case_folder(plan_path: str, index: int) -> str:
    return os.path.join(os.path.dirname(plan_path), f"case-{index}")


def _runner(plan_path: str, metadata: dict):
    import pyperf

    return pyperf.Runner(program_args=(LAUNCHER, WORKER_FLAG, plan_path), metadata=metadata, hooks=[FaultsHook])


def _read(path: str, default=None):
    if default is not None and not os.path.exists(path):
        return default
    with open(path) as fh:
        return json.load(fh)


def checks_path(plan_path: str) -> str:
    return plan_path[: -len(".json")] + "-checks.json"


def run(plan_path: str, json_path: str, log) -> dict:
    """Checks and times every case of the plan into the pyperf suite json_path.

    Returns the statuses: case index (a string) -> call -> None or why not as expected.
    """
    plan = _read(plan_path)
    runner = _runner(plan_path, plan["metadata"])
    args = runner.parse_args(["--output", json_path, "--quiet", "--hook", FAULTS])
    regimes = {r["name"]: Regime.from_dict(r) for r in plan["regimes"]}
    checks = {}
    for i, case in enumerate(plan["cases"]):
        t0 = time.monotonic()
        folder = case_folder(plan_path, i)
        statuses = _check_case(case, folder)
        checks[str(i)] = statuses
        # The workers read which calls are timed from this file: it holds every
        # case up to the one being timed.
        with open(checks_path(plan_path) + ".tmp", "w") as fh:
            json.dump(checks, fh)
        os.replace(checks_path(plan_path) + ".tmp", checks_path(plan_path))
        regime = regimes[case["regime"]]
        names = timed(case, statuses)
        for name in names:
            args.processes, args.values, args.warmups = regime.processes, regime.values, regime.warmups
            args.loops, args.min_time = regime.loops, regime.min_time
            runner.bench_time_func(bench_name(case, name), _time_call, folder, name, inner_loops=case["queries"],
                                   metadata=_metadata(case, name, statuses[name]))
        shutil.rmtree(folder)
        bad = {k: v for k, v in statuses.items() if v}
        log(f"{case['regime']:6} N={fmt_count(case['queries']):>4} n={fmt_count(case['tie_points']):>4} "
            f"{case['order']:6}: {len(names)} calls timed in {time.monotonic() - t0:5.1f} s"
            + (f"; not as expected: {bad}" if bad else ""))
    return checks


def worker(plan_path: str, argv: list[str]) -> None:
    """A pyperf worker: walks the plan like the main process and times the one call its task names."""
    plan = _read(plan_path)
    data.VALUES = plan["values"]
    checks = _read(checks_path(plan_path), {})
    runner = _runner(plan_path, plan["metadata"])
    runner.parse_args(argv)
    for i, case in enumerate(plan["cases"]):
        statuses = checks.get(str(i), {})
        for name in timed(case, statuses):
            runner.bench_time_func(bench_name(case, name), _time_call, case_folder(plan_path, i), name,
                                   inner_loops=case["queries"], metadata=_metadata(case, name, statuses.get(name)))


def add_section(json_path: str, section: dict) -> None:
    """Adds the run's own section to a pyperf suite file; pyperf's tools ignore it."""
    # A run whose every call raised has no suite yet: an empty one holds the section.
    suite = _read(json_path, {"version": "1.0", "benchmarks": []})
    suite[EXTRA] = section
    with open(json_path, "w") as fh:
        json.dump(suite, fh)


def load(json_path: str) -> tuple[list[dict], dict, dict]:
    """A results file: (one row per timed call, with its values in ns per element
    and page faults per call of each run; the run's own section; the metadata
    common to all calls, such as the CPU)."""
    import pyperf

    raw = _read(json_path)
    if not raw["benchmarks"]:
        return [], raw.get(EXTRA, {}), {}
    suite = pyperf.BenchmarkSuite.load(json_path)
    rows = []
    for bench in suite.get_benchmarks():
        md = bench.get_metadata()
        runs = [run for run in bench.get_runs() if run.values]
        rows.append({"regime": md["regime"], "N": md["queries"], "n": md["tie_points"], "order": md["order"],
                     "name": md["call"], "status": md.get("status"),
                     "ns_per_element": [v * 1e9 for v in bench.get_values()],
                     "faults_per_call": [run.get_metadata()[FAULTS] for run in runs
                                         if FAULTS in run.get_metadata()]})
    return rows, raw.get(EXTRA, {}), suite.get_metadata()
