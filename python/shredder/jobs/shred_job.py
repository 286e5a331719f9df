"""The driver of a shred job: plans the partitions, hands them to an executor, follows
progress, and commits the dataset when every partition is done (see ``_staging``).
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Iterable
from concurrent.futures import Executor, Future
from dataclasses import dataclass, field
from typing import Any

from shredder.core.errors import UserError
from shredder.core.shred_check import ShredCheck
from shredder.io import storage
from shredder.io.choices import ATOM_FORMATS, DEFAULT_COMPRESSION
from shredder.io.parts import check_compression
from shredder.io.storage import remove_folder, remove_temporary
from shredder.jobs import executors, interrupts, partitions as planning, shared_names
from shredder.jobs.partitions import Partition
from shredder.jobs.progress import JobProgress
from shredder.jobs.shred_partition import shred_again_from_atoms, shred_partition, too_many
from shredder.jobs.staging import (
    MARKERS,
    build_manifest,
    check_counts,
    check_inputs_outside,
    commit,
    prepare_output,
)
from shredder.jobs.tasks import BATCH_BYTES, KeyList, PartitionResult, ShredOptions, ShredTask


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
    first_refusal: str | None = None  # where and why the first refused document was refused
    reused: list[int] = field(default_factory=list)  # partitions an earlier run had done

    def __repr__(self) -> str:
        checked = "" if self.check is None else (
            f", verified={self.check.documents:,}, "
            f"with_differences={self.check.documents_changed:,}, lost={self.check.lost:,}")
        return (f"ShredSummary(documents={self.documents:,}, parts={self.parts}, "
                f"bytes={self.bytes:,}, atoms_bytes={self.atoms_bytes:,}, "
                f"seconds={self.seconds:.2f}, rejects={self.rejects}, "
                f"partitions={self.partitions}{checked}, output={self.output!r})")


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
                partition_size: int | None = None,
                errors: str = "raise", max_rejects: int | None = None,
                compression: str = DEFAULT_COMPRESSION, verify: bool = False,
                force: bool = False, resume: bool = False, exact: bool = True,
                progress: JobProgress | None = None, stdin: Any = None,
                batch_bytes: int = BATCH_BYTES) -> ShredSummary:
    """Shreds files (paths, URIs, folders, glob patterns; "-" for JSON Lines on ``stdin``) into
    an atoms dataset folder, one partition per task on ``executor`` (default: ``jobs`` local
    processes, all CPUs unless given; ``jobs=1`` runs here). The dataset is the same whatever
    runs it. With ``errors="skip"`` refused documents go to ``_rejects/`` instead of failing
    the run (at most ``max_rejects`` of them, when given). Parts are written with
    ``compression``; ``verify`` rebuilds every batch and records each difference from its
    input in ``_verify/differences.jsonl`` (the summary's ``check`` counts them by class).
    A batch of JSON Lines holds at most ``batch_size`` documents and about ``batch_bytes`` of
    their text. A partition holds about ``partition_size`` bytes of input; by default each
    input is cut into 8 partitions of 8 to 64 MiB (see ``jobs.partitions.size_for``). With ``exact`` (the default) every document comes back as it went in (see
    ``shredder.shred``); ``exact=False`` writes the plain atoms."""
    started = time.monotonic()
    texts = _normalize_inputs(inputs)
    if format not in ATOM_FORMATS:
        raise UserError(f"unknown atoms format {format!r} (expected parquet or arrow)")
    check_compression(format, compression)
    if errors not in ("raise", "skip"):
        raise UserError(f"unknown errors mode {errors!r}: expected raise or skip")
    if batch_size < 1 or (partition_size is not None and partition_size < 1) or batch_bytes < 1:
        raise UserError("batch size and partition size must be at least 1")
    streaming = planning.STDIN in texts
    if streaming and len(texts) > 1:
        raise UserError("standard input (-) cannot be combined with other inputs")
    if streaming and resume:
        raise UserError("--resume cannot continue a job that read standard input (-)")
    options = ShredOptions(format, codec, column, batch_size, partition_size, errors,
                           max_rejects, compression, verify, batch_bytes=batch_bytes,
                           exact=exact)
    out = storage.resolve(os.fspath(output))
    # staging: where parts are written before the commit; markers: the job's own records
    markers = out.child(MARKERS)
    staging = out if out.object_store else markers
    progress = progress or JobProgress("shred", enabled=False)
    try:
        partitions = None if streaming else planning.plan(texts, partition_size,
                                                          progress.planning)
    finally:
        progress.planned()
    if partitions is not None:
        check_inputs_outside(out, partitions)
    if column is not None and all(p.kind in ("jsonl", "json") for p in partitions or ()):
        # it picks a column of Parquet and Arrow inputs; JSON text has none
        raise UserError(f"--column {column}: the inputs are JSON, which has no columns")
    created = not out.exists()
    done = prepare_output(out, staging, markers, options, partitions, force, resume)
    if resume:
        progress.resumed(sorted(done), len(partitions or ()))
    if partitions is not None:
        progress.start(len(partitions), sum(p.nbytes for p in partitions))
    else:
        progress.start(None, None)
    for result in done.values():
        progress.partition_done(result.index, result.documents, result.bytes)
    if streaming:
        source = stdin if stdin is not None else _stdin_bytes()
        todo: Iterable[Partition] = planning.stream_partitions(source, partition_size)
    else:
        todo = [p for p in partitions if p.index not in done]
    try:
        with executors.open_executor(jobs, executor, dask, local_only=streaming,
                                      tasks=None if streaming else len(todo)) as (pool, _):
            results = _run_partitions(pool, todo, staging, markers, options, progress, done,
                                      window=None if not streaming else
                                      2 * (jobs or executors.default_jobs()))
            if options.exact:
                results = shared_names.settle(
                    results, lambda stale, owners, earlier: _run_again(
                        pool, stale, partitions, owners, staging, markers, options,
                        progress, earlier))
    except (KeyboardInterrupt, executors.WorkerLost):
        remove_temporary(staging)  # the finished partitions stay, for --resume
        raise
    except BaseException:
        # a failure, not an interruption: the folder goes back to what it was
        remove_temporary(staging)
        remove_folder(markers)
        if created and out.fs.type_name == "local" and out.exists() and not out.list_all():
            out.delete()
        raise
    # a worker lost mid-partition (its partition done again elsewhere) leaves a temporary file
    remove_temporary(staging)
    ordered = [results[i] for i in sorted(results)]
    manifest = build_manifest(ordered, options)
    commit(out, staging, markers, manifest, [r.verify_file for r in ordered if r.verify_file])
    progress.finish()
    return ShredSummary(documents=manifest.documents, parts=len(manifest.parts),
                        bytes=manifest.input_bytes, seconds=time.monotonic() - started,
                        rejects=manifest.rejected, partitions=len(ordered), output=str(out),
                        atoms_bytes=manifest.atoms_bytes, check=check_counts(ordered),
                        first_refusal=next((r.first_refusal for r in ordered
                                            if r.first_refusal), None),
                        reused=sorted(done))


def shred_reporting(task: ShredTask) -> PartitionResult:
    """``shred_partition`` on a worker, reporting each batch to the driver where it can."""
    return shred_partition(task, executors.progress_reporter(task.partition.index))


def _stdin_bytes() -> Any:
    return sys.stdin.buffer


def _run_again(pool: Executor, stale: list[int], partitions: list[Partition] | None,
               owners: tuple[KeyList, ...], staging: storage.Location,
               markers: storage.Location, options: ShredOptions, progress: JobProgress,
               earlier: dict[int, PartitionResult]) -> dict[int, PartitionResult]:
    """Shreds the ``stale`` partitions again with ``owners``: from their input, or from their
    own atoms where the input was a stream. Its own progress line, since the documents were
    counted once. A part the new run does not write goes."""
    if partitions is None:
        return {index: shred_again_from_atoms(earlier[index], ShredTask(
            Partition(**earlier[index].partition), staging.portable, options,
            markers.portable, owners)) for index in stale}
    todo = [partitions[index] for index in stale]
    again = JobProgress(f"{progress.label}: names that parts share, partitions again",
                        enabled=progress.verbose, stream=progress.stream)
    again.start(len(todo), sum(p.nbytes for p in todo))
    results = _run_partitions(pool, todo, staging, markers, options, again, {}, window=None,
                              owners=owners)
    again.finish()
    for index, result in results.items():
        kept = {part.file for part in result.parts}
        for part in earlier[index].parts:
            if part.file not in kept:
                staging.child(part.file).delete()
    return results


def _run_partitions(pool: Executor, todo: Iterable[Partition], parts: storage.Location,
                    markers: storage.Location, options: ShredOptions, progress: JobProgress,
                    done: dict[int, PartitionResult], window: int | None,
                    owners: tuple[KeyList, ...] = ()) -> dict[int, PartitionResult]:
    """Runs the partitions, at most ``window`` at a time when given (partitions cut from a
    stream carry their bytes), and collects the results by partition index."""
    results = dict(done)
    rejected = sum(result.rejects for result in done.values())
    inline = isinstance(pool, executors.InProcessExecutor)
    pending: dict[Future, Partition] = {}
    queue = executors.progress_queue(pool)

    def follow() -> None:
        if queue is not None:
            executors.drain(queue, progress.batch_done)
        progress.tick()

    def collect(futures: Iterable[Future]) -> None:
        nonlocal rejected
        for future in futures:
            pending.pop(future)
            result: PartitionResult = interrupts.result(future)
            results[result.index] = result
            rejected += result.rejects
            if options.max_rejects is not None and rejected > options.max_rejects:
                raise UserError(too_many(options.max_rejects, result.last_refusal))
            progress.partition_done(result.index, result.documents, result.bytes)

    try:
        for partition in todo:
            if partition.data is not None:
                progress.add_total(1, partition.nbytes)
            task = ShredTask(partition, parts.portable, options, markers.portable, owners)
            if inline:
                future = pool.submit(shred_partition, task,
                                     progress.batch_callback(partition.index))
            else:
                future = interrupts.submit(pool, shred_reporting, task)
            pending[future] = partition
            if inline or (window is not None and len(pending) >= window):
                collect(interrupts.wait_first(pending, follow))
        while pending:
            collect(interrupts.wait_first(pending, follow))
    except BaseException:
        interrupts.cancel(pending)
        raise
    return results
