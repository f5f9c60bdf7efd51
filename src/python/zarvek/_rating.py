# SPDX-License-Identifier: MIT
"""zarvek-report's rating of one core: fresh zarvek-bench processes, one
pass of timed_pass at the reference loop count each, looked at on a plan
fixed in advance (the 5 % error spent over the looks), until the figure's
interval is within the precision asked or the cap comes. The figure is
the 75th percentile of the runs, their median kept beside it."""

import time

from . import _bench, _stats, _workload
from ._process import Refusal
from ._result import UNIT

CONFIDENCE = _stats.CONFIDENCE
# The rating stops once its interval lies within this many per cent of the
# median, either way (--precision).
PRECISION = 0.5
# The runs that always run: at ten, the order statistics of independent
# runs give a 95 % interval.
MIN_RUNS = 10
# The published figure: this quantile of the rating's runs. On a shared
# machine a neighbour only takes speed away, now and then, and the median
# spends its precision on the runs it slowed; the 75th percentile, the
# rate a quarter of the runs passed, reproduced from one rating
# to the next two to ten times as closely on the recorded series, with an
# interval as honest, bounded from 13 runs (see studies/report-figure).
FIGURE_QUANTILE = 0.75
# The error spent by a look after a share T of the planned runs: 5 % times
# T^SPENDING, the rest at the last look (see rating_plan).
SPENDING = 2.0
SPENDING_WORDS = f"5 % times (runs / runs planned)^{SPENDING:g} by each look, the rest at the last"
# Google Benchmark's --benchmark_min_time: one pass is far longer, so each
# repetition is one pass.
MIN_TIME = 0.01
INTERVAL = ("the order statistics of the runs at the binomial ranks of the 75th percentile, "
            "their distance from it widened by the Newey-West long-run variance of the signs "
            "of (run - the 75th percentile); 5 % spent over the planned looks as the square of "
            "the share of the runs planned, the rest at the last")


def rating_plan(most):
    """The planned looks (run counts) for a rating that may take MOST runs,
    and the error each may spend: by a look after a share T of MOST, 5 %
    times T^SPENDING in all, the rest at the last (as zarvek-compare
    spends its error over the cap). The first look comes at the fewest
    runs, from MIN_RUNS, that can bound an interval at its share; then
    every 1.5 times as many, the last at the cap."""
    alpha = 1 - CONFIDENCE

    def spent(n):
        return alpha * min(1.0, n / max(most, 1)) ** SPENDING

    def bounded(n):
        lower, upper = _stats.independent_ranks(n, spent(n), FIGURE_QUANTILE)
        return lower >= 1 and upper <= n

    first = MIN_RUNS
    while first < most and not bounded(first):
        first += 1
    looks = _stats.looks_plan(first, max(first, most))
    totals = [spent(n) for n in looks[:-1]] + [alpha]
    return looks, [round(b - a, 6) for a, b in zip([0.0] + totals, totals)]


def look(rates, alpha, precision):
    """The figure of RATES (their FIGURE_QUANTILE), its 1 - ALPHA interval,
    and whether the interval lies within PRECISION per cent of it, either
    way."""
    middle, low, high = _stats.quantile_interval(rates, FIGURE_QUANTILE, alpha)
    precise = low is not None and high is not None and \
        max(high / middle - 1, 1 - low / middle) <= precision / 100
    return middle, low, high, precise


def rate_series(rates, most, precision):
    """The rating of RATES (in time order) looked at as a live rating that
    planned for MOST runs would look at them, ending at the last: the
    figure, its interval, whether precise, the runs taken, the look, the
    error it was drawn at, the plan."""
    looks, alphas = rating_plan(most)
    spent, n = 0.0, len(rates)
    for k, at in enumerate(looks, start=1):
        final = at >= n or k == len(looks)
        at = n if final else at
        alpha = round(1 - CONFIDENCE - spent, 6) if final else alphas[k - 1]
        middle, low, high, precise = look(rates[:at], alpha, precision)
        spent += alpha
        if precise or final:
            return middle, low, high, precise, at, k, alpha, looks


def rate_one_core(build, cap, precision, progress):
    """The rating: fresh zarvek-bench processes, one pass of
    timed_pass/REFERENCE each, in time order. Fresh processes, because a
    new process runs the pass a few per cent faster or slower than the last
    (its memory layout): repetitions in one process would miss that. The
    looks are planned from the first run's length and the cap; the rating
    stops at the first look whose interval is within PRECISION of the
    median, or at the last, when the next run would pass the cap. PROGRESS
    shows the runs."""
    name = f"timed_pass/{_workload.REFERENCE_LOOP}"
    rates, subnormal, durations = [], False, []
    looks, alphas, taken, spent = None, None, 0, 0.0
    start = time.monotonic()

    def waiting(_=None):
        # Past the cap, the runs go on only to the MIN_RUNS of a first look.
        elapsed = time.monotonic() - start
        if len(rates) < MIN_RUNS and elapsed > cap:
            progress.show(f"rating: run {len(rates) + 1} of {MIN_RUNS}, {elapsed:.0f} s: past "
                          f"the {cap:g} s cap, for the first look needs {MIN_RUNS} runs")
        else:
            progress.show(f"rating: run {len(rates) + 1}, {elapsed:.0f} s of {cap:g} s")

    while True:
        timeout = max(600.0, 20 * max(durations, default=0.0))
        began = time.monotonic()
        waiting()
        report = build.bench_run(f"--benchmark_filter=^{name}(/|$)", "--benchmark_repetitions=1",
                                 f"--benchmark_min_time={MIN_TIME}", timeout=timeout,
                                 tick=waiting)
        durations.append(time.monotonic() - began)
        try:
            runs = _bench.bench_runs(report, name)
        except ValueError as e:
            raise Refusal(2, f"{build.bench}: {e}") from None
        if len(runs) != 1:
            raise Refusal(2, f"{build.bench} reported {len(runs)} runs of {name}, not 1")
        rates.append(float(runs[0]["items_per_second"]) / 1e6)
        subnormal = subnormal or bool(runs[0].get("subnormal"))
        if looks is None:
            looks, alphas = rating_plan(int(cap / durations[0]))
        elapsed = time.monotonic() - start
        # The last look is at the cap, wherever the runs' length puts it,
        # and spends what the looks before left.
        out_of_time = elapsed + sum(durations) / len(durations) > cap
        if len(rates) < MIN_RUNS or (len(rates) not in looks[:-1] and not out_of_time):
            continue
        taken += 1
        alpha = round(1 - CONFIDENCE - spent, 6) if out_of_time else \
            alphas[looks.index(len(rates))]
        spent += alpha
        middle, low, high, precise = look(rates, alpha, precision)
        if precise or out_of_time:
            break
    progress.clear()
    median, median_low, median_high = _stats.median_interval(rates, alpha)
    return {
        "figure": middle, "quantile": FIGURE_QUANTILE, "low": low, "high": high,
        "median": median, "median_low": median_low, "median_high": median_high, "unit": UNIT,
        "loops": _workload.REFERENCE_LOOP, "subnormal": subnormal,
        "benchmark": name, "confidence": CONFIDENCE, "interval": INTERVAL,
        "precise": precise, "precision": precision / 100, "runs": len(rates),
        "rates": rates, "seconds": round(time.monotonic() - start, 3), "budget": cap,
        "looks": looks, "look": taken, "alpha": round(alpha, 6),
        "spending": SPENDING_WORDS,
    }
