# SPDX-License-Identifier: MIT
"""The builds of a comparison: where each one's programs are, which loop
counts their zarvek-bench lists, and zarvek-verify's verdict on each
zarvek."""

import os
import re
import sys

from .. import _files, _process, _progress, _workload
from .._process import Refusal, how_it_ended, run

PROG = "zarvek-compare"


class Build:
    """One build of the comparison: where its programs are, and what it gave."""

    def __init__(self, label, path):
        self.label = label
        self.path = path
        self.bench = None
        self.zarvek = None
        self.sha256 = {}  # its programs' SHA-256, as zarvek_sha256 and bench_sha256
        self.verifier = "not verified"
        self.context = {}
        self.seconds_per_loop = 0.0  # a pass's time per unit of loop count, from the probe
        self.subnormal = False  # a round's pass raised the underflow flag
        self.rounds = []  # (round number from 1, [rates of its repetitions])
        self.round_times = []  # each round's (start, end), in seconds from the first's start
        self.section_rounds = []  # each sections round's ten times per loop, in ns
        self.section_times = []  # each sections round's (start, end), from the phase's start

    def __str__(self):
        return f"{self.label} ({self.path})"

    def fail(self, message):
        return Refusal(2, f"{self}: {message}")


def locate(build, verify):
    """Finds the build's zarvek-bench (and zarvek, when it is to be judged)."""
    if os.path.isdir(build.path):
        build.bench = os.path.join(build.path, "zarvek-bench")
    elif os.path.exists(build.path):
        build.bench = build.path
        if os.path.basename(build.path) == "zarvek":
            raise not_a_build(build)
    else:
        raise build.fail("no such build folder or zarvek-bench")
    build.zarvek = os.path.join(os.path.dirname(os.path.abspath(build.bench)), "zarvek")
    if not _process.executable(build.bench):
        raise build.fail(f"{build.bench} is not an executable zarvek-bench")
    if verify and not _process.executable(build.zarvek):
        raise build.fail(f"no executable zarvek beside its zarvek-bench ({build.zarvek}) "
                         "for zarvek-verify to judge; --no-verify compares without it")
    build.sha256 = {"zarvek_sha256": _files.file_digest(build.zarvek)
                    if os.path.isfile(build.zarvek) else None,
                    "bench_sha256": _files.file_digest(build.bench)}


def not_a_build(build):
    return build.fail(f"{build.path} is zarvek itself, not a build: give the build's folder "
                      "(which holds zarvek and zarvek-bench), or the path of its zarvek-bench")


def bench_command(build, *args):
    """The command and folder that run BUILD's zarvek-bench. Every build runs
    as ./zarvek-bench from its own folder with the same arguments, so that
    the path's length, which the kernel copies onto the stack, cannot shift
    one build's stack against another's."""
    folder = os.path.dirname(os.path.abspath(build.bench))
    return ["./" + os.path.basename(build.bench), *args], folder


def loops_listed(build, extra=(), strict=True, benchmark="timed_pass"):
    """The LOOPs of the BENCHMARK/LOOP that BUILD's zarvek-bench lists with
    the arguments EXTRA; None, when not STRICT, if it refuses them."""
    argv, folder = bench_command(build, *extra, "--benchmark_list_tests")
    status, out, err = run(argv, cwd=folder, timeout=60)
    if status != 0:
        if err.startswith(b"usage: zarvek [-c]"):
            raise not_a_build(build)
        if not strict:
            return None
        raise build.fail(f"zarvek-bench --benchmark_list_tests {how_it_ended(status, err)}")
    names = out.decode(errors="replace").split()
    pattern = re.compile(re.escape(benchmark) + r"/(\d+)")
    return {int(m.group(1)) for m in map(pattern.fullmatch, names) if m}


def list_loops(builds, wanted):
    """The LOOPs each build lists, and the arguments every run needs: for a
    WANTED that a build does not list, --loops=WANTED, with which a
    zarvek-bench that takes it lists it too. Every build gets the same."""
    listed = {build: loops_listed(build) for build in builds}
    extra = []
    if wanted is not None and any(wanted not in listed[build] for build in builds):
        extra = [f"--loops={wanted}"]
        for build in builds:
            loops = loops_listed(build, extra, strict=False)
            if loops is None or wanted not in loops:
                raise build.fail(f"zarvek-bench has no timed_pass/{wanted}"
                                 + ("" if loops is not None else " and takes no --loops"))
            listed[build] = loops
    if wanted is None and not set.intersection(*listed.values()):
        shown = "; ".join(f"{build.label}: {', '.join(map(str, sorted(listed[build]))) or 'none'}"
                          for build in builds)
        names = " and ".join(str(build) for build in builds)
        raise Refusal(2, f"{names} have no timed_pass LOOP in common ({shown})")
    return listed, extra


def context_count(builds, key, default):
    """A positive whole number that the first of BUILDS to name KEY in its
    context gives, else DEFAULT."""
    for build in builds:
        value = str(build.context.get(key, ""))
        if value.isdigit() and int(value) > 0:
            return int(value)
    return default


def default_loop(builds, listed):
    """The reference loop count where every build lists it; else the largest
    LOOP all list, saying so."""
    reference = context_count(builds, "reference_loop", _workload.REFERENCE_LOOP)
    common = set.intersection(*listed.values())
    if reference in common:
        return reference
    loop = max(common)
    lacking = " and ".join(str(build) for build in builds if reference not in listed[build])
    print(f"{PROG}: note: no timed_pass/{reference} (the reference loop count) in the "
          f"zarvek-bench of {lacking}; comparing at timed_pass/{loop}, the largest loop count "
          f"{'both' if len(builds) == 2 else 'all'} list", file=sys.stderr)
    return loop


def verify_builds(builds):
    """zarvek-verify, beside this program, judges every build's zarvek. A
    verdict that cannot be had is status 2; a build not faithful, status 1
    with the verifier's shortfalls (for every build that falls short)."""
    from .. import _verdict

    verifier = _process.beside(sys.argv[0], "zarvek-verify")
    if verifier is None:
        raise Refusal(2, f"no zarvek-verify beside {PROG} in "
                         f"{os.path.dirname(os.path.abspath(sys.argv[0]))}; "
                         "--no-verify compares without the verdict")
    refusals = []
    judged = {}  # digest of a zarvek: its Verdict
    progress = _progress.Progress()
    for build in builds:
        # The same bytes get the same verdict: judge them once.
        digest = _files.file_digest(build.zarvek)
        if digest not in judged:
            print(f"Verifying {build.label}: {verifier} {build.zarvek}", file=sys.stderr)
            judged[digest] = _verdict.verify(verifier, build.zarvek,
                                             tick=progress.ticking(f"verifying {build.label}"))
            progress.clear()
        verdict = judged[digest]
        if verdict.status == 0:
            build.verifier = "faithful"
        elif verdict.status == 1:
            build.verifier = "not faithful"
            refusals.append(f"{build}: {build.zarvek} is not faithful; it is not compared.\n"
                            f"{verdict.shortfalls()}")
        else:
            raise build.fail(f"{verdict.message}\n(--no-verify compares without the verdict)")
    if refusals:
        raise Refusal(1, "\n".join(refusals))
