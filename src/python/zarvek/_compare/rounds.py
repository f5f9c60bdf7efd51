# SPDX-License-Identifier: MIT
"""Running the rounds: each a fresh zarvek-bench of one build on the
chosen CPU, in blocks of the plan's random order, the probe that foresees
their length, and the loop that judges them after every block until every
build is decided or the cap comes."""

import math
import subprocess
import sys
import time

from .. import _bench, _progress, _workload
from .._process import how_it_ended, run
from .builds import bench_command, context_count
from .plan import MIN_TIME, new_rng, round_seconds

PROG = "zarvek-compare"
# The probe's timed_pass: the largest all list up to this one, a short
# pass from which the length of a round at any LOOP is foreseen (the rate
# rises with the loop count, so the foresight errs on the long side).
PROBE_LOOP = 1000
TIME_UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def probe(builds, listed, extra, cpu):
    """One short repetition of each build's timed_pass, on the CPU the
    rounds run on: its context, which must not flush subnormal numbers to
    zero, and the time of a pass per unit of loop count, from which the
    length of the rounds is foreseen."""
    common = set.intersection(*listed.values())
    loop = max((n for n in common if n <= PROBE_LOOP), default=min(common))
    progress = _progress.Progress()
    for build in builds:
        progress.show(f"probing {build.label}: one pass of timed_pass/{loop}")
        rates, _ = measure_round(build, loop, 1, cpu, 120, extra)
        build.seconds_per_loop = _workload.INSTRUCTIONS_PER_LOOP / rates[0]
        _bench.check_flush_to_zero(f"{build}: {build.bench}", build.context, "not compared")
    progress.clear()


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


def grouped(n):
    return f"{n:,}"


def warn_subnormal(loop, edge):
    print(f"{PROG}: warning: at {grouped(loop)} loops the passes computed with subnormal "
          f"numbers (they do from {grouped(edge)} loops on): the rate measures how this CPU "
          "handles subnormal numbers as much as its speed; compare only at the same loop "
          f"count, or stay below {grouped(edge)}", file=sys.stderr)


def measure(builds, looks, loop, repetitions, cpu, extra, until_cap=False):
    """Rounds in blocks of the plan's random order, looked at after every
    block, until every comparison is decided (or, UNTIL_CAP, whatever the
    verdicts) or the next block would pass the cap, where the last look
    is. Each round keeps when it began and ended, in seconds from the
    first, rounded to the millisecond: the looks take their time from
    those, as a saved run judged again does. The first round whose pass
    computed with subnormal numbers is warned of. Returns the rounds run
    and their seconds."""
    plan = looks.plan
    rng = new_rng()
    durations = []
    start = time.monotonic()
    progress = _progress.Progress()
    foreseen = max(round_seconds(build, loop, repetitions) for build in builds)
    ended = 0.0
    while True:
        for build in plan.block_order(builds, rng):
            timeout = max(120.0, 20 * max(durations, default=foreseen))
            began = time.monotonic()
            rates, subnormal = measure_round(build, loop, repetitions, cpu, timeout, extra)
            finished = time.monotonic()
            build.rounds.append((len(durations) + 1, rates))
            ended = round(finished - start, 3)
            build.round_times.append((round(began - start, 3), ended))
            durations.append(finished - began)
            if subnormal and not any(b.subnormal for b in builds):
                progress.clear()
                warn_subnormal(loop, context_count(builds, "subnormal_loop",
                                                   _workload.SUBNORMAL_LOOP))
            build.subnormal = build.subnormal or subnormal
            progress.show(f"round {len(durations)}, block {looks.blocks + 1}, "
                          f"{finished - start:.0f} s of {plan.cap:g} s")
        final, decided = looks.after_block(ended)
        if final or decided and not until_cap:
            break
    progress.clear()
    return len(durations), ended
