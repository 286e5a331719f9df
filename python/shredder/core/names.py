"""The names of atoms columns, in one place: the suffixes and stamps the engine writes, how a
name splits into member keys, which column holds the documents' ids, and what each column
stands for as a path of the documents (its member keys and role).

The engine writes ``shredder.keys`` (a JSON array of the member keys of the column's path
below the document root; array elements add none) and ``shredder.role`` (``index`` for an
array's index column, ``rest`` for an object's rescue column, ``document`` for ``__doc``;
none for value columns). Names alone are ambiguous, since keys may hold "_" (``a_b`` and
``a`` → ``b`` both write ``root_a_b``), so the names are only read for columns without keys:
those of datasets written before the keys were recorded.
"""

from __future__ import annotations

import functools
import json
from collections.abc import Sequence
from dataclasses import dataclass

import pyarrow as pa

KEYS = b"shredder.keys"
ROLE = b"shredder.role"
INDEX, REST, DOCUMENT, VALUE = "index", "rest", "document", "value"
# The digests the pipeline stamps into every object, as member keys of the rebuilt documents.
TXN_KEY = "__txn_id"
OBJ_KEY = "__obj_id"
STAMPS = (OBJ_KEY, TXN_KEY)
ROOT = "root"
SEPARATOR = "_"
# The document's own digest: the transaction column of a batch whose root is an object.
TXN_COLUMN = ROOT + SEPARATOR + TXN_KEY
# Exact atoms number every row by its document's position in the input.
DOC_COLUMN = "__doc"
INDEX_SUFFIX = "__idx"
REST_SUFFIX = "___rest"
# The one column of a documents batch (JSON text or structs), read and written.
DOCUMENTS_COLUMN = "doc"

Keys = tuple[str, ...]


@dataclass(frozen=True)
class ColumnPath:
    """What one atoms column holds: the path it belongs to (its member keys), its role, and
    whether the keys came from the column's metadata or were read from its name."""

    name: str
    keys: Keys
    role: str
    recorded: bool

    @property
    def stamp(self) -> bool:
        """A digest the pipeline stamps into every object, no member of the input."""
        return self.role == VALUE and bool(self.keys) and self.keys[-1] in STAMPS


def split_path(name: str) -> list[str]:
    """The segments of a column name, as unshredding reads them back: "_" separates
    segments, a run of k ≥ 2 starts a key of k − 1 underscores, and a key that starts with two
    or more underscores runs to the end of the name (``root___txn_id`` → root, __txn_id)."""
    segments: list[str] = []
    current = ""
    i = 0
    while i < len(name):
        if name[i] != "_":
            current += name[i]
            i += 1
            continue
        run = len(name) - i - len(name[i:].lstrip("_"))
        segments.append(current)
        i += run
        current = "_" * (run - 1)
        if run - 1 >= 2:
            current += name[i:]
            i = len(name)
    segments.append(current)
    if segments and segments[0] == "":
        segments.pop(0)
    return segments


def _keys_of(name: str) -> Keys:
    segments = split_path(name)
    return tuple(segments[1:] if segments[:1] == [ROOT] else segments)


def join_keys(keys: Sequence[str]) -> str:
    """What a column name keeps of member keys below the root: the keys joined by "_", empty
    keys adding nothing (so several paths may share one name)."""
    return SEPARATOR.join(key for key in keys if key)


def column_path(field: pa.Field) -> ColumnPath:
    metadata = field.metadata or {}
    return _column_path(field.name, metadata.get(KEYS), metadata.get(ROLE))


# The batches of a dataset repeat their columns, and a column's keys are JSON to parse.
@functools.lru_cache(maxsize=1 << 14)
def _column_path(name: str, recorded_keys: bytes | None, recorded_role: bytes | None) \
        -> ColumnPath:
    role = (recorded_role or b"").decode() or VALUE
    if recorded_keys is not None:
        try:
            keys = json.loads(recorded_keys)
            if isinstance(keys, list) and all(isinstance(k, str) for k in keys):
                return ColumnPath(name, tuple(keys), role, True)
        except ValueError:
            pass
    if name == DOC_COLUMN:
        return ColumnPath(name, (), DOCUMENT, False)
    if name.endswith(INDEX_SUFFIX):
        return ColumnPath(name, _keys_of(name[:-len(INDEX_SUFFIX)]), INDEX, False)
    if name.endswith(REST_SUFFIX):
        return ColumnPath(name, _keys_of(name[:-len(REST_SUFFIX)]), REST, False)
    return ColumnPath(name, _keys_of(name), VALUE, False)


def column_paths(schema: pa.Schema) -> list[ColumnPath]:
    return [column_path(field) for field in schema]


def txn_column(names: Sequence[str]) -> str | None:
    """The column holding the documents' ids, as unshredding picks it: the root's, else the
    first transaction column (a batch whose documents are not objects)."""
    if TXN_COLUMN in names:
        return TXN_COLUMN
    return next((name for name in names if name.endswith(TXN_KEY)), None)


def doc_column(schema: pa.Schema) -> str | None:
    """The column numbering the rows of exact atoms by document, when there is one."""
    return DOC_COLUMN if DOC_COLUMN in schema.names else None


def document_key(schema: pa.Schema) -> str | None:
    """The column whose value tells which document a row belongs to: ``__doc`` where the
    atoms have it (it tells identical documents apart), else the document's digest."""
    return key_column(column_paths(schema), schema.names)


def key_column(paths: Sequence[ColumnPath], names: Sequence[str]) -> str | None:
    """``document_key`` of a schema whose columns' paths are at hand."""
    for path in paths:
        if path.role == DOCUMENT:
            return path.name
    return txn_column(names)


def pointer(path: Sequence[str | int]) -> str:
    """A path (member keys, and array positions where they matter) as a JSON Pointer
    ("/items/0/sku"); the document itself is ""."""
    return "".join("/" + str(s).replace("~", "~0").replace("/", "~1") for s in path)
