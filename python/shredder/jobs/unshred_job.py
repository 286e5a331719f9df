"""The driver of an unshred job and the work of one part: parts rebuilt (and verified) on
workers, the one output file written in part order.
"""

from __future__ import annotations

import io
import json
import os
import sys
import time
from concurrent.futures import Executor, Future
from dataclasses import dataclass

import pyarrow.ipc as ipc

import shredder_ext
from shredder.core.errors import UserError
from shredder.core.unshred import UnshredRejected, unshred_and_verify
from shredder.core.verify import VerifyReport
from shredder.dataset.unified import Parts, check_rows, dataset_parts, listed_rows
from shredder.io import storage
from shredder.io.output import STDOUT, jsonl_piece, open_output
from shredder.io.parts import read_part
from shredder.io.storage import remove_folder
from shredder.jobs import executors, interrupts
from shredder.jobs.progress import JobProgress
from shredder.jobs.tasks import PartResult, UnshredTask


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


def unshred_part(task: UnshredTask) -> PartResult:
    """Rebuilds the documents of one part (and verifies them when asked), writing them as a
    numbered piece of the final output, or handing them back when the task has no piece."""
    part = storage.resolve(task.part)
    name = task.name or str(part)
    atoms = read_part(storage.Location(part.fs, part.path, name))
    check_rows(name, atoms.num_rows, task.rows)
    documents = None
    result = PartResult(0, part.size())
    if atoms.num_columns > 0:
        try:
            documents, checked = unshred_and_verify(
                shredder_ext.create_controller(task.codec), atoms, task.codec, task.errors,
                task.stamps, task.verify, result.rejects)
        except ValueError as error:
            hint = "" if task.errors == "skip" else \
                " (use --on-error skip to set such documents aside)"
            raise UserError(f"{name}: {error}{hint}") from None
        if checked is not None:
            result.report = checked
    if documents is None or documents.num_rows == 0:
        return result
    result.documents = documents.num_rows
    if task.piece is None:
        result.batch = documents
        return result
    piece = storage.resolve(task.piece)
    if task.kind == "jsonl":
        piece.write_bytes(jsonl_piece(documents, task.compress))
    else:
        sink = io.BytesIO()
        with ipc.new_stream(sink, documents.schema) as writer:
            writer.write_batch(documents)
        piece.write_bytes(sink.getvalue())
    return result


def _check_output_outside(output: storage.Location, dataset: Parts) -> None:
    """Refuses an output in the dataset's folder, or that is one of its parts: writing it would
    replace what is being read, and leave a dataset that no longer holds what its manifest
    lists."""
    if dataset.folder is not None and output.within(dataset.folder):
        raise UserError(f"{output}: inside the dataset {dataset.folder} that is being rebuilt; "
                        "choose an output outside it")
    if any(output.within(part) for part in dataset.files):
        raise UserError(f"{output}: the part being rebuilt; choose another output")


def unshred_files(dataset: str | os.PathLike, output: str | os.PathLike, *,
                  jobs: int | None = None, executor: Executor | None = None,
                  dask: str | None = None, codec: str = "json", verify: bool = False,
                  errors: str = "raise", force: bool = False, stamps: bool = True,
                  progress: JobProgress | None = None) -> UnshredSummary:
    """Rebuilds the documents of an atoms dataset into one file (JSON Lines, Parquet or Arrow
    IPC; "-" for JSON Lines on standard output), the parts rebuilt (and verified) on workers,
    the file written in part order. With ``errors="skip"`` documents that cannot be rebuilt are
    listed in ``OUTPUT.rejects.jsonl`` (on standard error for "-") instead of failing the
    run. ``stamps=False`` leaves ``__txn_id`` and ``__obj_id`` out of every object
    (verification checks each document against its id first)."""
    started = time.monotonic()
    if errors not in ("raise", "skip"):
        raise UserError(f"unknown errors mode {errors!r}: expected raise or skip")
    found = dataset_parts(storage.resolve(os.fspath(dataset)))
    if os.fspath(output) != STDOUT:
        _check_output_outside(storage.resolve(os.fspath(output)), found)
    parts = found.files
    writer = open_output(os.fspath(output), force)
    if writer.location is None and (executor is not None or dask is not None):
        raise UserError("standard output (-) can only be written by local jobs (--jobs)")
    rejects_file = writer.beside(".rejects.jsonl")
    codec = "json" if writer.kind == "jsonl" else codec
    progress = progress or JobProgress("unshred", enabled=False)
    progress.start(len(parts), None)
    report = VerifyReport()
    rejects: list[bytes] = []
    documents = nbytes = 0
    pieces = writer.pieces_folder()
    try:
        with executors.open_executor(jobs, executor, dask, tasks=len(parts)) as (pool, _):
            inline = isinstance(pool, executors.InProcessExecutor)
            if not inline:
                pieces.mkdir()
            tasks = [UnshredTask(part.portable,
                                 None if inline else pieces.child(f"{n:06d}").portable,
                                 codec, verify, writer.kind, writer.compress, errors, str(part),
                                 stamps, rows)
                     for n, (part, rows) in enumerate(zip(parts, listed_rows(found)))]
            # pieces wait on storage until their turn: keep only a few ahead of the writer
            ahead = 1 if inline else 2 * (jobs or executors.default_jobs()) + 2
            futures: dict[int, Future] = {}
            for n in range(len(tasks)):
                while len(futures) < ahead and n + len(futures) < len(tasks):
                    index = n + len(futures)
                    futures[index] = interrupts.submit(pool, unshred_part, tasks[index])
                result: PartResult = interrupts.result(futures.pop(n))
                if result.batch is not None:
                    writer.write_batch(result.batch)
                elif result.documents:
                    piece = storage.resolve(tasks[n].piece)
                    writer.write_piece(piece)
                    piece.delete()
                documents += result.documents
                nbytes += result.bytes
                report.add(result.report)
                rejects += [_reject_record(tasks[n].name, r) for r in result.rejects]
                progress.partition_done(n, result.documents, result.bytes)
        writer.close()
    except BaseException:
        writer.abort()
        raise
    finally:
        if pieces.exists():
            remove_folder(pieces)
    if rejects_file is None:  # the output is standard output: the list goes to its neighbour
        sys.stderr.flush()
        sys.stderr.buffer.write(b"".join(rejects))
        sys.stderr.buffer.flush()
    elif rejects:
        rejects_file.write_bytes(b"".join(rejects))
    elif rejects_file.exists():
        rejects_file.delete()  # an earlier run's list no longer tells the truth
    progress.finish()
    return UnshredSummary(documents=documents, parts=len(parts), bytes=nbytes,
                          seconds=time.monotonic() - started, rejects=len(rejects),
                          output=writer.name, verify=report if verify else None)


def _reject_record(part: str, rejected: UnshredRejected) -> bytes:
    record = {"part": part, "txn_id": rejected.txn_id, "error": rejected.error}
    return (json.dumps(record, ensure_ascii=False) + "\n").encode()
