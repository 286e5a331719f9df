"""The work of one partition of a shred job, run on a worker: its documents shredded through
one pipeline handle, its parts, refused documents and differences written under temporary names
and renamed when complete, then its marker.
"""

from __future__ import annotations

import json
import uuid
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pyarrow as pa

import shredder_ext
from shredder import _fs, _partitions
from shredder._api import failing_row, shred_batch
from shredder._batches import BATCH_BYTES, Batch, LineCounter, Places, partition_batches
from shredder._dataset import ATOM_FORMATS, PART_PREFIX
from shredder._errors import UserError
from shredder._partitions import Partition
from shredder._path_stats import DatasetStats
from shredder._parts import DEFAULT_COMPRESSION, write_part
from shredder._rejects import document_fields
from shredder._schema import schema_to_json
from shredder._shred_check import ShredCheck, input_documents

SKIP_HINT = "use --on-error skip to set refused documents aside and go on"


@dataclass(frozen=True)
class ShredOptions:
    fmt: str = "parquet"
    codec: str | None = None
    column: str | None = None
    batch_size: int = 10_000
    partition_size: int = _partitions.DEFAULT_PARTITION_SIZE
    errors: str = "raise"
    max_rejects: int | None = None
    compression: str = DEFAULT_COMPRESSION
    verify: bool = False  # the shred check: rebuild each batch and compare it with its input
    batch_bytes: int = BATCH_BYTES  # JSON Lines text per batch, at most
    exact: bool = True  # every document kept whole (rescue columns, input order)


@dataclass(frozen=True)
class ShredTask:
    partition: Partition
    output: str  # where its parts and refused documents go: the staging folder, or the output
    options: ShredOptions
    markers: str  # where its marker goes: the staging folder


def part_name(partition: int, batch: int, fmt: str) -> str:
    return f"{PART_PREFIX}{partition:05d}-{batch:05d}{ATOM_FORMATS[fmt]}"


def marker_name(partition: int) -> str:
    return f"partition-{partition:05d}.json"


def rejects_name(partition: int) -> str:
    return f"rejects-{partition:05d}.jsonl"


def verify_name(partition: int) -> str:
    return f"verify-{partition:05d}.jsonl"


def _write_part(location: _fs.Location, atoms: pa.RecordBatch, options: ShredOptions) -> int:
    """Writes a part whole under its final name; returns its bytes."""
    location.write_atomically(
        lambda stream: write_part(atoms, stream, options.fmt, options.compression))
    return location.size()


class _Rejects:
    """A partition's refused documents, written as JSON Lines under a temporary name and
    renamed when the partition is done (nothing when none was refused)."""

    def __init__(self, location: _fs.Location) -> None:
        self.location = location
        self.records: list[bytes] = []

    def add(self, record: dict[str, Any]) -> None:
        self.records.append((json.dumps(record, ensure_ascii=False) + "\n").encode())

    def commit(self) -> bool:
        if not self.records:
            return False
        self.location.write_bytes(b"".join(self.records))
        return True


class _Report:
    """Records written as JSON Lines while a partition runs (a shred check's differences may
    be many, so they are not held in memory), under a temporary name renamed when the partition
    is done (object stores: stored whole when the stream closes, deleted on abort)."""

    def __init__(self, location: _fs.Location) -> None:
        self.location = location
        self._target: _fs.Location | None = None
        self._stream: Any = None

    def write(self, record: dict[str, Any]) -> None:
        if self._stream is None:
            self._target = self.location if self.location.object_store else \
                self.location.parent().child(
                    f"{_fs.TEMP_PREFIX}{uuid.uuid4().hex}-{self.location.name}")
            self._stream = self._target.fs.open_output_stream(self._target.path,
                                                              compression=None)
        self._stream.write((json.dumps(record, ensure_ascii=False) + "\n").encode())

    def commit(self) -> bool:
        if self._stream is None or self._target is None:
            return False
        self._stream.close()
        if self._target != self.location:
            self.location.fs.move(self._target.path, self.location.path)
        return True

    def abort(self) -> None:
        if self._stream is None or self._target is None:
            return
        try:
            self._stream.close()
            self._target.delete()
        except (OSError, pa.ArrowException, UserError):
            pass


def _check_batch(check: ShredCheck, places: Places, docs: Batch, kept: list[int] | None,
                 atoms_pieces: list[pa.RecordBatch], counts: list[int]) -> None:
    """Compares the documents of a batch that went through with what their atoms rebuild to;
    the atoms pieces hold the rows left after the refused ones, in order."""
    rows = kept if kept is not None else list(range(docs.batch.num_rows))
    documents = input_documents(docs.batch, docs.codec)
    start = 0
    for atoms, count in zip(atoms_pieces, counts):
        piece = rows[start:start + count]
        start += count
        check.check([documents[r] for r in piece], atoms,
                    [dict([places.location(docs, r)]) for r in piece])


