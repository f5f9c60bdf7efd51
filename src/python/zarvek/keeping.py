# SPDX-License-Identifier: MIT
"""Keeping results in the store: a run's, a comparison's, and result
files' (zarvek-report import).

A run keeps its result through a child process that it starts first: the
child imports SQLAlchemy and opens the store (creating or upgrading it)
while the run starts, and the run waits for it to be ready before the
rating, so that none of that shares the rating's time nor adds to the
run's; at the end it sends the result and waits only for the insert. A
store that cannot take the result leaves it in a file, and the run ends
with NOT_KEPT."""

import json
import multiprocessing
import os
import re
import signal
import sys

from ._process import Refusal
from ._result import NotAResult, figure, read_result, write_result

NOT_KEPT = 4
# How long a run waits for its store to open before the rating; past it,
# the rating starts and the store is waited for at the end.
READY_WAIT = 30
NEEDED = "python3-sqlalchemy python3-psycopg2"


def masked(text):
    """TEXT with the password of any URL in it replaced by ***."""
    return re.sub(r"(://[^/@:\s]*:)[^@\s]*@", r"\1***@", text)


def keep_in_child(location, connection):
    """The child: opens the store, says so, then keeps what it is sent."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the run stops it
    for s in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, signal.SIG_DFL)
    try:
        from . import _records, _store
        connection.send(("name", masked(location or _store.default_path())))
        store = _store.Store(location)
        connection.send(("name", store.name))
        store.open()
        # What the outlook on the run's series needs, loaded now, while the
        # run makes ready, rather than after its rating.
        from . import _changes, _series  # noqa: F401
        import scipy.special  # noqa: F401
        connection.send(("ready", None))
    except ImportError as e:
        connection.send(("error", f"{e}: apt-get install {NEEDED}"))
        return
    except Exception as e:  # said to the run, which writes the file
        connection.send(("error", str(e)))
        return
    try:
        document, machine = connection.recv()
        record = _records.report_record(document, machine)
        number, new = store.keep(record)
        connection.send(("kept", (number, new, outlook(store, record, number))))
    except EOFError:
        pass
    except Exception as e:
        connection.send(("error", str(e)))


def outlook(store, record, number):
    """What the store says of a run's series before it: the earlier reports
    of the same machine, loop count, flags and target since their last
    change, their figure and the range the next report's figure should
    fall in (the history's prediction interval); None where the store
    cannot say."""
    from . import _changes, _series

    try:
        rows = store.reports(machine=record["machine"])
    except Exception:  # the result is kept; what it adds is optional
        return None
    key = _series.RESULTS.key
    earlier = sorted((r for r in rows if r["id"] != number
                      and all(r[k] == record[k] for k in key)),
                     key=lambda r: (_series.when(r), r["id"]))
    if len(earlier) < 2:
        return {"reports": len(earlier), "figures": [r["median"] for r in earlier]}
    analysis = _changes.analyse([r["median"] for r in earlier])
    return {**analysis["figure"], "changes": len(analysis["changes"])}


class Keeper:
    """A run's store, opened by a child process."""

    def __init__(self, location, machine):
        self.location, self.machine = location, machine
        self.name = masked(location) if location else "the default store"
        self.error = None
        self.ready = False
        self.connection, child = multiprocessing.get_context("fork").Pipe()
        self.child = multiprocessing.get_context("fork").Process(
            target=keep_in_child, args=(location, child), daemon=True)
        self.child.start()
        child.close()

    def receive(self, timeout=None):
        """The child's next message; ("error", ...) where it ended
        without one."""
        try:
            if self.connection.poll(timeout):
                return self.connection.recv()
            return None
        except (EOFError, OSError):
            return ("error", "the store's process ended")

    def handle(self, message):
        if message is None:
            return
        kind, value = message
        if kind == "name":
            self.name = value
        elif kind == "ready":
            self.ready = True
        elif kind == "error":
            self.error = value

    def wait_ready(self):
        """Waits (up to READY_WAIT) until the store is open or failed."""
        while not self.ready and self.error is None:
            message = self.receive(READY_WAIT)
            if message is None:
                return
            self.handle(message)

    def keep(self, document):
        """Keeps DOCUMENT: (id, new) or None, with self.error saying why."""
        while self.error is None and not self.ready:
            self.handle(self.receive())
        if self.error is not None:
            return None
        self.connection.send((document, self.machine))
        while True:
            message = self.receive()
            if message[0] == "kept":
                self.child.join()
                return message[1]
            self.handle(message)
            if self.error is not None:
                return None


def fallback_path(document, stem):
    """A new file STEM-HOST-DATE.json in the current folder for a document
    the store could not take."""
    stamp = document["date"][:19].replace("-", "").replace(":", "")
    host = "".join(c if c.isalnum() or c in "-." else "_" for c in document["machine"]["host"])
    for n in range(1000):
        path = f"{stem}-{host}-{stamp}{'' if n == 0 else f'-{n}'}.json"
        if not os.path.exists(path):
            return path
    raise Refusal(2, "no free name for the file in the current folder")


def left_in_file(document, json_path, location, error, prog, what):
    """Says that DOCUMENT (WHAT: a result, a comparison) was not kept, and
    where it is: the --json file, else a new one here. Returns NOT_KEPT."""
    path = json_path or fallback_path(document, f"zarvek-{what}")
    if not json_path:
        write_result(path, document)
    store_option = "" if location is None else f" --db {masked(location)}"
    print(f"{prog}: the {what} was not kept in the store ({error}); it is in {path}: keep it "
          f"later with zarvek-report import{store_option} {path}", file=sys.stderr)
    return NOT_KEPT


def finish_run(keeper, result, json_path, prog):
    """Keeps a run's RESULT: says where, or leaves it in a file. Returns
    the run's status."""
    if keeper is None:
        return 0
    kept = keeper.keep(result)
    if kept is None:
        return left_in_file(result, json_path, keeper.location, keeper.error, prog, "result")
    number, new, earlier = kept
    print(f"Kept:          {keeper.name} (result {number}{'' if new else ', kept already'})")
    line = outlook_line(earlier, figure(result["rating"])[0], result["rating"]["unit"])
    if line:
        print(line)
    return 0


def outlook_line(earlier, figure, unit):
    """The line that sets a run's FIGURE against the earlier reports of its
    series in the store."""
    if earlier is None:
        return None
    n = earlier["reports"]
    if n >= 2 and earlier.get("low") is None:
        return (f"Next run:      the series changed level {earlier['changes']} time"
                f"{'s' if earlier['changes'] != 1 else ''} and too few reports follow the last "
                "change for a range (zarvek-report history)")
    if n < 2:
        before = "" if n == 0 else f" (one earlier, {earlier['figures'][0]:,.1f} {unit})"
        return (f"Next run:      {'no' if n == 0 else 'too few'} earlier reports of this series "
                f"in the store{before}: rate it again at other times, and the store gives the "
                f"range a run's figure moves in (zarvek-report history)")
    since = " since its last change" if earlier["changes"] else ""
    inside = earlier["low"] <= figure <= earlier["high"]
    return (f"Next run:      over the {n} earlier reports of this series{since}, "
            f"{earlier['median']:,.1f} {unit}; a run's figure should fall in "
            f"{earlier['low']:,.1f} to {earlier['high']:,.1f} (95 %), and this one's "
            f"{figure:,.1f} {'does' if inside else 'does not: see zarvek-report history'}")


def keep_comparison(location, document, json_path, prog):
    """Keeps a zarvek-compare DOCUMENT's comparisons in the store at
    LOCATION: says where, or leaves it in a file. Returns 0 or NOT_KEPT."""
    try:
        from . import _records, _store
        store = _store.Store(location).open()
        kept = [store.keep(record, _store.comparisons)[0]
                for record in _records.comparison_records(document)]
    except ImportError as e:
        return left_in_file(document, json_path, location, f"{e}: apt-get install {NEEDED}",
                            prog, "comparison")
    except _store.StoreError as e:
        return left_in_file(document, json_path, location, e, prog, "comparison")
    print(f"Kept: {store.name} (comparison{'s' if len(kept) != 1 else ''} "
          f"{', '.join(map(str, kept))})")
    return 0


def load(path, prog, machine):
    """The records of the file PATH, with their table: a zarvek-report
    result's one, a zarvek-fleet file's one per node, a zarvek-compare
    file's one per build compared with A."""
    from . import _records, _store

    try:
        document, _ = read_result(path, prog)
        return _store.results, [_records.report_record(document, machine, path)]
    except NotAResult as refusal:
        try:
            with open(path, encoding="utf-8") as f:
                document = json.load(f)
        except (OSError, ValueError, UnicodeDecodeError):
            raise refusal from None
        if _records.is_fleet(document):
            return _store.results, _records.fleet_records(document, machine, path)
        if _records.is_comparison(document):
            return _store.comparisons, _records.comparison_records(document, path)
        raise refusal from None


def command_import(args, prog):
    try:
        from . import _store
    except ImportError as e:
        raise Refusal(NOT_KEPT, f"nothing kept: {e}: apt-get install {NEEDED}") from None
    try:
        store = _store.Store(args.db).open()
    except _store.StoreError as e:
        raise Refusal(NOT_KEPT, f"nothing kept: {e}") from None
    refused = 0
    for path in args.files:
        try:
            table, records = load(path, prog, args.machine)
        except NotAResult as e:
            refused += 1
            print(f"{prog}: refused {path}: {e}", file=sys.stderr)
            continue
        for record in records:
            try:
                number, new = store.keep(record, table)
            except _store.StoreError as e:
                raise Refusal(NOT_KEPT, f"{path} not kept: {e}") from None
            node = f" ({record['host']})" if record.get("kind") == "fleet" else \
                f" ({record['build']} against A)" if table is _store.comparisons else ""
            print(f"{'kept' if new else 'kept already'}: {path}{node} as "
                  f"{'comparison' if table is _store.comparisons else 'result'} {number}")
    print(f"{prog}: {len(args.files) - refused} of {len(args.files)} files kept in {store.name}")
    return 2 if refused else 0
