# SPDX-License-Identifier: MIT
"""zarvek-report: the figure to publish for this machine, and many
machines' figures on one page.

run: verifies the build's zarvek, rates one core at the reference loop
count (fresh zarvek-bench processes, one pass each, looked at on a plan
fixed in advance, until the interval of their 75th percentile, the
figure, which accounts for the runs' serial correlation, is within +-P
or the time cap is reached; their median is kept beside it)
and the whole machine (copies/1 and copies/N for every CPU of the
affinity set), profiles the pass by section (the median of a few runs of
sections/LOOP, after the rating), records the machine, the build and how
steady the machine was, prints a summary and writes a result file.

page: sets result files side by side in one self-contained HTML page (a
sortable table and a bar chart per loop count) and a Markdown table.

Exit status: 0 done; 1 the build is not faithful or flushes subnormal
numbers to zero (run); 2 bad input or a failure, no result; 128 + the
signal when interrupted, no file written.
"""

import argparse
import datetime
import math
import os
import re
import subprocess
import sys
import time

from . import (_bench, _files, _machine, _process, _progress, _result, _stats, _workload,
               keeping)
from ._process import Refusal
from ._rating import MIN_TIME, PRECISION, rate_one_core
from ._summary import summary
from ._version import VERSION

PROG = "zarvek-report"
# Repetitions of each copies/N, of which the median is the figure.
COPIES_REPETITIONS = 5
COPIES_LOOPS_VARIABLE = "ZARVEK_REPORT_COPIES_LOOPS"
# Runs of sections/LOOP, each a fresh process as the rating's are, whose
# median per section is the profile: the profile explains the rating and
# is not itself rated, so a few runs that outvote one disturbed run are
# enough.
SECTIONS_RUNS = 5


class Build:
    """The programs of the build being rated."""

    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        self.zarvek = os.path.join(self.folder, "zarvek")
        self.bench = os.path.join(self.folder, "zarvek-bench")
        self.context = None

    def bench_run(self, *args, timeout=None, tick=None):
        """Runs ./zarvek-bench from its folder (so that the length of the
        folder's path cannot move the stack the pass runs on) with JSON
        output; returns its report. TICK as for _process.run."""
        argv = ["./zarvek-bench", *args, "--benchmark_format=json"]
        try:
            status, out, err = _process.run(argv, cwd=self.folder, timeout=timeout, tick=tick)
        except subprocess.TimeoutExpired:
            raise Refusal(2, f"{self.bench} did not finish in {timeout:.0f} s") from None
        if status != 0:
            raise Refusal(2, f"{self.bench} {_process.how_it_ended(status, err)}")
        try:
            report = _bench.read_bench_json(out)
        except ValueError as e:
            raise Refusal(2, f"{self.bench}: {e}") from None
        if self.context is None:
            self.context = report["context"]
            _bench.check_flush_to_zero(self.bench, self.context, "not rated")
        return report


def locate(folder):
    build = Build(folder)
    if os.path.exists(build.folder) and not os.path.isdir(build.folder):
        what = "a program" if _process.executable(build.folder) else "a file"
        raise Refusal(2, f"--build {folder}: {what}, not a folder; --build takes the build "
                         "folder that holds zarvek and zarvek-bench")
    if not os.path.isdir(build.folder):
        raise Refusal(2, f"--build {folder}: no such folder")
    for program in (build.zarvek, build.bench):
        if not _process.executable(program):
            raise Refusal(2, f"no executable {os.path.basename(program)} in {build.folder}")
    return build


