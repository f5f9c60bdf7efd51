# SPDX-License-Identifier: MIT
"""zarvek-report page: result files side by side, in one self-contained
HTML page (a sortable table, a bar chart and the results' section profiles
per loop count) and Markdown tables."""

import base64
import hashlib
import io
import math
import os
import re
import sys
from importlib import resources

from . import _files
from ._machine import identity_line
from ._process import Refusal
from ._records import verdict_word
from ._result import UNIT, NotAResult, figure, read_result, section_shares
from ._stats import CONFIDENCE
from ._workload import SECTION_NAMES

# A result whose rating shared the CPUs with this much other work (or
# steal) is marked busy.
BUSY_SHARE = 0.1


def busy_share(document):
    """The larger of steal and other work over the rating (format 2), or the
    busy share of the second before it (format 1); None where unknown."""
    stability = document.get("stability")
    if isinstance(stability, dict):
        shares = [stability.get(k) for k in ("steal", "other_work")]
    else:
        shares = [document["machine"].get("busy")]
    shares = [x for x in shares if isinstance(x, (int, float)) and not isinstance(x, bool)]
    return max(shares) if shares else None


class Row:
    """One result as the page and the Markdown table show it."""

    def __init__(self, path, document):
        self.path = path
        self.d = document
        r = document["rating"]
        self.loops = r["loops"]
        # The published figure: the 75th percentile of the runs from
        # format 3 on, the median before. An interval open on a side (too
        # few runs for that much correlation) has no bound there; the
        # reader saw that it holds the figure.
        self.figure, self.low, self.high, self.what = figure(r)
        self.verdict = verdict_word(document["verdict"])
        self.ranked = self.verdict == "faithful"
        self.rank = None
        busy = busy_share(document)
        self.busy = busy if busy is not None and busy >= BUSY_SHARE else None
        self.label = ""

    def cells(self):
        """(text, detail, sort key) for each column of COLUMNS: the detail is
        a second line in smaller type on the page, in brackets in Markdown."""
        d, r, w, m, b = (self.d, self.d["rating"], self.d["whole_machine"], self.d["machine"],
                         self.d["build"])
        below = math.inf if self.low is None else 1 - self.low / self.figure
        above = math.inf if self.high is None else self.high / self.figure - 1
        side = [("open" if math.isinf(x) else f"{x * 100:.1f} %") for x in (below, above)]
        bounds = ["open" if x is None else f"{x:.1f}" for x in (self.low, self.high)]
        copies = f"{w['copies']} cop{'y' if w['copies'] == 1 else 'ies'}"
        whole_loops = w.get("loops")
        if isinstance(whole_loops, int) and whole_loops != self.loops:
            copies += f" at {whole_loops:,} loops"
        subnormal = [label for label, part in (("rating", r), ("whole machine", w))
                     if part["subnormal"]]
        date = d.get("date") if isinstance(d.get("date"), str) else ""
        system = f"{m['kernel']}, {m['libc']}"
        busy = f"busy machine: {self.busy * 100:.0f} % other work" if self.busy else ""
        return [
            (str(self.rank) if self.rank else "\u2014", "" if self.rank else "unranked",
             self.rank or math.inf),
            (m["host"], "", m["host"].lower()),
            (m["cpu_model"], identity_line(m["cpu_id"]), m["cpu_model"].lower()),
            (str(m["cpus"]), "", m["cpus"]),
            (system, "", system.lower()),
            (b["compiler"], "", b["compiler"].lower()),
            (b["flags"], "", b["flags"]),
            (f"{self.figure:.1f}", busy, self.figure),
            (f"\u2212{side[0]} +{side[1]}", f"{bounds[0]} to {bounds[1]}", max(below, above)),
            (f"{w['rate']:.1f}", copies, w["rate"]),
            (f"{w['scaling']:.3f}", "", w["scaling"]),
            (self.verdict, "", self.verdict),
            (f"{self.loops:,}", "", self.loops),
            ("yes" if subnormal else "no", ", ".join(subnormal), len(subnormal)),
            (date[:10], "", date),
        ]


