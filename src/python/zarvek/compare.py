# SPDX-License-Identifier: MIT
"""zarvek-compare: is build B (or C, ...) faster than build A, by how much,
and how sure?

It has zarvek-verify judge every build's zarvek and checks that no build's
zarvek-bench flushes subnormal numbers to zero, then runs the builds'
zarvek-bench in a balanced rotating order (A B C C B A A B C ...) on one
CPU, each round a fresh process timing the same timed_pass/LOOP. Every
rate is the pass's benchmark instructions over its wall-clock time. Each
build is compared with A by the geometric mean of its per-set ratios
(a set is one round of every build), with an interval from a Newey-West
variance, at looks planned in advance (Bonferroni's share of 5 % each,
Holm across the comparisons within a look). A comparison is decided at
the first look whose interval excludes 1 (faster or slower) or lies
within +-M (same); the run ends when all are decided, or at the cap.
With --sections, a fixed phase of sections/LOOP rounds in the same order
then says which of the pass's sections each build's difference is in:
per section, the ratio of X's time to A's with an interval (Holm across
the sections), which explains the verdict and never enters it.

Exit status: 0 compared (whatever the verdicts); 3 with --fail-slower
when a build is slower than A; 1 a build is not faithful or flushes
subnormal numbers to zero; 2 bad input or a failure (never with a
verdict); 128 + the signal when interrupted.
"""

import argparse
import json
import math
import os
import re
import string
import subprocess
import sys
import time

from . import _bench, _files, _process, _stats, _workload
from ._process import Refusal, how_it_ended, run
from ._version import VERSION

PROG = "zarvek-compare"
CONFIDENCE = _stats.CONFIDENCE
# Google Benchmark's --benchmark_min_time for each repetition, in seconds.
MIN_TIME = 0.05
# The probe's timed_pass: the largest all list up to this one, a short
# pass from which the length of a round at any LOOP is foreseen (the rate
# rises with the loop count, so the foresight errs on the long side).
PROBE_LOOP = 1000
# What a round costs beyond its repetitions: starting the process, and
# Google Benchmark's search for an iteration count (a repetition of a
# short pass runs for up to half as long again as the minimum time).
ROUND_START = 0.1
ROUND_SLACK = 1.5
LOOP_MAX = 2**31 - 1
TIME_UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
# The first look comes after this many blocks (a block is a round of every
# build and back: A B C C B A). With the blocks less one degrees of freedom,
# three blocks made a first look that decided nothing (t at 1 % with 2
# degrees of freedom is 9.9); at four, a 10 % difference was decided there
# in simulation.
FIRST_BLOCKS = 4
TIME_DEFAULT = 120.0
MARGIN = 1.0
# The sections phase: this many blocks of sections/LOOP rounds. Each
# section's interval has the blocks less one degrees of freedom and shares
# 5 % with the seven other sections that do work (Holm), so t at the
# first section's 0.625 % is 6.9 with 4 blocks, 3.9 with 8 and 3.4 with
# 12: eight buy most of what more would, in 16 rounds of each build.
SECTION_BLOCKS = 8
SECTIONS_INTERVAL = ("geometric mean of the per-set ratios of each section's time; Newey-West "
                     "variance of the per-set log ratios, t with the blocks less one degrees "
                     "of freedom; Holm's step-down at 5 % across the sections that do work")
INTERVAL = ("geometric mean of the per-set ratios; Newey-West variance of the per-set log "
            "ratios, t with the blocks less one degrees of freedom; Bonferroni's share of 5 % "
            "at each planned look, Holm across the comparisons within a look")


class Build:
    """One build of the comparison: where its programs are, and what it gave."""

    def __init__(self, label, path):
        self.label = label
        self.path = path
        self.bench = None
        self.zarvek = None
        self.verifier = "not verified"
        self.context = {}
        self.seconds_per_loop = 0.0  # a pass's time per unit of loop count, from the probe
        self.subnormal = False  # a round's pass raised the underflow flag
        self.rounds = []  # (round number from 1, [rates of its repetitions])
        self.section_rounds = []  # each sections round's ten times per loop, in ns

    def __str__(self):
        return f"{self.label} ({self.path})"

    def fail(self, message):
        return Refusal(2, f"{self}: {message}")


