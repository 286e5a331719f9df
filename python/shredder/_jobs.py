"""Partitioned shred and unshred jobs: the work of one partition (run on a worker) and the
driver that hands partitions out, follows progress and writes the manifest last.

A shred job writes, per partition, one part file per batch (``part-PPPPP-BBBBB.parquet``),
each under a temporary name and renamed when complete, then a small marker
``_partitions/partition-PPPPP.json`` with its parts and counts. When every partition is done,
the driver writes ``_shredder.json``, listing the parts in input order, and removes the markers.
Until then the folder has no manifest and reads as unfinished; ``resume`` reuses the partitions
whose markers match the job and runs the rest.
"""

from __future__ import annotations

import gzip
import io
import json
import os
import time
import uuid
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import FIRST_COMPLETED, Executor, Future, wait
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.ipc as ipc
import pyarrow.parquet as pq

import shredder_ext
from shredder import _executors, _fs, _io, _partitions
from shredder._api import VerifyReport, verify_documents
from shredder._io import MANIFEST, UserError
from shredder._progress import JobProgress
from shredder._partitions import Partition

MARKERS = "_partitions"
JOB_FILE = "job.json"
REJECTS = "_rejects"
_READ_CHUNK = 8 * 2**20


# ---- options, tasks and results ---------------------------------------------------------------


@dataclass(frozen=True)
class ShredOptions:
    fmt: str = "parquet"
    codec: str | None = None
    column: str | None = None
    batch_size: int = 10_000
    partition_size: int = _partitions.DEFAULT_PARTITION_SIZE


@dataclass(frozen=True)
class ShredTask:
    partition: Partition
    output: str
    options: ShredOptions


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

    def __repr__(self) -> str:
        return (f"ShredSummary(documents={self.documents:,}, parts={self.parts}, "
                f"bytes={self.bytes:,}, seconds={self.seconds:.2f}, rejects={self.rejects}, "
                f"partitions={self.partitions}, output={self.output!r})")


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
            f", exact={self.verify.exact:,}, changed={len(self.verify.changed_ids):,}")
        return (f"UnshredSummary(documents={self.documents:,}, parts={self.parts}, "
                f"bytes={self.bytes:,}, seconds={self.seconds:.2f}, rejects={self.rejects}"
                f"{checked}, output={self.output!r})")


# ---- reading one partition ----------------------------------------------------------------------


@dataclass
class _Batch:
    batch: pa.RecordBatch
    codec: str
    first: int  # position of the first row in the partition: line number (JSON Lines) or row
    lines: list[int] | None  # JSON Lines: every row's line number in the partition
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
    data = b"".join(_byte_chunks(partition))
    try:
        documents = json.loads(data, parse_constant=_io._reject_constant)
    except (ValueError, RecursionError) as error:
        raise UserError(f"{partition.source}: not valid JSON: {error}") from None
    if isinstance(documents, dict):
        documents = [documents]
    if not isinstance(documents, list) or not all(isinstance(d, dict) for d in documents):
        raise UserError(f"{partition.source}: expected one JSON object or an array of objects")
    for start in range(0, len(documents), batch_size):
        texts = [json.dumps(d, ensure_ascii=False, allow_nan=False).encode()
                 for d in documents[start:start + batch_size]]
        yield _Batch(_io._binary_batch(texts), "json", start + 1, None, sum(map(len, texts)))


def _table_batches(partition: Partition, options: ShredOptions) -> Iterator[_Batch]:
    location = _input(partition)
    try:
        with location.open_input() as stream:
            if partition.kind == "parquet":
                reader = pq.ParquetFile(stream)
                name = _io._pick_column(location, reader.schema_arrow, options.column)
                codec = _io._codec_for(location, reader.schema_arrow.field(name), options.codec)
                batches: Iterable[pa.RecordBatch] = reader.iter_batches(
                    batch_size=options.batch_size, columns=[name],
                    row_groups=list(range(partition.start, partition.stop)))
            else:
                reader = ipc.open_file(stream)
                name = _io._pick_column(location, reader.schema, options.column)
                codec = _io._codec_for(location, reader.schema.field(name), options.codec)
                batches = _ipc_range(reader, name, partition, options.batch_size)
            position = 1
            for batch in batches:
                yield _Batch(batch, codec, position, None, batch.nbytes)
                position += batch.num_rows
    except (OSError, pa.ArrowInvalid) as error:
        raise UserError(f"{location}: cannot read: {error}") from None


