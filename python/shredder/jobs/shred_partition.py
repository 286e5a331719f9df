"""The work of one partition of a shred job, run on a worker: its documents shredded through
one pipeline handle, its parts, refused documents and differences written under temporary names
and renamed when complete, then its marker.
"""

from __future__ import annotations

import itertools
import json
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import replace

import pyarrow as pa

import shredder_ext
from shredder.core.errors import UserError
from shredder.core.names import DOC_COLUMN
from shredder.core.shred import Refusal, ShreddedBatch, failing_row, shred_batch
from shredder.core.shred_check import ShredCheck, input_documents
from shredder.core.schema import schema_to_json
from shredder.dataset.files import PART_PREFIX
from shredder.dataset.path_stats import DatasetStats
from shredder.io import storage
from shredder.io.formats import Batch
from shredder.io.choices import ATOM_FORMATS
from shredder.io.parts import read_part, write_part
from shredder.io.records import RecordsWriter, document_fields
from shredder.jobs.batches import LineCounter, Places, partition_batches
from shredder.jobs.partitions import Partition
from shredder.jobs.shared_names import key_lists, owner_fields
from shredder.jobs.tasks import (CheckCounts, KeyList, PartitionResult, ShredOptions, ShredTask,
                                 WrittenPart)

SKIP_HINT = "use --on-error skip to set refused documents aside and go on"
_NO_ATOMS = pa.RecordBatch.from_arrays([], names=[])
_FEWER = "; shred fewer documents per batch"  # the engine's advice, no help for one document

# The dataset this worker shredded a partition of last, and what the engine's handle then
# guessed for its next batch: a partition of the same dataset starts from that guess. Data
# that make the same names with several key lists in every batch (GitHub events) then read
# each batch once instead of twice, a partition's first batch included. Only a guess: the
# engine confirms it against the batch, so the parts are the same whichever worker, and
# whichever partition before, a partition gets.
_carried: tuple[str, dict[bytes, bytes]] = ("", {})
# A worker's first partition of a dataset has no partition before it: its handle guesses from
# a shred of the first documents of its first batch instead, in a handle of their own. A
# thousand documents cost a few percent of a batch and save a read of it where they show the
# batch's names; where they show too few, the batch is read once more than without a guess.
PROBE_DOCUMENTS = 1000


def _probe(codec: str, task: ShredTask, batch: pa.RecordBatch) -> dict[bytes, bytes]:
    probe = shredder_ext.create_controller(codec, exact=True, owners=owner_fields(task.owners))
    try:
        shredder_ext.shred_arrow(probe, batch.slice(0, PROBE_DOCUMENTS), skip=True)
    except ValueError:  # the batch itself decides what is wrong with it
        return {}
    return shredder_ext._carried_owners(probe)


def part_name(partition: int, batch: int, fmt: str) -> str:
    return f"{PART_PREFIX}{partition:05d}-{batch:05d}{ATOM_FORMATS[fmt]}"


def marker_name(partition: int) -> str:
    return f"partition-{partition:05d}.json"


def rejects_name(partition: int) -> str:
    return f"rejects-{partition:05d}.jsonl"


def verify_name(partition: int) -> str:
    return f"verify-{partition:05d}.jsonl"


def _write_part(location: storage.Location, atoms: pa.RecordBatch,
                options: ShredOptions) -> int:
    """Writes a part whole under its final name; returns its bytes."""
    location.write_atomically(
        lambda stream: write_part(atoms, stream, options.fmt, options.compression))
    return location.size()


class _PartWriter:
    """Writes a partition's parts in order on a thread of their own, one at a time, while the
    engine shreds the next batch: the writer's encoding and compression run outside the
    interpreter lock. At most one part waits to be written. Leaving the ``with`` block waits
    for the last one, so a partition ends with no write still running; its failure is raised
    unless the block is already raising one of its own."""

    def __init__(self, folder: storage.Location, options: ShredOptions) -> None:
        self._folder, self._options = folder, options
        self._pool = ThreadPoolExecutor(1, thread_name_prefix="shredder-parts")
        self._pending: tuple[WrittenPart, Future] | None = None

    def write(self, part: WrittenPart, atoms: pa.RecordBatch) -> None:
        """Starts writing ``part``'s atoms once the part before is written; its size is set
        then. Raises the part before's failure."""
        self._finish_pending()
        future = self._pool.submit(_write_part, self._folder.child(part.file), atoms,
                                   self._options)
        self._pending = (part, future)

    def __enter__(self) -> "_PartWriter":
        return self

    def __exit__(self, failure: type[BaseException] | None, *_: object) -> None:
        try:
            self._finish_pending()
        except BaseException:
            if failure is None:
                raise
        finally:
            self._pool.shutdown(wait=True)

    def _finish_pending(self) -> None:
        if self._pending is not None:
            part, future = self._pending
            self._pending = None
            part.bytes = future.result()


