"""The peers: tools a user would pick instead, each doing the nearest equivalent job on the same
JSONL text: read the documents, make one column per leaf (nested objects flattened into dotted
names), and explode every array into rows (one row per element, a record with a null or empty
array kept as one row with a null). Explodes run one array column after another; where a
record holds several arrays that forms their cross product (the shredder instead adds one row
per further element of each array), so for inputs of that kind a cell cap stops runaway growth
and the peer is reported as failed. Every peer runs on one thread (see common.THREAD_ENV and
the per-peer settings below). Each returns (rows, columns) of its final table."""

from __future__ import annotations

import io
import json
from typing import Callable

NOTES = {
    "pyarrow": "pyarrow.json.read_json (use_threads=False), Table.flatten until no struct "
               "remains, each list column exploded with list_flatten/take (numpy offsets); "
               "infers types per column (ISO-8601 strings become timestamps), fails on "
               "columns whose type changes; no digests, no index columns, no reverse path.",
    "polars": "polars.read_ndjson (infer_schema_length=None, POLARS_MAX_THREADS=1), unnest "
              "structs with '.' separator, explode list columns (empty_as_null); "
              "schema inferred over all rows, fails on type conflicts; no digests, no "
              "index columns, no reverse path.",
    "duckdb": "DuckDB read_json (newline_delimited, sample_size=-1, threads=1) from the file "
              "(page cache) rather than memory, struct fields selected out level by level, "
              "lists UNNESTed one at a time, result materialized as a temp table; may infer "
              "MAP/JSON types instead of structs; no digests, no index columns.",
    "pandas": "json.loads per line + pandas.json_normalize (dotted names), then each list "
              "column exploded (DataFrame.explode) and lists of objects normalized again; "
              "object/str columns, no typed Arrow output, no digests, no index columns.",
}


class CellCapExceeded(RuntimeError):
    pass


def _guard(rows: int, cols: int, cap: int | None) -> None:
    if cap is not None and rows * max(cols, 1) > cap:
        raise CellCapExceeded(f"explode would make {rows} rows x {cols} columns "
                              f"(cap {cap} cells)")


# --- pyarrow ----------------------------------------------------------------------------------

def run_pyarrow(text: bytes, path: str, max_line: int, cell_cap: int | None = None):
    import numpy as np
    import pyarrow as pa
    import pyarrow.json as pajson

    block = max(1 << 20, 2 * max_line + 16)
    tbl = pajson.read_json(pa.BufferReader(text),
                           read_options=pajson.ReadOptions(use_threads=False, block_size=block))
    while True:
        types = [f.type for f in tbl.schema]
        if any(pa.types.is_struct(t) for t in types):
            tbl = tbl.flatten()
            continue
        lists = [i for i, t in enumerate(types)
                 if pa.types.is_list(t) or pa.types.is_large_list(t)]
        if not lists:
            break
        i = lists[0]
        name = tbl.schema.field(i).name
        col = tbl.column(i).combine_chunks()
        lens = col.value_lengths().fill_null(0).to_numpy(zero_copy_only=False).astype(np.int64)
        counts = np.maximum(lens, 1)
        total = int(counts.sum())
        _guard(total, tbl.num_columns, cell_cap)
        parent = np.repeat(np.arange(len(lens), dtype=np.int64), counts)
        first_out = np.cumsum(counts) - counts
        k = np.arange(total, dtype=np.int64) - first_out[parent]
        valid = k < lens[parent]
        value_start = np.cumsum(lens) - lens
        vidx = np.where(valid, value_start[parent] + k, 0)
        values = col.flatten().take(pa.array(vidx, mask=~valid))
        rest = tbl.remove_column(i)
        if rest.num_columns:
            tbl = rest.take(pa.array(parent)).append_column(name, values)
        else:                      # a table of no columns forgets its row count
            tbl = pa.table({name: values})
    return tbl.num_rows, tbl.num_columns


# --- polars -----------------------------------------------------------------------------------

def run_polars(text: bytes, path: str, max_line: int, cell_cap: int | None = None):
    import polars as pl

    df = pl.read_ndjson(io.BytesIO(text), infer_schema_length=None)
    while True:
        structs = [c for c, t in df.schema.items() if isinstance(t, pl.Struct)]
        if structs:
            df = df.unnest(structs, separator=".")
            continue
        lists = [c for c, t in df.schema.items() if isinstance(t, (pl.List, pl.Array))]
        if not lists:
            break
        c = lists[0]
        total = int(df[c].list.len().fill_null(0).clip(lower_bound=1).sum()) if df.height else 0
        _guard(total, df.width, cell_cap)
        df = df.explode(c, empty_as_null=True, keep_nulls=True)
    return df.height, df.width


