"""Every failure of shred_arrow and unshred_arrow: the exception type and its exact text."""

from __future__ import annotations

import pyarrow as pa
import pytest
import shredder_ext

from conftest import json_batch


def unwrap_error(obj) -> str:
    kind = type(obj)
    name = kind.__qualname__ if kind.__module__ == "builtins" else (
        f"{kind.__module__}.{kind.__qualname__}")
    return f"Type error: Could not unwrap RecordBatch from Python object of type '{name}'"


def empty_record_batch_shell() -> pa.RecordBatch:
    """A pyarrow.RecordBatch object that holds no native batch."""
    return pa.RecordBatch.__new__(pa.RecordBatch)


NOT_A_BATCH = [
    pa.table({"doc": ['{"a": 1}']}),
    None,
    42,
    '{"a": 1}',
    [{"a": 1}],
    pa.array(['{"a": 1}']),
]


@pytest.fixture
def handle():
    return shredder_ext.create_controller("json")


@pytest.fixture
def arrow_handle():
    return shredder_ext.create_controller("arrow")


def shred_error(handle, *args, **kwargs) -> ValueError:
    with pytest.raises(ValueError) as info:
        shredder_ext.shred_arrow(handle, *args, **kwargs)
    return info.value


def unshred_error(handle, *args, **kwargs) -> ValueError:
    with pytest.raises(ValueError) as info:
        shredder_ext.unshred_arrow(handle, *args, **kwargs)
    return info.value


# Argument failures: ValueError carrying the Arrow status text, with no prefix.

@pytest.mark.parametrize("obj", NOT_A_BATCH, ids=lambda o: type(o).__name__)
def test_shred_of_something_else_than_a_record_batch(handle, obj):
    assert str(shred_error(handle, obj)) == unwrap_error(obj)


@pytest.mark.parametrize("obj", NOT_A_BATCH, ids=lambda o: type(o).__name__)
def test_unshred_of_something_else_than_a_record_batch(handle, obj):
    assert str(unshred_error(handle, obj)) == unwrap_error(obj)


def test_record_batch_object_without_a_batch_is_refused_by_the_bridge(handle):
    shell = empty_record_batch_shell()
    assert str(shred_error(handle, shell)) == unwrap_error(shell)
    assert str(unshred_error(handle, shell)) == unwrap_error(shell)


@pytest.mark.parametrize("column", [None, 0, 1.0, 2**40, "doc"])
def test_shred_of_a_batch_without_columns(handle, column):
    # The column check comes first, so no column argument is even looked at.
    empty = pa.RecordBatch.from_arrays([], names=[])
    assert str(shred_error(handle, empty, column)) == "Invalid: RecordBatch has no columns"


@pytest.mark.parametrize(
    "column, message",
    [
        (3, "Index error: column index out of range: 3"),
        (-1, "Index error: column index out of range: -1"),
        (2**31 - 1, "Index error: column index out of range: 2147483647"),
        (-(2**31), "Index error: column index out of range: -2147483648"),
        ("missing", "Key error: column name not found: missing"),
        ("", "Key error: column name not found: "),
        ("Doc", "Key error: column name not found: Doc"),
        ("twice", "Key error: column name not found: twice"),
        ("\ud800x", "Key error: column name not found: \\ud800x"),
        (1.0, "Type error: column must be None, int, or str"),
        (b"doc", "Type error: column must be None, int, or str"),
        (bytearray(b"doc"), "Type error: column must be None, int, or str"),
        ([0], "Type error: column must be None, int, or str"),
        (object(), "Type error: column must be None, int, or str"),
    ],
    ids=lambda v: repr(v)[:20],
)
def test_columns_that_select_nothing(handle, column, message):
    rb = pa.RecordBatch.from_arrays(
        [pa.array(['{"a": 1}'])] * 3, names=["doc", "twice", "twice"])
    assert str(shred_error(handle, rb, column)) == message


@pytest.mark.parametrize("column", [2**31, -(2**31) - 1, 2**40, -(2**40), 2**80])
def test_int_column_outside_32_bits_is_the_binding_cast_error(handle, column):
    rb = json_batch([{"a": 1}])
    with pytest.raises(RuntimeError) as info:
        shredder_ext.shred_arrow(handle, rb, column)
    assert type(info.value) is RuntimeError
    assert str(info.value) == (
        "Unable to cast Python instance of type <class 'int'> to C++ type '?' "
        "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)")


# Pipeline failures: ValueError "shred failed: " or "unshred failed: " and the pipeline's text.