def rate_whole_machine(build, cpus, copies_loops, progress):
    """copies/1 and copies/N for N = every CPU of the affinity set, the
    median of their repetitions, and the scaling."""
    import numpy as np

    counts = sorted({1, cpus})
    filter_ = "^copies/(" + "|".join(map(str, counts)) + ")/"
    args = [f"--benchmark_filter={filter_}", f"--benchmark_repetitions={COPIES_REPETITIONS}",
            f"--benchmark_min_time={MIN_TIME}"]
    if copies_loops is not None:
        args.append(f"--copies_loops={copies_loops}")
    started = time.monotonic()
    report = build.bench_run(*args, tick=progress.ticking(
        f"whole machine: {' and '.join(f'copies/{n}' for n in counts)}, "
        f"{COPIES_REPETITIONS} repetitions each"))
    progress.clear()
    medians, subnormal = {}, False
    for n in counts:
        try:
            runs = _bench.bench_runs(report, f"copies/{n}")
        except ValueError as e:
            raise Refusal(2, f"{build.bench}: {e}") from None
        if not runs:
            raise Refusal(2, f"{build.bench} reported no runs of copies/{n}")
        medians[n] = float(np.median([r["items_per_second"] for r in runs])) / 1e6
        subnormal = subnormal or any(bool(r.get("subnormal")) for r in runs)
    loops = report["context"].get("copies_loop")
    return {
        "copies": cpus, "rate": medians[cpus], "single_copy": medians[1],
        "scaling": medians[cpus] / (cpus * medians[1]), "subnormal": subnormal,
        "loops": int(loops) if str(loops).isdigit() else copies_loops,
        "repetitions": COPIES_REPETITIONS,
        "pinned": report["context"].get("copies_pinned") == "yes",
        "seconds": round(time.monotonic() - started, 3),
    }


def profile_sections(build, progress):
    """The pass's profile by section: SECTIONS_RUNS fresh zarvek-bench
    processes, one pass of sections/REFERENCE each, and each section's
    median time per unit of loop count. Run after the rating, so that
    it never shares the rating's time."""
    import numpy as np

    name = f"sections/{_workload.REFERENCE_LOOP}"
    started = time.monotonic()
    profiles = []
    for k in range(SECTIONS_RUNS):
        report = build.bench_run(f"--benchmark_filter=^{name}(/|$)", "--benchmark_repetitions=1",
                                 f"--benchmark_min_time={MIN_TIME}", timeout=600,
                                 tick=progress.ticking(f"section profile: run {k + 1} of "
                                                       f"{SECTIONS_RUNS}"))
        try:
            runs = _bench.bench_runs(report, name)
            if len(runs) != 1:
                raise ValueError(f"zarvek-bench reported {len(runs)} runs of {name}, not 1")
            profiles.append(_bench.section_times(runs[0], name))
        except ValueError as e:
            raise Refusal(2, f"{build.bench}: {e}") from None
    progress.clear()
    medians = np.median(profiles, axis=0)
    return {
        "benchmark": name, "loops": _workload.REFERENCE_LOOP, "runs": SECTIONS_RUNS,
        "ns_per_loop": {str(s): float(t) for s, t in enumerate(medians, start=1)},
        "seconds": round(time.monotonic() - started, 3),
    }


def judge(build, no_verify, progress):
    if no_verify:
        return {"verified": False, "faithful": None, "method": "not verified (--no-verify)"}
    from . import _verdict

    verifier = _process.beside(sys.argv[0], "zarvek-verify")
    if verifier is None:
        raise Refusal(2, f"no zarvek-verify beside {PROG}; --no-verify rates without the verdict")
    print(f"Verifying: {verifier} {build.zarvek}", file=sys.stderr)
    verdict = _verdict.verify(verifier, build.zarvek, tick=progress.ticking("verifying"))
    progress.clear()
    if verdict.status == 1:
        raise Refusal(1, f"{build.zarvek} is not faithful; it is not rated.\n"
                         f"{verdict.shortfalls()}")
    if verdict.status != 0:
        raise Refusal(2, f"{verdict.message}\n(--no-verify rates without the verdict)")
    return {"verified": True, "faithful": True, "method": verdict.method}


def copies_loops_setting():
    text = os.environ.get(COPIES_LOOPS_VARIABLE)
    if text is None:
        return None
    if not re.fullmatch(r"[0-9]+", text) or not 1 <= int(text) <= 2147483647:
        raise Refusal(2, f"{COPIES_LOOPS_VARIABLE}={text}: a whole number from 1 to 2147483647")
    return int(text)


