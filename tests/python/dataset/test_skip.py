"""Refused documents: fail mode names their line or row; skip mode sets them aside exactly."""

from __future__ import annotations

import json
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import shredder
import shredder_ext
from shredder.cli import main


GOOD = [
    {"id": 1, "tags": ["x", "y"], "z": 5},
    {"id": 2, "items": [{"sku": "a"}, {"sku": "b"}]},
    {"id": 3, "a": 1},
    {"id": 4, "a": 2, "tags": ["q"]},
    {"id": 5, "items": [{"sku": "c"}], "note": "hello"},
    {"id": 6, "a": 3},
    {"id": 7, "z": 6},
]
# Refused on its own, whatever came before: the parser's errors.
NOT_JSON = ['{"id": 100, "a":', "not json at all", '["an array", "not an object"]',
            b'{"id": 101, "s": "\xff"}']
# Refused because of what an earlier document showed: "z" was a number in GOOD[0]. The
# shape of "a" as an array is learned before the refusal; a later {"a": 2} must not see it.
AFTER_Z = '{"id": 102, "a": [9], "z": {"y": 1}}'


def write_lines(path: Path, lines: list) -> Path:
    with open(path, "wb") as stream:
        for line in lines:
            if isinstance(line, dict):
                line = json.dumps(line)
            stream.write((line if isinstance(line, bytes) else line.encode()) + b"\n")
    return path


def cli(*args: object) -> int:
    return main([str(a) for a in args])


def rebuilt_lines(tmp_path: Path, atoms: Path, name: str) -> list[str]:
    out = tmp_path / name
    assert cli("unshred", atoms, "-o", out, "-q") == 0
    return sorted(out.read_text().splitlines())


def rejects_of(atoms: Path) -> list[dict]:
    manifest = json.loads((atoms / "_shredder.json").read_text())
    records = []
    for name in manifest["rejects"]:
        records += [json.loads(line) for line in (atoms / name).read_text().splitlines()]
    return records


def check_skip_run(tmp_path: Path, bad: dict[int, object], batch_size: int) -> None:
    """Shreds GOOD with ``bad`` lines inserted before the given indexes (len(GOOD) = at the
    end) in skip mode: the documents that come back are those of GOOD alone, and the rejects
    hold every bad line with its number and the engine's reason."""
    lines: list = []
    expected_rejects = []
    for index in range(len(GOOD) + 1):
        for text in ([bad[index]] if index in bad else []):
            lines.append(text)
            expected_rejects.append(len(lines))
        if index < len(GOOD):
            lines.append(GOOD[index])
    dirty = write_lines(tmp_path / "dirty.jsonl", lines)
    clean = write_lines(tmp_path / "clean.jsonl", GOOD)
    assert cli("shred", "--no-exact", dirty, "-o", tmp_path / "dirty", "--on-error", "skip",
               "--batch-size", batch_size, "-q") == 0
    assert cli("shred", "--no-exact", clean, "-o", tmp_path / "clean", "--batch-size", batch_size, "-q") == 0
    assert rebuilt_lines(tmp_path, tmp_path / "dirty", "d.jsonl") == \
        rebuilt_lines(tmp_path, tmp_path / "clean", "c.jsonl")

    records = rejects_of(tmp_path / "dirty")
    assert [r["line"] for r in records] == expected_rejects
    raw = dirty.read_bytes().split(b"\n")
    for record in records:
        assert record["input"] == str(dirty)
        assert record["error"].startswith("shred failed: ")
        original = raw[record["line"] - 1]
        if "document" in record:
            assert record["document"].encode() == original
        else:  # not UTF-8: kept as base64
            import base64
            assert base64.b64decode(record["document_base64"]) == original
    manifest = json.loads((tmp_path / "dirty" / "_shredder.json").read_text())
    assert (manifest["documents"], manifest["rejected"]) == (len(GOOD), len(bad))


@pytest.mark.parametrize(
    "bad, batch_size",
    [
        pytest.param({0: NOT_JSON[0]}, 3, id="start"),
        pytest.param({3: NOT_JSON[1]}, 3, id="middle"),
        pytest.param({len(GOOD): NOT_JSON[2]}, 3, id="end"),
        pytest.param({0: NOT_JSON[0], 4: NOT_JSON[3], 5: NOT_JSON[1], len(GOOD): NOT_JSON[2]},
                     2, id="start-middle-end-and-two-in-one-batch"),
    ],
)
def test_skip_mode_sets_bad_lines_aside_and_keeps_everything_else(tmp_path, bad, batch_size):
    check_skip_run(tmp_path, bad, batch_size)


