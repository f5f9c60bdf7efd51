# SPDX-License-Identifier: MIT
"""zarvek-report run for real on a short budget, its page over real results
(parsed, and loaded by headless chromium), and the input it must refuse.

usage: report_test.py GROUP, with ZARVEK_BUILD (the build folder holding
zarvek-report) and REPORT_RESULT (the result file the run group writes and
the page groups read) in the environment; CHEAT_FIXTURE, where set, names a
zarvek the verifier rejects; REPORT_NO_VERIFY=1 rates without the verdict
(a sanitized build, which valgrind cannot run). Status 77: skipped."""

import atexit
import collections
import copy
import html.parser
import itertools
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = os.environ["ZARVEK_BUILD"]
REPORT = os.path.join(BUILD, "zarvek-report")
RESULT = os.environ["REPORT_RESULT"]
VERIFY = os.environ.get("REPORT_NO_VERIFY") != "1"
with open(os.path.join(BUILD, "python", "zarvek", "_version.py"), encoding="utf-8") as _f:
    VERSION = re.search(r'VERSION = "(.*)"', _f.read()).group(1)
sys.path.insert(0, os.path.join(BUILD, "python"))
from zarvek import _rating, _result, _schema, _stats, _summary  # noqa: E402
SERIES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "series-amd.json")


# The store of every run here: never the user's data folder.
DATA = tempfile.mkdtemp(prefix="zarvek-report-data-")
atexit.register(shutil.rmtree, DATA, True)


def report(*args, env=None, timeout=600):
    return subprocess.run([REPORT, *args], capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, "XDG_DATA_HOME": DATA, **(env or {})},
                          stdin=subprocess.DEVNULL)


def keys_of(result):
    """The result's keys, dotted to the second level."""
    keys = set()
    for key, value in result.items():
        keys.add(key) if not isinstance(value, dict) else keys.update(
            f"{key}.{inner}" for inner in value)
    return keys


def fake_build(folder, bench_script, zarvek=None):
    """A build folder whose zarvek-bench is BENCH_SCRIPT (sh) and whose
    zarvek is a copy of ZARVEK (default this build's)."""
    os.makedirs(folder)
    with open(os.path.join(folder, "zarvek-bench"), "w") as f:
        f.write("#!/bin/sh\n" + bench_script + "\n")
    os.chmod(os.path.join(folder, "zarvek-bench"), 0o755)
    shutil.copy(zarvek or os.path.join(BUILD, "zarvek"), os.path.join(folder, "zarvek"))
    return folder


# A zarvek-bench that lists timed_pass/100000 and otherwise runs BODY.
def listing_bench(body):
    return ('[ "$1" = --benchmark_list_tests ] && { echo timed_pass/100000; exit 0; }\n' + body)


# A zarvek-bench that runs timed_pass/100000 at 5000 MIPS and copies/N and,
# with PROFILE (ten numbers), lists sections/100000, whose K-th run (from
# 0) times each section at its number times 1 + (3K mod 5) %. It writes
# the name of each benchmark it runs to the file "runs".
SCRIPTED_BENCH = """exec /usr/bin/python3 - "$@" <<'EOF'
import json, re, sys
profile, args = PROFILE, " ".join(sys.argv[1:])
if "list_tests" in args:
    sys.exit(print("timed_pass/100000 copies/1/" + " sections/100000" * bool(profile)))
name, counts = re.search(r"\\^(\\w+)/\\(?([0-9|]*)", args).groups()
with open("runs", "a+") as f:
    k = f.seek(0) or f.read().split().count(name)
    f.write(name + " ")
run = {"run_type": "iteration", "items_per_second": 5e9, "subnormal": 0, **{
    f"section_{s}": t * (1 + 3 * k % 5 / 100) for s, t in enumerate(profile or [], 1)}}
names = [f"copies/{n}" for n in counts.split("|")] if name == "copies" else [name + "/100000"]
reps = int(re.search(r"repetitions=([0-9]+)", args).group(1))
print(json.dumps({"context": {"flush_to_zero": "false"},
                  "benchmarks": [dict(run, name=n) for n in names for _ in range(reps)]}))
EOF"""