COLUMNS = ["Rank", "Machine", "CPU", "CPUs", "Kernel, C library", "Compiler", "Flags",
           f"Rating ({UNIT})", f"{CONFIDENCE * 100:.0f} % interval",
           f"Whole machine ({UNIT})", "Scaling", "Verdict", "Loops", "Subnormal", "Date"]
NUMERIC = {"Rank", "CPUs", f"Rating ({UNIT})", f"{CONFIDENCE * 100:.0f} % interval",
           f"Whole machine ({UNIT})", "Scaling", "Loops", "Subnormal"}


def shorten(text, most):
    return text if len(text) <= most else text[:most - 1] + "\u2026"


def label_rows(rows):
    """Each row's label in the chart and beside its profile: its host, CPU
    and compiler, and where rows share those, the flags that tell them
    apart; a ranked row's rank before it, an unranked row marked so."""
    by_base = {}
    for row in rows:
        m, b = row.d["machine"], row.d["build"]
        by_base.setdefault((m["host"], m["cpu_model"], b["compiler"]), []).append(row)
    for (host, cpu, compiler), same in by_base.items():
        common = set.intersection(*(set(row.d["build"]["flags"].split()) for row in same))
        for row in same:
            own = " ".join(w for w in row.d["build"]["flags"].split() if w not in common)
            extra = shorten(own, 36) if len(same) > 1 and own else ""
            base = f"{host}, {cpu}, {compiler}"
            text = shorten(base, 60 - (len(extra) + 2 if extra else 0))
            row.label = (f"{row.rank}. " if row.ranked else "") + text \
                + (f", {extra}" if extra else "") + (" (busy)" if row.busy else "") \
                + ("" if row.ranked else " (unranked)")


def groups_of(rows):
    """Rows by loop count and by what their figure is (the 75th percentile
    of the runs, or the median of an older result's: never ranked against
    each other), each group's ranked rows first, by rating."""
    groups = {}
    for row in rows:
        groups.setdefault((row.loops, row.what), []).append(row)
    ordered = []
    for loops, what in sorted(groups, key=lambda key: (key[0], key[1] == "the median")):
        members = sorted(groups[loops, what], key=lambda row: (not row.ranked, -row.figure))
        for rank, row in enumerate((row for row in members if row.ranked), start=1):
            row.rank = rank
        label_rows(members)
        ordered.append(((loops, what), members))
    return ordered


def open_side(ax, y, median, end):
    """A side of an interval that is open, drawn at height Y: a dashed
    arrow from the MEDIAN to the chart's END (its left or right edge),
    named "open" there."""
    ax.annotate("", xy=(end, y), xytext=(median, y), arrowprops={
        "arrowstyle": "-|>", "linestyle": (0, (3, 2)), "color": "black", "linewidth": 1,
        "shrinkA": 0, "shrinkB": 0, "mutation_scale": 9})
    ax.annotate("open", xy=(end, y), xytext=(3 if end < median else -3, 3),
                textcoords="offset points", ha="left" if end < median else "right",
                va="bottom", fontsize="x-small")


