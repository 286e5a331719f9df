"""What the documents hold at each path, counted in documents (Parquet statistics count atom
rows, which repeat a document's cells across the rows of its arrays): how many documents hold
the path, how many hold it as null or had it rescued into their object's rest column, and how
long its arrays are. Computed on each atoms batch where it is written (a worker), added up
where the manifest is written (the driver), and kept in the manifest.

A row belongs to the document its ``__doc`` cell names, or (datasets without that column) its
transaction digest: there, identical documents of one batch count once, as they unshred once.
"""

from __future__ import annotations

import functools
import json
from collections import Counter
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pyarrow as pa

from shredder.core.names import INDEX, REST, Keys, column_paths, key_column
from shredder.dataset.document_rows import DocumentRows, texts_at, validity_bits


@dataclass
class PathStats:
    documents: int = 0
    nulls: int = 0
    rescued: int = 0
    # arrays by length, in buckets: 0, 1, 2, then up to each power of two (4 holds 3 and 4)
    lengths: Counter = field(default_factory=Counter)
    rescued_kinds: Counter = field(default_factory=Counter)


def length_bucket(length: int) -> int:
    return 0 if length <= 0 else 1 << (length - 1).bit_length()


# Rest cells repeat from batch to batch (the same few members left out, often as null).
@functools.lru_cache(maxsize=1 << 12)
def _members(text: Any) -> tuple[tuple[str, Any, str], ...]:
    """The members of a rest cell with their values and kinds; none when it is no JSON
    object."""
    try:
        members = json.loads(text)
    except ValueError:
        return ()
    if not isinstance(members, dict):
        return ()
    return tuple((member, value, _kind(value)) for member, value in members.items())


