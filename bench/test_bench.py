#!/usr/bin/env python3
"""Checks of the benchmark's own data and goal summary, which the timings rest on.

    .venv-bench/bin/python bench/test_bench.py

The expected results that every rust call is checked against are recomputed here
from the tie points alone, in Python integers, so a slip in the query generator
shows up as a failure here rather than as a rust call reported wrong.
"""

import bisect
import os
import sys
import unittest
from fractions import Fraction

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402


def exact_value(table: "bench.Table", x: int) -> Fraction:
    """Offset-free value at position x by interpolating between the tie points."""
    xp = [int(v) for v in table.xp]
    fp = [int(v) - bench.INT_OFFSET for v in table.fp_int]
    i = min(max(bisect.bisect_right(xp, x) - 1, 0), len(xp) - 2)
    return fp[i] + Fraction((x - xp[i]) * (fp[i + 1] - fp[i]), xp[i + 1] - xp[i])


class Orders(unittest.TestCase):
    #           n    N
    CASES = [(2, 1_000), (100, 5_000), (10**4, 20_000)]

    def test_shapes_of_the_orders(self):
        for n, N in self.CASES:
            table = bench.Table(n)
            first, last = int(table.xp[0]), int(table.xp[-1])
            with self.subTest(n=n, N=N):
                even = bench.positions(table, N, "even").astype(object)
                steps = set(np.diff(even))
                self.assertEqual(len(steps), 1, "even positions must have one constant step")
                self.assertGreaterEqual(steps.pop(), 1)
                self.assertTrue(first <= even[0] and even[-1] <= last)

                sorted_ = bench.positions(table, N, "sorted").astype(object)
                # The earlier order: both ends of the table, steps of floor and ceil.
                self.assertEqual((sorted_[0], sorted_[-1]), (first, last))
                self.assertLessEqual(len(set(np.diff(sorted_))), 2)

                uneven = bench.positions(table, N, "uneven").astype(object)
                gaps = np.diff(uneven)
                self.assertTrue(all(g >= 0 for g in gaps), "uneven positions must be sorted")
                self.assertGreater(len(set(gaps)), 10, "uneven gaps must vary")
                self.assertTrue(first <= uneven[0] and uneven[-1] <= last)

                shuffled = bench.positions(table, N, "random")
                self.assertTrue(np.array_equal(np.sort(shuffled), bench.positions(table, N, "even")))
                self.assertFalse(np.array_equal(shuffled, bench.positions(table, N, "even")))

    def test_a_table_too_short_for_the_queries_is_refused(self):
        table = bench.Table(2)
        span = int(table.xp[-1]) - int(table.xp[0])
        with self.assertRaises(ValueError):
            bench.positions(table, span + 2, "even")

    def test_expected_results_are_the_exact_values(self):
        for n, N in self.CASES:
            table = bench.Table(n)
            for order in ("even", "uneven", "random", "sorted", "single"):
                q = bench.Queries(table, N if order != "single" else 1, order)
                # The first queries, with the table's first tie point for most
                # orders, and the rest sampled with a prime stride.
                picks = list(range(min(len(q.x), 50))) + list(range(0, len(q.x), 997))
                with self.subTest(n=n, order=order):
                    for i in picks:
                        x = int(q.x[i])
                        want = exact_value(table, x)
                        self.assertEqual(want.denominator, 1, "the table must map whole positions to whole values")
                        self.assertEqual(int(q.f_int[i]) - bench.INT_OFFSET, want)
                        self.assertEqual(Fraction(float(q.f_float[i])), Fraction(bench.FLOAT_START + want, 2))
                        self.assertEqual(float(q.x_f[i]), float(x))

    def test_tie_points_themselves(self):
        table = bench.Table(100)
        for i in (0, 1, 50, 98, 99):
            x = int(table.xp[i])
            self.assertEqual(exact_value(table, x) + bench.INT_OFFSET, int(table.fp_int[i]))


def by_of(regime, order, rows):
    """A summary with the given ratios: rows are (n, name, ratio)."""
    return {(regime, n, order, name): {"status": None, "median": 1.0, "ratio": r} for n, name, r in rows}


