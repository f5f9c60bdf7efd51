# SPDX-License-Identifier: MIT
"""The sections phase of --sections: after the verdicts, blocks of
sections/LOOP rounds in a random order as the rating's, and per section
the ratio of each build's time to A's with an interval found as the
verdicts' are (at one look), which explains a verdict and never enters
it."""

import math
import sys
import time

from .. import _bench, _progress, _stats, _workload
from .._process import Refusal
from .builds import loops_listed
from .output import bound, signed
from .judge import by_block
from .plan import new_rng, round_seconds
from .rounds import bench_round

PROG = "zarvek-compare"
CONFIDENCE = _stats.CONFIDENCE
# The sections phase: this many blocks of sections/LOOP rounds, 15 rounds
# of each build at five a block. Each section's interval shares 5 % with
# the seven other sections that do work (Holm), so the first section's
# is drawn at 0.625 %: two blocks could just reject at that level, three
# leave room for the noise of a real machine.
SECTION_BLOCKS = 3
SECTIONS_INTERVAL = ("the median of the within-block ratios of each section's time; the exact "
                     "interval of the blocks' Mann-Whitney counts under the random order, at "
                     "Holm's step-down levels of 5 % across the sections that do work")


def sections_builds(builds, loop, extra):
    """The builds whose zarvek-bench lists sections/LOOP, and the arguments
    every sections round gets: EXTRA, or --loops=LOOP where more builds
    list it so (zarvek-bench lists sections/ at the reference loop count
    and at the count --loops names). A build without it is noted; without
    A's, there is nothing to compare with."""
    def having(args):
        return [build for build in builds if loop in (
            loops_listed(build, args, strict=False, benchmark="sections") or ())]

    args, have = list(extra), having(extra)
    if len(have) < len(builds) and not extra:
        more = having([f"--loops={loop}"])
        if len(more) > len(have):
            args, have = [f"--loops={loop}"], more
    if builds[0] not in have:
        have = []
    for build in builds:
        if build not in have:
            lost = "no build's sections are compared" if build is builds[0] else \
                "its sections are not compared"
            print(f"{PROG}: note: {build}: its zarvek-bench has no sections/{loop} (it is older "
                  f"than {PROG}): {lost}", file=sys.stderr)
    return (have if len(have) > 1 else []), args


def measure_sections(builds, plan, loop, repetitions, cpu, extra):
    """The sections phase, after the verdicts: SECTION_BLOCKS blocks of
    sections/LOOP rounds of BUILDS, each in an order drawn at random, each
    round's ten times per loop (the medians of its repetitions) kept with
    its build and its number. Returns the rounds run and their seconds."""
    import numpy as np

    name = f"sections/{loop}"
    rng = new_rng()
    total = SECTION_BLOCKS * plan.per_block * len(builds)
    durations = []
    start = time.monotonic()
    progress = _progress.Progress()
    for _ in range(SECTION_BLOCKS):
        for build in plan.block_order(builds, rng):
            foreseen = round_seconds(build, loop, repetitions)
            timeout = max(120.0, 20 * max(durations, default=foreseen))
            began = time.monotonic()
            _, runs = bench_round(build, name, repetitions, cpu, timeout, extra)
            try:
                times = [_bench.section_times(run_, name) for run_ in runs]
            except ValueError as e:
                raise build.fail(str(e)) from None
            if len(times) != repetitions:
                raise build.fail(f"zarvek-bench reported {len(times)} runs of {name}, "
                                 f"not {repetitions}")
            ended = time.monotonic()
            build.section_rounds.append(
                (len(durations) + 1, [float(t) for t in np.median(times, axis=0)]))
            build.section_times.append((round(began - start, 3), round(ended - start, 3)))
            durations.append(ended - began)
            progress.show(f"sections round {len(durations)} of {total}")
    progress.clear()
    return total, time.monotonic() - start


def explain_sections(a, x, blocks, size, per_block):
    """X's time in each section that does work over A's: the median of the
    within-block ratios with its exact interval, Holm's levels shared
    across the sections, and each side's median time per loop. A section
    that a round timed at 0 gets no ratio."""
    import numpy as np

    working = [s for s in range(1, 11) if s not in _workload.SECTIONS_WITHOUT_WORK]
    ta = np.array([t for _, t in a.section_rounds])
    tx = np.array([t for _, t in x.section_rounds])
    differences, p_values = {}, {}
    for s in working:
        if not (np.all(ta[:, s - 1] > 0) and np.all(tx[:, s - 1] > 0)):
            continue

        def log_time(times, s=s):
            return math.log(times[s - 1])
        d = _stats.block_differences(list(zip(by_block(a.section_rounds, blocks, size, log_time),
                                              by_block(x.section_rounds, blocks, size, log_time))))
        differences[s] = d
        p_values[s] = _stats.block_sum_p_value(per_block, blocks, int(np.sum(d > 0)))
    levels = dict(zip(p_values, _stats.holm_levels(list(p_values.values()), 1 - CONFIDENCE)))
    explained = []
    for s in working:
        entry = {"section": s, "name": _workload.SECTION_NAMES[s - 1],
                 "a_ns_per_loop": float(np.median(ta[:, s - 1])),
                 "ns_per_loop": float(np.median(tx[:, s - 1])),
                 "ratio": None, "ci_low": None, "ci_high": None, "alpha": None}
        if s in differences:
            bound = _stats.one_look_bound(per_block, blocks, levels[s])
            middle, low, high = _stats.shift_interval(differences[s], bound)
            entry.update(ratio=math.exp(middle), alpha=levels[s],
                         ci_low=None if low is None else math.exp(low),
                         ci_high=None if high is None else math.exp(high))
        explained.append(entry)
    return explained


