"""The benchmark run: options, the plan of cases, timing and memory, then the report from the results file.

    python bench/__main__.py [--quick | --goal] [--only FUNCTIONS] [--values half|real] [--out DIR]
    python bench/__main__.py --compare A.json B.json [--pyperf]

Output: DIR (default bench/results/) gets results.json (pyperf's suite of every
timed call, with the run's plan, check statuses, environment and memory in its
own section), results.md and speed.png; a full run without --out also copies
results.md and speed.png to bench/, for the README. --goal measures only the
goal summary's cells and prints it; it writes results.json and goal.md only
with --out.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import shutil
import subprocess
import tempfile
import time

from bench import cases, data, memory, report, timing
from bench.goals import NO_LANES, goal_table
from bench.regimes import fmt_count, regimes_for

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)


def environment(build: str) -> dict:
    import numpy as np

    import rust

    info = {"python": platform.python_version(), "numpy": np.__version__, "machine": platform.machine(),
            "cores": os.cpu_count(), "module": os.path.abspath(rust.__file__), "build": build,
            "values": data.VALUES}
    for name in ("pandas", "pyperf"):
        try:
            info[name] = __import__(name).__version__
        except ImportError:
            info[name] = None
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
        info["revision"] = (rev + (" (with uncommitted changes)" if dirty else "")) or None
    except OSError:
        info["revision"] = None
    return info


def cpu_has_lanes() -> bool:
    """Whether the module's vector path runs here: AVX-512 F and DQ, as the module asks of the CPU."""
    try:
        with open("/proc/cpuinfo") as fh:
            flags = re.search(r"^flags\s*:\s*(.*)$", fh.read(), re.M).group(1).split()
    except (OSError, AttributeError):
        return platform.machine() in ("x86_64", "AMD64")  # not known: as built
    return "avx512f" in flags and "avx512dq" in flags


def build_run(build: str) -> str:
    """The build's name as its goals read it: where the CPU lacks AVX-512, the
    default build runs the portable path."""
    if "vector disabled" in build.split(",") or cpu_has_lanes():
        return build
    return f"{build},{NO_LANES}"


def run_metadata(env: dict) -> dict:
    """What pyperf stores with every run besides its own metadata (CPU, Python, date...)."""
    md = {"rust_build": env["build"], "rust_float_values": env["values"], "rust_revision": env["revision"],
          "numpy_version": env["numpy"], "pandas_version": env["pandas"]}
    return {k: v for k, v in md.items() if v}


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="bash bench/run.sh", description=__doc__.split("\n\n")[0])
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--quick", action="store_true", help="smaller N, fewer tables and values: a smoke run")
    mode.add_argument("--goal", action="store_true",
                      help="only the goal summary's cells (warm regime, N = 1), fewer values; prints the table")
    mode.add_argument("--compare", nargs=2, metavar=("A", "B"),
                      help="compare two results files (results.json of two runs) instead of measuring")
    p.add_argument("--pyperf", action="store_true", help="with --compare: add pyperf's compare_to")
    p.add_argument("--only", metavar="FUNCTIONS",
                   help="comma-separated functions to measure, e.g. forward_int,inverse_float")
    p.add_argument("--out", help="directory for all output (default bench/results/; with --goal: none)")
    p.add_argument("--no-memory", action="store_true", help="skip the memory measurements")
    p.add_argument("--regimes", help="comma-separated regimes to run out of single, warm, cold")
    p.add_argument("--tables", type=float, nargs="+", metavar="n",
                   help="table sizes to run instead of the default ones (at least 2)")
    p.add_argument("--values", choices=["half", "real"], default="half",
                   help="float64 tables of half-integers (every step exact; the default) or of real values")
    p.add_argument("--build", default="default build",
                   help="how the module was built, for the report (bench/run.sh fills it in)")
    return p


def chosen_regimes(mode: str, args):
    regimes = regimes_for(mode)
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
    return regimes