def locate(build, verify):
    """Finds the build's zarvek-bench (and zarvek, when it is to be judged)."""
    if os.path.isdir(build.path):
        build.bench = os.path.join(build.path, "zarvek-bench")
    elif os.path.exists(build.path):
        build.bench = build.path
    else:
        raise build.fail("no such build folder or zarvek-bench")
    build.zarvek = os.path.join(os.path.dirname(os.path.abspath(build.bench)), "zarvek")
    if not _process.executable(build.bench):
        raise build.fail(f"{build.bench} is not an executable zarvek-bench")
    if verify and not _process.executable(build.zarvek):
        raise build.fail(f"no executable zarvek beside its zarvek-bench ({build.zarvek}) "
                         "for zarvek-verify to judge; --no-verify compares without it")


def grouped(n):
    return f"{n:,}"


def bench_command(build, *args):
    """The command and folder that run BUILD's zarvek-bench. Every build runs
    as ./zarvek-bench from its own folder with the same arguments, so that
    the path's length, which the kernel copies onto the stack, cannot shift
    one build's stack against another's."""
    folder = os.path.dirname(os.path.abspath(build.bench))
    return ["./" + os.path.basename(build.bench), *args], folder


def loops_listed(build, extra=(), strict=True, benchmark="timed_pass"):
    """The LOOPs of the BENCHMARK/LOOP that BUILD's zarvek-bench lists with
    the arguments EXTRA; None, when not STRICT, if it refuses them."""
    argv, folder = bench_command(build, *extra, "--benchmark_list_tests")
    status, out, err = run(argv, cwd=folder, timeout=60)
    if status != 0:
        if not strict:
            return None
        raise build.fail(f"zarvek-bench --benchmark_list_tests {how_it_ended(status, err)}")
    names = out.decode(errors="replace").split()
    pattern = re.compile(re.escape(benchmark) + r"/(\d+)")
    return {int(m.group(1)) for m in map(pattern.fullmatch, names) if m}


def list_loops(builds, wanted):
    """The LOOPs each build lists, and the arguments every run needs: for a
    WANTED that a build does not list, --loops=WANTED, with which a
    zarvek-bench that takes it lists it too. Every build gets the same."""
    listed = {build: loops_listed(build) for build in builds}
    extra = []
    if wanted is not None and any(wanted not in listed[build] for build in builds):
        extra = [f"--loops={wanted}"]
        for build in builds:
            loops = loops_listed(build, extra, strict=False)
            if loops is None or wanted not in loops:
                raise build.fail(f"zarvek-bench has no timed_pass/{wanted}"
                                 + ("" if loops is not None else " and takes no --loops"))
            listed[build] = loops
    if wanted is None and not set.intersection(*listed.values()):
        shown = "; ".join(f"{build.label}: {', '.join(map(str, sorted(listed[build]))) or 'none'}"
                          for build in builds)
        names = " and ".join(str(build) for build in builds)
        raise Refusal(2, f"{names} have no timed_pass LOOP in common ({shown})")
    return listed, extra


def context_count(builds, key, default):
    """A positive whole number that the first of BUILDS to name KEY in its
    context gives, else DEFAULT."""
    for build in builds:
        value = str(build.context.get(key, ""))
        if value.isdigit() and int(value) > 0:
            return int(value)
    return default


def default_loop(builds, listed):
    """The reference loop count where every build lists it; else the largest
    LOOP all list, saying so."""
    reference = context_count(builds, "reference_loop", _workload.REFERENCE_LOOP)
    common = set.intersection(*listed.values())
    if reference in common:
        return reference
    loop = max(common)
    lacking = " and ".join(str(build) for build in builds if reference not in listed[build])
    print(f"{PROG}: note: no timed_pass/{reference} (the reference loop count) in the "
          f"zarvek-bench of {lacking}; comparing at timed_pass/{loop}, the largest loop count "
          f"{'both' if len(builds) == 2 else 'all'} list", file=sys.stderr)
    return loop


