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
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.compute as pc

from shredder._paths import DOC_COLUMN as ATOMS_DOC_COLUMN
from shredder._unified import dataset as open_dataset
from shredder._errors import UserError

INDEX_SUFFIX = "__idx"
TXN_SUFFIX = "__txn_id"
TXN_COLUMN = "root___txn_id"
DOC_COLUMN = "__doc"
DOCS_VIEW = "docs"
ATOMS_VIEW = "atoms"
DUCKDB_PIN = "duckdb==2.0.1"


def _duckdb() -> Any:
    try:
        import duckdb
    except ImportError:
        raise UserError("querying atoms needs DuckDB: pip install 'shredder[sql]' "
                        f"(or {DUCKDB_PIN})") from None
    return duckdb


def quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


@dataclass
class Layout:
    """Which columns of the atoms belong to the document and to each array path."""

    txn: str
    arrays: list[str]  # array paths, in column order
    indexes: dict[str, str]  # array path -> its index column
    ancestors: dict[str, list[str]]  # array path -> enclosing array paths, outermost first
    document_columns: list[str]  # one value per document (the transaction column first)
    members: dict[str, list[str]]  # array path -> the columns of its elements' own values

    @classmethod
    def of(cls, schema: pa.Schema) -> "Layout":
        names = schema.names
        txn = TXN_COLUMN if TXN_COLUMN in names else next(
            (n for n in names if n.endswith(TXN_SUFFIX)), None)
        if txn is None:
            raise UserError("the atoms have no transaction column (…__txn_id)")
        indexes = {n[: -len(INDEX_SUFFIX)]: n for n in names if n.endswith(INDEX_SUFFIX)}
        arrays = list(indexes)

        # Names are paths joined with "_", so a column belongs to the longest array path it
        # extends. (A key holding "_" beside an array of the same prefix reads as inside it:
        # the names alone cannot tell them apart.)
        def owner(name: str, exclude: str | None = None) -> str | None:
            best = None
            for path in arrays:
                if path == exclude:
                    continue
                if (name == path or name.startswith(path + "_")) and (
                        best is None or len(path) > len(best)):
                    best = path
            return best

        ancestors = {}
        for path in arrays:
            chain, current = [], owner(path, exclude=path)
            while current is not None:
                chain.append(current)
                current = owner(current, exclude=current)
            ancestors[path] = chain[::-1]
        members: dict[str, list[str]] = {path: [] for path in arrays}
        document_columns = [txn]
        index_columns = set(indexes.values())
        for name in names:
            # Exact atoms number their rows by document within a part; the views key
            # documents across parts by their ids instead.
            if name in index_columns or name == txn or name == ATOMS_DOC_COLUMN:
                continue
            path = owner(name)
            if path is None:
                document_columns.append(name)
            else:
                members[path].append(name)
        return cls(txn, arrays, indexes, ancestors, document_columns, members)

    def first_row_condition(self) -> str:
        if not self.indexes:
            return "TRUE"
        return " AND ".join(f"({quote(c)} IS NULL OR {quote(c)} = 0)"
                            for c in self.indexes.values())

    def docs_sql(self) -> str:
        txn = quote(self.txn)
        others = "".join(f", {quote(c)}" for c in self.document_columns[1:])
        # Identical documents share a digest; the key tells them apart with a count. One key
        # column (not the digest and a count) keeps joins of two tables on a selective key
        # whatever order the planner joins them in.
        copy = f"row_number() OVER (PARTITION BY {txn}) - 1"
        return (f"SELECT CASE WHEN {copy} = 0 THEN {txn} ELSE {txn} || '#' || ({copy}) END "
                f"AS {DOC_COLUMN}, {txn}{others} FROM {ATOMS_VIEW} "
                f"WHERE {self.first_row_condition()}")

    def element_sql(self, path: str) -> str:
        txn = quote(self.txn)
        keys = [self.indexes[a] for a in self.ancestors[path]] + [self.indexes[path]]
        key_list = ", ".join(quote(k) for k in keys)
        values = "".join(f", any_value({quote(m)}) AS {quote(m)}" for m in self.members[path])
        document = "".join(f", d.{quote(c)}" for c in self.document_columns[1:])
        own = "".join(f", e.{quote(m)}" for m in self.members[path])
        keyed = ", ".join(f"e.{quote(k)}" for k in keys)
        return (
            f"WITH e AS (SELECT {txn}, {key_list}{values} FROM {ATOMS_VIEW} "
            f"WHERE {quote(self.indexes[path])} IS NOT NULL GROUP BY {txn}, {key_list}) "
            f"SELECT d.{DOC_COLUMN}, e.{txn}, {keyed}{own}{document} "
            f"FROM e JOIN {DOCS_VIEW} AS d ON e.{txn} = d.{txn}")


def document_digests(atoms: pa.RecordBatch) -> pa.Array:
    """The transaction id of every document of an atoms batch, in the order of the documents:
    one per first row, by the rule of the ``docs`` view."""
    layout = Layout.of(atoms.schema)
    mask = None
    for name in layout.indexes.values():
        column = atoms.column(name)
        first = pc.or_kleene(pc.is_null(column), pc.equal(column, 0))
        mask = first if mask is None else pc.and_(mask, first)
    txn = atoms.column(layout.txn)
    return txn if mask is None else pc.filter(txn, mask)


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
    connection.execute(f"CREATE OR REPLACE VIEW {DOCS_VIEW} AS {layout.docs_sql()}")
    for array in layout.arrays:
        connection.execute(f"CREATE OR REPLACE VIEW {quote(array)} AS "
                           f"{layout.element_sql(array)}")
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
        connection = _duckdb().connect()
    layout = register_views(connection, path)
    return Tables(connection, layout)
