# SPDX-License-Identifier: MIT
"""The statistics of zarvek-report and zarvek-compare, in-process: their
intervals and decisions on synthetic AR(1) series under the looks each
program plans, and the rating's interval on a series recorded on a
drifting machine.

usage: stats_test.py, with ZARVEK_BUILD (the build folder, whose python/
holds the package) in the environment."""

import json
import math
import os
import sys
import unittest

import numpy as np

sys.path.insert(0, os.path.join(os.environ["ZARVEK_BUILD"], "python"))
from zarvek import report  # noqa: E402
from zarvek._compare import builds as builds_, judge, plan, rounds  # noqa: E402

TRIALS = 300
CV = 0.03  # the runs' spread, as fresh processes on a virtual machine show


def ar1(rng, n, rho):
    """A stationary AR(1) series of unit variance and lag-1 correlation RHO."""
    x = np.empty(n)
    x[0] = rng.standard_normal()
    for t in range(1, n):
        x[t] = rho * x[t - 1] + math.sqrt(1 - rho * rho) * rng.standard_normal()
    return x


def rating(rates, looks, alpha, precision):
    """The interval zarvek-report prints for RATES under its looks."""
    for n in looks:
        middle, low, high, precise = report.look(rates[:n], alpha, precision)
        if precise:
            break
    return low, high


class Rating(unittest.TestCase):
    def test_the_interval_holds_the_true_median_at_lag_one_correlation_one_half(self):
        rng = np.random.default_rng(26)
        for most, precision in ((40, 0.5), (40, 3.0), (100, 1.0)):
            looks, alpha = report.rating_plan(most)
            held = 0
            for _ in range(TRIALS):
                low, high = rating(1 + CV * ar1(rng, most, 0.5), looks, alpha, precision)
                held += (low is None or low <= 1) and (high is None or 1 <= high)
            with self.subTest(runs=most, precision=precision):
                self.assertGreaterEqual(held / TRIALS, 0.90)

    def test_consecutive_ratings_of_a_recorded_series_agree(self):
        # Eight ratings of 18 runs one after another, as eight back-to-back
        # runs of zarvek-report would take them: every two neighbours'
        # intervals overlap.
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "series-amd.json")
        with open(path, encoding="utf-8") as f:
            rates = json.load(f)["rates"]
        looks, alpha = report.rating_plan(18)
        intervals = [rating(rates[i:i + 18], looks, alpha, 0.5) for i in range(0, 144, 18)]
        for (low, high), (next_low, next_high) in zip(intervals, intervals[1:]):
            self.assertTrue((low is None or next_high is None or low <= next_high)
                            and (high is None or next_low is None or next_low <= high),
                            intervals)


class Compare(unittest.TestCase):
    def test_a_build_against_copies_of_itself_is_rarely_called_faster_or_slower(self):
        rng = np.random.default_rng(27)
        for builds, blocks in ((2, 10), (3, 10), (2, 30)):
            looks, alpha = plan.set_looks(blocks)
            wrong = 0
            for _ in range(TRIALS):
                # The same AR(1) noise for every round, in the rotating order.
                members = [builds_.Build(label, "") for label in "ABC"[:builds]]
                noise = np.exp(CV * ar1(rng, looks[-1] * builds, 0.5))
                order = rounds.rotation(members) * looks[-1]
                for n, (build, rate) in enumerate(zip(order, noise), start=1):
                    build.rounds.append((n, [rate]))
                comparisons = [judge.Comparison(build) for build in members[1:]]
                for sets in looks:
                    judge.judge_look(members[0], comparisons, sets, alpha, 2.0,
                                     sets == looks[-1], 1.0)
                    if all(c.verdict for c in comparisons):
                        break
                wrong += any(c.verdict in ("faster", "slower") for c in comparisons)
            with self.subTest(builds=builds, blocks=blocks):
                self.assertLessEqual(wrong / TRIALS, 0.05)


if __name__ == "__main__":
    unittest.main(verbosity=2)
