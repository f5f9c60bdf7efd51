# SPDX-License-Identifier: MIT
"""The verdicts: each build against A at a look, from the per-set log
ratios of their rates, with Holm's levels across the comparisons."""

import math

from .. import _stats


class Comparison:
    """Build X against A: its verdict once decided, and the look it was
    decided at."""

    def __init__(self, build):
        self.build = build
        self.verdict = None
        self.ratio = self.low = self.high = None
        self.sets = 0
        self.level = None
        self.more_seconds = None
        self.sections = None  # with --sections: each section's time ratio to A's


def log_ratios(a, x, sets):
    """The per-set log ratios of X's rate to A's over the first SETS sets (a
    round's rate: the median of its repetitions)."""
    import numpy as np

    return np.log([np.median(rx) / np.median(ra)
                   for (_, ra), (_, rx) in zip(a.rounds[:sets], x.rounds[:sets])])


def judge_look(a, comparisons, sets, alpha, margin, final, set_seconds):
    """One look at SETS sets: Holm's levels across the comparisons, and a
    verdict for each undecided one whose interval decides it (or, at the
    FINAL look, undecided with the time this machine would need)."""
    fits = [_stats.ratio_fit(log_ratios(a, c.build, sets)) for c in comparisons]
    levels = _stats.holm_levels([_stats.fit_p_value(fit) for fit in fits], alpha)
    lower, upper = math.log(1 - margin / 100), math.log(1 + margin / 100)
    for c, fit, level in zip(comparisons, fits, levels):
        if c.verdict is not None:
            continue
        low, high = _stats.fit_interval(fit, level)
        verdict = "faster" if low > 0 else "slower" if high < 0 else \
            "same" if lower <= low and high <= upper else None
        if verdict is None and not final:
            continue
        c.verdict, c.sets, c.level = verdict or "undecided", sets, level
        c.ratio, c.low, c.high = math.exp(fit[0]), math.exp(low), math.exp(high)
        if verdict is None:
            c.more_seconds = more_time(fit[0], (high - low) / 2, sets, lower, upper, set_seconds)


def more_time(mean, half, sets, lower, upper, set_seconds):
    """How much longer this machine would need to decide, the interval's
    half-width HALF shrinking as 1/sqrt(sets): until it excludes 1 at the
    current estimate, or fits within the margin, whichever comes first."""
    targets = [t for t in (abs(mean), min(upper - mean, mean - lower)) if t > 0]
    if not targets or not math.isfinite(half):
        return None
    needed = sets * (half / max(targets)) ** 2
    return max(0.0, needed - sets) * set_seconds
