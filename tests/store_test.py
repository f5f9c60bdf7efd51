# SPDX-License-Identifier: MIT
"""zarvek-report's results store: the same tests against SQLite and against
a throwaway PostgreSQL server; a run whose store cannot take its result;
and the change points on simulated and recorded series.

usage: store_test.py GROUP (SQLite, PostgreSQL, RunStore or Changes), with
ZARVEK_BUILD (the build folder) and REPORT_RESULT (the result the report
tests' run writes) in the environment. Status 77: skipped."""

import copy
import importlib.machinery
import importlib.util
import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import pg_server  # noqa: E402
from report_test import INJECTED, SCRIPTED_BENCH, Page, fake_build, report  # noqa: E402

BUILD = os.environ["ZARVEK_BUILD"]


def write(folder, name, document):
    """DOCUMENT (JSON, or text as it is) in the file FOLDER/NAME."""
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(document if isinstance(document, str) else json.dumps(document))
    return path


def series_files(template, folder, count=30, step=15, host="vm"):
    """COUNT results of HOST a day apart, 6 % lower and on another kernel
    from STEP, with 1 % noise."""
    rng, paths = np.random.default_rng(7), []
    for i in range(count):
        d = copy.deepcopy(template)
        d["date"] = f"2026-{1 + i // 28:02d}-{1 + i % 28:02d}T12:00:00+00:00"
        d["machine"]["host"] = host
        d["machine"]["kernel"] = "6.1.0" if i < step else "6.2.0"
        figure = 7000 * (1 + rng.normal(0, 0.01)) * (0.94 if i >= step else 1)
        d["rating"].update(figure=figure, low=figure * 0.99, high=figure * 1.01, median=figure,
                           median_low=figure * 0.99, median_high=figure * 1.01)
        paths.append(write(folder, f"{re.sub('[^a-z0-9]', '_', host)}-{i}.json", d))
    return paths


