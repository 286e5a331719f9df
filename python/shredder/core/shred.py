"""Shredding a source, batch by batch, through one pipeline handle; in skip mode, a refused
document is set aside and the documents around it go on."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import pyarrow as pa

import shredder_ext
from shredder.core.documents import documents_batch, natural_codec, pick_column
from shredder.core.names import DOC_COLUMN
from shredder.core.sources import check_codec, check_errors, iter_batches


@dataclass(frozen=True)
class Refusal:
    """A document of a batch that the pipeline refused: its row in the batch and why."""

    row: int
    error: str


def failing_row(error: ValueError, batch: pa.RecordBatch) -> int | None:
    """The row of ``batch`` whose document made a shred of it fail with ``error`` (the row
    the engine names), or None when the failure is not one document's (a batch the codec
    cannot read at all)."""
    row = getattr(error, "row", None)
    return row if isinstance(row, int) and 0 <= row < batch.num_rows else None


@dataclass
class ShreddedBatch:
    """The outcome of ``shred_batch``: the atoms batch, the number of documents it holds, and
    the refused documents."""

    atoms: pa.RecordBatch
    documents: int
    refused: list[Refusal]


def shred_batch(handle: Any, batch: pa.RecordBatch, codec: str,
                errors: str = "raise") -> ShreddedBatch:
    """Shreds one prepared (one-column) batch through ``handle``.

    With ``errors="skip"`` a refused document is set aside and the others go through in the
    same pass: the atoms are those a shred of the batch without its refused documents gives
    (exact atoms number every document by its row in ``batch``), and later batches see the
    shapes they would have seen had those documents never been read. A failure that is not
    one document's is raised in both modes, as is every failure with ``"raise"``.
    """
    check_errors(errors)
    if errors == "raise":
        return ShreddedBatch(shredder_ext.shred_arrow(handle, batch), batch.num_rows, [])
    atoms, refused = shredder_ext.shred_arrow(handle, batch, skip=True)
    return ShreddedBatch(atoms, batch.num_rows - len(refused),
                         [Refusal(error.row, str(error)) for error in refused])


def offset_documents(atoms: pa.RecordBatch, offset: int) -> pa.RecordBatch:
    """``atoms`` with its documents numbered from ``offset`` (the engine numbers the rows of the
    batch it was given from 0)."""
    if offset == 0 or DOC_COLUMN not in atoms.schema.names:
        return atoms
    import pyarrow.compute as pc  # imported here, not on loading: see shredder/__init__
    index = atoms.schema.get_field_index(DOC_COLUMN)
    return atoms.set_column(index, atoms.schema.field(index),
                            pc.add(atoms.column(index), pa.scalar(offset, pa.int64())))


@dataclass(frozen=True)
class Rejected:
    """A document that ``shred(..., errors="skip")`` set aside.

    ``row`` is its position in the whole source, from 0; ``document`` is the column's value
    for it (JSON text, or the struct row as a dict)."""

    row: int
    error: str
    document: Any


class Shredding(Iterator[pa.RecordBatch]):
    """The lazy result of ``shred``: iterate it for the atoms batches.

    With ``errors="skip"``, ``rejects`` (a list of ``Rejected``) grows as batches are shredded.
    """

    def __init__(self, batches: Iterator[pa.RecordBatch]) -> None:
        self._batches = batches
        self.rejects: list[Rejected] = []

    def __iter__(self) -> "Shredding":
        return self

    def __next__(self) -> pa.RecordBatch:
        return next(self._batches)


def shred(
    source: Any,
    codec: str | None = None,
    column: int | str | None = None,
    batch_size: int | None = None,
    handle: Any = None,
    errors: str = "raise",
    exact: bool = True,
) -> Shredding:
    """Shreds every batch of ``source`` into an atoms batch, lazily.

    All batches go through one pipeline handle (a new one for ``codec`` unless ``handle`` is
    given; without a ``codec``, the one the documents column's type asks for, as on the
    command line: json for text, arrow for structs), so a path seen as an array in an early
    batch wraps lone values in later ones. Each yielded atoms batch holds all rows of the
    documents of one input batch; batches can differ in columns and column types.
    Input batches that produce no atoms (no rows, or only empty documents) yield a batch
    without columns.

    ``column`` picks the documents column by name or index; without it a source must have one
    column, or one named "doc". Text columns of view types are read as text, and struct fields
    the Arrow codec cannot read (timestamps, dates, decimals, ...) are converted first (see
    ``shredder.core.documents.for_engine``).

    With ``exact`` (the default) every document comes back as it went in: what the columns
    cannot hold is kept in rescue columns (``<object path>___rest``), the ids are the digests of
    the documents as they came in, and the column ``__doc`` numbers every row by its document's
    position in the whole source, from 0. ``exact=False`` gives the plain atoms, which refuse
    what they cannot hold. A ``handle`` given keeps the mode it was made with.

    A refused document raises ``ValueError`` whose ``row`` attribute is its position in the
    whole source, from 0 (None for a failure of a whole batch); with ``errors="skip"`` it is
    set aside in the result's ``rejects`` instead and the run goes on.
    """
    if codec is not None:
        check_codec(codec)
    check_errors(errors)

    def generate() -> Iterator[pa.RecordBatch]:
        nonlocal codec, handle
        first_row = 0
        for batch in iter_batches(source, batch_size):
            index = pick_column(batch.schema.names, column, "column=")
            codec = codec or natural_codec(batch.schema.field(index).type) or "json"
            handle = handle or shredder_ext.create_controller(codec, exact=exact)
            prepared = documents_batch(batch, index, codec)
            try:
                shredded = shred_batch(handle, prepared, codec, errors)
            except ValueError as error:
                row = failing_row(error, prepared)
                _set_row(error, None if row is None else first_row + row)
                raise
            documents = prepared.column(0)
            result.rejects.extend(Rejected(first_row + r.row, r.error, documents[r.row].as_py())
                                  for r in shredded.refused)
            yield offset_documents(shredded.atoms, first_row)
            first_row += batch.num_rows

    result = Shredding(generate())
    return result


def _set_row(error: ValueError, row: int | None) -> None:
    try:
        error.row = row  # type: ignore[attr-defined]
    except AttributeError:
        pass
