"""Exact atoms give every document back as it went in: the real files and generated documents
(nulls, empties, "_" keys, names two key lists make, nested and mixed arrays, shape changes,
repeats, big integers, 1.0 beside 1), in order, compared with integers and doubles told apart;
and where plain atoms hold a batch whole, exact atoms hold the same columns."""

from __future__ import annotations

import io
import json
from unittest import mock

import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import shredder
import shredder.cli
import shredder_ext
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from shredder.dataset.unified import dataset_parts, shared_names

from any_json import json_values
from test_real_data import documents_of, real_files


def same(a, b) -> bool:
    """JSON values equal, with an integer never equal to a double."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def round_trip(texts: list[str], batch_size: int, codec: str = "json"):
    batch = pa.record_batch([pa.array(texts, pa.string())], names=["doc"])
    atoms = list(shredder.shred(batch, codec=codec, batch_size=batch_size))
    back = shredder.unshred([a for a in atoms if a.num_columns], stamps=False, verify=True)
    documents = [json.loads(t) for b in back for t in b.column(0).to_pylist()]
    return atoms, documents, back.report


@pytest.mark.parametrize("path", [p for p in real_files() if next(documents_of(p), None)],
                         ids=lambda p: p.name)
def test_every_real_document_comes_back_exactly(path):
    texts = [text for _, text in documents_of(path)]
    _, documents, report = round_trip(texts, batch_size=64)
    originals = [json.loads(t) for t in texts]
    assert len(documents) == len(originals)
    assert [i for i, (a, b) in enumerate(zip(documents, originals)) if not same(a, b)] == []
    assert (report.exact, report.changed_ids, report.refused_ids) == (len(texts), [], [])


KEYS = st.sampled_from(["a", "b", "a_b", "b_c", "_", "_a", "a__", "", "__idx", "x__idx",
                        "__rest", "__txn_id", "__obj_id", "A", "c"])
SCALARS = st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**63 - 1),
                    st.integers(-(10**40), 10**40),
                    st.sampled_from([1.0, -0.0, 2.5, 1e300]), st.text(max_size=3))
VALUES = json_values(KEYS, SCALARS, max_leaves=12)
DOCUMENTS = st.lists(st.dictionaries(KEYS, VALUES, max_size=4), min_size=1, max_size=8)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(DOCUMENTS, st.lists(st.integers(0, 7), max_size=4), st.integers(1, 5))
def test_generated_documents_come_back_in_order_repeats_included(documents, repeats,
                                                                 batch_size):
    documents = documents + [documents[i % len(documents)] for i in repeats]
    texts = [json.dumps(d) for d in documents]
    atoms, back, report = round_trip(texts, batch_size)
    assert len(back) == len(documents)
    for got, want in zip(back, documents):
        assert same(got, json.loads(json.dumps(want)))
    assert report.exact == len(documents)
    # The documents are numbered by their place in the source.
    numbers = sorted({n for a in atoms if "__doc" in a.schema.names
                      for n in a.column("__doc").to_pylist()})
    assert numbers == list(range(len(documents)))


def without(atoms: pa.RecordBatch, exact: bool) -> dict:
    """The columns of a batch by name, less what exact mode adds (rescue and document
    columns) and, where ids may differ, the stamps."""
    kept = {}
    for field, column in zip(atoms.schema, atoms.columns):
        role = (field.metadata or {}).get(b"shredder.role")
        if role in (b"rest", b"document") or (not exact and field.name.endswith("_id")):
            continue
        kept[field.name] = (field.type, column.to_pylist(), field.metadata)
    return kept


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(DOCUMENTS)
def test_exact_atoms_hold_the_plain_columns_of_what_plain_mode_accepts(documents):
    if "__rest" in json.dumps(documents):
        return  # such keys would read back as rescue columns: exact mode rescues them
    batch = pa.record_batch([pa.array([json.dumps(d) for d in documents])], names=["doc"])
    try:
        plain = shredder_ext.shred_arrow(shredder_ext.create_controller("json"), batch)
    except ValueError:
        return  # refused: exact mode keeps it, as the round trip above shows
    if any(f.metadata is None for f in plain.schema):
        return  # a name two key lists make: the owner keeps it, the other is rescued
    exact = shredder_ext.shred_arrow(shredder_ext.create_controller("json", exact=True), batch)
    rescued = any(f.metadata.get(b"shredder.role") == b"rest" and c.null_count < len(c)
                  for f, c in zip(exact.schema, exact.columns))
    # Without a rescue nothing was wrapped, so the ids (digests of the input) agree too.
    assert without(exact, not rescued) == without(plain, not rescued)


def test_command_gives_every_line_back_and_verifies_it(tmp_path, real_data_dir):
    source = real_data_dir / "gharchive_2021-07-21-few-hours.ndjson"
    assert shredder.cli.main(["shred", str(source), "-o", str(tmp_path / "atoms"), "-q",
                              "--jobs", "1", "--batch-size", "100"]) == 0
    output = tmp_path / "back.jsonl"
    assert shredder.cli.main(["unshred", str(tmp_path / "atoms"), "-o", str(output), "-q",
                              "--no-stamps", "--verify", "--jobs", "1"]) == 0
    originals = [json.loads(line) for line in source.read_text().splitlines() if line.strip()]
    back = [json.loads(line) for line in output.read_text().splitlines()]
    assert len(back) == len(originals)
    assert all(same(a, b) for a, b in zip(back, originals))


def test_struct_rows_come_back_equal_as_values_null_fields_kept_as_nulls():
    rows = [{"a": 1, "b": None, "c": [1, 2], "s": {"x": None, "y": "q"}, "u": [56, 2**63 - 1]},
            {"a": None, "b": "t", "c": [], "s": None, "u": None},
            {"a": 3, "b": None, "c": None, "s": {"x": 2.5, "y": None}, "u": [1]}]
    column = pa.array(rows)
    atoms = list(shredder.shred(pa.record_batch([column], names=["doc"]), codec="arrow"))
    # A null field is how a struct row says a member is absent: nothing rescued for it.
    rests = [json.loads(t) for t in atoms[0].column("root___rest").to_pylist() if t]
    assert rests == [{"c": []}]
    [back] = list(shredder.unshred(atoms, codec="arrow", stamps=False))
    assert back.column(0).to_pylist() == rows


@pytest.mark.parametrize("rows, type_", [
    ([{"u": 2**64 - 1}, {"u": 5}], pa.uint64()),
    ([{"u": [56, 2**64 - 1]}, {"u": None}, {"u": [2**63]}], pa.list_(pa.uint64())),
], ids=["uint64", "list-of-uint64"])
def test_uint64_cells_above_int64_come_back_as_their_integers(rows, type_):
    column = pa.array(rows, pa.struct([("u", type_)]))
    atoms = list(shredder.shred(pa.record_batch([column], names=["doc"]), codec="arrow"))
    [back] = list(shredder.unshred(atoms, codec="arrow", stamps=False))
    assert back.column(0).to_pylist() == rows


def shred_lines(tmp_path, lines: list[str], *flags: str):
    """Shreds one partition a line (a part each) to a fresh dataset folder; its parts."""
    source = tmp_path / "in.jsonl"
    source.write_text("".join(line + "\n" for line in lines))
    atoms = tmp_path / f"atoms{len(list(tmp_path.iterdir()))}"
    assert shredder.cli.main(["shred", str(source), "-o", str(atoms), "-q",
                              "--partition-size", "1", *flags]) == 0
    return atoms, dataset_parts(atoms)


@settings(max_examples=15, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(DOCUMENTS)
def test_no_column_of_a_dataset_holds_two_members_and_documents_come_back(tmp_path, documents):
    lines = [json.dumps(d) for d in documents]
    atoms, parts = shred_lines(tmp_path, lines, "--jobs", "1")
    assert shared_names(parts) == []
    back = atoms.with_suffix(".jsonl")
    assert shredder.cli.main(["unshred", str(atoms), "-o", str(back), "-q", "--no-stamps",
                              "--verify"]) == 0
    texts = back.read_text().split("\n")[:-1]  # not splitlines: a text may hold U+0085
    assert all(same(json.loads(a), json.loads(b)) for a, b in zip(texts, lines, strict=True))


def test_a_name_two_parts_give_to_different_members_keeps_one_in_any_jobs(tmp_path, capsys):
    # Each partition sees only one of the two members; the name reads back as a → b, so that
    # member keeps it in every part, and a_b goes to its object's rescue column.
    lines = [json.dumps({"a_b": 1}), json.dumps({"a": {"b": 2}}), json.dumps({"a_b": 3})]
    written = []
    for jobs in ("1", "2"):
        atoms, parts = shred_lines(tmp_path, lines, "--jobs", jobs)
        tables = [pq.read_table(f.path) for f in parts.files]
        assert [t.column("root_a_b").to_pylist() if "root_a_b" in t.schema.names else None
                for t in tables] == [None, [2], None]
        assert [t.column("root___rest").to_pylist() for t in tables if
                "root___rest" in t.schema.names] == [['{"a_b":1}'], ['{"a_b":3}']]
        written.append([t.to_pylist() for t in tables])
    # Standard input is cut as the file is; its partitions are shredded again from their atoms.
    atoms = tmp_path / "stdin-atoms"
    source = io.BytesIO("".join(line + "\n" for line in lines).encode())
    with mock.patch("sys.stdin", mock.Mock(buffer=source)):
        assert shredder.cli.main(["shred", "-", "-o", str(atoms), "-q", "--jobs", "1",
                                  "--partition-size", "1"]) == 0
    written.append([pq.read_table(f.path).to_pylist() for f in dataset_parts(atoms).files])
    assert written[0] == written[1] == written[2]
    capsys.readouterr()
    assert shredder.cli.main(["inspect", str(atoms)]) == 0
    assert "holds different members" not in capsys.readouterr().out
    # Plain atoms have no rescue: inspect and sql say which parts hold which member.
    atoms, _ = shred_lines(tmp_path, lines[:2], "--jobs", "1", "--no-exact")
    assert shredder.cli.main(["inspect", str(atoms)]) == 0
    assert ('warning: column root_a_b holds different members across parts: ["a_b"] in '
            'part-00000-00000.parquet; ["a","b"] in part-00001-00000.parquet') in \
        capsys.readouterr().out
    assert shredder.cli.main(["sql", str(atoms), "SELECT count(*) FROM atoms"]) == 0
    assert "shredder: warning: column root_a_b holds different members" in \
        capsys.readouterr().err


def test_owners_are_fields_with_key_lists_given_to_an_exact_handle():
    keyed = pa.field("root_a_b", pa.null(), metadata={b"shredder.keys": b'["a","b"]'})
    for owners, exact, message in [
            (pa.schema([pa.field("x", pa.int64())]), True, "owners: column x carries no key list"),
            (pa.schema([keyed, keyed]), True, "owners: column root_a_b is given twice"),
            (pa.schema([keyed]), False, "owners need exact=True"),
            ("root_a_b", True, "owners must be a pyarrow.Schema")]:
        with pytest.raises(ValueError, match=message):
            shredder_ext.create_controller("json", exact=exact, owners=owners)
    handle = shredder_ext.create_controller("json", exact=True, owners=pa.schema([keyed]))
    atoms = shredder_ext.shred_arrow(handle, pa.record_batch([pa.array(['{"a_b": 1}'])], ["d"]))
    assert atoms.column("root___rest").to_pylist() == ['{"a_b":1}']