def test_a_batch_full_of_bad_lines_gives_the_atoms_of_its_good_lines_alone(tmp_path):
    # Runs of good lines between the bad ones are shredded separately and joined: columns that
    # only later runs have ("note"), or that hold only nulls so far, must line up as in one
    # shred of the good lines.
    good = [{"id": n, "tags": ["t"] * (n % 3), **({"note": "late"} if n > 40 else {})}
            for n in range(60)]
    lines = [x for n, doc in enumerate(good) for x in (doc, f'{{"bad": {n}')]
    dirty = write_lines(tmp_path / "dirty.jsonl", lines)
    clean = write_lines(tmp_path / "clean.jsonl", good)
    assert cli("shred", dirty, "-o", tmp_path / "dirty", "--on-error", "skip",
               "--batch-size", 120, "-q") == 0
    assert cli("shred", clean, "-o", tmp_path / "clean", "--batch-size", 60, "-q") == 0
    # Exact atoms number documents by their row in the batch read, refused rows included.
    dirty_part = pq.read_table(tmp_path / "dirty" / "part-00000-00000.parquet")
    clean_part = pq.read_table(tmp_path / "clean" / "part-00000-00000.parquet")
    assert dirty_part.drop(["__doc"]).equals(clean_part.drop(["__doc"]))
    assert pa.compute.unique(dirty_part.column("__doc")).to_pylist() == list(range(0, 120, 2))
    manifest = json.loads((tmp_path / "dirty" / "_shredder.json").read_text())
    assert (len(manifest["parts"]), manifest["documents"], manifest["rejected"]) == (1, 60, 60)
    assert [r["line"] for r in rejects_of(tmp_path / "dirty")] == list(range(2, 121, 2))


def test_a_batch_with_refusals_gives_the_part_of_the_batch_without_them(tmp_path):
    good = [{"id": 1, "v": 1}, {"id": 2, "v": "x"}, {"id": 3, "v": "y"}]
    parts = {}
    for name, lines in (("dirty", good[:1] + [NOT_JSON[1]] + good[1:]), ("clean", good)):
        source = write_lines(tmp_path / f"{name}.jsonl", lines)
        atoms = tmp_path / name
        assert cli("shred", "--no-exact", source, "-o", atoms, "--on-error", "skip", "-q") == 0
        manifest = json.loads((atoms / "_shredder.json").read_text())
        assert [(p["documents"], p["rows"]) for p in manifest["parts"]] == [(3, 3)]
        parts[name] = pq.read_table(atoms / "part-00000-00000.parquet")
        parts[name + " rebuilt"] = rebuilt_lines(tmp_path, atoms, f"{name}.out.jsonl")
    assert parts["dirty"].equals(parts["clean"])
    assert parts["dirty rebuilt"] == parts["clean rebuilt"]


@pytest.mark.parametrize("batch_size", [1, 3, 100])
def test_skip_mode_forgets_what_a_refused_document_taught(tmp_path, batch_size):
    check_skip_run(tmp_path, {2: AFTER_Z, 3: NOT_JSON[1], 5: AFTER_Z}, batch_size)


def test_fail_mode_names_the_line_and_suggests_skip_mode(tmp_path, capsys):
    lines = [GOOD[0], GOOD[1], GOOD[2], NOT_JSON[1], GOOD[3]]
    source = write_lines(tmp_path / "in.jsonl", lines)
    assert cli("shred", "--no-exact", source, "-o", tmp_path / "atoms", "--batch-size", 10) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"shredder: error: {source}:line 4: shred failed: JSON parse failure")
    assert err.endswith(" (use --on-error skip to set refused documents aside and go on)\n")
    assert not (tmp_path / "atoms").exists()


