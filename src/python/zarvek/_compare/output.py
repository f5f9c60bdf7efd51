# SPDX-License-Identifier: MIT
"""What a comparison prints and writes: each build's spread, the ranked
table and a sentence per comparison, and the JSON document."""

from .. import _stats
from .rounds import grouped

CONFIDENCE = _stats.CONFIDENCE
ESTIMATE = ("the median, over every pair of a round of the build and a round of A in the same "
            "block, of the ratio of their rates")
INTERVAL = ("exact under the random order within each block: the shifts at which the blocks' "
            "summed Mann-Whitney counts stay within the bounds of their walk, 5 % spent over "
            "the cap's time and shared equally among the comparisons; it holds at every look "
            "at once")


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


def bound(value):
    """One side of an interval, or "open" where the rounds cannot bound it."""
    return "open" if value is None else f"{value:.4f}"


def sentence(c, a, margin):
    """The line a person reads for one comparison, with when it was
    decided where more rounds followed, and what they said."""
    return verdict_words(c, a, margin) + after_decision(c)


def verdict_words(c, a, margin):
    x = c.build.label
    ratio, low, high = (c.ratio, c.low, c.high) if c.decided is None else \
        (c.decided["ratio"], c.decided["ci_low"], c.decided["ci_high"])
    ci = f"{CONFIDENCE * 100:.0f} % CI"
    if low is None:
        return (f"{x} against {a.label} is undecided ({ci} open): {c.why or 'too few rounds'}; "
                "a longer --time decides it")
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


def after_decision(c):
    """Where rounds ran on after a comparison was decided (for other builds,
    or with --until-cap): the look that decided it, and the estimate over
    every round, which the table ranks by."""
    d = c.decided
    if d is None or d["blocks"] == c.blocks:
        return "" if d is None else f", decided after {d['rounds']} rounds ({d['seconds']:.1f} s)"
    over = f"{c.ratio:.4f} ({bound(c.low)} to {bound(c.high)})"
    return (f", decided after {d['rounds']} rounds ({d['seconds']:.1f} s); over all "
            f"{c.blocks} blocks the ratio is {over}")


def ranked(a, comparisons):
    """The builds from the fastest by the estimate over every round, A (the
    reference) among them by its ratio of 1."""
    rows = [(1.0, a, None)] + [(c.ratio, c.build, c) for c in comparisons]
    return sorted(rows, key=lambda row: -row[0])


def side(build, spreads):
    return {
        "path": build.path,
        "zarvek_bench": build.bench,
        **spreads[build],
        "probe_seconds_per_loop": build.seconds_per_loop,
        "rounds": [{"round": n, "rates": rates, "start": start, "end": end}
                   for (n, rates), (start, end) in zip(build.rounds, build.round_times)],
        **({"section_rounds": [{"round": n, "ns_per_loop": times, "start": start, "end": end}
                               for (n, times), (start, end) in zip(build.section_rounds,
                                                                   build.section_times)]}
           if build.section_rounds else {}),
        "compiler": build.context.get("compiler", "unknown"),
        "flags": build.context.get("flags", "unknown"),
        "target": build.context.get("target", "unknown"),
        "verifier": build.verifier,
        **build.sha256,
    }


def outcome(c, rank):
    return {"build": c.build.label, "rank": rank, "ratio": c.ratio, "ci_low": c.low,
            "ci_high": c.high, "verdict": c.verdict, "decided": c.decided, "blocks": c.blocks,
            "more_seconds": c.more_seconds, "undecided_because": c.why}


def report_json(args, builds, comparisons, spreads, run, phase, setting):
    """The comparison as JSON: the first comparison's keys at the top (as
    before there were more), everything a replay needs, and one object
    per comparison. RUN: the rounds' record (rounds_record)."""
    order = ranked(builds[0], comparisons)
    ranks = {build: rank for rank, (_, build, _) in enumerate(order, start=1)}
    first = outcome(comparisons[0], ranks[comparisons[0].build])
    sections = (lambda c: {"sections": c.sections}) if phase is not None else (lambda c: {})
    document = {
        **{k: first[k] for k in ("ratio", "ci_low", "ci_high", "verdict")},
        "confidence": CONFIDENCE,
        "estimate": ESTIMATE,
        "interval": INTERVAL,
        "margin": args.margin / 100,
        "margin_given": args.margin_text,
        "until_cap": args.until_cap,
        **setting,
        **run,
        "a": side(builds[0], spreads),
        "b": side(builds[1], spreads),
        "rank_of_a": ranks[builds[0]],
        "comparisons": [{**outcome(c, ranks[c.build]), **sections(c), **side(c.build, spreads)}
                        for c in comparisons],
    }
    if phase is not None:
        document["sections_phase"] = phase
    return document


def rounds_record(builds, plan, loop, repetitions, rounds, elapsed, cpu):
    """What the rounds were: the benchmark, the plan and how far they ran."""
    return {
        "benchmark": f"timed_pass/{loop}",
        "loops": loop,
        "subnormal": any(build.subnormal for build in builds),
        "unit": "benchmark instructions per second",
        "clock": "wall",
        "cpu": cpu,
        "time_budget": plan.cap,
        "elapsed": elapsed,
        "rounds": rounds,
        "blocks": rounds // plan.size,
        "repetitions": repetitions,
        "order": "random within each block",
        "plan": plan.record(),
    }


def print_report(builds, comparisons, spreads, run, verified, margin, source=None):
    a = builds[0]
    reps = run["repetitions"]
    where = f"on CPU {run['cpu']}" if source is None else f"from {source} (run on CPU {run['cpu']})"
    print(f"zarvek-compare: {run['benchmark']} ({grouped(run['loops'])} loops, rates by the wall "
          f"clock), {run['rounds']} rounds of {reps} repetition{'s' if reps != 1 else ''} in "
          f"{run['blocks']} block{'s' if run['blocks'] != 1 else ''} of "
          f"{run['plan']['per_block']} of each build, in a random order "
          f"each, {where}, {run['elapsed']:.1f} s; looked at after every block")
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
                  f"{f'{bound(c.low)} to {bound(c.high)}':18}  {c.verdict}")
    if not verified:
        print("Not verified (--no-verify): whether each build did the benchmark's work "
              "is unknown.")
    for c in comparisons:
        print(sentence(c, a, margin))
    print("Ratio: the median of the ratios of a build's rounds to A's within each block; its "
          "interval is exact under the blocks' random order and holds at every look at once "
          "(zarvek-compare(1)).")
