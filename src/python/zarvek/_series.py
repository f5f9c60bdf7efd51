# SPDX-License-Identifier: MIT
"""A machine's series: the results kept of one machine, kind of figure,
loop count, build flags and target, in time order; where its level
changed, by how much, and what the results record as changed there; and
its figure since the last change."""

from . import _changes
from ._records import ATTRIBUTES

KEY = ("machine", "kind", "loops", "flags", "target")
# What a report of a series shows, beside its attributes.
SHOWN = ("id", "date", "median", "low", "high", "verdict", "host", "source")


def when(row):
    """A result's date; one without (an old file's) is dated when kept."""
    return row["date"] or row["kept"]


def differences(reports, index):
    """The recorded attributes that differ between consecutive REPORTS
    from one report before INDEX to one after it (a change is placed
    within one report), each with the index of the report that has the
    new value; a value not recorded (null) is no difference."""
    found = []
    for j in range(max(1, index - 1), min(len(reports), index + 2)):
        for key in ATTRIBUTES:
            before, after = reports[j - 1][key], reports[j][key]
            if before is not None and after is not None and before != after:
                found.append({"field": key, "from": before, "to": after, "index": j})
    return found


def series_of(rows, critical=None):
    """ROWS (the store's summaries) as series, each analysed: a list of
    dicts in the order of their machine, kind, loop count and flags."""
    groups = {}
    for row in sorted(rows, key=lambda r: (when(r), r["id"])):
        groups.setdefault(tuple(row[k] for k in KEY), []).append(row)
    found = []
    for key in sorted(groups):
        reports = groups[key]
        analysis = _changes.analyse([r["median"] for r in reports], critical)
        for change in analysis["changes"]:
            change["date"] = when(reports[change["index"]])
            change["changed"] = differences(reports, change["index"])
        changes = analysis["changes"]
        found.append({
            "machine": key[0], "kind": key[1], "loops": key[2],
            "build": {"flags": key[3], "target": key[4]},
            "reports": len(reports), "figure": analysis["figure"], "changes": changes,
            # The latest report sits after a change to a lower level.
            "fell": bool(changes) and changes[-1]["ratio"] < 1,
            "results": [{**{k: r[k] for k in SHOWN}, "date": when(r),
                         **{k: r[k] for k in ATTRIBUTES}} for r in reports],
        })
    return found


def change_words(change):
    """What changed at CHANGE, in words."""
    return "; ".join(f"{ATTRIBUTES[d['field']]} {d['from']} \u2192 {d['to']}"
                     + ("" if d["index"] == change["index"] else
                        f" (at report {d['index'] + 1})") for d in change["changed"])
