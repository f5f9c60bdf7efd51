# SPDX-License-Identifier: MIT
"""zarvek-report history: each series kept in the store, its reports in
time order, its figure since the last change with a prediction interval
for the next report, and its change points with what changed there; with
--comparisons, the same of zarvek-compare's ratios, by their labels."""

import json
import sys

from . import _changes, _files, _records, _series, _store
from ._process import Refusal
from ._records import utc_date
from ._result import UNIT
from ._version import VERSION

METHOD = ("change points: CUSUM of the log figures and its range, against the 0.05 % points "
          "of the Kolmogorov and Kuiper distributions, the spread widened by the reports' "
          "lag-1 correlation, by binary segmentation; ratio: Hodges-Lehmann with Moses' "
          "interval; figure: the median since the last change, with a Student's t "
          "prediction interval of the log figures")
FAILED_STATUS = 3


def open_store(location):
    try:
        return _store.Store(location).open(create=False)
    except _store.StoreError as e:
        raise Refusal(2, str(e)) from None


def read_series(args):
    """The store's series, as --machine and --since choose them."""
    since = None
    if args.since is not None:
        since = utc_date(args.since)
        if since is None:
            raise Refusal(2, f"--since {args.since}: a date, such as 2026-12-01")
    store = open_store(args.db)
    table, kind = (_store.comparisons, _series.COMPARISONS) if args.comparisons else \
        (_store.results, _series.RESULTS)
    try:
        rows = store.reports(machine=args.machine, since=since, table=table)
    except _store.StoreError as e:
        raise Refusal(2, str(e)) from None
    if not rows:
        chosen = "".join(f" {option} {value}" for option, value in (
            ("of --machine", args.machine), ("since", args.since)) if value is not None)
        raise Refusal(2, f"{store.name}: no {'comparison' if args.comparisons else 'result'} "
                         f"kept{chosen}")
    return store, _series.series_of(rows, kind)


def percent(ratio):
    return "open" if ratio is None else f"{(ratio - 1) * 100:+.1f} %".replace("-", "\u2212")


def series_lines(s, comparisons=False):
    results, figure = s["results"], s["figure"]
    if comparisons:
        head = (f"{s['machine']}: {s['build']} against A at {s['loops']:,} loops; "
                f"A {s['reference_flags']}; {s['build']} {s['flags']}")
        unit, attributes = "(ratio)", _records.COMPARISON_ATTRIBUTES
    else:
        what = _records.kind_words(s["kind"])
        head = (f"{s['machine']}: {what} at {s['loops']:,} loops; {s['build']['flags']}; "
                f"{s['build']['target']}")
        unit, attributes = UNIT, _records.ATTRIBUTES
    lines = [head, f"  {s['reports']} report{'s' if s['reports'] != 1 else ''}, "
             f"{results[0]['date']} to {results[-1]['date']}"]
    since = f"the {figure['reports']} reports since the last change" if s["changes"] else \
        f"{'all ' if figure['reports'] > 1 else ''}{figure['reports']} report" + \
        ("s" if figure["reports"] != 1 else "")
    digits = 4 if comparisons else 1
    line = f"  figure over {since}: {figure['median']:.{digits}f} {unit}"
    if figure["low"] is not None:
        line += (f"; the next report {_changes.CONFIDENCE * 100:.0f} % between "
                 f"{figure['low']:.{digits}f} and {figure['high']:.{digits}f}")
    lines.append(line)
    for c in s["changes"]:
        words = _series.change_words(c, attributes)
        at = results[c["index"]].get("label")
        lines.append(f"  change at report {c['index'] + 1} ({c['date']}"
                     f"{'' if at is None else ', ' + at}): {percent(c['ratio'])} "
                     f"({_changes.CONFIDENCE * 100:.0f} % CI {percent(c['low'])} to "
                     f"{percent(c['high'])}); " + (words or "nothing recorded changed there"))
    if s["fell"]:
        lines.append("  the latest report is after a change to a lower level")
    starts = {c["index"] for c in s["changes"]}
    shown = ("ratio" if comparisons else "median", "low", "high")
    for i, r in enumerate(results):
        mark = "|" if i in starts else " "
        value, low, high = ("open" if r[k] is None else f"{r[k]:.{digits}f}" for k in shown)
        label = "" if r.get("label") is None else f"  {r['label']}"
        lines.append(f"  {mark}{i + 1:>4}  {r['date']}  {value} ({low} to {high})  "
                     f"{r['verdict']}{label}")
    return lines


def history_json(store, series, comparisons):
    return {"program": "zarvek-report history", "version": VERSION, "store": store.name,
            "date": _store.now(), "unit": "ratio" if comparisons else UNIT,
            "confidence": _changes.CONFIDENCE, "method": METHOD,
            "comparisons" if comparisons else "series": [
                {k: v for k, v in s.items() if k != "fell"} for s in series]}


def command_history(args, prog):
    for option, path in (("--json", args.json), ("--html", args.html)):
        if path:
            _files.check_output_file(option, path)
    if args.comparisons and args.html:
        raise Refusal(2, "--html draws the results' series, not the comparisons'")
    store, series = read_series(args)
    print(f"{prog}: history of {store.name}: {len(series)} series, "
          f"{sum(s['reports'] for s in series)} "
          f"{'comparisons' if args.comparisons else 'results'}")
    for s in series:
        print()
        print("\n".join(series_lines(s, args.comparisons)))
    if args.json:
        # Compact: indenting ten thousand results triples the time it takes.
        text = json.dumps(history_json(store, series, args.comparisons),
                          ensure_ascii=False) + "\n"
        _files.write_atomically(args.json, lambda f: f.write(text.encode()))
    if args.html:
        from ._history_page import standalone_page
        html = standalone_page(series, store.name)
        _files.write_atomically(args.html, lambda f: f.write(html.encode()))
    fell = [s for s in series if s["fell"]]
    if args.fail_change and fell:
        print(f"{prog}: the latest report of {len(fell)} series is after a change to a lower "
              f"level: {'; '.join(s['machine'] for s in fell)}", file=sys.stderr)
        return FAILED_STATUS
    return 0
