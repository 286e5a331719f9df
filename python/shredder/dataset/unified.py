"""An atoms dataset's parts in order, and reading them with one schema, so that every reader
reads every part."""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

import pyarrow as pa

from shredder.core.errors import UserError
from shredder.core.names import KEYS, ROLE
from shredder.core.schema import SchemaUnifier, schema_from_json, type_name
from shredder.dataset.files import MANIFEST
from shredder.dataset.manifest import Manifest, read_manifest
from shredder.io import storage
from shredder.io.parts import part_format, part_schema

if TYPE_CHECKING:
    import pyarrow.dataset as ds

Where = Path | str | storage.Location


@dataclass
class Parts:
    """The part files of a dataset in order, their format, and the manifest if there is one."""

    files: list[storage.Location]
    fmt: str
    manifest: Manifest | None
    folder: storage.Location | None


def _location(where: Where) -> storage.Location:
    return where if isinstance(where, storage.Location) else storage.resolve(os.fspath(where))


_PART_SUFFIXES = (".parquet", ".pq", ".arrow", ".ipc", ".feather")


def dataset_parts(path: Where) -> Parts:
    """The parts an atoms dataset consists of: those its manifest lists, in its order, or a
    single part file given directly (which has no manifest). Paths and storage URIs alike. A
    folder without a manifest is refused: it is an unfinished or failed run's."""
    location = _location(path)
    info = location.info()
    if info.type == storage.pafs.FileType.NotFound:
        raise UserError(f"{location}: no such file or folder")
    if info.type == storage.pafs.FileType.File:
        if not location.name.lower().endswith(_PART_SUFFIXES):
            raise UserError(f"{location}: not an atoms dataset (a folder with {MANIFEST}) nor "
                            "an atoms part (.parquet, .pq, .arrow, .ipc or .feather)")
        return Parts([location], part_format(location), None, None)
    manifest = read_manifest(location)
    files = [location.child(part.file) for part in manifest.parts]
    for file in files:
        if file.info().type != storage.pafs.FileType.File:
            raise UserError(f"{file}: listed in {MANIFEST} but missing")
    return Parts(files, manifest.format, manifest, location)


def listed_rows(parts: Parts) -> list[int | None]:
    """The rows the manifest lists for each part (None for a part given without one)."""
    if parts.manifest is None:
        return [None] * len(parts.files)
    return [part.rows for part in parts.manifest.parts]


def check_rows(part: object, rows: int, listed: int | None) -> None:
    """Refuses a part that holds other than the rows its manifest lists: it was replaced or
    changed after the dataset was written."""
    if listed is not None and rows != listed:
        raise UserError(f"{part}: holds {rows:,} rows where the dataset's manifest lists "
                        f"{listed:,}: the part was changed after it was written")


def unified_schema(parts: Parts) -> pa.Schema:
    """The manifest's recorded schema, or (for a lone part or a manifest written before it was
    recorded) the one the parts' own schemas give."""
    if parts.manifest is not None and parts.manifest.schema is not None:
        return schema_from_json(parts.manifest.schema, parts.folder.child(MANIFEST))
    unifier = SchemaUnifier()
    for file in parts.files:
        unifier.add(part_schema(file, parts.fmt))
    return unifier.schema


def dataset(path: Where) -> ds.Dataset:
    """A ``pyarrow.dataset.Dataset`` over the parts the manifest of ``path`` lists, in order,
    with one schema for all of them.

    A column missing from a part reads as nulls; a part whose column has another type is cast
    to the unified type when it is scanned (int64 to double; int64, bool and double to their
    text where the column became text). polars (``pl.scan_pyarrow_dataset``), DuckDB (a
    registered dataset), pandas (``to_table().to_pandas()``) and pyarrow read it alike.
    """
    # imported here: it pulls in pandas where installed, which every job's worker would pay for
    import pyarrow.dataset as ds

    parts = dataset_parts(path)
    fmt = "parquet" if parts.fmt == "parquet" else "ipc"
    filesystem = parts.files[0].fs if parts.files else None
    try:
        return ds.dataset([f.path for f in parts.files], schema=unified_schema(parts),
                          format=fmt, filesystem=filesystem)
    except (OSError, pa.ArrowInvalid) as error:
        raise UserError(f"{path}: cannot open the atoms dataset: {error}") from None


def schema_differences(parts: Parts, schema: pa.Schema,
                       schemas: Sequence[pa.Schema] | None = None
                       ) -> dict[str, list[tuple[str, str]]]:
    """For every column of ``schema``, the parts that differ from it: (part name, what it holds
    instead: a type name or "missing"). ``schemas``: the parts' own, when already read."""
    differences: dict[str, list[tuple[str, str]]] = {name: [] for name in schema.names}
    for n, file in enumerate(parts.files):
        own = schemas[n] if schemas is not None else part_schema(file, parts.fmt)
        for field in schema:
            index = own.get_field_index(field.name)
            if index < 0:
                differences[field.name].append((file.name, "missing"))
            elif own.field(index).type != field.type:
                t = own.field(index).type
                differences[field.name].append((file.name, type_name(t)))
    return differences


def describe_schema(parts: Parts, schema: pa.Schema, shown: int = 3) -> list[str]:
    """Lines for ``inspect``: every column with its unified type, and the parts that differ."""
    differences = schema_differences(parts, schema)
    width = max((len(name) for name in schema.names), default=0)
    lines = []
    for field in schema:
        line = f"  {field.name.ljust(width)}  {type_name(field.type)}"
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


def shared_names(parts: Parts) -> list[str]:
    """Column names that hold different members in different parts (plain atoms, and exact
    atoms written before a job settled such names across its parts): one line for each,
    naming the members' key lists and the parts. A reader by name (the unified schema, the
    SQL views) puts them in one column. Parts without key lists are read by name and left
    out."""
    found: dict[str, dict[str, list[str]]] = {}
    for file in parts.files:
        for field in part_schema(file, parts.fmt):
            metadata = field.metadata or {}
            keys = metadata.get(KEYS)
            if keys is None:
                continue
            role = metadata.get(ROLE)
            member = keys.decode("utf-8", "replace") + (f" ({role.decode()})" if role else "")
            found.setdefault(field.name, {}).setdefault(member, []).append(file.name)
    lines = []
    for name, members in found.items():
        if len(members) > 1:
            held = "; ".join(f"{member} in {', '.join(files[:3])}"
                             + (f", … ({len(files)} parts)" if len(files) > 3 else "")
                             for member, files in members.items())
            lines.append(f"column {name} holds different members across parts: {held}")
    return lines


def total_bytes(files: Sequence[storage.Location]) -> int:
    return sum(f.size() for f in files)
