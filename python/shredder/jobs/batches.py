"""Reading one partition of a shred job as batches of documents, and placing their rows in
the input file ("line 7" of a JSON Lines file, "row 6" of a Parquet or Arrow file).
"""

from __future__ import annotations

import io
from collections.abc import Iterable, Iterator
from typing import Any

import pyarrow as pa
import pyarrow.ipc as ipc
import pyarrow.parquet as pq
import shredder_ext

from shredder.core.documents import documents_batch
from shredder.core.errors import UserError
from shredder.core.names import DOCUMENTS_COLUMN
from shredder.io import storage
from shredder.io.formats import (
    Batch,
    documents_codec,
    documents_column,
    json_file_batches,
)
from shredder.io.storage import READ_CHUNK
from shredder.jobs.partitions import Partition
from shredder.jobs.tasks import BATCH_BYTES, ShredOptions


class LineCounter:
    """Counts the lines of a JSON Lines partition as they are read (empty ones too)."""

    def __init__(self) -> None:
        self.lines = 0


def _input(partition: Partition) -> storage.Location:
    """The partition's input file, named in messages as the user named it."""
    location = storage.resolve(partition.location)
    return storage.Location(location.fs, location.path, partition.source)


def _byte_chunks(partition: Partition) -> Iterator[bytes]:
    if partition.data is not None:
        yield partition.data
        return
    location = _input(partition)
    try:
        if partition.whole:
            with location.fs.open_input_stream(location.path, compression="detect") as stream:
                while chunk := stream.read(READ_CHUNK):
                    yield chunk
            return
        with location.open_input() as stream:
            stream.seek(partition.start)
            remaining = partition.stop - partition.start
            while remaining > 0:
                chunk = stream.read(min(READ_CHUNK, remaining))
                if not chunk:
                    raise UserError(f"{location}: file shrank while being read")
                remaining -= len(chunk)
                yield chunk
    except (OSError, pa.ArrowException, EOFError) as error:
        raise UserError(f"{location}: cannot read: {error}") from None


def _json_lines_batches(partition: Partition, batch_size: int, counter: LineCounter,
                        batch_bytes: int = BATCH_BYTES) -> Iterator[Batch]:
    cutter = shredder_ext._JsonLinesCutter(batch_size, batch_bytes)
    try:
        for chunk in _byte_chunks(partition):
            yield from _json_batches(cutter.feed(chunk))
        yield from _json_batches(cutter.finish())
    except ValueError as error:  # a line longer than a batch can hold
        line = _first_line(partition) - 1 + cutter.lines
        raise UserError(f"{partition.source}: line {line}: {error}") from None
    counter.lines = cutter.lines


def _json_batches(cut: list[tuple[pa.Array, list[int], int]]) -> Iterator[Batch]:
    for documents, lines, nbytes in cut:
        batch = pa.record_batch([documents], names=[DOCUMENTS_COLUMN])
        yield Batch(batch, "json", lines[0], lines, nbytes)


def _json_file_batches(partition: Partition, batch_size: int,
                       batch_bytes: int = BATCH_BYTES) -> Iterator[Batch]:
    """The elements of a JSON file's array of objects, cut by the engine's module, which
    reads no more of them than their strings and brackets: the engine then reads each
    document. A part of a file was planned from a reading of the whole file. A whole file is
    read once to see that it is such an array, then again as it is cut; one that is not (one
    object, UTF-16 or UTF-32, or no valid JSON) is read by Python's reader, which reports what
    is wrong with it."""
    if partition.whole and not _is_element_array(partition):
        stream = io.BytesIO(b"".join(_byte_chunks(partition)))
        yield from json_file_batches(stream, partition.source, batch_size, "json")
        return
    cutter = shredder_ext._JsonArrayCutter(batch_size, batch_bytes, start=partition.start)
    first = 0  # the partition's row of the next batch's first element
    try:
        for chunk in _byte_chunks(partition):
            for cut in cutter.feed(chunk):
                yield _element_batch(cut, first)
                first += len(cut[0])
        for cut in cutter.finish(whole=partition.whole):
            yield _element_batch(cut, first)
    except OverflowError as error:
        row = _rows_before(partition) + cutter.documents
        raise UserError(f"{partition.source}:row {row}: {error}") from None
    except ValueError as error:
        raise UserError(f"{partition.source}: not valid JSON at {error} (the file changed "
                        "after it was first read)") from None


def _is_element_array(partition: Partition) -> bool:
    """Whether a whole JSON file is an array the module cuts, read once without keeping it: a
    gzip file may be far larger than memory once inflated."""
    check = shredder_ext._JsonArrayCuts(2**62)  # counts; cuts nowhere
    try:
        for chunk in _byte_chunks(partition):
            check.feed(chunk)
        check.finish()
    except ValueError:
        return False
    return True


def _element_batch(cut: tuple[pa.Array, int], first: int) -> Batch:
    elements, nbytes = cut
    return Batch(pa.record_batch([elements], names=[DOCUMENTS_COLUMN]), "json", first, None,
                 nbytes)


