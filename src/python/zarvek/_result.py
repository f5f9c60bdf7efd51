# SPDX-License-Identifier: MIT
"""The result file of zarvek-report run: its format, writing it, and
reading it back checked against its format's schema and for what no
schema can say."""

import json

from . import _schema
from ._files import write_atomically

# The version of the result file's format. A reader takes any format up to
# its own; a change that an older reader would misread raises it. Format 2
# replaced machine.busy (other work in the second before the run, steal
# counted as busy) with the stability over the rating itself, and its
# interval may be open on a side (low or high null). The section profile
# (sections) came within format 2: a reader that does not know it has
# nothing to misread. Format 3 publishes the 75th percentile of the
# rating's runs (rating.figure, with rating.quantile) with its interval in
# rating.low and rating.high, and keeps their median beside it
# (rating.median, rating.median_low, rating.median_high): a reader of
# format 2 would take the median's place for the figure's interval. Each
# format's keys and types are its schema, schemas/result-N.schema.json: a
# new format is a new file there (the newest copied and changed, what is
# shared left in the parts) and this number raised.
FORMAT = 3
UNIT = "MIPS"


def figure_words(quantile):
    """What a figure is, in words: "the median", "the 75th percentile"."""
    if quantile == 0.5:
        return "the median"
    percent = round(quantile * 100)
    suffix = "th" if 10 <= percent % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(
        percent % 10, "th")
    return f"the {percent}{suffix} percentile"


def figure(rating):
    """A result's published figure, with its interval and what it is: the
    rating's figure from format 3 on, its median before."""
    if "figure" in rating:
        return rating["figure"], rating["low"], rating["high"], figure_words(rating["quantile"])
    return rating["median"], rating["low"], rating["high"], "the median"


def section_shares(ns_per_loop):
    """Each section's share, in order 1 to 10, of a profile's time (its
    ns_per_loop, keyed "1" to "10"); all 0 where the sections took none."""
    times = [ns_per_loop[str(s)] for s in range(1, 11)]
    total = sum(times)
    return [t / total if total > 0 else 0.0 for t in times]


def write_result(path, result):
    text = json.dumps(result, indent=2, ensure_ascii=False) + "\n"
    write_atomically(path, lambda f: f.write(text.encode()))


class NotAResult(Exception):
    """A file that is not a result this program can read; the message says
    why."""


def _not_json(constant):
    raise ValueError(f"{constant} is no JSON number")


def damage(document, reader="zarvek-report"):
    """Why DOCUMENT (a parsed result file) is not a result READER can use,
    in a line; None where it is one. Its format's schema states every key
    and type; beyond the schema, the interval must hold its figure (the
    median before format 3), and the median's its median."""
    if not isinstance(document, dict) or "format" not in document or "rating" not in document:
        return "not a zarvek-report result (no format or rating)"
    form = document["format"]
    if isinstance(form, bool) or not isinstance(form, int):
        return f"format is {json.dumps(form)[:40]}, not a whole number"
    if form > FORMAT:
        return f"format {form} is newer than this {reader} reads ({FORMAT}); use a newer " \
               "zarvek-report"
    if form < 1:
        return f"format {form} is no format of ours"
    found = _schema.reason(document, form)
    if found:
        return found
    r = document["rating"]
    value, _, _, what = figure(r)
    what = what.replace("the ", "")
    pairs = [("rating.low", "rating.high", value, r["low"], r["high"], what)]
    if "figure" in r:
        pairs.append(("rating.median_low", "rating.median_high", r["median"], r["median_low"],
                      r["median_high"], "median"))
    for low_key, high_key, middle, low, high, name in pairs:
        if low is not None and low > middle:
            return f"{low_key} {low:g} is above the {name} {middle:g}: the interval does not " \
                   "hold it"
        if high is not None and high < middle:
            return f"{high_key} {high:g} is below the {name} {middle:g}: the interval does not " \
                   "hold it"
    return None


def read_result(path, prog):
    """The result in PATH, checked (damage); its bytes as well, for telling
    copies apart."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise NotAResult(e.strerror or str(e)) from None
    try:
        document = json.loads(data.decode("utf-8"), parse_constant=_not_json)
    except UnicodeDecodeError:
        raise NotAResult("not UTF-8 text") from None
    except ValueError as e:
        raise NotAResult(f"not valid JSON, truncated or damaged ({e})") from None
    found = damage(document, prog)
    if found:
        raise NotAResult(found)
    return document, data