def test_fail_mode_names_the_exact_line_of_a_refusal_that_depends_on_earlier_lines(
        tmp_path, capsys):
    lines = [GOOD[0]] + [{"id": n} for n in range(10, 140)] + [AFTER_Z]
    source = write_lines(tmp_path / "in.jsonl", lines)
    assert cli("shred", "--no-exact", source, "-o", tmp_path / "atoms", "--batch-size", 50) == 1
    assert capsys.readouterr().err.startswith(
        f"shredder: error: {source}:line 132: shred failed: Normalizer shape mismatch at /z ")


def test_max_rejects_fails_the_run_beyond_the_limit(tmp_path, capsys):
    lines = [GOOD[0], NOT_JSON[0], GOOD[1], NOT_JSON[1], GOOD[2], NOT_JSON[2]]
    source = write_lines(tmp_path / "in.jsonl", lines)
    atoms = tmp_path / "atoms"
    assert cli("shred", "--no-exact", source, "-o", atoms, "--on-error", "skip", "--max-rejects", 3, "-q") == 0
    assert json.loads((atoms / "_shredder.json").read_text())["rejected"] == 3
    capsys.readouterr()
    assert cli("shred", "--no-exact", source, "-o", atoms, "--on-error", "skip", "--max-rejects", 2,
               "--force") == 1
    err = capsys.readouterr().err
    assert err.startswith("shredder: error: more than 2 documents refused (--max-rejects); "
                          f"the last: {source}:line 6: shred failed: JSON parse failure")
    assert len(err.splitlines()) == 1
    # The failed run left the earlier dataset as it was.
    assert json.loads((atoms / "_shredder.json").read_text())["rejected"] == 3
    assert cli("shred", "--no-exact", source, "-o", tmp_path / "other", "--max-rejects", 2) == 1
    assert capsys.readouterr().err == \
        "shredder: error: --max-rejects needs --on-error skip\n"


@pytest.mark.parametrize("quiet", [["-q"], []])
def test_a_run_whose_every_document_is_refused_fails_naming_the_first_reason(tmp_path, capsys,
                                                                            quiet):
    """Array-rooted JSON Lines used to end "shredded 0 documents" with exit status 0."""
    source = write_lines(tmp_path / "in.jsonl", [NOT_JSON[2]] * 30)
    atoms = tmp_path / "atoms"
    assert cli("shred", source, "-o", atoms, "--on-error", "skip", "--batch-size", 7,
               *quiet) == 1
    assert capsys.readouterr().err.splitlines()[-1] == (
        f"shredder: error: all 30 documents refused, set aside in {atoms / '_rejects'}; the "
        f"first: {source}:line 1: shred failed: JSON parse failure: JSON root is not an object")


def test_skip_mode_on_parquet_names_rows_from_zero_and_keeps_structs_as_json(tmp_path):
    rows = [{"id": 0, "v": 1}, {"id": 1, "v": 2}, None, {"id": 3, "v": 3}]
    source = tmp_path / "in.parquet"
    pq.write_table(pa.table({"doc": pa.array(rows)}), source, row_group_size=2)
    atoms = tmp_path / "atoms"
    assert cli("shred", "--no-exact", source, "-o", atoms, "--on-error", "skip", "--batch-size", 2, "-q") == 0
    assert rejects_of(atoms) == [{
        "input": str(source), "row": 2, "document": None,
        "error": "shred failed: ArrowDomCodec: root value must be an Object (Struct in Arrow)"}]


def test_bluesky_sample_in_skip_mode_sets_aside_the_events_whose_subject_changed_kind(
        tmp_path, real_data_dir):
    source = real_data_dir / "bluesky_jetstream_sample.ndjson"
    lines = source.read_text().splitlines()
    atoms = tmp_path / "atoms"
    assert cli("shred", "--no-exact", source, "-o", atoms, "-q") == 1
    assert cli("shred", "--no-exact", source, "-o", atoms, "--on-error", "skip", "-q") == 0
    records = rejects_of(atoms)
    assert records, "the sample has events whose subject is a string after one with an object"
    for record in records:
        assert "/commit/record/subject" in record["error"]
        assert record["document"] == lines[record["line"] - 1]
        assert isinstance(json.loads(record["document"])["commit"]["record"]["subject"], str)
    manifest = json.loads((atoms / "_shredder.json").read_text())
    assert manifest["documents"] + manifest["rejected"] == len(lines)
    rebuilt = rebuilt_lines(tmp_path, atoms, "out.jsonl")
    assert len(rebuilt) == manifest["documents"]


