"""The dataset API: sources, one handle across batches, lazy unshred and verification."""

from __future__ import annotations

import json

import pyarrow as pa
import pytest

import shredder


def json_batch(*documents: object) -> pa.RecordBatch:
    return pa.record_batch([pa.array([json.dumps(d) for d in documents])], names=["doc"])


class StreamOnly:
    """Exposes nothing but the Arrow PyCapsule stream interface, like polars or DuckDB."""

    def __init__(self, table: pa.Table) -> None:
        self._table = table

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return self._table.__arrow_c_stream__(requested_schema)


def two_batch_table() -> pa.Table:
    return pa.Table.from_batches([json_batch({"a": [1, 2]}), json_batch({"a": 3})])


@pytest.mark.parametrize(
    "make_source",
    [
        pytest.param(two_batch_table, id="table"),
        pytest.param(lambda: pa.RecordBatchReader.from_batches(
            two_batch_table().schema, two_batch_table().to_batches()), id="reader"),
        pytest.param(lambda: StreamOnly(two_batch_table()), id="capsule-stream"),
        pytest.param(lambda: iter(two_batch_table().to_batches()), id="iterator"),
    ],
)
def test_shapes_learned_in_one_batch_hold_for_the_next(make_source):
    first, second = list(shredder.shred(make_source()))
    assert first.column("root_a__idx").to_pylist() == [0, 1]
    # The lone 3 of the second batch was wrapped into an array because the first batch
    # showed an array at that path: it gets an index column.
    assert second.column("root_a").to_pylist() == [3]
    assert second.column("root_a__idx").to_pylist() == [0]


def test_batch_size_splits_batches_and_keeps_every_document():
    batch = json_batch(*({"n": i} for i in range(5)))
    atoms = list(shredder.shred(batch, batch_size=2))
    assert [a.num_rows for a in atoms] == [2, 2, 1]
    assert [v for a in atoms for v in a.column("root_n").to_pylist()] == [0, 1, 2, 3, 4]


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: list(shredder.shred(json_batch({}), codec="yaml")), ValueError, "unknown codec"),
        (lambda: list(shredder.shred(json_batch({}), batch_size=0)), ValueError,
         "batch_size must be at least 1"),
        (lambda: list(shredder.shred(42)), TypeError, "got int"),
        (lambda: list(shredder.shred([json_batch({}), "x"])), TypeError, "got str"),
        (lambda: list(shredder.shred(json_batch({"a": [1, [2]]}), exact=False)), ValueError,
         "shred failed: Shredder::Shred: array elements are not homogeneous"),
    ],
)
def test_bad_arguments_and_documents_raise_clear_errors(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_unshred_is_lazy_and_round_trips_a_table_of_atoms():
    documents = [{"id": i, "tags": ["x", "y"], "items": [{"q": i}]} for i in range(3)]
    atoms = pa.Table.from_batches(list(shredder.shred(json_batch(*documents))))
    result = shredder.unshred(atoms)
    assert isinstance(result, shredder.Unshredding)
    rebuilt = [json.loads(t) for b in result for t in b.column("doc").to_pylist()]
    stripped = sorted((strip_ids(d) for d in rebuilt), key=lambda d: d["id"])
    assert stripped == documents


def strip_ids(value):
    if isinstance(value, dict):
        return {k: strip_ids(v) for k, v in value.items() if k not in ("__txn_id", "__obj_id")}
    if isinstance(value, list):
        return [strip_ids(v) for v in value]
    return value


@pytest.mark.parametrize("codec", ["json", "arrow"])
def test_verify_reports_exact_and_changed_documents_by_id(codec):
    exact = {"name": "ok", "tags": ["a", "b"]}
    with_null = {"name": "n", "gone": None}
    with_underscore = {"a_b": 1}
    batch = json_batch(exact, with_null, with_underscore)
    atoms = list(shredder.shred(batch, exact=False))
    ids = atoms[0].column("root___txn_id").unique().to_pylist()
    if codec == "arrow":
        result = shredder.unshred(atoms, codec="arrow", verify=True)
    else:
        result = shredder.unshred(atoms, verify=True)
    list(result)
    assert result.report.checked == 3
    # The key with "_" comes back whole (its column carries its key list); the null does not.
    assert result.report.exact == 2
    [changed_id] = result.report.changed_ids
    changed = atoms[0].filter(pa.compute.equal(atoms[0].column("root___txn_id"), changed_id))
    assert changed.column("root_name").to_pylist() == ["n"]