def _ipc_range(reader: Any, name: str, partition: Partition,
               batch_size: int) -> Iterator[pa.RecordBatch]:
    for index in range(partition.start, partition.stop):
        batch = reader.get_batch(index).select([name])
        for start in range(0, batch.num_rows, batch_size):
            yield batch.slice(start, batch_size)


def _whole_ipc_batches(partition: Partition, options: ShredOptions) -> Iterator[_Batch]:
    """An IPC stream (not the file format) has no index of its batches: read it whole."""
    location = _input(partition)
    data = location.read_bytes()
    try:
        reader = ipc.open_stream(pa.BufferReader(data))
        name = _io._pick_column(location, reader.schema, options.column)
        codec = _io._codec_for(location, reader.schema.field(name), options.codec)
        position = 1
        for batch in reader:
            batch = batch.select([name])
            for start in range(0, batch.num_rows, options.batch_size):
                piece = batch.slice(start, options.batch_size)
                yield _Batch(piece, codec, position, None, piece.nbytes)
                position += piece.num_rows
    except (OSError, pa.ArrowInvalid) as error:
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
    return f"{_io.PART_PREFIX}{partition:05d}-{batch:05d}{_io.ATOM_FORMATS[fmt]}"


def marker_name(partition: int) -> str:
    return f"partition-{partition:05d}.json"


def _write_part(location: _fs.Location, atoms: pa.RecordBatch, fmt: str) -> None:
    def write(stream: Any) -> None:
        if fmt == "parquet":
            pq.write_table(pa.Table.from_batches([atoms]), stream)
        else:
            with ipc.new_file(stream, atoms.schema) as writer:
                writer.write_batch(atoms)

    location.write_atomically(write)


def _first_line(partition: Partition) -> int:
    """The file's line number of the partition's first line (counted only when a message
    needs it: a partition does not know how many lines come before it)."""
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


def _where(partition: Partition, docs: _Batch, row: int) -> str:
    if docs.lines is not None:
        return f"line {_first_line(partition) + docs.position(row) - 1}"
    return f"document {docs.position(row) + _rows_before(partition)}"


def _rows_before(partition: Partition) -> int:
    """Rows of the file before the partition (row groups or record batches before it)."""
    if partition.start == 0 or partition.whole:
        return 0
    location = _input(partition)
    with location.open_input() as stream:
        if partition.kind == "parquet":
            metadata = pq.ParquetFile(stream).metadata
            return sum(metadata.row_group(i).num_rows for i in range(partition.start))
        reader = ipc.open_file(stream)
        return sum(reader.get_batch(i).num_rows for i in range(partition.start))


def _locate_failure(partition: Partition, docs: _Batch, error: ValueError) -> str:
    """Names the row that failed: the first that fails on its own in a fresh pipeline, or
    (for a failure that depends on earlier documents) the batch's range."""
    for row in range(docs.batch.num_rows):
        try:
            shredder_ext.shred_arrow(shredder_ext.create_controller(docs.codec),
                                     docs.batch.slice(row, 1))
        except ValueError as row_error:
            return f"{partition.source}:{_where(partition, docs, row)}: {row_error}"
    first = _where(partition, docs, 0)
    last = _where(partition, docs, docs.batch.num_rows - 1)
    return f"{partition.source}:{first}-{last}: {error}"


def shred_partition(task: ShredTask,
                    on_batch: Callable[[int, int], None] | None = None) -> dict[str, Any]:
    """Shreds one partition through its own pipeline handle, writes its parts and its marker,
    and returns the marker's content. Runs on a worker; deterministic, so a retried or resumed
    partition writes the same bytes again."""
    partition, options = task.partition, task.options
    output = _fs.resolve(task.output)
    counter = _LineCounter()
    handle = None
    codec = None
    parts: list[dict[str, Any]] = []
    documents = nbytes = rows = 0
    for number, docs in enumerate(_partition_batches(partition, options, counter)):
        if handle is None:
            codec = docs.codec
            handle = shredder_ext.create_controller(codec)
        try:
            atoms = shredder_ext.shred_arrow(handle, docs.batch)
        except ValueError as error:
            raise UserError(_locate_failure(partition, docs, error)) from None
        documents += docs.batch.num_rows
        nbytes += docs.nbytes
        rows = docs.last
        if atoms.num_columns > 0:
            name = part_name(partition.index, number, options.fmt)
            _write_part(output.child(name), atoms, options.fmt)
            parts.append({"file": name, "rows": atoms.num_rows,
                          "documents": docs.batch.num_rows, "first": docs.first,
                          "last": docs.last})
        if on_batch is not None:
            on_batch(docs.batch.num_rows, docs.nbytes)
    result = {"partition": partition.key(), "codec": codec, "parts": parts,
              "documents": documents, "bytes": partition.nbytes,
              "positions": counter.lines if partition.kind == "jsonl" else rows, "rejects": 0}
    output.child(MARKERS).mkdir()
    output.child(MARKERS).child(marker_name(partition.index)).write_bytes(
        json.dumps(result).encode())
    return result


