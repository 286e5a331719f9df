"""Partitioned shred and unshred jobs: the work of one partition (run on a worker) and the
driver that hands partitions out, follows progress and writes the manifest last.

A shred job stages its work in ``_partitions/`` inside the output folder: per partition, one
part file per batch (``part-PPPPP-BBBBB.parquet``), the refused documents
(``rejects-PPPPP.jsonl``) and, with the shred check, its differences (``verify-PPPPP.jsonl``),
each written under a temporary name and renamed when complete, then a small marker
``partition-PPPPP.json`` with its parts, their bytes and schemas, and its counts. When every
partition is done, the driver replaces the dataset the folder held (its manifest first), moves
the staged files to their places, joins the differences into ``_verify/differences.jsonl`` in
partition order, writes ``_shredder.json`` listing the parts in input order with the unified
schema and the byte counts, and removes ``_partitions/``. Until then the folder holds its
earlier dataset or none; ``resume`` reuses the partitions whose markers match the job and runs
the rest. On object stores, where a move is a copy, files are written in place (each object
appears whole) and the manifest still comes last.
"""

from __future__ import annotations

import gzip
import io
import json
import os
import time
import uuid
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Executor, Future
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.ipc as ipc
import pyarrow.parquet as pq

import shredder_ext
from shredder import _executors, _fs, _interrupts, _io, _partitions
from shredder._api import VerifyReport, failing_row, shred_batch, unshred_batch, verify_documents
from shredder._columns import documents_batch
from shredder._dataset import (
    ATOM_FORMATS,
    PART_PREFIX,
    REJECTS_FOLDER,
    VERIFY_FOLDER,
    VERIFY_REPORT,
    dataset_files,
)
from shredder._errors import UserError
from shredder._manifest import INCOMPLETE, MANIFEST, Manifest, Part, parse_manifest
from shredder._partitions import Partition
from shredder._parts import DEFAULT_COMPRESSION, check_compression, write_part
from shredder._progress import JobProgress
from shredder._rejects import document_fields
from shredder._schema import SchemaUnifier, schema_from_json, schema_to_json
from shredder._shred_check import ShredCheck, input_documents

MARKERS = "_partitions"
JOB_FILE = "job.json"
REJECTS = REJECTS_FOLDER
SKIP_HINT = "use --on-error skip to set refused documents aside and go on"
_READ_CHUNK = 8 * 2**20


# ---- options, tasks and results ---------------------------------------------------------------


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


@dataclass(frozen=True)
class ShredTask:
    partition: Partition
    output: str  # where its parts and refused documents go: the staging folder, or the output
    options: ShredOptions
    markers: str  # where its marker goes: the staging folder


@dataclass
class ShredSummary:
    """What a shred job did."""

    documents: int
    parts: int
    bytes: int
    seconds: float
    rejects: int = 0
    partitions: int = 0
    output: str = ""
    atoms_bytes: int = 0
    check: ShredCheck | None = None  # the shred check's counts, when it ran

    def __repr__(self) -> str:
        checked = "" if self.check is None else (
            f", verified={self.check.documents:,}, "
            f"with_differences={self.check.documents_changed:,}, lost={self.check.lost:,}")
        return (f"ShredSummary(documents={self.documents:,}, parts={self.parts}, "
                f"bytes={self.bytes:,}, atoms_bytes={self.atoms_bytes:,}, "
                f"seconds={self.seconds:.2f}, rejects={self.rejects}, "
                f"partitions={self.partitions}{checked}, output={self.output!r})")


@dataclass
class UnshredSummary:
    """What an unshred job did; ``verify`` holds the verification report when asked for."""

    documents: int
    parts: int
    bytes: int
    seconds: float
    rejects: int = 0
    output: str = ""
    verify: VerifyReport | None = None

    def __repr__(self) -> str:
        checked = "" if self.verify is None else (
            f", exact={self.verify.exact:,}, changed={len(self.verify.changed_ids):,}, "
            f"refused={len(self.verify.refused_ids):,}")
        return (f"UnshredSummary(documents={self.documents:,}, parts={self.parts}, "
                f"bytes={self.bytes:,}, seconds={self.seconds:.2f}, rejects={self.rejects}"
                f"{checked}, output={self.output!r})")


# ---- reading one partition ----------------------------------------------------------------------


@dataclass
class _Batch:
    """A batch of a partition's documents and where its rows are: JSON Lines rows by their
    line in the partition (from 1), others by their row in the partition (from 0)."""

    batch: pa.RecordBatch
    codec: str
    first: int
    lines: list[int] | None
    nbytes: int

    def position(self, row: int) -> int:
        return self.lines[row] if self.lines is not None else self.first + row

    @property
    def last(self) -> int:
        return self.position(self.batch.num_rows - 1) if self.batch.num_rows else self.first


class _LineCounter:
    """Counts the lines of a JSON Lines partition as they are read (empty ones too)."""

    def __init__(self) -> None:
        self.lines = 0