class StoreCases:
    """The bodies, run against the store at self.url()."""

    def setUp(self):
        with open(os.environ["REPORT_RESULT"], encoding="utf-8") as f:
            self.result = json.load(f)
        self.result["verdict"].update(verified=True, faithful=True)
        self.dir = tempfile.mkdtemp(prefix="zarvek-store-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.db = self.url()

    def report(self, *args):
        """zarvek-report ARGS; nothing it prints shows the password."""
        r = report(*args, env={"XDG_DATA_HOME": self.dir})
        self.assertNotIn(pg_server.PASSWORD, r.stdout + r.stderr)
        return r

    def history(self, *args):
        path = os.path.join(self.dir, "h.json")
        r = self.report("history", "--db", self.db, "--json", path, *args)
        with open(path, encoding="utf-8") as f:
            return r, json.load(f)

    def test_import_keeps_each_result_once_refuses_bad_files_and_history_finds_the_change(self):
        files = series_files(self.result, self.dir)
        with open(files[3], encoding="utf-8") as f:  # the same content in other bytes
            same = write(self.dir, "same.json", json.dumps(json.load(f), indent=5))
        old = copy.deepcopy(self.result)  # format 1: no zarvek-bench SHA-256, no stability
        old.update(format=1)
        for key in ("figure", "quantile", "median_low", "median_high", "spending"):
            del old["rating"][key]  # format 3's
        old["rating"].update(low=1000.0, high=9000.0)
        old["machine"]["host"] = INJECTED
        del old["build"]["bench_sha256"], old["stability"]
        fleet = {"unit": "MIPS", "loops": 1000, "repetitions": 3, "threshold": 5,
                 "subnormal": False, "fleet": {}, "context": {
                     "compiler": "GNU 12", "flags": "-O2", "target": "x86_64", "mpi": "x"},
                 "hosts": [{"host": h, "copies": 1, "rate": 10.0, "median": 10.0,
                            "slowest": 10.0, "flagged": False, "date": None, "machine": None,
                            "zarvek_fleet_sha256": None} for h in ("n1", "n2")],
                 "copies": [{"host": h, "rank": i, "median": 10.0} for i, h in
                            enumerate(("n1", "n2"))]}
        fleet["hosts"][0].update(date="2026-12-01T00:00:00+00:00", zarvek_fleet_sha256="ab" * 32,
                                 machine=self.result["machine"])
        bad = {write(self.dir, "truncated.json", json.dumps(old)[:100]): "not valid JSON",
               write(self.dir, "other.json", {"benchmarks": []}): "not a zarvek-report result"}
        r = self.report("import", "--db", self.db, *files, same, write(self.dir, "old.json", old),
                        write(self.dir, "fleet.json", fleet), *bad)
        self.assertEqual(r.returncode, 2, r.stderr)
        for path, why in bad.items():
            self.assertIn(f"refused {path}: {why}", r.stderr)
        self.assertIn(f"kept already: {same}", r.stdout)
        self.assertEqual(len(re.findall("^kept: ", r.stdout, re.M)), 33, r.stdout + r.stderr)
        r, history = self.history("--fail-change")
        self.assertEqual(r.returncode, 3, r.stdout + r.stderr)
        series = {(s["results"][0]["host"], s["kind"]): s for s in history["series"]}
        # The format-1 file's figure is its median, the others' their 75th
        # percentile: two kinds of series.
        self.assertEqual(sorted(series), sorted([("n1", "fleet"), ("n2", "fleet"),
                                                 ("vm", "report-p75"), (INJECTED, "report")]))
        vm = series[("vm", "report-p75")]
        self.assertEqual(vm["reports"], 30)
        [change] = vm["changes"]
        self.assertLessEqual(abs(change["index"] - 15), 1, change)
        self.assertTrue(change["low"] < 0.94 < change["high"] < 1, change)
        self.assertIn(("kernel", "6.1.0", "6.2.0", 15),
                      [(c["field"], c["from"], c["to"], c["index"]) for c in change["changed"]])
        self.assertEqual(vm["figure"]["reports"], 30 - change["index"])
        self.assertIsNone(series[(INJECTED, "report")]["results"][0]["bench_sha256"])
        n1, n2 = (series[(n, "fleet")]["results"][0] for n in ("n1", "n2"))
        self.assertEqual((n1["kernel"], n1["zarvek_sha256"], n1["date"]),
                         (self.result["machine"]["kernel"], "ab" * 32, "2026-12-01T00:00:00+00:00"))
        self.assertIsNone(n2["kernel"])
        # One machine's series, by its host's name: no change since mid-January.
        r, history = self.history("--machine", "vm", "--since", "2026-01-20", "--fail-change")
        self.assertEqual((r.returncode, len(history["series"])), (0, 1), r.stderr)
        self.assertEqual(history["series"][0]["changes"], [])

    def test_the_page_draws_the_store_with_text_escaped(self):
        files = series_files(self.result, self.dir, count=8, step=8, host=INJECTED)
        self.assertEqual(self.report("import", "--db", self.db, *files).returncode, 0)
        page_file = os.path.join(self.dir, "p.html")
        r = self.report("page", "--db", self.db, "-o", page_file)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(page_file, encoding="utf-8") as f:
            page = Page(f.read())
        self.assertEqual(len(page.scripts), 1)
        self.assertEqual([len(rows) for rows in page.tables], [1])
        self.assertEqual(page.tables[0][0][1], f"{INJECTED}, {self.result['machine']['cpu_model']}")
        if shutil.which("chromium") is None:
            return
        shot = os.path.join(BUILD, "tests", f"store-page-{type(self).__name__}.png")
        dom = subprocess.run(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             f"--user-data-dir={os.path.join(self.dir, 'profile')}", "--dump-dom",
             "file://" + page_file], capture_output=True, text=True, timeout=120)
        self.assertNotIn("data-injected", re.search(r"<body[^>]*>", dom.stdout).group(0))
        self.assertIn("data-sortable", dom.stdout)
        subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                        f"--user-data-dir={os.path.join(self.dir, 'profile')}",
                        f"--screenshot={shot}", "--window-size=1200,1000", "file://" + page_file],
                       capture_output=True, timeout=120)
        print(f"the page's picture: {shot}")

    def test_eight_writers_at_once_keep_all_200(self):
        # Into a new store: all eight race to make its schema too.
        files = [p for k in range(8) for p in series_files(
            self.result, self.dir, count=25, host=f"w{k}")]
        children = [subprocess.Popen([os.path.join(BUILD, "zarvek-report"), "import", "--db",
                                      self.db, *files[k::8]], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True) for k in range(8)]
        for child in children:
            _, errors = child.communicate(timeout=600)
            self.assertEqual(child.returncode, 0, errors)
        r, history = self.history()
        self.assertEqual(sum(s["reports"] for s in history["series"]), 200, r.stderr)

    def test_a_writer_killed_mid_transaction_leaves_the_store_whole(self):
        files = series_files(self.result, self.dir, count=60)
        child = subprocess.Popen([os.path.join(BUILD, "zarvek-report"), "import", "--db",
                                  self.db, *files], stdout=subprocess.PIPE, text=True)
        for _ in range(5):  # killed between or within its transactions
            child.stdout.readline()
        os.kill(child.pid, signal.SIGKILL)
        child.communicate()
        r = self.report("import", "--db", self.db, *files)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertGreaterEqual(r.stdout.count("kept already"), 5, r.stdout)
        r, history = self.history()
        self.assertEqual([s["reports"] for s in history["series"]], [60], r.stderr)

    def test_an_older_store_is_upgraded_and_comparisons_are_kept_by_label(self):
        sys.path.insert(0, os.path.join(BUILD, "python"))
        from zarvek import _store
        store = _store.Store(self.db)
        with store.transaction(write=True) as connection:
            store.upgrade(connection, 1)  # a store of the first version, results alone
        self.assertEqual(self.report("import", "--db", self.db, *series_files(
            self.result, self.dir, count=1)).returncode, 0)
        path = os.path.join(self.dir, "c.json")
        label = "v0'); DROP TABLE zarvek_results; --"  # data, never SQL
        r = subprocess.run([os.path.join(BUILD, "zarvek-compare"), "--no-verify", "--time", "3",
                            "--loop", "1000", "--db", self.db, "--label", label, "--json", path,
                            BUILD, BUILD], capture_output=True, text=True, timeout=600)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"\nKept: .* \(comparison 1\)\n")
        with open(path, encoding="utf-8") as f:
            compared = json.load(f)
        self.assertEqual(len(compared["a"]["bench_sha256"]), 64)
        files = []  # another machine's: 10 % slower from v6, and a newer compiler there
        for i in range(1, 13):
            d = copy.deepcopy(compared)
            d.update(label=f"v{i}", date=f"2027-01-{i:02d}T00:00:00+00:00")
            d["machine"]["host"] = "lab"
            ratio = (0.9 if i >= 6 else 1.0) * (1 + 0.002 * (-1) ** i)
            d["comparisons"][0].update(ratio=ratio, ci_low=ratio * 0.99, ci_high=ratio * 1.01,
                                       compiler="GNU 13" if i >= 6 else "GNU 12")
            files.append(write(self.dir, f"v{i}.json", d))
        self.assertEqual(self.report("import", "--db", self.db, *files).returncode, 0)
        r, history = self.history("--comparisons", "--fail-change")
        self.assertEqual(r.returncode, 3, r.stdout + r.stderr)
        lab, here = sorted(history["comparisons"], key=lambda s: s["machine"] != "lab, "
                           + compared["machine"]["cpu_model"])
        self.assertEqual([x["label"] for x in here["results"]], [label])
        [change] = lab["changes"]
        self.assertEqual(lab["results"][change["index"]]["label"], "v6")
        self.assertIn(("compiler", "GNU 12", "GNU 13"),
                      [(c["field"], c["from"], c["to"]) for c in change["changed"]])
        self.assertEqual(len(self.history()[1]["series"]), 1)  # the result is still there

    def test_a_newer_schema_is_refused(self):
        self.assertEqual(self.report("import", "--db", self.db, *series_files(
            self.result, self.dir, count=1)).returncode, 0)
        sys.path.insert(0, os.path.join(BUILD, "python"))
        from zarvek import _store
        import sqlalchemy as sa
        store = _store.Store(self.db)
        with store.transaction(write=True) as connection:
            connection.execute(_store.meta.update(), {"value": str(_store.VERSION + 1)})
        r = self.report("import", "--db", self.db, *series_files(self.result, self.dir))
        self.assertEqual(r.returncode, 4)
        self.assertIn(f"schema is version {_store.VERSION + 1}, newer than", r.stderr)
        self.assertEqual(self.report("history", "--db", self.db).returncode, 2)
        with store.transaction(write=False) as connection:
            self.assertEqual(connection.execute(sa.select(sa.func.count()).select_from(
                _store.results)).scalar(), 1)


