"""The benchmark of rust's four conversions against numpy.interp, numpy.searchsorted and pandas, timed by pyperf.

    bash bench/run.sh [--quick | --goal] ...      builds the module, then runs `python bench/__main__.py`
    python -m bench.compare A.json B.json         two runs side by side

Modules: data (tables and queries), regimes (N, orders, tables, pyperf settings
per run mode), cases (the calls and the check of rust's results), timing
(pyperf), memory (child-process probes), goals (the goal summary), report and
plot (from the JSON results), compare (two results files), cli (the run).
"""
