"""A failed shred_arrow: the ValueError names the failing row of the batch (`error.row`), and
the call leaves no trace in the handle, so later calls give what they would have given had the
failed one never been made."""

from __future__ import annotations

import pyarrow as pa
import pytest
import shredder_ext

from conftest import docs_of, json_batch, strip_ids


def failure(handle, rb, **kwargs) -> ValueError:
    with pytest.raises(ValueError) as info:
        shredder_ext.shred_arrow(handle, rb, **kwargs)
    return info.value


@pytest.mark.parametrize(
    "documents, row, message, code, path",
    [
        # The parser's own text follows the prefix.
        (['{"a": 1}', '{"a": 2}', '{"a": '], 2, "shred failed: JSON parse failure: ",
         "invalid_json", None),
        # The mismatch depends on row 0, which taught /a as an object.
        ([{"a": {"b": 1}}, {"c": 1}, {"a": 5}], 2,
         "shred failed: Normalizer shape mismatch at /a (have leaf, want object)", "shape", "/a"),
        ([{"m": [1]}, {"m": [[1, 2], [3]]}], 1,
         "shred failed: Shredder::Shred: nested arrays are not supported at /m", "shape", "/m"),
        ([{"g": {"c": [1, "x"]}}], 0,
         "shred failed: Shredder::Shred: array elements are not homogeneous at /g/c", "shape",
         "/g/c"),
        ([{"x": 1}, {"labels_url": "A", "labels": [{"url": "B"}]}], 1,
         "shred failed: Shredder::Shred: members /labels/url and /labels_url both map to column "
         "root_labels_url", "shape", "/labels_url"),
        (['{"a": 1}', None], 1, "shred failed: JsonTextCodec: null document at row 1",
         "unsupported_input", None),
    ],
    ids=["parse-error", "order-dependent-mismatch", "nested-array", "mixed-array", "collision",
         "null-row"],
)
def test_the_error_names_the_failing_row(documents, row, message, code, path):
    error = failure(shredder_ext.create_controller("json"), json_batch(documents))
    assert (error.code, error.path) == (code, path)
    if message.endswith(": "):
        assert str(error).startswith(message) and "unexpected end of input" in str(error)
    else:
        assert str(error) == message
    assert type(error) is ValueError
    assert type(error.row) is int and error.row == row


def test_the_row_counts_in_the_batch_passed_in_whatever_column_is_chosen():
    rb = pa.RecordBatch.from_arrays(
        [pa.array([1, 2, 3]), pa.array(['{"a": 1}', '{"a": [1]}', '{"a": [[1]]}'])],
        names=["n", "doc"])
    error = failure(shredder_ext.create_controller("json"), rb, column="doc")
    assert error.row == 2


@pytest.mark.parametrize(
    "codec, rb, message",
    [
        ("json", pa.RecordBatch.from_arrays([pa.array([1, 2])], names=["doc"]),
         "shred failed: JsonTextCodec: expected string/binary column, got int64"),
        ("arrow", pa.RecordBatch.from_arrays([pa.array([1, 2])], names=["doc"]),
         "shred failed: ArrowDomCodec: root value must be an Object (Struct in Arrow)"),
        ("json", json_batch(['{"a": 1}']), "Index error: column index out of range: 4"),
    ],
    ids=["json-column-type", "arrow-column-type", "argument"],
)
def test_a_failure_of_the_whole_batch_names_no_row(codec, rb, message):
    kwargs = {"column": 4} if message.startswith("Index error") else {}
    error = failure(shredder_ext.create_controller(codec), rb, **kwargs)
    assert str(error) == message
    assert error.row is None
    assert error.code == "bad_batch" and error.path is None


def test_an_empty_batch_of_another_type_is_no_failure():
    rb = pa.RecordBatch.from_arrays([pa.array([], pa.int64())], names=["doc"])
    assert shredder_ext.shred_arrow(shredder_ext.create_controller("arrow"), rb).num_rows == 0


def atoms(handle, documents) -> pa.RecordBatch:
    return shredder_ext.shred_arrow(handle, json_batch(documents))


@pytest.mark.parametrize(
    "before, failing, after",
    [
        # The issue's example: the refused document taught /a as an array before /z failed.
        ([[{"z": 5}]], [{"a": [1], "z": {"y": 1}}], [{"a": 2}]),
        # Shapes learned by earlier successful calls stay after a failed one.
        ([[{"a": [1]}]], [{"b": 1}, {"b": {"c": 1}}], [{"a": 2, "b": {"c": 1}}]),
        # Rows before the failing one in the same call are forgotten too.
        ([], [{"m": [1]}, {"n": 1}, {"bad": [[1]]}], [{"m": 1}, {"n": {"x": 1}}]),
    ],
    ids=["issue-example", "earlier-shapes-stay", "rows-before-the-failure"],
)
def test_a_failed_call_leaves_no_trace(before, failing, after):
    tried = shredder_ext.create_controller("json")
    fresh = shredder_ext.create_controller("json")
    for call in before:
        atoms(tried, call)
        atoms(fresh, call)
    failure(tried, json_batch(failing))
    got = atoms(tried, after)
    expected = atoms(fresh, after)
    assert got.equals(expected)
    assert strip_ids(docs_of(shredder_ext.unshred_arrow(tried, got))) == strip_ids(
        docs_of(shredder_ext.unshred_arrow(fresh, expected)))


def test_the_issue_example_comes_back_unwrapped():
    handle = shredder_ext.create_controller("json")
    atoms(handle, [{"z": 5}])
    failure(handle, json_batch([{"a": [1], "z": {"y": 1}}]))
    back = shredder_ext.unshred_arrow(handle, atoms(handle, [{"a": 2}]))
    assert strip_ids(docs_of(back)) == [{"a": 2}]
