"""Hostile atoms batches end with a ValueError or succeed; none crashes the process or
allocates without bound. Cases that need much memory or time run in a child process with a
limited data size (hostile_batches.py); the cheap ones run here."""

from __future__ import annotations

import itertools
import json
from pathlib import Path

import pyarrow as pa
import pytest
import shredder_ext
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import run_python

HERE = Path(__file__).resolve().parent
TOO_LARGE = ("unshred failed: Controller: atoms batch too large: 1048576 rows x 300 columns "
             "exceeds 268435456 cells; unshred fewer documents per batch")
TOO_DEEP = "unshred failed: Shredder::Unshred: column name nested too deeply at root_a_a_a"
UNSUPPORTED = "unshred failed: Controller: unshred: unsupported atom column type: "


def run_case(name: str) -> dict:
    code = (f"import json, sys; sys.path.insert(0, {str(HERE)!r})\n"
            f"import hostile_batches\n"
            f"print(json.dumps(hostile_batches.CASES[{name!r}]()))\n")
    child = run_python(code, timeout=600)
    assert child.returncode == 0, (child.returncode, child.stderr.decode(errors="replace")[-2000:])
    return json.loads(child.stdout)


def unshred(codec: str, rb: pa.RecordBatch):
    return shredder_ext.unshred_arrow(shredder_ext.create_controller(codec), rb)


def json_docs(rb: pa.RecordBatch) -> list:
    return [json.loads(text) for text in unshred("json", rb).column(0).to_pylist()]


def value_error(codec: str, rb: pa.RecordBatch) -> str:
    with pytest.raises(ValueError) as info:
        unshred(codec, rb)
    return str(info.value)


def batch(**columns) -> pa.RecordBatch:
    return pa.RecordBatch.from_arrays(list(columns.values()), names=list(columns))


# ----------------------------------------------------------------------------------------
# Indexes

@pytest.mark.parametrize("index", [10**15, 2**63 - 1])
@pytest.mark.parametrize("codec", ["json", "arrow"])
def test_huge_index_is_refused_before_it_is_allocated(codec, index):
    rb = batch(root___txn_id=pa.array(["t"]), root_a=pa.array([5]),
               root_a__idx=pa.array([index], pa.int64()))
    assert value_error(codec, rb) == (
        "unshred failed: Shredder::Unshred: array index out of range at root_a")


@pytest.mark.parametrize("index", [pa.array([-1]), pa.array([0.0]), pa.array(["0"]),
                                   pa.array([True])], ids=["negative", "double", "string", "bool"])
def test_index_that_is_not_a_non_negative_integer_drops_its_value(index):
    rb = batch(root___txn_id=pa.array(["t"]), root_a=pa.array([5]), root_a__idx=index)
    assert json_docs(rb) == [{"__txn_id": "t"}]


# ----------------------------------------------------------------------------------------
# Types

UNSUPPORTED_TYPES = [
    (pa.int32(), [1]), (pa.uint64(), [1]), (pa.float32(), [0.5]), (pa.binary(), [b"x"]),
    (pa.large_binary(), [b"x"]), (pa.list_(pa.int64()), [[1]]),
    (pa.struct([("x", pa.int64())]), [{"x": 1}]), (pa.timestamp("s"), [1]),
    (pa.decimal128(5, 2), [None]), (pa.date32(), [1]),
]


@pytest.mark.parametrize("type_, cells", UNSUPPORTED_TYPES, ids=lambda v: str(v))
@pytest.mark.parametrize("codec", ["json", "arrow"])
def test_unsupported_column_type_is_refused_at_its_first_valid_cell(codec, type_, cells):
    values = pa.array(cells, type_)
    rb = batch(root___txn_id=pa.array(["t"]), root_x=values)
    if values.null_count == len(values):
        assert unshred(codec, rb).num_rows == 1
    else:
        assert value_error(codec, rb) == UNSUPPORTED + str(type_)


@pytest.mark.parametrize("codec", ["json", "arrow"])
def test_dictionary_column_is_refused_and_accepted_when_all_null(codec):
    encoded = pa.array(["x"]).dictionary_encode()
    rb = batch(root___txn_id=pa.array(["t"]), root_x=encoded)
    assert value_error(codec, rb) == UNSUPPORTED + str(encoded.type)
    all_null = pa.DictionaryArray.from_arrays(pa.array([None], pa.int32()), pa.array(["x"]))
    assert unshred(codec, batch(root___txn_id=pa.array(["t"]), root_x=all_null)).num_rows == 1


