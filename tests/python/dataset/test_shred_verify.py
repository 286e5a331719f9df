"""shred --verify: every difference between a document and its atoms, by path and class."""

from __future__ import annotations

import json
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

from shredder.core.shred_check import CLASSES, differences


def run(*args: object) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "shredder", *map(str, args)],
                          capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize(
    "original, rebuilt, expected",
    [
        ({"a": 1}, {"a": 1, "__txn_id": "t", "__obj_id": "o"}, []),
        ({"a": 1, "n": None}, {"a": 1}, [("/n", "dropped null")]),
        ({"a": {"n": None, "m": None}}, {}, [("/a/n", "dropped null"), ("/a/m", "dropped null")]),
        ({"a": 1, "e": []}, {"a": 1}, [("/e", "dropped empty array or object")]),
        ({"o": [{}, {"k": 1}]}, {"o": [None, {"k": 1}]}, [("/o/0", "dropped empty array or object")]),
        ({"s_t": 3}, {"s": {"t": 3}}, [('/s_t', 'key split at "_"')]),
        ({"x": [{"a_b": "v"}]}, {"x": [{"a": {"b": "v"}}]}, [('/x/0/a_b', 'key split at "_"')]),
        ({"w": 5}, {"w": [5]}, [("/w", "lone value wrapped")]),
        ({"w": {"p": 1, "q": "z"}}, {"w": [{"p": 1, "q": "z"}]}, [("/w", "lone value wrapped")]),
        ({"p": 1}, {"p": 1.0}, [("/p", "number widened")]),
        ({"big": 12345678901234567890}, {"big": 1.2345678901234567e19}, [("/big", "number widened")]),
        ({"q": 1}, {"q": "1"}, [("/q", "value boxed to text")]),
        ({"q": True}, {"q": "true"}, [("/q", "value boxed to text")]),
        ({"big": 12345678901234567890}, {"big": -6101065172474983726}, [("/big", "lost")]),
        ({"ref": "x", "ref_type": "tag"}, {"ref": {"type": "tag"}},
         [("/ref", "lost"), ('/ref_type', 'key split at "_"')]),
        ({"a": 1}, {"a": 1, "b": 2}, [("/b", "lost")]),
        ({"t": ["a", "b"]}, {"t": ["b", "a"]}, [("/t/0", "lost"), ("/t/1", "lost")]),
        ({"a/b": {"c~": None}}, {}, [("/a~1b/c~0", "dropped null")]),
    ],
)
def test_differences_name_each_path_and_class(original, rebuilt, expected):
    assert differences(original, rebuilt) == expected


def write_jsonl(path: Path, lines: list) -> Path:
    path.write_text("".join(json.dumps(d) + "\n" for d in lines))
    return path


# One batch, so the column kinds that box and widen meet; line numbers count from 1.
DOCUMENTS = [
    {"id": 1, "n": None},                          # 1 dropped null
    {"id": 2, "e": [], "o": {}},                   # 2 dropped empty array (an empty object stays)
    {"id": 3, "s_t": 3},                           # 3 key split (root_s_t is shared below)
    {"id": 4, "w": [1, 2], "s": {"t": 4}},         # 4 exact
    {"id": 5, "w": 7},                             # 5 lone value wrapped
    {"id": 6, "p": 1},                             # 6 number widened
    {"id": 7, "p": 1.5, "q": 1},                   # 7 value boxed to text
    {"id": 8, "q": "x"},                           # 8 exact
]


def read_report(atoms: Path) -> list[dict]:
    return [json.loads(line)
            for line in (atoms / "_verify" / "differences.jsonl").read_text().splitlines()]


def test_verify_reports_each_class_with_its_line_and_path(tmp_path):
    source = write_jsonl(tmp_path / "in.jsonl", DOCUMENTS)
    result = run("shred", "--no-exact", source, "-o", tmp_path / "atoms", "--verify")
    assert result.returncode == 0, result.stderr
    assert read_report(tmp_path / "atoms") == [
        {"line": 1, "path": "/n", "class": "dropped null"},
        {"line": 2, "path": "/e", "class": "dropped empty array or object"},
        {"line": 3, "path": "/s_t", "class": 'key split at "_"'},
        {"line": 5, "path": "/w", "class": "lone value wrapped"},
        {"line": 6, "path": "/p", "class": "number widened"},
        {"line": 7, "path": "/q", "class": "value boxed to text"},
    ]
    assert result.stdout == (
        "verified 8 documents: 2 exact, 6 with differences (dropped null 1, dropped empty array "
        'or object 1, key split at "_" 1, lone value wrapped 1, number widened 1, value boxed '
        "to text 1)\n")


