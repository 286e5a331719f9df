"""What the Python API accepts: sources of record batches, codecs and error modes."""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import Any

import pyarrow as pa

CODECS = ("json", "arrow")
ERRORS = ("raise", "skip")


def check_codec(codec: str) -> None:
    if codec not in CODECS:
        raise ValueError(f"unknown codec {codec!r}: expected one of {', '.join(CODECS)}")


def check_errors(errors: str) -> None:
    if errors not in ERRORS:
        raise ValueError(f"unknown errors mode {errors!r}: expected one of {', '.join(ERRORS)}")


def iter_batches(source: Any, batch_size: int | None = None) -> Iterator[pa.RecordBatch]:
    """Yields the record batches of ``source`` lazily, each at most ``batch_size`` rows long.

    ``source`` may be a ``pyarrow.RecordBatch``, a ``pyarrow.Table``, a
    ``pyarrow.RecordBatchReader``, any object exposing ``__arrow_c_stream__`` (polars and
    DuckDB results, for example) or an iterable of record batches.
    """
    if batch_size is not None and batch_size < 1:
        raise ValueError(f"batch_size must be at least 1, got {batch_size}")
    for batch in raw_batches(source):
        if batch_size is None or batch.num_rows <= batch_size:
            yield batch
            continue
        for start in range(0, batch.num_rows, batch_size):
            yield batch.slice(start, batch_size)


def raw_batches(source: Any) -> Iterator[pa.RecordBatch]:
    if isinstance(source, pa.RecordBatch):
        yield source
    elif isinstance(source, pa.Table):
        yield from source.to_batches()
    elif isinstance(source, pa.RecordBatchReader):
        yield from source
    elif hasattr(source, "__arrow_c_stream__"):
        yield from pa.RecordBatchReader.from_stream(source)
    elif isinstance(source, Iterable) and not isinstance(source, (str, bytes)):
        for batch in source:
            if not isinstance(batch, pa.RecordBatch):
                raise TypeError(
                    f"expected pyarrow.RecordBatch items, got {type(batch).__name__}")
            yield batch
    else:
        raise TypeError(
            "source must be a pyarrow RecordBatch, Table or RecordBatchReader, an object with "
            f"__arrow_c_stream__, or an iterable of record batches; got {type(source).__name__}")
