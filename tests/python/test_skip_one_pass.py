"""Skip mode in one pass. Shredding: the refused documents of a batch are those that shredding
again without each refusal finds, the atoms are those of a shred of the batch without them, and
the handle ends as if they had never been read. Unshredding: a document is left out only for
its own fault, and the others come back as they do without it."""

from __future__ import annotations

import json

import pyarrow as pa
import pyarrow.compute as pc
import pytest
import shredder_ext

from conftest import docs_of, json_batch
from shredder.core.unshred import unshred_batch

REAL_FILES = ["github_events.json", "gharchive_2021-07-21-few-hours.ndjson",
              "bluesky_jetstream_sample.ndjson", "twitter.json"]


def real_lines(path, limit=240) -> list[str]:
    text = path.read_text(encoding="utf-8")
    if path.suffix == ".ndjson":
        return [line for line in text.splitlines() if line.strip()][:limit]
    root = json.loads(text)
    items = root if isinstance(root, list) else next(v for v in root.values()
                                                    if isinstance(v, list))
    return [json.dumps(item) for item in items if isinstance(item, dict)][:limit]


def with_refusals(lines: list[str]) -> list[str | None]:
    """Every third line made into one a pipeline refuses: text that is not JSON, no document,
    a nested array, or the document with its first object member turned into a number (a
    shape change, which exact mode rescues instead)."""
    mixed: list[str | None] = []
    for i, line in enumerate(lines):
        if i % 3 == 2:
            document = json.loads(line)
            nested = next((k for k, v in document.items() if isinstance(v, dict)), None)
            variants = ['{"a": ', None, json.dumps({**document, "deep": [[1]]}),
                        json.dumps({**document, nested: 5}) if nested else '[1]']
            line = variants[(i // 3) % len(variants)]
        mixed.append(line)
    return mixed


def shred_again_without(handle, batch) -> list[tuple[int, str]]:
    """The way refusals were found before: shred, and on a refusal shred the rows before it and
    go on after it. (A null document's text named its row in the slice shredded again.)"""
    refused, start = [], 0
    while True:
        current = batch.slice(start)
        try:
            shredder_ext.shred_arrow(handle, current)
            return refused
        except ValueError as error:
            text = str(error).replace(f"null document at row {error.row}",
                                      f"null document at row {start + error.row}")
            refused.append((start + error.row, text))
            if error.row > 0:
                shredder_ext.shred_arrow(handle, current.slice(0, error.row))
            start += error.row + 1


def numbered_as(atoms: pa.RecordBatch, rows: list[int]) -> pa.RecordBatch:
    """Exact atoms of the rows ``rows`` of a batch, numbered by those rows."""
    if "__doc" not in atoms.schema.names:
        return atoms
    at = atoms.schema.get_field_index("__doc")
    rows_array = pa.array(rows, pa.int64())
    return atoms.set_column(at, atoms.schema.field(at), pc.take(rows_array, atoms.column(at)))


@pytest.mark.parametrize("exact", [True, False], ids=["exact", "plain"])
@pytest.mark.parametrize("name", REAL_FILES)
def test_one_pass_refuses_and_keeps_what_shredding_again_did(real_data_dir, name, exact):
    lines = with_refusals(real_lines(real_data_dir / name))
    one, again, clean = (shredder_ext.create_controller("json", exact=exact) for _ in range(3))
    refusals = 0
    for start in range(0, len(lines), 60):
        batch = json_batch(lines[start:start + 60])
        atoms, refused = shredder_ext.shred_arrow(one, batch, skip=True)
        assert [(e.row, str(e)) for e in refused] == shred_again_without(again, batch)
        assert all(e.code in ("invalid_json", "unsupported_input", "shape") for e in refused)
        kept = sorted(set(range(batch.num_rows)) - {e.row for e in refused})
        expected = shredder_ext.shred_arrow(clean, batch.take(pa.array(kept, pa.int64())))
        assert atoms.equals(numbered_as(expected, kept))
        refusals += len(refused)
    assert refusals >= len(lines) // 6  # the invalid text and the missing documents at least
    # What the three handles learned is the same: a batch of every line gives the same again.
    batch = json_batch(lines)
    results = [shredder_ext.shred_arrow(h, batch, skip=True) for h in (one, again, clean)]
    assert all(atoms.equals(results[0][0]) for atoms, _ in results)


def test_unshred_leaves_out_only_the_documents_at_fault(real_data_dir):
    lines = real_lines(real_data_dir / "github_events.json")
    atoms = shredder_ext.shred_arrow(shredder_ext.create_controller("json", exact=True),
                                     json_batch(lines))
    # Every fifth document gets array indexes no batch can hold.
    doc = atoms.column("__doc").to_pylist()
    spoiled = [d % 5 == 0 for d in doc]
    columns = [pc.if_else(pa.array(spoiled), pa.scalar(10**12, pa.int64()), column)
               if field.metadata and field.metadata.get(b"shredder.role") == b"index" else column
               for field, column in zip(atoms.schema, atoms.columns)]
    atoms = pa.RecordBatch.from_arrays(columns, schema=atoms.schema)
    handle = shredder_ext.create_controller("json")
    documents, rejects = unshred_batch(handle, atoms, errors="skip")
    left_out = {r.document for r in rejects}
    assert left_out and left_out <= {d for d in doc if d % 5 == 0}
    assert all("array index out of range" in r.error for r in rejects)
    kept = pa.array([d not in left_out for d in doc])
    assert docs_of(documents) == docs_of(shredder_ext.unshred_arrow(handle, atoms.filter(kept)))


def test_unshred_to_structs_leaves_out_a_document_the_others_have_another_kind_for():
    atoms = shredder_ext.shred_arrow(shredder_ext.create_controller("json", exact=True),
                                     json_batch(['{"a": 1}', '{"a": "x"}', '{"a": 2}']))
    documents, rejects = unshred_batch(shredder_ext.create_controller("arrow"), atoms,
                                       errors="skip")
    assert [r.document for r in rejects] == [1]
    assert "kind conflict at /a" in rejects[0].error
    assert [d["a"] for d in documents.column(0).to_pylist()] == [1, 2]
