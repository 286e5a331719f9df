"""Shred-time check: rebuild each batch from its atoms and name every difference by path.

At shred time the input is at hand, so a rebuilt document can be compared with the document
itself, not only with its digest: every difference is put in a class that says whether it is
one of the documented changes of the atoms model or a loss.
"""

from __future__ import annotations

import json
from collections import Counter
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

import pyarrow as pa

import shredder_ext
from shredder.core.layout import document_digests
from shredder.core.names import DOC_COLUMN, STAMPS, TXN_KEY, join_keys, pointer

DROPPED_NULL = "dropped null"
DROPPED_EMPTY = "dropped empty array or object"
KEY_SPLIT = 'key split at "_"'
WRAPPED = "lone value wrapped"
WIDENED = "number widened"
BOXED = "value boxed to text"
LOST = "lost"
CLASSES = (DROPPED_NULL, DROPPED_EMPTY, KEY_SPLIT, WRAPPED, WIDENED, BOXED, LOST)

Path_ = tuple[str | int, ...]


class _Empty:
    """An empty array or object where a leaf would be: it has no atoms of its own."""

    def __init__(self, text: str) -> None:
        self.text = text

    def __repr__(self) -> str:
        return self.text


EMPTY_ARRAY = _Empty("[]")
EMPTY_OBJECT = _Empty("{}")


def _leaves(value: Any, path: Path_ = ()) -> Iterator[tuple[Path_, Any]]:
    """Every scalar, null and empty container of a document with its path, in order."""
    stack = [(path, value)]
    while stack:
        here, current = stack.pop()
        if isinstance(current, dict):
            if not current:
                yield here, EMPTY_OBJECT
            stack.extend((here + (k,), v) for k, v in reversed(current.items()))
        elif isinstance(current, list):
            if not current:
                yield here, EMPTY_ARRAY
            stack.extend((here + (i,), v) for i, v in reversed(list(enumerate(current))))
        else:
            yield here, current


def _strip_ids(value: Any) -> Any:
    if isinstance(value, dict):
        return {k: _strip_ids(v) for k, v in value.items() if k not in STAMPS}
    if isinstance(value, list):
        return [_strip_ids(v) for v in value]
    return value


def _same(a: Any, b: Any) -> bool:
    return type(a) is type(b) and (a is b or a == b)


def _column_key(path: Path_) -> tuple[str, tuple[int, ...]]:
    """What the atoms keep of a path: the column name (keys joined by "_", empty keys adding
    nothing) and the array positions."""
    keys = [s for s in path if isinstance(s, str)]
    return join_keys(keys), tuple(s for s in path if isinstance(s, int))


def differences(original: Any, rebuilt: Any, stamped: bool = True) -> list[tuple[str, str]]:
    """The differences between an input document and the document rebuilt from its atoms, as
    (JSON Pointer, class), each once, in the order of the input's members. A ``stamped``
    document carries the ids the atoms added, which are left out; one rebuilt without them
    (exact atoms) keeps the input's own members of those names."""
    rebuilt_leaves = dict(_leaves(_strip_ids(rebuilt) if stamped else rebuilt))
    by_column: dict[tuple[str, tuple[int, ...]], list[Path_]] = {}
    for path in rebuilt_leaves:
        by_column.setdefault(_column_key(path), []).append(path)
    used: set[Path_] = set()
    found: dict[tuple[str, str], None] = {}

    def note(path: Path_, kind: str) -> None:
        found[(pointer(path), kind)] = None

    for path, value in _leaves(original):
        if path in rebuilt_leaves:
            used.add(path)
            back = rebuilt_leaves[path]
            if _same(value, back):
                continue
            if isinstance(value, _Empty) and back is None:
                note(path, DROPPED_EMPTY)
            elif (type(value) is int and type(back) is float
                  and _number_widened(value, back)):
                note(path, WIDENED)
            elif isinstance(back, str) and not isinstance(value, (str, _Empty)):
                note(path, BOXED)
            else:
                note(path, LOST)
            continue
        if value is None:
            note(path, DROPPED_NULL)
            continue
        if isinstance(value, _Empty):
            note(path, DROPPED_EMPTY)
            continue
        wrapped = _wrapped_at(path, value, rebuilt_leaves)
        if wrapped is not None:
            used.add(wrapped[1])
            note(wrapped[0], WRAPPED)
            continue
        split = next((q for q in by_column.get(_column_key(path), ())
                      if q not in used and _same(rebuilt_leaves[q], value)), None)
        if split is not None:
            used.add(split)
            note(path, KEY_SPLIT)
            continue
        note(path, LOST)
    for path, back in rebuilt_leaves.items():
        # Null fillers stand where an element had nothing but nulls or nothing at all.
        if path not in used and back is not None and not isinstance(back, _Empty):
            note(path, LOST)
    return list(found)


