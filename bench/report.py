"""The report of a results file: time and memory tables, the goal summary and results.md, built from the JSON alone."""

from __future__ import annotations

import os
import statistics

from bench.cases import ALL, INTERP, OURS, reference_of
from bench.goals import goal_table, render
from bench.regimes import Regime, fmt_count


class Results:
    """One results file, as the report reads it."""

    def __init__(self, path: str):
        from bench import timing

        rows, self.section, self.common = timing.load(path)
        self.path = path
        self.regimes = [Regime.from_dict(r) for r in self.section.get("regimes", [])]
        self.functions = self.section.get("functions", [])
        self.env = self.section.get("environment", {})
        self.memory = self.section.get("memory", [])
        self.by = summarise(rows, self.section)

    def describe(self) -> str:
        """The CPU, the build and the revision, for a heading."""
        env = self.env
        cpu = env.get("cpu") or self.common.get("cpu_model_name", "unknown CPU")
        return (f"{cpu} ({env.get('cores')} cores); module: {env.get('build')}; {env.get('values')} float values; "
                f"revision {env.get('revision')}")


def summarise(rows: list[dict], section: dict) -> dict:
    """(regime, n, order, name) -> {status, and for a timed call: median, min, max
    in ns per element, faults per call, and the ratio to numpy.interp}."""
    by = {}
    for r in rows:
        key = (r["regime"], r["n"], r["order"], r["name"])
        s = r["ns_per_element"]
        by[key] = {"status": r["status"]}
        if s:
            by[key].update(median=statistics.median(s), min=min(s), max=max(s))
        if r["faults_per_call"]:
            by[key]["faults"] = statistics.median(r["faults_per_call"])
    # Calls that raised were not timed: only their status is there.
    for i, case in enumerate(section.get("cases", [])):
        for name, status in section.get("statuses", {}).get(str(i), {}).items():
            key = (case["regime"], case["tie_points"], case["order"], name)
            if status and key not in by:
                by[key] = {"status": status}
    for (regime, n, order, name), v in by.items():
        ref = by.get((regime, n, order, reference_of(name)), {})
        if "median" in v and "median" in ref:
            v["ratio"] = v["median"] / ref["median"]
    return by


def fmt_ns(v: float) -> str:
    if v >= 100:
        return f"{v:.0f}"
    if v >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


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


def regime_text(r: Regime) -> str:
    size = f"{8 * r.n_queries / 2**20:.0f} MiB"
    return {"single": "*single*: N = 1, the cost of one call",
            "warm": f"*warm*: repeated calls with N = {fmt_count(r.n_queries)} in one process, so that a "
                    f"freed {size} block comes back from the C allocator to the next call, as in a user's "
                    "loop over chunks",
            "cold": f"*cold*: calls with N = {fmt_count(r.n_queries)}, whose {size} blocks glibc maps "
                    "afresh on every call"
                    + (" (from 32 MiB on, the most its dynamic mmap threshold reaches)" if 8 * r.n_queries
                       >= 2**25 else " (only until its dynamic mmap threshold has risen past them: a smoke run)")
            }[r.name]


def values_text(r: Regime) -> str:
    each = (f"loops calibrated to last at least {r.min_time * 1000:g} ms" if r.loops == 0
            else "one call each")
    skipped = f"after {r.warmups} warmup{'s' if r.warmups > 1 else ''}" if r.warmups else "no warmup"
    return (f"{r.name}: {r.processes} worker process{'es' if r.processes > 1 else ''} × {r.values} values "
            f"({each}), {skipped}")


def markdown(res: Results, plotted: bool) -> str:
    """results.md: the goal summary, how it is measured, the time and memory tables."""
    env, regimes, by = res.env, res.regimes, res.by
    goals = goal_table(by, regimes, res.functions, markdown=True, build=env.get("build", ""))
    md = [
        "# Speed and memory",
        "",
        f"Made by `{res.section.get('command')}` in {res.section.get('seconds', 0) / 60:.1f} min on "
        f"{env.get('cpu')} ({env.get('cores')} cores; module: {env.get('build')}; {env.get('values')} float "
        f"values), Python {env.get('python')}, NumPy {env.get('numpy')}, pandas {env.get('pandas')}, "
        f"pyperf {env.get('pyperf')}, module at revision {env.get('revision')}.",
        "",
    ]
    if goals:
        md += ["## Goals", "", goals, ""]
    md += [
        "## How it is measured",
        "",
        "Each cell: median ns per query element over the values pyperf collected (min–max), then ×the ratio to "
        "`numpy.interp` on float64 copies of the same data in the same run (forward rows to "
        "`np.interp(x, xp, fp)`, inverse rows to `np.interp(f, fp, xp)`); below 1 is faster than "
        "`numpy.interp`. n is the number of tie points. Queries are whole positions over the table: *even* "
        "(one constant step, like sample indices), *uneven* (sorted random positions), *random* (the even ones "
        "in a random order) and, in the cold regime only, *sorted* (floor(k·span/(N−1)), whose steps differ by "
        "one here and there). Inverse queries are the exact values there, the same for every method, so every "
        "call succeeds and each rust result was checked against the exact one before timing.",
        "",
        "Regimes: " + "; ".join(regime_text(r) for r in regimes) + ". Each of the last two states the minor "
        "page faults per call that rust's functions and `numpy.interp` actually paid.",
        "",
        "The pandas rows (`pd.Index(table).get_indexer(queries, method=...)`, index built once outside the "
        "timing; single queries and the cold regime's sorted and random orders only) and `np.searchsorted` "
        "find tie points rather than positions: timing only. `np.copyto` copies N uint64 into an existing "
        "array: the memory-bandwidth floor. Each call is timed by pyperf in worker processes of its own: "
        + "; ".join(values_text(r) for r in regimes) + ". The raw values, with pyperf's metadata, are in "
        "the run's `results.json`.",
        "",
    ]
    if plotted:
        md += ["![ns per element against table size, warm and cold regimes](speed.png)", ""]
    md += ["## Time", "", speed_tables(by, regimes, markdown=True)]
    if res.memory:
        md += ["## Memory", "", memory_table(res.memory, markdown=True), ""]
    return "\n".join(md)


def write(res: Results, out: str, log) -> bool:
    """results.md and speed.png in out; returns whether the plot was made."""
    from bench import plot

    try:
        plot.plot(res.by, res.regimes, os.path.join(out, "speed.png"))
        plotted = True
    except ImportError:
        log("matplotlib missing: no plot")
        plotted = False
    with open(os.path.join(out, "results.md"), "w") as fh:
        fh.write(markdown(res, plotted))
    return plotted
