# SPDX-License-Identifier: MIT
"""The plan of a comparison, fixed before its first round: the blocks of
rounds and their random order, how long a round of each build will take
(foreseen from the probe), how many repetitions a round runs, and how the
5 % error is spent over the looks.

A block holds PER_BLOCK rounds of every build in an order drawn afresh
for each block. The random order is what the interval rests on: when two
builds do not differ, which of a block's rounds were A's is a fair draw,
whatever the machine did meanwhile (a drift, a neighbour's burst, two
speeds), so the chance of each block's Mann-Whitney count is known
exactly. The looks come after every block; by the time T the rounds have
taken, a comparison may have spent alpha * (FIRST_SHARE + (1 -
FIRST_SHARE) * (T / cap)^RHO) of its error, the rest at the last look,
and the walk of the counts is bounded so that it never spends more
(_stats.BlockWalk)."""

import math
import random

from .. import _stats
from .._process import Refusal

# Google Benchmark's --benchmark_min_time for each repetition, in seconds.
MIN_TIME = 0.05
# What a round costs beyond its repetitions: starting the process, and
# Google Benchmark's search for an iteration count (a repetition of a
# short pass runs for up to half as long again as the minimum time).
ROUND_START = 0.1
ROUND_SLACK = 1.5
# Rounds of every build in a block. Five: the first block alone (ten
# rounds of two builds, about 20 s at the reference loop count) can
# decide a difference as large as -O0's, where blocks of three need two
# (twelve rounds) and of two three; a block's 25 pairs compare more than
# three blocks of three's 27 in fewer rounds, and the drift within 20 s
# blurred nothing measurable (see studies/noise-floor).
PER_BLOCK = 5
# The error spent by a look after a share T of the cap: FIRST_SHARE of it
# whatever T (what the first block's most extreme count needs, 0.79 % of
# the 5 % for two builds), and the rest as T^RHO, evenly over the time.
FIRST_SHARE = 0.2
RHO = 1.0


class Plan:
    """The comparison's plan: blocks, the error each comparison may spend
    (Bonferroni's share of 5 % across the comparisons), and the cap."""

    def __init__(self, builds, cap, per_block=PER_BLOCK, rho=RHO):
        self.labels = [build.label for build in builds]
        self.cap = cap
        self.per_block = per_block
        self.rho = rho
        self.size = per_block * len(builds)  # rounds in a block
        self.alpha = (1 - _stats.CONFIDENCE) / (len(builds) - 1)
        self.first = first_decisive(per_block, self.alpha)

    def spent(self, seconds, final):
        """What a look after SECONDS of rounds may have spent in all."""
        if final:
            return self.alpha
        return self.alpha * (FIRST_SHARE + (1 - FIRST_SHARE) *
                             min(1.0, seconds / self.cap) ** self.rho)

    def block_order(self, builds, rng):
        """One block: PER_BLOCK rounds of every build, in an order drawn at
        random."""
        order = [build for build in builds for _ in range(self.per_block)]
        rng.shuffle(order)
        return order

    def record(self):
        return {"order": "random within each block", "per_block": self.per_block,
                "block_rounds": self.size, "first_decisive_block": self.first,
                "alpha": round(self.alpha, 6),
                "spending": f"alpha * ({FIRST_SHARE:g} + {1 - FIRST_SHARE:g} * (T / cap)^"
                            f"{self.rho:g}) by a look after T seconds, alpha at the last"}


def first_decisive(per_block, alpha):
    """The fewest blocks after which a walk may decide at all: where the
    count's most extreme value is less likely than ALPHA / 2."""
    return max(1, math.ceil(math.log(alpha / 2) / math.log(_stats.block_count_step(per_block)[0])))


def new_rng():
    """The order's random source, seeded by the system: a live run's order
    is in its rounds' numbers, so no seed need be kept."""
    return random.Random(random.SystemRandom().getrandbits(64))


def round_seconds(build, loop, repetitions):
    """The foreseen length of one round of BUILD."""
    rep = max(build.seconds_per_loop * loop, ROUND_SLACK * MIN_TIME)
    return repetitions * rep + ROUND_START


def plan_repetitions(wanted):
    """WANTED, or one: fresh processes differ more than repetitions within
    one, so more rounds of one repetition resolve more per second than
    fewer rounds of several (a repetition lasts at least MIN_TIME, about
    as long as starting a round)."""
    return 1 if wanted is None else wanted


def check_cap(plan, builds, loop, repetitions):
    """Refuses a cap too short for the first look that can decide, as the
    probe foresees the rounds."""
    block = plan.per_block * sum(round_seconds(build, loop, repetitions) for build in builds)
    first = plan.first * block
    if not plan.cap >= first:
        passes = max(build.seconds_per_loop * loop for build in builds)
        rounds = plan.first * plan.per_block
        raise Refusal(2, f"--time {plan.cap:g}: too short for {rounds} rounds of each build, "
                         f"the first look that can decide (at least {first:.1f} s with "
                         f"{repetitions} repetition{'s' if repetitions != 1 else ''} a round of "
                         f"timed_pass/{loop}, whose pass takes about {passes:.2g} s here)")
