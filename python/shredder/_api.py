"""Dataset-level shred and unshred over one pipeline handle."""

from __future__ import annotations

import json
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any

import pyarrow as pa
import pyarrow.compute as pc

import shredder_ext
from shredder import _verify
from shredder._columns import documents_batch, natural_codec, pick_column
from shredder._paths import DOC_COLUMN

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


ERRORS = ("raise", "skip")


def _check_errors(errors: str) -> None:
    if errors not in ERRORS:
        raise ValueError(f"unknown errors mode {errors!r}: expected one of {', '.join(ERRORS)}")


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
    """The outcome of ``shred_batch``: atoms batches in order (one, unless the column types of
    the documents between refusals disagree), the documents each holds, and the refused
    documents."""

    atoms: list[pa.RecordBatch]
    documents: list[int]
    refused: list[Refusal]


def shred_batch(handle: Any, batch: pa.RecordBatch, codec: str,
                errors: str = "raise") -> ShreddedBatch:
    """Shreds one prepared (one-column) batch through ``handle``.

    With ``errors="skip"`` a refused document is set aside and the run goes on after it. A
    failed shred leaves the handle as it was, so the documents before the refused one go
    through again the same way; they are shredded as a run of their own, the rest of the batch
    follows, and the runs' atoms are joined. The atoms are those a single shred of the batch
    without its refused documents gives, and later batches see the shapes they would have seen
    had those documents never been read. Where the runs disagree on a column's type (which a
    single shred would have resolved by widening or boxing) they stay separate batches. A
    failure that is not one document's is raised in both modes, as is every failure with
    ``"raise"``.
    """
    _check_errors(errors)
    refused: list[Refusal] = []
    runs: list[tuple[pa.RecordBatch, int]] = []
    start = 0
    while True:
        current = batch.slice(start)
        try:
            runs.append((offset_documents(shredder_ext.shred_arrow(handle, current), start),
                         current.num_rows))
            break
        except ValueError as error:
            row = failing_row(error, current)
            if errors == "raise" or row is None:
                raise
            refused.append(Refusal(start + row, str(error)))
        if row > 0:
            runs.append((offset_documents(
                shredder_ext.shred_arrow(handle, current.slice(0, row)), start), row))
        start += row + 1
    atoms, documents = _join_runs(runs)
    return ShreddedBatch(atoms, documents, refused)


def _join_runs(runs: list[tuple[pa.RecordBatch, int]]) -> tuple[list[pa.RecordBatch],
                                                               list[int]]:
    """Joins consecutive atoms batches whose columns agree in type (a column of nulls only
    agrees with any)."""
    groups: list[tuple[list[pa.RecordBatch], int, dict[str, pa.DataType]]] = []
    for atoms, documents in runs:
        types = {f.name: f.type for f in atoms.schema}
        if groups and _agree(groups[-1][2], types) and _keys_agree(groups[-1][0], atoms):
            batches, count, merged = groups[-1]
            for name, t in types.items():
                if not pa.types.is_null(t) or name not in merged:
                    merged[name] = t
            groups[-1] = (batches + [atoms], count + documents, merged)
        else:
            groups.append(([atoms], documents, dict(types)))
    joined = [(_concat(batches), count) for batches, count, _ in groups]
    return [atoms for atoms, _ in joined], [count for _, count in joined]


def _agree(merged: dict[str, pa.DataType], types: dict[str, pa.DataType]) -> bool:
    return all(merged.get(name, t) == t or pa.types.is_null(t) or pa.types.is_null(merged[name])
               for name, t in types.items())


def _keys_agree(batches: list[pa.RecordBatch], atoms: pa.RecordBatch) -> bool:
    """Whether the columns of ``atoms`` hold the same members (key lists) as the columns of
    the same names in ``batches``: a name that two paths share must stay in separate batches."""
    for earlier in batches:
        for field in atoms.schema:
            index = earlier.schema.get_field_index(field.name)
            if index >= 0 and earlier.schema.field(index).metadata != field.metadata:
                return False
    return True


