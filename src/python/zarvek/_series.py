# SPDX-License-Identifier: MIT
"""A machine's series: the results kept of one machine, kind of figure,
loop count, build flags and target, in time order; where its level
changed, by how much, and what the results record as changed there; and
its figure since the last change."""

from . import _changes
from ._records import ATTRIBUTES, COMPARISON_ATTRIBUTES


class Kind:
    """What a series is of: results (the rating or a fleet node's median
    copy) or comparisons (the ratio of a build to A): the columns that
    make a series, its figure, what a report of it shows beside its
    attributes, and those attributes."""

    def __init__(self, key, figure, shown, attributes):
        self.key, self.figure, self.shown, self.attributes = key, figure, shown, attributes


RESULTS = Kind(("machine", "kind", "loops", "flags", "target"), "median",
               ("id", "date", "median", "low", "high", "verdict", "host", "source"), ATTRIBUTES)
COMPARISONS = Kind(("machine", "loops", "build", "reference_flags", "flags"), "ratio",
                   ("id", "date", "ratio", "low", "high", "verdict", "host", "source"),
                   COMPARISON_ATTRIBUTES)


def when(row):
    """A result's date; one without (an old file's) is dated when kept."""
    return row["date"] or row["kept"]


def differences(reports, index, attributes):
    """The recorded attributes that differ between consecutive REPORTS
    from one report before INDEX to one after it (a change is placed
    within one report), each with the index of the report that has the
    new value; a value not recorded (null) is no difference."""
    found = []
    for j in range(max(1, index - 1), min(len(reports), index + 2)):
        for key in attributes:
            before, after = reports[j - 1][key], reports[j][key]
            if before is not None and after is not None and before != after:
                found.append({"field": key, "from": before, "to": after, "index": j})
    return found


def series_of(rows, kind=RESULTS, critical=None):
    """ROWS (the store's summaries of KIND) as series, each analysed: a
    list of dicts in the order of their key."""
    groups = {}
    for row in sorted(rows, key=lambda r: (when(r), r["id"])):
        groups.setdefault(tuple(row[k] for k in kind.key), []).append(row)
    found = []
    for key in sorted(groups):
        reports = groups[key]
        analysis = _changes.analyse([r[kind.figure] for r in reports], critical)
        for change in analysis["changes"]:
            change["date"] = when(reports[change["index"]])
            change["changed"] = differences(reports, change["index"], kind.attributes)
        changes = analysis["changes"]
        series = dict(zip(kind.key, key))
        if kind is RESULTS:
            series["build"] = {"flags": series.pop("flags"), "target": series.pop("target")}
        found.append({
            **series, "reports": len(reports), "figure": analysis["figure"],
            "changes": changes,
            # The latest report sits after a change to a lower level.
            "fell": bool(changes) and changes[-1]["ratio"] < 1,
            "results": [{**{k: r[k] for k in kind.shown}, "date": when(r),
                         **{k: r[k] for k in kind.attributes}} for r in reports],
        })
    return found


def change_words(change, attributes=ATTRIBUTES):
    """What changed at CHANGE, in words."""
    return "; ".join(f"{attributes[d['field']]} {d['from']} \u2192 {d['to']}"
                     + ("" if d["index"] == change["index"] else
                        f" (at report {d['index'] + 1})") for d in change["changed"])
