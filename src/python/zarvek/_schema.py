# SPDX-License-Identifier: MIT
"""The result file's JSON Schemas, one per format (schemas/result-N.schema.json,
with the parts they share in result-parts.schema.json): a document checked
against its format's, the reason it fails in a line, and the keys and
types a format states, in words, for the manual page.

A format's schema refers to the parts by file name, so that a validator
given the folder's files (or run on the files in place) resolves them."""

import functools
import json
import math
from importlib import resources

PARTS = "result-parts.schema.json"


def schema_name(form):
    return f"result-{form}.schema.json"


@functools.lru_cache(maxsize=None)
def documents():
    """Every schema file of the package, by file name."""
    folder = resources.files(__package__).joinpath("schemas")
    return {entry.name: json.loads(entry.read_text(encoding="utf-8"))
            for entry in folder.iterdir() if entry.name.endswith(".schema.json")}


@functools.lru_cache(maxsize=None)
def validator(form):
    """A validator of format FORM's schema: JSON Schema 2020-12, whose
    numbers are finite (Python reads NaN and Infinity, which JSON has
    not)."""
    import jsonschema

    base = jsonschema.Draft202012Validator
    finite = base.TYPE_CHECKER.redefine(
        "number", lambda checker, x: base.TYPE_CHECKER.is_type(x, "number") and math.isfinite(x))
    kind = jsonschema.validators.extend(base, type_checker=finite)
    schema = documents()[schema_name(form)]
    resolver = jsonschema.RefResolver("", schema, store=documents())
    return kind(schema, resolver=resolver)


def reason(document, form):
    """Why DOCUMENT does not meet format FORM's schema, in a line; None
    where it does."""
    import jsonschema

    error = jsonschema.exceptions.best_match(validator(form).iter_errors(document))
    if error is None:
        return None
    path = ".".join(map(str, error.absolute_path))
    if error.validator == "required":
        missing = next(key for key in error.validator_value if key not in error.instance)
        return f"no {path + '.' if path else ''}{missing}"
    if error.validator in ("type", "const", "pattern", "minimum", "maximum", "exclusiveMinimum",
                           "exclusiveMaximum"):
        shown = json.dumps(error.instance)
        if len(shown) > 40:
            shown = f"{shown[:30]}\u2026"
        kind = words(error.schema)
        article = "an " if kind.startswith("object") else "a " if kind.startswith(
            ("number", "whole", "list")) else ""
        return f"{path or 'the file'} is {shown}, not {article}{kind}"
    return f"{path or 'the file'}: {error.message}"


def resolved(node, base):
    """NODE with the schema its $ref names merged under it (its own keys,
    properties and required ones on top), and the file that schema is in."""
    if "$ref" not in node:
        return node, base
    name, _, pointer = node["$ref"].partition("#")
    name = name or base
    target = documents()[name]
    for part in pointer.strip("/").split("/"):
        target = target[part] if part else target
    target, name = resolved(target, name)
    merged = {**target, **{k: v for k, v in node.items() if k != "$ref"}}
    merged["properties"] = {**target.get("properties", {}), **node.get("properties", {})}
    merged["required"] = target.get("required", []) + node.get("required", [])
    return merged, name


def words(node, base=PARTS):
    """A value's type as a schema states it, in words: "whole number from
    1", "number above 0, or null", "list of numbers above 0"."""
    node, base = resolved(node, base)
    if "const" in node:
        return json.dumps(node["const"])
    types = node.get("type", [])
    types = [types] if isinstance(types, str) else list(types)
    nullable = "null" in types
    kind = next((t for t in types if t != "null"), "null")
    if kind == "array":
        text = "list of " + words(node.get("items", {}), base).replace("number", "numbers", 1)
    elif kind == "object" and isinstance(node.get("additionalProperties"), dict):
        text = "object of " + words(node["additionalProperties"], base).replace(
            "number", "numbers", 1)
    elif node.get("pattern") == "^[0-9a-f]{64}$":
        text = "text of 64 hex digits"
    else:
        text = {"integer": "whole number", "number": "number", "string": "text",
                "boolean": "true or false", "object": "object"}.get(kind, kind)
        low = f"above {node['exclusiveMinimum']:g}" if "exclusiveMinimum" in node else \
            f"from {node['minimum']:g}" if "minimum" in node else None
        high = f"below {node['exclusiveMaximum']:g}" if "exclusiveMaximum" in node else \
            f"to {node['maximum']:g}" if "maximum" in node else None
        if low and high and not (low.startswith("from") and high.startswith("to")):
            high = "and " + high.replace("to ", "at most ")
        elif high and not low:
            high = high.replace("to ", "at most ")
        text = " ".join(filter(None, (text, low, high)))
    return text + (", or null" if nullable and kind != "null" else "")


def fields(form):
    """The keys format FORM's schema states, dotted to the second level as
    the manual page lists them, each with its schema (its $ref merged) and
    the file that is in: [(key, schema, file)]."""
    top, base = resolved(documents()[schema_name(form)], schema_name(form))
    listed = []
    for key, node in top["properties"].items():
        node, where = resolved(node, base)
        inner = node.get("properties")
        if inner:
            for sub, leaf in inner.items():
                leaf, leaf_base = resolved(leaf, where)
                listed.append((f"{key}.{sub}", leaf, leaf_base))
        else:
            listed.append((key, node, where))
    return listed