def document_column(schema: pa.Schema) -> str | None:
    """The column numbering the rows of exact atoms by document, when there is one."""
    return DOC_COLUMN if DOC_COLUMN in schema.names else None


def offset_documents(atoms: pa.RecordBatch, offset: int) -> pa.RecordBatch:
    """``atoms`` with its documents numbered from ``offset`` (the engine numbers the rows of the
    batch it was given from 0)."""
    if offset == 0 or DOC_COLUMN not in atoms.schema.names:
        return atoms
    index = atoms.schema.get_field_index(DOC_COLUMN)
    return atoms.set_column(index, atoms.schema.field(index),
                            pc.add(atoms.column(index), pa.scalar(offset, pa.int64())))


def _concat(batches: list[pa.RecordBatch]) -> pa.RecordBatch:
    with_columns = [b for b in batches if b.num_columns]
    if len(with_columns) <= 1:
        return with_columns[0] if with_columns else batches[0]
    # Columns come in order of first appearance, as one shred of all the rows would put them.
    table = pa.concat_tables([pa.Table.from_batches([b]) for b in with_columns],
                             promote_options="default")
    return table.combine_chunks().to_batches()[0]


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
    documents of one input batch (of part of one, when many refusals in skip mode split it);
    batches can differ in columns and column types.
    Input batches that produce no atoms (no rows, or only empty documents) yield a batch
    without columns.

    ``column`` picks the documents column by name or index; without it a source must have one
    column, or one named "doc". Text columns of view types are read as text, and struct fields
    the Arrow codec cannot read (timestamps, dates, decimals, ...) are converted first (see
    ``shredder._columns.for_engine``).

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
        _check_codec(codec)
    _check_errors(errors)

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
            yield from (offset_documents(atoms, first_row) for atoms in shredded.atoms)
            first_row += batch.num_rows

    result = Shredding(generate())
    return result


def _set_row(error: ValueError, row: int | None) -> None:
    try:
        error.row = row  # type: ignore[attr-defined]
    except AttributeError:
        pass


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


def txn_column(schema: pa.Schema) -> str | None:
    """The column holding the documents' ids, as unshredding picks it."""
    if TXN_COLUMN in schema.names:
        return TXN_COLUMN
    return next((name for name in schema.names if name.endswith("__txn_id")), None)