# ---- the shred driver ---------------------------------------------------------------------------


def _dataset_entry(name: str) -> bool:
    """Whether a name in an output folder belongs to a shredder dataset (or its unfinished run)."""
    return (name == MANIFEST or name in (MARKERS, REJECTS) or name.startswith(_fs.TEMP_PREFIX)
            or (name.startswith(_io.PART_PREFIX)
                and name.endswith(tuple(_io.ATOM_FORMATS.values()))))


def _clear_dataset(output: _fs.Location) -> None:
    """Removes a dataset's own files, the manifest first so that the folder never reads as a
    complete dataset with some of its parts gone. Other files stay."""
    manifest = output.child(MANIFEST)
    if manifest.exists():
        manifest.delete()
    for entry in output.list_all():
        if _dataset_entry(entry.name):
            entry.delete()


def _remove_temporary(output: _fs.Location) -> None:
    try:
        for entry in output.list_all():
            if entry.name.startswith(_fs.TEMP_PREFIX):
                entry.delete()
    except (UserError, OSError, pa.ArrowException):
        pass


def _job_record(options: ShredOptions, partitions: list[Partition] | None) -> dict[str, Any]:
    return {"options": asdict(options),
            "partitions": None if partitions is None else [p.key() for p in partitions]}


def _prepare_output(output: _fs.Location, options: ShredOptions,
                    partitions: list[Partition] | None, force: bool,
                    resume: bool) -> dict[int, dict[str, Any]]:
    """Checks the output folder, and returns the completed partitions a resumed job reuses."""
    info = output.info()
    if info.type == _fs.pafs.FileType.File:
        raise UserError(f"{output}: exists and is not a folder")
    record = _job_record(options, partitions)
    markers = output.child(MARKERS)
    entries = [e.name for e in output.list_all()] if info.type != _fs.pafs.FileType.NotFound \
        else []
    if resume:
        if MANIFEST in entries:
            raise UserError(f"{output}: the dataset is complete; nothing to resume "
                            "(use --force to shred it again)")
        if MARKERS in entries and markers.child(JOB_FILE).exists():
            earlier = json.loads(markers.child(JOB_FILE).read_bytes())
            if earlier != json.loads(json.dumps(record)):
                raise UserError(f"{output}: cannot resume: the earlier run had other inputs or "
                                "options")
            done: dict[int, dict[str, Any]] = {}
            keys = {p.index: p.key() for p in partitions or []}
            for entry in markers.list():
                if not entry.name.startswith("partition-"):
                    continue
                result = json.loads(entry.read_bytes())
                index = result["partition"]["index"]
                if keys.get(index) == result["partition"] and all(
                        output.child(part["file"]).exists() for part in result["parts"]):
                    done[index] = result
            _remove_temporary(output)
            return done
        if any(_dataset_entry(name) for name in entries):
            raise UserError(f"{output}: nothing to resume (no record of an earlier run)")
    elif entries:
        if not force:
            raise UserError(f"{output}: output folder is not empty (use --force to replace)")
        _clear_dataset(output)
    output.mkdir()
    markers.mkdir()
    markers.child(JOB_FILE).write_bytes(json.dumps(record).encode())
    return {}


def _check_inputs_outside(output: _fs.Location, partitions: list[Partition]) -> None:
    if output.object_store:
        return
    root = output.path.rstrip("/") + "/"
    for partition in partitions:
        if partition.source == _partitions.STDIN:
            continue
        location = _input(partition)
        if type(location.fs) is type(output.fs) and location.path.startswith(root):
            raise UserError(f"{output}: holds the input {partition.source}; choose another "
                            "output folder")


