# SPDX-License-Identifier: MIT
"""What the store keeps of a result: the series it belongs to (its
machine, the kind of figure, the loop count, the build's flags and
target), what may change within a series (compiler, the programs'
SHA-256, kernel, CPU identity, C library), its figure, and its whole
document. A zarvek-report result is one record; a zarvek-fleet file is
one record per node."""

import datetime
import hashlib
import json
import math

from ._machine import identity_line
from ._result import NotAResult, figure
from ._stats import CONFIDENCE, median_interval

# The recorded fields that may change within a series, and their names in
# words.
ATTRIBUTES = {"compiler": "compiler", "zarvek_sha256": "zarvek's SHA-256",
              "bench_sha256": "zarvek-bench's SHA-256", "kernel": "kernel",
              "cpu_identity": "CPU identity", "libc": "C library"}
FLEET_KEYS = ("unit", "loops", "repetitions", "threshold", "subnormal", "fleet", "context")
# Those of a comparison: its label, and each build's beside the other's.
COMPARISON_ATTRIBUTES = {
    "label": "label", **{f"{side}{key}": f"{words}{name}" for key, name in ATTRIBUTES.items()
                         if key not in ("kernel", "cpu_identity", "libc")
                         for side, words in (("reference_", "A's "), ("", ""))},
    **{key: ATTRIBUTES[key] for key in ("kernel", "cpu_identity", "libc")}}


def need(document, path, kinds, what):
    """The value at PATH (keys separated by dots) of a fleet or compare
    file, which has no schema, if it is of one of KINDS."""
    value = document
    for key in path.split("."):
        if not isinstance(value, dict) or key not in value:
            raise NotAResult(f"no {path}")
        value = value[key]
    if isinstance(value, bool) and bool not in kinds or not isinstance(value, kinds) or \
            isinstance(value, float) and not math.isfinite(value):
        raise NotAResult(f"{path} is not {what}")
    return value


