# SPDX-License-Identifier: MIT
"""The sections phase of --sections: after the verdicts, rounds of
sections/LOOP in the same order, and per section the ratio of each
build's time to A's with an interval, which explains a verdict and never
enters it."""

import math
import sys
import time

from .. import _bench, _stats, _workload
from .._process import Refusal
from .builds import loops_listed
from .output import signed
from .plan import round_seconds
from .rounds import bench_round, rotation

PROG = "zarvek-compare"
CONFIDENCE = _stats.CONFIDENCE
# The sections phase: this many blocks of sections/LOOP rounds. Each
# section's interval has the blocks less one degrees of freedom and shares
# 5 % with the seven other sections that do work (Holm), so t at the
# first section's 0.625 % is 6.9 with 4 blocks, 3.9 with 8 and 3.4 with
# 12: eight buy most of what more would, in 16 rounds of each build.
SECTION_BLOCKS = 8
SECTIONS_INTERVAL = ("geometric mean of the per-set ratios of each section's time; Newey-West "
                     "variance of the per-set log ratios, t with the blocks less one degrees "
                     "of freedom; Holm's step-down at 5 % across the sections that do work")


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


def measure_sections(builds, loop, repetitions, cpu, extra):
    """The sections phase, after the verdicts: SECTION_BLOCKS blocks of
    sections/LOOP rounds of BUILDS in the rotating order, each round's ten
    times per loop (the medians of its repetitions) kept with its build.
    Returns the rounds run and their seconds."""
    import numpy as np

    name = f"sections/{loop}"
    order = rotation(builds)
    total = SECTION_BLOCKS * len(order)
    durations = []
    start = time.monotonic()
    progress = sys.stderr.isatty()
    for n in range(total):
        build = order[n % len(order)]
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
        build.section_rounds.append([float(t) for t in np.median(times, axis=0)])
        build.section_times.append((round(began - start, 3), round(ended - start, 3)))
        durations.append(ended - began)
        if progress:
            print(f"\rsections round {n + 1} of {total}", end="", file=sys.stderr, flush=True)
    if progress:
        print("\r\033[K", end="", file=sys.stderr, flush=True)
    return total, time.monotonic() - start


def explain_sections(a, x):
    """X's time in each section that does work over A's: the geometric mean
    of the per-set ratios (a set: one sections round of every build) with
    its interval, Holm's levels shared across the sections, and each
    side's median time per loop. A section that a round timed at 0 gets
    no ratio."""
    import numpy as np

    ta, tx = np.array(a.section_rounds), np.array(x.section_rounds)
    working = [s for s in range(1, 11) if s not in _workload.SECTIONS_WITHOUT_WORK]
    fits = {s: _stats.ratio_fit(np.log(tx[:, s - 1] / ta[:, s - 1])) for s in working
            if np.all(ta[:, s - 1] > 0) and np.all(tx[:, s - 1] > 0)}
    p_values = [_stats.fit_p_value(fit) for fit in fits.values()]
    levels = dict(zip(fits, _stats.holm_levels(p_values, 1 - CONFIDENCE)))
    explained = []
    for s in working:
        entry = {"section": s, "name": _workload.SECTION_NAMES[s - 1],
                 "a_ns_per_loop": float(np.median(ta[:, s - 1])),
                 "ns_per_loop": float(np.median(tx[:, s - 1])),
                 "ratio": None, "ci_low": None, "ci_high": None, "alpha": None}
        if s in fits:
            low, high = _stats.fit_interval(fits[s], levels[s])
            entry.update(ratio=math.exp(fits[s][0]), ci_low=math.exp(low),
                         ci_high=math.exp(high), alpha=levels[s])
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
    beyond = sorted((e for e in measured if e["ci_low"] > 1 or e["ci_high"] < 1),
                    key=lambda e: -abs(math.log(e["ratio"])))
    parts = [f"section {e['section']} {signed((e['ratio'] - 1) * 100)} %" for e in beyond]
    if len(beyond) < len(measured):
        parts.append("the rest within the noise" if beyond else "every section within the noise")
    return f"{head}; {x}'s time by section: {', '.join(parts)}"


def sections_phase(builds, comparisons, loop, repetitions, cpu, extra):
    """--sections: the phase's record, with each comparison's sections set;
    None where fewer than two builds (A among them) have sections/LOOP, or
    where a round failed (said: the verdicts stand without it)."""
    have, args = sections_builds(builds, loop, extra)
    if not have:
        return None
    try:
        rounds, seconds = measure_sections(have, loop, repetitions, cpu, args)
    except Refusal as e:
        print(f"{PROG}: warning: {e}: the verdicts stand, without their sections",
              file=sys.stderr)
        return None
    for c in comparisons:
        if c.build in have:
            c.sections = explain_sections(builds[0], c.build)
    return {"benchmark": f"sections/{loop}", "loops": loop, "blocks": SECTION_BLOCKS,
            "rounds": rounds, "sets": rounds // len(have),
            "order": " ".join(build.label for build in rotation(have)),
            "seconds": round(seconds, 3), "interval": SECTIONS_INTERVAL}


def print_sections(a, comparisons, phase, margin):
    """Each comparison's sections: a table of the times and ratios, and
    the sentence that explains its verdict."""
    without = " and ".join(str(s) for s in _workload.SECTIONS_WITHOUT_WORK)
    working = 10 - len(_workload.SECTIONS_WITHOUT_WORK)
    print(f"\nSections: {phase['benchmark']}, {phase['blocks']} blocks after the verdicts "
          f"({phase['rounds']} rounds, {phase['sets']} sets, {phase['order']} ...), "
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
            interval = "" if e["ratio"] is None else f"{e['ci_low']:.4f} to {e['ci_high']:.4f}"
            print(f"{e['section']:2} {e['name']:<36}  {e['a_ns_per_loop']:10.1f}  "
                  f"{e['ns_per_loop']:10.1f}  {ratio}  {interval}")
        print(sections_sentence(c, a, margin))
