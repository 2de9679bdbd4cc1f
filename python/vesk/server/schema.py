"""Checks a JSON value against the small part of JSON Schema the tools use.

The tools' input schemas are written with `type` (a name or a list of names),
`properties`, `required`, `additionalProperties: false`, `items`, `enum`,
`minimum` and `minLength`, and nothing else; `validate` understands exactly
those keywords and ignores the annotations (`description`, `title`,
`default`). Pure: no I/O. It returns the first problem found as a sentence
naming where it is, or None.
"""

from __future__ import annotations

from typing import Any, Callable

_TYPES: dict[str, Callable[[Any], bool]] = {
    "string": lambda v: isinstance(v, str),
    "boolean": lambda v: isinstance(v, bool),
    "null": lambda v: v is None,
    "object": lambda v: isinstance(v, dict),
    "array": lambda v: isinstance(v, list),
    "number": lambda v: isinstance(v, (int, float)) and not isinstance(v, bool),
    # JSON has one number type: 3.0 is an integer to JSON Schema, True is not.
    "integer": lambda v: (isinstance(v, int) and not isinstance(v, bool))
    or (isinstance(v, float) and v.is_integer()),
}


def _describe(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


def validate(value: Any, schema: dict[str, Any], where: str = "arguments") -> str | None:
    """The first way `value` breaks `schema`, or None when it conforms."""
    expected = schema.get("type")
    if expected is not None:
        names = expected if isinstance(expected, list) else [expected]
        if not any(_TYPES[name](value) for name in names):
            wanted = " or ".join(names)
            return f"{where} must be of type {wanted}, not {_describe(value)}"
    if "enum" in schema and value not in schema["enum"]:
        choices = ", ".join(repr(choice) for choice in schema["enum"])
        return f"{where} must be one of {choices}"
    if isinstance(value, str) and len(value) < schema.get("minLength", 0):
        return f"{where} must not be empty" if schema["minLength"] == 1 else \
            f"{where} must be at least {schema['minLength']} characters long"
    if _TYPES["number"](value) and "minimum" in schema and value < schema["minimum"]:
        return f"{where} must be at least {schema['minimum']}"
    if isinstance(value, dict):
        properties = schema.get("properties", {})
        for name in schema.get("required", []):
            if name not in value:
                return f"{where} lacks the required property {name!r}"
        for name, item in value.items():
            if name in properties:
                problem = validate(item, properties[name], f"{where}.{name}")
                if problem:
                    return problem
            elif schema.get("additionalProperties") is False:
                known = ", ".join(properties) or "none"
                return f"{where} has an unknown property {name!r} (known: {known})"
    if isinstance(value, list) and "items" in schema:
        for index, item in enumerate(value):
            problem = validate(item, schema["items"], f"{where}[{index}]")
            if problem:
                return problem
    return None
