#!/usr/bin/env python3
"""Checks of the benchmark's own data, goal summary and results handling, which the timings rest on.

    .venv-bench/bin/python bench/test_bench.py      (or any Python with NumPy and the module)

The expected results that every rust call is checked against are recomputed here
from the tie points alone, in Python integers, so a slip in the query generator
shows up as a failure here rather than as a rust call reported wrong. The
results file's round trip needs pyperf and is skipped without it.
"""

import bisect
import importlib.util
import json
import os
import sys
import tempfile
import unittest
from fractions import Fraction

import numpy as np

# Run as a file, this folder leads sys.path: the checkout's root takes its place,
# so that the benchmark imports as the package `bench`; the tests' exact
# references come from their own folder.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[0] = ROOT
sys.path.insert(1, os.path.join(ROOT, "tests", "python"))
import reference  # noqa: E402
from bench import cases, data, goals, report, timing  # noqa: E402
from bench.cases import METHODS  # noqa: E402
from bench.regimes import FUNCTIONS, MODES, Regime, regimes_for  # noqa: E402

HAVE_PYPERF = importlib.util.find_spec("pyperf") is not None


def segment(table: "data.Table", x: int) -> tuple[int, int, int, int]:
    """(x0, x1, f0, f1): the ends of the segment holding position x, values offset-free."""
    xp = [int(v) for v in table.xp]
    i = min(max(bisect.bisect_right(xp, x) - 1, 0), len(xp) - 2)
    f0, f1 = (int(v) - data.INT_OFFSET for v in table.fp_int[i:i + 2])
    return xp[i], xp[i + 1], f0, f1


def exact_value(table: "data.Table", x: int) -> Fraction:
    """Offset-free value at position x by interpolating between the tie points."""
    return reference.exact_value(x, *segment(table, x))


class Orders(unittest.TestCase):
    #           n    N
    CASES = [(2, 1_000), (100, 5_000), (10**4, 20_000)]

    def test_shapes_of_the_orders(self):
        for n, N in self.CASES:
            table = data.Table(n)
            first, last = int(table.xp[0]), int(table.xp[-1])
            with self.subTest(n=n, N=N):
                even = data.positions(table, N, "even").astype(object)
                steps = set(np.diff(even))
                self.assertEqual(len(steps), 1, "even positions must have one constant step")
                self.assertGreaterEqual(steps.pop(), 1)
                self.assertTrue(first <= even[0] and even[-1] <= last)

                sorted_ = data.positions(table, N, "sorted").astype(object)
                # The earlier order: both ends of the table, steps of floor and ceil.
                self.assertEqual((sorted_[0], sorted_[-1]), (first, last))
                self.assertLessEqual(len(set(np.diff(sorted_))), 2)

                uneven = data.positions(table, N, "uneven").astype(object)
                gaps = np.diff(uneven)
                self.assertTrue(all(g >= 0 for g in gaps), "uneven positions must be sorted")
                self.assertGreater(len(set(gaps)), 10, "uneven gaps must vary")
                self.assertTrue(first <= uneven[0] and uneven[-1] <= last)

                shuffled = data.positions(table, N, "random")
                self.assertTrue(np.array_equal(np.sort(shuffled), data.positions(table, N, "even")))
                self.assertFalse(np.array_equal(shuffled, data.positions(table, N, "even")))

    def test_a_table_too_short_for_the_queries_is_refused(self):
        table = data.Table(2)
        span = int(table.xp[-1]) - int(table.xp[0])
        with self.assertRaises(ValueError):
            data.positions(table, span + 2, "even")

    def test_expected_results_are_the_exact_values(self):
        for n, N in self.CASES:
            table = data.Table(n)
            for order in ("even", "uneven", "random", "sorted", "single"):
                q = data.Queries(table, N if order != "single" else 1, order)
                # The first queries, with the table's first tie point for most
                # orders, and the rest sampled with a prime stride.
                picks = list(range(min(len(q.x), 50))) + list(range(0, len(q.x), 997))
                with self.subTest(n=n, order=order):
                    for i in picks:
                        x = int(q.x[i])
                        want = exact_value(table, x)
                        self.assertEqual(want.denominator, 1, "the table must map whole positions to whole values")
                        self.assertEqual(int(q.f_int[i]) - data.INT_OFFSET, want)
                        self.assertEqual(Fraction(float(q.f_float[i])), Fraction(data.FLOAT_START + want, 2))
                        self.assertEqual(float(q.x_f[i]), float(x))
                        # The inverse calls are checked against x under every method.
                        back = reference.exact_position(want, *segment(table, x))
                        self.assertEqual([reference.round_by_method(back, m) for m in METHODS], [x] * len(METHODS))

    def test_tie_points_themselves(self):
        table = data.Table(100)
        for i in (0, 1, 50, 98, 99):
            x = int(table.xp[i])
            self.assertEqual(exact_value(table, x) + data.INT_OFFSET, int(table.fp_int[i]))


