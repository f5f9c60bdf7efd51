# SPDX-License-Identifier: MIT
"""The verdicts: each build against A at a look, from the rounds of the
blocks so far. Within a block every build ran the same number of rounds
in an order drawn at random, so the pairs of a round of X and a round of
A in one block are what the comparison rests on: their log differences
give the estimate (their median) and, against the walk's boundary, the
interval."""

import math

from .. import _stats


class Comparison:
    """Build X against A: the estimate and interval at the latest look, and
    the verdict with the look that decided it."""

    def __init__(self, build):
        self.build = build
        self.verdict = None
        self.ratio = self.low = self.high = None
        self.blocks = 0  # at the latest look
        self.decided = None  # {blocks, rounds, seconds, ratio, ci_low, ci_high} when decided
        self.more_seconds = None
        self.why = None  # for an undecided one, why it is
        self.sections = None  # with --sections: each section's time ratio to A's


def by_block(rounds, blocks, size, value):
    """Each of the first BLOCKS blocks of SIZE rounds: the VALUE of each of
    ROUNDS, (round number from 1, what it measured), that fell in it."""
    grouped = [[] for _ in range(blocks)]
    for n, measured in rounds:
        if (n - 1) // size < blocks:
            grouped[(n - 1) // size].append(value(measured))
    return grouped


def log_rate(rates):
    """A round's log rate: the median of its repetitions'."""
    import numpy as np

    return math.log(float(np.median(rates)))


def block_values(a, x, blocks, size):
    """(A's log rates, X's log rates) in each of the first BLOCKS blocks."""
    return list(zip(by_block(a.rounds, blocks, size, log_rate),
                    by_block(x.rounds, blocks, size, log_rate)))


def judge_look(a, comparisons, blocks, size, bound, margin, final, seconds):
    """One look after BLOCKS blocks, with the walk's BOUND: every
    comparison's estimate and interval, and a verdict for each undecided
    one that its interval decides (or, at the FINAL look, undecided with
    the time this machine would need). SECONDS: the rounds' time so far."""
    lower, upper = math.log(1 - margin / 100), math.log(1 + margin / 100)
    for c in comparisons:
        d = _stats.block_differences(block_values(a, c.build, blocks, size))
        middle, low, high = _stats.shift_interval(d, bound)
        c.blocks = blocks
        c.ratio = math.exp(middle)
        c.low, c.high = (None, None) if low is None else (math.exp(low), math.exp(high))
        if c.verdict is not None:
            continue
        verdict = None if low is None else "faster" if low > 0 else "slower" if high < 0 else \
            "same" if lower <= low and high <= upper else None
        if verdict is not None:
            c.verdict = verdict
            c.decided = {"blocks": blocks, "rounds": blocks * size, "seconds": round(seconds, 3),
                         "ratio": c.ratio, "ci_low": c.low, "ci_high": c.high}
        elif final:
            c.verdict = "undecided"
            if low is None:
                c.why = "the cap came before the first look that could decide"
            else:
                c.more_seconds = more_time(middle, (high - low) / 2, blocks, lower, upper,
                                           seconds / blocks)


def more_time(middle, half, blocks, lower, upper, block_seconds):
    """How much longer this machine would need to decide, the interval's
    half-width HALF shrinking as 1/sqrt(blocks): until it excludes 1 at
    the current estimate MIDDLE, or fits within the margin, whichever
    comes first."""
    targets = [t for t in (abs(middle), min(upper - middle, middle - lower)) if t > 0]
    if not targets or not math.isfinite(half):
        return None
    needed = blocks * (half / max(targets)) ** 2
    return max(0.0, needed - blocks) * block_seconds


class Looks:
    """The looks of a run, one after every block: the walk's boundary from
    the error the plan has spent by then, and each comparison judged at
    it. The same for a live run and for its saved rounds judged again, so
    that both give the same verdicts."""

    def __init__(self, plan, builds, comparisons, margin):
        self.plan, self.a, self.comparisons, self.margin = plan, builds[0], comparisons, margin
        self.walk = _stats.BlockWalk(plan.per_block)
        self.blocks = 0
        self.final = False

    def after_block(self, seconds):
        """The look after one more block, whose last round ended SECONDS
        after the first began: whether it is the last (the next block
        would pass the cap, at the pace so far), and whether every
        comparison is decided."""
        self.blocks += 1
        self.final = seconds + seconds / self.blocks > self.plan.cap
        bound = self.walk.look(self.plan.spent(seconds, self.final))
        judge_look(self.a, self.comparisons, self.blocks, self.plan.size, bound, self.margin,
                   self.final, seconds)
        return self.final, all(c.verdict for c in self.comparisons)