@pytest.mark.parametrize("txn, documents", [
    # NaN meets NaN, and -0.0 meets 0.0.
    (pa.array([1.5, float("nan"), float("nan"), -0.0, 0.0]), 3),
    (pa.array([True, False, True, False, True]), 2),
    (pa.array(["b", "a", "b", "", ""], pa.large_string()), 3),
], ids=["double", "bool", "large_string"])
def test_transaction_column_of_any_atom_type_groups_equal_atoms(txn, documents):
    rb = batch(root___txn_id=txn, root_n=pa.array([1, 2, 3, 4, 5]))
    assert unshred("json", rb).num_rows == documents


def test_columns_sharing_a_name_and_disagreeing_in_type_do_not_crash():
    rb = pa.RecordBatch.from_arrays(
        [pa.array(["t", "t"]), pa.array([1, 2]), pa.array(["x", "y"]), pa.array([0, 1]),
         pa.array(["u", "u"])],
        names=["root___txn_id", "root_a", "root_a", "root_a__idx", "root___txn_id"])
    for codec in ("json", "arrow"):
        try:
            unshred(codec, rb)
        except ValueError as e:
            assert str(e).startswith("unshred failed: ")


# ----------------------------------------------------------------------------------------
# Sliced and offset arrays

def atoms_of(documents) -> pa.RecordBatch:
    handle = shredder_ext.create_controller("json")
    texts = pa.array([json.dumps(d) for d in documents])
    return shredder_ext.shred_arrow(handle, pa.RecordBatch.from_arrays([texts], names=["doc"]))


DOCUMENTS = [{"k": i, "flag": i % 2 == 0, "w": i / 4, "s": f"s{i}", "l": list(range(i % 4)),
              "o": [{"p": j, "q": str(j)} for j in range(i % 3)]} for i in range(12)]


def copied(rb: pa.RecordBatch) -> pa.RecordBatch:
    """The same cells in fresh buffers, every array starting at offset 0."""
    return pa.RecordBatch.from_arrays([pa.concat_arrays([c]) for c in rb.columns],
                                      schema=rb.schema)


@pytest.mark.parametrize("offset, length", [(0, 5), (1, 7), (3, 0), (7, 100), (13, 4)])
@pytest.mark.parametrize("codec", ["json", "arrow"])
def test_sliced_batch_unshreds_as_a_copy_of_its_cells(codec, offset, length):
    atoms = atoms_of(DOCUMENTS)
    window = atoms.slice(offset, length)
    assert any(c.offset for c in window.columns) or offset == 0
    assert unshred(codec, window).to_pylist() == unshred(codec, copied(window)).to_pylist()


def test_columns_with_offsets_of_their_own_unshred_as_copies():
    atoms = atoms_of(DOCUMENTS)
    rows = 6
    # Every column a window of a longer array of its own, at its own offset.
    columns = []
    for i, column in enumerate(atoms.columns):
        start = i % 5
        padded = pa.concat_arrays([pa.nulls(start, column.type), column.slice(0, rows),
                                   pa.nulls(3, column.type)])
        columns.append(padded.slice(start, rows))
    shifted = pa.RecordBatch.from_arrays(columns, schema=atoms.schema)
    assert [c.offset for c in shifted.columns][:5] == [0, 1, 2, 3, 4]
    expected = copied(atoms.slice(0, rows))
    for codec in ("json", "arrow"):
        assert unshred(codec, shifted).to_pylist() == unshred(codec, expected).to_pylist()


def runaway_strings(cells: list) -> pa.Array:
    """`cells` with the end offset of the first one moved far past the data. Arrow's cheap
    check (which pyarrow runs on from_buffers) reads only the first and last offsets."""
    sound = pa.array(cells, pa.utf8())
    offsets = [0] + list(itertools.accumulate(len(c.encode()) for c in cells))
    offsets[1] = 1 << 30
    offsets = pa.array(offsets, pa.int32())
    return pa.Array.from_buffers(pa.utf8(), len(cells), [None, offsets.buffers()[1],
                                                     sound.buffers()[2]])


@pytest.mark.parametrize("codec", ["json", "arrow"])
def test_offsets_past_the_data_are_refused_before_a_cell_is_read(codec):
    strings = runaway_strings(["t", "u", "v"])
    rb = batch(root___txn_id=strings, root_a=pa.array([1, 2, 3]))
    assert value_error(codec, rb).startswith("unshred failed: Controller: Invalid: ")


def test_shred_input_with_offsets_past_the_data_is_refused():
    texts = runaway_strings(['{"a": "' + "x" * 100, '"}', "{}"])
    handle = shredder_ext.create_controller("json")
    with pytest.raises(ValueError, match=r"^shred failed: JsonTextCodec: Invalid: "):
        shredder_ext.shred_arrow(handle, pa.RecordBatch.from_arrays([texts], names=["doc"]))
    struct = pa.StructArray.from_arrays([runaway_strings(["a", "b"])], names=["s"])
    handle = shredder_ext.create_controller("arrow")
    with pytest.raises(ValueError, match=r"^shred failed: ArrowDomCodec: Invalid: "):
        shredder_ext.shred_arrow(handle, pa.RecordBatch.from_arrays([struct], names=["doc"]))


