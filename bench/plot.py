"""The plot of ns per element against table size, warm and cold regimes, from a results summary."""

from __future__ import annotations

from bench.cases import ALL, FLOOR, OURS
from bench.regimes import Regime

PLOT_ORDERS = ["even", "uneven", "random"]


def plot(by: dict, regimes: list[Regime], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = [r for r in regimes if r.name != "single"]
    if not shown:
        raise ImportError("nothing to plot without the warm or cold regime")
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
    handles = {}
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