# --- DuckDB -----------------------------------------------------------------------------------

_DUCK = None


def _duck():
    global _DUCK
    if _DUCK is None:
        import duckdb
        _DUCK = duckdb.connect(config={"threads": 1})
        _DUCK.execute("SET threads = 1")
        _DUCK.execute("SET preserve_insertion_order = true")
    return _DUCK


def _q(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def run_duckdb(text: bytes, path: str, max_line: int, cell_cap: int | None = None):
    con = _duck()
    lit = "'" + str(path).replace("'", "''") + "'"
    size = max(16 << 20, 2 * max_line + 16)
    sql = (f"SELECT * FROM read_json({lit}, format='newline_delimited', sample_size=-1, "
           f"maximum_object_size={size})")
    # The schema is read once (binding read_json scans the file to infer it); the columns of
    # every later step are derived from it here rather than by binding the query again.
    rel = con.sql(sql)
    cols = list(zip(rel.columns, rel.types))
    step = 0
    while True:
        if any(t.id == "struct" for _, t in cols):
            parts, nxt = [], []
            for c, t in cols:
                if t.id == "struct":
                    for f, ft in t.children:
                        parts.append(f"{_q(c)}.{_q(f)} AS {_q(c + '.' + f)}")
                        nxt.append((c + "." + f, ft))
                else:
                    parts.append(_q(c))
                    nxt.append((c, t))
            if not parts:          # only empty structs: nothing left to select
                break
            sql = f"SELECT {', '.join(parts)} FROM ({sql})"
            cols = nxt
            continue
        lists = [c for c, t in cols if t.id == "list"]
        if not lists:
            break
        c = lists[0]
        if cell_cap is not None:
            # Materialize the input of this explode to count its result before running it.
            step += 1
            tmp = f"bench_step{step}"
            con.execute(f"CREATE OR REPLACE TEMP TABLE {tmp} AS {sql}")
            total = con.execute(f"SELECT coalesce(sum(greatest(coalesce(len({_q(c)}), 0), 1)), "
                                f"0) FROM {tmp}").fetchone()[0]
            _guard(int(total), len(cols), cell_cap)
            sql = f"SELECT * FROM {tmp}"
        rest = [_q(x) for x, _ in cols if x != c]
        sql = (f"SELECT {', '.join(rest + [''])}unnest(CASE WHEN len({_q(c)}) > 0 THEN {_q(c)} "
               f"ELSE [NULL] END) AS {_q(c)} FROM ({sql})")
        cols = [(x, t) for x, t in cols if x != c] + \
               [(c, t.children[0][1]) for x, t in cols if x == c]
    con.execute(f"CREATE OR REPLACE TEMP TABLE bench_out AS {sql}")
    rows = con.execute("SELECT count(*) FROM bench_out").fetchone()[0]
    width = len(con.sql("SELECT * FROM bench_out").columns)
    con.execute("DROP TABLE bench_out")
    for s in range(1, step + 1):
        con.execute(f"DROP TABLE IF EXISTS bench_step{s}")
    return int(rows), width


# --- pandas -----------------------------------------------------------------------------------

def run_pandas(text: bytes, path: str, max_line: int, cell_cap: int | None = None):
    import pandas as pd

    records = [json.loads(line) for line in text.splitlines() if line]
    df = pd.json_normalize(records)
    del records
    # Columns still to look at: exploding one column or normalizing it leaves the others as
    # they were, so only the exploded column and the columns made from it are looked at again.
    todo = [c for c in df.columns if df[c].dtype == object]
    while todo:
        c = todo.pop(0)
        if not df[c].map(lambda v: isinstance(v, list)).any():
            continue
        total = int(df[c].map(lambda v: max(len(v), 1) if isinstance(v, list) else 1).sum())
        _guard(total, df.shape[1], cell_cap)
        df = df.explode(c, ignore_index=True)
        if df[c].map(lambda v: isinstance(v, dict)).any():
            sub = pd.json_normalize([v if isinstance(v, dict) else {} for v in df[c]])
            sub.columns = [f"{c}.{x}" for x in sub.columns]
            df = pd.concat([df.drop(columns=[c]), sub], axis=1)
            todo = [x for x in sub.columns if sub[x].dtype == object] + todo
        else:
            todo.insert(0, c)      # an array of arrays: explode again
    return df.shape[0], df.shape[1]


PEERS: dict[str, Callable] = {
    "pyarrow": run_pyarrow,
    "polars": run_polars,
    "duckdb": run_duckdb,
    "pandas": run_pandas,
}
