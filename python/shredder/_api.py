"""Dataset-level shred and unshred over one pipeline handle."""

from __future__ import annotations

import json
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any

import pyarrow as pa

import shredder_ext
from shredder import _verify

TXN_KEY = "__txn_id"
TXN_COLUMN = "root___txn_id"
CODECS = ("json", "arrow")


def _check_codec(codec: str) -> None:
    if codec not in CODECS:
        raise ValueError(f"unknown codec {codec!r}: expected one of {', '.join(CODECS)}")


def iter_batches(source: Any, batch_size: int | None = None) -> Iterator[pa.RecordBatch]:
    """Yields the record batches of ``source`` lazily, each at most ``batch_size`` rows long.

    ``source`` may be a ``pyarrow.RecordBatch``, a ``pyarrow.Table``, a
    ``pyarrow.RecordBatchReader``, any object exposing ``__arrow_c_stream__`` (polars and
    DuckDB results, for example) or an iterable of record batches.
    """
    if batch_size is not None and batch_size < 1:
        raise ValueError(f"batch_size must be at least 1, got {batch_size}")
    for batch in _raw_batches(source):
        if batch_size is None or batch.num_rows <= batch_size:
            yield batch
            continue
        for start in range(0, batch.num_rows, batch_size):
            yield batch.slice(start, batch_size)


def _raw_batches(source: Any) -> Iterator[pa.RecordBatch]:
    if isinstance(source, pa.RecordBatch):
        yield source
    elif isinstance(source, pa.Table):
        yield from source.to_batches()
    elif isinstance(source, pa.RecordBatchReader):
        yield from source
    elif hasattr(source, "__arrow_c_stream__"):
        yield from pa.RecordBatchReader.from_stream(source)
    elif isinstance(source, Iterable) and not isinstance(source, (str, bytes)):
        for batch in source:
            if not isinstance(batch, pa.RecordBatch):
                raise TypeError(
                    f"expected pyarrow.RecordBatch items, got {type(batch).__name__}")
            yield batch
    else:
        raise TypeError(
            "source must be a pyarrow RecordBatch, Table or RecordBatchReader, an object with "
            f"__arrow_c_stream__, or an iterable of record batches; got {type(source).__name__}")


def shred(
    source: Any,
    codec: str = "json",
    column: int | str | None = None,
    batch_size: int | None = None,
    handle: Any = None,
) -> Iterator[pa.RecordBatch]:
    """Shreds every batch of ``source`` into an atoms batch, lazily.

    All batches go through one pipeline handle (a new one for ``codec`` unless ``handle`` is
    given), so a path seen as an array in an early batch wraps lone values in later ones. Each
    yielded atoms batch holds all rows of the documents of one input batch; batches can differ
    in columns and column types. Input batches that produce no atoms (no rows, or only empty
    documents) yield a batch without columns. Pipeline failures raise ``ValueError``.
    """
    _check_codec(codec)
    if handle is None:
        handle = shredder_ext.create_controller(codec)
    for batch in iter_batches(source, batch_size):
        yield shredder_ext.shred_arrow(handle, batch, column)


class Unshredding(Iterator[pa.RecordBatch]):
    """The lazy result of ``unshred``: iterate it for the documents batches.

    With ``verify`` set, ``report`` (a ``VerifyReport``) grows as batches are produced.
    """

    def __init__(self, batches: Iterator[pa.RecordBatch], codec: str, verify: bool) -> None:
        self._batches = batches
        self._codec = codec
        self.report: VerifyReport | None = VerifyReport() if verify else None

    def __iter__(self) -> "Unshredding":
        return self

    def __next__(self) -> pa.RecordBatch:
        documents = next(self._batches)
        if self.report is not None:
            self.report.add(verify_documents(documents, self._codec))
        return documents


def unshred(atoms: Any, codec: str = "json", verify: bool = False) -> Unshredding:
    """Rebuilds documents from atoms batches, lazily: one documents batch per atoms batch.

    Every atoms batch must hold all rows of its documents, as ``shred`` yields them. A table is
    combined into one batch first (file readers split columns into chunks at arbitrary rows).
    Documents come back in ascending order of their ``__txn_id`` within each batch, documents
    with equal content once. With the ``json`` codec the result holds a utf8 column ``doc`` of
    JSON text; with ``arrow``, a struct column ``doc``. With ``verify`` the returned iterator's
    ``report`` counts the documents that came back exactly (see ``verify_documents``).
    """
    _check_codec(codec)
    if isinstance(atoms, pa.Table):
        atoms = atoms.combine_chunks().to_batches()

    def generate() -> Iterator[pa.RecordBatch]:
        handle = shredder_ext.create_controller(codec)
        for batch in _raw_batches(atoms):
            if batch.num_columns == 0:
                continue
            yield shredder_ext.unshred_arrow(handle, batch)

    return Unshredding(generate(), codec, verify)


@dataclass
class VerifyReport:
    """Outcome of checking rebuilt documents against the content ids they carry."""

    exact: int = 0
    changed_ids: list[str] = field(default_factory=list)

    @property
    def checked(self) -> int:
        return self.exact + len(self.changed_ids)

    def add(self, other: "VerifyReport") -> None:
        self.exact += other.exact
        self.changed_ids.extend(other.changed_ids)


def _drop_null_members(value: Any) -> Any:
    if isinstance(value, dict):
        return {k: _drop_null_members(v) for k, v in value.items() if v is not None}
    if isinstance(value, list):
        return [_drop_null_members(v) for v in value]
    return value


def _documents_as_json(documents: pa.RecordBatch, codec: str) -> list[str | None]:
    """The rebuilt documents as JSON texts, for shredding them again.

    A struct column lists every field of every document of its batch, so members a document
    did not have read back as nulls; they are dropped, which is exact because unshredding
    never places a null member.
    """
    column = documents.column(0)
    if codec == "json":
        return column.to_pylist()
    return [None if row is None else json.dumps(_drop_null_members(row))
            for row in column.to_pylist()]


def verify_documents(documents: pa.RecordBatch, codec: str = "json") -> VerifyReport:
    """Shreds every rebuilt document again as if through its own fresh handle and compares the
    digest it gets with the ``__txn_id`` the document carries.

    Equal means the document came back exactly as it went in (before its ids were stamped). A
    document that cannot be shredded again, or carries no id, counts as changed. The documents
    of a batch share one fresh handle where that gives the same verdicts (see ``_verify``).
    """
    _check_codec(codec)
    report = VerifyReport()
    for row, verdict in enumerate(_verify.verdicts(_documents_as_json(documents, codec))):
        if verdict.status == _verify.EXACT:
            report.exact += 1
        else:
            report.changed_ids.append(
                verdict.carried if verdict.carried is not None else f"<row {row}>")
    return report
