"""One schema over the parts of an atoms dataset, so that every reader reads every part.

Each part carries the schema of its own batch: a column may be missing from some parts, be
null-typed where a batch held only nulls, or hold int64 in one part and text in another. The
unified schema settles every column once, by the rules the pipeline's coercion policy applies
inside one batch: a null type gives way to any other, int64 meeting double becomes double, and
any other disagreement becomes text.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.dataset as ds
import pyarrow.ipc as ipc
import pyarrow.parquet as pq

from shredder._io import ATOM_FORMATS, MANIFEST, UserError

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


def schema_to_json(schema: pa.Schema) -> list[dict[str, str]]:
    return [{"name": f.name, "type": _NAMES.get(f.type, str(f.type))} for f in schema]


def schema_from_json(entries: Any, where: Path) -> pa.Schema:
    try:
        return pa.schema([pa.field(entry["name"], _TYPES[entry["type"]]) for entry in entries])
    except (KeyError, TypeError) as error:
        raise UserError(f"{where}: the manifest's schema is not readable ({error!r})") from None


@dataclass
class Parts:
    """The part files of a dataset in order, their format, and the manifest if there is one."""

    files: list[Path]
    fmt: str
    manifest: dict[str, Any] | None
    folder: Path | None


def read_manifest(folder: Path) -> dict[str, Any]:
    path = folder / MANIFEST
    if not path.is_file():
        raise UserError(f"{folder}: no {MANIFEST}: the dataset is incomplete "
                        "(an interrupted or failed shred?)")
    try:
        manifest = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as error:
        raise UserError(f"{path}: cannot read the manifest: {error}") from None
    if not isinstance(manifest, dict) or not isinstance(manifest.get("parts"), list):
        raise UserError(f"{path}: not a shredder manifest (no list of parts)")
    return manifest


def dataset_parts(path: Path | str) -> Parts:
    """The parts an atoms dataset consists of: those its manifest lists, in its order (a lone
    part file stands for itself)."""
    path = Path(path)
    if not path.exists():
        raise UserError(f"{path}: no such file or folder")
    if path.is_file():
        fmt = "parquet" if path.suffix in (".parquet", ".pq") else "arrow"
        return Parts([path], fmt, None, None)
    manifest = read_manifest(path)
    fmt = manifest.get("format", "parquet")
    if fmt not in ATOM_FORMATS:
        raise UserError(f"{path / MANIFEST}: unknown atoms format {fmt!r}")
    files = []
    for entry in manifest["parts"]:
        name = entry.get("file") if isinstance(entry, dict) else None
        if not isinstance(name, str) or not name or Path(name).is_absolute() or ".." in Path(name).parts:
            raise UserError(f"{path / MANIFEST}: a part entry without a usable file name: {entry!r}")
        file = path / name
        if not file.is_file():
            raise UserError(f"{file}: listed in the manifest but missing")
        files.append(file)
    return Parts(files, fmt, manifest, path)


def part_schema(file: Path, fmt: str) -> pa.Schema:
    """A part's own schema, from its footer or stream header only."""
    try:
        if fmt == "parquet":
            return pq.read_schema(file)
        with pa.memory_map(str(file)) as source:
            try:
                return ipc.open_file(source).schema
            except pa.ArrowInvalid:
                source.seek(0)
                return ipc.open_stream(source).schema
    except (OSError, pa.ArrowInvalid) as error:
        raise UserError(f"{file}: cannot read atoms: {error}") from None


def unified_schema(parts: Parts) -> pa.Schema:
    """The manifest's recorded schema, or (for a lone part or a manifest written before it was
    recorded) the one the parts' own schemas give."""
    if parts.manifest is not None and "schema" in parts.manifest:
        return schema_from_json(parts.manifest["schema"], parts.folder / MANIFEST)
    unifier = SchemaUnifier()
    for file in parts.files:
        unifier.add(part_schema(file, parts.fmt))
    return unifier.schema


def dataset(path: Path | str) -> ds.Dataset:
    """A ``pyarrow.dataset.Dataset`` over the parts the manifest of ``path`` lists, in order,
    with one schema for all of them.

    A column missing from a part reads as nulls; a part whose column has another type is cast
    to the unified type when it is scanned (int64 to double; int64, bool and double to their
    text where the column became text). polars (``pl.scan_pyarrow_dataset``), DuckDB (a
    registered dataset), pandas (``to_table().to_pandas()``) and pyarrow read it alike.
    """
    parts = dataset_parts(path)
    fmt = "parquet" if parts.fmt == "parquet" else "ipc"
    try:
        return ds.dataset([str(f) for f in parts.files], schema=unified_schema(parts), format=fmt)
    except (OSError, pa.ArrowInvalid) as error:
        raise UserError(f"{path}: cannot open the atoms dataset: {error}") from None


def schema_differences(parts: Parts, schema: pa.Schema) -> dict[str, list[tuple[str, str]]]:
    """For every column of ``schema``, the parts that differ from it: (part name, what it holds
    instead: a type name or "missing")."""
    differences: dict[str, list[tuple[str, str]]] = {name: [] for name in schema.names}
    for file in parts.files:
        own = part_schema(file, parts.fmt)
        for field in schema:
            index = own.get_field_index(field.name)
            if index < 0:
                differences[field.name].append((file.name, "missing"))
            elif own.field(index).type != field.type:
                t = own.field(index).type
                differences[field.name].append((file.name, _NAMES.get(t, str(t))))
    return differences


def describe_schema(parts: Parts, schema: pa.Schema, shown: int = 3) -> list[str]:
    """Lines for ``inspect``: every column with its unified type, and the parts that differ."""
    differences = schema_differences(parts, schema)
    width = max((len(name) for name in schema.names), default=0)
    lines = []
    for field in schema:
        line = f"  {field.name.ljust(width)}  {_NAMES.get(field.type, str(field.type))}"
        differing = differences[field.name]
        if differing:
            by_kind: dict[str, list[str]] = {}
            for part, held in differing:
                by_kind.setdefault(held, []).append(part)
            notes = []
            for held, names in by_kind.items():
                listed = ", ".join(names[:shown]) + (f", … ({len(names)} parts)"
                                                     if len(names) > shown else "")
                notes.append(f"{held} in {listed}")
            line += "  (" + "; ".join(notes) + ")"
        lines.append(line)
    return lines


def total_bytes(files: Sequence[Path]) -> int:
    return sum(f.stat().st_size for f in files)
