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
import datetime
import json
import math
import os
import string
import sys

from . import _files, _machine, _process, _workload
from ._compare.builds import Build, default_loop, list_loops, locate, verify_builds
from ._compare.judge import Comparison
from ._compare.output import print_report, report_json, spreads_of
from ._compare.plan import plan_looks, plan_repetitions
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
    parser.add_argument("--until-cap", action="store_true",
                        help="run rounds until the cap whatever the verdicts (a recorded "
                             "series, for --json)")
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
    args.margin_text = args.margin
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
    date = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    work = _machine.CpuWork(allowed)
    rounds, sets, taken, elapsed = measure(builds, comparisons, loop, repetitions, args.cpu,
                                           args.time, looks, alpha, args.margin, extra,
                                           args.until_cap)
    steal, other = work.shares()
    setting = {"date": date, "machine": _machine.machine_record(allowed),
               "steal": steal, "other_work": other}
    phase = None
    if args.sections:
        phase = sections_phase(builds, comparisons, loop, repetitions, args.cpu, extra)
    spreads = {build: spreads_of(build) for build in builds}
    if args.json:
        document = report_json(args, builds, comparisons, spreads, loop, repetitions, rounds,
                               sets, elapsed, looks, alpha, taken, phase, setting)
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