def _input(partition: Partition) -> _fs.Location:
    """The partition's input file, named in messages as the user named it."""
    location = _fs.resolve(partition.location)
    return _fs.Location(location.fs, location.path, partition.source)


def _byte_chunks(partition: Partition) -> Iterator[bytes]:
    if partition.data is not None:
        yield partition.data
        return
    location = _input(partition)
    try:
        if partition.whole:
            with location.fs.open_input_stream(location.path, compression="detect") as stream:
                while chunk := stream.read(_READ_CHUNK):
                    yield chunk
            return
        with location.open_input() as stream:
            stream.seek(partition.start)
            remaining = partition.stop - partition.start
            while remaining > 0:
                chunk = stream.read(min(_READ_CHUNK, remaining))
                if not chunk:
                    raise UserError(f"{location}: file shrank while being read")
                remaining -= len(chunk)
                yield chunk
    except (OSError, pa.ArrowException, EOFError) as error:
        raise UserError(f"{location}: cannot read: {error}") from None


def _json_lines_batches(partition: Partition, batch_size: int,
                        counter: _LineCounter) -> Iterator[_Batch]:
    lines: list[bytes] = []
    numbers: list[int] = []
    nbytes = 0
    number = 0
    rest = b""
    for chunk in _byte_chunks(partition):
        pieces = (rest + chunk).split(b"\n") if rest else chunk.split(b"\n")
        rest = pieces.pop()
        for line in pieces:
            number += 1
            nbytes += len(line) + 1
            line = line.rstrip(b"\r")
            if not line.strip():
                continue
            lines.append(line)
            numbers.append(number)
            if len(lines) == batch_size:
                yield _Batch(_io._binary_batch(lines), "json", numbers[0], numbers, nbytes)
                lines, numbers, nbytes = [], [], 0
    if rest:
        number += 1
        nbytes += len(rest)
        line = rest.rstrip(b"\r")
        if line.strip():
            lines.append(line)
            numbers.append(number)
    counter.lines = number
    if lines:
        yield _Batch(_io._binary_batch(lines), "json", numbers[0], numbers, nbytes)


def _json_file_batches(partition: Partition, batch_size: int) -> Iterator[_Batch]:
    stream = io.BytesIO(b"".join(_byte_chunks(partition)))
    for docs in _io.json_file_batches(stream, partition.source, batch_size, "json"):
        yield _Batch(docs.batch, "json", docs.first_row, None, docs.nbytes)


def _table_batches(partition: Partition, options: ShredOptions) -> Iterator[_Batch]:
    location = _input(partition)
    try:
        with location.open_input() as stream:
            if partition.kind == "parquet":
                reader = pq.ParquetFile(stream)
                schema = reader.schema_arrow
                index = _io._pick_column(location, schema, options.column)
                codec = _io._codec_for(location, schema.field(index), options.codec)
                batches: Iterable[pa.RecordBatch] = reader.iter_batches(
                    batch_size=options.batch_size, columns=[schema.names[index]],
                    row_groups=list(range(partition.start, partition.stop)))
            else:
                reader = ipc.open_file(stream)
                index = _io._pick_column(location, reader.schema, options.column)
                codec = _io._codec_for(location, reader.schema.field(index), options.codec)
                batches = _ipc_range(reader, index, partition, options.batch_size)
            position = 0
            for batch in batches:
                yield _Batch(documents_batch(batch, 0, codec), codec, position, None,
                             batch.nbytes)
                position += batch.num_rows
    except (OSError, pa.ArrowInvalid, pa.ArrowNotImplementedError) as error:
        raise UserError(f"{location}: cannot read: {error}") from None


def _ipc_range(reader: Any, index: int, partition: Partition,
               batch_size: int) -> Iterator[pa.RecordBatch]:
    for number in range(partition.start, partition.stop):
        batch = reader.get_batch(number).select([index])
        for start in range(0, batch.num_rows, batch_size):
            yield batch.slice(start, batch_size)


def _whole_ipc_batches(partition: Partition, options: ShredOptions) -> Iterator[_Batch]:
    """An IPC stream (not the file format) has no index of its batches: read it whole."""
    location = _input(partition)
    data = location.read_bytes()
    try:
        reader = ipc.open_stream(pa.BufferReader(data))
        index = _io._pick_column(location, reader.schema, options.column)
        codec = _io._codec_for(location, reader.schema.field(index), options.codec)
        position = 0
        for batch in reader:
            batch = batch.select([index])
            for start in range(0, batch.num_rows, options.batch_size):
                piece = batch.slice(start, options.batch_size)
                yield _Batch(documents_batch(piece, 0, codec), codec, position, None,
                             piece.nbytes)
                position += piece.num_rows
    except (OSError, pa.ArrowInvalid, pa.ArrowNotImplementedError) as error:
        raise UserError(f"{location}: cannot read: {error}") from None


