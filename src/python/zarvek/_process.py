# SPDX-License-Identifier: MIT
"""Children in a process group of their own, and how a program ends: status
2 for bad input or a failure, 1 where it judges a build not faithful,
128 + the signal when interrupted, having stopped every child it started."""

import math
import os
import signal
import subprocess
import sys
import time
import traceback

from . import _files

ENDING_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
# How long a child stopped with SIGTERM has to clean up (zarvek-verify
# removes its traces, zarvek-bench stops its copies) before the rest of its
# group is killed.
STOP_GRACE = 10


class Refusal(Exception):
    """Ends the program with STATUS after printing the message."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived. Not an Exception, so that no handler of
    errors can take an ending for a fault."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def run(argv, cwd=None, cpu=None, timeout=None, tick=None):
    """Runs ARGV and returns (status, stdout, stderr); the status is negative
    for a signal. The child has a process group of its own, so that on any
    exception here (an interrupt, a timeout) the whole group is stopped and
    nothing keeps running after us. TICK, where given, is called with the
    seconds since the start about once a second while the child runs."""
    def prepare():
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        if cpu is not None:
            os.sched_setaffinity(0, {cpu})

    # The signals that end this program wait until the child is known, so
    # that none can leave it running unseen.
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, ENDING_SIGNALS)
    try:
        child = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 start_new_session=True, preexec_fn=prepare)
    except OSError as e:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        return 127, b"", str(e).encode()
    except BaseException:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        raise
    try:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        started = time.monotonic()
        while True:
            left = None if timeout is None else timeout - (time.monotonic() - started)
            try:
                # communicate may be called again after its timeout: no
                # output is lost.
                out, err = child.communicate(
                    timeout=left if tick is None else max(0, min(1.0, left or 1.0)))
                break
            except subprocess.TimeoutExpired:
                if tick is None or left is not None and left <= 1.0:
                    raise
                tick(time.monotonic() - started)
    except BaseException:
        stop_group(child)
        raise
    return child.returncode, out, err


def stop_group(child):
    """Stops CHILD's process group: SIGTERM, so that it can clean up, then
    SIGKILL for whatever is left once it has ended or the grace is over.
    A second interrupt meanwhile waits until the group is gone."""
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, ENDING_SIGNALS)
    try:
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(child.pid, sig)
            except ProcessLookupError:
                pass
            try:
                child.wait(timeout=STOP_GRACE if sig == signal.SIGTERM else None)
            except subprocess.TimeoutExpired:
                pass
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)


def how_it_ended(status, err):
    how = f"killed by signal {-status}" if status < 0 else f"exited with status {status}"
    lines = err.decode(errors="replace").strip().splitlines()
    return how + (f": {lines[-1]}" if lines else "")


def executable(path):
    return os.path.isfile(path) and os.access(path, os.X_OK)


def beside(program, name):
    """NAME in the folder PROGRAM was started from, or in the folder of the
    file it links to; None where neither has an executable NAME."""
    for folder in (os.path.dirname(os.path.abspath(program)),
                   os.path.dirname(os.path.realpath(program))):
        if executable(os.path.join(folder, name)):
            return os.path.join(folder, name)
    return None


def percentage(option, text):
    """TEXT, given to OPTION, as a positive percentage below 50; refused
    with status 2 otherwise."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < 50:
        raise Refusal(2, f"{option} {text}: a positive percentage below 50")
    return value


def _on_signal(signum, _frame):
    raise Terminated(signum)


def main_guard(prog, main):
    """Runs MAIN and exits with its status; a Refusal prints its message and
    exits with its status, an error of the system with 2 (never 1, which
    is a verdict); SIGINT, SIGTERM and SIGHUP end it with 128 + the signal,
    after the children are stopped (run stops their groups) and with the
    files written whole so far named."""
    for s in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, _on_signal)
    try:
        sys.exit(main())
    except (KeyboardInterrupt, Terminated) as e:
        signum = int(e.signum if isinstance(e, Terminated) else signal.SIGINT)
        written = _files.WRITTEN
        said = f"only {', '.join(written)} written" if written else "nothing written"
        print(f"\n{prog}: interrupted by signal {signum}; {said}", file=sys.stderr)
        sys.exit(128 + signum)
    except Refusal as e:
        print(f"{prog}: {e}", file=sys.stderr)
        sys.exit(e.status)
    except OSError as e:
        # A file that could not be written after all, a pipe closed.
        print(f"{prog}: {e}", file=sys.stderr)
        sys.exit(2)
    except Exception:  # a fault of ours: said as one, and no verdict
        traceback.print_exc()
        print(f"{prog}: internal error (above); no result", file=sys.stderr)
        sys.exit(2)
