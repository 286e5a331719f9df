"""_digest_arrow against shred_arrow on a twin handle: batch after batch, the same root
"__txn_id" for every document or the same failure (text and row), and the same handle
afterwards, which the batches that follow show."""

from __future__ import annotations

import json

import pyarrow as pa
import pytest
import shredder_ext
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import SHARED_DATA, json_batch
from jobs.jobs_helpers import real_documents

TXN_COLUMN = "root___txn_id"


def merged(digests: list) -> list:
    """Neighbours with equal digests as one: the atoms cannot tell them apart."""
    return [d for i, d in enumerate(digests) if i == 0 or digests[i - 1] != d]


def shred_outcome(handle, batch: pa.RecordBatch):
    try:
        atoms = shredder_ext.shred_arrow(handle, batch)
    except ValueError as error:
        return "refused", str(error), error.row
    if atoms.num_rows == 0:
        return "digests", []
    # the rows of a document follow one another, each carrying its digest
    return "digests", merged(atoms.column(TXN_COLUMN).to_pylist())


def digest_outcome(handle, batch: pa.RecordBatch):
    try:
        digests = shredder_ext._digest_arrow(handle, batch)
    except ValueError as error:
        return "refused", str(error), error.row
    assert isinstance(digests, pa.StringArray)
    assert len(digests) == batch.num_rows and digests.null_count == 0
    return "digests", merged(digests.to_pylist())


def assert_twins_agree(batches: list[pa.RecordBatch]) -> list[str]:
    """Each batch through both twins in turn; returns the outcome kinds."""
    shredding = shredder_ext.create_controller("json")
    digesting = shredder_ext.create_controller("json")
    kinds = []
    for number, batch in enumerate(batches):
        expected = shred_outcome(shredding, batch)
        assert digest_outcome(digesting, batch) == expected, f"batch {number}"
        kinds.append(expected[0])
    return kinds


KEYS = st.sampled_from(["a", "b", "a_b", "_", "b_", "c", "é", "ключ", "😀", "x_id", ""])
LEAVES = st.one_of(st.none(), st.integers(-3, 3), st.floats(allow_nan=False, width=32),
                   st.sampled_from(["x", "", "é\U0001F600"]), st.booleans())
VALUES = st.recursive(
    LEAVES,
    lambda inner: st.one_of(st.lists(inner, max_size=3),
                            st.dictionaries(KEYS, inner, max_size=3)),
    max_leaves=10)
DOCUMENTS = st.dictionaries(KEYS, VALUES, max_size=4)
TEXTS = st.one_of(DOCUMENTS.map(json.dumps),
                  st.integers(1, 70).map(lambda n: '{"d":' * n + "1" + "}" * n),  # deep
                  st.sampled_from(['{"a":', "[1]", '{"a": [[1]]}', '{"__txn_id": 3}']))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.lists(TEXTS, min_size=1, max_size=6), min_size=1, max_size=6))
def test_twins_agree_on_random_documents(batches):
    assert_twins_agree([json_batch(texts) for texts in batches])


def test_twins_agree_on_refused_batches_and_those_after_them():
    kinds = assert_twins_agree([json_batch(texts) for texts in [
        ['{"a": [1]}', '{"a": 2, "b": {"c": 1}}', '{"b": 3}'],  # refused: row 2
        ['{"b": 4}', '{"a": 5}'],  # b was never learned as an object: accepted, a wrapped
        ['{"e": {"f": 1}}', '{"e": [{"f": 2}]}', '{"e": {"f": [3]}}', '{"g": [1, "x"]}'],
        ['{"e": {"f": 1}}'],
        ['{"labels_url": "A", "labels": [{"url": "B1"}, {"url": "B2"}]}'],
        ['{"i": 1}', '{"i": 1}', '{"i": "1"}'],  # equal neighbours, then a boxed column
    ]])
    assert kinds == ["refused", "digests", "refused", "digests", "refused", "digests"]


@pytest.mark.parametrize("make", [
    lambda: (json_batch(['{"a": 1}']), "nope"),
    lambda: (json_batch(['{"a": 1}']), 3),
    lambda: (pa.record_batch([pa.array([1])], names=["n"]), None),
    lambda: ("not a batch", None),
    lambda: (pa.record_batch([pa.array([b"\xff"], pa.binary())], names=["doc"]), None),
], ids=["unknown-name", "index-out-of-range", "int-column", "not-a-batch", "bad-bytes"])
def test_arguments_are_read_and_refused_as_shred_arrow_reads_them(make):
    batch, column = make()
    outcomes = []
    for call in (shredder_ext.shred_arrow, shredder_ext._digest_arrow):
        with pytest.raises(ValueError) as info:
            call(shredder_ext.create_controller("json"), batch, column)
        outcomes.append((str(info.value), getattr(info.value, "row", "absent")))
    assert outcomes[0] == outcomes[1]


def test_a_named_column_is_digested_like_the_same_column_shredded():
    texts = ['{"a": [1, 2]}', '{"a": 3}']
    batch = pa.record_batch([pa.array(["x", "y"]), pa.array(texts)], names=["id", "doc"])
    digests = shredder_ext._digest_arrow(shredder_ext.create_controller("json"), batch, "doc")
    atoms = shredder_ext.shred_arrow(shredder_ext.create_controller("json"), json_batch(texts))
    assert digests.to_pylist() == merged(atoms.column(TXN_COLUMN).to_pylist())


def test_twins_agree_on_the_real_data(real_data_dir):
    documents = 0
    for name, texts in real_documents(real_data_dir, limit=600):
        batches = [json_batch(texts[i:i + 40]) for i in range(0, len(texts), 40)]
        assert_twins_agree(batches)
        documents += len(texts)
    assert documents > 500


def test_twins_agree_on_the_test_suite_files():
    suite = SHARED_DATA / "jsontestsuite" if SHARED_DATA is not None else None
    if suite is None or not suite.is_dir():
        pytest.fail("the JSONTestSuite files ../shared/data/jsontestsuite are missing")
    texts = [path.read_bytes() for path in sorted(suite.glob("*.json"))]
    kinds = assert_twins_agree([json_batch(texts[i:i + 3], type_=pa.binary())
                                for i in range(0, len(texts), 3)])
    assert {"refused", "digests"} <= set(kinds)