def _partition_batches(partition: Partition, options: ShredOptions,
                       counter: _LineCounter) -> Iterator[_Batch]:
    if partition.kind in ("jsonl", "json") and options.codec not in (None, "json"):
        raise UserError(f"{partition.source}: JSON input needs the json codec, "
                        f"not {options.codec!r}")
    if partition.kind == "jsonl":
        return _json_lines_batches(partition, options.batch_size, counter)
    if partition.kind == "json":
        return _json_file_batches(partition, options.batch_size)
    if partition.kind == "arrow" and partition.whole:
        return _whole_ipc_batches(partition, options)
    return _table_batches(partition, options)


# ---- shredding one partition ----------------------------------------------------------------


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


def _first_line(partition: Partition) -> int:
    """The file's line number of the partition's first line (counted only when needed: a
    partition does not know how many lines come before it)."""
    if partition.first_line is not None:
        return partition.first_line
    if partition.whole or partition.start == 0:
        return 1
    newlines = 0
    with _input(partition).open_input() as stream:
        remaining = partition.start
        while remaining > 0:
            chunk = stream.read(min(_READ_CHUNK, remaining))
            if not chunk:
                break
            newlines += chunk.count(b"\n")
            remaining -= len(chunk)
    return newlines + 1


def _rows_before(partition: Partition) -> int:
    """Rows of the file before the partition (row groups or record batches before it)."""
    if partition.start == 0 or partition.whole:
        return 0
    with _input(partition).open_input() as stream:
        if partition.kind == "parquet":
            metadata = pq.ParquetFile(stream).metadata
            return sum(metadata.row_group(i).num_rows for i in range(partition.start))
        reader = ipc.open_file(stream)
        return sum(reader.get_batch(i).num_rows for i in range(partition.start))


class _Places:
    """Turns a row of a partition's batch into its place in the input file ("line 7", from 1;
    "row 6", from 0, as Arrow and Parquet readers count), counting what lies before the
    partition once, when first needed."""

    def __init__(self, partition: Partition) -> None:
        self.partition = partition
        self._offset: int | None = None

    def location(self, docs: _Batch, row: int) -> tuple[str, int]:
        if self._offset is None:
            self._offset = (_first_line(self.partition) - 1 if docs.lines is not None
                            else _rows_before(self.partition))
        return ("line" if docs.lines is not None else "row"), self._offset + docs.position(row)

    def where(self, docs: _Batch, row: int) -> str:
        key, number = self.location(docs, row)
        return f"{key} {number}"


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


