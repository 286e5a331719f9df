"""Atoms read by the tools users reach for: one schema over parts that differ, and element and
document tables whose sums and counts are those of the documents themselves."""

from __future__ import annotations

import json
import math
import random
import subprocess
import sys
from collections import Counter
from pathlib import Path

import duckdb
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import shredder
from shredder.core.schema import SchemaUnifier
from shredder.dataset.unified import dataset_parts
from shredder.io.parts import part_schema

REPO = Path(__file__).resolve().parents[3]
ORDERS = REPO / "examples" / "orders.jsonl"


def shred_cli(source: Path, output: Path, *args: object) -> subprocess.CompletedProcess:
    result = subprocess.run([sys.executable, "-m", "shredder", "shred", str(source), "-o",
                             str(output), "-q", *map(str, args)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result


def write_jsonl(path: Path, documents: list) -> Path:
    path.write_text("".join(json.dumps(d) + "\n" for d in documents))
    return path


# Batches of two: a null-only column in the first part, int64 against text and int64 against
# double between the first two, bool against int64 in the second, a column only the second has.
DIFFERING = [
    {"id": 1, "a": None, "b": 1, "c": 1, "e": True},
    {"id": 2, "a": None, "b": 2, "c": 2, "e": False},
    {"id": 3, "a": True, "b": "x", "c": 2.5, "e": 7, "m": "only here"},
    {"id": 4, "a": False, "b": "y", "c": 0.5, "e": 8},
    {"id": 5, "b": 3, "c": 4},
    {"id": 6, "b": 4, "c": 5},
]
COLUMNS = ["root_id", "root_a", "root_b", "root_c", "root_e", "root_m"]
EXPECTED = {
    "root_id": [1, 2, 3, 4, 5, 6],
    "root_a": [None, None, True, False, None, None],
    "root_b": ["1", "2", "x", "y", "3", "4"],
    "root_c": [1.0, 2.0, 2.5, 0.5, 4.0, 5.0],
    "root_e": ["true", "false", "7", "8", None, None],
    "root_m": [None, None, "only here", None, None, None],
}


@pytest.fixture(scope="module")
def differing(tmp_path_factory) -> Path:
    folder = tmp_path_factory.mktemp("differing")
    atoms = folder / "atoms"
    shred_cli(write_jsonl(folder / "in.jsonl", DIFFERING), atoms, "--batch-size", 2)
    return atoms


def _rows_by_id(columns: dict[str, list]) -> dict[str, list]:
    order = sorted(range(len(columns["root_id"])), key=lambda i: columns["root_id"][i])
    return {name: [_plain(columns[name][i]) for i in order] for name in COLUMNS}


def _plain(value):
    """pandas and numpy spell a missing value and a number their own way."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return None
    if hasattr(value, "item"):
        return value.item()
    return value


def read_pyarrow(path: Path) -> dict[str, list]:
    return shredder.dataset(path).to_table(columns=COLUMNS).to_pydict()


def read_polars(path: Path) -> dict[str, list]:
    return pl.scan_pyarrow_dataset(shredder.dataset(path)).select(COLUMNS).collect().to_dict(
        as_series=False)


def read_pandas(path: Path) -> dict[str, list]:
    frame = shredder.dataset(path).to_table().to_pandas()
    return {name: frame[name].tolist() for name in COLUMNS}


def read_duckdb(path: Path) -> dict[str, list]:
    connection = duckdb.connect()
    connection.register("atoms", shredder.dataset(path))
    rows = connection.sql(f"SELECT {', '.join(COLUMNS)} FROM atoms").fetchall()
    return {name: [row[i] for row in rows] for i, name in enumerate(COLUMNS)}


@pytest.mark.parametrize("reader", [read_pyarrow, read_polars, read_pandas, read_duckdb])
def test_every_reader_reads_every_part_with_the_same_values(differing, reader):
    parts = dataset_parts(differing)
    assert len(parts.files) == 3
    own = [part_schema(f, "parquet") for f in parts.files]
    # The parts really differ the ways the unified schema has to settle.
    assert own[0].field("root_a").type == pa.null() and own[1].field("root_a").type == pa.bool_()
    assert own[0].field("root_b").type == pa.int64() and own[1].field("root_b").type == pa.string()
    assert own[0].field("root_c").type == pa.int64() and own[1].field("root_c").type == pa.float64()
    assert "root_m" not in own[0].names and "root_a" not in own[2].names
    assert _rows_by_id(reader(differing)) == EXPECTED


def test_the_manifest_records_the_schema_the_parts_give(differing):
    parts = dataset_parts(differing)
    unifier = SchemaUnifier()
    for file in parts.files:
        unifier.add(part_schema(file, "parquet"))
    recorded = shredder.dataset(differing).schema
    assert recorded == unifier.schema
    types = {f.name: f.type for f in recorded}
    assert [types[c] for c in COLUMNS] == [pa.int64(), pa.bool_(), pa.string(), pa.float64(),
                                           pa.string(), pa.string()]


def test_a_lone_part_file_reads_alone(differing):
    part = dataset_parts(differing).files[1]
    assert shredder.dataset(part).to_table().column("root_b").to_pylist() == ["x", "y"]


# ---- element and document tables --------------------------------------------------------


@pytest.fixture(scope="module")
def orders(tmp_path_factory):
    atoms = tmp_path_factory.mktemp("orders") / "atoms"
    shred_cli(ORDERS, atoms, "--batch-size", 700)
    documents = [json.loads(line) for line in ORDERS.read_text().splitlines()]
    return shredder.tables(atoms), documents


def test_orders_tables_give_the_documents_sums_and_counts(orders):
    tables, documents = orders
    items = [item for d in documents for item in d["items"]]

    def one(query):
        return tables.sql(query).fetchall()[0][0]

    assert sorted(tables) == ["docs", "root_items", "root_items_attributes", "root_tags"]
    assert one("SELECT count(*) FROM docs") == len(documents)
    assert one("SELECT sum(root_items_quantity) FROM root_items") == sum(
        i["quantity"] for i in items)
    assert one("SELECT count(*) FROM root_items") == len(items)
    assert one("SELECT count(*) FROM root_tags") == sum(len(d["tags"]) for d in documents)
    assert one("SELECT count(*) FROM root_items_attributes") == sum(
        len(i["attributes"]) for i in items)
    assert one("SELECT sum(root_payment_amount) FROM docs") == pytest.approx(
        sum(d["payment"]["amount"] for d in documents))
    # Filtering elements by a document member.
    assert one("SELECT sum(root_items_quantity) FROM root_items "
               "WHERE root_status = 'delivered'") == sum(
        i["quantity"] for d in documents if d["status"] == "delivered" for i in d["items"])
    assert one("SELECT count(*) FROM root_items WHERE root_customer_vip") == sum(
        len(d["items"]) for d in documents if d["customer"]["vip"])
    # Joining two arrays of a document, and an array with the array it sits in.
    assert one("SELECT count(*) FROM root_items JOIN root_tags "
               "USING (__doc)") == sum(
        len(d["items"]) * len(d["tags"]) for d in documents)
    assert one("SELECT count(*) FROM root_items_attributes a JOIN root_items i "
               "USING (__doc, root_items__idx) "
               "WHERE i.root_items_sku = 'KB-101' AND a.root_items_attributes = 'red'") == sum(
        i["attributes"].count("red") for i in items if i["sku"] == "KB-101")


def test_the_naive_sum_over_atoms_rows_is_not_the_answer(orders):
    tables, documents = orders
    naive = tables.sql("SELECT sum(root_items_quantity) FROM atoms").fetchall()[0][0]
    assert naive != sum(i["quantity"] for d in documents for i in d["items"])


def test_the_tables_are_relations_on_one_connection(orders):
    tables, documents = orders
    relation = tables["root_tags"]
    assert isinstance(relation, duckdb.DuckDBPyRelation)
    counts = Counter(dict(relation.aggregate("root_tags, count(*)", "root_tags").fetchall()))
    assert counts == Counter(t for d in documents for t in d["tags"])
    with pytest.raises(KeyError):
        tables["root_nothing"]


def test_identical_documents_are_counted_each(tmp_path):
    first = {"k": 1, "items": [{"n": 1}, {"n": 2}], "tags": ["a", "b"]}
    second = {"k": 2, "items": [{"n": 5}], "tags": ["c"]}
    atoms = tmp_path / "atoms"
    shred_cli(write_jsonl(tmp_path / "in.jsonl", [first, second, first]), atoms)
    tables = shredder.tables(atoms)
    assert tables.sql("SELECT count(*), sum(root_k) FROM docs").fetchall()[0] == (3, 4)
    assert sorted(tables.sql("SELECT __doc, root___txn_id FROM docs").fetchall()) == sorted(
        [(t, t) for t, in tables.sql("SELECT DISTINCT root___txn_id FROM docs").fetchall()]
        + tables.sql("SELECT root___txn_id || '#1', root___txn_id FROM docs "
                     "WHERE root_k = 1 LIMIT 1").fetchall())
    assert tables.sql("SELECT count(*), sum(root_items_n) FROM root_items").fetchall()[0] == (5, 11)
    # Each copy joins only its own elements: 2 x 2 pairs for each copy of the first, 1 for
    # the second.
    assert tables.sql("SELECT count(*) FROM root_items JOIN root_tags "
                      "USING (__doc)").fetchall()[0] == (9,)


def test_members_that_sort_after_an_array_reach_every_element(real_data_dir):
    path = real_data_dir / "gharchive_2021-07-21-few-hours.ndjson"
    atoms = _shred_once(path)
    # Exact atoms keep every event: "labels_url" beside "labels" → "url" is rescued.
    documents = [json.loads(line) for line in path.read_text().splitlines() if line.strip()]
    tables = shredder.tables(atoms)
    commits = sum(len(d["payload"].get("commits", [])) for d in documents
                  if d["type"] == "PushEvent")
    assert tables.sql("SELECT count(*) FROM root_payload_commits "
                      "WHERE root_type = 'PushEvent'").fetchall()[0] == (commits,)
    assert tables.sql("SELECT count(*) FROM docs").fetchall()[0] == (len(documents),)
    by_type = Counter(d["type"] for d in documents)
    assert dict(tables.sql("SELECT root_type, count(*) FROM docs GROUP BY ALL").fetchall()) == \
        by_type


_SHREDDED: dict[Path, Path] = {}


def _shred_once(path: Path) -> Path:
    if path not in _SHREDDED:
        import tempfile
        output = Path(tempfile.mkdtemp()) / "atoms"
        shred_cli(path, output, "--on-error", "skip")
        _SHREDDED[path] = output
    return _SHREDDED[path]


def test_a_dataset_without_documents_has_empty_tables(tmp_path):
    source = tmp_path / "in.jsonl"
    source.write_text("")
    shred_cli(source, tmp_path / "atoms")
    tables = shredder.tables(tmp_path / "atoms")
    assert list(tables) == ["docs"]
    assert tables.sql("SELECT count(*) FROM docs").fetchall() == [(0,)]
    assert shredder.dataset(tmp_path / "atoms").to_table().num_rows == 0


# ---- random documents: every array path against a walk of the documents -----------------

ARRAY_KEYS = ("A", "b", "c")  # "A" sorts before the stamps, the others after
SCALAR_KEYS = ("v", "W")


def random_object(rng: random.Random, depth: int) -> dict:
    document = {}
    for key in SCALAR_KEYS:
        if rng.random() < 0.8:
            document[key] = rng.choice([None, rng.randint(-50, 50)])
    for key in ARRAY_KEYS[: 3 - depth]:
        if rng.random() < 0.7:
            length = rng.randint(0, 3)
            if key == "c" or depth == 2:  # scalars
                document[key] = [rng.randint(0, 9) for _ in range(length)]
            else:
                document[key] = [random_object(rng, depth + 1) for _ in range(length)]
    return document


def expected_sums(documents: list[dict]) -> tuple[Counter, Counter]:
    """For every array path (as the atoms name it) its element count, and for every column
    that is one value per element or per document the sum of its integers."""
    counts, sums = Counter(), Counter()

    def walk(value: dict, name: str) -> None:
        for key, member in value.items():
            column = f"{name}_{key}"
            if isinstance(member, list):
                counts[column] += len(member)
                for element in member:
                    if isinstance(element, dict):
                        walk(element, column)
                    else:
                        sums[column] += element
            elif member is not None:
                sums[column] += member

    for document in documents:
        walk(document, "root")
    return counts, sums


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_documents_tables_match_a_walk_of_the_documents(tmp_path, seed):
    rng = random.Random(seed)
    documents = [random_object(rng, 0) for _ in range(150)]
    documents += documents[:10]  # identical documents count once each
    atoms = tmp_path / "atoms"
    shred_cli(write_jsonl(tmp_path / "in.jsonl", documents), atoms, "--batch-size", 40)
    tables = shredder.tables(atoms)
    counts, sums = expected_sums(documents)
    layout = tables.layout
    assert tables.sql("SELECT count(*) FROM docs").fetchall()[0] == (len(documents),)
    for path in layout.arrays:
        assert tables.sql(f'SELECT count(*) FROM "{path}"').fetchall()[0][0] == counts[path], path
        for column in layout.members[path]:
            if column.endswith(("_id", "___rest")):
                continue
            got = tables.sql(f'SELECT coalesce(sum("{column}"), 0) FROM "{path}"').fetchall()[0]
            assert got[0] == sums[column], (path, column)
    for column in layout.document_columns:
        if not column.endswith(("_id", "___rest")):
            got = tables.sql(f'SELECT coalesce(sum("{column}"), 0) FROM docs').fetchall()[0]
            assert got[0] == sums[column], column
    assert {p for p in counts if counts[p]} <= set(layout.arrays)