def by_of(regime, order, rows):
    """A summary with the given ratios: rows are (n, name, ratio)."""
    return {(regime, n, order, name): {"status": None, "median": 1.0, "ratio": r} for n, name, r in rows}


class Goals(unittest.TestCase):
    def test_marks_against_each_goal(self):
        #  order     function         ratio  met
        cases = [
            ("even",   "forward_int",   0.40, True),   # the goal itself counts as met
            ("even",   "forward_int",   0.41, False),
            ("even",   "forward_float", 0.80, True),   # float goals are looser
            ("uneven", "forward_int",   0.61, False),
            ("uneven", "forward_float", 0.90, True),
            ("random", "forward_float", 0.26, False),
            ("single", "forward_int",   0.49, True),
        ]
        for order, fn, ratio, met in cases:
            with self.subTest(order=order, fn=fn, ratio=ratio):
                regime = "single" if order == "single" else "warm"
                text, m, count = goals.goal_cell(by_of(regime, order, [(100, fn, ratio)]), regime, order, fn, [100])
                self.assertEqual((m, count), (int(met), 1))
                self.assertEqual(text, f"{ratio:.2f}" + ("✓" if met else "✗"))

    def test_each_build_is_marked_against_its_own_goals(self):
        #  build                          order     function         goal
        cases = [
            ("default build",               "even",   "forward_float", 0.8),
            ("default build",               "random", "inverse_int",   0.25),
            ("vector disabled",             "even",   "inverse_float", 1.2),
            ("vector disabled",             "uneven", "forward_int",   0.8),
            ("vector disabled",             "random", "forward_float", 0.3),
            ("engine soft,vector disabled", "uneven", "forward_float", 2.5),
            ("vector disabled,engine soft", "random", "inverse_float", 0.5),
            ("vector disabled,engine soft", "even",   "inverse_int",   0.5),  # no float arithmetic
            ("engine soft",                 "even",   "forward_float", 0.8),  # the lanes do most of it
            ("default build," + goals.NO_LANES, "even", "inverse_float", 1.2),  # no lanes to run
            ("engine soft," + goals.NO_LANES,   "even", "inverse_float", 2.5),
        ]
        for build, order, fn, goal in cases:
            with self.subTest(build=build, order=order, fn=fn):
                self.assertEqual(goals.goal_of(order, fn, build), goal)
                by = by_of("warm", order, [(100, fn, goal), (10**4, fn, goal + 0.01)])
                text, met, count = goals.goal_cell(by, "warm", order, fn, [100, 10**4], build)
                self.assertEqual((met, count), (1, 2))
                self.assertTrue(text.endswith("✗"))

    def test_slowest_method_is_shown_and_counted(self):
        rows = [(100, "inverse_int", 0.40), (100, "inverse_int nearest", 0.42),
                (100, "inverse_int ffill", 0.45), (100, "inverse_int bfill", 0.60),
                (10**4, "inverse_int", 0.35), (10**4, "inverse_int nearest", 0.36),
                (10**4, "inverse_int ffill", 0.37), (10**4, "inverse_int bfill", 0.38)]
        text, met, count = goals.goal_cell(by_of("warm", "even", rows), "warm", "even", "inverse_int", [100, 10**4])
        # 100: bfill is both much slower and over the goal; 1e4: all close and met.
        self.assertEqual(text, "0.40✓ (bfill 0.60✗) / 0.35✓")
        self.assertEqual((met, count), (1, 2))

    def test_slowest_method_crossing_the_goal_is_shown_even_when_close(self):
        rows = [(100, "inverse_float", 0.78), (100, "inverse_float nearest", 0.82)]
        text, met, count = goals.goal_cell(by_of("warm", "even", rows), "warm", "even", "inverse_float", [100])
        self.assertEqual(text, "0.78✓ (nearest 0.82✗)")
        self.assertEqual((met, count), (0, 1))

    def test_method_none_slowest_shows_no_brackets(self):
        rows = [(100, "inverse_float", 1.40), (100, "inverse_float nearest", 0.80)]
        text, met, count = goals.goal_cell(by_of("warm", "even", rows), "warm", "even", "inverse_float", [100])
        self.assertEqual((text, met, count), ("1.40✗", 0, 1))

    def test_a_wrong_result_is_never_met(self):
        by = by_of("warm", "random", [(100, "inverse_int", 0.10), (100, "inverse_int ffill", 0.11)])
        by[("warm", 100, "random", "inverse_int ffill")]["status"] = "differs from the exact result (1 elements)"
        text, met, count = goals.goal_cell(by, "warm", "random", "inverse_int", [100])
        self.assertEqual((text, met, count), ("0.10✓ [wrong result]", 0, 1))

    def test_missing_and_failed_cells(self):
        by = {("warm", 100, "even", "forward_int"): {"status": "raises ValueError: x"}}
        text, met, count = goals.goal_cell(by, "warm", "even", "forward_int", [100, 10**4])
        self.assertEqual(text, "failed / —")
        self.assertEqual((met, count), (0, 1))

    def test_only(self):
        self.assertEqual(cases.parse_only("inverse_float, forward_int"), ["forward_int", "inverse_float"])
        self.assertEqual(cases.parse_only(None), FUNCTIONS)
        for bad in ("forward", "inverse_int nearest", ","):
            with self.subTest(bad=bad), self.assertRaises(SystemExit):
                cases.parse_only(bad)


