# SPDX-License-Identifier: MIT
"""--plot: every build's rates by round, in time order, beside every
ratio to A with its interval and the margin of sameness."""

import os
import textwrap

from .. import _files, _stats
from .output import sentence

CONFIDENCE = _stats.CONFIDENCE


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
        if c.low is None:
            ratio.plot([x], [c.ratio], "o", color="black")
            ratio.annotate("interval open", (x, c.ratio), textcoords="offset points",
                           xytext=(0, 8), ha="center", fontsize="small")
            continue
        ratio.errorbar([x], [c.ratio], yerr=[[c.ratio - c.low], [c.high - c.ratio]], fmt="o",
                       color="black", capsize=6)
    ratio.axhspan(1 - margin / 100, 1 + margin / 100, color="grey", alpha=0.15,
                  label=f"\u00b1{margin:g} %")
    ratio.axhline(1.0, color="grey", linestyle="--", linewidth=1)
    ratio.set_xticks(list(xs), [f"{c.build.label}\n{c.verdict}" for c in comparisons])
    ratio.set_xlim(-0.7, len(comparisons) - 0.3)
    ratio.set_ylabel(f"ratio to {a.label}, with its {CONFIDENCE * 100:.0f} % CI")
    ratio.legend(fontsize="small")
    # One line per comparison, each wrapped to the figure's width.
    title = "\n".join(textwrap.fill(sentence(c, a, margin), 130) for c in comparisons)
    fig.suptitle(title, fontsize="medium")
    fmt = os.path.splitext(path)[1][1:].lower()
    _files.write_atomically(path, lambda f: fig.savefig(f, format=fmt))
    plt.close(fig)
