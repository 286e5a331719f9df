"""Reading document files in batches, and writing rebuilt documents to one file."""

from __future__ import annotations

import gzip
import json
import math
import os
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

import pyarrow as pa
import pyarrow.ipc as ipc
import pyarrow.parquet as pq

from shredder._columns import documents_batch, pick_column
from shredder._errors import UserError


@dataclass
class DocumentBatch:
    """A batch of input documents (one column, in types the engine reads) and where its rows
    came from: the line of every row of a JSON Lines file, else the file row of its first."""

    batch: pa.RecordBatch
    codec: str
    line_numbers: list[int] | None = None
    first_row: int = 0
    nbytes: int = 0

    def where(self, row: int) -> str:
        """Row ``row`` of the batch as a place in its file: "line 7" (from 1, as editors
        count), or "row 6" (from 0, as Arrow and Parquet readers count)."""
        key, number = self.location(row)
        return f"{key} {number}"

    def location(self, row: int) -> tuple[str, int]:
        if self.line_numbers is not None:
            return "line", self.line_numbers[row]
        return "row", self.first_row + row


def input_kind(path: Path) -> str:
    name = path.name.lower()
    if name.endswith(".gz"):
        name = name[:-3]
    for suffix, kind in ((".jsonl", "jsonl"), (".ndjson", "jsonl"), (".json", "json"),
                         (".parquet", "parquet"), (".pq", "parquet"), (".arrow", "arrow"),
                         (".ipc", "arrow"), (".feather", "arrow")):
        if name.endswith(suffix):
            return kind
    raise UserError(f"{path}: unknown input format (expected .jsonl, .ndjson, .json, .parquet, "
                    ".arrow or .ipc, optionally .gz for JSON)")


def _open_text(path: Path) -> IO[bytes]:
    if path.name.lower().endswith(".gz"):
        return gzip.open(path, "rb")
    return open(path, "rb")


def read_documents(path: Path, column: str | None, codec: str | None,
                   batch_size: int) -> Iterator[DocumentBatch]:
    """The documents of an input file in batches of at most ``batch_size`` rows, lazily; a
    missing file or an unknown format is refused at once."""
    if not path.exists():
        raise UserError(f"{path}: no such file")
    if path.is_dir():
        raise UserError(f"{path}: is a folder, not a documents file")
    kind = input_kind(path)
    if kind == "jsonl":
        return _read_json_lines(path, batch_size, codec)
    if kind == "json":
        return _read_json_file(path, batch_size, codec)
    return _read_arrow_file(path, kind, column, codec, batch_size)


def _json_codec_only(path: Path, codec: str | None) -> str:
    if codec not in (None, "json"):
        raise UserError(f"{path}: JSON input needs the json codec, not {codec!r}")
    return "json"


def _read_json_lines(path: Path, batch_size: int, codec: str | None) -> Iterator[DocumentBatch]:
    codec = _json_codec_only(path, codec)
    lines: list[bytes] = []
    numbers: list[int] = []
    nbytes = 0
    try:
        with _open_text(path) as stream:
            for number, line in enumerate(stream, start=1):
                line = line.rstrip(b"\r\n")
                if not line.strip():
                    continue
                lines.append(line)
                numbers.append(number)
                nbytes += len(line) + 1
                if len(lines) == batch_size:
                    yield DocumentBatch(_binary_batch(lines), codec, numbers, 0, nbytes)
                    lines, numbers, nbytes = [], [], 0
    except (OSError, EOFError) as error:
        raise UserError(f"{path}: cannot read: {error}") from None
    if lines:
        yield DocumentBatch(_binary_batch(lines), codec, numbers, 0, nbytes)


def _binary_batch(texts: list[bytes]) -> pa.RecordBatch:
    return pa.record_batch([pa.array(texts, type=pa.binary())], names=["doc"])


class _NumberOutOfRange(ValueError):
    pass


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not valid JSON")


def _parse_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise _NumberOutOfRange(text)
    return value


def _read_json_file(path: Path, batch_size: int, codec: str | None) -> Iterator[DocumentBatch]:
    codec = _json_codec_only(path, codec)
    with _open_text(path) as stream:
        yield from json_file_batches(stream, path, batch_size, codec)


def json_file_batches(stream: IO[bytes], path: Any, batch_size: int,
                      codec: str) -> Iterator[DocumentBatch]:
    """The documents of a JSON file (one object or an array of objects) read from ``stream``;
    ``path`` names the file in messages."""
    try:
        data = json.load(stream, parse_constant=_reject_constant, parse_float=_parse_float)
    except (OSError, EOFError) as error:
        raise UserError(f"{path}: cannot read: {error}") from None
    except _NumberOutOfRange as error:
        # Python's reader would make it an infinity, which is no JSON value; JSON Lines input
        # goes to the engine's own reader as text.
        raise UserError(f"{path}: the number {error} is beyond the range of a double; give "
                        "the documents as JSON Lines instead") from None
    except (ValueError, RecursionError) as error:
        raise UserError(f"{path}: not valid JSON: {error}") from None
    if isinstance(data, dict):
        data = [data]
    if not isinstance(data, list) or not all(isinstance(item, dict) for item in data):
        raise UserError(f"{path}: expected one JSON object or an array of objects")
    for start in range(0, len(data), batch_size):
        texts = [json.dumps(item, ensure_ascii=False, allow_nan=False).encode()
                 for item in data[start:start + batch_size]]
        yield DocumentBatch(_binary_batch(texts), codec, None, start, sum(map(len, texts)))


