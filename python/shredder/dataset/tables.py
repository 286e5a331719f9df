"""Element and document tables over an atoms dataset, as DuckDB views.

The rows of the atoms are the shredder's working rows, not elements: element 0 of every array
shares the row of its enclosing object with element 0 of the sibling arrays, rows of later
elements are copies of an earlier row (so they repeat some of its cells), members of the
document are written into its first row and carried only into rows copied after them, and
identical documents carry identical rows. The views undo that by value, not by row order (so
they read the unified dataset through any scan order):

- the first row of a document is the one row whose every index is 0 or null (every other row
  was made for a later element of some array and holds that element's index); so the
  document table is those rows, one per document, identical documents included;
- every row that belongs to element k of an array P holds P's index k and the same indexes of
  P's enclosing arrays; the element's own row holds every member of the element, and the other
  rows with those indexes are copies that hold the same values or nulls. So an element is one
  group by (transaction id, enclosing indexes, index), and each member is the group's non-null
  value.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

import pyarrow as pa

from shredder.core.errors import UserError
from shredder.core.layout import Layout
from shredder.core.names import DOC_COLUMN, TXN_COLUMN
from shredder.dataset.unified import dataset as open_dataset

DOCS_VIEW = "docs"
ATOMS_VIEW = "atoms"
DUCKDB_PIN = "duckdb==2.0.1"


def import_duckdb() -> Any:
    try:
        import duckdb
    except ImportError:
        raise UserError("querying atoms needs DuckDB: pip install 'shredder[sql]' "
                        f"(or {DUCKDB_PIN})") from None
    return duckdb


def quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def first_row_condition(layout: Layout) -> str:
    if not layout.indexes:
        return "TRUE"
    return " AND ".join(f"({quote(c)} IS NULL OR {quote(c)} = 0)"
                        for c in layout.indexes.values())


def docs_sql(layout: Layout) -> str:
    txn = quote(layout.txn)
    others = "".join(f", {quote(c)}" for c in layout.document_columns[1:])
    # Identical documents share a digest; the key tells them apart with a count. One key
    # column (not the digest and a count) keeps joins of two tables on a selective key
    # whatever order the planner joins them in.
    copy = f"row_number() OVER (PARTITION BY {txn}) - 1"
    # The key takes the name of the atoms' own document column, which the views leave out.
    return (f"SELECT CASE WHEN {copy} = 0 THEN {txn} ELSE {txn} || '#' || ({copy}) END "
            f"AS {DOC_COLUMN}, {txn}{others} FROM {ATOMS_VIEW} "
            f"WHERE {first_row_condition(layout)}")


def element_sql(layout: Layout, path: str) -> str:
    txn = quote(layout.txn)
    keys = [layout.indexes[a] for a in layout.ancestors[path]] + [layout.indexes[path]]
    key_list = ", ".join(quote(k) for k in keys)
    values = "".join(f", any_value({quote(m)}) AS {quote(m)}" for m in layout.members[path])
    document = "".join(f", d.{quote(c)}" for c in layout.document_columns[1:])
    own = "".join(f", e.{quote(m)}" for m in layout.members[path])
    keyed = ", ".join(f"e.{quote(k)}" for k in keys)
    return (
        f"WITH e AS (SELECT {txn}, {key_list}{values} FROM {ATOMS_VIEW} "
        f"WHERE {quote(layout.indexes[path])} IS NOT NULL GROUP BY {txn}, {key_list}) "
        f"SELECT d.{DOC_COLUMN}, e.{txn}, {keyed}{own}{document} "
        f"FROM e JOIN {DOCS_VIEW} AS d ON e.{txn} = d.{txn}")


def register_views(connection: Any, path: Path | str) -> Layout:
    """Registers, on a DuckDB connection, ``atoms`` (the unified dataset as it is), ``docs``
    and one view per array path named by its path (``root_items``)."""
    data = open_dataset(path)
    if len(data.schema) == 0:
        # A dataset of no documents: its tables are empty, not missing.
        connection.execute(f"CREATE OR REPLACE VIEW {ATOMS_VIEW} AS "
                           f"SELECT NULL::VARCHAR AS {TXN_COLUMN} WHERE FALSE")
        data = None
    layout = Layout.of(pa.schema([(TXN_COLUMN, pa.string())]) if data is None else data.schema)
    if data is not None:
        connection.register(ATOMS_VIEW, data)
    connection.execute(f"CREATE OR REPLACE VIEW {DOCS_VIEW} AS {docs_sql(layout)}")
    for array in layout.arrays:
        connection.execute(f"CREATE OR REPLACE VIEW {quote(array)} AS "
                           f"{element_sql(layout, array)}")
    return layout


class Tables(Mapping[str, Any]):
    """The document table (``"docs"``) and one element table per array path, each a lazy
    DuckDB relation on ``connection``, where the same names are registered as views."""

    def __init__(self, connection: Any, layout: Layout) -> None:
        self.connection = connection
        self.layout = layout
        self._names = [DOCS_VIEW, *layout.arrays]

    def __getitem__(self, name: str) -> Any:
        if name not in self._names:
            raise KeyError(name)
        return self.connection.table(name)

    def __iter__(self) -> Iterator[str]:
        return iter(self._names)

    def __len__(self) -> int:
        return len(self._names)

    def sql(self, query: str) -> Any:
        return self.connection.sql(query)

    def __repr__(self) -> str:
        return f"Tables({', '.join(self._names)})"


def tables(path: Path | str, connection: Any = None) -> Tables:
    """The element and document tables of the atoms dataset at ``path``.

    Returns a mapping from ``"docs"`` and every array path (``"root_items"``) to a DuckDB
    relation; nothing is read until a relation is fetched or queried, and DuckDB pushes
    column choices and filters down into the part files. ``connection`` defaults to a new
    in-memory DuckDB connection; the tables are also views on it (``result.sql(...)``).
    """
    if connection is None:
        connection = import_duckdb().connect()
    layout = register_views(connection, path)
    return Tables(connection, layout)