class SQLite(StoreCases, unittest.TestCase):
    def url(self):
        return os.path.join(self.dir, "results.db")


class PostgreSQL(StoreCases, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = pg_server.Server()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def url(self):
        return self.server.new_database()

    def test_the_password_is_not_kept_and_a_wrong_one_is_said_without_it(self):
        self.report("import", "--db", self.db, *series_files(self.result, self.dir, count=3))
        dump = subprocess.run([os.path.join(pg_server.binaries(), "pg_dump"), self.db],
                              capture_output=True, text=True)
        self.assertIn("zarvek_results", dump.stdout, dump.stderr)
        self.assertNotIn(pg_server.PASSWORD, dump.stdout)
        wrong = self.db.replace(pg_server.PASSWORD, "a-wrong-one")
        r = report("history", "--db", wrong)
        self.assertEqual(r.returncode, 2)
        self.assertIn("password authentication failed", r.stderr)
        self.assertNotIn("a-wrong-one", r.stderr)


class RunStore(unittest.TestCase):
    """run with a scripted bench: kept where the store takes the result,
    written to a file and status 4 where it cannot."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zarvek-run-store-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.build = fake_build(os.path.join(self.dir, "b"), SCRIPTED_BENCH.replace(
            "PROFILE", "None"))

    def run_into(self, *args, cwd=None):
        return subprocess.run([os.path.join(BUILD, "zarvek-report"), "run", "--no-verify",
                               "--build", self.build, "--time", "1", *args], cwd=cwd or self.dir,
                              capture_output=True, text=True, timeout=600,
                              env={**os.environ, "XDG_DATA_HOME": self.dir})

    def test_kept_under_the_name_given_or_else_left_in_a_file(self):
        r = self.run_into("--machine", "lab-7")
        self.assertIn(f"Kept:          {self.dir}/zarvek/results.db (result 1)", r.stdout)
        h = report("history", "--machine", "lab-7", env={"XDG_DATA_HOME": self.dir})
        self.assertIn("lab-7: rating (the 75th percentile of its runs) at 100,000 loops", h.stdout)
        corrupt, locked = (os.path.join(self.dir, name) for name in ("corrupt.db", "locked.db"))
        with open(corrupt, "wb") as f:
            f.write(os.urandom(8192))
        holder = sqlite3.connect(locked, isolation_level=None)
        holder.execute("CREATE TABLE t (x)")
        holder.execute("BEGIN IMMEDIATE")
        cases = [(corrupt, "file is not a database"), (self.dir, "unable to open"),
                 (f"sqlite:///{locked}?timeout=1", "database is locked"),
                 ("postgresql://u:secret-9@/x?host=/nonexistent", "connection"),
                 ("postgresql://u:secret-9@:port/x", "not a store's URL"),
                 ("mysql://u:secret-9@h/x", "a store is sqlite")]
        for number, (db, why) in enumerate(cases):
            with self.subTest(db):
                folder = os.path.join(self.dir, f"cwd{number}")
                os.mkdir(folder)
                json_file = ["--json", os.path.join(self.dir, "given.json")] * (number == 0)
                r = self.run_into("--db", db, *json_file, cwd=folder)
                self.assertEqual(r.returncode, 4, r.stdout + r.stderr)
                self.assertNotIn("secret-9", r.stdout + r.stderr)
                self.assertRegex(r.stderr, f"not kept in the store \\(.*{why}")
                written = re.search(r"it is in (\S+): keep it later with zarvek-report import "
                                    r"--db \S+ (\S+)\n", r.stderr)
                self.assertEqual(written.group(1), written.group(2))
                self.assertEqual(os.listdir(folder), [] if json_file else [written.group(1)])
                with open(os.path.join(folder, written.group(1)), encoding="utf-8") as f:
                    self.assertEqual(json.load(f)["rating"]["median"], 5000.0)
        holder.close()


def study():
    path = os.path.join(HERE, os.pardir, "studies", "change-points")
    loader = importlib.machinery.SourceFileLoader("change_points", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


class Changes(unittest.TestCase):
    """The change points on simulated series of 30 reports (the study's)
    and on recorded back-to-back reports."""

    def test_simulated_series(self):
        sys.path.insert(0, os.path.join(BUILD, "python"))
        from zarvek import _changes
        s, rng, n = study(), np.random.default_rng(1), 30

        def found(make, trials=200):
            return [[c["index"] for c in _changes.analyse(make())["changes"]]
                    for _ in range(trials)]

        for kind in ("ar1", "two-level", "two-runs"):
            for drift in (0, 0.02):
                alarms = sum(map(bool, found(lambda: s.noise(rng, n, kind) * (
                    1 + np.linspace(0, drift, n)))))
                self.assertLessEqual(alarms, 14, (kind, drift))  # 7 % of 200

        def steps(at, by):
            figures = s.noise(rng, n, "iid")
            for k, ratio in zip(at, by):
                figures[k:] *= ratio
            return figures
        for at, by, least in (([15], [0.94], 0.8), ([10, 20], [0.9, 1 / 0.9], 0.8)):
            placed = sum(all(any(abs(i - k) <= 1 for i in indices) for k in at)
                         for indices in found(lambda: steps(at, by)))
            self.assertGreaterEqual(placed, least * 200, at)

    def test_recorded_back_to_back_reports(self):
        sys.path.insert(0, os.path.join(BUILD, "python"))
        from zarvek import _changes
        with open(os.path.join(HERE, "data", "back-to-back.json"), encoding="utf-8") as f:
            recorded = json.load(f)["series"]
        # No change on either machine, and a step put into each is found
        # within one report.
        for name, at, ratio in (("epyc-26-idle", 4, 0.85), ("epyc-25-busy", 7, 0.5)):
            figures = recorded[name]["figures"]
            self.assertEqual(_changes.analyse(figures)["changes"], [], name)
            stepped = figures[:at] + [x * ratio for x in figures[at:]]
            found = [c["index"] for c in _changes.analyse(stepped)["changes"]]
            self.assertTrue(any(abs(i - at) <= 1 for i in found), (name, found))


if __name__ == "__main__":
    group = sys.argv[1]
    if group == "PostgreSQL" and pg_server.binaries() is None:
        print("PostgreSQL is not installed (no /usr/lib/postgresql/*/bin): skipped")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v", group])
