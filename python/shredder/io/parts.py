"""Atoms part files, written and read in one place: how a part is encoded on disk (format,
compression, dictionaries, row groups), and reading one back whole, its schema only, or the
bytes of its columns.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.ipc as ipc
import pyarrow.parquet as pq

from shredder.core.errors import UserError
from shredder.core.names import column_paths
from shredder.io.choices import COMPRESSIONS
from shredder.io.storage import Location

# Measured on orders-like and GitHub event documents (docs/benchmarks.md): level 1 writes
# parts as small as levels 3 to 9 (the digests that fill most of the bytes are incompressible
# beyond their hex coding) and is the fastest; level 19 saves another 6% at 25 times the time.
ZSTD_LEVEL = 1
# Readers split work by row group (DuckDB and polars read row groups in parallel, and skip
# them by their statistics); a part of one batch rarely has more rows than this, so most parts
# are one row group, and a larger batch still gives readers pieces of a few megabytes.
ROW_GROUP_ROWS = 128 * 1024
# No dictionary encoding: most bytes of atoms are 64-character digests, nearly all distinct
# within a part, whose dictionary indices compress badly, while zstd finds every repeat of a
# digest or a value on its own. Plain pages are 7-12% smaller and written 10% faster on orders
# and GitHub events (docs/benchmarks.md), and read as fast.
USE_DICTIONARY = False
_IPC_COMPRESSIONS = {"zstd": "zstd", "none": None}


def check_compression(fmt: str, compression: str) -> None:
    if compression not in COMPRESSIONS:
        raise UserError(f"unknown compression {compression!r} (expected "
                        f"{', '.join(COMPRESSIONS)})")
    if fmt == "arrow" and compression not in _IPC_COMPRESSIONS:
        raise UserError(f"--compression {compression} is for parquet parts; arrow parts take "
                        "zstd or none")


def write_part(atoms: pa.RecordBatch, path: Path | pa.NativeFile, fmt: str,
               compression: str) -> None:
    """Writes one atoms batch as a part file (a path, or a stream a storage URI opened)."""
    if fmt == "parquet":
        pq.write_table(
            pa.Table.from_batches([atoms]), path,
            compression=compression,
            compression_level=ZSTD_LEVEL if compression == "zstd" else None,
            use_dictionary=USE_DICTIONARY,
            write_statistics=_statistics_columns(atoms.schema),
            row_group_size=ROW_GROUP_ROWS)
        return
    options = ipc.IpcWriteOptions(compression=_IPC_COMPRESSIONS[compression])
    with ipc.new_file(path, atoms.schema, options=options) as writer:
        writer.write_batch(atoms)


def _statistics_columns(schema: pa.Schema) -> list[str]:
    """The columns whose minimum and maximum can skip row groups: not the digests, whose random
    values span every row group."""
    return [path.name for path in column_paths(schema) if not path.stamp]


def part_format(location: Location) -> str:
    """The format of a part file given by itself (no manifest says it), by its name."""
    return "parquet" if location.name.lower().endswith((".parquet", ".pq")) else "arrow"


@contextlib.contextmanager
def _reading(location: Location) -> Iterator[Any]:
    """The part's file opened for reading; a part Arrow cannot read is named in one line."""
    try:
        with location.open_input() as stream:
            yield stream
    except (OSError, pa.ArrowInvalid) as error:
        raise UserError(f"{location}: cannot read atoms: {error}") from None


def _ipc_reader(stream: Any) -> Any:
    """An Arrow IPC file, or else an IPC stream (which has no index of its batches)."""
    try:
        return ipc.open_file(stream)
    except pa.ArrowInvalid:
        stream.seek(0)
        return ipc.open_stream(stream)


def read_part(location: Location) -> pa.RecordBatch:
    """One part file as a single record batch (all rows of its documents together)."""
    with _reading(location) as stream:
        if part_format(location) == "parquet":
            table = pq.read_table(stream)
        else:
            table = _ipc_reader(stream).read_all()
    table = table.combine_chunks()
    batches = table.to_batches()
    if not batches:
        return pa.RecordBatch.from_pydict({n: pa.array([], type=table.schema.field(n).type)
                                           for n in table.schema.names})
    return batches[0]


def part_schema(location: Location, fmt: str) -> pa.Schema:
    """A part's own schema, from its footer or stream header only."""
    with _reading(location) as stream:
        if fmt == "parquet":
            return pq.read_schema(stream)
        return _ipc_reader(stream).schema


def part_columns(location: Location, fmt: str) -> tuple[pa.Schema, dict[str, int]]:
    """A part's schema (with its fields' metadata) and the bytes of each column as stored
    (Parquet: compressed column chunks, from the footer alone; Arrow: its buffers)."""
    sizes: dict[str, int] = {}
    with _reading(location) as stream:
        if fmt == "parquet":
            parquet = pq.ParquetFile(stream)
            metadata = parquet.metadata
            for group in range(metadata.num_row_groups):
                row_group = metadata.row_group(group)
                for i in range(row_group.num_columns):
                    chunk = row_group.column(i)
                    sizes[chunk.path_in_schema] = (sizes.get(chunk.path_in_schema, 0)
                                                   + chunk.total_compressed_size)
            return parquet.schema_arrow, sizes
        reader = ipc.open_file(stream)
        for i in range(reader.num_record_batches):
            batch = reader.get_batch(i)
            for name, column in zip(batch.schema.names, batch.columns):
                sizes[name] = sizes.get(name, 0) + column.get_total_buffer_size()
        return reader.schema, sizes