class RealValues(unittest.TestCase):
    def setUp(self):
        data.VALUES = "real"

    def tearDown(self):
        data.VALUES = "half"

    def test_tables_are_increasing_and_not_half_integers(self):
        table = data.Table(1000)
        self.assertTrue(np.all(np.diff(table.fp_float) > 0))
        self.assertGreater(np.count_nonzero(table.fp_float * 2 != np.round(table.fp_float * 2)), 990)
        q = data.Queries(table, 1000, "uneven")
        self.assertFalse(q.float_checked)
        self.assertTrue(np.all((q.f_float >= table.fp_float[0]) & (q.f_float <= table.fp_float[-1])))

    def test_inverse_float_is_judged_without_method_none(self):
        # Method None finds nearly nothing on such tables: "nearest" leads the cell.
        rows = [(100, "inverse_float nearest", 0.70), (100, "inverse_float ffill", 0.95)]
        text, met, count = goals.goal_cell(by_of("warm", "even", rows), "warm", "even", "inverse_float", [100])
        self.assertEqual((text, met, count), ("0.70✓ (ffill 0.95✗)", 0, 1))


class Check(unittest.TestCase):
    def test_a_wrong_or_raising_call_is_reported(self):
        want = np.arange(10, dtype=np.int64)
        wrong = want.copy()
        wrong[3] += 1
        calls = [
            (lambda: want.copy(), None),
            (lambda: wrong, "differs from the exact result (1 elements)"),
            (lambda: want[:9], "differs from the exact result (-1 elements)"),
        ]
        for fn, status in calls:
            with self.subTest(status=status):
                self.assertEqual(cases.check(fn, want), status)
        self.assertTrue(cases.check(lambda: 1 // 0, want).startswith("raises ZeroDivisionError"))



class Plans(unittest.TestCase):
    def test_every_call_of_a_run_has_its_own_name_and_reference(self):
        # pyperf refuses a second benchmark of one name, and a row without its
        # numpy.interp row in the same case has no ratio.
        for mode in MODES:
            for values in ("half", "real"):
                data.VALUES = values
                try:
                    plan = cases.plan(mode, regimes_for(mode), FUNCTIONS, have_pandas=True)
                finally:
                    data.VALUES = "half"
                with self.subTest(mode=mode, values=values):
                    names = [timing.bench_name(c, call) for c in plan for call in c["calls"]]
                    self.assertEqual(len(names), len(set(names)))
                    for c in plan:
                        self.assertLessEqual(set(c["calls"]), set(cases.ALL))
                        self.assertLessEqual({cases.reference_of(call) for call in c["calls"]}, set(c["calls"]))

    def test_which_peers_each_mode_times(self):
        goal = cases.plan("goal", regimes_for("goal"), ["forward_int", "inverse_int"], have_pandas=True)
        self.assertEqual({call for c in goal for call in c["calls"]},
                         set(cases.labels_of("forward_int") + cases.labels_of("inverse_int") + cases.INTERP))
        full = cases.plan("full", regimes_for("full"), FUNCTIONS, have_pandas=True)
        with_pandas = {(c["regime"], c["order"]) for c in full if set(cases.PANDAS) <= set(c["calls"])}
        self.assertEqual(with_pandas, {("single", "single"), ("cold", "sorted"), ("cold", "random")})
        self.assertFalse(any(set(cases.PANDAS) & set(c["calls"])
                             for c in cases.plan("full", regimes_for("full"), FUNCTIONS, have_pandas=False)))

    def test_a_raising_call_is_not_timed_a_wrong_one_is(self):
        case = {"calls": ["forward_int", "inverse_int", "inverse_int ffill", "np.interp forward"]}
        statuses = {"forward_int": None, "inverse_int": "raises KeyError: 'f not found'",
                    "inverse_int ffill": "differs from the exact result (3 elements)"}
        # A worker reading a case the checks file does not hold yet times every call.
        self.assertEqual(timing.timed(case, statuses), ["forward_int", "inverse_int ffill", "np.interp forward"])

    def test_regimes_survive_the_results_file(self):
        for mode in MODES:
            for r in regimes_for(mode):
                back = Regime.from_dict(json.loads(json.dumps(r.to_dict())))
                self.assertEqual((back.name, back.n_queries, back.tables, back.loops, back.title("even")),
                                 (r.name, r.n_queries, r.tables, r.loops, r.title("even")))


def row(regime, n, order, name, ns, faults=(), status=None):
    return {"regime": regime, "N": 4 * 10**6, "n": n, "order": order, "name": name, "status": status,
            "ns_per_element": list(ns), "faults_per_call": list(faults)}


class Summary(unittest.TestCase):
    def test_medians_ratios_faults_and_untimed_calls(self):
        rows = [row("warm", 100, "even", "forward_int", [2.0, 1.0, 9.0], faults=[0.0, 2.0, 1.0]),
                row("warm", 100, "even", "np.interp forward", [4.0, 4.0, 5.0]),
                row("warm", 100, "even", "inverse_int ffill", [3.0], status="differs from the exact result (1 elements)"),
                row("warm", 100, "even", "np.interp inverse", [6.0])]
        section = {"cases": [{"regime": "warm", "tie_points": 100, "order": "even",
                              "calls": ["forward_int", "inverse_int", "inverse_int ffill"]}],
                   "statuses": {"0": {"forward_int": None, "inverse_int": "raises KeyError: 'f not found'"}}}
        by = report.summarise(rows, section)
        fwd = by[("warm", 100, "even", "forward_int")]
        self.assertEqual((fwd["median"], fwd["min"], fwd["max"], fwd["faults"], fwd["ratio"]), (2.0, 1.0, 9.0, 1.0, 0.5))
        self.assertEqual(by[("warm", 100, "even", "inverse_int ffill")]["ratio"], 0.5)  # to the inverse reference
        self.assertEqual(by[("warm", 100, "even", "inverse_int")], {"status": "raises KeyError: 'f not found'"})
        self.assertEqual(report.cell(fwd, with_range=True), "2.00 (1.00–9.00) ×0.50")
        text, met, count = goals.goal_cell(by, "warm", "even", "inverse_int", [100])
        self.assertEqual((text, met, count), ("failed", 0, 1))

    def test_faults_hook_keeps_the_values_of_its_last_teardown(self):
        hook = timing.FaultsHook.load()()
        metadata = {}
        timing._faults_per_call.extend([10.0, 0.0, 0.0])  # warmups
        hook.teardown(metadata)
        timing._faults_per_call.extend([0.0, 1.0, 3.0])  # values
        hook.teardown(metadata)
        self.assertEqual(metadata, {timing.FAULTS: 1.0})
        self.assertEqual(timing._faults_per_call, [])


@unittest.skipUnless(HAVE_PYPERF, "pyperf is not installed here (the benchmark's venv has it)")
class ResultsFile(unittest.TestCase):
    def suite_file(self, tmp, name, ns_by_call, cpu):
        import pyperf

        benches = []
        for call, ns in ns_by_call.items():
            case = {"regime": "warm", "queries": 4 * 10**6, "tie_points": 100, "order": "even"}
            md = dict(timing._metadata(case, call, None), name=timing.bench_name(case, call), unit="second",
                      loops=1, inner_loops=case["queries"], cpu_model_name=cpu, minor_faults=0.0)
            benches.append(pyperf.Benchmark([pyperf.Run([v * 1e-9 for v in ns], warmups=[(1, ns[0] * 1e-9)],
                                                        metadata=md, collect_metadata=False)]))
        path = os.path.join(tmp, name)
        pyperf.BenchmarkSuite(benches).dump(path)
        regime = Regime("warm", 4 * 10**6, ["even"], [100], processes=1, values=2)
        timing.add_section(path, {"regimes": [regime.to_dict()], "functions": ["forward_int"],
                                  "environment": {"cores": 2, "build": "default build", "values": "half"}})
        return path

    def test_two_runs_compared(self):
        from bench import compare

        with tempfile.TemporaryDirectory() as tmp:
            a = report.Results(self.suite_file(tmp, "a.json", {"forward_int": [2.0, 3.0, 4.0],
                                                                "np.interp forward": [10.0, 10.0]}, "CPU A"))
            b = report.Results(self.suite_file(tmp, "b.json", {"forward_int": [1.5, 1.5],
                                                                "np.interp forward": [5.0, 5.0]}, "CPU B"))
        self.assertAlmostEqual(a.by[("warm", 100, "even", "forward_int")]["ratio"], 0.3)
        self.assertTrue(a.describe().startswith("CPU A (2 cores); module: default build"))
        lines = compare.tables(a, b)
        self.assertIn("3.00 → 1.50 (-50%), ×0.30 → ×0.30", next(l for l in lines if l.startswith("forward_int")))
        self.assertIn("0.30✓", goals.goal_table(b.by, b.regimes, b.functions, markdown=False))

    def test_a_run_through_pyperf_workers(self):
        # Workers walk the plan like the main process and time only their own call.
        import subprocess

        with tempfile.TemporaryDirectory() as tmp:
            proc = subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "__main__.py"), "--goal",
                                   "--only", "inverse_int", "--regimes", "single", "--tables", "2", "--out", tmp],
                                  capture_output=True, text=True, cwd=tmp)
            self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
            res = report.Results(os.path.join(tmp, "results.json"))
        self.assertEqual(sorted(name for (_, _, _, name) in res.by),
                         sorted(cases.labels_of("inverse_int") + ["np.interp inverse"]))
        self.assertTrue(all(v["status"] is None and v["median"] > 0 and "faults" in v for v in res.by.values()))
        self.assertIn("Goals met: ", proc.stdout)


if __name__ == "__main__":
    unittest.main()
