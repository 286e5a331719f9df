"""What the documents hold at each path, counted in documents (Parquet statistics count atom
rows, which repeat a document's cells across the rows of its arrays): how many documents hold
the path, how many hold it as null or had it rescued into their object's rest column, and how
long its arrays are. Computed with Arrow's kernels on each atoms batch where it is written (a
worker), added up where the manifest is written (the driver), and kept in the manifest.

A row belongs to the document its ``__doc`` cell names, or (datasets without that column) its
transaction digest: there, identical documents of one batch count once, as they unshred once.
"""

from __future__ import annotations

import json
from collections import Counter
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

import pyarrow as pa
import pyarrow.compute as pc

from shredder.core.names import INDEX, REST, Keys, column_paths, document_key


@dataclass
class PathStats:
    documents: int = 0
    nulls: int = 0
    rescued: int = 0
    # arrays by length, in buckets: 0, 1, 2, then up to each power of two (4 holds 3 and 4)
    lengths: Counter = field(default_factory=Counter)
    rescued_kinds: Counter = field(default_factory=Counter)

    def add(self, other: "PathStats") -> None:
        self.documents += other.documents
        self.nulls += other.nulls
        self.rescued += other.rescued
        self.lengths.update(other.lengths)
        self.rescued_kinds.update(other.rescued_kinds)


def length_bucket(length: int) -> int:
    return 0 if length <= 0 else 1 << (length - 1).bit_length()


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

    def add_batch(self, atoms: pa.RecordBatch) -> None:
        """Counts the documents of one atoms batch (all rows of its documents)."""
        key = document_key(atoms.schema)
        if key is None or atoms.num_rows == 0:
            return
        codes = atoms.column(key)
        if not pa.types.is_integer(codes.type):
            codes = pc.dictionary_encode(codes).indices
        everyone = pc.unique(pc.drop_null(codes))
        self.documents += len(everyone)
        self._at(()).documents += len(everyone)
        holders: dict[Keys, list[pa.Array]] = {}
        paths = column_paths(atoms.schema)
        indexes = {p.keys: atoms.column(p.name) for p in paths if p.role == INDEX}
        for path, column in zip(paths, atoms.columns):
            if path.name == key or pa.types.is_null(column.type) or column.null_count == len(
                    column):
                continue
            # a stamp says its object is there; the stamp itself is no path of the input
            keys = path.keys[:-1] if path.stamp else path.keys
            if not keys and path.role != REST:  # the root: every document holds it
                continue
            present = everyone if column.null_count == 0 else \
                pc.unique(pc.filter(codes, pc.is_valid(column)))
            holders.setdefault(keys, []).append(present)
            if path.role == INDEX:
                self._count_lengths(keys, codes, column, indexes)
            elif path.role == REST:
                self._count_rescued(keys, codes, column, holders)
        for keys, arrays in holders.items():
            self._at(keys).documents += len(arrays[0]) if len(arrays) == 1 else \
                pc.count_distinct(pa.concat_arrays(arrays)).as_py()

    def _count_lengths(self, keys: Keys, codes: pa.Array, index: pa.Array,
                       indexes: dict[Keys, pa.Array]) -> None:
        # One array per document and element of each enclosing array; its length is its
        # highest index plus one (rows of later elements repeat the indexes of earlier ones).
        enclosing = [indexes[k] for k in indexes if len(k) < len(keys) and keys[:len(k)] == k]
        names = ["document", *(f"outer{i}" for i in range(len(enclosing))), "index"]
        table = pa.table([codes, *enclosing, index], names=names).filter(pc.is_valid(index))
        highest = table.group_by(names[:-1]).aggregate([("index", "max")]).column("index_max")
        lengths = pc.add(highest, 1)
        buckets = pc.power(2, pc.ceil(pc.log2(pc.cast(lengths, pa.float64()))))
        counts = self._at(keys).lengths
        for entry in pc.value_counts(buckets).to_pylist():
            counts[int(entry["values"])] += entry["counts"]

    def _count_rescued(self, keys: Keys, codes: pa.Array, rest: pa.Array,
                       holders: dict[Keys, list[pa.Array]]) -> None:
        # Rescued members are rare, so they are read one distinct cell at a time.
        valid = pc.is_valid(rest)
        table = pa.table({"document": pc.filter(codes, valid), "rest": pc.filter(rest, valid)})
        pairs = table.group_by(["document", "rest"]).aggregate([])
        documents: dict[Keys, set[int]] = {}
        parsed: dict[str, Any] = {}
        for code, text in zip(pairs.column("document").to_pylist(),
                              pairs.column("rest").to_pylist()):
            if text not in parsed:
                try:
                    parsed[text] = json.loads(text)
                except ValueError:
                    parsed[text] = {}
            members = parsed[text] if isinstance(parsed[text], dict) else {}
            for member, value in members.items():
                path = keys + (member,)
                if code in documents.setdefault(path, set()):
                    continue
                documents[path].add(code)
                stats = self._at(path)
                stats.rescued += 1
                stats.rescued_kinds[_kind(value)] += 1
                if value is None:
                    stats.nulls += 1
                elif isinstance(value, list):
                    stats.lengths[length_bucket(len(value))] += 1
        for path, codes_here in documents.items():
            holders.setdefault(path, []).append(pa.array(sorted(codes_here), codes.type))

    def merge(self, other: "DatasetStats") -> None:
        self.documents += other.documents
        for keys, stats in other.paths.items():
            self._at(keys).add(stats)

    def to_json(self) -> dict[str, Any]:
        return {"documents": self.documents, "paths": [
            {"keys": list(keys), "documents": s.documents, "nulls": s.nulls,
             "rescued": s.rescued, "lengths": {str(k): v for k, v in sorted(s.lengths.items())},
             **({"rescued_kinds": dict(s.rescued_kinds)} if s.rescued_kinds else {})}
            for keys, s in sorted(self.paths.items())]}

    @classmethod
    def from_json(cls, data: Any) -> "DatasetStats":
        stats = cls()
        stats.documents = int(data["documents"])
        for entry in data["paths"]:
            stats.paths[tuple(str(k) for k in entry["keys"])] = PathStats(
                int(entry["documents"]), int(entry["nulls"]), int(entry["rescued"]),
                Counter({int(k): int(v) for k, v in entry["lengths"].items()}),
                Counter(entry.get("rescued_kinds", {})))
        return stats


def merged(parts: Iterable[Any]) -> DatasetStats | None:
    """The statistics of several parts or partitions (their ``to_json`` forms), or None when
    one of them has none (a partition a resumed run took from a run that did not count)."""
    total = DatasetStats()
    for data in parts:
        if data is None:
            return None
        total.merge(DatasetStats.from_json(data))
    return total