# ----------------------------------------------------------------------------------------
# Random batches

NAMES = st.lists(st.sampled_from(["root", "a", "b", "_", "__txn_id", "__idx", "__obj_id", ""]),
                 max_size=6).map("_".join)
TYPES = st.sampled_from([pa.null(), pa.bool_(), pa.int64(), pa.float64(), pa.string(),
                         pa.large_string(), pa.int32()])
CELLS = {
    "null": st.none(),
    "bool": st.one_of(st.none(), st.booleans()),
    "int64": st.one_of(st.none(), st.integers(-3, 5), st.integers(-(2**63), 2**63 - 1)),
    "double": st.one_of(st.none(), st.floats()),
    "string": st.one_of(st.none(), st.text(max_size=4)),
    "large_string": st.one_of(st.none(), st.text(max_size=4)),
    "int32": st.one_of(st.none(), st.integers(-(2**31), 2**31 - 1)),
}


@st.composite
def atoms_batches(draw):
    rows = draw(st.integers(0, 6))
    width = draw(st.integers(1, 6))
    names = [draw(st.one_of(NAMES, st.just("root___txn_id"))) for _ in range(width)]
    arrays = []
    for _ in range(width):
        type_ = draw(TYPES)
        cells = draw(st.lists(CELLS[str(type_)], min_size=rows, max_size=rows))
        arrays.append(pa.array(cells, type_))
    rb = pa.RecordBatch.from_arrays(arrays, names=names)
    offset = draw(st.integers(0, rows))
    return rb.slice(offset, draw(st.integers(0, rows - offset)))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(atoms_batches(), st.sampled_from(["json", "arrow"]))
def test_any_small_atoms_batch_unshreds_or_fails_with_value_error(rb, codec):
    try:
        result = unshred(codec, rb)
    except ValueError as e:
        assert str(e).startswith("unshred failed: "), str(e)
        return
    assert result.schema.names == ["doc"]
    result.validate(full=False)


# ----------------------------------------------------------------------------------------
# Large cases in a child process with a limited data size

def test_millions_of_zero_row_columns():
    out = run_case("zero_row_columns")
    assert out["with_txn"] == {"kind": "ok", "rows": 0, "docs": []}
    assert out["without_txn"] == {
        "kind": "ValueError", "message": "unshred failed: Shredder::Unshred: missing __txn_id column"}


def test_null_columns_beyond_the_cell_bound_are_refused():
    out = run_case("null_columns_beyond_the_bound")
    for codec in ("json", "arrow"):
        assert out[codec] == {"kind": "ValueError", "message": TOO_LARGE}


def test_null_columns_within_the_cell_bound_need_no_atom_per_cell():
    out = run_case("null_columns_within_the_bound")
    assert out["json"] == {"kind": "ok", "rows": 1 << 14}


def test_deepest_names_rebuild_on_a_small_stack_and_deeper_ones_are_refused():
    out = run_case("deep_names")
    for codec in ("json", "arrow"):
        for arrays in (False, True):
            accepted = out[f"{codec}-511-{arrays}"]
            assert accepted["kind"] == "ok" and accepted["rows"] == 1, accepted
            refused = out[f"{codec}-512-{arrays}"]
            assert refused["kind"] == "ValueError", refused
            assert refused["message"].startswith(TOO_DEEP)
        assert out[f"{codec}-100000"]["message"].startswith(TOO_DEEP)
    # The accepted JSON document holds the leaf at the bottom of 511 arrays of objects.
    document = json.loads(out["json-511-True"]["docs"][0])
    for _ in range(511):
        (document,) = document["a"]
    assert document == {"v": 1}


def test_long_names_repeated_over_many_documents_are_refused():
    out = run_case("repeated_long_names")
    for codec in ("json", "arrow"):
        assert out[codec]["kind"] == "ValueError", out[codec]
        assert out[codec]["message"].startswith(
            "unshred failed: Shredder::Unshred: documents too large to rebuild: members would "
            "take more than "), out[codec]


def test_one_document_with_a_million_elements():
    out = run_case("one_long_array")
    assert out["kind"] == "ok" and out["rows"] == 1
    assert out["head"].startswith('{"__txn_id":"t","a":[999999,999998,')


def test_huge_string_atom():
    out = run_case("huge_string_atom")
    assert out == {"json": {"kind": "ok", "rows": 1}, "arrow": {"kind": "ok", "rows": 1}}
