"""The command-line program, run as a user would: formats, streaming, errors, verification."""

from __future__ import annotations

import gzip
import json
import subprocess
import sys
from pathlib import Path

import pyarrow as pa
import pyarrow.ipc as ipc
import pyarrow.parquet as pq
import pytest

import shredder.cli

DOCS = [
    {"id": 1, "tags": ["x", "y"], "items": [{"sku": "a", "qty": 2}, {"sku": "b", "qty": 1}]},
    {"id": 2, "tags": ["z"], "items": [{"sku": "c", "qty": 5}], "note": "hello"},
    {"id": 3, "tags": ["x"], "items": [{"sku": "a", "qty": 1}], "flag": True},
]


def run(*args: object, ok: bool = True) -> subprocess.CompletedProcess:
    result = subprocess.run([sys.executable, "-m", "shredder", *map(str, args)],
                            capture_output=True, text=True, timeout=120)
    if ok:
        assert result.returncode == 0, result.stderr
    return result


def write_jsonl(path: Path, documents: list, compress: bool = False) -> Path:
    text = "".join(json.dumps(d) + "\n" for d in documents).encode()
    path.write_bytes(gzip.compress(text) if compress else text)
    return path


def read_rebuilt(path: Path) -> list:
    if path.suffix == ".jsonl":
        rows = [json.loads(line) for line in path.read_text().splitlines()]
    else:
        table = pq.read_table(path) if path.suffix == ".parquet" else ipc.open_file(path).read_all()
        column = table.column("doc").to_pylist()
        rows = [json.loads(v) if isinstance(v, str) else v for v in column]
    return sorted((strip_ids(r) for r in rows), key=lambda d: d["id"])


def strip_ids(value):
    if isinstance(value, dict):
        return {k: strip_ids(v) for k, v in value.items()
                if k not in ("__txn_id", "__obj_id") and v is not None}
    if isinstance(value, list):
        return [strip_ids(v) for v in value]
    return value


def make_input(tmp_path: Path, kind: str) -> tuple[Path, list[str]]:
    texts = [json.dumps(d) for d in DOCS]
    if kind == "jsonl":
        return write_jsonl(tmp_path / "in.jsonl", DOCS), []
    if kind == "jsonl.gz":
        return write_jsonl(tmp_path / "in.ndjson.gz", DOCS, compress=True), []
    if kind == "json-array":
        path = tmp_path / "in.json"
        path.write_text(json.dumps(DOCS))
        return path, []
    if kind == "parquet-text":
        path = tmp_path / "in.parquet"
        pq.write_table(pa.table({"other": [1, 2, 3], "payload": texts}), path)
        return path, ["--column", "payload"]
    if kind == "arrow-struct":
        path = tmp_path / "in.arrow"
        table = pa.table({"doc": pa.array(DOCS)})
        with ipc.new_file(path, table.schema) as writer:
            writer.write_table(table)
        return path, []
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["jsonl", "jsonl.gz", "json-array", "parquet-text",
                                  "arrow-struct"])
@pytest.mark.parametrize("atoms_format, output", [("parquet", "out.jsonl"),
                                                  ("arrow", "out.parquet"),
                                                  ("parquet", "out.arrow")])
def test_round_trip_through_every_input_and_output_format(tmp_path, kind, atoms_format, output):
    source, extra = make_input(tmp_path, kind)
    atoms = tmp_path / "atoms"
    run("shred", source, "-o", atoms, "--format", atoms_format, "-q", *extra)
    parts = sorted(p.name for p in atoms.iterdir())
    assert parts == ["_shredder.json", f"part-00000-00000.{atoms_format}"]
    run("unshred", atoms, "-o", tmp_path / output, "-q")
    expected = sorted(DOCS, key=lambda d: d["id"])
    assert read_rebuilt(tmp_path / output) == expected


def test_streaming_parts_can_differ_in_columns_and_kinds(tmp_path):
    documents = [{"id": 1, "a": 1}, {"id": 2, "a": 2}, {"id": 3, "a": "x", "b": True}]
    source = write_jsonl(tmp_path / "in.jsonl", documents)
    atoms = tmp_path / "atoms"
    run("shred", source, "-o", atoms, "--batch-size", "2", "-q")
    first = pq.read_table(atoms / "part-00000-00000.parquet")
    second = pq.read_table(atoms / "part-00000-00001.parquet")
    assert first.schema.field("root_a").type == pa.int64()
    assert second.schema.field("root_a").type == pa.string()
    assert "root_b" in second.schema.names and "root_b" not in first.schema.names
    manifest = json.loads((atoms / "_shredder.json").read_text())
    assert [p["documents"] for p in manifest["parts"]] == [2, 1]
    inspect = run("inspect", atoms).stdout
    assert "total: 2 part(s), 3 rows, 3 documents" in inspect
    assert "  root_a         string  (int64 in part-00000-00000.parquet)\n" in inspect
    assert "  root_b         bool  (missing in part-00000-00000.parquet)\n" in inspect
    run("unshred", atoms, "-o", tmp_path / "out.jsonl", "-q")
    assert read_rebuilt(tmp_path / "out.jsonl") == documents