def _table_batches(partition: Partition, options: ShredOptions) -> Iterator[Batch]:
    location = _input(partition)
    try:
        with location.open_input() as stream:
            if partition.kind == "parquet":
                reader = pq.ParquetFile(stream)
                schema = reader.schema_arrow
                index = documents_column(location, schema, options.column)
                codec = documents_codec(location, schema.field(index), options.codec)
                batches: Iterable[pa.RecordBatch] = reader.iter_batches(
                    batch_size=options.batch_size, columns=[schema.names[index]],
                    row_groups=list(range(partition.start, partition.stop)))
            else:
                reader = ipc.open_file(stream)
                index = documents_column(location, reader.schema, options.column)
                codec = documents_codec(location, reader.schema.field(index), options.codec)
                batches = _ipc_range(reader, index, partition, options.batch_size)
            position = 0
            for batch in batches:
                yield Batch(documents_batch(batch, 0, codec), codec, position, None,
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


def _whole_ipc_batches(partition: Partition, options: ShredOptions) -> Iterator[Batch]:
    """An IPC stream (not the file format) has no index of its batches: read it whole."""
    location = _input(partition)
    data = location.read_bytes()
    try:
        reader = ipc.open_stream(pa.BufferReader(data))
        index = documents_column(location, reader.schema, options.column)
        codec = documents_codec(location, reader.schema.field(index), options.codec)
        position = 0
        for batch in reader:
            batch = batch.select([index])
            for start in range(0, batch.num_rows, options.batch_size):
                piece = batch.slice(start, options.batch_size)
                yield Batch(documents_batch(piece, 0, codec), codec, position, None,
                             piece.nbytes)
                position += piece.num_rows
    except (OSError, pa.ArrowInvalid, pa.ArrowNotImplementedError) as error:
        raise UserError(f"{location}: cannot read: {error}") from None


def partition_batches(partition: Partition, options: ShredOptions,
                       counter: LineCounter) -> Iterator[Batch]:
    if partition.kind in ("jsonl", "json") and options.codec not in (None, "json"):
        raise UserError(f"{partition.source}: JSON input needs the json codec, "
                        f"not {options.codec!r}")
    if partition.kind == "jsonl":
        return _json_lines_batches(partition, options.batch_size, counter,
                                   options.batch_bytes)
    if partition.kind == "json":
        return _json_file_batches(partition, options.batch_size, options.batch_bytes)
    if partition.kind == "arrow" and partition.whole:
        return _whole_ipc_batches(partition, options)
    return _table_batches(partition, options)


def _first_line(partition: Partition) -> int:
    """The file's line number of the partition's first line (counted only when needed: a
    partition does not know how many lines come before it)."""
    if partition.first_line is not None:
        return partition.first_line
    if partition.whole or partition.start == 0:
        return 1
    return sum(chunk.count(b"\n") for chunk in _bytes_before(partition)) + 1


def _bytes_before(partition: Partition) -> Iterator[bytes]:
    """The file's bytes before the partition, in chunks."""
    with _input(partition).open_input() as stream:
        remaining = partition.start
        while remaining > 0:
            chunk = stream.read(min(READ_CHUNK, remaining))
            if not chunk:
                break
            yield chunk
            remaining -= len(chunk)


def _rows_before(partition: Partition) -> int:
    """Rows of the file before the partition (row groups or record batches before it, or
    the elements of a JSON file's array)."""
    if partition.start == 0 or partition.whole:
        return 0
    if partition.kind == "json":
        return partition.first_row if partition.first_row is not None \
            else _elements_before(partition)
    with _input(partition).open_input() as stream:
        if partition.kind == "parquet":
            metadata = pq.ParquetFile(stream).metadata
            return sum(metadata.row_group(i).num_rows for i in range(partition.start))
        reader = ipc.open_file(stream)
        return sum(reader.get_batch(i).num_rows for i in range(partition.start))


def _elements_before(partition: Partition) -> int:
    """The elements of a JSON file before the partition, counted by reading the file up to it
    (a partition planned before its planner counted them)."""
    elements = shredder_ext._JsonArrayCuts(partition.start + 1)  # counts; cuts nowhere
    for chunk in _bytes_before(partition):
        elements.feed(chunk)
    return elements.documents


class Places:
    """Turns a row of a partition's batch into its place in the input file ("line 7", from 1;
    "row 6", from 0, as Arrow and Parquet readers count), counting what lies before the
    partition once, when first needed."""

    def __init__(self, partition: Partition) -> None:
        self.partition = partition
        self._offset: int | None = None

    def location(self, docs: Batch, row: int) -> tuple[str, int]:
        if self._offset is None:
            self._offset = (_first_line(self.partition) - 1 if docs.lines is not None
                            else _rows_before(self.partition))
        return ("line" if docs.lines is not None else "row"), self._offset + docs.position(row)

    def where(self, docs: Batch, row: int) -> str:
        key, number = self.location(docs, row)
        return f"{key} {number}"
