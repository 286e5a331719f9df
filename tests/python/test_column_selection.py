"""Which column of the caller's batch shred_arrow hands to the pipeline."""

from __future__ import annotations

import json

import pyarrow as pa
import pytest
import shredder_ext


class IntSubclass(int):
    pass


class StrSubclass(str):
    pass


def three_columns() -> pa.RecordBatch:
    """Columns first, doc and third; each row names the column it came from."""
    names = ["first", "doc", "third"]
    arrays = [pa.array([json.dumps({"from": n}), json.dumps({"from": n})]) for n in names]
    return pa.RecordBatch.from_arrays(arrays, names=names)


def shredded_column(rb, **kwargs) -> list:
    atoms = shredder_ext.shred_arrow(shredder_ext.create_controller("json"), rb, **kwargs)
    return atoms.column("root_from").to_pylist()


@pytest.mark.parametrize(
    "column, expected",
    [
        (None, "first"),
        (0, "first"),
        (1, "doc"),
        (2, "third"),
        (True, "doc"),
        (False, "first"),
        (IntSubclass(2), "third"),
        ("doc", "doc"),
        ("third", "third"),
        (StrSubclass("first"), "first"),
    ],
    ids=repr,
)
def test_column_selects_by_position_or_name(column, expected):
    assert shredded_column(three_columns(), column=column) == [expected, expected]


def test_no_column_argument_selects_column_zero():
    assert shredded_column(three_columns()) == ["first", "first"]


def test_other_columns_are_not_looked_at():
    # Columns no codec could read sit beside the selected one.
    rb = pa.RecordBatch.from_arrays(
        [pa.array([1, 2]), pa.array(['{"from": "doc"}', None]), pa.array([None, None])],
        names=["number", "doc", "nulls"])
    handle = shredder_ext.create_controller("json")
    atoms = shredder_ext.shred_arrow(handle, rb.slice(0, 1), column="doc")
    assert atoms.column("root_from").to_pylist() == ["doc"]


def test_selected_field_keeps_its_own_type():
    # A large_binary column is read as JSON text like a string column.
    rb = pa.RecordBatch.from_arrays(
        [pa.array([1]), pa.array([b'{"from": "large"}'], pa.large_binary())],
        names=["number", "doc"])
    assert shredded_column(rb, column=1) == ["large"]


def test_sliced_batch_shreds_only_its_own_rows():
    rb = pa.RecordBatch.from_arrays(
        [pa.array([json.dumps({"n": i}) for i in range(6)])], names=["doc"]).slice(2, 3)
    atoms = shredder_ext.shred_arrow(shredder_ext.create_controller("json"), rb)
    assert atoms.column("root_n").to_pylist() == [2, 3, 4]


@pytest.mark.parametrize(
    "column, message",
    [
        (3, "Index error: column index out of range: 3"),
        (-1, "Index error: column index out of range: -1"),
        (1.0, "Type error: column must be None, int, or str"),
        (b"doc", "Type error: column must be None, int, or str"),
    ],
    ids=repr,
)
def test_three_column_batch_rejects(column, message):
    with pytest.raises(ValueError) as info:
        shredded_column(three_columns(), column=column)
    assert str(info.value) == message


def test_name_present_twice_is_not_found():
    rb = pa.RecordBatch.from_arrays([pa.array(['{"from": 1}'])] * 2, names=["doc", "doc"])
    with pytest.raises(ValueError) as info:
        shredded_column(rb, column="doc")
    assert str(info.value) == "Key error: column name not found: doc"
    # By position, either of the two is fine.
    assert shredded_column(rb, column=1) == [1]


def test_column_index_beyond_32_bits_raises_runtime_error():
    with pytest.raises(RuntimeError, match=r"^Unable to cast Python instance of type <class 'int'"):
        shredded_column(three_columns(), column=2**40)


def test_input_batch_is_left_unchanged():
    rb = three_columns()
    before = rb.to_pydict(), rb.schema
    shredder_ext.shred_arrow(shredder_ext.create_controller("json"), rb, column=1, debug=False)
    assert (rb.to_pydict(), rb.schema) == before
