"""Part encoding, the shred check and the manifest's schema and byte counts inside partitioned
jobs: the same for any number of jobs, kept by a resumed run, and readable by every reader."""

from __future__ import annotations

import json
import signal
from pathlib import Path

import pyarrow.parquet as pq
import pytest

import shredder
from shredder.core.errors import UserError
from shredder.core.schema import SchemaUnifier, schema_to_json

from jobs_helpers import dataset_files, documents, no_temporary_files, run, write_jsonl

# The shred check's classes are the differences of plain atoms.
SMALL = ["--no-exact", "--partition-size", "4000", "--batch-size", "25", "-q"]


def differing_documents(count: int) -> list[dict]:
    """Documents whose later partitions add columns and meet other kinds, and that the shred
    check finds differences in (nulls dropped, keys split at "_" where a name is shared,
    numbers widened)."""
    docs = documents(count)
    for i, doc in enumerate(docs):
        if i % 9 == 0:
            doc["gone"] = None
        if i % 13 == 0:
            doc["pairs"] = [{"split_key": i}, {"split": {"key": i}}]
        if i > count // 2:
            doc["late"] = "text" if i % 2 else i
            doc["score"] = i + 0.5 if i % 3 else i
    return docs


def report(atoms: Path) -> list[dict]:
    return [json.loads(line)
            for line in (atoms / "_verify" / "differences.jsonl").read_text().splitlines()]


def test_compression_and_the_check_give_the_same_dataset_for_any_jobs(tmp_path):
    docs = differing_documents(600)
    source = write_jsonl(tmp_path / "in.jsonl", docs)
    outputs = {}
    for jobs in (1, 2):
        atoms = tmp_path / f"j{jobs}"
        result = run("shred", source, "-o", atoms, "--jobs", jobs, "--verify",
                     "--compression", "snappy", *SMALL)
        outputs[jobs] = result.stderr.decode()
        assert no_temporary_files(atoms) and not (atoms / "_partitions").exists()
    assert dataset_files(tmp_path / "j1") == dataset_files(tmp_path / "j2")
    assert (tmp_path / "j1" / "_verify" / "differences.jsonl").read_bytes() == \
        (tmp_path / "j2" / "_verify" / "differences.jsonl").read_bytes()
    assert outputs[1] == outputs[2]

    atoms = tmp_path / "j1"
    manifest = json.loads((atoms / "_shredder.json").read_text())
    assert len({p["file"].split("-")[1] for p in manifest["parts"]}) > 5  # several partitions
    # The partitions' differences, joined in input order, each at its line of the file.
    found = report(atoms)
    lines = [record["line"] for record in found]
    assert lines == sorted(lines) and lines[-1] > len(docs) // 2
    assert [r for r in found if r["path"] == "/gone"] == [
        {"line": i + 1, "path": "/gone", "class": "dropped null"}
        for i in range(len(docs)) if i % 9 == 0]
    assert {r["line"] for r in found if r["class"] == 'key split at "_"'} == {
        i + 1 for i in range(len(docs)) if i % 13 == 0}
    # The check's summary line adds up the partitions.
    summary = outputs[1].strip().splitlines()[0]
    assert summary.startswith(f"verified {len(docs)} documents: ")
    assert f"dropped null {sum(1 for i in range(len(docs)) if i % 9 == 0)}" in summary

    # The manifest: parts' schemas unified in part order, bytes of the parts and the input.
    unifier = SchemaUnifier()
    for part in manifest["parts"]:
        unifier.add(pq.read_schema(atoms / part["file"]))
        assert pq.ParquetFile(atoms / part["file"]).metadata.row_group(0).column(0) \
            .compression == "SNAPPY"
    assert manifest["schema"] == schema_to_json(unifier.schema)
    types = {entry["name"]: entry["type"] for entry in manifest["schema"]}
    assert (types["root_late"], types["root_score"]) == ("string", "double")
    assert manifest["compression"] == "snappy"
    assert manifest["atoms_bytes"] == sum((atoms / p["file"]).stat().st_size
                                          for p in manifest["parts"])
    assert manifest["input_bytes"] == source.stat().st_size
    # Every reader reads every part through that schema.
    table = shredder.dataset(atoms).to_table()
    assert table.schema == unifier.schema
    ids = shredder.tables(atoms).sql("SELECT count(*), count(DISTINCT root_id) FROM docs")
    assert ids.fetchall() == [(len(docs), len(docs))]


