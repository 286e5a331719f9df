"""The measured jobs, shared by the runner (timing) and the memory child (peak memory).

A job is prepared once from a corpus file (input built, nothing timed) and then run: `run`
returns a summary dict. The shredder jobs keep one pipeline handle across runs, so the timed
runs see the steady state that follows the warm-up (the Normalizer has learned every path)."""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

import common
import peers

SHREDDER_JOBS = ("shred_json", "unshred_json", "shred_arrow", "unshred_arrow")
PEER_JOBS = tuple(f"peer_{p}" for p in peers.PEERS)


@dataclass
class Prepared:
    run: Callable[[], dict]
    input_bytes: int                   # the JSON text the job stands for
    resident_bytes: int                # what the job is handed, held in memory throughout
    extra: dict[str, Any] = field(default_factory=dict)


def struct_array_from_jsonl(path: str):
    """The documents of a JSONL file as one pyarrow struct array (from the parsed Python
    dicts, so no type is guessed from string contents); raises where Arrow cannot hold them
    in one type (a member that is a number in one document and a string in another, mixed
    arrays, ...)."""
    import pyarrow as pa
    with open(path, encoding="utf-8") as f:
        docs = [json.loads(line) for line in f if line.strip()]
    arr = pa.array(docs)
    if not isinstance(arr.type, pa.StructType):
        raise TypeError(f"documents do not form a struct column (got {arr.type})")
    return arr


def _shred_all(ext, handle, batches) -> list:
    return [ext.shred_arrow(handle, b) for b in batches]


def _unshred_all(ext, handle, atoms) -> list:
    return [ext.unshred_arrow(handle, a) for a in atoms]


def _summary(outs) -> dict:
    rows, cells, nbytes = common.batch_cells(outs)
    return {"rows": rows, "cells": cells, "out_bytes": nbytes, "cols": max(
        (b.num_columns for b in outs), default=0)}


def prepare(job: str, corpus_path: str, *, batch_docs: int, max_line: int,
            cell_cap: int | None = None) -> Prepared:
    size = Path(corpus_path).stat().st_size
    if job in SHREDDER_JOBS:
        import shredder_ext as ext
        codec = "json" if job.endswith("_json") else "arrow"
        array = (common.read_jsonl_array(corpus_path) if codec == "json"
                 else struct_array_from_jsonl(corpus_path))
        inputs = common.to_batches(array, batch_docs)
        handle = ext.create_controller(codec)
        if job.startswith("shred"):
            return Prepared(lambda: _summary(_shred_all(ext, handle, inputs)), size,
                            array.get_total_buffer_size())
        del array
        atoms = _shred_all(ext, handle, inputs)
        del inputs
        unhandle = ext.create_controller(codec)
        summary = _summary(atoms)
        return Prepared(lambda: _summary(_unshred_all(ext, unhandle, atoms)), size,
                        summary["out_bytes"], {"atoms": summary})
    if job in PEER_JOBS:
        fn = peers.PEERS[job[len("peer_"):]]
        with open(corpus_path, "rb") as f:
            text = f.read()

        def run() -> dict:
            rows, cols = fn(text, corpus_path, max_line, cell_cap)
            return {"rows": rows, "cols": cols, "cells": rows * cols}
        return Prepared(run, size, len(text))
    raise ValueError(f"unknown job {job!r}")
