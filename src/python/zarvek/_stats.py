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


def quantile_interval(values, q, alpha, independent=False):
    """The Q-quantile of VALUES (in time order) and its 1 - ALPHA interval:
    the order statistics at the binomial ranks that hold that quantile of
    independent runs, their distance from n Q stretched by
    sqrt(LRV / (Q (1 - Q))), where LRV is the long-run variance of the
    series of signs I(x_t < the quantile), estimated by Newey-West. With
    independent runs LRV is Q (1 - Q) and the interval is exact;
    correlated runs fall on the same side together, LRV grows, and the
    interval widens with it. LRV is never taken below Q (1 - Q) (a short
    series can underestimate it). A bound whose rank falls outside the
    runs is None. INDEPENDENT: the interval independent runs would give."""
    import numpy as np

    x = np.asarray(values, dtype=float)
    n = len(x)
    middle = float(np.quantile(x, q))
    if n < 3:
        return middle, None, None
    lower, upper, _ = quantile_ranks(x, q, alpha, independent)
    ordered = np.sort(x)
    low = float(ordered[lower - 1]) if lower >= 1 else None
    high = float(ordered[upper - 1]) if upper <= n else None
    return middle, low, high


def median_interval(values, alpha, independent=False):
    """The median of VALUES and its 1 - ALPHA interval (quantile_interval)."""
    return quantile_interval(values, 0.5, alpha, independent)


def independent_ranks(n, alpha, q=0.5):
    """The ranks (from 1, in sorted order) of the order statistics that hold
    the Q-quantile of N independent runs with a chance of at least
    1 - ALPHA: the lower, the largest k with P(Binomial(N, Q) <= k - 1)
    <= ALPHA / 2 (0 where no run bounds it), and the upper, the smallest
    k with P(Binomial(N, Q) >= k) <= ALPHA / 2 (N + 1 where none does)."""
    from scipy import stats

    lower = int(stats.binom.ppf(alpha / 2, n, q))
    if stats.binom.cdf(lower, n, q) <= alpha / 2:
        lower += 1
    upper = int(stats.binom.ppf(1 - alpha / 2, n, q)) + 1
    return lower, upper


def quantile_ranks(values, q, alpha, independent=False):
    """The ranks (from 1, in sorted order; they may fall outside the runs)
    of the bounds of quantile_interval, and how far the runs' correlation
    moved them: sqrt(LRV / (Q (1 - Q))), 1 where it did not. The ranks
    are the independent runs' (exact, binomial), their distance from
    n Q stretched by that factor."""
    import numpy as np

    x = np.asarray(values, dtype=float)
    n = len(x)
    cut = np.quantile(x, q)
    signs = (x < cut) + 0.5 * (x == cut)
    unit = math.sqrt(n * q * (1 - q))
    factor = 1.0 if independent else max(n * hac_se_of_mean(signs), unit) / unit
    lower, upper = independent_ranks(n, alpha, q)
    middle = n * q + 0.5
    return (math.floor(middle - (middle - lower) * factor + 1e-9),
            math.ceil(middle + (upper - middle) * factor - 1e-9), factor)


def median_ranks(values, alpha, independent=False):
    """quantile_ranks of the median."""
    return quantile_ranks(values, 0.5, alpha, independent)


def block_count_step(m):
    """P(U = 0 .. m*m), U the Mann-Whitney count of a block: how many of the
    m * m pairs of a round of B and a round of A in a block of m rounds of
    each have B's value above A's, when the builds do not differ and the
    order within the block was drawn at random (every choice of B's m
    places among the 2m as likely)."""
    import numpy as np
    from itertools import combinations

    counts = np.zeros(m * m + 1)
    for places in combinations(range(2 * m), m):
        # The i-th lowest of B's values, at rank r, is above r - i of A's.
        counts[sum(r - i for i, r in enumerate(places))] += 1
    return counts / counts.sum()


class BlockWalk:
    """The sum of the blocks' Mann-Whitney counts, looked at after each
    block, when the builds do not differ: a random walk whose steps the
    random order alone makes independent and distributed as
    block_count_step(m), whatever the machine did. At each look the
    boundary is the widest whose chance of ever having been crossed, on
    either side, is within what the plan has spent so far; a comparison
    whose sum lies beyond it is decided. Exact: no model of the noise, no
    approximation, and every look counted."""

    def __init__(self, m):
        import numpy as np

        self.step = block_count_step(m)
        self.alive = np.array([1.0])  # the walk's chances, not yet stopped
        self.crossed = 0.0  # the chance of having crossed below, so far
        self.blocks = 0
        self.bound = -1

    def look(self, spent):
        """One more block, and a look that may have spent SPENT in all (both
        sides): the new lower boundary l (a sum <= l or >= m*m*blocks - l
        is beyond it; -1 where none can be)."""
        import numpy as np

        self.alive = np.convolve(self.alive, self.step)
        self.blocks += 1
        below = np.cumsum(self.alive) <= spent / 2 - self.crossed + 1e-12
        self.bound = int(np.nonzero(below)[0][-1]) if below.any() else -1
        if self.bound >= 0:
            self.crossed += float(np.sum(self.alive[:self.bound + 1]))
            self.alive[:self.bound + 1] = 0
            self.alive[len(self.alive) - 1 - self.bound:] = 0
        return self.bound


def block_sum_p_value(m, blocks, count):
    """The two-sided chance that the sum of BLOCKS blocks' counts lies as far
    from the middle as COUNT, when the builds do not differ: for a test at
    one look (the sections')."""
    import numpy as np

    dist = np.array([1.0])
    for _ in range(blocks):
        dist = np.convolve(dist, block_count_step(m))
    cum = np.cumsum(dist)
    low = cum[count]
    high = 1 - (cum[count - 1] if count > 0 else 0.0)
    return float(min(1.0, 2 * min(low, high)))


def one_look_bound(m, blocks, alpha):
    """The walk's boundary for a single look after BLOCKS blocks at level
    ALPHA (both sides)."""
    walk = BlockWalk(m)
    for _ in range(blocks - 1):
        walk.look(0.0)
    return walk.look(alpha)


def block_differences(blocks):
    """The log differences x_B - x_A of every pair of a round of B and a
    round of A in the same block, sorted; BLOCKS a list of (A's values, B's
    values) in logs."""
    import numpy as np

    return np.sort([b - a for xa, xb in blocks for b in xb for a in xa])


def shift_interval(differences, bound):
    """The estimate of log(B / A), the median of the within-block
    differences (a Hodges-Lehmann estimate, blocked), and the interval of
    the shifts a walk at this BOUND does not reject: the differences of
    ranks bound + 1 and n - bound. None for a side the walk cannot bound."""
    import numpy as np

    d = np.asarray(differences, dtype=float)
    middle = float(np.median(d))
    if bound < 0:
        return middle, None, None
    return middle, float(d[bound]), float(d[len(d) - 1 - bound])


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
