"""Inputs to partitions: the units of work of a job, fixed by the input alone.

A partition is a piece of one input file that a worker shreds through its own pipeline handle:
a byte range of a JSON Lines file or of a JSON file's array of objects, a run of row groups
of a Parquet file, a run of record batches of an Arrow IPC file, or a whole file (gzip, a JSON
file that holds one object, anything smaller than the partition size). Boundaries depend on
the bytes and the partition size only, never on the number of workers or on the engine, so a
job's output is the same part by part however it is run.
"""

from __future__ import annotations

import codecs
import json
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import BinaryIO

import pyarrow as pa
import pyarrow.ipc as ipc
import pyarrow.parquet as pq

from shredder.core.errors import UserError
from shredder.io import storage
from shredder.io.formats import input_kind

# Unless a size is given, each input's own size sets its partitions: PARTITIONS_PER_INPUT of
# them, so that every core has work and a slow one does not hold up the end, but none under
# SMALLEST_PARTITION (the cost of a worker's start and of a part file) nor over
# LARGEST_PARTITION (a worker's memory).
LARGEST_PARTITION = 64 * 2**20
SMALLEST_PARTITION = 8 * 2**20
PARTITIONS_PER_INPUT = 8
STDIN = "-"
_SCAN_CHUNK = 1 << 16
# A JSON file whose first line is longer is taken for one JSON text, not for JSON Lines.
_LONGEST_FIRST_LINE = 1 << 20


@dataclass(frozen=True)
class Partition:
    """One unit of work. ``start``/``stop`` are byte offsets (JSON Lines), row group or record
    batch indexes (Parquet, Arrow IPC), or 0 and the file size (a whole file). ``data`` holds
    the bytes of a partition cut from standard input, which workers cannot open themselves;
    ``first_line`` is its first line's number there (files work theirs out when needed).
    ``first_row`` is the number (from 0) of the first element of a part of a JSON file's
    array."""

    index: int
    source: str  # the input as the user named it, for messages and the manifest
    kind: str
    start: int
    stop: int
    nbytes: int
    whole: bool = False
    data: bytes | None = None
    first_line: int | None = None
    first_row: int | None = None
    location: str = ""  # where workers open it (an absolute path or a URI)

    def key(self) -> dict:
        """What identifies the partition's work, for matching a resumed run to an earlier one."""
        return {"index": self.index, "source": self.source, "kind": self.kind,
                "start": self.start, "stop": self.stop, "nbytes": self.nbytes}