def sides(text):
    """The sizes of an interval's sides printed as "−a % +b %" (None: open)."""
    return [None if x == "open" else float(x) for x in re.findall(r"[\u2212+](open|[\d.]+)", text)]


def check_sentences(test, out, r, s):
    """The summary's sentences about the rating R and the stability S agree
    with the runs: the interval printed side by side, and each cause named
    measured anew from the rates."""
    import numpy as np

    rates, m = r["rates"], r["figure"]
    printed = re.search(r"CI \S+ to \S+, (.+?)\), the 75th percentile of", out).group(1)
    test.assertEqual(sides(printed), [None if b is None else round(abs(b / m - 1) * 100, 1)
                                      for b in (r["low"], r["high"])], out)
    said = re.findall(r"^ {15}(\S.*)$", out.split("Stability:", 1)[1].split("\nWhole")[0], re.M)
    causes = [line for line in said if "busy machine" not in line]
    test.assertEqual(bool(causes), not r["precise"], out)
    signs = [(x > m) - (x < m) for x in rates]
    for line in causes:
        two = re.search(r"two speeds: (\d+) at about ([\d,]+) MIPS and (\d+) at about ([\d,]+)",
                        line)
        if two:
            n1, a, n2, b = (int(x.replace(",", "")) for x in two.groups())
            slow, fast = sorted(rates)[:n1], sorted(rates)[n1:]
            test.assertEqual((len(fast), round(np.median(slow)), round(np.median(fast))),
                             (n2, a, b), line)
            test.assertTrue((r["low"] is None or r["low"] <= slow[-1])
                            and (r["high"] is None or r["high"] >= fast[0]), line)
        stretch = re.search(r"stretches \(up to (\d+) in a row\)", line)
        if stretch:
            longest = max(len(list(g)) for k, g in itertools.groupby(signs) if k)
            test.assertEqual(int(stretch.group(1)), longest, line)
        widened = re.search(r"from (.*), as independent runs would give it, to (.*)$", line)
        if widened:
            narrow, wide = (sides(x) for x in widened.groups())
            test.assertEqual(widened.group(2), printed)
            test.assertTrue(all(x <= y for x, y in zip(narrow, wide)) and narrow != wide, line)
        moved = re.match(r"the rate moved (\S+) %", line)
        if moved:
            test.assertEqual(moved.group(1), f"{s['drift'] * 100:+.1f}".replace("-", "\u2212"))
            test.assertGreaterEqual(abs(s["drift"]), r["precision"])
        test.assertNotRegex(line, r"correlated \u2212", "a negative correlation widens nothing")
        if line.startswith("open"):
            test.assertIn(None, (r["low"], r["high"]))
        few = re.match(r"few runs for their spread: the middle half of the runs spans (\S+)", line)
        if few:
            test.assertEqual(float(few.group(1)), round(
                np.subtract(*np.percentile(rates, [75, 25])) / np.median(rates) * 100, 1))


def rated(rates, precision=0.5):
    """The rating and stability zarvek-report gives RATES (in time order),
    looking as it plans for that many runs."""
    import numpy as np

    middle, low, high, precise, n, look, alpha, looks = _rating.rate_series(
        rates, len(rates), precision)
    rating = {"figure": middle, "quantile": _rating.FIGURE_QUANTILE, "low": low,
              "high": high, "median": float(np.median(rates[:n])), "rates": rates[:n], "runs": n,
              "alpha": alpha, "looks": looks, "look": look, "precise": precise,
              "precision": precision / 100, "loops": 100000, "benchmark": "timed_pass/100000",
              "budget": 60.0, "subnormal": False}
    stability = {"autocorrelation": _stats.lag1_autocorrelation(rates[:n]),
                 "drift": _stats.drift(rates[:n]), "steal": 0.0, "other_work": 0.0}
    return rating, stability


