"""Verification a batch at a time gives exactly the verdicts of one fresh pipeline per
document, over the real data and random documents (lone values beside arrays, nulls, keys
with "_"), including documents whose carried id is the digest of a wrapped form."""

from __future__ import annotations

import json

import pyarrow as pa
import pytest
import shredder_ext
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from shredder.core import verify

from any_json import json_values
from jobs_helpers import real_documents


def rebuild_one_by_one(texts: list[str]) -> list[str]:
    """Each document shredded through one shared pipeline (so earlier ones wrap lone values in
    later ones, as in a real run), then rebuilt; documents the pipeline refuses are left out."""
    handle = shredder_ext.create_controller("json")
    rebuilt = []
    for text in texts:
        try:
            atoms = shredder_ext.shred_arrow(
                handle, pa.record_batch([pa.array([text], pa.string())], names=["doc"]))
        except ValueError:
            continue
        back = shredder_ext.unshred_arrow(shredder_ext.create_controller("json"), atoms)
        rebuilt.extend(back.column(0).to_pylist())
    return rebuilt


def unwrap_one_element_arrays(value):
    """The document with every one-element array replaced by its element, ids kept: it
    carries the digest of the wrapped form, which a batch run can rebuild by wrapping again."""
    if isinstance(value, dict):
        return {k: unwrap_one_element_arrays(v) for k, v in value.items()}
    if isinstance(value, list):
        items = [unwrap_one_element_arrays(v) for v in value]
        return items[0] if len(items) == 1 else items
    return value


def with_variants(texts: list[str]) -> list[str]:
    variants = []
    for text in texts:
        value = json.loads(text)
        unwrapped = unwrap_one_element_arrays(value)
        if unwrapped != value:
            variants.append(json.dumps(unwrapped, ensure_ascii=False))
    return texts + variants


def test_regression_a_batch_digest_equal_to_the_carried_id_is_not_taken_for_exact():
    # {"a": 1} carrying the digest of {"a": [1]}: after {"a": [2]} in the same pipeline the
    # lone value is wrapped, the batch digest equals the carried id, yet alone it differs.
    wrapped = rebuild_one_by_one(['{"a": [1]}'])[0]
    carried = json.loads(wrapped)["__txn_id"]
    lone = json.dumps({"__obj_id": carried, "__txn_id": carried, "a": 1})
    texts = ['{"__txn_id": "x", "a": [2]}', lone]
    judged = shredder_ext._digest_arrow(shredder_ext.create_controller("json"),
                                        pa.record_batch([pa.array(texts)], names=["doc"]))
    assert judged.column("txn_id")[1].as_py() == carried  # the digest alone would say exact
    assert judged.column("decided_by_earlier").to_pylist() == [False, True]
    assert verify.verdicts(texts)[1] == verify.Verdict(carried, verify.CHANGED)
    assert verify.verdicts_one_by_one(texts)[1].status == verify.CHANGED


def test_batch_verdicts_match_one_by_one_on_the_real_data(real_data_dir):
    checked = 0
    for name, texts in real_documents(real_data_dir, limit=300):
        rebuilt = with_variants(rebuild_one_by_one(texts))
        batch = verify.verdicts(rebuilt)
        assert batch == verify.verdicts_one_by_one(rebuilt), name
        checked += len(rebuilt)
    assert checked > 500


KEYS = st.sampled_from(["a", "b", "a_b", "_", "b_", "c"])
LEAVES = st.one_of(st.none(), st.integers(-3, 3), st.sampled_from(["x", "y", ""]), st.booleans())
VALUES = json_values(KEYS, LEAVES, max_leaves=8)
DOCUMENTS = st.lists(st.dictionaries(KEYS, VALUES, max_size=4), min_size=1, max_size=8)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(DOCUMENTS, st.randoms(use_true_random=False))
def test_batch_verdicts_match_one_by_one_on_random_documents(documents, random):
    rebuilt = with_variants(rebuild_one_by_one([json.dumps(d) for d in documents]))
    random.shuffle(rebuilt)
    if rebuilt and random.random() < 0.3:  # a hand-made id, and a document carrying none
        rebuilt.append(rebuilt[0].replace('"__txn_id":"', '"__txn_id":"0', 1))
        rebuilt.append(json.dumps({"a": 1}))
    assert verify.verdicts(rebuilt) == verify.verdicts_one_by_one(rebuilt)


