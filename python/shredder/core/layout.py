"""Which columns of atoms belong to the document and to each array path, read from the names.

The rows of the atoms are the shredder's working rows, not elements: element 0 of every array
shares the row of its enclosing object with element 0 of the sibling arrays, and rows of later
elements are copies of an earlier row, so the first row of a document is the one row whose
every index is 0 or null (every other row was made for a later element of some array and holds
that element's index). The element and document tables build on the same reading.
"""

from __future__ import annotations

from dataclasses import dataclass

import pyarrow as pa

from shredder.core.errors import UserError
from shredder.core.names import DOC_COLUMN, INDEX_SUFFIX, SEPARATOR, txn_column


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
        txn = txn_column(names)
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
                if (name == path or name.startswith(path + SEPARATOR)) and (
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
            if name in index_columns or name == txn or name == DOC_COLUMN:
                continue
            path = owner(name)
            if path is None:
                document_columns.append(name)
            else:
                members[path].append(name)
        return cls(txn, arrays, indexes, ancestors, document_columns, members)


def document_digests(atoms: pa.RecordBatch) -> pa.Array:
    """The transaction id of every document of an atoms batch, in the order of the documents:
    one per first row, by the rule of the module's notes (the ``docs`` view's)."""
    import pyarrow.compute as pc  # imported here, not on loading: see shredder/__init__
    layout = Layout.of(atoms.schema)
    mask = None
    for name in layout.indexes.values():
        column = atoms.column(name)
        first = pc.or_kleene(pc.is_null(column), pc.equal(column, 0))
        mask = first if mask is None else pc.and_(mask, first)
    txn = atoms.column(layout.txn)
    return txn if mask is None else pc.filter(txn, mask)
