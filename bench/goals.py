"""The goal summary: each function's ratio to numpy.interp against the ratio being worked towards.

Warm regime and N = 1: the ratio of medians to numpy.interp for each order and
function, marked against its goal. The goals are reported, never asserted.
"""

from __future__ import annotations

from bench.cases import labels_of
from bench.regimes import ALL_TABLES, Regime, fmt_count

# The ratio to numpy.interp being worked towards, (int, float) per order, by
# the build: the default one (the vector path where the CPU has AVX-512), the
# portable path alone (--vector disabled, what CPUs without AVX-512 run), and
# the soft engine's float arithmetic on it (--engine soft --vector disabled,
# what 64-bit Arm and Windows run: every step in 64-bit integers).
GOALS = {"even": (0.4, 0.8), "uneven": (0.6, 0.9), "random": (0.25, 0.25), "single": (0.5, 0.5)}
PORTABLE_GOALS = {"even": (0.5, 1.2), "uneven": (0.8, 1.2), "random": (0.3, 0.3), "single": (0.5, 0.5)}
SOFT_GOALS = {**PORTABLE_GOALS, "even": (0.5, 2.5), "uneven": (0.8, 2.5), "random": (0.3, 0.5)}
# What bench/run.sh adds to the build's name where the CPU lacks AVX-512: the
# default build runs its portable path there, and is marked as that path is.
NO_LANES = "portable path (no AVX-512 on this CPU)"
# A method slower than method None by this factor is shown beside it.
WORST_SHOWN = 1.15


def goals_for(build: str) -> dict:
    """The goals of a build named as bench/run.sh names it ("default build", "vector disabled", ...)."""
    options = set(build.split(","))
    if "vector disabled" not in options and NO_LANES not in options:
        return GOALS
    return SOFT_GOALS if "engine soft" in options else PORTABLE_GOALS


def goal_of(order: str, function: str, build: str = "default build") -> float:
    return goals_for(build)[order][0 if function.endswith("_int") else 1]


def mark(ratio: float, goal: float) -> str:
    return f"{ratio:.2f}" + ("✓" if ratio <= goal else "✗")


def render(head: list[str], rows: list[list[str]], markdown: bool) -> list[str]:
    """A table as markdown or as aligned plain text."""
    if markdown:
        out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        return out + ["| " + " | ".join(r) + " |" for r in rows]
    widths = [max(len(r[i]) for r in [head] + rows) for i in range(len(head))]
    return ["  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in [head] + rows]


def goal_cell(by: dict, regime: str, order: str, function: str, tables: list[int],
              build: str = "default build") -> tuple[str, int, int]:
    """The ratios of one function at each table size: (text, sizes met, sizes).

    A size counts as met when every method of the function is within the build's
    goal; a failed or wrong call never is.
    """
    goal = goal_of(order, function, build)
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


def goal_table(by: dict, regimes: list[Regime], functions: list[str], markdown: bool,
               build: str = "default build") -> str:
    """The summary: one row per order, one column per function, and the count of cells met."""
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
            goals = goals_for(build)[order]
            label = ("N = 1" if order == "single" else order) + " (n = " + " / ".join(map(fmt_count, tables)) + "; "
            label += (f"≤ {goals[0]}" if goals[0] == goals[1] else f"int ≤ {goals[0]}, float ≤ {goals[1]}") + ")"
            row = [label]
            for fn in functions:
                text, m, c = goal_cell(by, regime.name, order, fn, tables, build)
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