def _manifest(results: list[dict[str, Any]], options: ShredOptions) -> dict[str, Any]:
    """The manifest: parts in input order, each with its input file and line or row range."""
    parts = []
    offsets: dict[str, int] = {}
    codec = next((r["codec"] for r in results if r["codec"]), options.codec or "json")
    for result in results:
        key = result["partition"]
        source = key["source"]
        before = offsets.get(source, 0)
        unit = "lines" if key["kind"] == "jsonl" else "rows"
        for part in result["parts"]:
            parts.append({"file": part["file"], "rows": part["rows"],
                          "documents": part["documents"],
                          "input": {"file": source, unit: [before + part["first"],
                                                           before + part["last"]]}})
        offsets[source] = before + result["positions"]
    return {"format": options.fmt, "codec": codec, "parts": parts,
            "documents": sum(r["documents"] for r in results),
            "rejects": sum(r["rejects"] for r in results)}


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
                force: bool = False, resume: bool = False,
                progress: JobProgress | None = None, stdin: Any = None) -> ShredSummary:
    """Shreds files (paths, URIs, folders, glob patterns; "-" for JSON Lines on ``stdin``) into
    an atoms dataset folder, one partition per task on ``executor`` (default: ``jobs`` local
    processes, all CPUs unless given; ``jobs=1`` runs here). The dataset is the same whatever
    runs it."""
    started = time.monotonic()
    texts = _normalize_inputs(inputs)
    if format not in _io.ATOM_FORMATS:
        raise UserError(f"unknown atoms format {format!r} (expected parquet or arrow)")
    if batch_size < 1 or partition_size < 1:
        raise UserError("batch size and partition size must be at least 1")
    streaming = _partitions.STDIN in texts
    if streaming and len(texts) > 1:
        raise UserError("standard input (-) cannot be combined with other inputs")
    if streaming and resume:
        raise UserError("--resume cannot continue a job that read standard input (-)")
    options = ShredOptions(format, codec, column, batch_size, partition_size)
    out = _fs.resolve(os.fspath(output))
    partitions = None if streaming else _partitions.plan(texts, partition_size)
    if partitions is not None:
        _check_inputs_outside(out, partitions)
    done = _prepare_output(out, options, partitions, force, resume)
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
            results = _run_partitions(pool, todo, out, options, progress, done,
                                      window=None if not streaming else
                                      2 * (jobs or _executors.default_jobs()))
    except BaseException:
        _remove_temporary(out)
        raise
    # a worker lost mid-partition (its partition done again elsewhere) leaves a temporary file
    _remove_temporary(out)
    ordered = [results[i] for i in sorted(results)]
    manifest = _manifest(ordered, options)
    out.child(MANIFEST).write_bytes((json.dumps(manifest, indent=1) + "\n").encode())
    _remove_markers(out)
    progress.finish()
    return ShredSummary(documents=manifest["documents"], parts=len(manifest["parts"]),
                        bytes=sum(r["bytes"] for r in ordered),
                        seconds=time.monotonic() - started, rejects=manifest["rejects"],
                        partitions=len(ordered), output=str(out))


def _stdin_bytes() -> Any:
    import sys
    return sys.stdin.buffer


def _remove_markers(output: _fs.Location) -> None:
    markers = output.child(MARKERS)
    for entry in markers.list():
        entry.delete()
    if markers.exists():
        markers.delete()


def _run_partitions(pool: Executor, todo: Iterable[Partition], output: _fs.Location,
                    options: ShredOptions, progress: JobProgress,
                    done: dict[int, dict[str, Any]], window: int | None) -> dict[int, Any]:
    """Runs the partitions, at most ``window`` at a time when given (partitions cut from a
    stream carry their bytes), and collects the results by partition index."""
    results = dict(done)
    inline = isinstance(pool, _executors.InProcessExecutor)
    pending: dict[Future, Partition] = {}

    def collect(futures: Iterable[Future]) -> None:
        for future in futures:
            pending.pop(future)
            result = future.result()
            index = result["partition"]["index"]
            results[index] = result
            progress.partition_done(index, result["documents"], result["bytes"])

    try:
        for partition in todo:
            if partition.data is not None:
                progress.add_total(1, partition.nbytes)
            task = ShredTask(partition, output.portable, options)
            if inline:
                future = pool.submit(shred_partition, task,
                                     progress.batch_callback(partition.index))
            else:
                future = pool.submit(shred_partition, task)
            pending[future] = partition
            if inline or (window is not None and len(pending) >= window):
                finished, _ = wait(pending, return_when=FIRST_COMPLETED)
                collect(finished)
        while pending:
            finished, _ = wait(pending, return_when=FIRST_COMPLETED)
            collect(finished)
    except BaseException:
        for future in pending:
            future.cancel()
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