# Keys of fixed kinds, so that few batches are refused and lone values meet arrays of their own
# key in earlier documents: the case where a batch digest can be misleading.
SCALARS = st.one_of(st.none(), st.integers(-2, 2))
OBJECTS = st.deferred(lambda: st.fixed_dictionaries({}, optional={
    "a": st.one_of(SCALARS, st.lists(st.integers(-2, 2), max_size=3)),
    "a_b": st.one_of(SCALARS, st.lists(st.sampled_from(["x", "y"]), max_size=2)),
    "_": SCALARS,
    "b": st.one_of(st.none(), OBJECTS),
    "c": st.one_of(OBJECTS, st.lists(OBJECTS, max_size=2)),
}))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(OBJECTS, min_size=1, max_size=6), st.booleans())
def test_batch_verdicts_match_one_by_one_where_earlier_documents_wrap_later_ones(documents,
                                                                                 reverse):
    rebuilt = with_variants(rebuild_one_by_one([json.dumps(d) for d in documents]))
    if reverse:
        rebuilt.reverse()
    assert verify.verdicts(rebuilt) == verify.verdicts_one_by_one(rebuilt)


@pytest.mark.parametrize("texts", [
    [None, '{"a":1}'],
    ['{"__txn_id": 5, "a": [1]}'],
    ['{"__txn_id": "q", "a": [[1]]}', '{"__txn_id": "r", "a": 1}'],  # refused by the shredder
    ['{\n "__txn_id": "q",\n "a": [1]\n}', '{"__txn_id" : "r" , "a" : 2}'],  # spaced text
    ['{"__txn_id":"q","\\u0061":[1]}', '{"__txn_id":"r","a":2}'],  # the same key, escaped
    # keys beyond ASCII, raw and escaped (the scans read UTF-8 bytes)
    ['{"__txn_id":"q","ключ":[1]}', '{"__txn_id":"r","ключ":2}', '{"ключ":{"é":[1]},"é":3}'],
    ['{"__txn_id":"q","\\u043a":[1]}', '{"__txn_id":"r","к":2}'],
    ['{"😀":[1]}', '{"\\ud83d\\ude00":"x"}', '{"\\ud800":[1]}', '{"\\ud800":2}'],
    ['{"a":"\ud800"}', '{"a":[1]}', '{"a":2}'],  # a text Arrow cannot hold: refused alone
])
def test_batch_verdicts_match_one_by_one_on_odd_texts(texts):
    assert verify.verdicts(texts) == verify.verdicts_one_by_one(texts)


def test_verdicts_on_an_arrow_column_are_those_on_its_texts(real_data_dir):
    texts = []
    for _, docs in real_documents(real_data_dir, limit=60):
        texts += rebuild_one_by_one(docs)
    expected = verify.verdicts_one_by_one(texts)
    assert {v.status for v in expected} >= {verify.CHANGED}
    assert verify.verdicts(pa.array(texts)) == expected
    assert verify.verdicts(pa.array(texts, pa.large_string())) == expected
    padded = pa.array(["{}"] + texts + [None])
    assert verify.verdicts(padded.slice(1, len(texts))) == expected  # a slice: an offset
    with_gaps = pa.array([None, *texts[:5], None])
    assert verify.verdicts(with_gaps) == verify.verdicts_one_by_one([None, *texts[:5], None])


def test_a_chain_of_documents_each_decided_by_the_one_before_runs_out_of_rounds():
    # every document wraps the array key of the one before it, so each round settles only its
    # first document, and those left after the last round run alone
    texts = [json.dumps({f"k{i - 1}": 1, f"k{i}": [1]}) for i in range(1, 4 + verify._MAX_ROUNDS)]
    judged = shredder_ext._digest_arrow(shredder_ext.create_controller("json"),
                                        pa.record_batch([pa.array(texts)], names=["doc"]))
    assert judged.column("decided_by_earlier").to_pylist() == [False] + [True] * (len(texts) - 1)
    assert verify.verdicts(texts) == verify.verdicts_one_by_one(texts)