class ReportSentences(unittest.TestCase):
    """The summary's sentences on windows of a recorded series of runs, and
    on the same runs set at two speeds (39 % of them 11 % slower, as on
    a machine the README describes)."""

    def test_each_sentence_agrees_with_the_runs_it_describes(self):
        with open(SERIES, encoding="utf-8") as f:
            recorded = json.load(f)["rates"]
        rng = random.Random(34)
        two = [x * (6300 / 7100 if rng.random() < 0.39 else 1) for x in recorded]
        windows = [(series, n, start) for series in (recorded, two) for n in (12, 20, 40)
                   for start in range(0, len(recorded) - n, 9)]
        named = collections.Counter()
        for series, n, start in windows:
            rating, stability = rated(series[start:start + n])
            lines = _summary.rating_lines(rating) + \
                _summary.stability_lines(stability, rating)
            out = "\n".join(lines)
            with self.subTest(two_speeds=series is two, runs=n, start=start, out=out):
                check_sentences(self, out, rating, stability)
            named.update(re.findall(r"two speeds|open|widened|moved|few runs", out))
        # Every cause is named somewhere in these windows.
        self.assertEqual(len(named), 5, named)


class ReportRun(unittest.TestCase):
    """A real run: verified, rated, recorded; the file is what the manual
    page documents, and page reads it."""

    def test_a_short_run_gives_a_documented_result(self):
        if os.path.exists(RESULT):
            os.unlink(RESULT)
        r = report("run", "--build", BUILD, "--time", "3", "--json", RESULT,
                   *([] if VERIFY else ["--no-verify"]),
                   env={"ZARVEK_REPORT_COPIES_LOOPS": "1000"})
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        with open(RESULT, encoding="utf-8") as f:
            result = json.load(f)
        # Its format's schema, every key it states and no other.
        self.assertIsNone(_result.damage(result))
        stated = {key for key, _, _ in _schema.fields(_result.FORMAT)}
        if result["sections"] is None:  # a zarvek-bench without sections/
            self.assertIn("has no sections/100000", r.stderr)
            stated = {k for k in stated if not k.startswith("sections.")} | {"sections"}
        self.assertEqual(keys_of(result), stated, "the result's keys and its schema's differ")
        rating, whole = result["rating"], result["whole_machine"]
        self.assertEqual((result["format"], result["version"]), (_result.FORMAT, VERSION))
        self.assertEqual((rating["loops"], rating["benchmark"], rating["unit"]),
                         (100000, "timed_pass/100000", "MIPS"))
        self.assertGreaterEqual(rating["runs"], 10)
        self.assertEqual(len(rating["rates"]), rating["runs"])
        self.assertIn(rating["runs"], rating["looks"] + [rating["runs"]] * (not rating["precise"]))
        check_sentences(self, r.stdout, rating, result["stability"])
        self.assertIsNotNone(result["stability"]["autocorrelation"])
        self.assertIsNotNone(result["stability"]["drift"])
        self.assertIs(rating["subnormal"], False)
        self.assertEqual(whole["copies"], len(os.sched_getaffinity(0)))
        self.assertEqual(whole["loops"], 1000)
        self.assertIs(whole["subnormal"], False)
        self.assertEqual(result["verdict"]["faithful"], True if VERIFY else None)
        self.assertEqual(result["machine"]["host"], os.uname().nodename)
        self.assertEqual(result["machine"]["cpus"], len(os.sched_getaffinity(0)))
        self.assertIn("-ffp-contract=off", result["build"]["flags"])
        for label in ("Rating:", "Stability:", "Whole machine:", "Verdict:       " + (
                "faithful" if VERIFY else "not verified"), "Machine:", "Build:", "Took",
                f"Kept:          {DATA}/zarvek/results.db (result "):
            self.assertIn("\n" + label, r.stdout)

    def test_the_profile_follows_the_rating_or_a_note_says_there_is_none(self):
        profile = [0, 12, 14, 345, 210, 32, 899, 616, 0, 93]
        for given in (profile, None):
            with self.subTest(profile=given), tempfile.TemporaryDirectory() as folder:
                build = fake_build(os.path.join(folder, "b"),
                                   SCRIPTED_BENCH.replace("PROFILE", repr(given)))
                path = os.path.join(build, "r.json")
                r = report("run", "--no-verify", "--build", build, "--time", "2", "--json", path)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                with open(path, encoding="utf-8") as f, open(os.path.join(build, "runs")) as g:
                    sections, runs = json.load(f)["sections"], g.read().split()
                self.assertEqual(f"note: {build}/zarvek-bench has no sections/100000" in r.stderr,
                                 given is None, r.stderr)
                self.assertNotIn("\r", r.stderr)  # no progress where it is no terminal
                # Five runs, after the rating's; each section's median.
                self.assertRegex(" ".join(runs), f"^(timed_pass )+(sections ){{{5 * bool(given)}}}"
                                 "copies$")
                got = sections and {k: round(v, 9) for k, v in sections["ns_per_loop"].items()}
                self.assertEqual(got, given and {str(s): round(t * 1.02, 9)
                                                 for s, t in enumerate(given, 1)})

    def test_a_terminal_is_shown_each_wait_and_a_log_nothing(self):
        with tempfile.TemporaryDirectory() as folder:
            build = fake_build(os.path.join(folder, "b"),
                               SCRIPTED_BENCH.replace("PROFILE", repr([1] * 10)))
            main, terminal = os.openpty()
            child = subprocess.Popen([REPORT, "run", "--no-verify", "--build", build, "--time",
                                      "0.001", "--no-store"], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=terminal)
            os.close(terminal)
            shown = b""
            try:
                while chunk := os.read(main, 4096):
                    shown += chunk
            except OSError:  # EIO: the program, the terminal's last user, has ended
                pass
            os.close(main)
            out = child.communicate(timeout=60)[0]
            self.assertEqual(child.returncode, 0, out)
        copies = " and ".join(f"copies/{n}" for n in sorted({1, len(os.sched_getaffinity(0))}))
        for said in ("rating: run 2 of 10, N s: past the 0.001 s cap, for the first look needs "
                     "10 runs", "section profile: run 5 of 5, N s",
                     f"whole machine: {copies}, 5 repetitions each, N s"):
            self.assertRegex(shown.decode(), re.escape(said).replace("N", r"\d+"))