def test_a_key_beside_its_prefix_comes_back_whole(tmp_path):
    # Read by its name, "ref_type" came back as the member type of ref, replacing "x" (a loss
    # and exit status 2): the columns' key lists keep both.
    source = write_jsonl(tmp_path / "in.jsonl", [{"a": 1}, {"ref": "x", "ref_type": "tag"}])
    result = run("shred", "--no-exact", source, "-o", tmp_path / "atoms", "--verify", "-q")
    assert result.returncode == 0
    assert result.stderr == "verified 2 documents: 2 exact, 0 with differences\n"


def test_exact_atoms_keep_members_named_like_the_ids(tmp_path):
    # Rebuilt without ids, exact documents keep such members, which the check used to strip
    # from them and then report as lost.
    lines = [{"a": [{"__obj_id": "x"}, {"b": 1}]}, {"__obj_id": None}, {"__txn_id": {"a": 1}},
             {"__txn_id": "t", "__obj_id": []}]
    source = write_jsonl(tmp_path / "in.jsonl", lines)
    result = run("shred", source, "-o", tmp_path / "atoms", "--verify", "-q")
    assert (result.returncode, result.stderr) == (
        0, "verified 4 documents: 4 exact, 0 with differences\n")


def test_verify_in_skip_mode_reports_lines_of_the_documents_kept(tmp_path):
    lines = [{"a": 1}, {"n": None}, {"bad": [[1]]}, {"m": None}, {"x": [1, "y"]}, {"k": None}]
    source = write_jsonl(tmp_path / "in.jsonl", lines)
    result = run("shred", "--no-exact", source, "-o", tmp_path / "atoms", "--verify", "-q", "--on-error",
                 "skip", "--batch-size", 4)
    assert result.returncode == 0, result.stderr
    assert read_report(tmp_path / "atoms") == [
        {"line": 2, "path": "/n", "class": "dropped null"},
        {"line": 4, "path": "/m", "class": "dropped null"},
        {"line": 6, "path": "/k", "class": "dropped null"},
    ]


def test_force_replaces_an_earlier_report(tmp_path):
    source = write_jsonl(tmp_path / "in.jsonl", [{"n": None}])
    assert run("shred", "--no-exact", source, "-o", tmp_path / "atoms", "--verify", "-q").returncode == 0
    write_jsonl(source, [{"a": 1}])
    assert run("shred", source, "-o", tmp_path / "atoms", "--force", "-q").returncode == 0
    assert not (tmp_path / "atoms" / "_verify").exists()


def test_verify_locates_rows_of_arrow_input(tmp_path):
    import pyarrow as pa
    import pyarrow.parquet as pq

    source = tmp_path / "in.parquet"
    texts = [json.dumps(d) for d in ({"a": 1}, {"a": 2, "z": None})]
    pq.write_table(pa.table({"doc": texts}), source)
    result = run("shred", "--no-exact", source, "-o", tmp_path / "atoms", "--verify", "-q")
    assert result.returncode == 0, result.stderr
    [record] = read_report(tmp_path / "atoms")
    assert record["path"] == "/z" and record["class"] == "dropped null"
    assert set(record) - {"path", "class"} in ({"row"}, {"line"})


def test_gharchive_differences_by_class(tmp_path, real_data_dir):
    path = real_data_dir / "gharchive_2021-07-21-few-hours.ndjson"
    # Issue events whose labels collide with "labels_url" are refused: set them aside.
    result = run("shred", "--no-exact", path, "-o", tmp_path / "atoms", "--verify", "-q",
                 "--on-error", "skip")
    assert result.returncode in (0, 2), result.stderr
    report = read_report(tmp_path / "atoms")
    rejected = {json.loads(line)["line"] for line in
                (tmp_path / "atoms" / "_rejects" / "rejects-00000.jsonl").read_text().splitlines()}
    assert rejected and not rejected & {r["line"] for r in report}
    counts = Counter(r["class"] for r in report)
    assert set(counts) <= set(CLASSES)
    lines = len(path.read_text().splitlines())
    assert all(1 <= r["line"] <= lines for r in report)
    # Every event's actor has "display_login" and "avatar_url": their columns' key lists
    # bring them back whole.
    split = Counter(r["path"] for r in report if r["class"] == 'key split at "_"')
    assert split["/actor/display_login"] == split["/actor/avatar_url"] == 0
    # Each class the summary counts is in the report as often.
    summary = result.stderr.strip().splitlines()[0]
    for kind, n in counts.items():
        assert f"{kind} {n:,}" in summary
    assert (result.returncode == 2) == (counts["lost"] > 0)