def probe(builds, listed, extra, cpu):
    """One short repetition of each build's timed_pass, on the CPU the
    rounds run on: its context, which must not flush subnormal numbers to
    zero, and the time of a pass per unit of loop count, from which the
    length of the rounds is foreseen."""
    common = set.intersection(*listed.values())
    loop = max((n for n in common if n <= PROBE_LOOP), default=min(common))
    for build in builds:
        rates, _ = measure_round(build, loop, 1, cpu, 120, extra)
        build.seconds_per_loop = _workload.INSTRUCTIONS_PER_LOOP / rates[0]
        _bench.check_flush_to_zero(f"{build}: {build.bench}", build.context, "not compared")


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


def verify_builds(builds):
    """zarvek-verify, beside this program, judges every build's zarvek. A
    verdict that cannot be had is status 2; a build not faithful, status 1
    with the verifier's shortfalls (for every build that falls short)."""
    from . import _verdict

    verifier = _process.beside(sys.argv[0], "zarvek-verify")
    if verifier is None:
        raise Refusal(2, f"no zarvek-verify beside {PROG} in "
                         f"{os.path.dirname(os.path.abspath(sys.argv[0]))}; "
                         "--no-verify compares without the verdict")
    refusals = []
    judged = {}  # digest of a zarvek: its Verdict
    for build in builds:
        # The same bytes get the same verdict: judge them once.
        digest = _files.file_digest(build.zarvek)
        if digest not in judged:
            print(f"Verifying {build.label}: {verifier} {build.zarvek}", file=sys.stderr)
            judged[digest] = _verdict.verify(verifier, build.zarvek)
        verdict = judged[digest]
        if verdict.status == 0:
            build.verifier = "faithful"
        elif verdict.status == 1:
            build.verifier = "not faithful"
            refusals.append(f"{build}: {build.zarvek} is not faithful; it is not compared.\n"
                            f"{verdict.shortfalls()}")
        else:
            raise build.fail(f"{verdict.message}\n(--no-verify compares without the verdict)")
    if refusals:
        raise Refusal(1, "\n".join(refusals))