def edited(result, folder, name, change):
    document = copy.deepcopy(result)
    change(document)
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as f:
        json.dump(document, f)
    return path


# What a format-3 rating has that a format-1 one had not.
FORMAT_3_RATING = ("figure", "quantile", "median_low", "median_high", "spending")
INJECTED = '<script>document.body.setAttribute("data-injected", "1")</script>'
PROFILE = {"benchmark": "sections/100000", "loops": 100000, "runs": 5, "seconds": 9.0,
           "ns_per_loop": dict(zip(map(str, range(1, 11)), [0, 3, 4, 90, 50, 80, 200, 150, 0, 40]))}


def profiles(text):
    """The widths of each section profile's segments, as the page draws them."""
    return [[float(w) for w in re.findall(r'<rect x="[^"]*" width="([^"]*)"', bar)]
            for bar in re.findall(r'<svg class="profile".*?</svg>', text, re.S)]


class Page(html.parser.HTMLParser):
    """Tables with their body rows' cells, the script elements and the
    charts' SVG elements of a page."""

    def __init__(self, text):
        super().__init__()
        self.tables, self.scripts, self.svgs, self.cell = [], [], 0, None
        self.in_body = self.in_script = False
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        if tag == "table":
            self.tables.append([])
        elif tag == "tbody":
            self.in_body = True
        elif tag == "tr" and self.in_body:
            self.tables[-1].append([])
        elif tag == "td" and self.in_body:
            self.cell = ""
        elif tag == "script":
            self.in_script = True
            self.scripts.append("")
        elif tag == "svg":
            self.svgs += "class" not in dict(attrs)

    def handle_endtag(self, tag):
        if tag == "tbody":
            self.in_body = False
        elif tag == "td" and self.cell is not None:
            self.tables[-1][-1].append(self.cell)
            self.cell = None
        elif tag == "script":
            self.in_script = False

    def handle_data(self, data):
        if self.cell is not None:
            self.cell += data
        if self.in_script:
            self.scripts[-1] += data