def _document_groups(atoms: pa.RecordBatch) -> tuple[dict[Any, list[int]], list[Any],
                                                     dict[Any, str | None]] | None:
    """The rows of each document of ``atoms``, the documents in the order unshredding gives
    them back, and each one's id; None when the atoms say neither."""
    doc = document_column(atoms.schema)
    txn = txn_column(atoms.schema)
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

    With ``errors="skip"``, when the batch fails, its documents are taken in the order they
    come back and each is kept when the documents kept so far and it still rebuild together;
    those that do not are refused. Without a ``__txn_id`` or ``__doc`` column the whole batch
    is refused (None is returned for the documents then). ``stamps=False`` leaves the ids out
    of the rebuilt objects.
    """
    _check_errors(errors)
    try:
        return shredder_ext.unshred_arrow(handle, atoms, stamps=stamps), []
    except ValueError as error:
        if errors == "raise":
            raise
        first_error = error
    found = _document_groups(atoms)
    if found is None:
        return None, [UnshredRejected(None, str(first_error))]
    groups, order, ids = found
    refused: list[UnshredRejected] = []
    best: list[pa.RecordBatch | None] = [None]

    def attempt(keys: list[Any]) -> str | None:
        rows = sorted(r for key in keys for r in groups[key])
        try:
            best[0] = shredder_ext.unshred_arrow(
                handle, atoms.take(pa.array(rows, pa.int64())), stamps=stamps)
        except ValueError as error:
            return str(error)
        return None

    def grow(kept: list[Any], candidates: list[Any], known_error: str | None) -> list[Any]:
        if not candidates:
            return kept
        failure = known_error if known_error is not None else attempt(kept + candidates)
        if failure is None:
            return kept + candidates
        if len(candidates) == 1:
            key = candidates[0]
            refused.append(UnshredRejected(None if ids[key] is None else str(ids[key]),
                                           failure, key))
            return kept
        half = len(candidates) // 2
        kept = grow(kept, candidates[:half], None)
        return grow(kept, candidates[half:], None)

    # Every successful attempt is of the documents kept from then on, so the last one made
    # holds exactly the documents kept.
    kept = grow([], order, str(first_error))
    return (best[0] if kept else None), refused


def expected_ids(atoms: pa.RecordBatch, refused: list[UnshredRejected]) -> list[str | None] | None:
    """The ids the documents that ``unshred_batch`` rebuilt from exact ``atoms`` must digest
    to, in the order it gives them back; None for atoms that are not exact."""
    if document_column(atoms.schema) is None:
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
    _check_codec(codec)
    _check_errors(errors)
    if isinstance(atoms, pa.Table):
        atoms = atoms.combine_chunks().to_batches()

    def generate() -> Iterator[pa.RecordBatch]:
        handle = shredder_ext.create_controller(codec)
        for batch in _raw_batches(atoms):
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


@dataclass
class VerifyReport:
    """Outcome of checking rebuilt documents against the content ids they carry.

    ``changed_ids`` are documents whose digest differs from their id; ``refused_ids`` those
    that the check's own shred refused, so that no digest could be computed for them."""

    exact: int = 0
    changed_ids: list[str] = field(default_factory=list)
    refused_ids: list[str] = field(default_factory=list)

    @property
    def checked(self) -> int:
        return self.exact + len(self.changed_ids) + len(self.refused_ids)

    def add(self, other: "VerifyReport") -> None:
        self.exact += other.exact
        self.changed_ids.extend(other.changed_ids)
        self.refused_ids.extend(other.refused_ids)


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


def verify_documents(documents: pa.RecordBatch, codec: str = "json",
                     expected: list[str | None] | None = None) -> VerifyReport:
    """Shreds every rebuilt document again as if through its own fresh handle and compares the
    digest it gets with the ``__txn_id`` the document carries.

    Equal means the document came back exactly as it went in (before its ids were stamped). A
    document that carries no id, or whose digest differs, counts as changed; one that the check
    cannot shred again counts as refused. The documents of a batch share fresh handles where
    that gives the same verdicts (see ``_verify``).
    """
    _check_codec(codec)
    report = VerifyReport()
    if expected is not None:
        return _verify_exact(documents, codec, expected)
    # JSON texts go to the check as the Arrow column they are, with no Python string each
    texts = documents.column(0) if codec == "json" else _documents_as_json(documents, codec)
    for row, verdict in enumerate(_verify.verdicts(texts)):
        name = verdict.carried if verdict.carried is not None else f"<row {row}>"
        if verdict.status == _verify.EXACT:
            report.exact += 1
        elif verdict.status == _verify.REFUSED:
            report.refused_ids.append(name)
        else:
            report.changed_ids.append(name)
    return report


def _verify_exact(documents: pa.RecordBatch, codec: str, expected: list[str | None]) -> VerifyReport:
    """Exact documents against the ids their atoms hold, in order: an exact id is the digest of
    the document as it came in, whatever came before it, so each is digested alone."""
    report = VerifyReport()
    handle = shredder_ext.create_controller(codec, exact=True)
    digests = shredder_ext._digest_arrow(handle, documents)
    for row, (digest, refusal) in enumerate(zip(digests.column(0).to_pylist(),
                                                 digests.column(1).to_pylist())):
        name = expected[row] if row < len(expected) and expected[row] is not None \
            else f"<row {row}>"
        if refusal is not None:
            report.refused_ids.append(name)
        elif row < len(expected) and digest == expected[row]:
            report.exact += 1
        else:
            report.changed_ids.append(name)
    return report
