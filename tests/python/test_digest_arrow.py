"""_digest_arrow against shred_arrow of each document alone through a fresh handle: a document
the pass accepts without changing it for earlier ones has its lone digest, the first document
of a handle is judged exactly as alone, and a refusal does not stop the documents after it."""

from __future__ import annotations

import json

import pyarrow as pa
import pytest
import shredder_ext
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from any_json import json_values
from conftest import SHARED_DATA, json_batch
from jobs.jobs_helpers import real_documents

TXN_COLUMN = "root___txn_id"
PREFIX = "shred failed: "


def alone(text) -> tuple[str | None, str | None]:
    """The lone digest of a document and the text of its refusal (one of them None)."""
    try:
        atoms = shredder_ext.shred_arrow(shredder_ext.create_controller("json"),
                                         json_batch([text], type_=pa.binary()
                                                    if isinstance(text, bytes) else pa.string()))
    except ValueError as error:
        message = str(error)
        return None, message[len(PREFIX):] if message.startswith(PREFIX) else message
    return atoms.column(TXN_COLUMN)[0].as_py(), None


def judged_as_alone(handle, batch: pa.RecordBatch, texts: list, first: bool) -> dict[str, int]:
    """Checks every row of one pass that earlier documents did not decide against its lone
    shred; counts the outcomes."""
    judged = shredder_ext._digest_arrow(handle, batch)
    assert judged.schema.names == ["txn_id", "refusal", "decided_by_earlier"]
    assert judged.num_rows == len(texts)
    tally = {"alone": 0, "refused alone": 0, "decided": 0}
    rows = zip(judged.column("txn_id").to_pylist(), judged.column("refusal").to_pylist(),
               judged.column("decided_by_earlier").to_pylist())
    for i, (digest, refusal, decided) in enumerate(rows):
        assert (digest is None) != (refusal is None), i
        assert not (decided and i == 0 and first)
        if decided:
            tally["decided"] += 1
            continue
        if refusal is not None:
            refusal = refusal.decode("utf-8", "backslashreplace")
        tally["refused alone" if refusal is not None else "alone"] += 1
        assert (digest, refusal) == alone(texts[i]), texts[i]
    return tally


def judge_batches(batches: list[list]) -> dict[str, int]:
    handle = shredder_ext.create_controller("json")
    total = {"alone": 0, "refused alone": 0, "decided": 0}
    for number, texts in enumerate(batches):
        type_ = pa.binary() if texts and isinstance(texts[0], bytes) else pa.string()
        tally = judged_as_alone(handle, json_batch(texts, type_=type_), texts, number == 0)
        for key, count in tally.items():
            total[key] += count
    return total


KEYS = st.sampled_from(["a", "b", "a_b", "_", "b_", "c", "é", "ключ", "😀", "x_id", ""])
LEAVES = st.one_of(st.none(), st.integers(-3, 3), st.floats(allow_nan=False, width=32),
                   st.sampled_from(["x", "", "é\U0001F600"]), st.booleans())
VALUES = json_values(KEYS, LEAVES, max_leaves=10)
DOCUMENTS = st.dictionaries(KEYS, VALUES, max_size=4)
TEXTS = st.one_of(DOCUMENTS.map(json.dumps),
                  st.integers(1, 70).map(lambda n: '{"d":' * n + "1" + "}" * n),  # deep
                  st.sampled_from(['{"a":', "[1]", '{"a": [[1]]}', '{"__txn_id": 3}']))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.lists(TEXTS, min_size=1, max_size=6), min_size=1, max_size=6))
def test_documents_are_judged_as_alone_on_random_documents(batches):
    judge_batches(batches)


def test_a_refused_document_does_not_stop_the_ones_after_it():
    tally = judge_batches([
        ['{"a": [1]}', '{"a": 2, "b": {"c": 1}}', '{"b": 3}', '{"d": 1}'],
        ['{"b": 4}', '{"a": 5}', '{"e": [[1]]}', '{"e": 6}'],
        ['{"labels_url": "A", "labels": [{"url": "B1"}, {"url": "B2"}]}', '{"i": 1}'],
    ])
    # decided by earlier documents: {"a": 2, ...} (wrapped), {"b": 3} and {"b": 4} (b held an
    # object), {"a": 5}, {"e": 6} (wrapped for the refused nested array before it);
    # refused alone: the nested array and labels_url
    assert tally == {"alone": 3, "refused alone": 2, "decided": 5}


@pytest.mark.parametrize("make", [
    lambda: (json_batch(['{"a": 1}']), "nope"),
    lambda: (json_batch(['{"a": 1}']), 3),
    lambda: (pa.record_batch([pa.array([1])], names=["n"]), None),
    lambda: ("not a batch", None),
], ids=["unknown-name", "index-out-of-range", "int-column", "not-a-batch"])
def test_arguments_are_read_and_refused_as_shred_arrow_reads_them(make):
    batch, column = make()
    outcomes = []
    for call in (shredder_ext.shred_arrow, shredder_ext._digest_arrow):
        with pytest.raises(ValueError) as info:
            call(shredder_ext.create_controller("json"), batch, column)
        outcomes.append(str(info.value).replace("digest failed: ", "shred failed: "))
    assert outcomes[0] == outcomes[1]


def test_a_document_arrow_cannot_read_as_text_is_a_refused_row():
    batch = pa.record_batch([pa.array([b"\xff", b'{"a": 1}'], pa.binary())], names=["doc"])
    judged = shredder_ext._digest_arrow(shredder_ext.create_controller("json"), batch)
    refusal = judged.column("refusal")[0].as_py().decode("utf-8", "backslashreplace")
    assert refusal == alone(b"\xff")[1]
    assert judged.column("txn_id")[1].as_py() == alone(b'{"a": 1}')[0]


def test_a_named_column_is_digested_like_the_same_column_alone():
    texts = ['{"a": [1, 2]}', '{"b": 3}']
    batch = pa.record_batch([pa.array(["x", "y"]), pa.array(texts)], names=["id", "doc"])
    judged = shredder_ext._digest_arrow(shredder_ext.create_controller("json"), batch, "doc")
    assert judged.column("txn_id").to_pylist() == [alone(t)[0] for t in texts]


def test_documents_are_judged_as_alone_on_the_real_data(real_data_dir):
    documents = 0
    for name, texts in real_documents(real_data_dir, limit=600):
        judge_batches([texts[i:i + 40] for i in range(0, len(texts), 40)])
        documents += len(texts)
    assert documents > 500


def test_documents_are_judged_as_alone_on_the_test_suite_files():
    suite = SHARED_DATA / "jsontestsuite" if SHARED_DATA is not None else None
    if suite is None or not suite.is_dir():
        pytest.fail("the JSONTestSuite files ../shared/data/jsontestsuite are missing")
    texts = [path.read_bytes() for path in sorted(suite.glob("*.json"))]
    tally = judge_batches([texts[i:i + 3] for i in range(0, len(texts), 3)])
    assert tally["refused alone"] > 0 and tally["alone"] > 0
