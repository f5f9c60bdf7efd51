# SPDX-License-Identifier: MIT
"""The summary zarvek-report run prints: the rating, its interval and why
it is as wide as it is, how steady the machine was, the whole machine,
the section profile, the verdict, the machine and the build."""

import platform

from . import _causes, _machine, _result, _stats, _workload
from ._result import UNIT

CONFIDENCE = _stats.CONFIDENCE
# From this share of the CPUs' time taken by steal or other work over the
# rating, the summary says that the figures are a busy machine's.
BUSY_SHARE = 0.1


def interval_text(r):
    low = "open" if r["low"] is None else f"{r['low']:.1f}"
    high = "open" if r["high"] is None else f"{r['high']:.1f}"
    return f"{CONFIDENCE * 100:.0f} % CI {low} to {high}, " \
           f"{_causes.sides(r['figure'], r['low'], r['high'])}"


def share(x):
    return "unknown" if x is None else f"{x * 100:.1f} %"


def stability_lines(s, r):
    """The machine's steadiness in one line; then why the interval is wider
    than the precision asked, where it is, and whether the machine was
    busy."""
    lag1 = "unknown" if s["autocorrelation"] is None else \
        f"{s['autocorrelation']:.2f}".replace("-", "\u2212")
    moved = "unknown" if s["drift"] is None else _causes.percent(s["drift"])
    lines = [f"Stability:     runs correlated {lag1} at lag 1, drift {moved}, steal "
             f"{share(s['steal'])} and other work {share(s['other_work'])} of the CPUs"]
    lines += [f"               {cause}" for cause in _causes.causes(r, s, UNIT)]
    shares = (("steal", s["steal"]), ("other work", s["other_work"]))
    busy = [f"{label} {x * 100:.0f} %" for label, x in shares
            if x is not None and x >= BUSY_SHARE]
    if busy:
        lines.append(f"               {' and '.join(busy)} of the CPUs during the rating: "
                     "these are the figures of a busy machine")
    return lines


def rating_lines(r):
    """The rating, its interval, and whether that reached the precision."""
    lines = [f"Rating:        {r['figure']:.1f} {UNIT} at {r['loops']:,} loops "
             f"({interval_text(r)}), {_result.figure_words(r['quantile'])} of {r['runs']} runs "
             f"of {r['benchmark']}; their median {r['median']:.1f}"]
    looks = r["looks"]
    look = f"look {r['look']} of {len(looks)}"
    target = f"\u00b1{r['precision'] * 100:g} %"
    if r["precise"]:
        lines.append(f"               within {target} at {look} (planned "
                     f"{_stats.planned(looks, 'runs')})")
    else:
        lines.append(f"               short of {target}: stopped at the cap (--time "
                     f"{r['budget']:g}, {look}); a quieter machine or a longer --time "
                     "narrows it")
    return lines


def summary(result, timings):
    r, w, m, b, v, s = (result[k] for k in ("rating", "whole_machine", "machine", "build",
                                            "verdict", "stability"))
    lines = rating_lines(r) + stability_lines(s, r)
    whole = (f"Whole machine: {w['rate']:.1f} {UNIT} with {w['copies']} "
             f"cop{'y' if w['copies'] == 1 else 'ies'} (copies/{w['copies']}), one copy "
             f"{w['single_copy']:.1f}, scaling {w['scaling']:.3f}")
    # A zarvek-bench that does not name the copies' loop count in its
    # context, run without ZARVEK_REPORT_COPIES_LOOPS, leaves it unknown.
    if w["loops"] is not None and w["loops"] != _workload.REFERENCE_LOOP:
        whole += f", at {w['loops']:,} loops"
    lines.append(whole)
    sections = result["sections"]
    if sections is not None:
        shares = _result.section_shares(sections["ns_per_loop"])
        largest = sorted(range(10), key=lambda i: -shares[i])[:3]
        lines.append(f"Sections:      median of {sections['runs']} runs of "
                     f"{sections['benchmark']}; the largest shares of the pass: " + ", ".join(
                         f"{i + 1} {_workload.SECTION_NAMES[i]} {shares[i] * 100:.1f} %"
                         for i in largest))
    for label, part in (("rating", r), ("whole machine", w)):
        if part["subnormal"]:
            lines.append(f"               the {label}'s passes computed with subnormal "
                         "numbers: compare it only at the same loop count")
    if v["verified"]:
        lines.append(f"Verdict:       faithful ({v['method']})")
    else:
        lines.append("Verdict:       not verified (--no-verify): whether the build did the "
                     "benchmark's work is unknown")
    cpus = f"{m['cpus']} CPU{'s' if m['cpus'] != 1 else ''}"
    lines.append(f"Machine:       {m['host']}: {m['cpu_model']} "
                 f"({_machine.identity_line(m['cpu_id'])}), {cpus}, {platform.system()} "
                 f"{m['kernel']}, {m['libc']}")
    lines.append(f"Build:         {b['compiler']}, {b['flags']}, {b['target']}")
    lines.append(f"Took {result['duration']:.1f} s: " + ", ".join(
        f"{label} {seconds:.1f} s" for label, seconds in timings))
    return "\n".join(lines)
