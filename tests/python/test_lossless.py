"""No value is lost or changed silently: documents whose values would come back elsewhere or as
other numbers are refused or read exactly, through the module's own functions."""

from __future__ import annotations

import pyarrow as pa
import pytest
import shredder_ext

from conftest import docs_of, json_batch, strip_ids


def shred_message(documents) -> str:
    handle = shredder_ext.create_controller("json")
    with pytest.raises(ValueError) as info:
        shredder_ext.shred_arrow(handle, json_batch(documents))
    return str(info.value)


def round_trip(documents, codec="json"):
    handle = shredder_ext.create_controller("json")
    atoms = shredder_ext.shred_arrow(handle, json_batch(documents))
    back = shredder_ext.unshred_arrow(shredder_ext.create_controller(codec), atoms)
    return atoms, back


# Each document used to shred without a word and come back without some of its values.
@pytest.mark.parametrize(
    "document, reason",
    [
        ({"labels_url": "A", "labels": [{"url": "B1"}, {"url": "B2"}]},
         "members /labels/url and /labels_url both map to column root_labels_url"),
        ({"tags": ["a", "b"], "tags__idx": 7},
         "member /tags__idx maps to column root_tags__idx, which is read back as an array index"),
        ({"n": 1, "n__idx": "z"},
         "member /n__idx maps to column root_n__idx, which is read back as an array index"),
        ({"tags__idx": 5},
         "member /tags__idx maps to column root_tags__idx, which is read back as an array index"),
        ({"k": [1, 2], "k___obj_id": "q"},
         "member /k___obj_id maps to column root_k___obj_id, which is read back as an object id "
         "stamp"),
        ({"": 1},
         "member / has the empty key, so its value would be written under its parent's name root"),
        ({"a": {"": 1}},
         "member /a/ has the empty key, so its value would be written under its parent's name "
         "root_a"),
        ({"a": [{"": 1}, {"": 2}]},
         "member /a/ has the empty key, so its value would be written under its parent's name "
         "root_a"),
    ],
    ids=["labels_url", "tags__idx", "n__idx", "lone__idx", "k___obj_id", "empty-key",
         "nested-empty-key", "empty-key-in-elements"],
)
def test_a_value_that_would_be_lost_refuses_the_document(document, reason):
    assert shred_message([document]) == "shred failed: Shredder::Shred: " + reason


@pytest.mark.parametrize(
    "document, expected",
    [
        # Keys with "_" come back whole: their columns carry their key lists.
        ({"a_b": 1}, {"a_b": 1}),
        ({"idx": 1, "a_idx": 2, "b_obj_id": 3}, {"idx": 1, "a_idx": 2, "b_obj_id": 3}),
        # A name two key lists make in one batch carries none, and is read by the name rule:
        # split, as documented, when no cell is written twice.
        ({"x": [{"a_b": 1}, {"a": {"b": 2}}]}, {"x": [{"a": {"b": 1}}, {"a": {"b": 2}}]}),
    ],
)
def test_names_that_only_look_alike_still_shred(document, expected):
    _, back = round_trip([document])
    assert strip_ids(docs_of(back)) == [expected]


BIG = 12345678901234567890


@pytest.mark.parametrize(
    "text, same_as",
    [('{"big":12345678901234567890}', {"big": float(BIG)}),
     # The fast reader declines 1e-400; the library's parser reads the whole text.
     ('{"big":12345678901234567890,"t":1e-400}', {"big": float(BIG), "t": 0.0})],
    ids=["fast-reader", "library-parser"])
def test_integers_above_int64_become_doubles_in_atoms_digests_and_round_trips(text, same_as):
    atoms, back = round_trip([text])
    assert atoms.schema.field("root_big").type == pa.float64()
    assert atoms.column("root_big").to_pylist() == [float(BIG)]
    reference, _ = round_trip([same_as])
    assert atoms.column("root___txn_id") == reference.column("root___txn_id")
    assert strip_ids(docs_of(back)) == [same_as]


def test_int64_max_stays_an_integer():
    atoms, back = round_trip(['{"big":9223372036854775807}'])
    assert atoms.schema.field("root_big").type == pa.int64()
    assert docs_of(back)[0]["big"] == 2**63 - 1


@pytest.mark.parametrize("value, atom_type, atom", [
    (BIG, pa.float64(), float(BIG)),
    (2**63, pa.float64(), float(2**63)),
    (2**63 - 1, pa.int64(), 2**63 - 1),
    (7, pa.int64(), 7),
])
def test_arrow_uint64_cells_above_int64_become_doubles(value, atom_type, atom):
    column = pa.array([{"big": value}], pa.struct([("big", pa.uint64())]))
    handle = shredder_ext.create_controller("arrow")
    atoms = shredder_ext.shred_arrow(handle, pa.RecordBatch.from_arrays([column], names=["doc"]))
    assert atoms.schema.field("root_big").type == atom_type
    assert atoms.column("root_big").to_pylist() == [atom]
    back = shredder_ext.unshred_arrow(handle, atoms)
    assert back.column(0).to_pylist()[0]["big"] == atom