def measure_memory(regimes, functions: list[str], have_pandas: bool, out: str, log) -> list[dict]:
    """Every call on sorted queries with a small and the largest table; rust's
    functions also on random queries with a middle-sized one (the peers' memory
    does not depend on the order; with the largest table each random call takes
    seconds)."""
    cold = next((r for r in regimes if r.name == "cold"), None)
    if cold is None:
        return []
    tables = cold.tables
    small = [t for t in tables if t >= 100][:1]
    large = tables[-1]
    middle = [t for t in tables if 100 < t < large][-1:] or [large]
    ours = [label for fn in functions for label in cases.labels_of(fn)]
    names = ours + [p for p in cases.PEERS if have_pandas or p not in cases.PANDAS]
    jobs = [(t, "sorted", names) for t in small if t != large] + [(large, "sorted", names)]
    jobs.append((middle[0], "random", ours))
    log(f"memory at N = {fmt_count(cold.n_queries)}, one fresh process per call:")
    with tempfile.TemporaryDirectory(dir=out) as tmp:
        return memory.measure(cold.n_queries, jobs, tmp, log)


def main(argv: list[str]) -> int:
    if argv and argv[0] == timing.WORKER_FLAG:
        timing.worker(argv[1], argv[2:])
        return 0
    args = parser().parse_args(argv)
    if args.compare:
        from bench import compare

        return compare.main(list(args.compare) + (["--pyperf"] if args.pyperf else []))
    data.VALUES = args.values
    started = time.monotonic()
    mode = "goal" if args.goal else "quick" if args.quick else "full"
    functions = cases.parse_only(args.only)
    regimes = chosen_regimes(mode, args)
    writes = args.out is not None or mode != "goal"
    out = os.path.abspath(args.out or os.path.join(BENCH_DIR, "results"))
    publish = args.out is None and mode == "full" and not (args.regimes or args.tables or args.only)
    try:
        import pandas  # noqa: F401

        have_pandas = True
    except ImportError:
        have_pandas = False
    args.build = build_run(args.build)
    env = environment(args.build)

    def log(msg: str) -> None:
        print(msg, flush=True)

    log(f"rust from {env['module']} ({args.build}; {args.values} float values); numpy {env['numpy']}, "
        f"pandas {env['pandas']}, pyperf {env['pyperf']}, Python {env['python']}, {env['cpu']} "
        f"({env['cores']} cores)")
    plan = {"values": args.values, "metadata": run_metadata(env), "regimes": [r.to_dict() for r in regimes],
            "cases": cases.plan(mode, regimes, functions, have_pandas)}
    if writes:
        os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="rust-bench-") as tmp:
        plan_path = os.path.join(tmp, "plan.json")
        with open(plan_path, "w") as fh:
            json.dump(plan, fh)
        json_path = os.path.join(out if writes else tmp, "results.json")
        if os.path.exists(json_path):
            os.remove(json_path)  # pyperf refuses to write over a file
        statuses = timing.run(plan_path, json_path, log)
        mem = [] if mode == "goal" or args.no_memory else measure_memory(regimes, functions, have_pandas, out, log)
        cmd = "bash bench/run.sh" + "".join(
            f" {flag}" for flag, on in (("--quick", args.quick), ("--goal", args.goal),
                                        (f"--only {args.only}", args.only), (f"--regimes {args.regimes}", args.regimes),
                                        (f"--values {args.values}", args.values != "half"),
                                        (f"--out {args.out}", args.out)) if on)
        timing.add_section(json_path, {
            "mode": mode, "command": cmd, "functions": functions, "regimes": plan["regimes"],
            "cases": plan["cases"], "statuses": statuses, "environment": env, "memory": mem,
            "seconds": time.monotonic() - started})
        res = report.Results(json_path)
        elapsed = time.monotonic() - started
        if mode == "goal":
            print(f"\n{env['cpu']} ({env['cores']} cores); module: {args.build}; {args.values} float values")
            print(goal_table(res.by, res.regimes, functions, markdown=False, build=args.build))
            if writes:
                with open(os.path.join(out, "goal.md"), "w") as fh:
                    fh.write(goal_table(res.by, res.regimes, functions, markdown=True, build=args.build) + "\n")
                log(f"\nwritten to {out}")
            log(f"\n{elapsed:.0f} s")
            return 0
    print("\n" + goal_table(res.by, res.regimes, functions, markdown=False, build=args.build))
    print(report.speed_tables(res.by, res.regimes, markdown=False))
    print(report.memory_table(res.memory, markdown=False))
    plotted = report.write(res, out, log)
    if publish:
        shutil.copy(os.path.join(out, "results.md"), os.path.join(BENCH_DIR, "results.md"))
        if plotted:
            shutil.copy(os.path.join(out, "speed.png"), os.path.join(BENCH_DIR, "speed.png"))
    log(f"\nwritten to {out}" + (" and bench/results.md, bench/speed.png" if publish else "")
        + f"; {elapsed:.0f} s")
    return 0
