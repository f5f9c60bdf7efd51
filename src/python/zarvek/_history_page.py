# SPDX-License-Identifier: MIT
"""The store's series on a page: a table per kind of figure and loop
count that ranks the series by their figure over reports, and a chart
per machine of its series over time, with each report's interval, each
change point and the figure since the last change with its prediction
interval. Every text from the store is escaped by the template."""

import datetime
import io
import math

from . import _records
from ._changes import CONFIDENCE
from ._result import UNIT
from ._series import change_words

COLUMNS = ["Rank", "Machine", "Flags", "Target", "Reports", f"Figure ({UNIT})",
           f"Next report, {CONFIDENCE * 100:.0f} %", "Last change", "Latest verdict"]
NUMERIC = {"Rank", "Reports", f"Figure ({UNIT})", f"Next report, {CONFIDENCE * 100:.0f} %"}


def what(kind, loops):
    words = _records.kind_words(kind)
    return f"{words[0].upper()}{words[1:]} at {loops:,} loops"


def cells(s, rank):
    figure, latest = s["figure"], s["results"][-1]
    last = s["changes"][-1] if s["changes"] else None
    spread = "" if figure["low"] is None else f"{figure['low']:.1f} to {figure['high']:.1f}"
    width = -1 if figure["low"] is None else (figure["high"] - figure["low"]) / figure["median"]
    change = "" if last is None else f"{(last['ratio'] - 1) * 100:+.1f} %".replace("-", "\u2212")
    return [
        (str(rank) if rank else "\u2014", "" if rank else "unranked", rank or math.inf),
        (s["machine"], "", s["machine"].lower()),
        (s["build"]["flags"], "", s["build"]["flags"]),
        (s["build"]["target"], "", s["build"]["target"]),
        (str(s["reports"]), "", s["reports"]),
        (f"{figure['median']:.1f}", f"over {figure['reports']} since the last change"
         if last else "", figure["median"]),
        (spread or "one report", "", width),
        (change, "" if last is None else f"{last['date'][:10]}: {change_words(last)}",
         "" if last is None else last["date"]),
        (latest["verdict"], "", latest["verdict"]),
    ]


def ranking(series):
    """The series by kind and loop count, each group's ranked series first
    (those whose latest report is verified faithful), by figure."""
    groups = {}
    for s in series:
        groups.setdefault((s["kind"], s["loops"]), []).append(s)
    shown = []
    for (kind, loops), members in sorted(groups.items()):
        members.sort(key=lambda s: (s["results"][-1]["verdict"] != "faithful",
                                    -s["figure"]["median"]))
        rows, rank = [], 0
        for s in members:
            ranked = s["results"][-1]["verdict"] == "faithful"
            rank += ranked
            rows.append({"ranked": ranked, "cells": [
                (text, detail, key if isinstance(key, str) else
                 ("Infinity" if key == math.inf else repr(key)),
                 "number" if COLUMNS[i] in NUMERIC else "flags" if COLUMNS[i] == "Flags"
                 else "") for i, (text, detail, key) in enumerate(cells(s, rank * ranked))]})
        shown.append({"title": what(kind, loops), "rows": rows})
    return shown


def moment(text):
    return datetime.datetime.fromisoformat(text).replace(tzinfo=None)


def machine_chart(machine, members):
    """MEMBERS' (the series of one machine) figures over time, as inline
    SVG."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.dates as mdates
    import matplotlib.pyplot as plt

    with matplotlib.rc_context({"text.parse_math": False, "svg.fonttype": "path",
                                "svg.hashsalt": "zarvek-history"}):
        fig, ax = plt.subplots(figsize=(9, 3.4), layout="constrained")
        for number, s in enumerate(members):
            colour = f"C{number % 10}"
            results = s["results"]
            dates = [moment(r["date"]) for r in results]
            medians = [r["median"] for r in results]
            errors = [[0 if r["low"] is None else max(r["median"] - r["low"], 0) for r in results],
                      [0 if r["high"] is None else max(r["high"] - r["median"], 0)
                       for r in results]]
            label = f"{what(s['kind'], s['loops'])}, {s['build']['flags']}"
            ax.errorbar(dates, medians, yerr=errors, fmt="o-", color=colour, markersize=3,
                        linewidth=0.8, elinewidth=0.8, capsize=2,
                        label=label if len(label) < 90 else label[:89] + "\u2026")
            for change in s["changes"]:
                at = dates[change["index"]]
                ax.axvline(at, color=colour, linestyle="--", linewidth=1)
                ax.annotate(f"{(change['ratio'] - 1) * 100:+.1f} %", (at, 1), xycoords=(
                    "data", "axes fraction"), xytext=(3, -12), textcoords="offset points",
                    color=colour, fontsize="small")
            figure = s["figure"]
            start = dates[len(results) - figure["reports"]]
            ax.hlines(figure["median"], start, dates[-1], colors=colour, linewidth=2)
            if figure["low"] is not None:
                ax.fill_between([start, dates[-1]], figure["low"], figure["high"],
                                color=colour, alpha=0.15, linewidth=0)
        ax.set_ylabel(UNIT)
        ax.grid(alpha=0.3)
        ax.legend(fontsize="x-small", loc="lower left")
        locator = mdates.AutoDateLocator()
        ax.xaxis.set_major_locator(locator)
        ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
        out = io.BytesIO()
        fig.savefig(out, format="svg", metadata={"Date": None})
        plt.close(fig)
    svg = out.getvalue().decode()
    return svg[svg.index("<svg"):]


def section(series, store):
    """The series' part of a page, as HTML."""
    import jinja2
    import markupsafe

    from .page import template

    machines = {}
    for s in series:
        machines.setdefault(s["machine"], []).append(s)
    charts = [{"machine": machine, "svg": markupsafe.Markup(machine_chart(machine, members))}
              for machine, members in sorted(machines.items())]
    env = jinja2.Environment(autoescape=True, undefined=jinja2.StrictUndefined)
    return markupsafe.Markup(env.from_string(template("history.html.j2")).render(
        store=store, groups=ranking(series), columns=COLUMNS, charts=charts,
        confidence=f"{CONFIDENCE * 100:.0f}", count=len(series)))


def standalone_page(series, store):
    """A page of the series alone."""
    from .page import html_page

    return html_page([], history=section(series, store))