def _check_batch(check: ShredCheck, places: Places, docs: Batch, kept: list[int],
                 atoms: pa.RecordBatch) -> None:
    """Compares the documents of a batch that went through (the rows ``kept``) with what
    their atoms rebuild to."""
    documents = input_documents(docs.batch, docs.codec)
    check.check([documents[r] for r in kept], atoms,
                [dict([places.location(docs, r)]) for r in kept])


def shred_partition(task: ShredTask,
                    on_batch: Callable[[int, int], None] | None = None) -> PartitionResult:
    """Shreds one partition through its own pipeline handle, writes its parts, its refused
    documents, its differences (with the shred check) and its marker, and returns the marker's
    content. Runs on a worker;
    deterministic, so a retried or resumed partition writes the same bytes again."""
    partition, options = task.partition, task.options
    folder = storage.resolve(task.output)
    counter = LineCounter()
    places = Places(partition)
    rejects = RecordsWriter(folder.child(rejects_name(partition.index)))
    report = RecordsWriter(folder.child(verify_name(partition.index))) if options.verify \
        else None
    check = ShredCheck(report) if options.verify else None
    try:
        result = _shred_partition(task, folder, counter, places, rejects, check, on_batch)
        result.rejects_file = rejects.location.name if rejects.commit() else None
        result.verify_file = \
            report.location.name if report is not None and report.commit() else None
    except BaseException:
        rejects.abort()
        if report is not None:
            report.abort()
        raise
    storage.resolve(task.markers).child(marker_name(partition.index)).write_bytes(
        json.dumps(result.to_json()).encode())
    return result


def _shred_partition(task: ShredTask, folder: storage.Location, counter: LineCounter,
                     places: Places, rejects: RecordsWriter, check: ShredCheck | None,
                     on_batch: Callable[[int, int], None] | None) -> PartitionResult:
    global _carried
    partition, options = task.partition, task.options
    handle = None
    codec = None
    parts: list[WrittenPart] = []
    documents = rows = 0  # rows: of the input, refused ones too (Parquet, Arrow, JSON files)
    first_refusal = last_refusal = None
    stats = DatasetStats()  # what inspect shows of each path, counted here while at hand
    lists: dict[KeyList, None] = {}  # the members of its columns, in order, once each
    numbers = itertools.count()  # of the parts: one a batch, more where a batch is split

    def shred_fitting(docs: Batch) -> Iterator[tuple[Batch, ShreddedBatch]]:
        """The batch shredded, or its halves where its atoms would not fit one batch (too
        many cells, or too many bytes in a column: the batch's size, not a document's
        fault), each split again as needed."""
        try:
            yield docs, shred_batch(handle, docs.batch, docs.codec, options.errors)
        except ValueError as error:
            if not _batch_too_large(error):
                raise UserError(_refusal_message(partition, places, docs, error,
                                                 options.errors == "skip")) from None
            if docs.batch.num_rows > 1:
                for half in docs.halves():
                    yield from shred_fitting(half)
                return
            # One document whose atoms alone pass the bound: its own failure, which the
            # handle learned nothing from (a failed call changes nothing).
            alone = str(error).removesuffix(_FEWER) + " (this document alone)"
            if options.errors != "skip":
                raise UserError(f"{partition.source}:{places.where(docs, 0)}: {alone} "
                                f"({SKIP_HINT})") from None
            yield docs, ShreddedBatch(_NO_ATOMS, 0, [Refusal(0, alone)])

    with _PartWriter(folder, options) as writer:
        for batch in partition_batches(partition, options, counter):
            if handle is None:
                codec = batch.codec
                handle = shredder_ext.create_controller(codec, exact=options.exact,
                                                        owners=owner_fields(task.owners))
                if _carried[0] == task.output:
                    shredder_ext._carry_owners(handle, _carried[1])
                elif options.exact and batch.batch.num_rows >= 2 * PROBE_DOCUMENTS:
                    shredder_ext._carry_owners(handle, _probe(codec, task, batch.batch))
            for docs, shredded in shred_fitting(batch):
                number = next(numbers)
                for refusal in shredded.refused:
                    key, position = places.location(docs, refusal.row)
                    record = {"input": partition.source, key: position, "error": refusal.error}
                    record.update(document_fields(docs.batch.column(0)[refusal.row].as_py()))
                    rejects.write(record)
                    last_refusal = f"{partition.source}:{key} {position}: {refusal.error}"
                    first_refusal = first_refusal or last_refusal
                    if options.max_rejects is not None and rejects.count > options.max_rejects:
                        raise UserError(too_many(options.max_rejects, last_refusal))
                refused = {r.row for r in shredded.refused}
                kept = [row for row in range(docs.batch.num_rows) if row not in refused]
                if check is not None:
                    _check_batch(check, places, docs, kept, shredded.atoms)
                documents += shredded.documents
                if shredded.atoms.num_columns > 0 and kept:
                    part = WrittenPart(part_name(partition.index, number, options.fmt),
                                       shredded.atoms.num_rows, shredded.documents,
                                       docs.position(kept[0]), docs.position(kept[-1]), 0,
                                       schema_to_json(shredded.atoms.schema))
                    writer.write(part, shredded.atoms)
                    stats.add_batch(shredded.atoms)
                    lists.update(dict.fromkeys(key_lists(shredded.atoms.schema)))
                    parts.append(part)
                rows += docs.batch.num_rows
                if on_batch is not None:  # the documents that went through, as counted
                    on_batch(shredded.documents, docs.nbytes)
    if handle is not None:
        _carried = (task.output, shredder_ext._carried_owners(handle))
    return PartitionResult(
        partition.key(), codec, parts, documents, partition.nbytes,
        counter.lines if partition.kind == "jsonl" else rows, rejects.count, None,
        first_refusal, last_refusal, stats.to_json(),
        None if check is None else CheckCounts(check.documents, check.documents_changed,
                                               dict(check.counts)),
        key_lists=list(lists))


