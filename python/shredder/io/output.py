"""The one output file of an unshred job (JSON Lines, Parquet or Arrow IPC), written in part
order from documents batches or from the pieces that workers wrote.

Workers hand over a JSON Lines piece as the final bytes of its part (gzip members for a
``.gz`` output), so the driver, which is the only writer of the file and therefore the serial
part of the job, appends raw bytes: in the kernel (``copy_file_range``) for local files,
without reading them into Python; in large chunks for object stores.
"""

from __future__ import annotations

import gzip
import os
import sys
import tempfile
import uuid
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.ipc as ipc
import pyarrow.parquet as pq

from shredder.core.documents import text_lines
from shredder.core.errors import UserError
from shredder.core.names import DOCUMENTS_COLUMN
from shredder.io import storage
from shredder.io.formats import output_kind

_COPY_CHUNK = 16 * 2**20
STDOUT = "-"


def jsonl_piece(documents: pa.RecordBatch, compress: bool) -> Any:
    """A part's documents as they stand in the output file: one gzip member per part for a
    compressed output (concatenated members are one gzip file), so any --jobs writes the same
    bytes."""
    data, _ = text_lines(documents.column(0))
    return gzip.compress(data, compresslevel=6, mtime=0) if compress else data


def _write_all(descriptor: int, data: Any) -> None:
    view = memoryview(data).cast("B")
    while view:
        view = view[os.write(descriptor, view):]


def _copy_file(source: int, target: int) -> None:
    """Appends the rest of ``source`` to ``target``, in the kernel where it can."""
    try:
        while os.copy_file_range(source, target, _COPY_CHUNK):
            pass
        return
    except OSError:
        pass  # a filesystem or kernel without it: copy through user space from where it stopped
    while chunk := os.read(source, _COPY_CHUNK):
        _write_all(target, chunk)


def open_output(output: str, force: bool, stdout: Any = None) -> "OutputWriter":
    """The writer of an unshred job's output: a file, or JSON Lines on standard output for
    "-" (``stdout``, any stream with a file descriptor, stands in for it)."""
    if output == STDOUT:
        return OutputWriter(None, force, stdout if stdout is not None else sys.stdout)
    return OutputWriter(storage.resolve(output), force)


class OutputWriter:
    """Writes the final documents file from documents batches or pieces, in part order, under
    a temporary name renamed when complete (object stores: stored whole on close). Without a
    location it writes JSON Lines to ``stream`` as they come: a reader of a pipe sees the
    documents at once, and what a failed run wrote cannot be taken back."""

    def __init__(self, location: storage.Location | None, force: bool, stream: Any = None) -> None:
        self._writer: Any = None
        self._schema: pa.Schema | None = None
        self._stream: Any = None
        self.location = location
        if location is None:
            self.kind, self.compress = "jsonl", False
            stream.flush()  # what Python buffered for it goes first
            self._descriptor: int | None = stream.fileno()
            self._owns_descriptor = False
            return
        self._owns_descriptor = True
        self.kind = output_kind(Path(location.name))
        self.compress = self.kind == "jsonl" and location.name.lower().endswith(".gz")
        if location.exists() and not force:
            raise UserError(f"{location}: exists (use --force to replace)")
        location.parent().mkdir()
        self.location = location
        self._file = storage.AtomicFile(location)
        target = self._file.target
        # A local JSON Lines file is written through its descriptor, so pieces can be
        # appended in the kernel; everything else through Arrow's stream of the filesystem.
        self._descriptor = None
        if self.kind == "jsonl" and target.fs.type_name == "local":
            try:
                self._descriptor = os.open(target.path,
                                           os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
            except OSError as error:
                raise UserError(f"{location}: cannot write: {error.strerror}") from None
        else:
            self._stream = self._file.open()

    @property
    def name(self) -> str:
        return "standard output" if self.location is None else str(self.location)

    def beside(self, suffix: str) -> storage.Location | None:
        """The file beside the output whose name adds ``suffix`` (None for standard output)."""
        return None if self.location is None else self.location.with_suffix(suffix)

    def pieces_folder(self) -> storage.Location:
        """Where workers leave their pieces: beside the output, on the same storage; a local
        temporary folder for standard output."""
        name = f"{storage.TEMP_PREFIX}{uuid.uuid4().hex}-pieces"
        if self.location is None:
            return storage.resolve(os.path.join(tempfile.gettempdir(), name))
        return self.location.parent().child(name)

    def _write(self, data: Any) -> None:
        if self._descriptor is not None:
            _write_all(self._descriptor, data)
        else:
            self._stream.write(data)

    def write_batch(self, documents: pa.RecordBatch) -> None:
        if self.kind == "jsonl":
            self._write(jsonl_piece(documents, self.compress))
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

    def write_piece(self, piece: storage.Location) -> None:
        """Appends a piece a worker wrote: JSON Lines as its raw bytes, other kinds batch by
        batch from its Arrow stream."""
        if self.kind != "jsonl":
            with piece.open_stream() as stream:
                for batch in ipc.open_stream(stream):
                    self.write_batch(batch)
            return
        if self._descriptor is not None and piece.fs.type_name == "local":
            try:
                with open(piece.path, "rb") as source:
                    _copy_file(source.fileno(), self._descriptor)
            except BrokenPipeError:
                raise  # the reader went away: the command ends quietly
            except OSError as error:
                target = self.location if self.location is not None else "standard output"
                raise UserError(f"{piece}: cannot copy into {target}: "
                                f"{error.strerror}") from None
            return
        with piece.open_stream() as stream:
            while chunk := stream.read(_COPY_CHUNK):
                self._write(chunk)

    def _close_sinks(self) -> None:
        if self._writer is not None:
            self._writer.close()
        if self._stream is not None:
            self._stream.close()
        if self._descriptor is not None:
            descriptor, self._descriptor = self._descriptor, None
            if self._owns_descriptor:
                os.close(descriptor)

    def close(self) -> None:
        if self.kind != "jsonl" and self._writer is None:
            # no documents: still a valid (empty) file of its format
            self.write_batch(pa.record_batch([pa.array([], pa.string())], names=[DOCUMENTS_COLUMN]))
        self._close_sinks()
        if self.location is not None:
            self._file.commit()

    def abort(self) -> None:
        try:
            self._close_sinks()
        except Exception:  # noqa: BLE001 - the failure being reported matters, not this one
            pass
        if self.location is not None:
            self._file.abort()

