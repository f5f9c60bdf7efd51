# SPDX-License-Identifier: MIT
"""--from: the rounds of a saved comparison (its --json) judged again
without running anything, at the saved settings or at another --time or
--margin. The looks are taken as a live run takes them, from the rounds'
saved ends, so that the same rounds and settings give the live run's
verdicts, ratios and intervals exactly; with --time S only the blocks a
live --time S run would have reached are judged."""

import json
import math

from .._process import Refusal
from .builds import Build
from .judge import Comparison, Looks
from .output import rounds_record
from .plan import Plan
from .sections import judge_sections

NEEDED = ("a", "comparisons", "benchmark", "loops", "cpu", "repetitions", "time_budget",
          "margin_given", "plan")


def load(path):
    """The saved comparison in PATH; refused, naming the file and what it
    lacks, where it is not one this program can judge again."""
    try:
        with open(path, "rb") as f:
            document = json.loads(f.read().decode("utf-8"))
    except OSError as e:
        raise Refusal(2, f"--from {path}: {e.strerror or e}") from None
    except (UnicodeDecodeError, ValueError) as e:
        raise Refusal(2, f"--from {path}: not JSON, or truncated ({e})") from None
    if not isinstance(document, dict) or "comparisons" not in document or "a" not in document:
        raise Refusal(2, f"--from {path}: not a saved zarvek-compare run (no comparisons)")
    missing = [key for key in NEEDED if key not in document]
    if not isinstance(document.get("plan"), dict) or "per_block" not in document["plan"]:
        missing.append("plan.per_block (it was saved by a zarvek-compare before the random "
                       "order)")
    sides = [document["a"], *document["comparisons"]] if isinstance(
        document["comparisons"], list) else [document["a"]]
    for side in sides:
        if not isinstance(side, dict) or not isinstance(side.get("rounds"), list):
            missing.append("each build's rounds")
            break
        if "probe_seconds_per_loop" not in side:
            missing.append("each build's probe time")
            break
        if not all(isinstance(r, dict) and {"round", "rates", "start", "end"} <= r.keys()
                   for r in side["rounds"]):
            missing.append("each round's start and end")
            break
    if missing:
        raise Refusal(2, f"--from {path}: the saved run lacks {', '.join(missing)}; --from "
                         "needs a --json file of this zarvek-compare")
    return document


def builds_of(document):
    """The saved builds, A first, with their rounds, in the saved order."""
    sides = [("A", document["a"])] + [(c["build"], c) for c in document["comparisons"]]
    builds = []
    for label, side in sides:
        build = Build(label, side.get("path", ""))
        build.bench = side.get("zarvek_bench")
        build.verifier = side.get("verifier", "not verified")
        build.context = {k: side[k] for k in ("compiler", "flags", "target") if k in side}
        build.sha256 = {k: side.get(k) for k in ("zarvek_sha256", "bench_sha256")}
        build.seconds_per_loop = float(side["probe_seconds_per_loop"])
        for r in side["rounds"]:
            build.rounds.append((int(r["round"]), [float(x) for x in r["rates"]]))
            build.round_times.append((float(r["start"]), float(r["end"])))
        for r in side.get("section_rounds", []):
            build.section_rounds.append((int(r["round"]), [float(t) for t in r["ns_per_loop"]]))
            build.section_times.append((float(r["start"]), float(r["end"])))
        builds.append(build)
    return builds


def block_ends(builds, size):
    """The end of each complete block's last round, in order."""
    ends = {}
    for build in builds:
        for (n, _), (_, end) in zip(build.rounds, build.round_times):
            ends[n] = end
    blocks = []
    for first in range(1, max(ends, default=0) + 1, size):
        members = range(first, first + size)
        if not all(n in ends for n in members):
            break
        blocks.append(max(ends[n] for n in members))
    return blocks


def judge_blocks(plan, builds, comparisons, margin, ends, until_cap=False):
    """The looks of a run whose blocks ended at ENDS (seconds from the first
    round's start), taken as a live run takes them; the comparisons still
    undecided when the blocks run out before the plan's last look are
    undecided, saying so. Returns the looks."""
    looks = Looks(plan, builds, comparisons, margin)
    for seconds in ends:
        final, decided = looks.after_block(seconds)
        if final or decided and not until_cap:
            break
    if not looks.final and not all(c.verdict for c in comparisons):
        for c in comparisons:
            if c.verdict is None:
                c.verdict = "undecided"
                c.why = "the saved rounds end before this plan's last look"
    return looks


def rejudge(path, document, cap, margin):
    """The saved rounds judged again: the builds, their comparisons, the
    plan, the rounds' record and the sections phase (or None)."""
    builds = builds_of(document)
    plan = Plan(builds, cap, per_block=int(document["plan"]["per_block"]))
    ends = block_ends(builds, plan.size)
    if len(ends) < plan.first:
        raise Refusal(2, f"--from {path}: {len(ends)} complete block{'s' if len(ends) != 1 else ''}"
                         f" of {plan.size} rounds, fewer than the first look that can decide "
                         f"needs ({plan.first})")
    comparisons = [Comparison(build) for build in builds[1:]]
    looks = judge_blocks(plan, builds, comparisons, margin, ends, document.get("until_cap"))
    judged = looks.blocks * plan.size
    for build in builds:
        kept = [(r, t) for r, t in zip(build.rounds, build.round_times) if r[0] <= judged]
        build.rounds, build.round_times = [r for r, _ in kept], [t for _, t in kept]
    elapsed = ends[looks.blocks - 1]
    run = rounds_record(builds, plan, int(document["loops"]), int(document["repetitions"]),
                        judged, elapsed, document["cpu"])
    phase = None
    saved_phase = document.get("sections_phase")
    if isinstance(saved_phase, dict) and all(b.section_rounds for b in builds
                                             if b.label in saved_phase.get("builds", [])):
        have = [b for b in builds if b.label in saved_phase.get("builds", [])]
        if len(have) > 1 and have[0] is builds[0]:
            phase = judge_sections(builds[0], comparisons, have, int(saved_phase["per_block"]),
                                   int(document["loops"]),
                                   sum(len(b.section_rounds) for b in have),
                                   float(saved_phase.get("seconds", math.nan)))
    return builds, comparisons, plan, run, phase
