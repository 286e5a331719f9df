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
from typing import Any

import pyarrow as pa
import pyarrow.ipc as ipc
import pyarrow.parquet as pq

import shredder_ext
from shredder import _executors, _fs, _interrupts
from shredder._api import UnshredRejected, VerifyReport, unshred_and_verify
from shredder._errors import UserError
from shredder._manifest import INCOMPLETE, MANIFEST, Manifest, parse_manifest
from shredder._output import jsonl_piece, open_output
from shredder._progress import JobProgress
from shredder._staging import remove_folder


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
    stamps: bool = True  # keep "__txn_id" and "__obj_id" in the rebuilt objects


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


def unshred_part(task: UnshredTask) -> dict[str, Any]:
    """Rebuilds the documents of one part (and verifies them when asked), writing them as a
    numbered piece of the final output, or handing them back when the task has no piece."""
    part = _fs.resolve(task.part)
    name = task.name or str(part)
    atoms = read_atoms(_fs.Location(part.fs, part.path, name))
    documents = None
    refused: list[dict[str, Any]] = []
    checked = None
    if atoms.num_columns > 0:
        rejected: list[UnshredRejected] = []
        try:
            documents, checked = unshred_and_verify(
                shredder_ext.create_controller(task.codec), atoms, task.codec, task.errors,
                task.stamps, task.verify, rejected)
        except ValueError as error:
            hint = "" if task.errors == "skip" else \
                " (use --on-error skip to set such documents aside)"
            raise UserError(f"{name}: {error}{hint}") from None
        refused = [{"part": name, "txn_id": r.txn_id, "error": r.error} for r in rejected]
    report = checked if checked is not None else VerifyReport()
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
        piece.write_bytes(jsonl_piece(documents, task.compress))
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
    source = _fs.resolve(os.fspath(dataset))
    parts, _ = open_dataset(source)
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
        with _executors.open_executor(jobs, executor, dask, tasks=len(parts)) as (pool, _):
            inline = isinstance(pool, _executors.InProcessExecutor)
            if not inline:
                pieces.mkdir()
            tasks = [UnshredTask(part.portable,
                                 None if inline else pieces.child(f"{n:06d}").portable,
                                 codec, verify, writer.kind, writer.compress, errors, str(part),
                                 stamps)
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