def chart(group, rows):
    """A horizontal bar chart of the ranked rows' ratings with their
    intervals, as inline SVG; None when no row is ranked. A side on which
    the interval is open is an arrow to the chart's edge."""
    ranked = [row for row in rows if row.ranked]
    if not ranked:
        return None
    loops, what = group
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # Text from the files is drawn as glyph outlines, never parsed as
    # mathematics; ids in the SVG are the same from run to run.
    with matplotlib.rc_context({"text.parse_math": False, "svg.fonttype": "path",
                                "svg.hashsalt": f"zarvek-{loops}-{what}"}):
        fig, ax = plt.subplots(figsize=(9, 0.9 + 0.32 * len(ranked)), layout="constrained")
        ys = range(len(ranked))[::-1]
        figures = [row.figure for row in ranked]
        errors = [[0 if row.low is None else row.figure - row.low for row in ranked],
                  [0 if row.high is None else row.high - row.figure for row in ranked]]
        ax.barh(list(ys), figures, xerr=errors, height=0.6, error_kw={
            "ecolor": "black", "capsize": 3, "linewidth": 1},
            color=["tab:gray" if row.busy else "tab:blue" for row in ranked])
        right = 1.12 * max(row.figure if row.high is None else row.high for row in ranked)
        ax.set_xlim(0, right)
        for y, row in zip(ys, ranked):
            for bound, end in ((row.low, 0), (row.high, right)):
                if bound is None:
                    open_side(ax, y, row.figure, end)
        ax.set_yticks(list(ys), [row.label for row in ranked], fontsize="small")
        ax.set_xlabel(f"timed_pass/{loops}, {UNIT} ({what[4:]} of the runs and "
                      f"{CONFIDENCE * 100:.0f} % interval)")
        ax.grid(axis="x", alpha=0.3)
        ax.set_ylim(-0.6, len(ranked) - 0.4)
        out = io.BytesIO()
        fig.savefig(out, format="svg", metadata={"Date": None})
        plt.close(fig)
    svg = out.getvalue().decode()
    return svg[svg.index("<svg"):]


def section_colours():
    """A colour for each section, told apart at a glance: Matplotlib's
    ten-colour categorical palette."""
    import matplotlib
    from matplotlib.colors import to_hex

    return [to_hex(c) for c in matplotlib.colormaps["tab10"].colors]


def profile(row, colours):
    """ROW's section profile as the page draws it: a label, and a segment
    per section with its offset, width (per cent of the bar) and colour;
    None for a result without one."""
    sections = row.d.get("sections")
    if sections is None:
        return None
    shares = section_shares(sections["ns_per_loop"])
    if not any(shares):
        return None
    segments, x = [], 0.0
    for s, (part, name, colour) in enumerate(zip(shares, SECTION_NAMES, colours), start=1):
        if part > 0:
            segments.append({"x": f"{x * 100:.3f}", "width": f"{part * 100:.3f}",
                             "colour": colour, "title": f"{s} {name}: {part * 100:.1f} %"})
        x += part
    return {"label": row.label, "segments": segments}


def sort_key(key):
    if isinstance(key, (int, float)):
        return "Infinity" if key == math.inf else repr(key)
    return key


def template(name):
    return resources.files(__package__).joinpath("templates", name).read_text(encoding="utf-8")


def html_page(groups, history=""):
    import jinja2
    import markupsafe

    env = jinja2.Environment(autoescape=True, undefined=jinja2.StrictUndefined)
    numeric = [column in NUMERIC for column in COLUMNS]
    colours = section_colours()
    shown, legend = [], False
    for (loops, what), rows in groups:
        svg = chart((loops, what), rows)
        profiles = [p for p in (profile(row, colours) for row in rows) if p is not None]
        shown.append({
            "loops": loops, "what": what,
            "chart": markupsafe.Markup(svg) if svg else None,
            "profiles": profiles,
            # The sections' names and colours, once on the page.
            "legend": bool(profiles) and not legend,
            "unranked": sum(not row.ranked for row in rows),
            "rows": [{"ranked": row.ranked, "busy": bool(row.busy), "path": row.path,
                      "cells": [(text, detail, sort_key(key),
                                 "number" if numeric[i] else
                                 "flags" if COLUMNS[i] == "Flags" else
                                 "verdict" if COLUMNS[i] == "Verdict" else
                                 "nowrap" if COLUMNS[i] == "Date" else "")
                                for i, (text, detail, key) in enumerate(row.cells())]}
                     for row in rows],
        })
        legend = legend or bool(profiles)
    script = template("sort.js")
    digest = base64.b64encode(hashlib.sha256(script.encode()).digest()).decode()
    return env.from_string(template("page.html.j2")).render(
        groups=shown, columns=COLUMNS, count=sum(len(rows) for _, rows in groups),
        sections=list(zip(range(1, 11), SECTION_NAMES, colours)),
        confidence=f"{CONFIDENCE * 100:.0f}", busy=f"{BUSY_SHARE * 100:.0f}",
        script=markupsafe.Markup(script), script_hash=f"sha256-{digest}", history=history)


