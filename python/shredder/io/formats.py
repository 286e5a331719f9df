"""What input and output files hold: their kinds by name, the documents column of an Arrow file
and its codec, and the documents of a JSON file in batches."""

from __future__ import annotations

import array
import itertools
import json
import re
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

import pyarrow as pa

from shredder.core.documents import natural_codec, pick_column
from shredder.core.errors import UserError
from shredder.core.names import DOCUMENTS_COLUMN


@dataclass
class Batch:
    """A batch of input documents (one column, in types the engine reads) and where its rows
    are: JSON Lines rows by their line (from 1), others by their row (from 0) in what was read
    (a file, or a partition of one)."""

    batch: pa.RecordBatch
    codec: str
    first: int
    lines: list[int] | None
    nbytes: int

    def position(self, row: int) -> int:
        return self.lines[row] if self.lines is not None else self.first + row

    @property
    def last(self) -> int:
        return self.position(self.batch.num_rows - 1) if self.batch.num_rows else self.first

    def halves(self) -> tuple["Batch", "Batch"]:
        """The first half of the rows and the rest, each placed where it is; the text bytes
        are shared out by rows (they only move the progress line)."""
        rows, half = self.batch.num_rows, self.batch.num_rows // 2
        return tuple(
            Batch(self.batch.slice(start, stop - start), self.codec, self.position(start),
                  None if self.lines is None else self.lines[start:stop],
                  self.nbytes * stop // rows - self.nbytes * start // rows)
            for start, stop in ((0, half), (half, rows)))


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


def binary_batch(texts: list[bytes]) -> pa.RecordBatch:
    """The texts as one binary column, built from its two buffers: ``pa.array`` on a list
    first asks pandas whether the list is one of its own, which costs a worker 0.2 s to import
    pandas for its first batch."""
    data = b"".join(texts)
    if len(data) > _LARGEST_BINARY:
        column = pa.array(texts, type=pa.binary())  # raises Arrow's own error for the size
    else:
        offsets = array.array("i", itertools.accumulate(map(len, texts), initial=0))
        column = pa.Array.from_buffers(pa.binary(), len(texts),
                                       [None, pa.py_buffer(offsets), pa.py_buffer(data)])
    return pa.record_batch([column], names=[DOCUMENTS_COLUMN])


# Binary arrays address their bytes with 32-bit offsets.
_LARGEST_BINARY = 2**31 - 1


_BLANK = re.compile(r"[ \t\n\r]*")
_NOT_OBJECTS = "expected one JSON object or an array of objects"


def _document_spans(text: str, path: Any) -> Iterator[tuple[int, int]]:
    """Where each document of a JSON file's text (one object, or an array of objects) starts
    and ends. Python's reader only finds them: each document's own text goes to the engine, as
    a JSON Lines line does, so numbers keep their text and a value the engine refuses (1e400,
    NaN) refuses that document alone."""
    decoder = json.JSONDecoder()
    position = _BLANK.match(text).end()
    if text.startswith("{", position):
        _, end = decoder.raw_decode(text, position)
        if _BLANK.match(text, end).end() != len(text):
            raise json.JSONDecodeError("Extra data", text, end)
        yield position, end
        return
    if not text.startswith("[", position):
        if position == len(text) or text[position] in "\"-0123456789tfnNI":
            decoder.raw_decode(text, position)  # the reader's own message for what is wrong
            raise UserError(f"{path}: {_NOT_OBJECTS}")
        raise json.JSONDecodeError("Expecting value", text, position)
    position = _BLANK.match(text, position + 1).end()
    if text.startswith("]", position):
        position += 1
    else:
        while True:
            value, end = decoder.raw_decode(text, position)
            if not isinstance(value, dict):
                raise UserError(f"{path}: {_NOT_OBJECTS}")
            yield position, end
            position = _BLANK.match(text, end).end()
            if text.startswith("]", position):
                position += 1
                break
            if not text.startswith(",", position):
                raise json.JSONDecodeError("Expecting ',' delimiter", text, position)
            position = _BLANK.match(text, position + 1).end()
    if _BLANK.match(text, position).end() != len(text):
        raise json.JSONDecodeError("Extra data", text, position)


def json_file_batches(stream: IO[bytes], path: Any, batch_size: int,
                      codec: str) -> Iterator[Batch]:
    """The documents of a JSON file (one object or an array of objects) read from ``stream``;
    ``path`` names the file in messages."""
    try:
        raw = stream.read()
    except (OSError, EOFError) as error:
        raise UserError(f"{path}: cannot read: {error}") from None
    try:
        text = raw.decode(json.detect_encoding(raw), "surrogatepass")
        spans = list(_document_spans(text, path))
    except (ValueError, RecursionError) as error:  # JSONDecodeError and UnicodeDecodeError too
        raise UserError(f"{path}: not valid JSON: {error}") from None
    for start in range(0, len(spans), batch_size):
        texts = [text[a:b].encode("utf-8", "surrogatepass")
                 for a, b in spans[start:start + batch_size]]
        yield Batch(binary_batch(texts), codec, start, None, sum(map(len, texts)))


def documents_column(path: Path, schema: pa.Schema, column: str | None) -> int:
    try:
        return pick_column(schema.names, column, "--column")
    except ValueError as error:
        raise UserError(f"{path}: {error}") from None


def documents_codec(path: Path, field: pa.Field, codec: str | None) -> str:
    t = field.type
    natural = natural_codec(t)
    if natural is None:
        raise UserError(f"{path}: column {field.name!r} has type {t}; expected JSON text "
                        "(string or binary) or a struct")
    if codec is not None and codec != natural:
        raise UserError(f"{path}: column {field.name!r} of type {t} needs the {natural} codec")
    return natural


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


