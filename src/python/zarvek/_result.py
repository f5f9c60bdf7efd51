# SPDX-License-Identifier: MIT
"""The result file of zarvek-report run: its format, writing it, and
reading it back checked for every field the page shows."""

import json
import math

from ._files import write_atomically

# The version of the result file's format. A reader takes any format up to
# its own; a change that an older reader would misread raises it. Format 2
# replaced machine.busy (other work in the second before the run, steal
# counted as busy) with the stability over the rating itself, and its
# interval may be open on a side (low or high null). The section profile
# (sections) came within format 2: a reader that does not know it has
# nothing to misread.
FORMAT = 2
UNIT = "MIPS"
NUMBER = (int, float)


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


def need(document, path, kinds, what, nullable=False):
    """The value at PATH (keys separated by dots) if it is of one of KINDS
    (or None, where NULLABLE)."""
    value = document
    for key in path.split("."):
        if not isinstance(value, dict) or key not in value:
            raise NotAResult(f"no {path}")
        value = value[key]
    if value is None and nullable:
        return None
    if isinstance(value, bool) and bool not in kinds or not isinstance(value, kinds):
        raise NotAResult(f"{path} is not {what}")
    if isinstance(value, float) and not math.isfinite(value):
        raise NotAResult(f"{path} is not {what}")
    return value


def read_result(path, prog):
    """The result in PATH, checked for every field the page shows; its
    bytes are kept as result["_bytes"] for telling copies apart."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise NotAResult(e.strerror or str(e)) from None
    try:
        document = json.loads(data.decode("utf-8"))
    except UnicodeDecodeError:
        raise NotAResult("not UTF-8 text") from None
    except ValueError as e:
        raise NotAResult(f"not valid JSON, truncated or damaged ({e})") from None
    if not isinstance(document, dict) or "format" not in document or "rating" not in document:
        raise NotAResult("not a zarvek-report result (no format or rating)")
    form = need(document, "format", (int,), "a whole number")
    if form > FORMAT:
        raise NotAResult(f"format {form} is newer than this {prog} reads ({FORMAT}); "
                         "use a newer zarvek-report")
    if form < 1:
        raise NotAResult(f"format {form} is no format of ours")
    for key in ("rating.median", "rating.low", "rating.high", "whole_machine.rate",
                "whole_machine.scaling"):
        value = need(document, key, NUMBER, "a number",
                     nullable=form >= 2 and key in ("rating.low", "rating.high"))
        if value is not None and value <= 0:
            raise NotAResult(f"{key} is not above 0")
    if need(document, "rating.unit", (str,), "text") != UNIT:
        raise NotAResult(f"rating.unit is {document['rating']['unit']!r}, not {UNIT}")
    if need(document, "rating.loops", (int,), "a whole number") < 1:
        raise NotAResult("rating.loops is not above 0")
    need(document, "whole_machine.copies", (int,), "a whole number")
    for key in ("rating.subnormal", "whole_machine.subnormal"):
        need(document, key, (bool,), "true or false")
    for key in ("machine.host", "machine.cpu_model", "machine.kernel", "machine.libc",
                "build.compiler", "build.flags", "build.target", "verdict.method"):
        need(document, key, (str,), "text")
    need(document, "machine.cpus", (int,), "a whole number")
    need(document, "machine.cpu_id", (dict,), "an object")
    if form >= 2:
        for key in ("stability.steal", "stability.other_work", "stability.drift"):
            need(document, key, NUMBER, "a number", nullable=True)
    if document.get("sections") is not None:
        for s in range(1, 11):
            if need(document, f"sections.ns_per_loop.{s}", NUMBER, "a number") < 0:
                raise NotAResult(f"sections.ns_per_loop.{s} is below 0")
    faithful = document["verdict"].get("faithful")
    if faithful is not None and not isinstance(faithful, bool):
        raise NotAResult("verdict.faithful is not true, false or null")
    return document, data
