"""What a handle keeps between calls, what handles share, and who owns the results."""

from __future__ import annotations

import gc
import json
import weakref

import pyarrow as pa
import pytest
import shredder_ext

from conftest import docs_of, json_batch, strip_ids

A_DIGEST = "88a5996139fb335d6540ecafadd5a92c60b9c77a964821820edb9bab972953cd"


def test_one_document_through_both_directions():
    handle = shredder_ext.create_controller("json")
    atoms = shredder_ext.shred_arrow(handle, json_batch(['{"a": 1}']))
    assert atoms.schema == pa.schema([("root___obj_id", pa.string()),
                                      ("root___txn_id", pa.string()), ("root_a", pa.int64())])
    assert atoms.to_pydict() == {"root___obj_id": [A_DIGEST], "root___txn_id": [A_DIGEST],
                                 "root_a": [1]}
    docs = shredder_ext.unshred_arrow(handle, atoms)
    assert docs.schema == pa.schema([("doc", pa.string())])
    assert docs.column(0).to_pylist() == [
        f'{{"__obj_id":"{A_DIGEST}","__txn_id":"{A_DIGEST}","a":1}}']


def test_arrow_codec_returns_a_struct_column():
    handle = shredder_ext.create_controller("arrow")
    rb = pa.RecordBatch.from_arrays([pa.array([{"a": 1, "b": [1.5]}])], names=["doc"])
    docs = shredder_ext.unshred_arrow(handle, shredder_ext.shred_arrow(handle, rb))
    assert docs.schema.names == ["doc"]
    assert docs.schema.field(0).type == pa.struct([
        ("__obj_id", pa.string()), ("__txn_id", pa.string()), ("a", pa.int64()),
        ("b", pa.list_(pa.float64()))])
    assert strip_ids(docs.column(0).to_pylist()) == [{"a": 1, "b": [1.5]}]


def test_handle_remembers_array_paths_across_calls():
    handle = shredder_ext.create_controller("json")
    shredder_ext.shred_arrow(handle, json_batch([{"a": [1, 2]}]))
    atoms = shredder_ext.shred_arrow(handle, json_batch([{"a": 3}]))
    assert atoms.column("root_a__idx").to_pylist() == [0]
    assert strip_ids(docs_of(shredder_ext.unshred_arrow(handle, atoms))) == [{"a": [3]}]


def test_handles_keep_separate_shapes():
    learned = shredder_ext.create_controller("json")
    fresh = shredder_ext.create_controller("json")
    shredder_ext.shred_arrow(learned, json_batch([{"a": [1, 2]}, {"b": {"c": 1}}]))
    rb = json_batch([{"a": 3, "b": 4}])
    assert "root_a__idx" not in shredder_ext.shred_arrow(fresh, rb).schema.names
    with pytest.raises(ValueError) as info:
        shredder_ext.shred_arrow(learned, rb)
    assert str(info.value) == (
        "shred failed: Normalizer shape mismatch at /b (have leaf, want object)")


def test_a_batch_after_a_larger_one_of_another_shape_comes_out_as_on_its_own():
    # Built columns leave their buffers to the columns of the thread's next batch.
    small = json_batch([{"s": "x", "n": 1}, {"s": None, "n": 2, "t": ["v"]}])
    large = json_batch([{"n": "y" * 100, "s": list(range(50)), "t": {"u": "z" * 70}}] * 200)
    alone = shredder_ext.shred_arrow(shredder_ext.create_controller("json"), small)
    for exact in (True, False):
        shredder_ext.shred_arrow(shredder_ext.create_controller("json", exact=exact), large)
        after = shredder_ext.shred_arrow(shredder_ext.create_controller("json"), small)
        assert after.equals(alone)


def test_results_outlive_the_handle_and_the_input():
    handle = shredder_ext.create_controller("json")
    rb = json_batch([{"a": "x" * 1000, "b": [1, 2, 3]}])
    atoms = shredder_ext.shred_arrow(handle, rb)
    handle_ref = weakref.ref(handle)
    del handle, rb
    gc.collect()
    assert handle_ref() is None
    assert atoms.column("root_a").to_pylist() == ["x" * 1000] * 3
    other = shredder_ext.create_controller("json")
    docs = shredder_ext.unshred_arrow(other, atoms)
    del other, atoms
    gc.collect()
    assert strip_ids(docs_of(docs)) == [{"a": "x" * 1000, "b": [1, 2, 3]}]


def test_input_batch_stays_referenced_only_by_its_owner():
    handle = shredder_ext.create_controller("json")
    rb = json_batch([{"a": 1}])
    column = rb.column(0)
    gc.collect()
    referrers = len(gc.get_referrers(rb))
    for _ in range(3):
        shredder_ext.shred_arrow(handle, rb)
    gc.collect()
    assert len(gc.get_referrers(rb)) == referrers
    assert rb.column(0).equals(column)


def test_each_call_returns_a_new_batch():
    handle = shredder_ext.create_controller("json")
    rb = json_batch([{"a": 1}])
    first = shredder_ext.shred_arrow(handle, rb)
    second = shredder_ext.shred_arrow(handle, rb)
    assert first is not second and first.equals(second)


def test_documents_come_back_in_transaction_order():
    handle = shredder_ext.create_controller("json")
    documents = [{"n": i} for i in range(20)]
    atoms = shredder_ext.shred_arrow(handle, json_batch(documents))
    docs = docs_of(shredder_ext.unshred_arrow(handle, atoms))
    assert [d["__txn_id"] for d in docs] == sorted(d["__txn_id"] for d in docs)
    assert sorted(json.dumps(strip_ids(d)) for d in docs) == sorted(
        json.dumps(d) for d in documents)


def test_zero_row_input_gives_an_empty_batch_without_columns():
    handle = shredder_ext.create_controller("json")
    atoms = shredder_ext.shred_arrow(handle, json_batch([]))
    assert (atoms.num_columns, atoms.num_rows) == (0, 0)
    with pytest.raises(ValueError) as info:
        shredder_ext.unshred_arrow(handle, atoms)
    assert str(info.value) == "unshred failed: Controller: atoms batch has no columns"


def test_unshred_of_zero_rows_gives_zero_documents():
    handle = shredder_ext.create_controller("json")
    atoms = shredder_ext.shred_arrow(handle, json_batch([{"a": 1}])).slice(0, 0)
    docs = shredder_ext.unshred_arrow(handle, atoms)
    assert docs.schema == pa.schema([("doc", pa.string())]) and docs.num_rows == 0


def test_returned_fields_are_nullable_and_carry_their_key_lists():
    handle = shredder_ext.create_controller("json")
    atoms = shredder_ext.shred_arrow(handle, json_batch([{"a": None, "b_c": True}]))
    assert atoms.schema.metadata is None
    assert all(field.nullable for field in atoms.schema)
    assert atoms.schema.field("root_b_c").metadata == {b"shredder.keys": b'["b_c"]'}
    assert atoms.schema.field("root_a").type == pa.null()