def command_run(args):
    if not (math.isfinite(args.time) and args.time > 0):
        raise Refusal(2, f"--time {args.time:g}: a finite number of seconds above 0")
    copies_loops = copies_loops_setting()
    if args.json:
        _files.check_output_file("--json", args.json)
    folder = args.build
    if folder is None:
        zarvek = _process.beside(sys.argv[0], "zarvek")
        folder = os.path.dirname(zarvek) if zarvek else os.path.dirname(
            os.path.abspath(sys.argv[0]))
    build = locate(folder)
    # The store opens in a child process while the statistics load.
    keeper = None if args.no_store else keeping.Keeper(args.db, args.machine)
    try:
        import jsonschema  # noqa: F401  (the result's check)
        import numpy  # noqa: F401  (the statistics)
        import scipy.stats  # noqa: F401
        import statsmodels.api  # noqa: F401
    except ImportError:
        raise Refusal(2, "the statistics need SciPy and statsmodels, the result's check "
                         "jsonschema: apt-get install python3-scipy python3-statsmodels "
                         "python3-jsonschema") from None
    started = time.monotonic()
    date = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    cpus = sorted(os.sched_getaffinity(0))

    def lists(name):
        try:
            return _bench.lists("./zarvek-bench", name, cwd=build.folder)
        except ValueError as e:
            raise Refusal(2, f"{build.bench}: {e}") from None

    name = f"timed_pass/{_workload.REFERENCE_LOOP}"
    if not lists(name):
        raise Refusal(2, f"{build.bench} has no {name}: it is older than zarvek-report")
    sections_name = f"sections/{_workload.REFERENCE_LOOP}"
    has_sections = lists(sections_name)
    if not has_sections:
        print(f"{PROG}: note: {build.bench} has no {sections_name} (it is older than "
              "zarvek-report): the result has no section profile", file=sys.stderr)
    machine = _machine.machine_record(cpus)
    timings = []
    began = time.monotonic()
    progress = _progress.Progress()
    verdict = judge(build, args.no_verify, progress)
    if not args.no_verify:
        timings.append(("verification", time.monotonic() - began))
    if keeper is not None:
        keeper.wait_ready()
    work = _machine.CpuWork(cpus)
    rating = rate_one_core(build, args.time, args.precision, progress)
    steal, other = work.shares()
    timings.append(("rating", rating["seconds"]))
    sections = profile_sections(build, progress) if has_sections else None
    if sections is not None:
        timings.append(("sections", sections["seconds"]))
    whole = rate_whole_machine(build, len(cpus), copies_loops, progress)
    timings.append(("whole machine", whole["seconds"]))
    context = build.context
    result = {
        "format": _result.FORMAT,
        "program": PROG,
        "version": VERSION,
        "date": date,
        "duration": round(time.monotonic() - started, 3),
        "rating": rating,
        "stability": {
            "autocorrelation": _stats.lag1_autocorrelation(rating["rates"]),
            "drift": _stats.drift(rating["rates"]),
            "steal": steal,
            "other_work": other,
        },
        "whole_machine": whole,
        "sections": sections,
        "machine": machine,
        "build": {
            "compiler": context.get("compiler", "unknown"),
            "flags": context.get("flags", "unknown"),
            "target": context.get("target", "unknown"),
            "folder": build.folder,
            "zarvek_sha256": _files.file_digest(build.zarvek),
            "bench_sha256": _files.file_digest(build.bench),
        },
        "verdict": verdict,
    }
    damage = _result.damage(result)
    if damage:
        raise Refusal(2, f"internal error: the result does not meet its own format ({damage}); "
                         "no file written")
    if args.json:
        _result.write_result(args.json, result)
    print(f"{PROG}: {build.folder}")
    print(summary(result, timings))
    if args.json:
        print(f"Result: {args.json}")
    return keeping.finish_run(keeper, result, args.json, PROG)


