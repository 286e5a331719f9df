"""Choosing the documents column of a batch and handing it to the engine in types it reads.

The engine reads JSON text from string, large string, binary and large binary columns, and
structs whose fields are booleans, integers, floats, strings, lists and structs. Arrow has more
ways to hold the same data (view types, dictionaries, fixed-size lists) and types with no
counterpart in a JSON document (timestamps, dates, decimals); this module rewrites a column
into what the engine reads before it gets there, recursively through structs and lists.
"""

from __future__ import annotations

from collections.abc import Sequence

import pyarrow as pa

from shredder.core.names import DOCUMENTS_COLUMN


def several_columns(names: Sequence[str], option: str) -> str:
    return f"several columns ({', '.join(names)}); choose one with {option}"


def pick_column(names: Sequence[str], column: int | str | None, option: str) -> int:
    """The index of the documents column: ``column`` by name or index, else the only column,
    else the one named "doc". ``option`` names the argument in the error texts."""
    if isinstance(column, str):
        if column not in names:
            raise ValueError(f"no column named {column!r} (columns: {', '.join(names)})")
        return list(names).index(column)
    if isinstance(column, int) and not isinstance(column, bool):
        if not 0 <= column < len(names):
            raise ValueError(f"column index {column} out of range ({len(names)} columns)")
        return column
    if column is not None:
        raise TypeError(f"column must be a name, an index or None, got {type(column).__name__}")
    if len(names) == 1:
        return 0
    if DOCUMENTS_COLUMN in names:
        return list(names).index(DOCUMENTS_COLUMN)
    if not names:
        raise ValueError("the batch has no columns")
    raise ValueError(several_columns(names, option))


def natural_codec(t: pa.DataType) -> str | None:
    """The codec that reads a documents column of type ``t``: json for text, arrow for
    structs, None for anything else."""
    if pa.types.is_struct(t):
        return "arrow"
    if (pa.types.is_string(t) or pa.types.is_large_string(t) or pa.types.is_binary(t)
            or pa.types.is_large_binary(t) or pa.types.is_string_view(t)
            or pa.types.is_binary_view(t)):
        return "json"
    return None


def documents_batch(batch: pa.RecordBatch, index: int, codec: str) -> pa.RecordBatch:
    """A one-column batch of column ``index`` of ``batch``, in types the ``codec`` reads."""
    name = batch.schema.names[index]
    array = batch.column(index)
    if codec == "json":
        array = _text_for_engine(array)
    else:
        array = for_engine(array)
    return pa.record_batch([array], names=[name])


def _text_for_engine(array: pa.Array) -> pa.Array:
    if pa.types.is_string_view(array.type):
        return array.cast(pa.string())
    if pa.types.is_binary_view(array.type):
        return array.cast(pa.binary())
    return array


def engine_type(t: pa.DataType) -> pa.DataType:
    """The type ``for_engine`` turns a ``t`` array into (``t`` itself when nothing changes)."""
    if pa.types.is_struct(t):
        return pa.struct([f.with_type(engine_type(f.type)) for f in t])
    if (pa.types.is_list(t) or pa.types.is_list_view(t) or pa.types.is_fixed_size_list(t)):
        return pa.list_(t.value_field.with_type(engine_type(t.value_type)))
    if pa.types.is_large_list(t) or pa.types.is_large_list_view(t):
        return pa.large_list(t.value_field.with_type(engine_type(t.value_type)))
    if pa.types.is_map(t):
        return pa.list_(pa.struct([pa.field("key", engine_type(t.key_type)),
                                   pa.field("value", engine_type(t.item_type))]))
    if pa.types.is_dictionary(t):
        return engine_type(t.value_type)
    if isinstance(t, pa.BaseExtensionType):
        return engine_type(t.storage_type)
    if pa.types.is_string_view(t) or _is_text_leaf(t):
        return pa.string()
    if pa.types.is_float16(t):
        return pa.float32()
    return t


def _is_text_leaf(t: pa.DataType) -> bool:
    return (pa.types.is_timestamp(t) or pa.types.is_date(t) or pa.types.is_time(t)
            or pa.types.is_duration(t) or pa.types.is_decimal(t))