class PageFixture(unittest.TestCase):
    """The run's result as if verified faithful on a quiet machine (whether
    it was is the run group's to check), and a folder for edited copies of
    it."""

    def setUp(self):
        with open(RESULT, encoding="utf-8") as f:
            self.result = json.load(f)
        self.result["verdict"].update(verified=True, faithful=True)
        self.result["stability"].update(steal=0.0, other_work=0.0)
        self.result["sections"] = None
        self.dir = tempfile.mkdtemp(prefix="zarvek-report-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.faithful = edited(self.result, self.dir, "faithful.json", lambda d: None)

    def two_results(self):
        """The run's result and a copy from another host whose name is a
        script."""
        def other(d):
            d["machine"]["host"] = INJECTED
            d["build"]["flags"] += ' <img src=x onerror="document.body.setAttribute(' \
                "'data-injected', '2')\"> | $x$"
            d["sections"] = PROFILE
        return [self.faithful, edited(self.result, self.dir, "other.json", other)]


class ReportPage(PageFixture):
    """page over the run's result and edited copies of it."""

    def test_two_results_make_one_table_of_two_rows_with_text_escaped(self):
        page_file, md_file = os.path.join(self.dir, "p.html"), os.path.join(self.dir, "p.md")
        r = report("page", "-o", page_file, "--markdown", md_file, *self.two_results())
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(page_file, encoding="utf-8") as f:
            text = f.read()
        page = Page(text)
        self.assertEqual(len(page.tables), 1)
        self.assertEqual(len(page.tables[0]), 2)
        self.assertEqual(page.svgs, 1)
        # One profile, other.json's (shares of 617 ns; 1 and 9 take none), and the legend once.
        self.assertEqual([[round(w * 6.17, 1) for w in bar] for bar in profiles(text)],
                         [[3, 4, 90, 50, 80, 200, 150, 40]])
        self.assertEqual(text.count('<svg class="swatch"'), 10)
        # The page's own script alone; the host name is a cell's text.
        self.assertEqual(len(page.scripts), 1)
        self.assertIn("data-sortable", page.scripts[0])
        hosts = {row[1] for row in page.tables[0]}
        self.assertEqual(hosts, {self.result["machine"]["host"], INJECTED})
        with open(md_file, encoding="utf-8") as f:
            markdown = f.read()
        rows = [line for line in markdown.splitlines() if re.match(r"\| (\d+|\u2014)", line)]
        self.assertEqual(len(rows), 2, markdown)
        self.assertNotIn("<script>", markdown)
        self.assertTrue(all(len(re.split(r"(?<!\\)\|", row)) == 17 for row in rows), rows)

    def test_unverified_and_other_loop_counts_are_never_ranked_with_the_rest(self):
        def unfaithful(d):
            d["verdict"]["faithful"] = False
            d["rating"]["figure"] *= 2
            d["rating"]["high"] = d["rating"]["figure"] * 1.01

        def unverified(d):
            d["verdict"].update(verified=False, faithful=None)

        def at_1000(d):
            d["rating"]["loops"] = 1000
        files = [self.faithful, edited(self.result, self.dir, "unfaithful.json", unfaithful),
                 edited(self.result, self.dir, "unverified.json", unverified),
                 edited(self.result, self.dir, "at1000.json", at_1000)]
        r = report("page", *files)
        self.assertEqual(r.returncode, 0, r.stderr)
        page = Page(r.stdout)
        self.assertEqual([len(rows) for rows in page.tables], [1, 3])
        self.assertEqual(page.svgs, 2)  # one bar each: the ranked results
        ranks = [(row[0], row[11]) for row in page.tables[1]]
        self.assertEqual(ranks, [("1", "faithful"), ("\u2014unranked", "NOT faithful"),
                                 ("\u2014unranked", "not verified")])
        self.assertLess(r.stdout.index("Loop count 1,000:"), r.stdout.index("Loop count 100,000:"))

    def test_copies_are_shown_once_and_a_busy_machine_is_marked(self):
        def busy(d):
            d["stability"]["other_work"] = 1.0

        def old_busy(d):  # format 1: the busy share of the second before the run
            d.update(format=1)
            for key in FORMAT_3_RATING:
                del d["rating"][key]
            d["rating"].update(low=d["rating"]["median"] * 0.99, high=d["rating"]["median"])
            d["machine"]["busy"] = 1.0
            del d["stability"]
            d["build"]["flags"] = "-O1"
        copy = os.path.join(self.dir, "copy.json")
        shutil.copy(self.faithful, copy)
        files = [self.faithful, self.faithful, copy,
                 edited(self.result, self.dir, "busy.json", busy),
                 edited(self.result, self.dir, "old.json", old_busy)]
        r = report("page", *files)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr.count(f"is the same result as {self.faithful}: shown once"), 2,
                         r.stderr)
        # The format-1 result's median is ranked apart from the 75th percentiles.
        tables = Page(r.stdout).tables
        self.assertEqual(sorted(len(rows) for rows in tables), [1, 2])
        rows = [row for rows in tables for row in rows]
        self.assertEqual(sum("busy machine" in row[7] for row in rows), 2, rows)
        self.assertEqual(profiles(r.stdout), [])  # format 1, and 2 without sections

    def test_chart_labels_tell_builds_apart_by_their_flags(self):
        sys.path.insert(0, os.path.join(BUILD, "python"))
        from zarvek import page
        # Two ranked builds and an unranked one, whose profile bar is
        # labelled too: each label its own.
        documents = [copy.deepcopy(self.result) for _ in range(3)]
        for d, level in zip(documents[1:], ("-O1", "-O0")):
            d["build"]["flags"] = d["build"]["flags"].replace(
                "-ffp-contract=off", level + " -ffp-contract=off")
        documents[2]["verdict"]["verified"] = False
        rows = [page.Row(f"{i}.json", d) for i, d in enumerate(documents)]
        page.groups_of(rows)
        labels = [row.label for row in rows]
        self.assertEqual(len(set(labels)), 3, labels)
        self.assertTrue(labels[2].endswith("-O0 (unranked)"), labels)

    def test_files_that_are_not_results_are_named_and_skipped_or_refused(self):
        other = os.path.join(self.dir, "other.json")
        with open(other, "w") as f:
            json.dump({"context": {}, "benchmarks": []}, f)
        truncated = os.path.join(self.dir, "truncated.json")
        with open(RESULT, encoding="utf-8") as f, open(truncated, "w") as g:
            g.write(f.read()[:200])
        newer = edited(self.result, self.dir, "newer.json", lambda d: d.update(format=4))
        reasons = {other: "not a zarvek-report result", truncated: "not valid JSON",
                   newer: "format 4 is newer"}
        damage = [  # (what is changed, the reason the page gives)
            ({"rating": {"low": 8000, "high": 6000, "figure": 6999.8}},
             "rating.low 8000 is above the 75th percentile 6999.8: the interval does not hold it"),
            ({"rating": {"low": None, "high": 6000, "figure": 6999.8}},
             "rating.high 6000 is below the 75th percentile 6999.8"),
            ({"rating": {"median_low": None, "median_high": 6000, "median": 6999.8}},
             "rating.median_high 6000 is below the median 6999.8"),
            ({"whole_machine": {"copies": 0}}, "whole_machine.copies is 0, not a whole number "
                                               "from 1"),
            ({"rating": {"runs": 0}}, "rating.runs is 0, not a whole number from 1"),
            ({"rating": {"loops": 0}}, "rating.loops is 0, not a whole number from 1"),
            ({"whole_machine": {"seconds": -1.5}}, "whole_machine.seconds is -1.5, not a number "
                                                   "from 0"),
            ({"rating": {"median": "fast"}}, 'rating.median is "fast", not a number above 0'),
            ({"verdict": {"faithful": "yes"}}, 'verdict.faithful is "yes", not true or false, '
                                               "or null"),
        ]
        for i, (change, reason) in enumerate(damage):
            path = edited(self.result, self.dir, f"damaged{i}.json", lambda d: [
                d[part].update(fields) for part, fields in change.items()])
            reasons[path] = re.escape(reason)
        # An open side is no damage: shown, and drawn as open.
        files = [self.faithful] + [edited(self.result, self.dir, f"open-{side}.json", lambda d: d[
            "rating"].update({"low": d["rating"]["figure"] * 0.99,
                              "high": d["rating"]["figure"] * 1.01, side: None}))
            for side in ("low", "high")]
        page_file = os.path.join(self.dir, "p.html")
        r = report("page", "-o", page_file, *files, *reasons)
        self.assertEqual(r.returncode, 0, r.stderr)
        for path, reason in reasons.items():
            self.assertRegex(r.stderr, f"skipped {re.escape(path)}: {reason}")
        with open(page_file, encoding="utf-8") as f:
            text = f.read()
        self.assertEqual(len(Page(text).tables[0]), 3)
        opened = [self.result["rating"][side] for side in ("low", "high")].count(None)
        self.assertEqual(text.count("<!-- open -->"), 2 + opened)
        os.unlink(page_file)
        for args in (["--strict", self.faithful, other], list(reasons)):
            r = report("page", "-o", page_file, *args)
            self.assertEqual(r.returncode, 2, r.stderr)
            self.assertFalse(os.path.exists(page_file))


