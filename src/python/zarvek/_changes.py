# SPDX-License-Identifier: MIT
"""Where a machine's figure moved between reports: the change points of a
series of reports' figures, each change's size with an interval, and the
figure since the last change with a prediction interval for the next
report.

The figures are taken as logarithms, so that a change is a ratio. A
stretch of reports is tested for one change in level by the cumulative
sum of its deviations from its mean (CUSUM). Its largest absolute value,
over the spread of the reports about the two levels either side of the
candidate and the square root of their count, is the supremum of the
absolute value of a Brownian bridge when the level holds (Kolmogorov's
distribution); its range (largest less smallest), over the spread about
three levels, that bridge's range (Kuiper's), which finds a stretch at
another level between two of the same. A change is declared where the
first passes its 0.05 % point or the second its 0.005 % point. The spread
is widened by the reports' serial correlation: the long-run variance of
an AR(1) process, from the lag-1 autocorrelation of the residuals
corrected for its small-sample bias. Binary segmentation repeats the
test on each side of every change found. The test is unweighted, so it
has most power in the middle of a stretch and needs more reports after a
change near its end; levels far beyond the asymptotic 5 % keep false
alarms rare where 30 reports estimate their own spread and correlation,
and where the machine drifts slowly.

Each change is placed where it is most likely to lie within one report
(the three neighbouring splits of most posterior weight, for Gaussian
noise and every split equally likely); its ratio is the Hodges-Lehmann
estimate (the median of the ratios of every report after it to every
report before it, back to the previous change and on to the next), with
Moses' distribution-free interval from the Mann-Whitney statistic's
ranks, its variance widened by the same correlation factor."""

import functools
import math
import statistics

import numpy as np

CONFIDENCE = 0.95
# The levels of the test for a change: its statistic for a step, and for
# a stretch between two of the same level. The fewest reports in a stretch
# that is tested, and on each side of a change.
LEVELS = (0.0005, 0.00005)
SHORTEST = 6
SIDE = 2
# The largest lag-1 correlation taken: beyond it, 30 reports say little.
MOST_CORRELATION = 0.8


def kuiper_quantile(level):
    """The point that the range of a Brownian bridge passes with
    probability LEVEL (Kuiper's distribution, its series solved by
    bisection)."""
    def tail(x):
        return sum(2 * (4 * k * k * x * x - 1) * math.exp(-2 * k * k * x * x)
                   for k in range(1, 50))
    low, high = 1.0, 5.0
    for _ in range(60):
        middle = (low + high) / 2
        low, high = (middle, high) if tail(middle) > level else (low, middle)
    return (low + high) / 2


@functools.lru_cache(maxsize=None)
def critical_values(levels=LEVELS):
    """The critical values of the two statistics at LEVELS: the Kolmogorov
    distribution's (the supremum of a Brownian bridge's absolute value)
    and Kuiper's (its range)."""
    from scipy.special import kolmogi

    return float(kolmogi(levels[0])), kuiper_quantile(levels[1])


def correlation_factor(residuals):
    """The long-run variance of RESIDUALS over their variance, (1 + r) /
    (1 - r) for their lag-1 autocorrelation r, corrected for its bias in a
    short series (Kendall: + (1 + 3r) / n) and taken within 0 and
    MOST_CORRELATION."""
    n = len(residuals)
    energy = float(residuals @ residuals)
    if n < 3 or energy == 0:
        return 1.0
    r = float(residuals[1:] @ residuals[:-1]) / energy
    r = min(max(r + (1 + 3 * r) / n, 0.0), MOST_CORRELATION)
    return (1 + r) / (1 - r)


def residuals_about(y, splits):
    """Y less the mean of each of its parts between SPLITS."""
    bounds = [0, *splits, len(y)]
    return np.concatenate([y[a:b] - y[a:b].mean() for a, b in zip(bounds, bounds[1:])])


def scale(y, splits):
    """sqrt(n) times the spread of Y about the levels between SPLITS,
    widened by their serial correlation."""
    residuals = residuals_about(y, splits)
    variance = float(residuals @ residuals) / (len(y) - len(splits) - 1)
    return math.sqrt(len(y) * variance * correlation_factor(residuals))