def _kind(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "bool"
    if isinstance(value, (int, float)):
        return "number"
    return {str: "string", list: "array", dict: "object"}[type(value)]


class DatasetStats:
    """Statistics per path (member keys below the document root; the root is ())."""

    def __init__(self) -> None:
        self.documents = 0
        self.paths: dict[Keys, PathStats] = {}

    def _at(self, keys: Keys) -> PathStats:
        stats = self.paths.get(keys)
        if stats is None:
            stats = self.paths[keys] = PathStats()
        return stats

    def add_batch(self, atoms: pa.RecordBatch | pa.Table) -> None:
        """Counts the documents of one atoms batch (all rows of its documents)."""
        paths = column_paths(atoms.schema)
        key = key_column(paths, atoms.schema.names)
        if key is None or atoms.num_rows == 0:
            return
        codes = atoms.column(key)
        if not pa.types.is_integer(codes.type):
            import pyarrow.compute as pc  # imported here, not on loading: see shredder/__init__
            codes = pc.dictionary_encode(_whole(codes)).indices
        documents = DocumentRows(_whole(codes))
        everyone = len(documents.codes)
        self.documents += everyone
        self._at(()).documents += everyone
        # Where each path is held, counted as Arrow's kernels once counted it: how many
        # sources it has (its columns, and each rest column with members at it), which hold it
        # in every row, which only in some (their validity, ORed per path), and the documents
        # of its rescued members.
        sources: dict[Keys, int] = {}
        everywhere: set[Keys] = set()
        partly: dict[Keys, np.ndarray] = {}
        rescued: dict[Keys, list[set]] = {}
        columns = atoms.columns if isinstance(atoms, pa.RecordBatch) else \
            [column.combine_chunks() for column in atoms.columns]
        indexes = {p.keys: c for p, c in zip(paths, columns) if p.role == INDEX}
        rows = atoms.num_rows
        for path, column in zip(paths, columns):
            nulls = column.null_count
            if nulls == rows or path.name == key:  # the null type has only nulls
                continue
            # a stamp says its object is there; the stamp itself is no path of the input
            keys = path.keys[:-1] if path.stamp else path.keys
            if not keys and path.role != REST:  # the root: every document holds it
                continue
            sources[keys] = sources.get(keys, 0) + 1
            bits = None
            if nulls == 0:
                everywhere.add(keys)
            else:
                bits = validity_bits(column)
                held = partly.get(keys)
                partly[keys] = bits if held is None else held | bits
            if path.role == INDEX:
                self._count_lengths(keys, documents, column, indexes)
            elif path.role == REST:
                self._count_rescued(keys, codes, documents, atoms.column(path.name)
                                    if isinstance(atoms, pa.Table) else column,
                                    bits, sources, rescued)
        self._count_holders(documents, sources, everywhere, partly, rescued)

    def _count_holders(self, documents: DocumentRows, sources: dict[Keys, int],
                       everywhere: set[Keys], partly: dict[Keys, np.ndarray],
                       rescued: dict[Keys, list[set]]) -> None:
        everyone = len(documents.codes)
        numbers = {keys: number for number, keys in enumerate(partly)}
        counts, coded, groups_of = documents.holding(
            list(partly.values()), [numbers[keys] for keys in rescued if keys in numbers])
        for keys, count in sources.items():
            if keys in everywhere:
                holders = everyone
            elif keys in rescued:
                codes = set().union(*rescued[keys])
                if keys in numbers:
                    codes.update(documents.codes_of(groups_of[numbers[keys]]))
                holders = len(codes) if count == 1 else len(codes - {None})
            else:  # a lone column counts the rows without a code as one more document
                holders = (counts if count == 1 else coded)[numbers[keys]]
            self._at(keys).documents += holders

    def _count_lengths(self, keys: Keys, documents: DocumentRows, index: pa.Array,
                       indexes: dict[Keys, pa.Array]) -> None:
        # One array per document and element of each enclosing array; its length is its
        # highest index plus one (rows of later elements repeat the indexes of earlier ones).
        enclosing = [indexes[k] for k in indexes if len(k) < len(keys) and keys[:len(k)] == k]
        highest = documents.longest(index, enclosing)
        lengths, times = np.unique(highest + 1, return_counts=True)
        counts = self._at(keys).lengths
        for length, count in zip(lengths.tolist(), times.tolist()):
            counts[length_bucket(length)] += count

    def _count_rescued(self, keys: Keys, codes: pa.Array, documents: DocumentRows,
                       rest: pa.Array, bits: np.ndarray | None, sources: dict[Keys, int],
                       rescued: dict[Keys, list[set]]) -> None:
        # Rescued members are rare, so they are read one distinct cell at a time. A document
        # counts a member once, with its value in the first of its cells that holds it.
        rows = np.arange(len(rest)) if bits is None else \
            np.flatnonzero(np.unpackbits(bits, count=len(rest), bitorder="little"))
        cells: dict[Any, list[int | None]] = {}  # the documents holding each distinct cell
        for code, text in dict.fromkeys(zip(documents.codes_at(rows),
                                            texts_at(rest, rows))):
            cells.setdefault(text, []).append(code)
        members = {text: _members(text) for text in cells}
        # Where no document has two cells and no member two kinds, the order of the cells
        # counts for nothing, so each member is counted over its distinct values at once.
        values_of: dict[str, tuple[str, list[tuple[Any, list[int | None]]]]] = {}
        alike = sum(map(len, cells.values())) == len(set().union(*cells.values()))
        for text, holders in cells.items():
            for member, value, kind in members[text] if alike else ():
                found = values_of.setdefault(member, (kind, []))
                alike = alike and found[0] == kind
                found[1].append((value, holders))
        documents_of: dict[Keys, set[int | None]] = {}
        if alike:
            for member, (kind, values) in values_of.items():
                path = keys + (member,)
                documents_of[path] = set().union(*(holders for _, holders in values))
                stats = self._at(path)
                stats.rescued += len(documents_of[path])
                stats.rescued_kinds[kind] += len(documents_of[path])
                if kind == "null":
                    stats.nulls += len(documents_of[path])
                for value, holders in values if kind == "array" else ():
                    stats.lengths[length_bucket(len(value))] += len(holders)
        else:
            # The first cell is the first in the order of Arrow's grouping (which follows
            # the chunks), and so is the order in which a path meets its kinds.
            import pyarrow.compute as pc  # imported here, not on loading: see shredder/__init__
            valid = pc.is_valid(rest)
            pairs = pa.table({"document": pc.filter(codes, valid),
                              "rest": pc.filter(rest, valid)}) \
                .group_by(["document", "rest"]).aggregate([])
            for code, text in zip(pairs.column("document").to_pylist(),
                                  pairs.column("rest").to_pylist()):
                for member, value, kind in members[text]:
                    holders = documents_of.setdefault(keys + (member,), set())
                    if code not in holders:
                        holders.add(code)
                        self._count_member(keys + (member,), value, kind)
        for path, codes_here in documents_of.items():
            sources[path] = sources.get(path, 0) + 1
            rescued.setdefault(path, []).append(codes_here)

    def _count_member(self, path: Keys, value: Any, kind: str) -> None:
        stats = self._at(path)
        stats.rescued += 1
        stats.rescued_kinds[kind] += 1
        if value is None:
            stats.nulls += 1
        elif isinstance(value, list):
            stats.lengths[length_bucket(len(value))] += 1

    def to_json(self) -> dict[str, Any]:
        return {"documents": self.documents, "paths": [
            {"keys": list(keys), "documents": s.documents, "nulls": s.nulls,
             "rescued": s.rescued, "lengths": {str(k): v for k, v in sorted(s.lengths.items())},
             **({"rescued_kinds": dict(s.rescued_kinds)} if s.rescued_kinds else {})}
            for keys, s in sorted(self.paths.items())]}

    @classmethod
    def from_json(cls, data: Any) -> "DatasetStats":
        stats = cls()
        stats.add_json(data)
        return stats

    def add_json(self, data: Any) -> None:
        """Adds the statistics of ``to_json`` form, path by path: the driver adds up every
        partition's this way, without building them first (a thousand paths each)."""
        self.documents += int(data["documents"])
        for entry in data["paths"]:
            stats = self._at(tuple(str(k) for k in entry["keys"]))
            stats.documents += int(entry["documents"])
            stats.nulls += int(entry["nulls"])
            stats.rescued += int(entry["rescued"])
            for length, count in entry["lengths"].items():
                stats.lengths[int(length)] += int(count)
            for kind, count in entry.get("rescued_kinds", {}).items():
                stats.rescued_kinds[kind] += count


def _whole(column: pa.Array | pa.ChunkedArray) -> pa.Array:
    return column.combine_chunks() if isinstance(column, pa.ChunkedArray) else column


def merged(parts: Iterable[Any]) -> DatasetStats | None:
    """The statistics of several parts or partitions (their ``to_json`` forms), or None when
    one of them has none (a partition a resumed run took from a run that did not count)."""
    total = DatasetStats()
    for data in parts:
        if data is None:
            return None
        total.add_json(data)
    return total