class Goals(unittest.TestCase):
    def test_marks_against_each_goal(self):
        #  order     function         ratio  met
        cases = [
            ("even",   "forward_int",   0.50, True),   # the goal itself counts as met
            ("even",   "forward_int",   0.51, False),
            ("even",   "forward_float", 0.90, True),   # float goals are looser
            ("uneven", "forward_int",   0.81, False),
            ("uneven", "forward_float", 1.00, True),
            ("random", "forward_float", 0.31, False),
            ("single", "forward_int",   0.49, True),
        ]
        for order, fn, ratio, met in cases:
            with self.subTest(order=order, fn=fn, ratio=ratio):
                regime = "single" if order == "single" else "warm"
                text, m, count = bench.goal_cell(by_of(regime, order, [(100, fn, ratio)]), regime, order, fn, [100])
                self.assertEqual((m, count), (int(met), 1))
                self.assertEqual(text, f"{ratio:.2f}" + ("✓" if met else "✗"))

    def test_slowest_method_is_shown_and_counted(self):
        rows = [(100, "inverse_int", 0.40), (100, "inverse_int nearest", 0.42),
                (100, "inverse_int ffill", 0.45), (100, "inverse_int bfill", 0.60),
                (10**4, "inverse_int", 0.40), (10**4, "inverse_int nearest", 0.41),
                (10**4, "inverse_int ffill", 0.42), (10**4, "inverse_int bfill", 0.43)]
        text, met, count = bench.goal_cell(by_of("warm", "even", rows), "warm", "even", "inverse_int", [100, 10**4])
        # 100: bfill is both much slower and over the goal; 1e4: all close and met.
        self.assertEqual(text, "0.40✓ (bfill 0.60✗) / 0.40✓")
        self.assertEqual((met, count), (1, 2))

    def test_slowest_method_crossing_the_goal_is_shown_even_when_close(self):
        rows = [(100, "inverse_float", 0.88), (100, "inverse_float nearest", 0.92)]
        text, met, count = bench.goal_cell(by_of("warm", "even", rows), "warm", "even", "inverse_float", [100])
        self.assertEqual(text, "0.88✓ (nearest 0.92✗)")
        self.assertEqual((met, count), (0, 1))

    def test_method_none_slowest_shows_no_brackets(self):
        rows = [(100, "inverse_float", 1.40), (100, "inverse_float nearest", 0.80)]
        text, met, count = bench.goal_cell(by_of("warm", "even", rows), "warm", "even", "inverse_float", [100])
        self.assertEqual((text, met, count), ("1.40✗", 0, 1))

    def test_a_wrong_result_is_never_met(self):
        by = by_of("warm", "random", [(100, "inverse_int", 0.10), (100, "inverse_int ffill", 0.11)])
        by[("warm", 100, "random", "inverse_int ffill")]["status"] = "differs from the exact result (1 elements)"
        text, met, count = bench.goal_cell(by, "warm", "random", "inverse_int", [100])
        self.assertEqual((text, met, count), ("0.10✓ [wrong result]", 0, 1))

    def test_missing_and_failed_cells(self):
        by = {("warm", 100, "even", "forward_int"): {"status": "raises ValueError: x"}}
        text, met, count = bench.goal_cell(by, "warm", "even", "forward_int", [100, 10**4])
        self.assertEqual(text, "failed / —")
        self.assertEqual((met, count), (0, 1))

    def test_only(self):
        self.assertEqual(bench.parse_only("inverse_float, forward_int"), ["forward_int", "inverse_float"])
        self.assertEqual(bench.parse_only(None), bench.FUNCTIONS)
        for bad in ("forward", "inverse_int nearest", ","):
            with self.subTest(bad=bad), self.assertRaises(SystemExit):
                bench.parse_only(bad)


class RealValues(unittest.TestCase):
    def setUp(self):
        bench.VALUES = "real"

    def tearDown(self):
        bench.VALUES = "half"

    def test_tables_are_increasing_and_not_half_integers(self):
        table = bench.Table(1000)
        self.assertTrue(np.all(np.diff(table.fp_float) > 0))
        self.assertGreater(np.count_nonzero(table.fp_float * 2 != np.round(table.fp_float * 2)), 990)
        q = bench.Queries(table, 1000, "uneven")
        self.assertFalse(q.float_checked)
        self.assertTrue(np.all((q.f_float >= table.fp_float[0]) & (q.f_float <= table.fp_float[-1])))

    def test_inverse_float_is_judged_without_method_none(self):
        # Method None finds nearly nothing on such tables: "nearest" leads the cell.
        rows = [(100, "inverse_float nearest", 0.70), (100, "inverse_float ffill", 0.95)]
        text, met, count = bench.goal_cell(by_of("warm", "even", rows), "warm", "even", "inverse_float", [100])
        self.assertEqual((text, met, count), ("0.70✓ (ffill 0.95✗)", 0, 1))


class Check(unittest.TestCase):
    def test_a_wrong_or_raising_call_is_reported(self):
        want = np.arange(10, dtype=np.int64)
        wrong = want.copy()
        wrong[3] += 1
        cases = [
            (lambda: want.copy(), None),
            (lambda: wrong, "differs from the exact result (1 elements)"),
            (lambda: want[:9], "differs from the exact result (-1 elements)"),
        ]
        for fn, status in cases:
            with self.subTest(status=status):
                self.assertEqual(bench.check(fn, want)[0], status)
        self.assertTrue(bench.check(lambda: 1 // 0, want)[0].startswith("raises ZeroDivisionError"))


if __name__ == "__main__":
    unittest.main()
