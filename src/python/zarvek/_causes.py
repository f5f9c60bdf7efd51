# SPDX-License-Identifier: MIT
"""Why a rating's interval is wider than the precision asked, in the
summary's words. Each cause is measured on the runs and said with the
numbers that show it: a side left open (too few runs for their
correlation), runs at two speeds that the interval spans, runs that came
in stretches on one side of the figure (a rate that moved, or correlated
neighbours) and widened it beyond what independent runs would give, and
too few runs for their own spread."""

import math

from ._result import figure

# Runs are at two speeds where the widest gap between their sorted rates
# leaves at least this share of them (and three) on each side, and is more than
# GAP_SPREADS times the wider interquartile range of the two sides (in
# logs): each speed is then tight and the gap between them empty.
TWO_SPEEDS_SHARE = 0.2
GAP_SPREADS = 2
# The runs' correlation is named a cause where it made the interval this
# many times as wide as independent runs would.
WIDENED = 1.2


def percent(x):
    return f"{x * 100:+.1f} %".replace("-", "\u2212")


def sides(median, low, high):
    """An interval as shares of its median, each side its own:
    "−3.5 % +2.1 %", "−open +8.2 %"."""
    below = "\u2212open" if low is None else percent(low / median - 1)
    above = "+open" if high is None else percent(high / median - 1)
    return f"{below} {above}"


def half_width(median, low, high):
    """The interval's larger side, as a share of the median; None if open."""
    if low is None or high is None:
        return None
    return max(high / median - 1, 1 - low / median)


def two_speeds(rates):
    """The runs as (slower, faster), sorted, where they fell at two speeds;
    None where they did not."""
    import numpy as np

    ordered = sorted(rates)
    logs = np.log(ordered)
    n = len(logs)
    least = max(3, math.ceil(TWO_SPEEDS_SHARE * n))
    if n < 2 * least:
        return None
    split = max(range(least, n - least + 1), key=lambda i: logs[i] - logs[i - 1])
    slow, fast = logs[:split], logs[split:]
    spread = max(np.subtract(*np.percentile(part, [75, 25])) for part in (slow, fast))
    if logs[split] - logs[split - 1] <= GAP_SPREADS * spread:
        return None
    return ordered[:split], ordered[split:]


def longest_stretch(rates, median):
    """The most consecutive runs on one side of MEDIAN (strictly)."""
    longest = length = 0
    side = None
    for rate in rates:
        here = (rate > median) - (rate < median)
        length = length + 1 if here and here == side else 1 if here else 0
        side = here
        longest = max(longest, length)
    return longest


def runs_for_bounds(alpha, factor, start, q=0.5):
    """The fewest runs, from START, whose interval of the Q-quantile at
    ALPHA is bounded on both sides when their correlation spreads the
    ranks by FACTOR (at most 100,000)."""
    from . import _stats

    n = start
    while n < 100000:
        lower, upper = _stats.independent_ranks(n, alpha, q)
        middle = n * q + 0.5
        if math.floor(middle - (middle - lower) * factor + 1e-9) >= 1 and \
                math.ceil(middle + (upper - middle) * factor - 1e-9) <= n:
            return n
        n += 1
    return n


