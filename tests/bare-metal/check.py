#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Runs a bare-metal zarvek under qemu-system, through scripts/run-bare-metal,
and judges what it prints, byte for byte, and its exit status against zarvek
on Linux: the Linux build's zarvek itself, or for a completed measurement,
whose duration differs between the two, the Linux driver's report for the
loop count and duration the board measured (linux_report). The Cycles cases
run the board's zarvek-cycles with -icount shift=0,sleep=off, where the
counters count emulated time, the same on every run, and judge its profile
by its JSON line; SLOW_TRIG is zarvek-cycles with twice section 6's work.

usage: check.py --preset PRESET --elf ELF --zarvek ZARVEK --report LINUX_REPORT
                --cycles ZARVEK_CYCLES --slow SLOW_TRIG CASE
"""
import argparse
import json
import math
import os
import re
import subprocess
import sys

RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                   "run-bare-metal")
CYCLES_LOOPS = 100
INSTRUCTIONS_PER_LOOP = 100000


def run(command, stdout=subprocess.PIPE):
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=stdout,
                            stderr=subprocess.PIPE, timeout=600, check=False)
    return result.stdout, result.stderr, result.returncode


def on_board(options, args, stdout=subprocess.PIPE):
    return run([RUN, "-k", options.elf, options.preset] + args, stdout)


def short_runs_agree(options, args, failures):
    """The board and Linux give the same bytes and status for ARGS. A short
    measurement that happened to straddle a clock tick (so it printed a
    duration) on either side is tried again."""
    for _ in range(3):
        board = on_board(options, args)
        linux = run([options.zarvek] + args)
        if b"Duration:" not in board[0] + linux[0]:
            break
    if board != linux:
        failures.append(f"zarvek {' '.join(args)}: on the board {board}, on Linux {linux}")


def command_lines(options, failures):
    """Usage errors, short measurements, continuous mode ending on a short
    one: every command line of plain words behaves as on Linux."""
    for args in (["0"], ["-5"], ["abc"], ["-x"], ["C"], ["-c", "0"], ["7", "-"],
                 ["-99999999999"], ["1"], ["12abc"], ["+7"], ["200", "3"], ["-c", "1"],
                 ["cont", "2"], ["c", "-cx", "5"]):
        short_runs_agree(options, args, failures)


def command_line_length(options, failures):
    """255 characters cross ("zarvek", a space, 248 digits of 1); one more is
    refused with a message, never overruns."""
    short_runs_agree(options, ["0" * 247 + "1"], failures)
    out, err, status = on_board(options, ["0" * 248 + "1"])
    expected = (b"", b"zarvek: the command line is longer than 255 characters\n", 1)
    if (out, err, status) != expected:
        failures.append(f"a 256-character command line gave {(out, err, status)}")


def measurement(options, failures):
    """A measurement the whole-second clock saw last a second or more:
    status 0 and the report Linux prints for the loop count asked and the
    duration the board measured. The count doubles while too short."""
    for loops in (4000, 8000, 16000, 32000):
        out, err, status = on_board(options, [str(loops)])
        if b"Insufficient" not in out:
            break
    found = re.match(rb"\nLoops: \d+, Iterations: 1, Duration: (\d+) sec\.\n", out)
    if status != 0 or err != b"" or not found:
        failures.append(f"zarvek {loops}: {(out, err, status)}")
        return
    linux = run([options.report, str(loops), found.group(1)])
    if out != linux[0]:
        failures.append(f"zarvek {loops}: the board printed {out}, Linux prints {linux[0]}")


def full_output(options, failures):
    """Standard output that cannot be written: the error and status 1, as on
    Linux. The reason is the host's errno where the debugger passes it on;
    qemu does not, so the board names an I/O error."""
    with open("/dev/full", "wb") as full:
        _, err, status = on_board(options, ["1"], full)
        linux = run([options.zarvek, "1"], full)
    message = b"zarvek: cannot write standard output: "
    if not (status == linux[2] == 1 and err.startswith(message) and linux[1].startswith(message)
            and err.count(b"\n") == 1 and err.endswith(b"\n")):
        failures.append(f"to /dev/full: on the board {(err, status)}, on Linux {linux}")


def refused_arguments(options, failures):
    """An argument semihosting cannot carry is refused before qemu starts."""
    for arg in ["", "12 abc"]:
        out, err, status = on_board(options, [arg])
        if status != 2 or b"cannot cross semihosting" not in err:
            failures.append(f"argument {arg!r}: {(out, err, status)}")


def cycles_on_board(options, elf, args):
    return run([RUN, "-i", "-p", "zarvek-cycles", "-k", elf, options.preset] + args)


def profile(options, elf, args, failures):
    """The JSON line of a run of ELF that must end well, or None."""
    out, err, status = cycles_on_board(options, elf, args)
    lines = out.splitlines()
    if status != 0 or err or not lines:
        failures.append(f"zarvek-cycles {' '.join(args)}: status {status}, {err!r}")
        return None
    return json.loads(lines[-1])


def counts(found):
    return {key: value for key, value in found.items() if key not in ("mhz", "mips")}


def whole_profile(options, failures):
    """Ten sections that add up to the pass within the reads, the same counts
    on a second run, the rating per MHz as its formula gives it from the
    counts, and with a narrow counter, its wraps counted."""
    loops = str(CYCLES_LOOPS)
    first = profile(options, options.cycles, [loops], failures)
    second = profile(options, options.cycles, ["--mhz", "200", loops], failures)
    if not first or not second:
        return
    if counts(first) != counts(second):
        failures.append(f"two runs differ: {first} and {second}")
    sections = [first["sections"][str(s)] for s in range(1, 11)]
    pass_cycles, read = first["pass_cycles"], first["read_cycles"]
    # The pass holds its sections, the reads before and after it, and its
    # own entry and exit: its counts computed, a call and a return.
    gap = (pass_cycles - sum(sections)) * CYCLES_LOOPS
    if min(sections) < 0 or not -0.01 < gap < 2 * read + 100:
        failures.append(f"sections {sections} do not add up to the pass {pass_cycles}")
    per_mhz = INSTRUCTIONS_PER_LOOP / pass_cycles
    if not (math.isclose(first["mips_per_mhz"], per_mhz, rel_tol=1e-6)
            and math.isclose(second["mips"], 200 * per_mhz, rel_tol=1e-6)):
        failures.append(f"{first['mips_per_mhz']} MIPS/MHz and {second['mips']} MIPS at "
                        f"200 MHz, from {pass_cycles} cycles a loop")
    # A pass longer than the counter's width, wrapping it: the sections
    # whose work is the same at every loop count cost the same per loop.
    if first["counter_bits"] < 64:
        loops = math.ceil(1.25 * 2 ** first["counter_bits"] / pass_cycles)
        long = profile(options, options.cycles, [str(loops)], failures)
        for s in ("5", "7", "8"):
            if long and abs(long["sections"][s] - first["sections"][s]) > 0.05:
                failures.append(f"section {s}: {first['sections'][s]} cycles a loop at "
                                f"{CYCLES_LOOPS} loops, {long['sections'][s]} at {loops}")


def slower_section(options, failures):
    """A pass whose section 6 runs twice as often shows a larger share for it."""
    shares = []
    for elf in (options.cycles, options.slow):
        found = profile(options, elf, [str(CYCLES_LOOPS)], failures)
        if found:
            sections = found["sections"]
            shares.append(sections["6"] / sum(sections.values()))
    if len(shares) == 2 and not shares[1] > 1.3 * shares[0]:
        failures.append(f"section 6's share: {shares[0]:.3f}, with twice its work {shares[1]:.3f}")


def bad_input(options, failures):
    """A bad argument: one line on standard error, nothing on standard
    output, status 2, whatever the arguments around it."""
    for args in (["0"], ["-5"], ["abc"], ["12abc"], ["2147483648"], ["7", "8"], ["-x"],
                 ["--mhz"], ["--mhz", "0", "5"], ["--mhz=inf"], ["5", "--mhz", "fast"]):
        out, err, status = cycles_on_board(options, options.cycles, args)
        if (out, status) != (b"", 2) or not err.startswith(b"zarvek-cycles: ") \
                or err.count(b"\n") != 1:
            failures.append(f"zarvek-cycles {' '.join(args)}: {(out, err, status)}")


CASES = {
    "CommandLinesAsOnLinux": command_lines,
    "CommandLineLength": command_line_length,
    "MeasurementAsOnLinux": measurement,
    "FullOutput": full_output,
    "RefusedArguments": refused_arguments,
    "CyclesProfile": whole_profile,
    "CyclesSlowerSection": slower_section,
    "CyclesBadInput": bad_input,
}


def main():
    parser = argparse.ArgumentParser()
    for name in ("--preset", "--elf", "--zarvek", "--report", "--cycles", "--slow"):
        parser.add_argument(name, required=True)
    parser.add_argument("case", choices=sorted(CASES))
    options = parser.parse_args()
    failures = []
    CASES[options.case](options, failures)
    for failure in failures:
        print(failure)
    print(f"{options.case}: {'failed' if failures else 'passed'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
