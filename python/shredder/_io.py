"""Reading document and atoms files, writing atoms parts and documents."""

from __future__ import annotations

import gzip
import json
import os
import shutil
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

import pyarrow as pa
import pyarrow.ipc as ipc
import pyarrow.parquet as pq

PART_PREFIX = "part-"
ATOM_FORMATS = {"parquet": ".parquet", "arrow": ".arrow"}
MANIFEST = "_shredder.json"


class UserError(Exception):
    """A problem with the user's input or options: reported in one line, never a traceback."""


@dataclass
class DocumentBatch:
    """A batch of input documents and where its rows came from, for error messages."""

    batch: pa.RecordBatch
    codec: str
    first_line: int | None = None  # JSON Lines: the line number of every row, else None
    line_numbers: list[int] | None = None
    nbytes: int = 0


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
    """Yields the documents of an input file in batches of at most ``batch_size`` rows."""
    if not path.exists():
        raise UserError(f"{path}: no such file")
    kind = input_kind(path)
    if kind == "jsonl":
        yield from _read_json_lines(path, batch_size, codec)
    elif kind == "json":
        yield from _read_json_file(path, batch_size, codec)
    else:
        yield from _read_arrow_file(path, kind, column, codec, batch_size)


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
                    yield DocumentBatch(_binary_batch(lines), codec, numbers[0], numbers, nbytes)
                    lines, numbers, nbytes = [], [], 0
    except (OSError, EOFError) as error:
        raise UserError(f"{path}: cannot read: {error}") from None
    if lines:
        yield DocumentBatch(_binary_batch(lines), codec, numbers[0], numbers, nbytes)


def _binary_batch(texts: list[bytes]) -> pa.RecordBatch:
    return pa.record_batch([pa.array(texts, type=pa.binary())], names=["doc"])


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not valid JSON")


def _read_json_file(path: Path, batch_size: int, codec: str | None) -> Iterator[DocumentBatch]:
    codec = _json_codec_only(path, codec)
    try:
        with _open_text(path) as stream:
            data = json.load(stream, parse_constant=_reject_constant)
    except (OSError, EOFError) as error:
        raise UserError(f"{path}: cannot read: {error}") from None
    except (ValueError, RecursionError) as error:
        raise UserError(f"{path}: not valid JSON: {error}") from None
    if isinstance(data, dict):
        data = [data]
    if not isinstance(data, list) or not all(isinstance(item, dict) for item in data):
        raise UserError(f"{path}: expected one JSON object or an array of objects")
    for start in range(0, len(data), batch_size):
        texts = [json.dumps(item, ensure_ascii=False, allow_nan=False).encode()
                 for item in data[start:start + batch_size]]
        yield DocumentBatch(_binary_batch(texts), codec, None, None, sum(map(len, texts)))


def _pick_column(path: Path, schema: pa.Schema, column: str | None) -> str:
    if column is not None:
        if schema.get_field_index(column) < 0:
            raise UserError(f"{path}: no column named {column!r} (columns: "
                            f"{', '.join(schema.names)})")
        return column
    if len(schema.names) == 1:
        return schema.names[0]
    if "doc" in schema.names:
        return "doc"
    raise UserError(f"{path}: several columns ({', '.join(schema.names)}); choose one with "
                    "--column")


def _codec_for(path: Path, field: pa.Field, codec: str | None) -> str:
    t = field.type
    natural = None
    if pa.types.is_struct(t):
        natural = "arrow"
    elif (pa.types.is_string(t) or pa.types.is_large_string(t) or pa.types.is_binary(t)
          or pa.types.is_large_binary(t)):
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
            name = _pick_column(path, schema, column)
            chosen = _codec_for(path, schema.field(name), codec)
            batches = reader.iter_batches(batch_size=batch_size, columns=[name])
        else:
            source = _open_ipc(path)
            schema = source.schema
            name = _pick_column(path, schema, column)
            chosen = _codec_for(path, schema.field(name), codec)
            batches = _ipc_batches(source, name, batch_size)
        for batch in batches:
            yield DocumentBatch(batch, chosen, None, None, batch.nbytes)
    except (OSError, pa.ArrowInvalid) as error:
        raise UserError(f"{path}: cannot read: {error}") from None


def _open_ipc(path: Path) -> Any:
    try:
        return ipc.open_file(path)
    except pa.ArrowInvalid:
        return ipc.open_stream(path)


def _ipc_batches(source: Any, name: str, batch_size: int) -> Iterator[pa.RecordBatch]:
    if isinstance(source, ipc.RecordBatchFileReader):
        batches = (source.get_batch(i) for i in range(source.num_record_batches))
    else:
        batches = iter(source)
    for batch in batches:
        batch = batch.select([name])
        for start in range(0, max(batch.num_rows, 1), batch_size):
            yield batch.slice(start, batch_size)


# ---- atoms datasets: one self-contained part file per shredded batch ----------------------