def runs_to_reach(rates, alpha, precision, q=0.5):
    """About how many independent runs spread as RATES are would give an
    interval of their Q-quantile at ALPHA within PRECISION of it: the
    ranks of quantile_interval for that many, read as quantiles of
    RATES."""
    import numpy as np

    from . import _stats

    figure = float(np.quantile(rates, q))

    def reaches(n):
        lower, upper = _stats.independent_ranks(n, alpha, q)
        low, high = np.quantile(rates, [max(lower, 0) / (n + 1), min(upper, n + 1) / (n + 1)])
        return lower >= 1 and upper <= n and \
            max(high / figure - 1, 1 - low / figure) <= precision

    fewest, most = len(rates), len(rates)
    while not reaches(most):
        if most > 10**7:
            return most
        fewest, most = most, most * 2
    while most - fewest > max(1, fewest // 50):
        middle = (fewest + most) // 2
        fewest, most = (fewest, middle) if reaches(middle) else (middle, most)
    return most


def stretches_cause(stability, median, low0, high0, precision):
    """What made the runs come in stretches on one side of the figure: the
    rate's drift where it moved more than the precision asked and than
    independent runs' interval is wide, else consecutive runs' positive
    correlation; None where neither shows it (correlation further apart)."""
    drift, lag1 = stability["drift"], stability["autocorrelation"]
    width = half_width(median, low0, high0)
    if drift is not None and width is not None and abs(drift) >= max(width, precision):
        return f"the rate moved {percent(drift)} over the run"
    if lag1 is not None and lag1 > 0:
        return f"consecutive runs correlated {lag1:+.2f}".replace("-", "\u2212")
    return None


def causes(rating, stability, unit):
    """The sentences that say why RATING's interval is wider than its
    precision (none where it is within it), from its runs and STABILITY."""
    import numpy as np

    from . import _stats

    rates, alpha = rating["rates"], rating["alpha"]
    q = rating.get("quantile", 0.5)
    # The figure: the runs' 75th percentile, or before format 3 their median.
    median, low, high, what = figure(rating)
    if rating["precise"] or len(rates) < 3:
        return []
    factor = _stats.quantile_ranks(rates, q, alpha)[2]
    _, low0, high0 = _stats.quantile_interval(rates, q, alpha, independent=True)
    said = []
    stretches = f"runs fell on one side of {what} in stretches (up to " \
                f"{longest_stretch(rates, median)} in a row)"
    open_sides = [side for side, bound in (("below", low), ("above", high)) if bound is None]
    if open_sides:
        where = f"open {open_sides[0]}" if len(open_sides) == 1 else "open on both sides"
        if (low0 is None and low is None) or (high0 is None and high is None):
            more = runs_for_bounds(alpha, 1.0, len(rates) + 1, q)
            said.append(f"{where}: {len(rates)} runs are too few for a bound at this level "
                        f"({alpha * 100:.2g} % of the error, this look's share); {more:,} "
                        "would give one")
        else:
            cause = stretches_cause(stability, median, low0, high0, rating["precision"])
            more = runs_for_bounds(alpha, factor, len(rates) + 1, q)
            said.append(f"{where}: {cause + ', so ' if cause else ''}{stretches}, and at that "
                        f"{len(rates)} runs give no bound "
                        f"there (independent runs would give {sides(median, low0, high0)}); "
                        f"about {more:,} would give one")
    speeds = two_speeds(rates)
    spanned = speeds is not None and (low is None or low <= speeds[0][-1]) and (
        high is None or high >= speeds[1][0])
    if spanned:
        slow, fast = (float(np.median(part)) for part in speeds)
        said.append(f"runs at two speeds: {len(speeds[0])} at about {slow:,.0f} {unit} and "
                    f"{len(speeds[1])} at about {fast:,.0f} {unit}, {(fast / slow - 1) * 100:.1f} "
                    "% apart, and the interval spans the gap between them")
    if not open_sides and (low, high) != (low0, high0) and \
            high - low >= WIDENED * (high0 - low0):
        cause = stretches_cause(stability, median, low0, high0, rating["precision"])
        said.append(f"{cause + ': ' if cause else ''}{stretches}, which widened the interval "
                    f"from {sides(median, low0, high0)}, as independent runs would give it, to "
                    f"{sides(median, low, high)}")
    width = half_width(median, low0, high0)
    if not open_sides and not spanned and width is not None and width > rating["precision"]:
        quartiles = np.percentile(rates, [75, 25])
        needed = runs_to_reach(rates, alpha, rating["precision"], q)
        spans = np.subtract(*quartiles) / np.median(rates)
        said.append(f"few runs for their spread: the middle half of the runs spans "
                    f"{spans * 100:.1f} %, and independent runs "
                    f"spread as these are would reach \u00b1{rating['precision'] * 100:g} % at "
                    f"about {needed:,}")
    return said
