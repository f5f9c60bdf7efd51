# SPDX-License-Identifier: MIT
"""What a comparison prints and writes: each build's spread, the ranked
table and a sentence per comparison, and the JSON document."""

from .. import _stats
from .rounds import grouped, rotation

CONFIDENCE = _stats.CONFIDENCE
INTERVAL = ("geometric mean of the per-set ratios; Newey-West variance of the per-set log "
            "ratios, t with the blocks less one degrees of freedom; Bonferroni's share of 5 % "
            "at each planned look, Holm across the comparisons within a look")


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


def side(build, spreads):
    return {
        "path": build.path,
        "zarvek_bench": build.bench,
        **spreads[build],
        "probe_seconds_per_loop": build.seconds_per_loop,
        "rounds": [{"round": n, "rates": rates, "start": start, "end": end}
                   for (n, rates), (start, end) in zip(build.rounds, build.round_times)],
        **({"section_rounds": [{"ns_per_loop": times, "start": start, "end": end}
                               for times, (start, end) in zip(build.section_rounds,
                                                              build.section_times)]}
           if build.section_rounds else {}),
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
                looks, alpha, taken, phase, setting):
    order = ranked(builds[0], comparisons)
    ranks = {build: rank for rank, (_, build, _) in enumerate(order, start=1)}
    first = outcome(comparisons[0], ranks[comparisons[0].build])
    sections = (lambda c: {"sections": c.sections}) if args.sections else (lambda c: {})
    document = {
        **{k: first[k] for k in ("ratio", "ci_low", "ci_high", "verdict")},
        "confidence": CONFIDENCE,
        "interval": INTERVAL,
        "margin": args.margin / 100,
        "margin_given": args.margin_text,
        "until_cap": args.until_cap,
        **setting,
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