def test_a_run_without_the_check_drops_the_earlier_report(tmp_path):
    source = write_jsonl(tmp_path / "in.jsonl", differing_documents(200))
    atoms = tmp_path / "atoms"
    run("shred", source, "-o", atoms, "--verify", *SMALL)
    assert report(atoms)
    run("shred", source, "-o", atoms, "--force", *SMALL)
    assert not (atoms / "_verify").exists()
    assert "compression" in json.loads((atoms / "_shredder.json").read_text())


def test_a_key_beside_its_prefix_in_a_later_partition_comes_back(tmp_path):
    # Read by its name, "ref_type" came back as the member type of ref, replacing "x": the
    # columns' key lists keep both.
    docs = documents(300)
    docs[250].update({"ref": "x", "ref_type": "tag"})
    source = write_jsonl(tmp_path / "in.jsonl", docs)
    result = run("shred", source, "-o", tmp_path / "atoms", "--jobs", 2, "--verify", *SMALL)
    assert "lost" not in result.stderr.decode()
    assert [r for r in report(tmp_path / "atoms") if r["path"] in ("/ref", "/ref_type")] == []


def test_an_interrupted_checked_run_resumes_to_the_clean_run(tmp_path):
    from test_jobs import start_shred, wait_for_markers

    source = write_jsonl(tmp_path / "in.jsonl", differing_documents(3000))
    options = ["--no-exact", "--partition-size", 2000, "--batch-size", 5, "-q", "--verify",
               "--compression", "gzip"]
    run("shred", source, "-o", tmp_path / "clean", "--jobs", 1, *options, timeout=300)
    process = start_shred(source, tmp_path / "atoms", "--no-exact", "--verify", "--compression",
                          "gzip")
    wait_for_markers(process, tmp_path / "atoms", 3)
    process.send_signal(signal.SIGTERM)
    process.communicate(timeout=60)
    assert not (tmp_path / "atoms" / "_shredder.json").exists()
    result = run("shred", source, "-o", tmp_path / "atoms", "--jobs", 2, "--partition-size",
                 2000, "--batch-size", 5, "-q", "--verify", "--resume", "--no-exact", ok=False)
    assert b"cannot resume: the earlier run had other inputs or options" in result.stderr
    run("shred", source, "-o", tmp_path / "atoms", "--jobs", 2, *options, "--resume",
        timeout=300)
    assert dataset_files(tmp_path / "atoms") == dataset_files(tmp_path / "clean")
    assert report(tmp_path / "atoms") == report(tmp_path / "clean")
    assert no_temporary_files(tmp_path / "atoms")


def test_the_python_job_summarises_bytes_and_the_check(tmp_path):
    docs = differing_documents(300)
    source = write_jsonl(tmp_path / "in.jsonl", docs)
    summary = shredder.shred_files(source, tmp_path / "atoms", jobs=1, partition_size=4000,
                                   batch_size=25, verify=True, compression="none", exact=False)
    manifest = json.loads((tmp_path / "atoms" / "_shredder.json").read_text())
    assert (summary.bytes, summary.atoms_bytes) == (manifest["input_bytes"],
                                                    manifest["atoms_bytes"])
    assert summary.check.documents == len(docs) and summary.check.lost == 0
    assert summary.check.counts["dropped null"] == len([i for i in range(300) if i % 9 == 0])
    assert "verified=300" in repr(summary)
    with pytest.raises(UserError, match="arrow parts take zstd or none"):
        shredder.shred_files(source, tmp_path / "x", format="arrow", compression="gzip")
