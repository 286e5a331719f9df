"""Shred followed by unshred gives the documents back, for both codecs.

Documents are generated from the reversible class: keys without "_" (and not empty), no
nulls, no empty arrays, homogeneous arrays whose elements are scalars or objects (never
arrays), and one kind per path across all documents of a batch. Objects inside arrays carry
the same members in every element; elsewhere members may be left out. They must come back
equal apart from the "__txn_id" and "__obj_id" members stamped into every object (and, for
the struct codec, the null fields standing for members a document does not have).
"""

from __future__ import annotations

import json

import pyarrow as pa
import pytest
import shredder_ext
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import canonical, docs_of, strip_ids

SCALARS = {
    "bool": (st.booleans(), pa.bool_()),
    "int": (st.integers(-(2**63), 2**63 - 1), pa.int64()),
    "double": (st.floats(allow_nan=False, allow_infinity=False), pa.float64()),
    "string": (st.text(st.characters(exclude_categories=("Cs",)), max_size=8), pa.string()),
}

KEYS = st.text(st.characters(exclude_categories=("Cs",), exclude_characters="_"),
               min_size=1, max_size=6)

LEAF = st.sampled_from(sorted(SCALARS)).map(lambda kind: ("scalar", kind))


def _containers(children):
    objects = st.dictionaries(KEYS, children, max_size=4).map(lambda d: ("object", d))
    return st.one_of(objects,
                     LEAF.map(lambda leaf: ("array", leaf)),
                     objects.map(lambda obj: ("array", obj)))


SHAPES = st.recursive(LEAF, _containers, max_leaves=12)
ROOT_SHAPES = st.dictionaries(KEYS, SHAPES, max_size=5)


def values(shape, inside_array: bool):
    kind, detail = shape
    if kind == "scalar":
        return SCALARS[detail][0]
    if kind == "object":
        return objects(detail, inside_array)
    return st.lists(values(detail, True), min_size=1, max_size=3)


def objects(fields: dict, inside_array: bool):
    members = {key: values(shape, inside_array) for key, shape in fields.items()}
    if inside_array:
        return st.fixed_dictionaries(members)
    return st.fixed_dictionaries({}, optional=members)


def arrow_type(shape) -> pa.DataType:
    kind, detail = shape
    if kind == "scalar":
        return SCALARS[detail][1]
    if kind == "object":
        return pa.struct([(key, arrow_type(s)) for key, s in detail.items()])
    return pa.list_(arrow_type(detail))


@st.composite
def batches(draw):
    """(root fields, distinct documents): identical documents would share one id and
    come back as one."""
    fields = draw(ROOT_SHAPES)
    documents = draw(st.lists(objects(fields, False), min_size=1, max_size=4,
                              unique_by=canonical))
    return fields, documents


def drop_nulls(value):
    if isinstance(value, dict):
        return {k: drop_nulls(v) for k, v in value.items() if v is not None}
    if isinstance(value, list):
        return [drop_nulls(v) for v in value]
    return value


def as_set(documents) -> list:
    return sorted(canonical(d) for d in documents)


ROUND_TRIP = settings(max_examples=200, deadline=None,
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
