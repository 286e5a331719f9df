"""Rebuilding documents from atoms batches through one pipeline handle; in skip mode, the
documents that cannot be rebuilt are set aside and the others kept."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import pyarrow as pa

import shredder_ext
from shredder.core.names import doc_column, txn_column
from shredder.core.sources import check_codec, check_errors, raw_batches
from shredder.core.verify import VerifyReport, verify_documents


@dataclass(frozen=True)
class UnshredRejected:
    """Documents that ``unshred(..., errors="skip")`` could not rebuild or write: their
    ``__txn_id`` (None when the atoms carry none, and the whole batch is meant), why, and
    the document as the atoms group it (its ``__doc`` number in exact atoms)."""

    txn_id: str | None
    error: str
    document: Any = None


class Unshredding(Iterator[pa.RecordBatch]):
    """The lazy result of ``unshred``: iterate it for the documents batches.

    With ``verify`` set, ``report`` (a ``VerifyReport``) grows as batches are produced; with
    ``errors="skip"``, so does ``rejects`` (a list of ``UnshredRejected``).
    """

    def __init__(self, batches: Iterator[pa.RecordBatch], verify: bool) -> None:
        self._batches = batches
        self.report: VerifyReport | None = VerifyReport() if verify else None
        self.rejects: list[UnshredRejected] = []

    def __iter__(self) -> "Unshredding":
        return self

    def __next__(self) -> pa.RecordBatch:
        return next(self._batches)


def _document_groups(atoms: pa.RecordBatch) -> tuple[dict[Any, list[int]], list[Any],
                                                     dict[Any, str | None]] | None:
    """The rows of each document of ``atoms``, the documents in the order unshredding gives
    them back, and each one's id; None when the atoms say neither."""
    doc = doc_column(atoms.schema)
    txn = txn_column(atoms.schema.names)
    key = doc if doc is not None else txn
    if key is None:
        return None
    groups: dict[Any, list[int]] = {}
    for row, value in enumerate(atoms.column(key).to_pylist()):
        groups.setdefault(value, []).append(row)
    ids: dict[Any, str | None] = {}
    txn_values = atoms.column(txn).to_pylist() if txn is not None else None
    for value, rows in groups.items():
        ids[value] = None if txn_values is None else txn_values[rows[0]]
        if doc is None:
            ids[value] = value
    if doc is not None:
        order = sorted(groups, key=lambda v: (v is None, v if v is not None else 0))
    else:
        order = sorted(groups, key=lambda v: (v is None, str(v)))
    return groups, order, ids


def unshred_batch(handle: Any, atoms: pa.RecordBatch, errors: str = "raise",
                  stamps: bool = True) -> tuple[pa.RecordBatch | None, list[UnshredRejected]]:
    """Rebuilds the documents of one atoms batch through ``handle``.

    With ``errors="skip"`` the documents that cannot be rebuilt are left out in the same pass
    and refused. When the batch itself cannot be read (its columns), every document it holds
    is refused with that error, or the whole batch, without a ``__txn_id`` or ``__doc``
    column to tell its documents apart; None is returned for the documents when none is
    left. ``stamps=False`` leaves the ids out of the rebuilt objects.
    """
    check_errors(errors)
    if errors == "raise":
        return shredder_ext.unshred_arrow(handle, atoms, stamps=stamps), []
    try:
        documents, refused = shredder_ext.unshred_arrow(handle, atoms, stamps=stamps, skip=True)
    except ValueError as error:
        found = _document_groups(atoms)
        if found is None:
            return None, [UnshredRejected(None, str(error))]
        _, order, ids = found
        return None, [_rejected(ids, key, str(error)) for key in order]
    if not refused:
        return documents, []
    found = _document_groups(atoms)
    assert found is not None  # the engine tells documents apart by these columns too
    _, _, ids = found
    key_column = doc_column(atoms.schema)
    if key_column is None:
        key_column = txn_column(atoms.schema.names)
    keys = atoms.column(key_column)
    rejects = [_rejected(ids, keys[error.row].as_py(), str(error)) for error in refused]
    return (documents if documents.num_rows else None), rejects


def _rejected(ids: dict[Any, str | None], key: Any, error: str) -> UnshredRejected:
    return UnshredRejected(None if ids[key] is None else str(ids[key]), error, key)


def expected_ids(atoms: pa.RecordBatch, refused: list[UnshredRejected]) -> list[str | None] | None:
    """The ids the documents that ``unshred_batch`` rebuilt from exact ``atoms`` must digest
    to, in the order it gives them back; None for atoms that are not exact."""
    if doc_column(atoms.schema) is None:
        return None
    found = _document_groups(atoms)
    assert found is not None
    _, order, ids = found
    left_out = {r.document for r in refused}
    return [ids[key] for key in order if key not in left_out]


def unshred(atoms: Any, codec: str = "json", verify: bool = False,
            errors: str = "raise", stamps: bool = True) -> Unshredding:
    """Rebuilds documents from atoms batches, lazily: one documents batch per atoms batch.

    Every atoms batch must hold all rows of its documents, as ``shred`` yields them. A table is
    combined into one batch first (file readers split columns into chunks at arbitrary rows).
    Exact atoms give their documents back as they went in, in input order, repeats included;
    plain atoms give them in ascending order of their ``__txn_id`` within each batch,
    documents with equal content once. ``stamps=False`` leaves ``__txn_id`` and ``__obj_id``
    out of every object. With the ``json`` codec the result holds a utf8 column ``doc`` of
    JSON text; with ``arrow``, a struct column ``doc``. With ``verify`` the returned iterator's
    ``report`` counts the documents that came back exactly (see ``verify_documents``), checked
    before the stamps are dropped. With ``errors="skip"`` documents that cannot be rebuilt are
    left out and listed in ``rejects``.
    """
    check_codec(codec)
    check_errors(errors)
    if isinstance(atoms, pa.Table):
        atoms = atoms.combine_chunks().to_batches()

    def generate() -> Iterator[pa.RecordBatch]:
        handle = shredder_ext.create_controller(codec)
        for batch in raw_batches(atoms):
            if batch.num_columns == 0:
                continue
            documents, report = unshred_and_verify(handle, batch, codec, errors, stamps,
                                                   result.report is not None, result.rejects)
            if report is not None and result.report is not None:
                result.report.add(report)
            if documents is not None:
                yield documents

    result = Unshredding(generate(), verify)
    return result


def unshred_and_verify(handle: Any, atoms: pa.RecordBatch, codec: str, errors: str,
                       stamps: bool, verify: bool, rejects: list[UnshredRejected]
                       ) -> tuple[pa.RecordBatch | None, VerifyReport | None]:
    """One atoms batch rebuilt, and with ``verify`` checked against the ids: those of the atoms
    for exact atoms, those the documents carry otherwise (rebuilt with their stamps first)."""
    documents, refused = unshred_batch(handle, atoms, errors, stamps)
    rejects.extend(refused)
    if not verify or documents is None:
        return documents, None
    expected = expected_ids(atoms, refused)
    if expected is not None or stamps:
        return documents, verify_documents(documents, codec, expected)
    stamped, _ = unshred_batch(handle, atoms, errors, stamps=True)
    return documents, verify_documents(stamped, codec) if stamped is not None else None