def _check_batch(check: ShredCheck, places: _Places, docs: _Batch, kept: list[int] | None,
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
    counter = _LineCounter()
    places = _Places(partition)
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


def _shred_partition(task: ShredTask, folder: _fs.Location, counter: _LineCounter,
                     places: _Places, rejects: _Rejects, check: ShredCheck | None,
                     on_batch: Callable[[int, int], None] | None) -> dict[str, Any]:
    partition, options = task.partition, task.options
    handle = None
    codec = None
    parts: list[dict[str, Any]] = []
    documents = rows = 0  # rows: of the input, refused ones too (Parquet, Arrow, JSON files)
    last_refusal = None
    for number, docs in enumerate(_partition_batches(partition, options, counter)):
        if handle is None:
            codec = docs.codec
            handle = shredder_ext.create_controller(codec)
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
            if options.max_rejects is not None and len(rejects.records) > options.max_rejects:
                raise UserError(_too_many(options.max_rejects, last_refusal))
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
                first = docs.position(kept[start] if kept else start)
                last = docs.position(kept[start + count - 1] if kept else start + count - 1)
                parts.append({"file": name, "rows": atoms.num_rows, "documents": count,
                              "first": first, "last": last, "bytes": size,
                              "schema": schema_to_json(atoms.schema)})
            start += count
        rows += docs.batch.num_rows
        if on_batch is not None:
            on_batch(docs.batch.num_rows, docs.nbytes)
    return {"partition": partition.key(), "codec": codec, "parts": parts,
            "documents": documents, "bytes": partition.nbytes,
            "positions": counter.lines if partition.kind == "jsonl" else rows,
            "rejects": len(rejects.records),
            "rejects_file": rejects.location.name if rejects.commit() else None,
            "last_refusal": last_refusal,
            "verify": None if check is None else {
                "documents": check.documents, "changed": check.documents_changed,
                "counts": dict(check.counts)}}


def _refusal_message(partition: Partition, places: _Places, docs: _Batch, error: ValueError,
                     skip: bool) -> str:
    row = failing_row(error, docs.batch)
    if row is None:  # not one document's fault: skipping cannot help
        return f"{partition.source}: {error}"
    message = f"{partition.source}:{places.where(docs, row)}: {error}"
    return message if skip else f"{message} ({SKIP_HINT})"


def _too_many(limit: int, last: str | None) -> str:
    return f"more than {limit:,} documents refused (--max-rejects); the last: {last}"


# ---- the shred driver ---------------------------------------------------------------------------


def _job_record(options: ShredOptions, partitions: list[Partition] | None) -> dict[str, Any]:
    return {"options": asdict(options),
            "partitions": None if partitions is None else [p.key() for p in partitions]}


def _old_dataset(output: _fs.Location) -> list[_fs.Location]:
    """The files of the dataset the output folder holds (parts, manifest, rejects, temporary
    files of these), the manifest first: what replacing it removes, nothing else."""
    if output.fs.type_name == "local":
        found = [_fs.resolve(str(p)) for p in dataset_files(Path(output.path))]
    else:
        suffixes = tuple(ATOM_FORMATS.values())
        found = [entry for entry in output.list_all()
                 if entry.name == MANIFEST
                 or (entry.name.startswith(PART_PREFIX) and entry.name.endswith(suffixes))]
        rejects = output.child(REJECTS)
        found += [entry for entry in rejects.list() if entry.name.startswith("rejects-")]
        found += [entry for entry in output.child(VERIFY_FOLDER).list()
                  if entry.name == VERIFY_REPORT]
    return sorted(found, key=lambda entry: entry.name != MANIFEST)


def _prepare_output(output: _fs.Location, staging: _fs.Location, markers: _fs.Location,
                    options: ShredOptions, partitions: list[Partition] | None, force: bool,
                    resume: bool) -> dict[int, dict[str, Any]]:
    """Checks the output folder and starts the staging folder; returns the completed
    partitions a resumed job reuses."""
    info = output.info()
    if info.type == _fs.pafs.FileType.File:
        raise UserError(f"{output}: exists and is not a folder")
    record = _job_record(options, partitions)
    entries = [e.name for e in output.list_all()] if info.type != _fs.pafs.FileType.NotFound \
        else []
    job = markers.child(JOB_FILE)
    if resume:
        if markers.exists() and job.exists():
            earlier = json.loads(job.read_bytes())
            if earlier != json.loads(json.dumps(record)):
                raise UserError(f"{output}: cannot resume: the earlier run had other inputs or "
                                "options")
            _remove_temporary(staging)  # writes a kill interrupted
            return _finished(staging, markers, partitions or [])
        if MANIFEST in entries:
            raise UserError(f"{output}: the dataset is complete; nothing to resume "
                            "(use --force to shred it again)")
        if entries:
            raise UserError(f"{output}: nothing to resume (no record of an earlier run)")
    elif entries:
        if not force:
            raise UserError(f"{output}: output folder is not empty (use --force to replace)")
        if markers.exists():
            _remove_folder(markers)  # an earlier unfinished run: this one starts afresh
        if output.object_store:
            # files are written in place here: the old dataset goes now, its manifest first
            for entry in _old_dataset(output):
                entry.delete()
    output.mkdir()
    markers.mkdir()
    job.write_bytes(json.dumps(record).encode())
    return {}


def _finished(staging: _fs.Location, markers: _fs.Location,
              partitions: list[Partition]) -> dict[int, dict[str, Any]]:
    """The partitions whose markers match this job's and whose files are all there."""
    keys = {p.index: p.key() for p in partitions}
    done: dict[int, dict[str, Any]] = {}
    for entry in markers.list():
        if not entry.name.startswith("partition-"):
            continue
        result = json.loads(entry.read_bytes())
        index = result["partition"]["index"]
        files = [part["file"] for part in result["parts"]]
        if result["rejects_file"]:
            files.append(result["rejects_file"])
        if result.get("verify_file"):
            files.append(result["verify_file"])
        if keys.get(index) == result["partition"] and all(
                staging.child(name).exists() for name in files):
            done[index] = result
    return done


def _remove_folder(folder: _fs.Location) -> None:
    for entry in folder.list():
        entry.delete()
    if folder.exists():
        folder.delete()


def _remove_temporary(folder: _fs.Location) -> None:
    try:
        for entry in folder.list():
            if entry.name.startswith(_fs.TEMP_PREFIX):
                entry.delete()
    except (UserError, OSError, pa.ArrowException):
        pass


def _check_inputs_outside(output: _fs.Location, partitions: list[Partition]) -> None:
    if output.object_store:
        return
    root = output.path.rstrip("/") + "/"
    for partition in partitions:
        location = _fs.resolve(partition.location)
        if type(location.fs) is type(output.fs) and location.path.startswith(root):
            raise UserError(f"{output}: the output folder holds the input {partition.source}; "
                            "choose another output folder")


def _manifest(results: list[dict[str, Any]], options: ShredOptions) -> Manifest:
    """The manifest: parts in input order, each with its input file and line or row range."""
    codec = next((r["codec"] for r in results if r["codec"]), options.codec or "json")
    manifest = Manifest(options.fmt, codec, compression=options.compression)
    # Unified in part order, so the schema (its column order too) is the same for any jobs.
    schema = SchemaUnifier()
    offsets: dict[str, int] = {}
    for result in results:
        key = result["partition"]
        source = key["source"]
        before = offsets.get(source, 0)
        unit = "lines" if key["kind"] == "jsonl" else "rows"
        for part in result["parts"]:
            manifest.parts.append(Part(part["file"], part["rows"], part["documents"],
                                       {"file": source, unit: [before + part["first"],
                                                               before + part["last"]]}))
            manifest.atoms_bytes += part["bytes"]
            schema.add(schema_from_json(part["schema"], part["file"]))
        offsets[source] = before + result["positions"]
        manifest.input_bytes += result["bytes"]
        manifest.rejected += result["rejects"]
        if result["rejects_file"]:
            manifest.rejects.append(f"{REJECTS}/{result['rejects_file']}")
    manifest.schema = schema_to_json(schema.schema)
    return manifest


def _check_counts(results: list[dict[str, Any]]) -> ShredCheck | None:
    """The shred check's counts over all partitions (None when it did not run)."""
    if not results or results[0].get("verify") is None:
        return None
    check = ShredCheck()
    for result in results:
        check.documents += result["verify"]["documents"]
        check.documents_changed += result["verify"]["changed"]
        check.counts.update(result["verify"]["counts"])
    return check


def _join_reports(output: _fs.Location, staging: _fs.Location,
                  names: list[str]) -> None:
    """Joins the partitions' differences, in partition order, into the one report of the
    dataset, written whole under its final name; the partitions' files go."""
    report = output.child(VERIFY_FOLDER).child(VERIFY_REPORT)
    if not names:
        if report.exists():
            report.delete()  # an earlier run's report no longer tells the truth
        return
    output.child(VERIFY_FOLDER).mkdir()

    def write(stream: Any) -> None:
        for name in names:
            with staging.child(name).open_stream() as piece:
                while chunk := piece.read(_READ_CHUNK):
                    stream.write(chunk)

    report.write_atomically(write)
    for name in names:
        staging.child(name).delete()


def _commit(output: _fs.Location, staging: _fs.Location, markers: _fs.Location,
            manifest: Manifest, reports: list[str]) -> None:
    """Replaces the folder's dataset by the staged one; the manifest comes last."""
    if staging != output:
        staged = {part.file for part in manifest.parts}
        staged |= {name.split("/", 1)[1] for name in manifest.rejects}
        for entry in _old_dataset(output):
            entry.delete()
        if manifest.rejects:
            output.child(REJECTS).mkdir()
        for name in sorted(staged):
            target = output.child(REJECTS).child(name) if name.startswith("rejects-") \
                else output.child(name)
            output.fs.move(staging.child(name).path, target.path)
    else:
        for name in manifest.rejects:  # written in place, beside the parts: into _rejects/
            written = output.child(name.split("/", 1)[1])
            output.fs.move(written.path, output.child(name).path)
    _join_reports(output, staging, reports)
    body = (json.dumps(manifest.to_json(), indent=1) + "\n").encode()
    output.child(MANIFEST).write_bytes(body)
    _remove_folder(markers)
    if output.object_store:
        return
    for name in (REJECTS, VERIFY_FOLDER):
        sub = output.child(name)
        if sub.is_dir() and not sub.list_all():
            sub.delete()


def _normalize_inputs(inputs: Any) -> list[str]:
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    texts = [os.fspath(item) for item in inputs]
    if not texts:
        raise UserError("no inputs given")
    return texts


def shred_files(inputs: Any, output: str | os.PathLike, *, jobs: int | None = None,
                executor: Executor | None = None, dask: str | None = None,
                codec: str | None = None, column: str | None = None, format: str = "parquet",
                batch_size: int = 10_000,
                partition_size: int = _partitions.DEFAULT_PARTITION_SIZE,
                errors: str = "raise", max_rejects: int | None = None,
                compression: str = DEFAULT_COMPRESSION, verify: bool = False,
                force: bool = False, resume: bool = False,
                progress: JobProgress | None = None, stdin: Any = None) -> ShredSummary:
    """Shreds files (paths, URIs, folders, glob patterns; "-" for JSON Lines on ``stdin``) into
    an atoms dataset folder, one partition per task on ``executor`` (default: ``jobs`` local
    processes, all CPUs unless given; ``jobs=1`` runs here). The dataset is the same whatever
    runs it. With ``errors="skip"`` refused documents go to ``_rejects/`` instead of failing
    the run (at most ``max_rejects`` of them, when given). Parts are written with
    ``compression``; ``verify`` rebuilds every batch and records each difference from its
    input in ``_verify/differences.jsonl`` (the summary's ``check`` counts them by class)."""
    started = time.monotonic()
    texts = _normalize_inputs(inputs)
    if format not in ATOM_FORMATS:
        raise UserError(f"unknown atoms format {format!r} (expected parquet or arrow)")
    check_compression(format, compression)
    if errors not in ("raise", "skip"):
        raise UserError(f"unknown errors mode {errors!r}: expected raise or skip")
    if batch_size < 1 or partition_size < 1:
        raise UserError("batch size and partition size must be at least 1")
    streaming = _partitions.STDIN in texts
    if streaming and len(texts) > 1:
        raise UserError("standard input (-) cannot be combined with other inputs")
    if streaming and resume:
        raise UserError("--resume cannot continue a job that read standard input (-)")
    options = ShredOptions(format, codec, column, batch_size, partition_size, errors,
                           max_rejects, compression, verify)
    out = _fs.resolve(os.fspath(output))
    # staging: where parts are written before the commit; markers: the job's own records
    markers = out.child(MARKERS)
    staging = out if out.object_store else markers
    partitions = None if streaming else _partitions.plan(texts, partition_size)
    if partitions is not None:
        _check_inputs_outside(out, partitions)
    created = not out.exists()
    done = _prepare_output(out, staging, markers, options, partitions, force, resume)
    progress = progress or JobProgress("shred", enabled=False)
    if partitions is not None:
        progress.start(len(partitions), sum(p.nbytes for p in partitions))
    else:
        progress.start(None, None)
    for result in done.values():
        progress.partition_done(result["partition"]["index"], result["documents"],
                                result["bytes"])
    if streaming:
        source = stdin if stdin is not None else _stdin_bytes()
        todo: Iterable[Partition] = _partitions.stream_partitions(source, partition_size)
    else:
        todo = [p for p in partitions if p.index not in done]
    try:
        with _executors.open_executor(jobs, executor, dask, local_only=streaming,
                                      tasks=None if streaming else len(todo)) as (pool, _):
            results = _run_partitions(pool, todo, staging, markers, options, progress, done,
                                      window=None if not streaming else
                                      2 * (jobs or _executors.default_jobs()))
    except (KeyboardInterrupt, _executors.WorkerLost):
        _remove_temporary(staging)  # the finished partitions stay, for --resume
        raise
    except BaseException:
        # a failure, not an interruption: the folder goes back to what it was
        _remove_temporary(staging)
        _remove_folder(markers)
        if created and out.fs.type_name == "local" and out.exists() and not out.list_all():
            out.delete()
        raise
    # a worker lost mid-partition (its partition done again elsewhere) leaves a temporary file
    _remove_temporary(staging)
    ordered = [results[i] for i in sorted(results)]
    manifest = _manifest(ordered, options)
    _commit(out, staging, markers, manifest,
            [r["verify_file"] for r in ordered if r.get("verify_file")])
    progress.finish()
    return ShredSummary(documents=manifest.documents, parts=len(manifest.parts),
                        bytes=manifest.input_bytes, seconds=time.monotonic() - started,
                        rejects=manifest.rejected, partitions=len(ordered), output=str(out),
                        atoms_bytes=manifest.atoms_bytes, check=_check_counts(ordered))


def _stdin_bytes() -> Any:
    import sys
    return sys.stdin.buffer


def _run_partitions(pool: Executor, todo: Iterable[Partition], parts: _fs.Location,
                    markers: _fs.Location, options: ShredOptions, progress: JobProgress,
                    done: dict[int, dict[str, Any]], window: int | None) -> dict[int, Any]:
    """Runs the partitions, at most ``window`` at a time when given (partitions cut from a
    stream carry their bytes), and collects the results by partition index."""
    results = dict(done)
    rejected = sum(result["rejects"] for result in done.values())
    inline = isinstance(pool, _executors.InProcessExecutor)
    pending: dict[Future, Partition] = {}

    def collect(futures: Iterable[Future]) -> None:
        nonlocal rejected
        for future in futures:
            pending.pop(future)
            result = _interrupts.result(future)
            index = result["partition"]["index"]
            results[index] = result
            rejected += result["rejects"]
            if options.max_rejects is not None and rejected > options.max_rejects:
                raise UserError(_too_many(options.max_rejects, result["last_refusal"]))
            progress.partition_done(index, result["documents"], result["bytes"])

    try:
        for partition in todo:
            if partition.data is not None:
                progress.add_total(1, partition.nbytes)
            task = ShredTask(partition, parts.portable, options, markers.portable)
            if inline:
                future = pool.submit(shred_partition, task,
                                     progress.batch_callback(partition.index))
            else:
                future = _interrupts.submit(pool, shred_partition, task)
            pending[future] = partition
            if inline or (window is not None and len(pending) >= window):
                collect(_interrupts.wait_first(pending))
        while pending:
            collect(_interrupts.wait_first(pending))
    except BaseException:
        _interrupts.cancel(pending)
        raise
    return results


# ---- unshred ------------------------------------------------------------------------------------


@dataclass(frozen=True)
class UnshredTask:
    part: str
    piece: str | None  # where the worker writes its documents; None: hand them back
    codec: str
    verify: bool
    kind: str  # of the final output: jsonl, parquet or arrow
    compress: bool
    errors: str = "raise"
    name: str = ""  # the part as messages and rejects name it


def read_atoms(location: _fs.Location) -> pa.RecordBatch:
    """One part file as a single record batch (all rows of its documents together)."""
    try:
        with location.open_input() as stream:
            if location.name.endswith((".parquet", ".pq")):
                table = pq.read_table(stream)
            else:
                try:
                    table = ipc.open_file(stream).read_all()
                except pa.ArrowInvalid:
                    stream.seek(0)
                    table = ipc.open_stream(stream).read_all()
    except UserError:
        raise
    except (OSError, pa.ArrowInvalid) as error:
        raise UserError(f"{location}: cannot read atoms: {error}") from None
    table = table.combine_chunks()
    batches = table.to_batches()
    if not batches:
        return pa.RecordBatch.from_pydict({n: pa.array([], type=table.schema.field(n).type)
                                           for n in table.schema.names})
    return batches[0]


def _jsonl_bytes(documents: pa.RecordBatch) -> bytes:
    texts = documents.column(0).to_pylist()
    return b"".join(text.encode() + b"\n" for text in texts)


def unshred_part(task: UnshredTask) -> dict[str, Any]:
    """Rebuilds the documents of one part (and verifies them when asked), writing them as a
    numbered piece of the final output, or handing them back when the task has no piece."""
    part = _fs.resolve(task.part)
    name = task.name or str(part)
    atoms = read_atoms(_fs.Location(part.fs, part.path, name))
    documents = None
    refused: list[dict[str, Any]] = []
    if atoms.num_columns > 0:
        try:
            documents, rejected = unshred_batch(shredder_ext.create_controller(task.codec),
                                                atoms, task.errors)
        except ValueError as error:
            hint = "" if task.errors == "skip" else \
                " (use --on-error skip to set such documents aside)"
            raise UserError(f"{name}: {error}{hint}") from None
        refused = [{"part": name, "txn_id": r.txn_id, "error": r.error} for r in rejected]
    report = verify_documents(documents, task.codec) if task.verify and documents is not None \
        else VerifyReport()
    result: dict[str, Any] = {"documents": 0 if documents is None else documents.num_rows,
                              "bytes": part.size(), "exact": report.exact,
                              "changed": report.changed_ids, "refused": report.refused_ids,
                              "rejects": refused, "batch": None}
    if documents is None or documents.num_rows == 0:
        return result
    if task.piece is None:
        result["batch"] = documents
        return result
    piece = _fs.resolve(task.piece)
    if task.kind == "jsonl":
        data = _jsonl_bytes(documents)
        piece.write_bytes(gzip.compress(data, compresslevel=6, mtime=0) if task.compress
                          else data)
    else:
        sink = io.BytesIO()
        with ipc.new_stream(sink, documents.schema) as writer:
            writer.write_batch(documents)
        piece.write_bytes(sink.getvalue())
    return result


def open_dataset(dataset: _fs.Location) -> tuple[list[_fs.Location], Manifest | None]:
    """The parts to read, in order: those the manifest of a dataset folder lists, or a single
    part file given directly (which has no manifest). A folder without a manifest is refused:
    it is an unfinished or failed run's."""
    info = dataset.info()
    if info.type == _fs.pafs.FileType.NotFound:
        raise UserError(f"{dataset}: no such file or folder")
    if info.type == _fs.pafs.FileType.File:
        return [dataset], None
    location = dataset.child(MANIFEST)
    if not location.exists():
        raise UserError(f"{dataset}: {INCOMPLETE}")
    manifest = parse_manifest(location.read_bytes().decode("utf-8", errors="replace"),
                              location)
    parts = [dataset.child(part.file) for part in manifest.parts]
    for part in parts:
        if part.info().type != _fs.pafs.FileType.File:
            raise UserError(f"{part}: listed in {MANIFEST} but missing")
    return parts, manifest


class _OutputWriter:
    """Writes the final documents file from documents batches or pieces, in part order, under
    a temporary name renamed when complete (object stores: stored whole on close)."""

    def __init__(self, location: _fs.Location, force: bool) -> None:
        self.kind = _io.output_kind(Path(location.name))
        self.compress = self.kind == "jsonl" and location.name.lower().endswith(".gz")
        if location.exists() and not force:
            raise UserError(f"{location}: exists (use --force to replace)")
        location.parent().mkdir()
        self.location = location
        self.temporary = location.parent().child(
            f"{_fs.TEMP_PREFIX}{uuid.uuid4().hex}-{location.name}")
        target = location if location.object_store else self.temporary
        self._stream = target.fs.open_output_stream(target.path, compression=None)
        self._writer: Any = None
        self._schema: pa.Schema | None = None

    def write_batch(self, documents: pa.RecordBatch) -> None:
        if self.kind == "jsonl":
            data = _jsonl_bytes(documents)
            self._stream.write(gzip.compress(data, compresslevel=6, mtime=0) if self.compress
                               else data)
            return
        if self._schema is None:
            self._schema = documents.schema
            if self.kind == "parquet":
                self._writer = pq.ParquetWriter(self._stream, self._schema)
            else:
                self._writer = ipc.new_file(self._stream, self._schema)
        elif documents.schema != self._schema:
            raise UserError(
                f"{self.location}: the document type changed between atoms parts; write JSON "
                "Lines or use --codec json for a single file")
        if self.kind == "parquet":
            self._writer.write_table(pa.Table.from_batches([documents]))
        else:
            self._writer.write_batch(documents)

    def write_piece(self, piece: _fs.Location) -> None:
        data = piece.read_bytes()
        if self.kind == "jsonl":
            self._stream.write(data)
        else:
            for batch in ipc.open_stream(pa.BufferReader(data)):
                self.write_batch(batch)

    def close(self) -> None:
        if self.kind != "jsonl" and self._writer is None:
            # no documents: still a valid (empty) file of its format
            self.write_batch(pa.record_batch([pa.array([], pa.string())], names=["doc"]))
        if self._writer is not None:
            self._writer.close()
        self._stream.close()
        if not self.location.object_store:
            self.location.fs.move(self.temporary.path, self.location.path)

    def abort(self) -> None:
        try:
            if self._writer is not None:
                self._writer.close()
            self._stream.close()
        except Exception:  # noqa: BLE001 - the failure being reported matters, not this one
            pass
        target = self.location if self.location.object_store else self.temporary
        try:
            target.delete()
        except (OSError, pa.ArrowException, UserError):
            pass


def unshred_files(dataset: str | os.PathLike, output: str | os.PathLike, *,
                  jobs: int | None = None, executor: Executor | None = None,
                  dask: str | None = None, codec: str = "json", verify: bool = False,
                  errors: str = "raise", force: bool = False,
                  progress: JobProgress | None = None) -> UnshredSummary:
    """Rebuilds the documents of an atoms dataset into one file (JSON Lines, Parquet or Arrow
    IPC), the parts rebuilt (and verified) on workers, the file written in part order. With
    ``errors="skip"`` documents that cannot be rebuilt are listed in ``OUTPUT.rejects.jsonl``
    instead of failing the run."""
    started = time.monotonic()
    if errors not in ("raise", "skip"):
        raise UserError(f"unknown errors mode {errors!r}: expected raise or skip")
    source = _fs.resolve(os.fspath(dataset))
    parts, _ = open_dataset(source)
    writer = _OutputWriter(_fs.resolve(os.fspath(output)), force)
    rejects_file = _fs.resolve(os.fspath(output) + ".rejects.jsonl")
    codec = "json" if writer.kind == "jsonl" else codec
    progress = progress or JobProgress("unshred", enabled=False)
    progress.start(len(parts), None)
    report = VerifyReport()
    rejects: list[bytes] = []
    documents = nbytes = 0
    pieces = writer.location.parent().child(f"{_fs.TEMP_PREFIX}{uuid.uuid4().hex}-pieces")
    try:
        with _executors.open_executor(jobs, executor, dask, tasks=len(parts)) as (pool, _):
            inline = isinstance(pool, _executors.InProcessExecutor)
            if not inline:
                pieces.mkdir()
            tasks = [UnshredTask(part.portable,
                                 None if inline else pieces.child(f"{n:06d}").portable,
                                 codec, verify, writer.kind, writer.compress, errors, str(part))
                     for n, part in enumerate(parts)]
            # pieces wait on storage until their turn: keep only a few ahead of the writer
            ahead = 1 if inline else 2 * (jobs or _executors.default_jobs()) + 2
            futures: dict[int, Future] = {}
            for n in range(len(tasks)):
                while len(futures) < ahead and n + len(futures) < len(tasks):
                    index = n + len(futures)
                    futures[index] = _interrupts.submit(pool, unshred_part, tasks[index])
                result = _interrupts.result(futures.pop(n))
                if result["batch"] is not None:
                    writer.write_batch(result["batch"])
                elif result["documents"]:
                    piece = _fs.resolve(tasks[n].piece)
                    writer.write_piece(piece)
                    piece.delete()
                documents += result["documents"]
                nbytes += result["bytes"]
                report.exact += result["exact"]
                report.changed_ids.extend(result["changed"])
                report.refused_ids.extend(result["refused"])
                rejects += [(json.dumps(r, ensure_ascii=False) + "\n").encode()
                            for r in result["rejects"]]
                progress.partition_done(n, result["documents"], result["bytes"])
        writer.close()
    except BaseException:
        writer.abort()
        raise
    finally:
        if pieces.exists():
            _remove_folder(pieces)
    if rejects:
        rejects_file.write_bytes(b"".join(rejects))
    elif rejects_file.exists():
        rejects_file.delete()  # an earlier run's list no longer tells the truth
    progress.finish()
    return UnshredSummary(documents=documents, parts=len(parts), bytes=nbytes,
                          seconds=time.monotonic() - started, rejects=len(rejects),
                          output=str(writer.location), verify=report if verify else None)
