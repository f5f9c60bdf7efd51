# SPDX-License-Identifier: MIT
"""zarvek-bench as the Python programs run it: its JSON report, the runs of
a benchmark, the benchmarks it lists, and the floating-point check both
programs apply to its context before taking a figure from it."""

import json
import math

from ._process import Refusal, how_it_ended, run


def read_bench_json(out):
    """The report zarvek-bench printed with --benchmark_format=json; raises
    ValueError saying what is wrong with it."""
    try:
        report = json.loads(out)
    except ValueError:
        raise ValueError("zarvek-bench printed no JSON report") from None
    if not isinstance(report, dict) or not isinstance(report.get("benchmarks"), list):
        raise ValueError("zarvek-bench's JSON report has no benchmarks")
    if not isinstance(report.get("context"), dict):
        report["context"] = {}
    return report


def is_run_of(entry_name, name):
    """Whether a run's name is NAME, with or without what Google Benchmark
    appends for the clock it was timed by (copies/2/manual_time)."""
    return entry_name == name or entry_name in (f"{name}/real_time", f"{name}/manual_time")


def bench_runs(report, name):
    """The runs of benchmark NAME (every repetition, no aggregate), each
    with a finite, positive items_per_second; raises ValueError on a run
    that reported an error or lacks its rate."""
    runs = []
    for entry in report["benchmarks"]:
        if not isinstance(entry, dict) or not is_run_of(entry.get("name"), name) \
                or entry.get("run_type") != "iteration":
            continue
        if entry.get("error_occurred"):
            raise ValueError(f"zarvek-bench reported an error in {name}: "
                             f"{entry.get('error_message')}")
        rate = entry.get("items_per_second")
        if not isinstance(rate, (int, float)) or not math.isfinite(rate) or rate <= 0:
            raise ValueError(f"zarvek-bench's JSON report has no rate for {name}")
        runs.append(entry)
    return runs


def lists(bench, name, cwd=None):
    """Whether zarvek-bench --benchmark_list_tests lists benchmark NAME;
    raises ValueError when it fails."""
    status, out, err = run([bench, "--benchmark_list_tests"], cwd=cwd, timeout=60)
    if status != 0:
        raise ValueError(f"zarvek-bench --benchmark_list_tests {how_it_ended(status, err)}")
    return any(is_run_of(listed, name) for listed in out.decode(errors="replace").split())


def check_flush_to_zero(bench, context, what):
    """Refuses a zarvek-bench (at BENCH) whose CONTEXT says it flushes
    subnormal numbers to zero, status 1: its floating-point environment
    does not compute the benchmark's IEEE arithmetic, so no figure is
    taken from it. One too old to say is refused with status 2. WHAT
    ends the message: what is not done with it."""
    flush = context.get("flush_to_zero")
    if flush is None:
        raise Refusal(2, f"{bench} does not report flush_to_zero in its context: it is "
                         "older than this program")
    if str(flush).lower() == "true":
        raise Refusal(1, f"{bench} runs with subnormal numbers flushed to zero "
                         f"(flush_to_zero: true): its arithmetic is not IEEE, and it is {what}. "
                         "A fast-math start-up file linked in sets this; build without it.")


def section_times(entry, name):
    """The ten counters section_1 ... section_10 of a run of NAME
    (sections/LOOP): each section's nanoseconds per unit of loop count,
    in order; raises ValueError on one that is missing, negative or not a
    finite number."""
    times = []
    for s in range(1, 11):
        value = entry.get(f"section_{s}")
        if isinstance(value, bool) or not isinstance(value, (int, float)) \
                or not math.isfinite(value) or value < 0:
            raise ValueError(f"zarvek-bench's run of {name} has no time for section {s}")
        times.append(float(value))
    return times