def canonical(document):
    """DOCUMENT as JSON in one form whatever its file's spacing and key
    order: the same content, the same text."""
    return json.dumps(document, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def utc_date(text):
    """TEXT (ISO 8601) in UTC, to the second; None where it is not a date
    (a date without a zone is taken as UTC)."""
    try:
        date = datetime.datetime.fromisoformat(str(text).replace("Z", "+00:00"))
    except ValueError:
        return None
    if date.tzinfo is None:
        date = date.replace(tzinfo=datetime.timezone.utc)
    return date.astimezone(datetime.timezone.utc).isoformat(timespec="seconds")


def verdict_word(verdict):
    """A result's verdict in words: faithful, NOT faithful or not verified."""
    verified = verdict.get("verified", verdict.get("faithful") is not None)
    if not verified or verdict.get("faithful") is None:
        return "not verified"
    return "faithful" if verdict["faithful"] else "NOT faithful"


def machine_name(host, cpu_model):
    return f"{host}, {cpu_model}" if cpu_model else host


def with_digest(record, document, part=""):
    """RECORD with DOCUMENT's canonical text and its digest (of PART of it,
    where one document gives many records)."""
    text = canonical(document)
    return {**record, "document": text,
            "digest": hashlib.sha256((text + part).encode()).hexdigest()}


def report_record(document, machine=None, source=None):
    """The record of a zarvek-report result, as read_result checked it."""
    m, b, r = document["machine"], document["build"], document["rating"]
    stability = document.get("stability") or {}
    value, low, high, _ = figure(r)
    return with_digest({
        "kind": "report-p75" if "figure" in r else "report",
        "machine": machine or machine_name(m["host"], m["cpu_model"]),
        "loops": r["loops"], "flags": b["flags"], "target": b["target"],
        "compiler": b["compiler"], "zarvek_sha256": b.get("zarvek_sha256"),
        "bench_sha256": b.get("bench_sha256"), "kernel": m["kernel"],
        "cpu_identity": identity_line(m["cpu_id"]), "libc": m["libc"],
        "format": document["format"], "date": utc_date(document.get("date")),
        "host": m["host"], "cpu_model": m["cpu_model"], "median": value,
        "low": low, "high": high, "runs": r.get("runs"),
        **{key: stability.get(key) for key in ("autocorrelation", "drift", "steal",
                                               "other_work")},
        "verdict": verdict_word(document["verdict"]), "source": source,
    }, document)


def kind_words(kind):
    """What a series of KIND holds, in words. A result's figure is the median
    of its rating's runs before format 3 and their 75th percentile since:
    two kinds, so that no series mixes them."""
    return {"report": "rating (the median of its runs)",
            "report-p75": "rating (the 75th percentile of its runs)"}.get(
                kind, "fleet node's median copy")


def is_fleet(document):
    return isinstance(document, dict) and all(
        k in document for k in ("copies", "hosts", "fleet", "context"))


def fleet_records(document, machine=None, source=None):
    """One record per node of a zarvek-fleet file: its median copy, with
    the facts the file gives of the node (its date, its machine as
    zarvek-report records one, the SHA-256 of the zarvek-fleet that ran,
    kept as the measuring program's); a file without them keeps them
    empty."""
    for key in ("loops", "repetitions"):
        if need(document, key, (int,), "a whole number") < 1:
            raise NotAResult(f"{key} is not above 0")
    for key in ("context.compiler", "context.flags", "context.target"):
        need(document, key, (str,), "text")
    if not isinstance(document["hosts"], list) or not document["hosts"]:
        raise NotAResult("hosts is not a list of hosts")
    records = []
    for i, node in enumerate(document["hosts"]):
        if not isinstance(node, dict):
            raise NotAResult(f"hosts.{i} is not an object")
        host = need(node, "host", (str,), "text")
        if need(node, "median", (int, float), "a number") <= 0:
            raise NotAResult(f"hosts.{i}.median is not above 0")
        copies = [c for c in document["copies"] if isinstance(c, dict) and c.get("host") == host]
        facts = node["machine"] if isinstance(node.get("machine"), dict) else {}
        # The interval of the node's median copy, its copies in rank order.
        _, low, high = median_interval([c["median"] for c in copies
                                        if isinstance(c.get("median"), (int, float))],
                                       1 - CONFIDENCE)
        cpu_model = str(facts.get("cpu_model", ""))
        cpu_id = facts.get("cpu_id")
        context = document["context"]
        node_document = {**{k: document[k] for k in FLEET_KEYS if k in document},
                         "host": node, "copies": copies}
        records.append(with_digest({
            "kind": "fleet", "machine": machine or machine_name(host, cpu_model),
            "loops": document["loops"], "flags": context["flags"],
            "target": context["target"], "compiler": context["compiler"],
            "zarvek_sha256": node.get("zarvek_fleet_sha256"), "bench_sha256": None,
            "kernel": facts.get("kernel"),
            "cpu_identity": identity_line(cpu_id) if isinstance(cpu_id, dict) else None,
            "libc": facts.get("libc"), "format": None, "date": utc_date(node.get("date")),
            "host": host, "cpu_model": cpu_model, "median": node["median"], "low": low,
            "high": high, "runs": document["repetitions"], "autocorrelation": None,
            "drift": None, "steal": None, "other_work": None, "verdict": "not verified",
            "source": source,
        }, node_document))
    return records


def is_comparison(document):
    return isinstance(document, dict) and all(
        k in document for k in ("comparisons", "a", "benchmark", "machine"))


def comparison_records(document, source=None):
    """One record for each build a zarvek-compare file compares with A,
    with the file's label."""
    if need(document, "loops", (int,), "a whole number") < 1:
        raise NotAResult("loops is not above 0")
    m = need(document, "machine", (dict,), "an object")
    for key in ("machine.host", "machine.cpu_model", "a.compiler", "a.flags"):
        need(document, key, (str,), "text")
    a, records, label = document["a"], [], document.get("label")
    for i, c in enumerate(need(document, "comparisons", (list,), "a list")):
        for key in ("build", "verdict", "compiler", "flags"):
            need(c, key, (str,), f"text in comparisons.{i}")
        if need(c, "ratio", (int, float), f"a number in comparisons.{i}") <= 0:
            raise NotAResult(f"comparisons.{i}.ratio is not above 0")
        records.append(with_digest({
            "label": None if label is None else str(label),
            "machine": machine_name(m["host"], m["cpu_model"]), "loops": document["loops"],
            "build": c["build"], "reference_flags": a["flags"], "flags": c["flags"],
            "reference_compiler": a["compiler"], "compiler": c["compiler"],
            **{f"{side}{key}": part.get(key) for key in ("zarvek_sha256", "bench_sha256")
               for side, part in (("reference_", a), ("", c))},
            "kernel": m.get("kernel"), "libc": m.get("libc"),
            "cpu_identity": identity_line(m["cpu_id"]) if isinstance(m.get("cpu_id"), dict)
            else None,
            "date": utc_date(document.get("date")), "host": m["host"],
            "cpu_model": m["cpu_model"], "ratio": c["ratio"], "low": c.get("ci_low"),
            "high": c.get("ci_high"), "verdict": c["verdict"], "source": source,
        }, document, f"\n{c['build']}"))
    return records
