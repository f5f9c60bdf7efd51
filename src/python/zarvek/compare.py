# SPDX-License-Identifier: MIT
"""zarvek-compare: is build B (or C, ...) faster than build A, by how much,
and how sure?

It has zarvek-verify judge every build's zarvek and checks that no build's
zarvek-bench flushes subnormal numbers to zero, then runs the builds'
zarvek-bench on one CPU in blocks of rounds, five of each build a block
in an order drawn afresh for every block, each round a fresh process
timing the same timed_pass/LOOP. Every rate is the pass's benchmark
instructions over its wall-clock time. Each build is compared with A by
the median of the ratios of its rounds to A's within a block, with an
interval that the random order alone makes exact, looked at after every
block with 5 % spent over the cap's time. A comparison is decided at the
first look whose interval excludes 1 (faster or slower) or lies within
+-M (same); the run ends when all are decided, or at the cap. --from
judges a saved run's rounds again. With --sections, a fixed phase of
sections/LOOP rounds in blocks of the same kind then says which of the
pass's sections each build's difference is in: per section, the ratio of
X's time to A's with an interval (Holm across the sections), which
explains the verdict and never enters it.

Exit status: 0 compared (whatever the verdicts); 3 with --fail-slower
when a build is slower than A; 1 a build is not faithful or flushes
subnormal numbers to zero; 2 bad input or a failure (never with a
verdict); 128 + the signal when interrupted.
"""

import argparse
import datetime
import json
import math
import os
import string
import sys

from . import _files, _machine, _process, _workload, keeping
from ._compare import saved
from ._compare.builds import Build, default_loop, list_loops, locate, verify_builds
from ._compare.judge import Comparison, Looks
from ._compare.output import print_report, report_json, rounds_record, spreads_of
from ._compare.plan import Plan, check_cap, plan_repetitions
from ._compare.plot import plot
from ._compare.rounds import measure, probe
from ._compare.sections import print_sections, sections_phase
from ._process import Refusal
from ._version import VERSION

PROG = "zarvek-compare"
LOOP_MAX = 2**31 - 1
TIME_DEFAULT = 120.0
MARGIN = 1.0


def loop_count(text):
    """A LOOP for --loop: a whole number from 1 to 2147483647."""
    if not (text.isascii() and text.isdigit()) or not 1 <= int(text) <= LOOP_MAX:
        raise argparse.ArgumentTypeError(
            f"must be a whole number from 1 to {LOOP_MAX}, not '{text}'")
    return int(text)


def parse_arguments():
    parser = argparse.ArgumentParser(
        prog=PROG, usage="%(prog)s [options] A B [C ...]\n       %(prog)s [options] --from FILE",
        description="Compare zarvek builds with the first, A: verified, in blocks of rounds in "
                    "a random order on one CPU, each with an interval and a verdict. Give a "
                    "build twice (A A) to measure the noise of this machine.")
    parser.add_argument("builds", nargs="*", metavar="A B [C ...]",
                        help="build folders, or the paths of their zarvek-bench")
    parser.add_argument("--version", action="version", version=f"{PROG} {VERSION}")
    parser.add_argument("--time", type=float, metavar="SECONDS",
                        help=f"the cap on the rounds' time (default {TIME_DEFAULT:g}; with "
                             "--from, the saved run's)")
    parser.add_argument("--margin", metavar="M",
                        help=f"call builds the same only within +-M %% (default {MARGIN:g}; "
                             "with --from, the saved run's)")
    parser.add_argument("--until-cap", action="store_true",
                        help="run rounds until the cap whatever the verdicts (a recorded "
                             "series, for --json)")
    parser.add_argument("--from", dest="saved", metavar="FILE",
                        help="judge the rounds of a saved run (its --json) again, running "
                             "nothing")
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
    parser.add_argument("--db", metavar="PATH|URL",
                        help="keep the comparison in the results store at PATH or URL")
    parser.add_argument("--label", metavar="TEXT",
                        help="the comparison's label in the store: a commit, a compiler version")
    parser.add_argument("--plot", metavar="FILE", help="draw the rounds (.svg or .png)")
    parser.add_argument("--sections", action="store_true",
                        help="after the verdicts, time the pass's sections in the same order "
                             "and say in which the differences are")
    parser.add_argument("--no-verify", action="store_true",
                        help="compare without zarvek-verify's verdict")
    args = parser.parse_args()
    if args.saved is not None:
        running = [option for option, given in (
            ("builds", args.builds), ("--cpu", args.cpu is not None),
            ("--loop", args.loop is not None), ("--repetitions", args.repetitions is not None),
            ("--sections", args.sections), ("--no-verify", args.no_verify)) if given]
        if running:
            parser.error(f"--from runs nothing: not with {', '.join(running)}")
    elif len(args.builds) < 2:
        parser.error("at least two builds, A and B (give one twice to measure the noise)")
    if len(args.builds) > len(string.ascii_uppercase):
        parser.error(f"at most {len(string.ascii_uppercase)} builds")
    if args.time is not None and not (math.isfinite(args.time) and args.time > 0):
        raise Refusal(2, f"--time {args.time:g}: a finite number of seconds above 0")
    return args