def size_for(nbytes: int) -> int:
    """The partition size of an input of ``nbytes`` bytes when none is given."""
    return min(LARGEST_PARTITION, max(SMALLEST_PARTITION, -(-nbytes // PARTITIONS_PER_INPUT)))


def plan(inputs: list[str], partition_size: int | None,
         on_read: Callable[[int, int], None] | None = None) -> list[Partition]:
    """The partitions of every input file, in input order, numbered from 0; with no
    ``partition_size``, each file's is sized from the file (``size_for``). A JSON file cut
    into partitions is read whole to find where its elements start: ``on_read(done, total)``
    is told the bytes read so far of all such files, chunk by chunk."""
    files = []
    for text in inputs:
        if text == STDIN:
            raise UserError("standard input (-) cannot be planned ahead; stream it instead")
        for location in storage.expand(text):
            size = location.size()
            files.append((location, _kind(location), size, partition_size or size_for(size)))
    scanned = _Scanned(sum(size for location, kind, size, cut in files
                           if _scans(location, kind, size, cut)), on_read)
    partitions: list[Partition] = []
    for location, kind, size, cut in files:
        partitions.extend(_plan_file(location, kind, size, cut, len(partitions), scanned))
    return partitions


class _Scanned:
    """The bytes of JSON files read so far while planning, reported as they grow."""

    def __init__(self, total: int, on_read: Callable[[int, int], None] | None) -> None:
        self.total, self.done, self._on_read = total, 0, on_read

    def add(self, nbytes: int) -> None:
        self.done += nbytes
        if self._on_read is not None:
            self._on_read(self.done, self.total)


def _kind(location: storage.Location) -> str:
    """The input's kind by its name, except that a JSON file holding JSON Lines is read as
    JSON Lines."""
    kind = input_kind(_PathLike(location.name, location.text))
    return "jsonl" if kind == "json" and _holds_json_lines(location) else kind


def _holds_json_lines(location: storage.Location) -> bool:
    """Whether a JSON file holds JSON Lines, as the event archives of GitHub (".json.gz")
    do: its first line is a whole JSON object, and more than white space follows it. A file
    that is one JSON text fails one of the two (an object on one line has nothing after it,
    the first line of one written over several lines is not whole), so it is read as
    before."""
    head = bytearray()
    try:
        with location.fs.open_input_stream(location.path, compression="detect") as stream:
            newline = -1
            while newline < 0:
                chunk = stream.read(_SCAN_CHUNK)
                if not chunk or len(head) > _LONGEST_FIRST_LINE:
                    return False  # one line, or not JSON Lines of documents of a usual size
                newline = chunk.find(b"\n")
                newline = newline if newline < 0 else len(head) + newline
                head += chunk
                start = head.removeprefix(codecs.BOM_UTF8).lstrip()
                if start and not start.startswith(b"{"):
                    return False  # an array, or no JSON at all
            first, rest = head[:newline].removeprefix(codecs.BOM_UTF8), head[newline + 1:]
            while not rest.strip():
                rest = stream.read(_SCAN_CHUNK)
                if not rest:
                    return False
            try:
                json.loads(first)
            except (ValueError, RecursionError):
                return False
            return True
    except (OSError, pa.ArrowException, EOFError):
        return False  # the reading of the partition says what is wrong with the file


def _scans(location: storage.Location, kind: str, size: int, partition_size: int) -> bool:
    """Whether planning reads the file whole: a JSON file larger than a partition."""
    return kind == "json" and not location.name.lower().endswith(".gz") and size > partition_size


def _plan_file(location: storage.Location, kind: str, size: int, partition_size: int,
               first: int, scanned: _Scanned) -> list[Partition]:
    source = location.text
    where = location.portable
    compressed = location.name.lower().endswith(".gz")
    if kind == "jsonl" and not compressed and size > partition_size:
        bounds = cut_points(location, size, partition_size)
        return [Partition(first + i, source, kind, a, b, b - a, location=where)
                for i, (a, b) in enumerate(zip(bounds, bounds[1:]))]
    if _scans(location, kind, size, partition_size):
        cuts = json_cut_points(location, size, partition_size, scanned.add)
        if cuts is not None:
            starts = [(0, 0), *cuts]
            return [Partition(first + i, source, kind, a, b, b - a, location=where,
                              first_row=row)
                    for i, ((a, row), b) in enumerate(zip(starts, [c for c, _ in cuts] + [size]))]
    if kind == "parquet":
        return _group_units(source, where, kind, _parquet_units(location), partition_size,
                            first)
    if kind == "arrow" and not compressed:
        units = _ipc_units(location)
        if units is not None:
            return _group_units(source, where, kind, units, partition_size, first)
    return [Partition(first, source, kind, 0, size, size, whole=True, location=where)]


class _PathLike:
    """Just enough of a path for ``input_kind``, which only looks at the name."""

    def __init__(self, name: str, text: str) -> None:
        self.name = name
        self.text = text

    def __str__(self) -> str:
        return self.text


def cut_points(location: storage.Location, size: int, partition_size: int) -> list[int]:
    """The partition boundaries of a JSON Lines file: 0, then for every multiple k·size of the
    partition size the first line start at or after it, then the file size. A line longer than
    the partition size spans several multiples; their boundaries coincide and count once."""
    bounds = [0]
    with location.open_input() as stream:
        k = 1
        while k * partition_size < size:
            boundary = _next_line_start(stream, k * partition_size, size)
            if bounds[-1] < boundary < size:
                bounds.append(boundary)
            # every multiple up to this boundary has the same first line start after it
            k = max(k + 1, boundary // partition_size + 1)
    bounds.append(size)
    return bounds


def _next_line_start(stream, offset: int, size: int) -> int:
    """The first position at or after ``offset`` that follows a newline (or the end)."""
    position = offset - 1
    stream.seek(position)
    while position < size:
        chunk = stream.read(_SCAN_CHUNK)
        if not chunk:
            break
        found = chunk.find(b"\n")
        if found >= 0:
            return position + found + 1
        position += len(chunk)
    return size


def json_cut_points(location: storage.Location, size: int, partition_size: int,
                    on_read: Callable[[int], None] | None = None
                    ) -> list[tuple[int, int]] | None:
    """Where a JSON file of ``size`` bytes that holds an array of objects is cut into
    partitions: for every multiple of the partition size, the start of the first element at
    or after it, with the number of elements before it. None where the file is not cut: it has
    no such place, or it is not such an array in UTF-8 (it is then read whole, and Python's
    reader says what is wrong with it)."""
    import shredder_ext  # the engine's module is loaded where partitions run, not on import

    cuts = shredder_ext._JsonArrayCuts(partition_size)
    try:
        with location.open_input() as stream:
            remaining = size  # a file that grows meanwhile is planned as it was
            while remaining > 0 and (chunk := stream.read(min(storage.READ_CHUNK, remaining))):
                cuts.feed(chunk)
                remaining -= len(chunk)
                if on_read is not None:
                    on_read(len(chunk))
        found = cuts.finish()
    except ValueError:
        return None
    return found or None


def _parquet_units(location: storage.Location) -> list[tuple[int, int]]:
    try:
        with location.open_input() as stream:
            metadata = pq.ParquetFile(stream).metadata
            return [(metadata.row_group(i).num_rows, metadata.row_group(i).total_byte_size)
                    for i in range(metadata.num_row_groups)]
    except UserError:
        raise
    except Exception as error:  # noqa: BLE001 - any reader failure names the file
        raise UserError(f"{location}: cannot read Parquet metadata: {error}") from None


def _ipc_units(location: storage.Location) -> list[tuple[int, int]] | None:
    """The record batches of an IPC file, or None for an IPC stream (no index to split by)."""
    try:
        with location.open_input() as stream:
            try:
                reader = ipc.open_file(stream)
            except pa.ArrowInvalid:
                return None
            units = []
            for i in range(reader.num_record_batches):
                batch = reader.get_batch(i)
                units.append((batch.num_rows, batch.nbytes))
            return units
    except UserError:
        raise
    except Exception as error:  # noqa: BLE001
        raise UserError(f"{location}: cannot read Arrow IPC file: {error}") from None


def _group_units(source: str, where: str, kind: str, units: list[tuple[int, int]],
                 partition_size: int, first: int) -> list[Partition]:
    """Consecutive row groups (record batches) packed into partitions of about the partition
    size; a unit never splits."""
    partitions: list[Partition] = []
    start, nbytes = 0, 0
    for i, (_, size) in enumerate(units):
        if i > start and nbytes + size > partition_size:
            partitions.append(Partition(first + len(partitions), source, kind, start, i, nbytes,
                                        location=where))
            start, nbytes = i, 0
        nbytes += size
    if start < len(units) or not partitions:
        partitions.append(Partition(first + len(partitions), source, kind, start, len(units),
                                    nbytes, location=where))
    return partitions


def stream_partitions(stream: BinaryIO, partition_size: int | None,
                      first: int = 0) -> Iterator[Partition]:
    """Partitions cut from a JSON Lines stream as it arrives, by the same rule as a file's
    (so the stream and the file it came from give the same partitions). At most one partition
    and one read chunk are held at a time; with no ``partition_size``, the stream's first
    PARTITIONS_PER_INPUT · LARGEST_PARTITION bytes too, until its size is known to set the
    partitions' as a file's does (a longer stream's are the largest, as a longer file's)."""
    index, offset, line = first, 0, 1
    buffer = bytearray()
    eof = False
    if partition_size is None:
        horizon = PARTITIONS_PER_INPUT * LARGEST_PARTITION
        while len(buffer) <= horizon and not eof:
            chunk = stream.read(horizon + 1 - len(buffer))
            eof = not chunk
            buffer += chunk
        partition_size = size_for(len(buffer)) if eof else LARGEST_PARTITION
    while not eof or buffer:
        target = (offset // partition_size + 1) * partition_size
        cut = -1
        while cut < 0:
            # the cut is the first line start at or after the next multiple of the size
            floor = max(target - offset - 1, 0)
            found = buffer.find(b"\n", floor)
            if found >= 0:
                cut = found + 1
                break
            if eof:
                cut = len(buffer)
                break
            chunk = stream.read(max(_SCAN_CHUNK, partition_size - len(buffer)))
            if not chunk:
                eof = True
            else:
                buffer += chunk
        if cut == 0:
            break
        data = bytes(buffer[:cut])
        del buffer[:cut]
        yield Partition(index, STDIN, "jsonl", offset, offset + cut, cut, data=data,
                        first_line=line)
        line += data.count(b"\n")
        offset += cut
        index += 1