def for_engine(array: pa.Array) -> pa.Array:
    """``array`` with every value the Arrow codec cannot read turned into one it can.

    Timestamps, dates and times become ISO-8601 text ("2024-01-02T03:04:05.123", with "Z" for
    timestamps that carry a time zone, given in UTC), durations ISO-8601 durations ("PT1.500S"),
    decimals their exact decimal text; dictionaries are decoded, view and fixed-size lists
    become lists, maps lists of {"key", "value"} structs, half floats floats. Other types (binary
    among them) are left for the engine to refuse.
    """
    t = array.type
    if engine_type(t) == t:
        return array
    import pyarrow.compute as pc  # imported here, not on loading: see shredder/__init__
    if pa.types.is_struct(t):
        children = [for_engine(array.field(i)) for i in range(t.num_fields)]
        fields = [f.with_type(child.type) for f, child in zip(t, children)]
        return pa.StructArray.from_arrays(children, fields=fields, mask=_null_mask(array))
    if pa.types.is_map(t):
        entries = pa.struct([pa.field("key", t.key_type), pa.field("value", t.item_type)])
        return for_engine(array.cast(pa.list_(entries)))
    if _is_list_like(t):
        # Rebuilt from lengths and flattened values rather than from the offsets buffer: that
        # works alike for every list layout, sliced or not.
        target = engine_type(t)
        large = pa.types.is_large_list(target)
        lengths = pc.fill_null(pc.list_value_length(array), 0).cast(pa.int64())
        ends = pc.cumulative_sum(lengths) if len(lengths) else lengths
        offsets = pa.concat_arrays([pa.array([0], pa.int64()), ends]).cast(
            pa.int64() if large else pa.int32())
        values = for_engine(pc.list_flatten(array))
        maker = pa.LargeListArray if large else pa.ListArray
        return maker.from_arrays(offsets, values.cast(target.value_type), type=target,
                                 mask=_null_mask(array))
    if pa.types.is_dictionary(t):
        return for_engine(array.dictionary_decode())
    if isinstance(t, pa.BaseExtensionType):
        return for_engine(array.storage)
    if pa.types.is_timestamp(t):
        return _iso_timestamps(array)
    if pa.types.is_duration(t):
        return _iso_durations(array)
    return array.cast(engine_type(t))


def _is_list_like(t: pa.DataType) -> bool:
    return (pa.types.is_list(t) or pa.types.is_large_list(t) or pa.types.is_list_view(t)
            or pa.types.is_large_list_view(t) or pa.types.is_fixed_size_list(t))


def _null_mask(array: pa.Array) -> pa.Array | None:
    return array.is_null() if array.null_count else None


def _iso_timestamps(array: pa.Array) -> pa.Array:
    import pyarrow.compute as pc  # imported here, not on loading: see shredder/__init__
    t = array.type
    if t.tz is not None:
        # Formatted in UTC so that the text does not depend on a time-zone database;
        # Arrow writes such a timestamp with a trailing "Z".
        array = array.cast(pa.timestamp(t.unit, "UTC"))
    text = array.cast(pa.string())
    return pc.replace_substring(text, " ", "T", max_replacements=1)


_UNIT_DIGITS = {"s": 0, "ms": 3, "us": 6, "ns": 9}


def _iso_durations(array: pa.Array) -> pa.Array:
    digits = _UNIT_DIGITS[array.type.unit]
    counts = array.cast(pa.int64()).to_pylist()
    return pa.array([None if c is None else _iso_duration(c, digits) for c in counts],
                    pa.string())


def _iso_duration(count: int, digits: int) -> str:
    sign = "-" if count < 0 else ""
    seconds, fraction = divmod(abs(count), 10 ** digits)
    tail = f".{fraction:0{digits}d}" if digits else ""
    return f"{sign}PT{seconds}{tail}S"


def text_lines(texts: pa.Array) -> tuple[pa.Buffer, list[int]]:
    """The texts of a string array without nulls as JSON Lines in one buffer (each text and a
    newline, joined by Arrow in one pass, no Python string per text), and where each line
    starts in it, then where the buffer ends."""
    import pyarrow.compute as pc  # imported here, not on loading: see shredder/__init__
    if not pa.types.is_string(texts.type):
        texts = texts.cast(pa.large_string() if pa.types.is_large_string(texts.type)
                           else pa.string())
    if texts.null_count:
        raise ValueError("a document has no text")
    if len(texts) == 0:
        return pa.py_buffer(b""), [0]
    lines = pc.binary_join_element_wise(texts, pa.scalar("\n", texts.type),
                                        pa.scalar("", texts.type))
    width, code = (8, "q") if pa.types.is_large_string(lines.type) else (4, "i")
    start = lines.offset * width
    window = lines.buffers()[1][start:start + (len(lines) + 1) * width]
    ends = memoryview(window).cast("B").cast(code).tolist()
    first = ends[0]
    return lines.buffers()[2][first:ends[-1]], [end - first for end in ends]
