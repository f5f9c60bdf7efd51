# SPDX-License-Identifier: MIT
"""The statistics of runs taken in time order on a machine whose speed
drifts: intervals that account for serial correlation, the planned looks
at which a run may stop, Holm's adjustment across comparisons, and the
figures that say how steady the machine was.

Consecutive runs are not independent: the machine's speed moves over
seconds to minutes, so a run slower than usual tends to be followed by
another. Every interval here widens with that correlation, estimated by
a heteroskedasticity-and-autocorrelation-consistent (Newey-West)
variance, and each takes the error it may spend from a plan fixed before
the first run, so that stopping at the first look that is precise enough
does not narrow what it prints."""

import math

CONFIDENCE = 0.95
# The planned looks grow by this factor, from the first to the cap.
GROWTH = 1.5


def looks_plan(first, last, growth=GROWTH):
    """The counts at which a run looks at its data: FIRST, then growing by
    about GROWTH, and LAST (the most the cap allows). A regular look that
    falls within half a step of LAST gives way to it: a look costs its
    share of the error whether or not it stops the run."""
    looks = [first]
    while True:
        following = max(looks[-1] + 1, math.ceil(looks[-1] * growth))
        if following >= last:
            break
        looks.append(following)
    if last > looks[-1]:
        if len(looks) > 1 and last - looks[-1] < (looks[-1] - looks[-2]) / 2:
            looks[-1] = last
        else:
            looks.append(last)
    return looks


def planned(looks, unit):
    """The looks in words: "at 6, 10 UNIT and at the cap"; the last planned
    count only foresees where the cap falls."""
    if len(looks) == 1:
        return "at the cap"
    return f"at {', '.join(map(str, looks[:-1]))} {unit} and at the cap"


def alpha_per_look(looks, confidence=CONFIDENCE):
    """The error each planned look may spend (Bonferroni): whichever look a
    run stops at, its interval holds with at least CONFIDENCE."""
    return (1 - confidence) / len(looks)


def newey_west_lags(n):
    """The Newey-West rule for the lags a HAC variance takes: 4 (n/100)^(2/9)."""
    return max(1, int(4 * (n / 100) ** (2 / 9)))


def hac_se_of_mean(series):
    """The standard error of SERIES' mean, with a Newey-West variance that
    counts the covariance of neighbours up to newey_west_lags(n) apart,
    and never below the one independent values would give: from a short
    series the estimated covariances are biased low (the mean is
    estimated from the same values), which would narrow the interval
    where it is least sure."""
    import numpy as np
    import statsmodels.api as sm

    y = np.asarray(series, dtype=float)
    if np.ptp(y) == 0:
        return 0.0
    fit = sm.OLS(y, np.ones(len(y))).fit(
        cov_type="HAC", cov_kwds={"maxlags": newey_west_lags(len(y)), "use_correction": True})
    return max(float(fit.bse[0]), float(np.std(y, ddof=1) / np.sqrt(len(y))))


def median_interval(values, alpha, independent=False):
    """The median of VALUES (in time order) and its 1 - ALPHA interval: the
    order statistics whose ranks lie n/2 -+ q * sqrt(n * LRV) from the
    middle, where LRV is the long-run variance of the series of signs
    I(x_t < median), estimated by Newey-West. With independent runs LRV
    is 1/4 and these are the binomial's ranks; correlated runs fall on
    the same side of the median together, LRV grows, and the interval
    widens with it. LRV is never taken below 1/4 (a short series can
    underestimate it), and q is Student's t with n - 1 degrees of
    freedom. A bound whose rank falls outside the runs is None.
    INDEPENDENT: the interval independent runs would give, LRV 1/4."""
    import numpy as np

    x = np.asarray(values, dtype=float)
    n = len(x)
    middle = float(np.median(x))
    if n < 3:
        return middle, None, None
    lower, upper, _ = median_ranks(x, alpha, independent)
    ordered = np.sort(x)
    low = float(ordered[lower - 1]) if lower >= 1 else None
    high = float(ordered[upper - 1]) if upper <= n else None
    return middle, low, high


def median_ranks(values, alpha, independent=False):
    """The ranks (from 1, in sorted order; they may fall outside the runs)
    of the bounds of median_interval, and how far the runs' correlation
    moved them: sqrt(LRV / (1/4)), 1 where it did not."""
    import numpy as np
    from scipy import stats

    x = np.asarray(values, dtype=float)
    n = len(x)
    signs = (x < np.median(x)) + 0.5 * (x == np.median(x))
    unit = math.sqrt(n) / 2
    spread = unit if independent else max(n * hac_se_of_mean(signs), unit)
    q = stats.t.ppf(1 - alpha / 2, n - 1)
    return math.floor(n / 2 - q * spread), math.ceil(n / 2 + 1 + q * spread), spread / unit


def ratio_fit(log_ratios):
    """The estimate of a ratio from per-set log ratios in time order (two
    sets to a block of the rotating order): (mean, se, df), se from a
    Newey-West variance, df the blocks less one. Within a block the sets
    are arranged so that a steady drift cancels, which makes the sets'
    ratios dependent in ways the variance of a short series cannot see;
    counting degrees of freedom by blocks keeps a build compared with
    itself from being called faster or slower more often than the error
    allows (t with one per set was not enough in simulation)."""
    import numpy as np

    d = np.asarray(log_ratios, dtype=float)
    n = len(d)
    if n < 4:
        return float(np.mean(d)), math.inf, 1
    return float(np.mean(d)), hac_se_of_mean(d), n // 2 - 1


def fit_interval(fit, alpha):
    """The 1 - ALPHA interval of a ratio_fit, in logs."""
    from scipy import stats

    mean, se, df = fit
    half = stats.t.ppf(1 - alpha / 2, df) * se if math.isfinite(se) else math.inf
    return mean - half, mean + half


def holm_levels(p_values, alpha):
    """Holm's step-down at level ALPHA over comparisons with P_VALUES: the
    error each comparison's interval is drawn at. In order of p, the k-th
    (from 0) of m is tested at ALPHA / (m - k) while every one before it
    was rejected; from the first that is not, the rest are drawn at that
    same level."""
    m = len(p_values)
    levels = [alpha / m] * m
    order = sorted(range(m), key=lambda i: p_values[i])
    stopped = None
    for k, i in enumerate(order):
        level = alpha / (m - k) if stopped is None else stopped
        if stopped is None and p_values[i] > level:
            stopped = level
        levels[i] = level
    return levels


def fit_p_value(fit):
    """The two-sided p-value of a ratio_fit's ratio being 1."""
    from scipy import stats

    mean, se, df = fit
    if se == 0:
        return 0.0 if mean != 0 else 1.0
    if not math.isfinite(se):
        return 1.0
    return float(2 * stats.t.sf(abs(mean / se), df))


def lag1_autocorrelation(values):
    """The autocorrelation of VALUES at lag 1 (statsmodels' acf); None
    below four values or for a constant series."""
    import numpy as np
    from statsmodels.tsa.stattools import acf

    x = np.asarray(values, dtype=float)
    if len(x) < 4 or np.ptp(x) == 0:
        return None
    return float(acf(x, nlags=1, fft=False)[1])


def drift(values):
    """How far the rate moved over the run: the median of the last third of
    VALUES over that of the first third, minus 1; None below six values."""
    import numpy as np

    n = len(values)
    if n < 6:
        return None
    third = n // 3
    return float(np.median(values[-third:]) / np.median(values[:third]) - 1)
