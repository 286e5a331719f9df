"""``shredder sql``: one query over an atoms dataset with its tables registered as views."""

from __future__ import annotations

import csv
import json
import math
import sys
from pathlib import Path
from typing import Any, TextIO

from shredder.core.errors import UserError
from shredder.dataset.tables import import_duckdb, register_views

OUTPUT_FORMATS = ("table", "csv", "jsonl")


def _jsonable(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, (str, int, float, bool)) or value is None:
        return value
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    return str(value)


def run_query(path: Path, query: str, fmt: str = "table", out: TextIO | None = None) -> int:
    """Runs ``query`` with the views ``atoms``, ``docs`` and one per array path registered, and
    writes its result to ``out``; returns the number of result rows."""
    out = out if out is not None else sys.stdout
    duckdb = import_duckdb()
    connection = duckdb.connect()
    try:
        register_views(connection, path)
        relation = connection.sql(query)
        if relation is None:  # a statement without a result
            return 0
        columns = relation.columns
        rows = relation.fetchall()
    except duckdb.Error as error:
        first_line = str(error).strip().splitlines()[0] if str(error).strip() else repr(error)
        raise UserError(f"sql: {first_line}") from None
    finally:
        connection.close()
    if fmt == "csv":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(columns)
        writer.writerows(rows)
    elif fmt == "jsonl":
        for row in rows:
            out.write(json.dumps({c: _jsonable(v) for c, v in zip(columns, row)},
                                 ensure_ascii=False) + "\n")
    else:
        _write_table(columns, rows, out)
    return len(rows)


def _write_table(columns: list[str], rows: list[tuple[Any, ...]], out: TextIO) -> None:
    cells = [[("NULL" if v is None else str(v)) for v in row] for row in rows]
    widths = [max([len(c)] + [len(r[i]) for r in cells]) for i, c in enumerate(columns)]
    out.write("  ".join(c.ljust(w) for c, w in zip(columns, widths)).rstrip() + "\n")
    out.write("  ".join("-" * w for w in widths) + "\n")
    for row in cells:
        out.write("  ".join(v.ljust(w) for v, w in zip(row, widths)).rstrip() + "\n")
    out.write(f"({len(rows):,} row{'s' if len(rows) != 1 else ''})\n")