def store_options(parser, what):
    parser.add_argument("--db", metavar="PATH|URL",
                        help=f"{what} (default: $XDG_DATA_HOME/zarvek/results.db)")
    parser.add_argument("--machine", metavar="NAME",
                        help="the machine's name in the store (default: its host name and "
                             "CPU model)")


def parse_arguments():
    parser = argparse.ArgumentParser(
        prog=PROG, description="The figure to publish for this machine (run), and many "
                               "results side by side (page).")
    parser.add_argument("--version", action="version", version=f"{PROG} {VERSION}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run = commands.add_parser("run", help="verify the build, rate this machine, record it",
                              description="Verify the build, rate one core and the whole "
                                          "machine at the reference loop count, record the "
                                          "machine and the build.")
    run.add_argument("--build", metavar="DIR",
                     help="the build folder (default: the programs beside zarvek-report)")
    run.add_argument("--time", type=float, default=60.0, metavar="SECONDS",
                     help="the cap on the rating's time (default 60)")
    run.add_argument("--precision", default=str(PRECISION),
                     metavar="P", help="stop once the interval is within +-P %% of the rating "
                                       f"(default {PRECISION:g})")
    run.add_argument("--no-verify", action="store_true",
                     help="rate without zarvek-verify's verdict (the result says so)")
    run.add_argument("--json", metavar="FILE", help="write the result file")
    store_options(run, "keep the result in the store at PATH or URL")
    run.add_argument("--no-store", action="store_true", help="keep the result in no store")
    imports = commands.add_parser("import", help="keep result files in the store",
                                  description="Keep zarvek-report result files and "
                                              "zarvek-fleet files (a result per node) in "
                                              "the store.")
    store_options(imports, "the store: an SQLite file's PATH, sqlite:///PATH or "
                           "postgresql://...")
    imports.add_argument("files", nargs="+", metavar="FILE")
    history = commands.add_parser("history", help="each series kept, its changes and figure",
                                  description="Each series kept in the store: its reports, "
                                              "its change points and its figure since the "
                                              "last change.")
    history.add_argument("--db", metavar="PATH|URL", help="the store (default: "
                         "$XDG_DATA_HOME/zarvek/results.db)")
    history.add_argument("--machine", metavar="NAME", help="only the series of machine NAME "
                                                           "(its name, or its host's)")
    history.add_argument("--since", metavar="DATE", help="only the results from DATE on")
    history.add_argument("--json", metavar="FILE", help="write the history as JSON")
    history.add_argument("--html", metavar="FILE", help="write the history as an HTML page")
    history.add_argument("--comparisons", action="store_true",
                         help="zarvek-compare's comparisons kept, by label, not the results")
    history.add_argument("--fail-change", action="store_true",
                         help="status 3 when a series' latest report is after a change to a "
                              "lower level")
    page = commands.add_parser("page", help="set results side by side in HTML and Markdown",
                               description="Set results side by side: an HTML page and a "
                                           "Markdown table.")
    page.add_argument("-o", dest="output", metavar="FILE.html",
                      help="write the HTML page (default: standard output, unless only "
                           "--markdown is given)")
    page.add_argument("--markdown", metavar="FILE.md", help="write a Markdown table")
    page.add_argument("--strict", action="store_true",
                      help="a file that is not a readable result is an error (status 2)")
    page.add_argument("--db", metavar="PATH|URL",
                      help="rank the store's series and draw them over time")
    page.set_defaults(machine=None, since=None, comparisons=False)
    page.add_argument("results", nargs="*", metavar="RESULT.json")
    return parser.parse_args()


def main():
    def run_command():
        args = parse_arguments()
        if args.command == "run":
            args.precision = _process.percentage("--precision", args.precision)
            return command_run(args)
        if args.command == "import":
            return keeping.command_import(args, PROG)
        if args.command == "history":
            from .history import command_history
            return command_history(args, PROG)
        from .page import command_page
        return command_page(args, PROG)
    _process.main_guard(PROG, run_command)