class AtomsWriter:
    """Writes each atoms batch as its own part file in an output folder.

    Batches of different input batches can differ in columns and types, so each part carries
    its own schema; every document's rows are inside one part.
    """

    def __init__(self, folder: Path, fmt: str, codec: str, force: bool,
                 compression: str = "zstd") -> None:
        from shredder._unified import SchemaUnifier
        from shredder._parts import check_compression

        if fmt not in ATOM_FORMATS:
            raise UserError(f"unknown atoms format {fmt!r} (expected parquet or arrow)")
        check_compression(fmt, compression)
        if folder.exists() and not folder.is_dir():
            raise UserError(f"{folder}: exists and is not a folder")
        if folder.exists() and any(folder.iterdir()):
            if not force:
                raise UserError(f"{folder}: output folder is not empty (use --force to replace)")
            shutil.rmtree(folder)
        folder.mkdir(parents=True, exist_ok=True)
        self.folder = folder
        self.fmt = fmt
        self.codec = codec
        self.compression = compression
        self.parts: list[dict[str, Any]] = []
        self.schema = SchemaUnifier()
        self.input_bytes = 0
        self.atoms_bytes = 0

    def write(self, atoms: pa.RecordBatch, documents: int, input_bytes: int = 0) -> None:
        from shredder._parts import write_part

        self.input_bytes += input_bytes
        if atoms.num_columns == 0:
            return  # nothing to store: the batch held no rows or only empty documents
        name = f"{PART_PREFIX}{len(self.parts):05d}{ATOM_FORMATS[self.fmt]}"
        path = self.folder / name
        write_part(atoms, path, self.fmt, self.compression)
        self.schema.add(atoms.schema)
        self.atoms_bytes += file_size(path)
        self.parts.append({"file": name, "rows": atoms.num_rows, "documents": documents})

    def close(self) -> None:
        from shredder._unified import schema_to_json

        manifest = {"format": self.fmt, "codec": self.codec, "compression": self.compression,
                    "input_bytes": self.input_bytes, "atoms_bytes": self.atoms_bytes,
                    "schema": schema_to_json(self.schema.schema), "parts": self.parts}
        (self.folder / MANIFEST).write_text(json.dumps(manifest, indent=1) + "\n")


def atoms_parts(path: Path) -> list[Path]:
    """The part files of an atoms dataset folder in order, or the file itself."""
    if not path.exists():
        raise UserError(f"{path}: no such file or folder")
    if path.is_file():
        return [path]
    parts = sorted(p for p in path.iterdir()
                   if p.name.startswith(PART_PREFIX) and p.suffix in ATOM_FORMATS.values())
    if not parts:
        raise UserError(f"{path}: no atoms part files ({PART_PREFIX}*.parquet or .arrow) found")
    return parts


def read_atoms_part(path: Path) -> pa.RecordBatch:
    """One part file as a single record batch (all rows of its documents together)."""
    try:
        if path.suffix == ".parquet" or path.suffix == ".pq":
            table = pq.read_table(path)
        else:
            table = _open_ipc(path).read_all()
    except (OSError, pa.ArrowInvalid) as error:
        raise UserError(f"{path}: cannot read atoms: {error}") from None
    table = table.combine_chunks()
    batches = table.to_batches()
    if not batches:
        return pa.RecordBatch.from_pydict({name: pa.array([], type=table.schema.field(name).type)
                                           for name in table.schema.names})
    return batches[0]


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
    """Writes documents batches to one JSON Lines, Parquet or Arrow IPC file."""

    def __init__(self, path: Path, force: bool) -> None:
        self.kind = output_kind(path)
        if path.exists() and not force:
            raise UserError(f"{path}: exists (use --force to replace)")
        path.parent.mkdir(parents=True, exist_ok=True)
        self.path = path
        self._stream: Any = None
        self._writer: Any = None
        self._schema: pa.Schema | None = None

    def write(self, documents: pa.RecordBatch) -> None:
        if self.kind == "jsonl":
            if self._stream is None:
                opener = gzip.open if self.path.name.lower().endswith(".gz") else open
                self._stream = opener(self.path, "wb")
            for text in documents.column(0).to_pylist():
                self._stream.write(text.encode() + b"\n")
            return
        if self._schema is None:
            self._schema = documents.schema
            if self.kind == "parquet":
                self._writer = pq.ParquetWriter(self.path, self._schema)
            else:
                self._writer = ipc.new_file(self.path, self._schema)
        elif documents.schema != self._schema:
            raise UserError(
                f"{self.path}: the document type changed between atoms parts; write JSON Lines "
                "or use --codec json for a single file")
        if self.kind == "parquet":
            self._writer.write_table(pa.Table.from_batches([documents]))
        else:
            self._writer.write_batch(documents)

    def close(self) -> None:
        if self._stream is not None:
            self._stream.close()
        if self._writer is not None:
            self._writer.close()
        if self.kind == "jsonl" and self._stream is None:
            self.path.write_bytes(b"")


def file_size(path: Path) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0