def check_outputs(args):
    """The output files can be written, and the statistics' and the plot's
    libraries are here (the plot is left out, with a word, without
    matplotlib)."""
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


def run_live(args):
    """Verifies and probes the builds, runs the rounds and, with
    --sections, the sections phase."""
    builds = [Build(label, path) for label, path in zip(string.ascii_uppercase, args.builds)]
    allowed = sorted(os.sched_getaffinity(0))
    if args.cpu is None:
        args.cpu = allowed[-1]
    elif args.cpu not in allowed:
        raise Refusal(2, f"--cpu {args.cpu}: not a CPU this process may run on "
                         f"({', '.join(map(str, allowed))})")
    if args.repetitions is not None and args.repetitions < 1:
        raise Refusal(2, f"--repetitions {args.repetitions}: at least 1")
    check_outputs(args)
    for build in builds:
        locate(build, not args.no_verify)
    listed, extra = list_loops(builds, args.loop)
    probe(builds, listed, extra, args.cpu)
    loop = args.loop if args.loop is not None else default_loop(builds, listed)
    repetitions = plan_repetitions(args.repetitions)
    plan = Plan(builds, args.time)
    check_cap(plan, builds, loop, repetitions)
    if not args.no_verify:
        verify_builds(builds)

    comparisons = [Comparison(build) for build in builds[1:]]
    date = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    work = _machine.CpuWork(allowed)
    looks = Looks(plan, builds, comparisons, args.margin)
    rounds, elapsed = measure(builds, looks, loop, repetitions, args.cpu, extra, args.until_cap)
    steal, other = work.shares()
    setting = {"date": date, "machine": _machine.machine_record(allowed),
               "steal": steal, "other_work": other}
    phase = None
    if args.sections:
        phase = sections_phase(builds, comparisons, plan, loop, repetitions, args.cpu, extra)
    run = rounds_record(builds, plan, loop, repetitions, rounds, elapsed, args.cpu)
    return builds, comparisons, run, phase, setting, not args.no_verify


def run_saved(args):
    """The saved run's rounds, judged again at its settings or the ones
    given."""
    document = saved.load(args.saved)
    args.time = args.time if args.time is not None else float(document["time_budget"])
    args.margin = args.margin if args.margin is not None else str(document["margin_given"])
    args.margin_text = args.margin
    args.margin = _process.percentage("--margin", args.margin)
    args.until_cap = args.until_cap or bool(document.get("until_cap"))
    args.cpu = document["cpu"]
    check_outputs(args)
    builds, comparisons, _, run, phase = saved.rejudge(args.saved, document, args.time,
                                                       args.margin)
    setting = {k: document.get(k) for k in ("date", "machine", "steal", "other_work")}
    verified = all(b.verifier == "faithful" for b in builds)
    return builds, comparisons, run, phase, setting, verified


def compare():
    args = parse_arguments()
    if args.saved is not None:
        builds, comparisons, run, phase, setting, verified = run_saved(args)
    else:
        args.time = TIME_DEFAULT if args.time is None else args.time
        args.margin_text = args.margin if args.margin is not None else str(MARGIN)
        args.margin = _process.percentage("--margin", args.margin_text)
        builds, comparisons, run, phase, setting, verified = run_live(args)
    spreads = {build: spreads_of(build) for build in builds}
    document = _files.finite(report_json(args, builds, comparisons, spreads, run, phase, setting))
    if args.label is not None:
        document["label"] = args.label
    if args.json:
        text = json.dumps(document, indent=2, ensure_ascii=False, allow_nan=False) + "\n"
        _files.write_atomically(args.json, lambda f: f.write(text.encode()))
    if args.plot:
        plot(args.plot, builds, comparisons, run["loops"], args.margin)
    print_report(builds, comparisons, spreads, run, verified, args.margin, source=args.saved)
    if phase is not None:
        print_sections(builds[0], comparisons, phase, args.margin)
    if args.db is not None and keeping.keep_comparison(
            args.db, document, args.json, PROG) == keeping.NOT_KEPT:
        return keeping.NOT_KEPT
    if args.fail_slower and any(c.verdict == "slower" for c in comparisons):
        return 3
    return 0


def main():
    _process.main_guard(PROG, compare)
