#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Runs a bare-metal zarvek under qemu-system, through scripts/run-bare-metal,
and judges what it prints, byte for byte, and its exit status against zarvek
on Linux: the Linux build's zarvek itself, or for a completed measurement,
whose duration differs between the two, the Linux driver's report for the
loop count and duration the board measured (linux_report).

usage: check.py --preset PRESET --elf ELF --zarvek ZARVEK --report LINUX_REPORT CASE
"""
import argparse
import os
import re
import subprocess
import sys

RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                   "run-bare-metal")


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


CASES = {
    "CommandLinesAsOnLinux": command_lines,
    "CommandLineLength": command_line_length,
    "MeasurementAsOnLinux": measurement,
    "FullOutput": full_output,
    "RefusedArguments": refused_arguments,
}


def main():
    parser = argparse.ArgumentParser()
    for name in ("--preset", "--elf", "--zarvek", "--report"):
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