def sections_sentence(c, a, margin):
    """The verdict, and the sections whose time differs beyond the noise,
    the largest change first."""
    x, ratio = c.build.label, c.ratio
    head = {"faster": f"{x} is {(ratio - 1) * 100:.1f} % faster than {a.label}",
            "slower": f"{x} is {(1 - ratio) * 100:.1f} % slower than {a.label}",
            "same": f"{x} is the same as {a.label} within \u00b1{margin:g} %"}.get(
                c.verdict, f"{x} against {a.label} is undecided")
    measured = [e for e in c.sections if e["ratio"] is not None]
    beyond = sorted((e for e in measured if e["ci_low"] is not None
                     and (e["ci_low"] > 1 or e["ci_high"] < 1)),
                    key=lambda e: -abs(math.log(e["ratio"])))
    parts = [f"section {e['section']} {signed((e['ratio'] - 1) * 100)} %" for e in beyond]
    if len(beyond) < len(measured):
        parts.append("the rest within the noise" if beyond else "every section within the noise")
    return f"{head}; {x}'s time by section: {', '.join(parts)}"


def sections_phase(builds, comparisons, plan, loop, repetitions, cpu, extra):
    """--sections: the phase's record, with each comparison's sections set;
    None where fewer than two builds (A among them) have sections/LOOP, or
    where a round failed (said: the verdicts stand without it)."""
    have, args = sections_builds(builds, loop, extra)
    if not have:
        return None
    try:
        rounds, seconds = measure_sections(have, plan, loop, repetitions, cpu, args)
    except Refusal as e:
        print(f"{PROG}: warning: {e}: the verdicts stand, without their sections",
              file=sys.stderr)
        return None
    return judge_sections(builds[0], comparisons, have, plan.per_block, loop, rounds, seconds)


def judge_sections(a, comparisons, have, per_block, loop, rounds, seconds):
    """Each comparison's sections from the phase's rounds (a live run's or
    a saved one's), and the phase's record."""
    size = per_block * len(have)
    for c in comparisons:
        if c.build in have:
            c.sections = explain_sections(a, c.build, rounds // size, size, per_block)
    return {"benchmark": f"sections/{loop}", "loops": loop, "blocks": rounds // size,
            "per_block": per_block, "rounds": rounds, "builds": [b.label for b in have],
            "order": "random within each block", "seconds": round(seconds, 3),
            "interval": SECTIONS_INTERVAL}


def print_sections(a, comparisons, phase, margin):
    """Each comparison's sections: a table of the times and ratios, and
    the sentence that explains its verdict."""
    without = " and ".join(str(s) for s in _workload.SECTIONS_WITHOUT_WORK)
    working = 10 - len(_workload.SECTIONS_WITHOUT_WORK)
    print(f"\nSections: {phase['benchmark']}, {phase['blocks']} blocks after the verdicts "
          f"({phase['rounds']} rounds, {phase['per_block']} of each build a block in a random "
          f"order), "
          f"{phase['seconds']:.1f} s; each section's time per loop, and its ratio to "
          f"{a.label}'s with a {CONFIDENCE * 100:.0f} % CI, Holm across the {working} sections "
          f"that do work ({without} do none)")
    ci = f"{CONFIDENCE * 100:.0f} % CI"
    for c in comparisons:
        if c.sections is None:
            continue
        x = c.build.label
        print(f"\nSection{'':32}  {a.label + ' ns/loop':>10}  {x + ' ns/loop':>10}  "
              f"{x + '/' + a.label + ' time':>9}  {ci}")
        for e in c.sections:
            ratio = "   no time" if e["ratio"] is None else f"{e['ratio']:9.4f}"
            interval = "" if e["ratio"] is None else \
                f"{bound(e['ci_low'])} to {bound(e['ci_high'])}"
            print(f"{e['section']:2} {e['name']:<36}  {e['a_ns_per_loop']:10.1f}  "
                  f"{e['ns_per_loop']:10.1f}  {ratio}  {interval}")
        print(sections_sentence(c, a, margin))