@pytest.mark.parametrize(
    "batches, message",
    [
        ([pa.RecordBatch.from_arrays([pa.array([1, 2])], names=["doc"])],
         "JsonTextCodec: expected string/binary column, got int64"),
        ([json_batch(['{"a": 1}', None])], "JsonTextCodec: null document at row 1"),
        ([json_batch(["[1, 2]"])], "JSON parse failure: JSON root is not an object"),
        ([json_batch([{"a": {"b": 1}}]), json_batch([{"a": 5}])],
         "Normalizer shape mismatch at /a (have leaf, want object)"),
        ([json_batch([{"a": [[1]]}])], "Shredder::Shred: nested arrays are not supported at /a"),
        ([json_batch([{"a": [1, "x"]}])],
         "Shredder::Shred: array elements are not homogeneous at /a"),
        ([json_batch([{"a": [{"b": "x"}, {"b": 1}]}])],
         "StringColumn::push: only null or string allowed"),
    ],
    ids=["int64-column", "null-row", "array-root", "shape-mismatch", "nested-arrays",
         "mixed-array", "string-and-int"],
)
def test_json_pipeline_failures(handle, batches, message):
    *earlier, failing = batches
    for rb in earlier:
        shredder_ext.shred_arrow(handle, rb)
    assert str(shred_error(handle, failing)) == "shred failed: " + message


def test_parse_failure_quoting_bytes_that_are_not_utf8_is_still_a_value_error(handle):
    rb = json_batch([b'{"a": \xff}'], type_=pa.binary())
    error = shred_error(handle, rb)
    assert str(error).startswith("shred failed: JSON parse failure: ")


@pytest.mark.parametrize(
    "column, message",
    [
        (pa.array([1, 2]), "ArrowDomCodec: root value must be an Object (Struct in Arrow)"),
        (pa.array([{"a": 1}, None]),
         "ArrowDomCodec: root value must be an Object (Struct in Arrow)"),
        (pa.array([{"a": b"x"}], pa.struct([("a", pa.binary())])),
         "ArrowDomCodec: unsupported Arrow type: binary"),
    ],
    ids=["int64-column", "null-row", "binary-field"],
)
def test_arrow_pipeline_failures(arrow_handle, column, message):
    rb = pa.RecordBatch.from_arrays([column], names=["doc"])
    assert str(shred_error(arrow_handle, rb)) == "shred failed: " + message


@pytest.mark.parametrize(
    "columns, message",
    [
        ({}, "Controller: atoms batch has no columns"),
        ({"root_a": pa.array([1])}, "Shredder::Unshred: missing __txn_id column"),
        ({"root___txn_id": pa.array([None, "t"], pa.string()), "root_a": pa.array([1, 2])},
         "Shredder::Unshred: null __txn_id encountered"),
        ({"root___txn_id": pa.array(["t"]), "root_a": pa.array([1], pa.int32())},
         "Controller: unshred: unsupported atom column type: int32"),
    ],
    ids=["no-columns", "no-txn-id", "null-txn-id", "int32-column"],
)
def test_unshred_pipeline_failures(handle, columns, message):
    rb = pa.RecordBatch.from_arrays(list(columns.values()), names=list(columns))
    assert str(unshred_error(handle, rb)) == "unshred failed: " + message


CONFLICT_ADVICE = ("; a struct column holds one kind per member, use the JSON codec for these "
                   "documents")


@pytest.mark.parametrize(
    "columns, message",
    [
        # Two documents, t1 and t2: /a is a string in t1 and an object in t2.
        ({"root___txn_id": pa.array(["t1", "t2"]), "root_a": pa.array(["s", None]),
          "root_a_b": pa.array([None, 1])},
         "ArrowDomCodec: kind conflict at /a: object where other documents have string"),
        ({"root___txn_id": pa.array(["t1", "t2"]), "root_o_x": pa.array([1, None]),
          "root_o_y": pa.array([None, "s"]), "root_o_x_z": pa.array([None, True])},
         "ArrowDomCodec: kind conflict at /o/x: object where other documents have int64"),
        # Elements share their array's path.
        ({"root___txn_id": pa.array(["t1", "t2", "t2"]), "root_l": pa.array([2.5, None, None]),
          "root_l__idx": pa.array([0, 0, 1]), "root_l_b": pa.array([None, True, False])},
         "ArrowDomCodec: kind conflict at /l: object where other documents have double"),
    ],
    ids=["member", "nested-member", "array-elements"],
)
def test_unshred_with_the_arrow_codec_names_kind_conflicts(arrow_handle, columns, message):
    rb = pa.RecordBatch.from_arrays(list(columns.values()), names=list(columns))
    assert str(unshred_error(arrow_handle, rb)) == "unshred failed: " + message + CONFLICT_ADVICE