@pytest.mark.parametrize(
    "setup, args, message",
    [
        (lambda p: None, ["shred", "missing.jsonl", "-o", "atoms"], "missing.jsonl: no such file"),
        (lambda p: (p / "bad.jsonl").write_text('{"a": 1}\n\n{"a": \n'),
         ["shred", "bad.jsonl", "-o", "atoms"], "bad.jsonl:line 3: shred failed: JSON parse failure"),
        (lambda p: (p / "data.csv").write_text("a,b\n"), ["shred", "data.csv", "-o", "atoms"],
         "data.csv: unknown input format"),
        (lambda p: (p / "list.json").write_text("[1, 2]"), ["shred", "list.json", "-o", "atoms"],
         "expected one JSON object or an array of objects"),
        (lambda p: None, ["unshred", "nothing", "-o", "out.jsonl"], "nothing: no such file"),
    ],
)
def test_user_errors_give_one_line_and_exit_status_1(tmp_path, monkeypatch, setup, args, message):
    monkeypatch.chdir(tmp_path)
    setup(tmp_path)
    result = run(*args, ok=False)
    assert result.returncode == 1
    assert message in result.stderr
    assert "Traceback" not in result.stderr
    assert len(result.stderr.strip().splitlines()) == 1


def test_verify_lists_changed_documents_in_a_report_and_fails_the_check(tmp_path):
    # Plain atoms drop null members and empty arrays.
    documents = [{"id": 1, "tags": ["a"]}, {"id": 2, "gone": None}, {"id": 3, "e": []}]
    source = write_jsonl(tmp_path / "in.jsonl", documents)
    run("shred", source, "-o", tmp_path / "atoms", "-q", "--no-exact")
    atoms = pq.read_table(tmp_path / "atoms" / "part-00000-00000.parquet")
    ids = dict(zip(atoms.column("root_id").to_pylist(), atoms.column("root___txn_id").to_pylist()))
    result = run("unshred", tmp_path / "atoms", "-o", tmp_path / "out.jsonl", "--verify", ok=False)
    assert result.returncode == 2, result.stderr
    report = tmp_path / "out.jsonl.verify.txt"
    assert result.stdout == (f"verified 3 documents: 1 exact, 2 changed, 0 refused; "
                             f"ids in {report}\n")
    assert sorted(report.read_text().splitlines()) == sorted(
        [f"changed {ids[2]}", f"changed {ids[3]}"])
    # A later run in which every document comes back exactly removes the stale report.
    write_jsonl(source, [documents[0]])
    run("shred", source, "-o", tmp_path / "atoms", "-q", "--force")
    result = run("unshred", tmp_path / "atoms", "-o", tmp_path / "out.jsonl", "--verify",
                 "--force")
    assert result.stdout == "verified 1 documents: 1 exact, 0 changed, 0 refused\n"
    assert not report.exists()


@pytest.mark.parametrize("jobs", [1, 2])
def test_unshred_to_standard_output_writes_the_json_lines_of_the_file(tmp_path, jobs):
    source = write_jsonl(tmp_path / "in.jsonl", [dict(DOCS[i % 3], id=i) for i in range(120)])
    run("shred", source, "-o", tmp_path / "atoms", "--batch-size", 7, "-q")
    run("unshred", tmp_path / "atoms", "-o", tmp_path / "out.jsonl", "-q")
    result = subprocess.run([sys.executable, "-m", "shredder", "unshred", tmp_path / "atoms",
                             "-o", "-", "--jobs", str(jobs), "--verify"],
                            capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == (tmp_path / "out.jsonl").read_bytes()
    assert result.stderr.decode().endswith(
        "verified 120 documents: 120 exact, 0 changed, 0 refused\n")
    assert not list(tmp_path.glob("-*"))


@pytest.mark.parametrize("option", ["--batch-size", "--max-rejects", "--jobs"])
def test_counts_past_what_the_engine_holds_are_refused_with_the_arguments(option, capsys):
    # --batch-size 2**64 used to reach the engine and end in a traceback
    with pytest.raises(SystemExit) as exited:
        shredder.cli.main(["shred", "in.jsonl", "-o", "out", option, str(2**64)])
    assert exited.value.code == 2
    assert f"must be at most {2**63 - 1}, got {2**64}" in capsys.readouterr().err


def test_a_column_of_json_input_is_refused(tmp_path):
    # it used to be ignored
    result = run("shred", write_jsonl(tmp_path / "in.jsonl", DOCS), "-o", tmp_path / "atoms",
                 "--column", "payload", ok=False)
    assert result.stderr == ("shredder: error: --column payload: the inputs are JSON, which has "
                             "no columns\n") and not (tmp_path / "atoms").exists()


def test_unshred_never_writes_into_the_dataset_it_reads(tmp_path):
    # --force used to replace a part with the rebuilt documents, leaving a manifest that
    # listed documents the dataset no longer held
    atoms = tmp_path / "atoms"
    run("shred", write_jsonl(tmp_path / "in.jsonl", DOCS), "-o", atoms, "-q")
    [part] = sorted(atoms.glob("part-*"))
    before = part.read_bytes()
    (tmp_path / "link").symlink_to(atoms)
    for source, output, message in (
            (atoms, part, f"{part}: inside the dataset {atoms} that is being rebuilt"),
            (atoms, tmp_path / "link" / part.name, "inside the dataset"),
            (atoms, atoms / "out" / "x.jsonl", "inside the dataset"),
            (part, part, f"{part}: the part being rebuilt; choose another output")):
        result = run("unshred", source, "-o", output, "--force", ok=False)
        assert result.returncode == 1 and message in result.stderr, result.stderr
    assert part.read_bytes() == before and not (atoms / "out").exists()
