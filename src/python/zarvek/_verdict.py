# SPDX-License-Identifier: MIT
"""zarvek-verify's verdict on one zarvek, read from the JSON it writes."""

import json
import os
import tempfile

from ._process import how_it_ended, run


class Verdict:
    """What zarvek-verify said of one zarvek: its status (0 faithful, 1 not
    faithful, anything else no verdict), the method, the shortfalls of a
    build that is not faithful, and for no verdict the verifier's words."""

    def __init__(self, status, method, shortfalls, message):
        self.status = status
        self.method = method
        self.shortfall_rows = shortfalls
        self.message = message

    @property
    def faithful(self):
        return self.status == 0

    def shortfalls(self):
        """The verdict and its shortfalls, as the verifier lists them."""
        rows = self.shortfall_rows
        lines = [f"Verdict: NOT faithful: {len(rows)} shortfall{'s' if len(rows) != 1 else ''}:"]
        lines += [f"  - {r.get('group')}, {r.get('item')}: specified {r.get('specified')}, "
                  f"measured {r.get('measured')}" for r in rows]
        return "\n".join(lines)


def read_verdict_json(path):
    """(faithful, the method's text, the shortfalls) from the file
    zarvek-verify --json wrote; raises ValueError when it has no verdict."""
    with open(path, encoding="utf-8") as f:
        document = json.load(f)
    if not isinstance(document, dict) or not isinstance(document.get("faithful"), bool):
        raise ValueError(f"zarvek-verify's JSON ({path}) has no verdict")
    method = document.get("method")
    if isinstance(method, dict):
        method = method.get("text")
    shortfalls = document.get("shortfalls")
    if not isinstance(shortfalls, list) or not all(isinstance(r, dict) for r in shortfalls):
        raise ValueError(f"zarvek-verify's JSON ({path}) has no list of shortfalls")
    return (document["faithful"], method if isinstance(method, str) else "unknown",
            shortfalls)


def verify(verifier, zarvek, timeout=None, tick=None):
    """Has VERIFIER judge ZARVEK, with its verdict in JSON (TICK as for
    _process.run)."""
    with tempfile.TemporaryDirectory(prefix="zarvek-verdict-") as folder:
        json_file = os.path.join(folder, "verdict.json")
        status, out, err = run([verifier, "--json", json_file, zarvek], timeout=timeout,
                               tick=tick)
        message = err.decode(errors="replace").strip() \
            or f"zarvek-verify {how_it_ended(status, err)}"
        if status not in (0, 1):
            return Verdict(status, "unknown", [], message)
        try:
            faithful, method, shortfalls = read_verdict_json(json_file)
        except (OSError, ValueError) as e:
            return Verdict(2, "unknown", [], f"zarvek-verify's verdict: {e}")
        if faithful != (status == 0):
            return Verdict(2, method, [], f"zarvek-verify exited with status {status} but its "
                                          f"JSON says faithful is {str(faithful).lower()}")
        return Verdict(status, method, shortfalls, message)
