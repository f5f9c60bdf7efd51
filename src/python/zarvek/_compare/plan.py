# SPDX-License-Identifier: MIT
"""The plan of a comparison, fixed before its first round: how long a
round of each build will take (foreseen from the probe), how many
repetitions a round runs, and the looks at which the rounds are judged,
with the error each may spend."""

from .. import _stats
from .._process import Refusal

# Google Benchmark's --benchmark_min_time for each repetition, in seconds.
MIN_TIME = 0.05
# What a round costs beyond its repetitions: starting the process, and
# Google Benchmark's search for an iteration count (a repetition of a
# short pass runs for up to half as long again as the minimum time).
ROUND_START = 0.1
ROUND_SLACK = 1.5
# The first look comes after this many blocks (a block is a round of every
# build and back: A B C C B A). With the blocks less one degrees of freedom,
# three blocks made a first look that decided nothing (t at 1 % with 2
# degrees of freedom is 9.9); at four, a 10 % difference was decided there
# in simulation.
FIRST_BLOCKS = 4


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


def plan_looks(builds, loop, repetitions, cap):
    """The planned looks, in sets (two per block), and the error each may
    spend; a cap too short for the first look is refused."""
    block = 2 * sum(round_seconds(build, loop, repetitions) for build in builds)
    first = FIRST_BLOCKS * block
    if not cap >= first:
        passes = max(build.seconds_per_loop * loop for build in builds)
        raise Refusal(2, f"--time {cap:g}: too short for {2 * FIRST_BLOCKS} rounds of each "
                         f"build, the first look's (at least {first:.1f} s with {repetitions} "
                         f"repetition{'s' if repetitions != 1 else ''} a round of "
                         f"timed_pass/{loop}, whose pass takes about {passes:.2g} s here)")
    return set_looks(int(cap / block))


def set_looks(blocks):
    """The looks, in sets, for a run of at most BLOCKS blocks (each look at a
    whole block, where a steady drift has cancelled), and the error each
    may spend."""
    looks = [2 * n for n in _stats.looks_plan(FIRST_BLOCKS, max(FIRST_BLOCKS, blocks))]
    return looks, round(_stats.alpha_per_look(looks), 6)
