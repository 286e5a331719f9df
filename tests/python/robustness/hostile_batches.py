"""Hostile atoms batches that may need much memory or time, run by name in a child process
whose data size is limited (see test_hostile_atoms.py): a crash or an allocation beyond the
limit ends the child instead of the test run."""

from __future__ import annotations

import re
import resource
import threading

import pyarrow as pa
import shredder_ext


def limit_data(extra_bytes: int) -> None:
    """Allows this process `extra_bytes` of data beyond what it holds (VmData counts the address
    space that Arrow's allocator reserves up front)."""
    with open("/proc/self/status") as f:
        held = int(re.search(r"VmData:\s+(\d+) kB", f.read()).group(1)) * 1024
    resource.setrlimit(resource.RLIMIT_DATA, (held + extra_bytes, held + extra_bytes))


def unshred(codec: str, rb: pa.RecordBatch) -> dict:
    """The outcome of one unshred_arrow call: its ValueError text, or its rows (and the
    documents, when few)."""
    handle = shredder_ext.create_controller(codec)
    try:
        result = shredder_ext.unshred_arrow(handle, rb)
    except ValueError as e:
        return {"kind": "ValueError", "message": str(e)}
    out = {"kind": "ok", "rows": result.num_rows}
    if result.num_rows <= 16:
        out["docs"] = result.column(0).to_pylist()
    return out


def on_small_stack(call):
    """Runs `call` on a thread with a 1 MiB stack and returns what it returned."""
    box = {}
    threading.stack_size(1 << 20)
    try:
        thread = threading.Thread(target=lambda: box.setdefault("value", call()))
        thread.start()
        thread.join()
    finally:
        threading.stack_size(0)
    return box["value"]


def txn(*values) -> pa.Array:
    return pa.array(list(values), pa.string())


CASES = {}


def case(fn):
    CASES[fn.__name__] = fn
    return fn


@case
def zero_row_columns():
    """Two million columns of no rows, with and without a transaction column."""
    n = 2_000_000
    empty = pa.nulls(0)
    names = [f"root_c{i}" for i in range(n)]
    with_txn = pa.RecordBatch.from_arrays([pa.array([], pa.string())] + [empty] * n,
                                          names=["root___txn_id"] + names)
    without_txn = pa.RecordBatch.from_arrays([empty] * n, names=names)
    limit_data(1 << 30)
    return {"with_txn": unshred("json", with_txn), "without_txn": unshred("json", without_txn)}


@case
def null_columns_beyond_the_bound():
    """300 null-typed columns of 2^20 rows: free in Arrow, 3e8 cells to unshred."""
    rows = 1 << 20
    names = ["root___txn_id"] + [f"root_c{i}" for i in range(299)]
    rb = pa.RecordBatch.from_arrays([pa.nulls(rows)] * 300, names=names)
    limit_data(1 << 30)
    return {codec: unshred(codec, rb) for codec in ("json", "arrow")}


@case
def null_columns_within_the_bound():
    """2^14 documents and 4095 null-typed columns, every other one named as an index column:
    2^26 cells, almost all null, must not cost an atom each (2.7 GB)."""
    rows = 1 << 14
    arrays = [txn(*(f"t{r}" for r in range(rows)))]
    names = ["root___txn_id"]
    for c in range(4095):
        arrays.append(pa.nulls(rows))
        names.append(f"root_c{c}__idx" if c % 2 == 0 else f"root_c{c}")
    rb = pa.RecordBatch.from_arrays(arrays, names=names)
    limit_data(1 << 30)
    return {"json": unshred("json", rb)}


@case
def deep_names():
    """Names of root plus 512 keys (the deepest accepted), each level an array of objects,
    rebuilt on a 1 MiB stack; and a name of 100,000 keys."""
    def batch(levels: int, arrays: bool) -> pa.RecordBatch:
        names, arrays_ = ["root___txn_id"], [txn("t")]
        path = "root"
        for _ in range(levels):
            path += "_a"
            if arrays:
                names.append(path + "__idx")
                arrays_.append(pa.array([0]))
        names.append(path + "_v")
        arrays_.append(pa.array([1]))
        return pa.RecordBatch.from_arrays(arrays_, names=names)

    out = {}
    for codec in ("json", "arrow"):
        for arrays in (False, True):
            for levels in (511, 512):
                rb = batch(levels, arrays)
                out[f"{codec}-{levels}-{arrays}"] = on_small_stack(lambda: unshred(codec, rb))
        out[f"{codec}-100000"] = on_small_stack(lambda: unshred(codec, batch(100_000, False)))
    return out


@case
def repeated_long_names():
    """One column named by 500 keys of 10,000 bytes over 2,000 documents: 10 GB of members
    rebuilt from 5 MB."""
    rows = 2000
    name = "root" + ("_" + "k" * 10000) * 500
    rb = pa.RecordBatch.from_arrays([pa.array(range(rows)), pa.array([1] * rows)],
                                    names=["root___txn_id", name])
    limit_data(1 << 30)
    return {codec: unshred(codec, rb) for codec in ("json", "arrow")}


@case
def one_long_array():
    """One document whose array has a million elements; element i holds 999999 - i."""
    n = 1_000_000
    rb = pa.RecordBatch.from_arrays(
        [txn(*(["t"] * n)), pa.array(range(n)), pa.array(range(n - 1, -1, -1))],
        names=["root___txn_id", "root_a", "root_a__idx"])
    limit_data(2 << 30)
    result = unshred("json", rb)
    return {"kind": result["kind"], "rows": result.get("rows"),
            "head": result["docs"][0][:40] if "docs" in result else None}


@case
def huge_string_atom():
    """A 64 MiB string cell."""
    big = "x" * (64 << 20)
    rb = pa.RecordBatch.from_arrays([txn("t"), pa.array([big])],
                                    names=["root___txn_id", "root_s"])
    limit_data(1 << 30)
    out = {}
    for codec in ("json", "arrow"):
        result = unshred(codec, rb)
        out[codec] = {"kind": result["kind"], "rows": result.get("rows")}
    return out