def test_arrow_codec_round_trip_names_the_conflict(arrow_handle):
    """Struct fields "a" (string) and "a_b" (int64) shred into separate columns; rebuilt by
    their names alone (as atoms written before key lists are), /a is a string in one document
    and an object in the other. The refusal needs the string first in the documents' order
    (by __txn_id), so the filler member "n" is chosen to get it."""
    for n in range(32):
        column = pa.array([{"a": "s", "a_b": None, "n": n}, {"a": None, "a_b": 1, "n": 0}],
                          pa.struct([("a", pa.string()), ("a_b", pa.int64()), ("n", pa.int64())]))
        atoms = shredder_ext.shred_arrow(arrow_handle,
                                         pa.RecordBatch.from_arrays([column], names=["doc"]))
        string_txn, object_txn = atoms.column("root___txn_id").to_pylist()
        if string_txn < object_txn:
            break
    else:
        pytest.fail("no filler puts the string document first")
    atoms = pa.RecordBatch.from_arrays(atoms.columns, names=atoms.schema.names)
    assert str(unshred_error(arrow_handle, atoms)) == (
        "unshred failed: ArrowDomCodec: kind conflict at /a: object where other documents have "
        "string" + CONFLICT_ADVICE)


class FailingRecordBatch:
    @staticmethod
    def from_arrays(arrays, **named):
        raise RuntimeError("from_arrays refused")


@pytest.mark.parametrize("direction", ["shred", "unshred"])
def test_python_error_while_converting_the_result(handle, monkeypatch, direction):
    rb = json_batch([{"a": 1}])
    atoms = shredder_ext.shred_arrow(handle, rb)
    monkeypatch.setattr(pa, "RecordBatch", FailingRecordBatch)
    if direction == "shred":
        error = shred_error(handle, rb)
    else:
        error = unshred_error(handle, atoms)
    assert str(error) == f"{direction} failed: RuntimeError: from_arrays refused"
    assert type(error.__cause__) is RuntimeError
    assert str(error.__cause__) == "from_arrays refused"


# Arguments that fit no signature: the binding library's TypeError.

@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((None, json_batch([{}])), {}),
        ((object(), json_batch([{}])), {}),
        ((json_batch([{}]),), {}),
        (("HANDLE", json_batch([{}]), None, False, "extra"), {}),
        (("HANDLE", json_batch([{}])), {"debug": "yes"}),
        (("HANDLE", json_batch([{}])), {"colum": 0}),
    ],
    ids=["no-arguments", "none-handle", "other-class", "missing-rb", "too-many", "debug-str",
         "unknown-keyword"],
)
def test_shred_arguments_that_fit_no_signature(handle, args, kwargs):
    args = tuple(handle if a == "HANDLE" else a for a in args)
    with pytest.raises(TypeError, match=r"^shred_arrow\(\): incompatible function arguments"):
        shredder_ext.shred_arrow(*args, **kwargs)


@pytest.mark.parametrize(
    "args",
    [(), (None, json_batch([{}])), ("HANDLE",), ("HANDLE", json_batch([{}]), None)],
    ids=["no-arguments", "none-handle", "missing-atoms", "too-many"],
)
def test_unshred_arguments_that_fit_no_signature(handle, args):
    args = tuple(handle if isinstance(a, str) else a for a in args)
    with pytest.raises(TypeError, match=r"^unshred_arrow\(\): incompatible function arguments"):
        shredder_ext.unshred_arrow(*args)


def test_arguments_may_be_given_by_keyword(handle):
    atoms = shredder_ext.shred_arrow(handle=handle, rb=json_batch([{"a": 1}]), column="doc",
                                     debug=False)
    docs = shredder_ext.unshred_arrow(handle=handle, atoms_rb=atoms)
    assert docs.num_rows == 1


def test_failed_calls_leave_the_handle_usable(handle):
    shred_error(handle, json_batch(["not json"]))
    shred_error(handle, json_batch([{}]), 7)
    unshred_error(handle, pa.RecordBatch.from_arrays([], names=[]))
    atoms = shredder_ext.shred_arrow(handle, json_batch([{"a": 1}]))
    assert atoms.column("root_a").to_pylist() == [1]