def read_atoms(location: _fs.Location) -> pa.RecordBatch:
    try:
        with location.open_input() as stream:
            if location.name.endswith((".parquet", ".pq")):
                table = pq.read_table(stream)
            else:
                table = ipc.open_file(stream).read_all()
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
    atoms = read_atoms(part)
    documents = None
    if atoms.num_columns > 0:
        try:
            documents = shredder_ext.unshred_arrow(shredder_ext.create_controller(task.codec),
                                                   atoms)
        except ValueError as error:
            raise UserError(f"{part}: {error}") from None
    report = verify_documents(documents, task.codec) if task.verify and documents is not None \
        else VerifyReport()
    result: dict[str, Any] = {"documents": 0 if documents is None else documents.num_rows,
                              "bytes": part.size(), "exact": report.exact,
                              "changed": report.changed_ids, "batch": None}
    if documents is None:
        return result
    if task.piece is None:
        result["batch"] = documents
        return result
    piece = _fs.resolve(task.piece)
    if task.kind == "jsonl":
        data = _jsonl_bytes(documents)
        piece.write_bytes(gzip.compress(data, compresslevel=6, mtime=0) if task.compress else data)
    else:
        sink = io.BytesIO()
        with ipc.new_stream(sink, documents.schema) as writer:
            writer.write_batch(documents)
        piece.write_bytes(sink.getvalue())
    return result


def dataset_parts(dataset: _fs.Location) -> list[_fs.Location]:
    """The parts of a dataset in order: those its manifest lists, a single part file, or (for a
    local folder written before manifests listed inputs) its part files in name order."""
    info = dataset.info()
    if info.type == _fs.pafs.FileType.NotFound:
        raise UserError(f"{dataset}: no such file or folder")
    if info.type == _fs.pafs.FileType.File:
        return [dataset]
    manifest = dataset.child(MANIFEST)
    if manifest.exists():
        try:
            listed = json.loads(manifest.read_bytes())["parts"]
            return [dataset.child(part["file"]) for part in listed]
        except (ValueError, KeyError, TypeError) as error:
            raise UserError(f"{manifest}: not a dataset manifest: {error}") from None
    if dataset.fs.type_name == "local":
        return [_fs.resolve(str(p)) for p in _io.atoms_parts(Path(dataset.path))]
    raise UserError(f"{dataset}: no {MANIFEST}: the dataset is incomplete (an interrupted or "
                    "failed shred?)")


class _OutputWriter:
    """Writes the final documents file from documents batches or pieces, in part order."""

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

    def write_jsonl(self, data: bytes) -> None:
        self._stream.write(data)

    def write_batch(self, documents: pa.RecordBatch) -> None:
        if self.kind == "jsonl":
            data = _jsonl_bytes(documents)
            self._stream.write(gzip.compress(data, compresslevel=6, mtime=0) if self.compress else data)
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
                  force: bool = False, progress: JobProgress | None = None) -> UnshredSummary:
    """Rebuilds the documents of an atoms dataset into one file (JSON Lines, Parquet or Arrow
    IPC), the parts rebuilt (and verified) on workers, the file written in part order."""
    started = time.monotonic()
    source = _fs.resolve(os.fspath(dataset))
    parts = dataset_parts(source)
    writer = _OutputWriter(_fs.resolve(os.fspath(output)), force)
    codec = "json" if writer.kind == "jsonl" else codec
    progress = progress or JobProgress("unshred", enabled=False)
    progress.start(len(parts), None)
    report = VerifyReport()
    documents = nbytes = 0
    pieces = writer.location.parent().child(f"{_fs.TEMP_PREFIX}{uuid.uuid4().hex}-pieces")
    try:
        with _executors.open_executor(jobs, executor, dask, tasks=len(parts)) as (pool, _):
            inline = isinstance(pool, _executors.InProcessExecutor)
            if not inline:
                pieces.mkdir()
            tasks = [UnshredTask(part.portable,
                                 None if inline else pieces.child(f"{n:06d}").portable,
                                 codec, verify, writer.kind, writer.compress)
                     for n, part in enumerate(parts)]
            # pieces wait on storage until their turn: keep only a few ahead of the writer
            ahead = 1 if inline else 2 * (jobs or _executors.default_jobs()) + 2
            futures: dict[int, Future] = {}
            for n in range(len(tasks)):
                while len(futures) < ahead and n + len(futures) < len(tasks):
                    index = n + len(futures)
                    futures[index] = pool.submit(unshred_part, tasks[index])
                result = futures.pop(n).result()
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
                progress.partition_done(n, result["documents"], result["bytes"])
        writer.close()
    except BaseException:
        writer.abort()
        raise
    finally:
        if pieces.exists():
            for entry in pieces.list():
                entry.delete()
            pieces.delete()
    progress.finish()
    return UnshredSummary(documents=documents, parts=len(parts), bytes=nbytes,
                          seconds=time.monotonic() - started, output=str(writer.location),
                          verify=report if verify else None)
