"""Checks of the peer runners: the flat table each one builds (rows and columns), the cap on
explode growth, and agreement between peers on the generated shapes."""

import json
import math

import pytest

import corpora
import peers

PEER_NAMES = list(peers.PEERS)

CASES = {
    # name: (documents, rows, columns)
    "flat": ([{"a": 1, "b": "x"}, {"a": 2, "b": None}], 2, 2),
    "nested objects": ([{"a": {"b": 1, "c": {"d": 2.5}}, "e": True}], 1, 3),
    "array of scalars, empty and null kept as one row":
        ([{"id": 1, "t": ["x", "y", "z"]}, {"id": 2, "t": []}, {"id": 3, "t": None}], 5, 2),
    "array of objects": ([{"id": 1, "it": [{"q": 1, "p": 2.0}, {"q": 2, "p": 3.0}]},
                          {"id": 2, "it": [{"q": 3, "p": 4.0}]}], 3, 3),
    "array inside an array element": ([{"o": [{"v": [1, 2]}, {"v": [3]}]}], 3, 1),
}


def _write(tmp_path, docs):
    path = tmp_path / "in.jsonl"
    text = "".join(json.dumps(d) + "\n" for d in docs)
    path.write_text(text)
    return text.encode(), str(path), max(len(x) for x in text.splitlines())


@pytest.mark.parametrize("peer", PEER_NAMES)
@pytest.mark.parametrize("case", list(CASES))
def test_flat_table_of_each_peer(tmp_path, peer, case):
    docs, rows, cols = CASES[case]
    text, path, max_line = _write(tmp_path, docs)
    assert peers.PEERS[peer](text, path, max_line) == (rows, cols)


@pytest.mark.parametrize("peer", PEER_NAMES)
def test_cross_product_beyond_the_cap_is_stopped(tmp_path, peer):
    # Two arrays of 10 in one record: exploding one after the other makes 100 rows.
    docs = [{"a": list(range(10)), "b": list(range(10))}]
    text, path, max_line = _write(tmp_path, docs)
    assert peers.PEERS[peer](text, path, max_line, cell_cap=1000) == (100, 2)
    with pytest.raises(peers.CellCapExceeded, match="cap 50 cells"):
        peers.PEERS[peer](text, path, max_line, cell_cap=50)


@pytest.mark.parametrize("shape", corpora.SHAPES)
def test_peers_agree_on_generated_shapes(tmp_path, shape):
    lines = list(corpora.generate_lines(shape, docs=40))
    docs = [json.loads(x) for x in lines]
    text, path, max_line = _write(tmp_path, docs)
    # One row per record, or one per element of its single array (the shredder's row count);
    # an order's two arrays explode into their cross product.
    want_rows = sum(math.prod(max(len(v), 1) for v in d.values() if isinstance(v, list))
                    for d in docs)
    got = {p: peers.PEERS[p](text, path, max_line) for p in PEER_NAMES}
    assert {r for r, _ in got.values()} == {want_rows}
    assert len({c for _, c in got.values()}) == 1


def test_every_peer_has_a_note():
    assert set(peers.NOTES) == set(peers.PEERS)
