"""Checks of the corpus generators and of the cutting of real files."""

import json

import pytest

import corpora


def _paths(value, path="", out=None):
    """Maps every path of a document to the set of JSON types met there ("object", "array",
    "int", "float", "str", "bool", "null"); array elements share their array's path."""
    out = {} if out is None else out
    if isinstance(value, dict):
        out.setdefault(path, set()).add("object")
        for k, v in value.items():
            _paths(v, f"{path}/{k}", out)
    elif isinstance(value, list):
        out.setdefault(path, set()).add("array")
        for v in value:
            _paths(v, path + "[]", out)
    else:
        kind = {bool: "bool", int: "int", float: "float", str: "str", type(None): "null"}
        out.setdefault(path, set()).add(kind[type(value)])
    return out


def _docs(shape, n=60, seed=8):
    return [json.loads(x) for x in corpora.generate_lines(shape, docs=n, seed=seed)]


@pytest.mark.parametrize("shape", corpora.SHAPES)
def test_generation_is_deterministic_and_seeded(shape):
    a = list(corpora.generate_lines(shape, docs=40))
    assert a == list(corpora.generate_lines(shape, docs=40))
    assert a != list(corpora.generate_lines(shape, docs=40, seed=9))


@pytest.mark.parametrize("shape", corpora.SHAPES)
def test_documents_are_distinct_numbered_compact_lines(shape):
    lines = list(corpora.generate_lines(shape, docs=200))
    assert len(set(lines)) == 200
    assert [json.loads(x)["id"] for x in lines] == list(range(200))
    assert all("\n" not in x and ", " not in x[:20] for x in lines)


@pytest.mark.parametrize("shape", corpora.SHAPES)
def test_size_bound_stops_at_first_document_past_the_size(shape):
    size = 50_000
    sizes = [len(x.encode()) + 1 for x in corpora.generate_lines(shape, size_bytes=size)]
    assert sum(sizes) >= size
    assert sum(sizes) - sizes[-1] < size


@pytest.mark.parametrize("shape", corpora.SHAPES)
def test_every_path_keeps_one_shape_and_one_scalar_type(shape):
    # A path that is sometimes null is fine; any other second type would make the shredder
    # refuse a document or box a column, and make the peers' type inference fail.
    seen = {}
    for doc in _docs(shape, 300):
        for path, kinds in _paths(doc).items():
            seen.setdefault(path, set()).update(kinds)
    mixed = {p: k for p, k in seen.items() if len(k - {"null"}) > 1}
    assert mixed == {}


@pytest.mark.parametrize("shape", corpora.SHAPES)
def test_arrays_are_homogeneous_flat_and_at_most_one_per_record(shape):
    # Orders are the one shape whose records hold two arrays (line items and tags).
    for doc in _docs(shape, 200):
        arrays = [p for p, k in _paths(doc).items() if "array" in k]
        assert len(arrays) <= (2 if shape == "orders" else 1)
        for p in arrays:
            assert "[]" not in p                      # no array inside an array element
            value = doc[p.strip("/")]
            assert len({type(v) for v in value}) == 1


def _leaves(doc):
    return [p for p, k in _paths(doc).items() if not k & {"object", "array"}]


def _depth(value):
    if isinstance(value, dict):
        return 1 + max((_depth(v) for v in value.values()), default=0)
    if isinstance(value, list):
        return max((_depth(v) for v in value), default=0)
    return 0


@pytest.mark.parametrize("shape,leaves,depth", [
    ("flat", (20, 20), 1),
    ("nested", (18, 22), 5),
    ("wide", (200, 200), 1),
])
def test_record_shapes(shape, leaves, depth):
    for doc in _docs(shape):
        assert leaves[0] <= len(_leaves(doc)) <= leaves[1]
        assert _depth(doc) == depth


def test_array_of_scalars_shape():
    for doc in _docs("array_scalars"):
        assert 8 <= len(doc["tags"]) <= 12
        assert all(isinstance(t, str) for t in doc["tags"])


def test_array_of_objects_shape():
    for doc in _docs("array_objects"):
        assert 4 <= len(doc["items"]) <= 6
        for item in doc["items"]:
            assert sorted(item) == ["gift", "label", "price", "qty", "sku"]


def test_order_shape():
    docs = _docs("orders", 400)
    for doc in docs:
        assert sorted(doc) == ["buyer", "id", "items", "placed_epoch", "shape", "status",
                               "tags", "total"]
        assert _depth(doc["buyer"]) == 3          # buyer, address, geo
        assert sorted(doc["buyer"]["address"]["geo"]) == ["lat", "lon"]
        assert 1 <= len(doc["tags"]) <= 3
        assert all(isinstance(t, str) for t in doc["tags"])
        for item in doc["items"]:
            assert sorted(item) == ["gift", "price", "qty", "sku"]
    assert {len(d["items"]) for d in docs} == set(range(1, 7))
    mean = sum(len(corpora.dumps(d).encode()) + 1 for d in docs) / len(docs)
    assert 420 <= mean <= 500


def test_shared_keys_keep_their_type_across_shapes():
    # A key that two shapes share has one shape and one scalar type in both, so that the
    # shapes can be fed through one handle without a refusal or a boxed column.
    seen = {}
    for shape in corpora.SHAPES:
        for doc in _docs(shape, 100):
            for path, kinds in _paths(doc).items():
                seen.setdefault(path, set()).update(kinds)
    assert {p: k for p, k in seen.items() if len(k - {"null"}) > 1} == {}


def test_mixed_cycles_through_the_other_shapes():
    shapes = [d["shape"] for d in _docs("mixed", 10)]
    assert shapes == ["flat", "nested", "array_scalars", "array_objects", "wide"] * 2


def test_unknown_shape_and_missing_bound_are_refused():
    with pytest.raises(ValueError, match="unknown shape"):
        next(corpora.generate_lines("round", docs=1))
    with pytest.raises(ValueError, match="size_bytes or docs"):
        next(corpora.generate_lines("flat"))


def test_write_generated_reuses_an_existing_file(tmp_path):
    path = tmp_path / "flat.jsonl"
    corpora.write_generated(path, "flat", docs=5)
    assert path.read_text().count("\n") == 5
    path.write_text("kept\n")
    corpora.write_generated(path, "flat", docs=5)
    assert path.read_text() == "kept\n"


@pytest.mark.parametrize("name,content,how,lines,not_objects", [
    ("a.ndjson", '{"a": 1}\n\n[1,2]\n{"b":"ü"}\n', "ndjson lines", ['{"a": 1}', '{"b":"ü"}'], 1),
    ("b.json", '[{"a": 1}, 2, {"b": {"c": []}}]', "array elements",
     ['{"a":1}', '{"b":{"c":[]}}'], 1),
    ("c.json", '{\n  "a": [1, 2],\n  "b": "x"\n}', "root object", ['{"a":[1,2],"b":"x"}'], 0),
    ("d.json", '"just text"', "root object", [], 1),
])
def test_cut_real_file(tmp_path, name, content, how, lines, not_objects):
    path = tmp_path / name
    path.write_text(content, encoding="utf-8")
    cut = corpora.cut_real_file(path)
    assert (cut.how, cut.lines, cut.not_objects) == (how, lines, not_objects)
    assert cut.name == name.split(".")[0]


def test_real_files_lists_json_and_ndjson_only(tmp_path):
    for n in ("b.json", "a.ndjson", "c.txt"):
        (tmp_path / n).write_text("{}")
    (tmp_path / "sub").mkdir()
    assert [p.name for p in corpora.real_files(tmp_path)] == ["a.ndjson", "b.json"]