def test_api_skip_mode_lists_rejects_with_their_rows_in_the_whole_source():
    texts = [json.dumps(GOOD[0]), "{", json.dumps(GOOD[1]), json.dumps(GOOD[2]), "[1]"]
    table = pa.table({"doc": texts})
    result = shredder.shred(table, batch_size=2, errors="skip")
    atoms = list(result)
    assert [(r.row, r.document) for r in result.rejects] == [(1, "{"), (4, "[1]")]
    assert all(r.error.startswith("shred failed: ") for r in result.rejects)
    ids = {t for a in atoms if a.num_columns for t in a.column("root_id").to_pylist()}
    assert ids == {1, 2, 3}
    with pytest.raises(ValueError, match="unknown errors mode 'ignore'"):
        shredder.shred(table, errors="ignore")


def test_a_failure_of_the_whole_batch_is_raised_in_skip_mode_too():
    table = pa.table({"doc": [{"a": 1}, {"a": 2}]})  # structs, given to the JSON codec
    with pytest.raises(ValueError, match="JsonTextCodec: ") as caught:
        list(shredder.shred(table, codec="json", errors="skip"))
    assert caught.value.row is None


def test_api_raise_mode_error_carries_the_row_in_the_whole_source():
    table = pa.table({"doc": [json.dumps(GOOD[0]), json.dumps(GOOD[1]), "{"]})
    with pytest.raises(ValueError, match="JSON parse failure") as caught:
        list(shredder.shred(table, batch_size=2))
    assert caught.value.row == 2


UNSHRED_TEXTS = ['{"k": 1, "x": true}', '{"k": 1, "x": {"y": 1}}', '{"k": 3}']


def arrow_atoms_that_rebuild_only_apart() -> list[pa.RecordBatch]:
    """Atoms of documents whose member "x" is a bool in one and an object in the next by
    ``__txn_id`` (shredded by separate handles): the Arrow codec cannot write the object into
    the bool field it made for the first, while each document rebuilds on its own."""
    tables = []
    for text in UNSHRED_TEXTS:
        batch = pa.record_batch([pa.array([text])], names=["doc"])
        atoms = shredder_ext.shred_arrow(shredder_ext.create_controller("json"), batch)
        tables.append(pa.Table.from_batches([atoms]))
    return pa.concat_tables(tables, promote_options="default").combine_chunks().to_batches()


def test_api_unshred_skip_mode_keeps_the_documents_that_rebuild_together():
    atoms = arrow_atoms_that_rebuild_only_apart()
    with pytest.raises(ValueError):
        list(shredder.unshred(atoms, codec="arrow"))
    result = shredder.unshred(atoms, codec="arrow", errors="skip")
    documents = [d for batch in result for d in batch.column(0).to_pylist()]
    txn = atoms[0].column("root___txn_id").to_pylist()
    assert [r.txn_id for r in result.rejects] == [txn[1]]
    assert "unshred failed: " in result.rejects[0].error
    assert sorted((d["k"], d["x"]) for d in documents) == [(1, True), (3, None)]


def test_cli_unshred_skip_mode_lists_refused_documents_beside_the_output(tmp_path, capsys):
    part = tmp_path / "part-00000.parquet"
    pq.write_table(pa.Table.from_batches(arrow_atoms_that_rebuild_only_apart()), part)
    out = tmp_path / "out.parquet"
    assert cli("unshred", part, "-o", out, "--codec", "arrow") == 1
    err = capsys.readouterr().err
    assert err.startswith(f"shredder: error: {part}: unshred failed: ")
    assert err.endswith(" (use --on-error skip to set such documents aside)\n")
    assert not out.exists() and not list(tmp_path.glob(".*"))
    assert cli("unshred", part, "-o", out, "--codec", "arrow", "--on-error", "skip") == 0
    rejects = tmp_path / "out.parquet.rejects.jsonl"
    assert f"refused 1 documents, listed in {rejects}" in capsys.readouterr().out
    [record] = [json.loads(line) for line in rejects.read_text().splitlines()]
    assert record["part"] == str(part) and record["error"].startswith("unshred failed: ")
    assert pq.read_table(out).num_rows == 2