def markdown_text(text):
    """TEXT as literal text in a Markdown table cell."""
    text = " ".join(str(text).split())
    text = text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    return re.sub(r"([\\`*_\[\]|#~!$])", r"\\\1", text)


def markdown_page(groups):
    lines = ["# zarvek ratings", ""]
    for (loops, what), rows in groups:
        lines += [f"## Loop count {loops:,}: {what} of the runs", ""]
        lines.append("| " + " | ".join(markdown_text(c) for c in COLUMNS) + " |")
        lines.append("|" + "|".join("---:" if c in NUMERIC else "---" for c in COLUMNS) + "|")
        for row in rows:
            lines.append("| " + " | ".join(
                markdown_text(f"{text} ({detail})" if detail else text)
                for text, detail, _ in row.cells()) + " |")
        lines.append("")
    lines.append("Only results from builds verified faithful are ranked; results at different "
                 "loop counts, or whose figure is another (the 75th percentile of the runs, or "
                 "the median of a result written before it), are never ranked against each "
                 "other.")
    return "\n".join(lines) + "\n"


def read_rows(paths, strict, prog):
    """The results in PATHS, each shown once: a file named again, or one
    with the same bytes as a result already read, is said and left out.
    Returns the rows and how many files were not results."""
    rows, skipped, seen = [], 0, {}
    for path in paths:
        try:
            document, data = read_result(path, prog)
        except NotAResult as e:
            skipped += 1
            print(f"{prog}: {'not read' if strict else 'skipped'} {path}: {e}", file=sys.stderr)
            continue
        for key in (("path", os.path.realpath(path)), ("bytes", hashlib.sha256(data).digest())):
            if key in seen:
                print(f"{prog}: {path} is the same result as {seen[key]}: shown once",
                      file=sys.stderr)
                break
        else:
            seen[("path", os.path.realpath(path))] = path
            seen[("bytes", hashlib.sha256(data).digest())] = path
            rows.append(Row(path, document))
    return rows, skipped


def command_page(args, prog):
    if args.output:
        _files.check_output_file("-o", args.output)
    if args.markdown:
        _files.check_output_file("--markdown", args.markdown)
    try:
        import jinja2  # noqa: F401
        import jsonschema  # noqa: F401
        import matplotlib  # noqa: F401
    except ImportError as e:
        raise Refusal(2, f"the page needs Jinja2, jsonschema and Matplotlib ({e}): apt-get "
                         "install python3-jinja2 python3-jsonschema python3-matplotlib") from None
    history = ""
    if args.db is not None:
        from ._history_page import section
        from .history import read_series

        store, series = read_series(args)
        history = section(series, store.name)
    rows, skipped = read_rows(args.results, args.strict, prog)
    if skipped and args.strict:
        raise Refusal(2, f"{skipped} file{'s' if skipped != 1 else ''} not read (--strict)")
    if not rows and not history:
        raise Refusal(2, "no result to show")
    groups = groups_of(rows)
    if args.markdown:
        text = markdown_page(groups)
        _files.write_atomically(args.markdown, lambda f: f.write(text.encode()))
    if args.output or not args.markdown:
        html = html_page(groups, history)
        if args.output:
            _files.write_atomically(args.output, lambda f: f.write(html.encode()))
        else:
            sys.stdout.write(html)
    return 0