def shred_partition(task: ShredTask,
                    on_batch: Callable[[int, int], None] | None = None) -> dict[str, Any]:
    """Shreds one partition through its own pipeline handle, writes its parts, its refused
    documents, its differences (with the shred check) and its marker, and returns the marker's
    content. Runs on a worker;
    deterministic, so a retried or resumed partition writes the same bytes again."""
    partition, options = task.partition, task.options
    folder = _fs.resolve(task.output)
    counter = LineCounter()
    places = Places(partition)
    rejects = _Rejects(folder.child(rejects_name(partition.index)))
    report = _Report(folder.child(verify_name(partition.index))) if options.verify else None
    check = ShredCheck(report) if options.verify else None
    try:
        result = _shred_partition(task, folder, counter, places, rejects, check, on_batch)
        result["verify_file"] = \
            report.location.name if report is not None and report.commit() else None
    except BaseException:
        if report is not None:
            report.abort()
        raise
    _fs.resolve(task.markers).child(marker_name(partition.index)).write_bytes(
        json.dumps(result).encode())
    return result


def _shred_partition(task: ShredTask, folder: _fs.Location, counter: LineCounter,
                     places: Places, rejects: _Rejects, check: ShredCheck | None,
                     on_batch: Callable[[int, int], None] | None) -> dict[str, Any]:
    partition, options = task.partition, task.options
    handle = None
    codec = None
    parts: list[dict[str, Any]] = []
    documents = rows = 0  # rows: of the input, refused ones too (Parquet, Arrow, JSON files)
    first_refusal = last_refusal = None
    stats = DatasetStats()  # what inspect shows of each path, counted here while at hand
    for number, docs in enumerate(partition_batches(partition, options, counter)):
        if handle is None:
            codec = docs.codec
            handle = shredder_ext.create_controller(codec, exact=options.exact)
        try:
            shredded = shred_batch(handle, docs.batch, docs.codec, options.errors)
        except ValueError as error:
            raise UserError(_refusal_message(partition, places, docs, error,
                                             options.errors == "skip")) from None
        for refusal in shredded.refused:
            key, position = places.location(docs, refusal.row)
            record = {"input": partition.source, key: position, "error": refusal.error}
            record.update(document_fields(docs.batch.column(0)[refusal.row].as_py()))
            rejects.add(record)
            last_refusal = f"{partition.source}:{key} {position}: {refusal.error}"
            first_refusal = first_refusal or last_refusal
            if options.max_rejects is not None and len(rejects.records) > options.max_rejects:
                raise UserError(too_many(options.max_rejects, last_refusal))
        kept = [row for row in range(docs.batch.num_rows)
                if row not in {r.row for r in shredded.refused}] if shredded.refused else None
        if check is not None:
            _check_batch(check, places, docs, kept, shredded.atoms, shredded.documents)
        start = 0
        for piece, (atoms, count) in enumerate(zip(shredded.atoms, shredded.documents)):
            documents += count
            if atoms.num_columns > 0:
                name = part_name(partition.index, number, options.fmt) if piece == 0 else \
                    f"{PART_PREFIX}{partition.index:05d}-{number:05d}-{piece}" \
                    f"{ATOM_FORMATS[options.fmt]}"
                size = _write_part(folder.child(name), atoms, options)
                stats.add_batch(atoms)
                first = docs.position(kept[start] if kept else start)
                last = docs.position(kept[start + count - 1] if kept else start + count - 1)
                parts.append({"file": name, "rows": atoms.num_rows, "documents": count,
                              "first": first, "last": last, "bytes": size,
                              "schema": schema_to_json(atoms.schema)})
            start += count
        rows += docs.batch.num_rows
        if on_batch is not None:  # the documents that went through, as the result counts them
            on_batch(sum(shredded.documents), docs.nbytes)
    return {"partition": partition.key(), "codec": codec, "parts": parts,
            "documents": documents, "bytes": partition.nbytes,
            "positions": counter.lines if partition.kind == "jsonl" else rows,
            "rejects": len(rejects.records),
            "rejects_file": rejects.location.name if rejects.commit() else None,
            "first_refusal": first_refusal, "last_refusal": last_refusal,
            "paths": stats.to_json(),
            "verify": None if check is None else {
                "documents": check.documents, "changed": check.documents_changed,
                "counts": dict(check.counts)}}


def _refusal_message(partition: Partition, places: Places, docs: Batch, error: ValueError,
                     skip: bool) -> str:
    row = failing_row(error, docs.batch)
    if row is None:  # not one document's fault: skipping cannot help
        return f"{partition.source}: {error}"
    message = f"{partition.source}:{places.where(docs, row)}: {error}"
    return message if skip else f"{message} ({SKIP_HINT})"


def too_many(limit: int, last: str | None) -> str:
    return f"more than {limit:,} documents refused (--max-rejects); the last: {last}"