class ReportBrowser(PageFixture):
    """The page in a real browser: the table, its rows and the chart are in
    the DOM, the page's own script ran, and no script from a field did."""

    def test_chromium_loads_the_page(self):
        page_file = os.path.join(self.dir, "p.html")
        r = report("page", "-o", page_file, *self.two_results())
        self.assertEqual(r.returncode, 0, r.stderr)
        profile = os.path.join(self.dir, "profile")
        dom = subprocess.run(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             f"--user-data-dir={profile}", "--dump-dom", "file://" + page_file],
            capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
        self.assertEqual(dom.returncode, 0, dom.stderr)
        page = Page(dom.stdout)
        self.assertEqual([len(rows) for rows in page.tables], [2])
        self.assertEqual(page.svgs, 1)
        bars = profiles(dom.stdout)
        self.assertTrue(len(bars) == 1 and len(bars[0]) == 8 and min(bars[0]) > 0, bars)
        self.assertIn("<table class=\"results\" data-sortable=\"\">", dom.stdout)
        self.assertNotIn("data-injected", re.search(r"<body[^>]*>", dom.stdout).group(0))
        self.assertIn("&lt;script&gt;", dom.stdout)


class ReportRefusals(unittest.TestCase):
    """Input run must refuse: each gives its status, a message and no
    result file."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zarvek-report-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.json = os.path.join(self.dir, "r.json")

    def refused(self, status, message, *args, env=None):
        r = report("run", "--json", self.json, *args, env=env)
        self.assertEqual(r.returncode, status, r.stdout + r.stderr)
        self.assertRegex(r.stderr, message)
        self.assertFalse(os.path.exists(self.json))
        return r

    def test_bad_input(self):
        empty = os.path.join(self.dir, "empty")
        os.makedirs(empty)
        ftz_context = ('{"context": {"flush_to_zero": "true"}, "benchmarks": '
                       '[{"name": "timed_pass/100000", "run_type": "iteration", '
                       '"items_per_second": 7e9, "subnormal": 0}]}')
        cases = [
            (2, "no executable zarvek in", ["--build", empty], None),
            (2, "no such folder", ["--build", os.path.join(self.dir, "none")], None),
            (2, f"--build {BUILD}/zarvek: a program, not a folder",
             ["--build", os.path.join(BUILD, "zarvek")], None),
            *[(2, f"--time {t}: a finite number of seconds above 0", ["--time", t], None)
              for t in ("0", "inf")],
            *[(2, f"--precision {p}: a positive percentage below 50", ["--precision", p], None)
              for p in ("0", "50", "-1", "abc")],
            (2, "ZARVEK_REPORT_COPIES_LOOPS=0: a whole number", [],
             {"ZARVEK_REPORT_COPIES_LOOPS": "0"}),
            (2, "has no timed_pass/100000",
             ["--no-verify", "--build", fake_build(os.path.join(self.dir, "old"), "exit 0")],
             None),
            (1, "flushed to zero", ["--no-verify", "--build", fake_build(
                os.path.join(self.dir, "ftz"), listing_bench(f"echo '{ftz_context}'"))], None),
            (2, "zarvek-bench exited with status 3", ["--no-verify", "--build", fake_build(
                os.path.join(self.dir, "fails"), listing_bench("echo broken >&2; exit 3"))],
             None),
        ]
        for status, message, args, env in cases:
            with self.subTest(message):
                self.refused(status, re.escape(message), *args, env=env)

    def test_a_build_the_verifier_cannot_judge_or_rejects(self):
        script = os.path.join(self.dir, "script")
        with open(script, "w") as f:
            f.write("#!/bin/sh\n")
        os.chmod(script, 0o755)
        builds = [(2, "not an ELF|cannot", script)]
        if os.environ.get("CHEAT_FIXTURE"):
            builds.append((1, r"(?s)not faithful; it is not rated\..*NOT faithful.*log",
                           os.environ["CHEAT_FIXTURE"]))
        for status, message, zarvek in builds:
            with self.subTest(zarvek):
                folder = fake_build(os.path.join(self.dir, f"b{status}"),
                                    listing_bench("exit 0"), zarvek)
                self.refused(status, message, "--build", folder)

    def test_an_interrupt_stops_the_bench_and_writes_nothing(self):
        # The bench is asked to end first, so that it can clean up (the
        # verifier removes its traces so), then its group is killed.
        for signum in (signal.SIGINT, signal.SIGTERM):
            pid_file, cleaned = (os.path.join(self.dir, f"{name}.{signum}")
                                 for name in ("bench.pid", "cleaned"))
            folder = fake_build(os.path.join(self.dir, f"slow{signum}"), listing_bench(
                f"trap 'touch {cleaned}; exit 143' TERM; echo $$ > {pid_file}; sleep 60 & wait"))
            child = subprocess.Popen([REPORT, "run", "--no-verify", "--build", folder, "--json",
                                      self.json, "--no-store"], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            deadline = time.monotonic() + 30
            while not os.path.exists(pid_file) and time.monotonic() < deadline:
                time.sleep(0.05)
            child.send_signal(signum)
            out, err = child.communicate(timeout=30)
            self.assertEqual(child.returncode, 128 + signum, out + err)
            self.assertIn(f"interrupted by signal {int(signum)}; nothing written", err)
            self.assertNotIn("Traceback", err)
            self.assertFalse(os.path.exists(self.json))
            self.assertEqual([f for f in os.listdir(self.dir) if f.startswith(".")], [])
            self.assertTrue(os.path.exists(cleaned), "the bench had no SIGTERM to clean up on")
            with open(pid_file) as f:
                bench = int(f.read())
            # Gone, or a zombie about to be reaped by init.
            try:
                with open(f"/proc/{bench}/stat") as f:
                    self.assertIn(f.read().split(") ")[1][0], "ZX")
            except FileNotFoundError:
                pass


if __name__ == "__main__":
    group = sys.argv[1]
    if group == "ReportBrowser" and shutil.which("chromium") is None:
        print("chromium is not installed: the browser test is skipped")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v", group])