def _number_widened(value: int, back: float) -> bool:
    try:
        return float(value) == back
    except OverflowError:
        return False


def _wrapped_at(path: Path_, value: Any,
                rebuilt: dict[Path_, Any]) -> tuple[Path_, Path_] | None:
    """Where a lone value came back as the only element of an array: (the value's path, the
    leaf's path in the rebuilt document)."""
    for k in range(1, len(path) + 1):
        candidate = path[:k] + (0,) + path[k:]
        if candidate in rebuilt and _same(rebuilt[candidate], value):
            return path[:k], candidate
    return None


@dataclass
class ShredCheck:
    """Rebuilds shredded batches and collects their differences from the input."""

    report: Any = None  # where each difference goes, as a record: anything with ``write``
    counts: Counter[str] = field(default_factory=Counter)
    documents: int = 0
    documents_changed: int = 0
    _handle: Any = None

    def check(self, documents: list[Any], atoms: pa.RecordBatch,
              where: list[dict[str, Any]]) -> None:
        """Compares ``documents`` (the batch's input as Python values, in order) with the
        documents rebuilt from ``atoms``; ``where`` locates each input ({"line": n} or
        {"row": n})."""
        self.documents += len(documents)
        if atoms.num_columns == 0:
            return
        if self._handle is None:
            self._handle = shredder_ext.create_controller("json")
        if DOC_COLUMN in atoms.schema.names:
            # Exact atoms give every document back, in order.
            texts = shredder_ext.unshred_arrow(self._handle, atoms, stamps=False)
            self._compare(documents, [json.loads(t) for t in texts.column(0).to_pylist()],
                          where, stamped=False)
            return
        rebuilt_batch = shredder_ext.unshred_arrow(self._handle, atoms)
        rebuilt = {}
        for text in rebuilt_batch.column(0).to_pylist():
            document = json.loads(text)
            rebuilt[document.get(TXN_KEY)] = document
        txn_ids = document_digests(atoms).to_pylist()
        if len(txn_ids) != len(documents):
            raise RuntimeError(f"shred check: {len(documents)} documents gave "
                               f"{len(txn_ids)} first rows")
        self._compare(documents, [rebuilt.get(txn_id, {}) for txn_id in txn_ids], where)

    def _compare(self, documents: list[Any], rebuilt: list[Any],
                 where: list[dict[str, Any]], stamped: bool = True) -> None:
        if len(rebuilt) != len(documents):
            raise RuntimeError(f"shred check: {len(documents)} documents came back as "
                               f"{len(rebuilt)}")
        for original, back, place in zip(documents, rebuilt, where):
            found = differences(original, back, stamped)
            if not found:
                continue
            self.documents_changed += 1
            for path, kind in found:
                self.counts[kind] += 1
                if self.report is not None:
                    self.report.write({**place, "path": path, "class": kind})

    @property
    def lost(self) -> int:
        return self.counts[LOST]

    def summary(self) -> str:
        by_class = ", ".join(f"{kind} {self.counts[kind]:,}" for kind in CLASSES
                             if self.counts[kind])
        return (f"verified {self.documents:,} documents: "
                f"{self.documents - self.documents_changed:,} exact, "
                f"{self.documents_changed:,} with differences"
                + (f" ({by_class})" if by_class else ""))


def input_documents(batch: pa.RecordBatch, codec: str) -> list[Any]:
    """The documents of an input batch as Python values."""
    column = batch.column(0)
    if codec == "arrow":
        return column.to_pylist()
    return [None if text is None else json.loads(text) for text in column.to_pylist()]
