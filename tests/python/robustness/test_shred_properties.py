"""Properties of the pipeline over generated documents:

- any JSON document either shreds or fails with a documented ValueError, and so does
  unshredding what was shredded;
- documents of the reversible class come back exactly apart from the id members, with either
  codec (array elements may differ in their members);
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

from conftest import canonical, docs_of, strip_ids

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
ANY_VALUES = st.recursive(
    ANY_SCALARS,
    lambda children: st.one_of(st.lists(children, max_size=4),
                               st.dictionaries(ANY_KEYS, children, max_size=4)),
    max_leaves=25)
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
# The reversible class: keys without "_" and not empty, no nulls, no empty arrays, arrays of
# scalars or of objects (never of arrays), one kind per path across a batch. Members of
# objects may be left out, also in array elements.

SCALARS = {
    "bool": (st.booleans(), pa.bool_()),
    "int": (st.integers(-(2**63), 2**63 - 1), pa.int64()),
    "double": (st.floats(allow_nan=False, allow_infinity=False), pa.float64()),
    "string": (st.text(st.characters(exclude_categories=("Cs",)), max_size=8), pa.string()),
}
KEYS = st.text(st.characters(exclude_categories=("Cs",), exclude_characters="_"),
               min_size=1, max_size=5)
LEAF = st.sampled_from(sorted(SCALARS)).map(lambda kind: ("scalar", kind))
SHAPES = st.recursive(
    LEAF,
    lambda children: st.one_of(
        st.dictionaries(KEYS, children, max_size=4).map(lambda d: ("object", d)),
        LEAF.map(lambda leaf: ("array", leaf)),
        st.dictionaries(KEYS, children, max_size=4).map(lambda d: ("array", ("object", d)))),
    max_leaves=12)
ROOTS = st.dictionaries(KEYS, SHAPES, max_size=5)


def values(shape, complete: bool):
    kind, detail = shape
    if kind == "scalar":
        return SCALARS[detail][0]
    if kind == "object":
        return objects(detail, complete)
    return st.lists(values(detail, complete), min_size=1, max_size=3)


def objects(fields: dict, complete: bool):
    """Objects of the given fields: all of them (`complete`) or any of them."""
    members = {key: values(shape, complete) for key, shape in fields.items()}
    if complete:
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
def batches(draw, complete: bool = False):
    """(root fields, distinct documents of those fields)."""
    fields = draw(ROOTS)
    documents = draw(st.lists(objects(fields, complete), min_size=1, max_size=4,
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


@SETTINGS
@given(batches())
def test_reversible_documents_come_back_through_json(batch):
    _, documents = batch
    handle = shredder_ext.create_controller("json")
    atoms = shred(handle, (json.dumps(d, ensure_ascii=False) for d in documents))
    back = docs_of(shredder_ext.unshred_arrow(handle, atoms))
    assert as_set(strip_ids(d) for d in back) == as_set(documents)


@SETTINGS
@given(batches())
def test_reversible_documents_come_back_through_arrow(batch):
    fields, documents = batch
    handle = shredder_ext.create_controller("arrow")
    column = pa.array(documents, arrow_type(("object", fields)))
    atoms = shredder_ext.shred_arrow(handle, pa.RecordBatch.from_arrays([column], names=["doc"]))
    back = shredder_ext.unshred_arrow(handle, atoms).column(0).to_pylist()
    # Struct fields stand for members a document does not have; they come back as nulls.
    assert as_set(drop_nulls(strip_ids(d)) for d in back) == as_set(documents)


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
