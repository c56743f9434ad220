"""Two results files side by side: each call's ns per element and ratio to numpy.interp, and both goal summaries.

    python -m bench.compare A.json B.json [--pyperf]
    bash bench/run.sh --compare A.json B.json [--pyperf]

Ratios to numpy.interp are taken within each run, so they compare across CPUs;
ns per element compare two commits on one machine. --pyperf adds pyperf's own
comparison of every call (`python -m pyperf compare_to A B`), with its
significance test.
"""

from __future__ import annotations

import argparse
import subprocess
import sys

from bench.cases import ALL
from bench.goals import goal_table, render
from bench.regimes import fmt_count
from bench.report import Results, fmt_ns


def change_cell(a: dict | None, b: dict | None) -> str:
    """ns A → ns B (change), ×ratio A → ×ratio B."""
    if a is None or b is None or "median" not in a or "median" not in b:
        return "—"
    text = f"{fmt_ns(a['median'])} → {fmt_ns(b['median'])} ({b['median'] / a['median'] - 1:+.0%})"
    if "ratio" in a and "ratio" in b:
        text += f", ×{a['ratio']:.2f} → ×{b['ratio']:.2f}"
    if a["status"] or b["status"]:
        text += f" [{a['status'] or 'ok'} / {b['status'] or 'ok'}]"
    return text


def tables(a: Results, b: Results) -> list[str]:
    """One table per regime and order that both runs measured."""
    out = []
    b_regimes = {r.name: r for r in b.regimes}
    for ra in a.regimes:
        rb = b_regimes.get(ra.name)
        if rb is None or ra.n_queries != rb.n_queries:
            continue
        sizes = [n for n in ra.tables if n in rb.tables]
        for order in (o for o in ra.orders if o in rb.orders):
            names = [name for name in ALL if any((ra.name, n, order, name) in a.by and (ra.name, n, order, name)
                                                 in b.by for n in sizes)]
            if not names:
                continue
            rows = [[name] + [change_cell(a.by.get((ra.name, n, order, name)), b.by.get((ra.name, n, order, name)))
                              for n in sizes] for name in names]
            out += ["", f"{ra.title(order)}: ns per element A → B (change), ×ratio to numpy.interp A → B"]
            out += render(["call"] + [f"n = {fmt_count(n)}" for n in sizes], rows, False)
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench.compare", description=__doc__.split("\n\n")[0])
    parser.add_argument("a", help="the first results file (results.json of a run)")
    parser.add_argument("b", help="the second results file")
    parser.add_argument("--pyperf", action="store_true", help="add pyperf's compare_to of every call")
    args = parser.parse_args(argv)
    a, b = Results(args.a), Results(args.b)
    lines = [f"A: {args.a}: {a.describe()}", f"B: {args.b}: {b.describe()}"]
    body = tables(a, b)
    if not body:
        lines.append("\nThe two runs share no regime with the same N: nothing to compare call by call.")
    lines += body
    for label, res in (("A", a), ("B", b)):
        goals = goal_table(res.by, res.regimes, res.functions, markdown=False, build=res.env.get("build", ""))
        if goals:
            lines += ["", f"Goal summary of {label} ({res.describe()}):", goals]
    print("\n".join(lines), flush=True)
    if args.pyperf:
        print()
        return subprocess.run([sys.executable, "-m", "pyperf", "compare_to", "--table", args.a, args.b]).returncode
    return 0


if __name__ == "__main__":
    sys.exit(main())
