"""How atoms parts are encoded on disk: compression, dictionaries, row groups."""

from __future__ import annotations

from pathlib import Path

import pyarrow as pa
import pyarrow.ipc as ipc
import pyarrow.parquet as pq

from shredder._errors import UserError

COMPRESSIONS = ("zstd", "snappy", "gzip", "none")
DEFAULT_COMPRESSION = "zstd"
# Measured on orders-like and GitHub event documents (docs/benchmarks.md): level 1 writes
# parts as small as levels 3 to 9 (the digests that fill most of the bytes are incompressible
# beyond their hex coding) and is the fastest; level 19 saves another 6% at 25 times the time.
ZSTD_LEVEL = 1
# Readers split work by row group (DuckDB and polars read row groups in parallel, and skip
# them by their statistics); a part of one batch rarely has more rows than this, so most parts
# are one row group, and a larger batch still gives readers pieces of a few megabytes.
ROW_GROUP_ROWS = 128 * 1024
# Digests repeat on every row of their document or object, and the other columns of atoms
# repeat the values of their document across its rows: a dictionary holds every distinct value
# once. The page limit is raised so that a batch of tens of thousands of documents still keeps
# its digest columns dictionary-encoded rather than falling back to plain pages.
DICTIONARY_PAGE_BYTES = 8 << 20
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
            use_dictionary=True,
            dictionary_pagesize_limit=DICTIONARY_PAGE_BYTES,
            row_group_size=ROW_GROUP_ROWS)
        return
    options = ipc.IpcWriteOptions(compression=_IPC_COMPRESSIONS[compression])
    with ipc.new_file(path, atoms.schema, options=options) as writer:
        writer.write_batch(atoms)
