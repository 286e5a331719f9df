"""Which documents of an atoms batch hold what, from the columns' validity bitmaps: the rows
are grouped by document once per batch, and a path's columns are ORed as packed bits, so a
batch of a thousand columns costs a few numpy calls instead of Arrow kernels per column.
"""

from __future__ import annotations

from collections.abc import Collection, Sequence

import numpy as np
import pyarrow as pa


def validity_bits(column: pa.Array) -> np.ndarray:
    """The rows of ``column`` that hold a value, as a little-endian packed bitmap from its first
    row (the column's own bitmap where its offset allows, else a copy); bits past its last row
    may be set."""
    bitmap = column.buffers()[0]
    offset = column.offset
    if bitmap is not None and offset % 8 == 0:
        return np.frombuffer(bitmap, np.uint8, (len(column) + 7) // 8, offset // 8)
    if bitmap is None:  # no nulls, or the null type's own (no bitmap stands for either)
        return np.packbits(np.full(len(column), column.null_count == 0), bitorder="little")
    length = len(column)
    packed = np.frombuffer(bitmap, np.uint8, (offset % 8 + length + 7) // 8, offset // 8)
    bits = np.unpackbits(packed, count=offset % 8 + length, bitorder="little")[offset % 8:]
    return np.packbits(bits, bitorder="little")


def texts_at(column: pa.Array | pa.ChunkedArray, rows: np.ndarray) -> list:
    """The values of ``column`` at ``rows``, read from a string column's buffers: ``take`` and
    ``drop_null`` would load pyarrow.compute, a twentieth of a second in every worker."""
    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    if not (pa.types.is_string(column.type) or pa.types.is_large_string(column.type)):
        values = column.to_pylist()
        return [values[row] for row in rows.tolist()]
    width = np.dtype(np.int64 if pa.types.is_large_string(column.type) else np.int32)
    offsets = np.frombuffer(column.buffers()[1], width, len(column) + 1,
                            column.offset * width.itemsize)
    data = column.buffers()[2]
    text = memoryview(b"" if data is None else data)
    return [str(text[start:end], "utf-8")
            for start, end in zip(offsets[rows].tolist(), offsets[rows + 1].tolist())]


def _packed(flags: np.ndarray, words: int) -> np.ndarray:
    """Flags as a little-endian bitmap of ``words`` 64-bit words."""
    packed = np.zeros(words * 8, np.uint8)
    bits = np.packbits(flags, bitorder="little")
    packed[:len(bits)] = bits
    return packed.view("<u8")


def _shifted(bitmaps: np.ndarray, rows: int) -> np.ndarray:
    """Bitmaps of 64-bit words (one a row) with each bit moved ``rows`` rows later."""
    words, bits = divmod(rows, 64)
    shifted = np.zeros_like(bitmaps)
    if words >= bitmaps.shape[1]:
        return shifted
    kept = bitmaps.shape[1] - words
    shifted[:, words:] = bitmaps[:, :kept] << np.uint64(bits)
    if bits:  # the bits that cross into the next word
        shifted[:, words + 1:] |= bitmaps[:, :kept - 1] >> np.uint64(64 - bits)
    return shifted


def _integers(array: pa.Array) -> np.ndarray:
    """An integer column's buffer as numpy values, whatever stands under its nulls. Read
    directly: Arrow's own conversions to numpy import pandas first, 0.2 s in every worker."""
    width = array.type.bit_width // 8
    kind = "i" if pa.types.is_signed_integer(array.type) else "u"
    return np.frombuffer(array.buffers()[1], np.dtype(f"<{kind}{width}"), len(array),
                         array.offset * width)


def _values(array: pa.Array) -> tuple[np.ndarray, np.ndarray | None]:
    """An integer column's values (0 where null) and which rows hold one (None: every row)."""
    if array.null_count == 0:
        return _integers(array), None
    if array.null_count == len(array):  # the null type too
        return np.zeros(len(array), np.int64), np.zeros(len(array), bool)
    valid = np.unpackbits(validity_bits(array), count=len(array), bitorder="little").view(bool)
    return np.where(valid, _integers(array), 0), valid


class DocumentRows:
    """The rows of a batch grouped by document code: ``codes`` holds the distinct codes in
    ascending order, and ``group`` each row's position among them. Rows without a code form
    one more group, the last, as Arrow's kernels count a null among distinct values."""

    def __init__(self, codes: pa.Array) -> None:
        self.rows = len(codes)
        values, valid = _values(codes)
        nulls = None if valid is None else ~valid
        # Exact atoms come in document order, so their codes need no sorting.
        self.in_order = nulls is None and bool(np.all(values[1:] >= values[:-1]))
        if self.in_order:
            first = np.ones(self.rows, bool)
            first[1:] = values[1:] != values[:-1]
            self.codes = values[first]
            self.group = np.cumsum(first) - 1
        elif nulls is None:
            self.codes, self.group = np.unique(values, return_inverse=True)
        else:
            self.codes, coded = np.unique(values[~nulls], return_inverse=True)
            self.group = np.full(self.rows, len(self.codes))
            self.group[~nulls] = coded
        self.null_group = nulls is not None
        self.order = None if self.in_order else np.argsort(self.group, kind="stable")
        self.groups = len(self.codes) + self.null_group

    def codes_of(self, groups: np.ndarray) -> list[int | None]:
        """The codes of ``groups``; None for the group of rows without a code."""
        if not self.null_group:
            return self.codes[groups].tolist()
        codes = self.codes.tolist() + [None]
        return [codes[group] for group in groups.tolist()]

    def codes_at(self, rows: np.ndarray) -> list[int | None]:
        """The code of each of ``rows``; None for a row without one."""
        return self.codes_of(self.group[rows])

    def holding(self, bitmaps: Sequence[np.ndarray], listed: Collection[int]) \
            -> tuple[list[int], list[int], dict[int, np.ndarray]]:
        """For each packed bitmap: how many groups have a row set in it, how many of those
        have a code, and for the bitmaps ``listed`` (by position) which groups."""
        if not bitmaps:
            return [], [], {}
        words = (self.rows + 63) // 64
        packed = np.zeros((len(bitmaps), words * 8), np.uint8)
        packed[:, :len(bitmaps[0])] = bitmaps
        if self.order is not None:  # the rows of each group brought together
            bits = np.unpackbits(packed, axis=1, count=self.rows, bitorder="little")
            packed[:, :len(bitmaps[0])] = np.packbits(bits[:, self.order], axis=1,
                                                      bitorder="little")
        group = self.group if self.order is None else self.group[self.order]
        # A group is held where its last row is once every row has ORed in the rows before
        # it in its group: log2 of the largest group's rows steps of shifts over whole words.
        # Bits past the last row only ever move further, and are no group's end.
        held = packed.view("<u8")
        ends = np.ones(self.rows, bool)
        ends[:-1] = group[1:] != group[:-1]
        reach = 1
        while reach < self.rows:
            same = np.zeros(self.rows, bool)
            same[reach:] = group[reach:] == group[:-reach]
            if not same.any():
                break
            held = held | _shifted(held, reach) & _packed(same, words)
            reach *= 2
        held &= _packed(ends, words)
        groups_held = np.bitwise_count(held).sum(axis=1).tolist()
        coded_held = groups_held
        if self.null_group:  # the group without a code is the last, so it ends at the last row
            last = self.rows - 1
            uncoded = (held[:, last // 64] >> np.uint64(last % 64)) & np.uint64(1)
            coded_held = (np.array(groups_held) - uncoded.astype(np.int64)).tolist()
        groups_of: dict[int, np.ndarray] = {}
        for number in listed:
            rows = np.flatnonzero(np.unpackbits(held[number].view(np.uint8), count=self.rows,
                                                bitorder="little"))
            groups_of[number] = group[rows]
        return groups_held, coded_held, groups_of

    def longest(self, index: pa.Array, enclosing: list[pa.Array]) -> np.ndarray:
        """The highest ``index`` of each array: its rows grouped by document and by the
        ``enclosing`` indexes (a null one is a value of its own), rows without an index left
        out."""
        values, valid = _values(index)
        keep = slice(None) if valid is None else valid
        keys = [self.group[keep]]
        for outer in enclosing:
            outer_values, outer_valid = _values(outer)
            keys.append(outer_values[keep])
            if outer_valid is not None:
                keys.append(outer_valid[keep])
        values = values[keep]
        if len(values) == 0:
            return values
        order = None if self.in_order and len(keys) == 1 else np.lexsort(keys)
        starts = np.ones(len(values), bool)
        starts[1:] = False
        for key in keys:
            ordered = key if order is None else key[order]
            starts[1:] |= ordered[1:] != ordered[:-1]
        return np.maximum.reduceat(values if order is None else values[order],
                                   np.flatnonzero(starts))