def place(y):
    """The split of Y (at least 2 * SIDE values) most likely to lie within
    one report of a single change in level, for Gaussian noise and every
    split from SIDE to n - SIDE equally likely."""
    n = len(y)
    ks = np.arange(1, n)
    sums = np.cumsum(y - y.mean())[:-1]
    # Each split's residual sum of squares, less the least.
    gain = sums ** 2 * n / (ks * (n - ks))
    allowed = (ks >= SIDE) & (ks <= n - SIDE)
    best = int(ks[allowed][np.argmax(gain[allowed])])
    residuals = residuals_about(y, [best])
    spread = float(residuals @ residuals) / (n - 2)
    if spread == 0:
        return best
    weight = np.where(allowed, np.exp((gain - gain[allowed].max()) / (2 * spread)), 0.0)
    # The window's weight; where windows tie (a sharp step), the split's own.
    window = np.convolve(weight, [1.0, 1.0, 1.0], mode="same") + 1e-6 * weight
    return int(ks[np.argmax(np.where(allowed, window, -1.0))])


def beyond(statistic, y, splits, critical):
    """Whether STATISTIC over Y's scale about SPLITS passes CRITICAL."""
    size = scale(y, splits)
    return statistic > critical * size if size > 0 else statistic > 0


def test(y, critical):
    """The changes in level in the stretch Y, as the splits where its
    levels begin: one (a step), two (a stretch at another level between
    two of the same, found by the range of the sums), or none."""
    n = len(y)
    # The cumulative sums at the splits allowed, SIDE to n - SIDE.
    sums = np.cumsum(y - y.mean())[SIDE - 1:n - SIDE]
    if beyond(float(np.abs(sums).max()), y, [place(y)], critical[0]):
        return [place(y)]
    i, j = sorted((int(np.argmax(sums)) + SIDE, int(np.argmin(sums)) + SIDE))
    if j - i >= SIDE and beyond(float(sums.max() - sums.min()), y, [i, j], critical[1]):
        return [i, j]
    return []


def change_points(y, critical=None):
    """The change points of the series Y (log figures in time order): the
    0-based indices of the first report at each new level."""
    critical = critical_values() if critical is None else critical
    found = []

    def search(start, end):
        if end - start < SHORTEST:
            return
        splits = [start + k for k in test(y[start:end], critical)]
        found.extend(splits)
        for a, b in zip([start, *splits], [*splits, end]) if splits else ():
            search(a, b)

    search(0, len(y))
    return sorted(found)


def ratio_interval(before, after, factor, confidence=CONFIDENCE):
    """The Hodges-Lehmann ratio of AFTER to BEFORE (log figures) and Moses'
    interval, its Mann-Whitney variance times FACTOR; a side None where
    the reports are too few to bound it."""
    differences = np.sort((after[:, None] - before[None, :]).ravel())
    m, n = len(before), len(after)
    z = statistics.NormalDist().inv_cdf(0.5 + confidence / 2)
    rank = math.floor(m * n / 2 - z * math.sqrt(m * n * (m + n + 1) / 12 * factor))
    ratio = math.exp(float(np.median(differences)))
    if rank < 1:
        return ratio, None, None
    return (ratio, math.exp(float(differences[rank - 1])),
            math.exp(float(differences[m * n - rank])))


def prediction(figures, confidence=CONFIDENCE):
    """The median of FIGURES and a CONFIDENCE prediction interval for the
    next figure: the mean of the logarithms -+ t * s * sqrt(1 + lambda/n),
    lambda the correlation factor; the interval is None below two
    figures."""
    from scipy.special import stdtrit

    y = np.log(np.asarray(figures, dtype=float))
    middle = float(np.median(figures))
    n = len(y)
    if n < 2:
        return middle, None, None
    factor = correlation_factor(y - y.mean())
    half = float(stdtrit(n - 1, 0.5 + confidence / 2)) * float(np.std(y, ddof=1)) * \
        math.sqrt(1 + factor / n)
    return middle, math.exp(y.mean() - half), math.exp(y.mean() + half)


def analyse(figures, critical=None):
    """The series FIGURES (in time order): its changes, each {index,
    ratio, low, high}, and its figure since the last change {median, low,
    high, reports}."""
    y = np.log(np.asarray(figures, dtype=float))
    points = change_points(y, critical)
    bounds = [0, *points, len(y)]
    changes = []
    for i, index in enumerate(points):
        before, after = y[bounds[i]:index], y[index:bounds[i + 2]]
        residuals = np.concatenate([before - before.mean(), after - after.mean()])
        ratio, low, high = ratio_interval(before, after, correlation_factor(residuals))
        changes.append({"index": index, "ratio": ratio, "low": low, "high": high})
    since = list(figures[bounds[-2]:])
    middle, low, high = prediction(since)
    return {"changes": changes,
            "figure": {"median": middle, "low": low, "high": high, "reports": len(since)}}