def _pick_column(path: Path, schema: pa.Schema, column: str | None) -> int:
    try:
        return pick_column(schema.names, column, "--column")
    except ValueError as error:
        raise UserError(f"{path}: {error}") from None


def _is_text(t: pa.DataType) -> bool:
    return (pa.types.is_string(t) or pa.types.is_large_string(t) or pa.types.is_binary(t)
            or pa.types.is_large_binary(t) or pa.types.is_string_view(t)
            or pa.types.is_binary_view(t))


def _codec_for(path: Path, field: pa.Field, codec: str | None) -> str:
    t = field.type
    natural = None
    if pa.types.is_struct(t):
        natural = "arrow"
    elif _is_text(t):
        natural = "json"
    if natural is None:
        raise UserError(f"{path}: column {field.name!r} has type {t}; expected JSON text "
                        "(string or binary) or a struct")
    if codec is not None and codec != natural:
        raise UserError(f"{path}: column {field.name!r} of type {t} needs the {natural} codec")
    return natural


def _read_arrow_file(path: Path, kind: str, column: str | None, codec: str | None,
                     batch_size: int) -> Iterator[DocumentBatch]:
    try:
        if kind == "parquet":
            reader = pq.ParquetFile(path)
            schema = reader.schema_arrow
            index = _pick_column(path, schema, column)
            chosen = _codec_for(path, schema.field(index), codec)
            batches = reader.iter_batches(batch_size=batch_size, columns=[schema.names[index]])
        else:
            source = _open_ipc(path)
            schema = source.schema
            index = _pick_column(path, schema, column)
            chosen = _codec_for(path, schema.field(index), codec)
            batches = _ipc_batches(source, index, batch_size)
        first_row = 0
        for batch in batches:
            prepared = documents_batch(batch, 0, chosen)
            yield DocumentBatch(prepared, chosen, None, first_row, batch.nbytes)
            first_row += batch.num_rows
    except (OSError, pa.ArrowInvalid, pa.ArrowNotImplementedError) as error:
        raise UserError(f"{path}: cannot read: {error}") from None


def _open_ipc(path: Path) -> Any:
    try:
        return ipc.open_file(path)
    except pa.ArrowInvalid:
        return ipc.open_stream(path)


def _ipc_batches(source: Any, index: int, batch_size: int) -> Iterator[pa.RecordBatch]:
    if isinstance(source, ipc.RecordBatchFileReader):
        batches = (source.get_batch(i) for i in range(source.num_record_batches))
    else:
        batches = iter(source)
    for batch in batches:
        batch = batch.select([index])
        for start in range(0, batch.num_rows, batch_size):
            yield batch.slice(start, batch_size)


# ---- documents output ---------------------------------------------------------------------


def output_kind(path: Path) -> str:
    name = path.name.lower()
    if name.endswith((".jsonl", ".ndjson", ".jsonl.gz", ".ndjson.gz")):
        return "jsonl"
    if name.endswith((".parquet", ".pq")):
        return "parquet"
    if name.endswith((".arrow", ".ipc", ".feather")):
        return "arrow"
    raise UserError(f"{path}: unknown output format (expected .jsonl, .ndjson, .parquet or "
                    ".arrow)")


class DocumentsWriter:
    """Writes documents batches to one JSON Lines, Parquet or Arrow IPC file.

    The file is written under a hidden temporary name beside its final one and takes that
    name on ``commit`` (replacing an earlier file only then); ``abort`` removes it.
    """

    def __init__(self, path: Path, force: bool) -> None:
        self.kind = output_kind(path)
        if path.is_dir():
            raise UserError(f"{path}: is a folder; give a file name for the documents")
        if path.exists() and not force:
            raise UserError(f"{path}: exists (use --force to replace)")
        path.parent.mkdir(parents=True, exist_ok=True)
        self.path = path
        self.temporary = path.with_name(f".{path.name}.tmp")
        self._stream: Any = None
        self._writer: Any = None
        self._schema: pa.Schema | None = None

    def write(self, documents: pa.RecordBatch) -> None:
        if self.kind == "jsonl":
            self._open_text()
            for text in documents.column(0).to_pylist():
                self._stream.write(text.encode() + b"\n")
            return
        if self._schema is None:
            self._schema = documents.schema
            if self.kind == "parquet":
                self._writer = pq.ParquetWriter(self.temporary, self._schema)
            else:
                self._writer = ipc.new_file(self.temporary, self._schema)
        elif documents.schema != self._schema:
            raise UserError(
                f"{self.path}: the document type changed between atoms parts; write JSON Lines "
                "or use --codec json for a single file")
        if self.kind == "parquet":
            self._writer.write_table(pa.Table.from_batches([documents]))
        else:
            self._writer.write_batch(documents)

    def _open_text(self) -> None:
        if self._stream is None:
            opener = gzip.open if self.path.name.lower().endswith(".gz") else open
            self._stream = opener(self.temporary, "wb")

    def _close(self) -> None:
        stream, writer = self._stream, self._writer
        self._stream = self._writer = None
        if stream is not None:
            stream.close()
        if writer is not None:
            writer.close()

    def commit(self) -> None:
        if self.kind == "jsonl":
            self._open_text()  # no documents still give a (empty) file
        self._close()
        if self.temporary.exists():
            os.replace(self.temporary, self.path)

    def abort(self) -> None:
        try:
            self._close()
        finally:
            self.temporary.unlink(missing_ok=True)


def file_size(path: Path) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0
