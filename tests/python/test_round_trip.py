"""Shred followed by unshred gives the documents back, for both codecs.

Documents are generated from the reversible class: keys without "_" (and not empty), no
nulls, no empty arrays, homogeneous arrays whose elements are scalars or objects (never
arrays), and one kind per path across all documents of a batch; members may be left out,
also in array elements. They must come back equal apart from the "__txn_id" and "__obj_id"
members stamped into every object (and, for the struct codec, the null fields standing for
members a document does not have).
"""

from __future__ import annotations

import json

import pyarrow as pa
import pytest
import shredder_ext
from hypothesis import HealthCheck, given, settings

from conftest import canonical, docs_of, strip_ids
from reversible import arrow_type, as_set, batches, drop_nulls

ROUND_TRIP = settings(max_examples=250, deadline=None,
                      suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@ROUND_TRIP
@given(batches())
def test_json_documents_come_back(batch):
    _, documents = batch
    handle = shredder_ext.create_controller("json")
    texts = pa.array([json.dumps(d, ensure_ascii=False) for d in documents])
    atoms = shredder_ext.shred_arrow(handle, pa.RecordBatch.from_arrays([texts], names=["doc"]))
    back = docs_of(shredder_ext.unshred_arrow(handle, atoms))
    assert as_set(strip_ids(d) for d in back) == as_set(documents)


@ROUND_TRIP
@given(batches())
def test_struct_documents_come_back(batch):
    fields, documents = batch
    handle = shredder_ext.create_controller("arrow")
    column = pa.array(documents, arrow_type(("object", fields)))
    atoms = shredder_ext.shred_arrow(handle, pa.RecordBatch.from_arrays([column], names=["doc"]))
    result = shredder_ext.unshred_arrow(handle, atoms)
    assert result.schema.names == ["doc"]
    back = result.column(0).to_pylist()
    assert as_set(drop_nulls(strip_ids(d)) for d in back) == as_set(documents)


@pytest.mark.parametrize(
    "document",
    [
        {},
        {"a": [{"t": [1, 2]}, {"t": [3]}], "b": [5.5, 6.5]},
        {"x": {"y": {"z": "deep"}}, "list": [True, False, True]},
        {"n": -(2**63), "m": 2**63 - 1, "f": -0.0, "g": 1e300},
        {"unicode key ✓": "välue", "tab\tkey": "line\nbreak", "quote\"": "\\"},
    ],
    ids=["empty", "arrays-in-array-elements", "nesting", "extremes", "odd-text"],
)
@pytest.mark.parametrize("codec", ["json", "arrow"])
def test_chosen_documents_come_back(codec, document):
    handle = shredder_ext.create_controller(codec)
    if codec == "json":
        column = pa.array([json.dumps(document)])
    else:
        column = pa.array([document], pa.struct([])) if not document else pa.array([document])
    atoms = shredder_ext.shred_arrow(handle, pa.RecordBatch.from_arrays([column], names=["doc"]))
    result = shredder_ext.unshred_arrow(handle, atoms)
    back = docs_of(result) if codec == "json" else result.column(0).to_pylist()
    assert [canonical(drop_nulls(strip_ids(d))) for d in back] == [canonical(document)]


def test_rebuilt_objects_carry_their_own_ids():
    handle = shredder_ext.create_controller("json")
    rb = pa.RecordBatch.from_arrays([pa.array(['{"o": {"x": 1}, "l": [{"y": 2}]}'])],
                                    names=["doc"])
    (doc,) = docs_of(shredder_ext.unshred_arrow(handle, shredder_ext.shred_arrow(handle, rb)))
    txn = doc["__txn_id"]
    assert doc["__obj_id"] == txn
    for inner in (doc["o"], doc["l"][0]):
        assert inner["__txn_id"] == txn
        assert len(inner["__obj_id"]) == 64 and inner["__obj_id"] != txn
