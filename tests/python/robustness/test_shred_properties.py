"""Properties of the pipeline over generated documents:

- any JSON document either shreds or fails with a documented ValueError, and so does
  unshredding what was shredded;
- the digests of a document depend neither on the order of keys or the spelling of its text
  nor on the batch it is shredded in;
- the JSON and the Arrow codec give the same atoms for the same documents."""

from __future__ import annotations

import json
import random

import pyarrow as pa
import shredder_ext
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from any_json import json_values
from reversible import arrow_type, batches

# The components whose texts a ValueError of the pipeline may carry after its prefix.
DOCUMENTED = (
    "Shredder::Shred: ", "Shredder::Unshred: ", "Controller: ", "JsonTextCodec: ",
    "ArrowDomCodec: ", "Tagger: ", "Normalizer shape mismatch at ", "JSON parse failure: ",
    "JSON emit failure: ", "StringColumn::push: ",
)

SETTINGS = settings(max_examples=250, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def assert_documented(error: ValueError, prefix: str) -> None:
    text = str(error)
    assert text.startswith(prefix), text
    assert text[len(prefix):].startswith(DOCUMENTED), text


def shred(handle, texts) -> pa.RecordBatch:
    column = pa.array(list(texts), pa.string())
    return shredder_ext.shred_arrow(handle, pa.RecordBatch.from_arrays([column], names=["doc"]))


# ----------------------------------------------------------------------------------------
# Any JSON

ANY_KEYS = st.one_of(st.sampled_from(["", "_", "a", "a_b", "_a", "a__", "__idx", "__txn_id",
                                      "__obj_id", "root", "b"]),
                     st.text(max_size=4))
ANY_SCALARS = st.one_of(st.none(), st.booleans(), st.integers(-(2**70), 2**70),
                        st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=6))
ANY_VALUES = json_values(ANY_KEYS, ANY_SCALARS, max_leaves=25, max_size=4)
ANY_DOCUMENTS = st.dictionaries(ANY_KEYS, ANY_VALUES, max_size=6)


@SETTINGS
@given(st.lists(ANY_DOCUMENTS, min_size=1, max_size=4), st.sampled_from(["json", "arrow"]))
def test_any_json_shreds_or_fails_with_a_documented_value_error(documents, unshred_codec):
    handle = shredder_ext.create_controller("json")
    try:
        atoms = shred(handle, (json.dumps(d) for d in documents))
    except ValueError as e:
        assert_documented(e, "shred failed: ")
        return
    try:
        shredder_ext.unshred_arrow(shredder_ext.create_controller(unshred_codec), atoms)
    except ValueError as e:
        assert_documented(e, "unshred failed: ")


@SETTINGS
@given(st.binary(max_size=64))
def test_any_bytes_shred_or_fail_with_a_documented_value_error(data):
    handle = shredder_ext.create_controller("json")
    rb = pa.RecordBatch.from_arrays([pa.array([data], pa.binary())], names=["doc"])
    try:
        shredder_ext.shred_arrow(handle, rb)
    except ValueError as e:
        assert_documented(e, "shred failed: ")


# ----------------------------------------------------------------------------------------
# Digests

def respelled(value, rng: random.Random) -> str:
    """The JSON text of `value` with the keys of every object in a random order, random
    whitespace, and non-ASCII characters escaped or not."""
    def walk(v):
        if isinstance(v, dict):
            items = list(v.items())
            rng.shuffle(items)
            return "{" + ",".join(json.dumps(k, ensure_ascii=rng.random() < 0.5)
                                  + " " * rng.randint(0, 2) + ":" + walk(x)
                                  for k, x in items) + "}"
        if isinstance(v, list):
            return "[ " + " , ".join(walk(x) for x in v) + "]"
        return json.dumps(v, ensure_ascii=rng.random() < 0.5)
    return walk(value)


def txn_ids(atoms: pa.RecordBatch) -> set:
    return set(atoms.column("root___txn_id").to_pylist()) if atoms.num_rows else set()


@SETTINGS
@given(batches(), st.randoms(use_true_random=False))
def test_digests_do_not_depend_on_key_order_or_spelling(batch, rng):
    _, documents = batch
    for document in documents:
        plain = txn_ids(shred(shredder_ext.create_controller("json"), [json.dumps(document)]))
        other = txn_ids(shred(shredder_ext.create_controller("json"), [respelled(document, rng)]))
        assert plain == other and len(plain) == 1


@SETTINGS
@given(batches(), st.randoms(use_true_random=False))
def test_digests_do_not_depend_on_the_batch(batch, rng):
    _, documents = batch
    texts = [json.dumps(d) for d in documents]
    alone = set()
    for text in texts:
        alone |= txn_ids(shred(shredder_ext.create_controller("json"), [text]))
    assert len(alone) == len(texts)
    together = txn_ids(shred(shredder_ext.create_controller("json"), texts))
    shuffled = texts[:]
    rng.shuffle(shuffled)
    reordered = txn_ids(shred(shredder_ext.create_controller("json"), shuffled))
    assert together == alone and reordered == alone
    if len(shuffled) > 1:
        # The same documents over two calls of one handle.
        handle = shredder_ext.create_controller("json")
        assert txn_ids(shred(handle, shuffled[:1])) | txn_ids(shred(handle, shuffled[1:])) == alone


# ----------------------------------------------------------------------------------------
# The two codecs

@SETTINGS
@given(batches(complete=True))
def test_json_and_arrow_codecs_give_the_same_atoms(batch):
    fields, documents = batch
    from_json = shred(shredder_ext.create_controller("json"), (json.dumps(d) for d in documents))
    column = pa.array(documents, arrow_type(("object", fields)))
    from_arrow = shredder_ext.shred_arrow(shredder_ext.create_controller("arrow"),
                                          pa.RecordBatch.from_arrays([column], names=["doc"]))
    assert from_json.schema == from_arrow.schema
    assert from_json.equals(from_arrow)