def bench_round(build, name, repetitions, cpu, timeout, extra):
    """One run of BUILD's zarvek-bench timing benchmark NAME: its JSON
    report and the runs of NAME."""
    argv, folder = bench_command(build, *extra, f"--benchmark_filter=^{name}$",
                                 f"--benchmark_repetitions={repetitions}",
                                 f"--benchmark_min_time={MIN_TIME}", "--benchmark_format=json")
    try:
        status, out, err = run(argv, cwd=folder, cpu=cpu, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise build.fail(f"zarvek-bench did not finish a round in {timeout:.0f} s") from None
    if status != 0:
        raise build.fail(f"zarvek-bench {how_it_ended(status, err)}")
    try:
        report = _bench.read_bench_json(out)
        return report, _bench.bench_runs(report, name)
    except ValueError as e:
        raise build.fail(str(e)) from None


def measure_round(build, loop, repetitions, cpu, timeout, extra):
    """One run of BUILD's zarvek-bench: the rate of each repetition, from
    its wall-clock time (whatever clock the zarvek-bench's own rate is
    by), and whether a pass raised the underflow flag, where it says."""
    report, runs = bench_round(build, f"timed_pass/{loop}", repetitions, cpu, timeout, extra)
    rates = []
    for run_ in runs:
        # real_time is one iteration's, and an iteration is one pass.
        seconds = run_.get("real_time")
        unit = TIME_UNITS.get(run_.get("time_unit"))
        if (isinstance(seconds, (int, float)) and math.isfinite(seconds) and seconds > 0
                and unit is not None):
            rates.append(_workload.INSTRUCTIONS_PER_LOOP * loop / (seconds * unit))
    subnormal = any(run_.get("subnormal") == 1 for run_ in runs)
    if len(rates) != repetitions or not all(math.isfinite(r) and r > 0 for r in rates):
        raise build.fail(f"zarvek-bench's JSON report lacks the {repetitions} repetitions' "
                         f"times of timed_pass/{loop}")
    if not build.context:
        build.context = report["context"]
    return rates, subnormal


def warn_subnormal(loop, edge):
    print(f"{PROG}: warning: at {grouped(loop)} loops the passes computed with subnormal "
          f"numbers (they do from {grouped(edge)} loops on): the rate measures how this CPU "
          "handles subnormal numbers as much as its speed; compare only at the same loop "
          f"count, or stay below {grouped(edge)}", file=sys.stderr)


def rotation(builds):
    """One block of the order: every build, then every build back."""
    return list(builds) + list(builds)[::-1]


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


def measure(builds, comparisons, loop, repetitions, cpu, cap, looks, alpha, margin, extra):
    """Rounds in the rotating order, looking at the planned set counts,
    until every comparison is decided or the next block would pass the
    cap, where the last look is. The
    first round whose pass computed with subnormal numbers is warned of."""
    order = rotation(builds)
    a = builds[0]
    durations, taken = [], 0
    start = time.monotonic()
    progress = sys.stderr.isatty()
    foreseen = max(round_seconds(build, loop, repetitions) for build in builds)
    while True:
        n = len(durations)
        if n % len(order) == 0 and n > 0:
            sets = n // len(builds)
            block = len(order) * sum(durations) / n
            # The last look is at the cap, wherever the rounds' length puts it.
            final = time.monotonic() - start + block > cap
            if sets in looks[:-1] or final:
                taken += 1
                judge_look(a, comparisons, sets, alpha, margin, final,
                           len(builds) * sum(durations) / n)
                if final or all(c.verdict for c in comparisons):
                    break
        build = order[n % len(order)]
        timeout = max(120.0, 20 * max(durations, default=foreseen))
        began = time.monotonic()
        rates, subnormal = measure_round(build, loop, repetitions, cpu, timeout, extra)
        build.rounds.append((n + 1, rates))
        durations.append(time.monotonic() - began)
        if subnormal and not any(b.subnormal for b in builds):
            if progress:
                print("\r\033[K", end="", file=sys.stderr)
            warn_subnormal(loop, context_count(builds, "subnormal_loop",
                                               _workload.SUBNORMAL_LOOP))
        build.subnormal = build.subnormal or subnormal
        if progress:
            print(f"\rround {n + 1}, {time.monotonic() - start:.0f} s of {cap:g} s",
                  end="", file=sys.stderr, flush=True)
    if progress:
        print("\r\033[K", end="", file=sys.stderr, flush=True)
    return len(durations), len(durations) // len(builds), taken, time.monotonic() - start


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
        build.section_rounds.append([float(t) for t in np.median(times, axis=0)])
        durations.append(time.monotonic() - began)
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


def spreads_of(build):
    """A build's median rate, the median coefficient of variation of its
    rounds' repetitions (None with one repetition), and that of its
    rounds' medians."""
    import numpy as np
    from scipy import stats

    r = np.array([rates for _, rates in build.rounds])  # rounds x repetitions
    within = float(np.median(stats.variation(r, axis=1, ddof=1))) if r.shape[1] > 1 else None
    return {"median": float(np.median(r)), "spread_within": within,
            "spread_between": float(stats.variation(np.median(r, axis=1), ddof=1))}


def signed(percent):
    value = round(percent, 1)
    return f"\u2212{abs(value):.1f}" if value < 0 else f"+{value:.1f}"


def sentence(c, a, margin):
    """The line a person reads for one comparison."""
    x, ratio, low, high = c.build.label, c.ratio, c.low, c.high
    ci = f"{CONFIDENCE * 100:.0f} % CI"
    if c.verdict == "faster":
        return (f"{x} is {(ratio - 1) * 100:.1f} % faster than {a.label} "
                f"({ci} {(low - 1) * 100:.1f} % to {(high - 1) * 100:.1f} %)")
    if c.verdict == "slower":
        return (f"{x} is {(1 - ratio) * 100:.1f} % slower than {a.label} "
                f"({ci} {(1 - high) * 100:.1f} % to {(1 - low) * 100:.1f} %)")
    interval = f"({ci} {signed((low - 1) * 100)} % to {signed((high - 1) * 100)} %)"
    if c.verdict == "same":
        return f"{x} is the same as {a.label} within \u00b1{margin:g} % {interval}"
    more = "" if c.more_seconds is None else \
        f": about {c.more_seconds:.0f} s more on this machine would decide it"
    return f"{x} against {a.label} is undecided {interval}{more}"


def ranked(a, comparisons):
    """The builds from the fastest, A (the reference) among them by its ratio of 1."""
    rows = [(1.0, a, None)] + [(c.ratio, c.build, c) for c in comparisons]
    return sorted(rows, key=lambda row: -row[0])


def plot(path, builds, comparisons, loop, margin):
    """Each build's repetitions by round, in time order; beside them every
    ratio to A with its interval and the margin of sameness."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator

    a = builds[0]
    fig, (rates, ratio) = plt.subplots(1, 2, figsize=(11, 4.5), width_ratios=(4, 2),
                                       layout="constrained")
    for build, colour in zip(builds, plt.rcParams["axes.prop_cycle"].by_key()["color"] * 9):
        xs = [n for n, reps in build.rounds for _ in reps]
        ys = [r / 1e6 for _, reps in build.rounds for r in reps]
        rates.plot(xs, ys, "o", color=colour, markersize=3, alpha=0.7,
                   label=f"{build.label}: {build.path}")
    rates.xaxis.set_major_locator(MaxNLocator(integer=True))
    rates.set_xlabel("round (in order of time)")
    rates.set_ylabel(f"timed_pass/{loop}, MIPS")
    rates.legend(fontsize="small")
    rates.grid(alpha=0.3)
    xs = range(len(comparisons))
    for x, c in zip(xs, comparisons):
        ratio.errorbar([x], [c.ratio], yerr=[[c.ratio - c.low], [c.high - c.ratio]], fmt="o",
                       color="black", capsize=6)
    ratio.axhspan(1 - margin / 100, 1 + margin / 100, color="grey", alpha=0.15,
                  label=f"\u00b1{margin:g} %")
    ratio.axhline(1.0, color="grey", linestyle="--", linewidth=1)
    ratio.set_xticks(list(xs), [f"{c.build.label}\n{c.verdict}" for c in comparisons])
    ratio.set_xlim(-0.7, len(comparisons) - 0.3)
    ratio.set_ylabel(f"ratio to {a.label}, with its {CONFIDENCE * 100:.0f} % CI")
    ratio.legend(fontsize="small")
    fig.suptitle("; ".join(sentence(c, a, margin) for c in comparisons)[:160],
                 fontsize="medium")
    fmt = os.path.splitext(path)[1][1:].lower()
    _files.write_atomically(path, lambda f: fig.savefig(f, format=fmt))
    plt.close(fig)


def side(build, spreads):
    return {
        "path": build.path,
        "zarvek_bench": build.bench,
        **spreads[build],
        "rounds": [{"round": n, "rates": rates} for n, rates in build.rounds],
        "compiler": build.context.get("compiler", "unknown"),
        "flags": build.context.get("flags", "unknown"),
        "target": build.context.get("target", "unknown"),
        "verifier": build.verifier,
    }


def outcome(c, rank):
    return {"build": c.build.label, "rank": rank, "ratio": c.ratio, "ci_low": c.low,
            "ci_high": c.high, "verdict": c.verdict, "decided_at": c.sets, "alpha": c.level,
            "more_seconds": c.more_seconds}


def report_json(args, builds, comparisons, spreads, loop, repetitions, rounds, sets, elapsed,
                looks, alpha, taken, phase):
    order = ranked(builds[0], comparisons)
    ranks = {build: rank for rank, (_, build, _) in enumerate(order, start=1)}
    first = outcome(comparisons[0], ranks[comparisons[0].build])
    sections = (lambda c: {"sections": c.sections}) if args.sections else (lambda c: {})
    document = {
        **{k: first[k] for k in ("ratio", "ci_low", "ci_high", "verdict")},
        "confidence": CONFIDENCE,
        "interval": INTERVAL,
        "margin": args.margin / 100,
        "benchmark": f"timed_pass/{loop}",
        "loops": loop,
        "subnormal": any(build.subnormal for build in builds),
        "unit": "benchmark instructions per second",
        "clock": "wall",
        "cpu": args.cpu,
        "time_budget": args.time,
        "elapsed": elapsed,
        "rounds": rounds,
        "sets": sets,
        "repetitions": repetitions,
        "order": " ".join(build.label for build in rotation(builds)),
        "plan": {"looks": looks, "alpha": alpha},
        "looks_taken": taken,
        "a": side(builds[0], spreads),
        "b": side(builds[1], spreads),
        "rank_of_a": ranks[builds[0]],
        "comparisons": [{**outcome(c, ranks[c.build]), **sections(c), **side(c.build, spreads)}
                        for c in comparisons],
    }
    if args.sections:
        document["sections_phase"] = phase
    return document


def print_report(builds, comparisons, spreads, loop, repetitions, rounds, sets, elapsed, cpu,
                 verified, looks, taken, margin):
    a = builds[0]
    order = " ".join(build.label for build in rotation(builds))
    print(f"zarvek-compare: timed_pass/{loop} ({grouped(loop)} loops, rates by the wall clock), "
          f"{rounds} rounds of {repetitions} repetition{'s' if repetitions != 1 else ''} "
          f"({order} ...) on CPU {cpu}, {elapsed:.1f} s; {sets} sets, look {taken} of "
          f"{len(looks)} (planned {_stats.planned(looks, 'sets')})")
    for build in builds:
        s = spreads[build]
        print(f"\n{build.label}: {build.path}")
        print(f"  compiler  {build.context.get('compiler', 'unknown')}")
        print(f"  flags     {build.context.get('flags', 'unknown')}")
        print(f"  verifier  {build.verifier}")
        print(f"  median    {s['median'] / 1e6:.1f} MIPS")
        within = "" if s["spread_within"] is None else \
            f"{s['spread_within'] * 100:.1f} % within rounds, "
        print(f"  spread    {within}{s['spread_between'] * 100:.1f} % between rounds")
    ci = f"{CONFIDENCE * 100:.0f} % CI"
    print(f"\nRank  Build  Ratio to {a.label}  {ci:<18}  Verdict")
    for rank, (ratio, build, c) in enumerate(ranked(a, comparisons), start=1):
        if c is None:
            print(f"{rank:4}  {build.label:5}  {ratio:10.4f}  {'':18}  the reference")
        else:
            print(f"{rank:4}  {build.label:5}  {ratio:10.4f}  "
                  f"{f'{c.low:.4f} to {c.high:.4f}':18}  {c.verdict}")
    if not verified:
        print("Not verified (--no-verify): whether each build did the benchmark's work "
              "is unknown.")
    for c in comparisons:
        print(sentence(c, a, margin))


def loop_count(text):
    """A LOOP for --loop: a whole number from 1 to 2147483647."""
    if not (text.isascii() and text.isdigit()) or not 1 <= int(text) <= LOOP_MAX:
        raise argparse.ArgumentTypeError(
            f"must be a whole number from 1 to {LOOP_MAX}, not '{text}'")
    return int(text)


def parse_arguments():
    parser = argparse.ArgumentParser(
        prog=PROG, usage="%(prog)s [options] A B [C ...]",
        description="Compare zarvek builds with the first, A: verified, rotated on one CPU, "
                    "each with an interval and a verdict. Give a build twice (A A) to measure "
                    "the noise of this machine.")
    parser.add_argument("builds", nargs="+", metavar="A B [C ...]",
                        help="build folders, or the paths of their zarvek-bench")
    parser.add_argument("--version", action="version", version=f"{PROG} {VERSION}")
    parser.add_argument("--time", type=float, default=TIME_DEFAULT, metavar="SECONDS",
                        help=f"the cap on the rounds' time (default {TIME_DEFAULT:g})")
    parser.add_argument("--margin", default=str(MARGIN), metavar="M",
                        help="call builds the same only within +-M %% (default "
                             f"{MARGIN:g})")
    parser.add_argument("--fail-slower", action="store_true",
                        help="exit with status 3 when a build is slower than A")
    parser.add_argument("--cpu", type=int, metavar="N",
                        help="the CPU all run on (default: the last of the affinity set)")
    parser.add_argument("--loop", type=loop_count, metavar="LOOP",
                        help=f"the timed_pass LOOP to run (default {_workload.REFERENCE_LOOP}, "
                             "the reference loop count, or the largest all list)")
    parser.add_argument("--repetitions", type=int, metavar="R",
                        help="repetitions per round (default 1)")
    parser.add_argument("--json", metavar="FILE", help="write the comparison as JSON")
    parser.add_argument("--plot", metavar="FILE", help="draw the rounds (.svg or .png)")
    parser.add_argument("--sections", action="store_true",
                        help="after the verdicts, time the pass's sections in the same order "
                             "and say in which the differences are")
    parser.add_argument("--no-verify", action="store_true",
                        help="compare without zarvek-verify's verdict")
    args = parser.parse_args()
    if len(args.builds) < 2:
        parser.error("at least two builds, A and B (give one twice to measure the noise)")
    if len(args.builds) > len(string.ascii_uppercase):
        parser.error(f"at most {len(string.ascii_uppercase)} builds")
    return args


def compare():
    args = parse_arguments()
    args.margin = _process.percentage("--margin", args.margin)
    builds = [Build(label, path) for label, path in zip(string.ascii_uppercase, args.builds)]

    allowed = sorted(os.sched_getaffinity(0))
    if args.cpu is None:
        args.cpu = allowed[-1]
    elif args.cpu not in allowed:
        raise Refusal(2, f"--cpu {args.cpu}: not a CPU this process may run on "
                         f"({', '.join(map(str, allowed))})")
    if not (math.isfinite(args.time) and args.time > 0):
        raise Refusal(2, f"--time {args.time:g}: a number of seconds above 0")
    if args.repetitions is not None and args.repetitions < 1:
        raise Refusal(2, f"--repetitions {args.repetitions}: at least 1")
    try:
        import scipy.stats  # noqa: F401  (used once the rounds are run)
        import statsmodels.api  # noqa: F401
    except ImportError:
        raise Refusal(2, "the statistics need SciPy and statsmodels: apt-get install "
                         "python3-scipy python3-statsmodels") from None
    if args.json:
        _files.check_output_file("--json", args.json)
    if args.plot:
        _files.check_output_file("--plot", args.plot, (".svg", ".png"))
        try:
            import matplotlib  # noqa: F401  (only to know that it is there)
        except ImportError:
            print(f"{PROG}: --plot needs matplotlib (apt-get install python3-matplotlib); "
                  "comparing without the plot", file=sys.stderr)
            args.plot = None

    for build in builds:
        locate(build, not args.no_verify)
    listed, extra = list_loops(builds, args.loop)
    probe(builds, listed, extra, args.cpu)
    loop = args.loop if args.loop is not None else default_loop(builds, listed)
    repetitions = plan_repetitions(args.repetitions)
    looks, alpha = plan_looks(builds, loop, repetitions, args.time)
    if not args.no_verify:
        verify_builds(builds)

    comparisons = [Comparison(build) for build in builds[1:]]
    rounds, sets, taken, elapsed = measure(builds, comparisons, loop, repetitions, args.cpu,
                                           args.time, looks, alpha, args.margin, extra)
    phase = None
    if args.sections:
        phase = sections_phase(builds, comparisons, loop, repetitions, args.cpu, extra)
    spreads = {build: spreads_of(build) for build in builds}
    if args.json:
        document = report_json(args, builds, comparisons, spreads, loop, repetitions, rounds,
                               sets, elapsed, looks, alpha, taken, phase)
        text = json.dumps(document, indent=2, ensure_ascii=False) + "\n"
        _files.write_atomically(args.json, lambda f: f.write(text.encode()))
    if args.plot:
        plot(args.plot, builds, comparisons, loop, args.margin)
    print_report(builds, comparisons, spreads, loop, repetitions, rounds, sets, elapsed,
                 args.cpu, not args.no_verify, looks, taken, args.margin)
    if phase is not None:
        print_sections(builds[0], comparisons, phase, args.margin)
    if args.fail_slower and any(c.verdict == "slower" for c in comparisons):
        return 3
    return 0


def main():
    _process.main_guard(PROG, compare)
