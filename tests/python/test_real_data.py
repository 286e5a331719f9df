"""Real documents reach a fixed point: unshred(shred(unshred(shred(D)))) equals unshred(shred(D))
apart from the id members.

Documents are every file of the shared real data whose root is an object, every object
element of a top-level array, and every object line of an NDJSON file (or object element of
an array line). Each goes alone into a batch of the JSON codec, with a fresh handle for each
shred. Documents that cannot be shredded at all (nested arrays, mixed arrays and so on) and
rebuilt documents that cannot be shredded again (keys with "_" that collide with nested keys
once rebuilt, as in twitter.json: "retweeted" and "retweeted_status") are counted; every
document that shreds twice must reach the fixed point.
"""

from __future__ import annotations

import collections
import json
from pathlib import Path

import pyarrow as pa
import pytest
import shredder_ext

from conftest import SHARED_DATA, canonical, docs_of, record_real_data_summary, strip_ids


def real_files() -> list[Path]:
    if SHARED_DATA is None:
        return []
    root = SHARED_DATA / "real"
    return sorted(p for p in root.rglob("*") if p.suffix in (".json", ".ndjson"))


def documents_of(path: Path):
    """(label, JSON text) of every document the file holds."""
    text = path.read_text(encoding="utf-8")
    if path.suffix == ".ndjson":
        for number, line in enumerate(text.splitlines(), start=1):
            if line.strip():
                yield from _documents_in(line, f"line {number}")
    else:
        yield from _documents_in(text, "root")


def _documents_in(text: str, label: str):
    value = json.loads(text)
    if isinstance(value, dict):
        yield label, text
    elif isinstance(value, list):
        for index, element in enumerate(value):
            if isinstance(element, dict):
                yield f"{label}[{index}]", json.dumps(element, ensure_ascii=False)


def round_trip(batch: pa.RecordBatch) -> pa.RecordBatch:
    handle = shredder_ext.create_controller("json")
    return shredder_ext.unshred_arrow(handle, shredder_ext.shred_arrow(handle, batch))


def first_line(error: Exception) -> str:
    return str(error).splitlines()[0][:120]


@pytest.mark.parametrize("path", real_files(), ids=lambda p: p.name)
def test_real_documents_reach_a_fixed_point(path, real_data_dir):
    counts = collections.Counter()
    reasons = collections.Counter()
    broken = []
    for label, text in documents_of(path):
        counts["documents"] += 1
        try:
            once = round_trip(pa.RecordBatch.from_arrays([pa.array([text])], names=["doc"]))
        except ValueError as error:
            counts["not shreddable"] += 1
            reasons["first shred: " + first_line(error)] += 1
            continue
        assert once.num_rows == 1, label
        try:
            twice = round_trip(once)
        except ValueError as error:
            counts["rebuilt not shreddable"] += 1
            reasons["second shred: " + first_line(error)] += 1
            continue
        if canonical(strip_ids(docs_of(twice)[0])) == canonical(strip_ids(docs_of(once)[0])):
            counts["fixed point"] += 1
        else:
            counts["broken"] += 1
            broken.append(label)
    name = path.relative_to(real_data_dir).as_posix()
    record_real_data_summary(
        f"{name}: {counts['documents']} documents, {counts['not shreddable']} not shreddable, "
        f"{counts['rebuilt not shreddable']} rebuilt not shreddable, "
        f"{counts['fixed point']} at the fixed point, {counts['broken']} broken", counts)
    for reason, number in sorted(reasons.items()):
        record_real_data_summary(f"    {number} x {reason}")
    assert not broken, f"{name}: fixed point broken for {broken[:20]}"


def test_real_data_is_found(real_data_dir):
    assert len(real_files()) >= 30
