"""What zarvek's Python programs share: running a child in a process group
of its own, reading zarvek-bench's JSON, zarvek-verify's verdict, files
written whole or not at all, and how a program ends (its status after a
refusal or an interrupt).

Every program that imports it ends the same way: status 2 for bad input or
a failure, 1 where it judges a build not faithful, 128 + the signal when
interrupted, having stopped every child it started."""

import hashlib
import json
import math
import os
import signal
import subprocess
import sys
import tempfile
import traceback

# The loop count every figure is measured at by default, the first one
# whose pass computes with subnormal numbers, and the benchmark
# instructions a pass counts per unit of loop count: the values of
# src/workload/workload.h, which configure checks them against.
REFERENCE_LOOP = 100000
SUBNORMAL_LOOP = 327584
INSTRUCTIONS_PER_LOOP = 100000

ENDING_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}


class Refusal(Exception):
    """Ends the program with STATUS after printing the message."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class Terminated(Exception):
    """A termination signal other than SIGINT arrived."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def run(argv, cwd=None, cpu=None, timeout=None):
    """Runs ARGV and returns (status, stdout, stderr); the status is negative
    for a signal. The child has a process group of its own, so that on any
    exception here (an interrupt, a timeout) the whole group is stopped and
    nothing keeps running after us."""
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
        out, err = child.communicate(timeout=timeout)
    except BaseException:
        stop_group(child)
        raise
    return child.returncode, out, err


# How long a child stopped with SIGTERM has to clean up (zarvek-verify
# removes its traces, zarvek-bench stops its copies) before the rest of its
# group is killed.
STOP_GRACE = 10


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


def file_digest(path):
    """The SHA-256 of the file PATH, in hex: the same bytes, the same build."""
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def beside(program, name):
    """NAME in the folder PROGRAM was started from, or in the folder of the
    file it links to; None where neither has an executable NAME."""
    for folder in (os.path.dirname(os.path.abspath(program)),
                   os.path.dirname(os.path.realpath(program))):
        if executable(os.path.join(folder, name)):
            return os.path.join(folder, name)
    return None


# zarvek-bench's JSON report.

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


# zarvek-verify's verdict.

class Verdict:
    """What zarvek-verify said of one zarvek: its status (0 faithful, 1 not
    faithful, anything else no verdict), the method, and for a build that
    is not faithful the shortfalls; for no verdict, the verifier's words."""

    def __init__(self, status, method, report, message):
        self.status = status
        self.method = method
        self.report = report
        self.message = message

    @property
    def faithful(self):
        return self.status == 0

    def shortfalls(self):
        """The verdict and its list of shortfalls, from the report's text."""
        text = self.report[self.report.find("Verdict:"):] if "Verdict:" in self.report \
            else self.report
        return text.split("\nCommands:")[0].rstrip()


def read_verdict_json(path):
    """The verdict and the method's text from the file zarvek-verify --json
    wrote: {"faithful": true, "method": {"kind": ..., "text": ...}, ...}."""
    with open(path, encoding="utf-8") as f:
        document = json.load(f)
    if not isinstance(document, dict) or not isinstance(document.get("faithful"), bool):
        raise ValueError(f"zarvek-verify's JSON ({path}) has no verdict")
    method = document.get("method")
    if isinstance(method, dict):
        method = method.get("text")
    return document["faithful"], method if isinstance(method, str) else "unknown"


def verify(verifier, zarvek, timeout=None):
    """Has VERIFIER judge ZARVEK. Its JSON verdict where it writes one, else
    the Verdict and Method lines of its report."""
    status, out, err = run([verifier, "--help"], timeout=60)
    with tempfile.TemporaryDirectory(prefix="zarvek-verdict-") as folder:
        json_file = os.path.join(folder, "verdict.json")
        argv = [verifier, zarvek]
        if b"--json" in out + err:
            argv = [verifier, "--json", json_file, zarvek]
        status, out, err = run(argv, timeout=timeout)
        report = out.decode(errors="replace")
        message = err.decode(errors="replace").strip() \
            or f"zarvek-verify {how_it_ended(status, err)}"
        method = "unknown"
        for line in report.splitlines():
            if line.startswith("Method: "):
                method = line[len("Method: "):]
        if status in (0, 1) and len(argv) == 4:
            try:
                faithful, method = read_verdict_json(json_file)
            except (OSError, ValueError) as e:
                return Verdict(2, method, report, f"zarvek-verify's verdict: {e}")
            if faithful != (status == 0):
                return Verdict(2, method, report,
                               f"zarvek-verify exited with status {status} but its JSON says "
                               f"faithful is {str(faithful).lower()}")
    return Verdict(status, method, report, message)


# Files written whole.

WRITTEN = []  # the files written whole so far, for an interrupt's message


def write_atomically(path, write):
    """Writes PATH whole or not at all: WRITE(f) fills a temporary file in
    the same folder, which is then renamed over PATH."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temp = tempfile.mkstemp(dir=folder, prefix=".zarvek-")
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temp, 0o644)
        os.replace(temp, path)
    except BaseException:
        os.unlink(temp)
        raise
    WRITTEN.append(path)


def check_output_file(option, path, suffixes=None):
    """Refuses, before any work, a file that could not be written."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder) or not os.access(folder, os.W_OK | os.X_OK):
        raise Refusal(2, f"{option} {path}: cannot write in {folder}")
    if os.path.isdir(path):
        raise Refusal(2, f"{option} {path}: is a folder")
    if suffixes and os.path.splitext(path)[1].lower() not in suffixes:
        raise Refusal(2, f"{option} {path}: the name must end in {' or '.join(suffixes)}")


# How a program ends.

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
    except (KeyboardInterrupt, Terminated) as e:
        signum = int(e.signum if isinstance(e, Terminated) else signal.SIGINT)
        written = f"only {', '.join(WRITTEN)} written" if WRITTEN else "nothing written"
        print(f"\n{prog}: interrupted by signal {signum}; {written}", file=sys.stderr)
        sys.exit(128 + signum)
