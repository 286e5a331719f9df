"""The unified schema of an atoms dataset: the one type every column takes over all parts.

Each part carries the schema of its own batch: a column may be missing from some parts, be
null-typed where a batch held only nulls, or hold int64 in one part and text in another. The
unified schema settles every column once, by the rules the pipeline's coercion policy applies
inside one batch: a null type gives way to any other, int64 meeting double becomes double, and
any other disagreement becomes text.
"""

from __future__ import annotations

from collections.abc import Iterable
from pathlib import Path
from typing import Any

import pyarrow as pa

from shredder.core.errors import UserError

# The types a part column can have, by the names the manifest records them under.
_TYPES: dict[str, pa.DataType] = {
    "null": pa.null(),
    "bool": pa.bool_(),
    "int64": pa.int64(),
    "double": pa.float64(),
    "string": pa.string(),
    "large_string": pa.large_string(),
}
_NAMES = {t: name for name, t in _TYPES.items()}


def unify_types(current: pa.DataType, incoming: pa.DataType) -> pa.DataType:
    """The type a column takes when a part of type ``incoming`` meets the ``current`` one."""
    if pa.types.is_null(incoming) or current == incoming:
        return current
    if pa.types.is_null(current):
        return incoming
    numbers = {current, incoming}
    if numbers == {pa.int64(), pa.float64()}:
        return pa.float64()
    if pa.types.is_large_string(current) or pa.types.is_large_string(incoming):
        return pa.large_string()
    return pa.string()


class SchemaUnifier:
    """The unified schema of the parts seen so far; columns keep their first-seen order."""

    def __init__(self, fields: Iterable[pa.Field] = ()) -> None:
        self._types: dict[str, pa.DataType] = {f.name: f.type for f in fields}

    def add(self, schema: pa.Schema) -> None:
        for field in schema:
            current = self._types.get(field.name)
            self._types[field.name] = (field.type if current is None
                                       else unify_types(current, field.type))

    @property
    def schema(self) -> pa.Schema:
        return pa.schema([pa.field(name, t) for name, t in self._types.items()])


def type_name(t: pa.DataType) -> str:
    return _NAMES.get(t, str(t))


def schema_to_json(schema: pa.Schema) -> list[dict[str, str]]:
    return [{"name": f.name, "type": _NAMES.get(f.type, str(f.type))} for f in schema]


def schema_from_json(entries: Any, where: Path) -> pa.Schema:
    try:
        return pa.schema([pa.field(entry["name"], _TYPES[entry["type"]]) for entry in entries])
    except (KeyError, TypeError) as error:
        raise UserError(f"{where}: the manifest's schema is not readable ({error!r})") from None