def shred_again_from_atoms(result: PartitionResult, task: ShredTask) -> PartitionResult:
    """A partition cut from standard input shredded again with ``task.owners``, from its own
    parts: its input is gone, and exact atoms give its documents back as they came in, in
    order. Each part is shredded as one batch, in order, through one handle, and its documents
    keep their numbers; what the partition refused and its counts stay as they were."""
    import pyarrow.compute as pc  # imported here, not on loading: see shredder/__init__
    folder = storage.resolve(task.output)
    rebuild = shredder_ext.create_controller("json", exact=True)
    handle = shredder_ext.create_controller("json", exact=True,
                                            owners=owner_fields(task.owners))
    stats = DatasetStats()
    lists: dict[KeyList, None] = {}
    parts = []
    for part in result.parts:
        location = folder.child(part.file)
        atoms = read_part(location)
        numbers = pc.unique(atoms.column(DOC_COLUMN)).sort()
        documents = shredder_ext.unshred_arrow(rebuild, atoms, stamps=False)
        again = shredder_ext.shred_arrow(handle, documents)
        at = again.schema.get_field_index(DOC_COLUMN)
        again = again.set_column(at, again.schema.field(at), pc.take(numbers, again.column(at)))
        stats.add_batch(again)
        lists.update(dict.fromkeys(key_lists(again.schema)))
        parts.append(replace(part, rows=again.num_rows,
                             bytes=_write_part(location, again, task.options),
                             schema=schema_to_json(again.schema)))
    again_result = replace(result, parts=parts, paths=stats.to_json(), key_lists=list(lists))
    storage.resolve(task.markers).child(marker_name(task.partition.index)).write_bytes(
        json.dumps(again_result.to_json()).encode())
    return again_result


def _batch_too_large(error: ValueError) -> bool:
    """Whether a shred failed on the size of the whole batch, not on one of its documents."""
    return getattr(error, "code", None) == "too_large" and getattr(error, "row", 0) is None


def _refusal_message(partition: Partition, places: Places, docs: Batch, error: ValueError,
                     skip: bool) -> str:
    row = failing_row(error, docs.batch)
    if row is None:  # not one document's fault: skipping cannot help
        return f"{partition.source}: {error}"
    message = f"{partition.source}:{places.where(docs, row)}: {error}"
    return message if skip else f"{message} ({SKIP_HINT})"


def too_many(limit: int, last: str | None) -> str:
    return f"more than {limit:,} documents refused (--max-rejects); the last: {last}"
