"""shredder sql, and how parts are encoded: compression choices and the bytes they take."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import shredder_ext

REPO = Path(__file__).resolve().parents[3]
ORDERS = REPO / "examples" / "orders.jsonl"


def run(*args: object, ok: bool = True) -> subprocess.CompletedProcess:
    result = subprocess.run([sys.executable, "-m", "shredder", *map(str, args)],
                            capture_output=True, text=True, timeout=300)
    if ok:
        assert result.returncode == 0, result.stderr
    return result


@pytest.fixture(scope="module")
def orders(tmp_path_factory) -> Path:
    atoms = tmp_path_factory.mktemp("sql") / "atoms"
    run("shred", ORDERS, "-o", atoms, "--batch-size", 1000, "-q")
    return atoms


@pytest.fixture(scope="module")
def documents() -> list[dict]:
    return [json.loads(line) for line in ORDERS.read_text().splitlines()]


def test_sql_prints_a_table(orders, documents):
    result = run("sql", orders, "SELECT count(*) AS n, sum(root_items_quantity) AS q "
                                "FROM root_items")
    items = [i for d in documents for i in d["items"]]
    n, q = len(items), sum(i["quantity"] for i in items)
    width = max(len(str(n)), 1)
    assert result.stdout.splitlines() == [
        f"{'n'.ljust(width)}  q",
        f"{'-' * width}  {'-' * len(str(q))}",
        f"{n}  {q}",
        "(1 row)",
    ]


def test_sql_csv_and_jsonl(orders, documents):
    query = ("SELECT root_status, count(*) AS n FROM docs GROUP BY ALL ORDER BY root_status")
    statuses = sorted({d["status"] for d in documents})
    expected = [(s, sum(d["status"] == s for d in documents)) for s in statuses]
    csv = run("sql", orders, query, "--format", "csv").stdout.splitlines()
    assert csv == ["root_status,n"] + [f"{s},{n}" for s, n in expected]
    lines = run("sql", orders, query, "--format", "jsonl").stdout.splitlines()
    assert [json.loads(line) for line in lines] == [{"root_status": s, "n": n}
                                                   for s, n in expected]


def test_sql_filter_by_a_document_member_and_a_join(orders, documents):
    # Both element tables carry the document's members: a join names whose it reads.
    query = ("SELECT count(*) FROM root_items AS i JOIN root_tags AS t "
             "USING (__doc) WHERE t.root_tags = 'gift' AND i.root_status = 'paid'")
    expected = sum(len(d["items"]) * d["tags"].count("gift") for d in documents
                   if d["status"] == "paid")
    assert run("sql", orders, query, "--format", "csv").stdout.splitlines()[1] == str(expected)


@pytest.mark.parametrize("query, message", [
    ("SELECT nothing FROM docs", "shredder: error: sql: Binder Error"),
    ("SELEKT 1", "shredder: error: sql: Parser Error"),
])
def test_sql_errors_are_one_line(orders, query, message):
    result = run("sql", orders, query, ok=False)
    assert result.returncode == 1
    assert result.stderr.startswith(message)
    assert len(result.stderr.strip().splitlines()) == 1


def test_sql_without_duckdb_says_how_to_get_it(orders):
    code = ("import sys; sys.modules['duckdb'] = None\n"
            "from shredder.cli import main\n"
            f"sys.exit(main(['sql', {str(orders)!r}, 'SELECT 1']))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 1
    assert result.stderr == ("shredder: error: querying atoms needs DuckDB: pip install "
                             "'shredder[sql]' (or duckdb==2.0.1)\n")


def test_sql_on_a_folder_without_manifest(tmp_path):
    (tmp_path / "atoms").mkdir()
    result = run("sql", tmp_path / "atoms", "SELECT 1", ok=False)
    assert result.returncode == 1
    assert "no _shredder.json: the dataset is incomplete" in result.stderr


# ---- compression ------------------------------------------------------------------------


@pytest.mark.parametrize("fmt, compression, codec", [
    ("parquet", None, "ZSTD"),
    ("parquet", "zstd", "ZSTD"),
    ("parquet", "snappy", "SNAPPY"),
    ("parquet", "gzip", "GZIP"),
    ("parquet", "none", "UNCOMPRESSED"),
    ("arrow", "zstd", None),
    ("arrow", "none", None),
])
def test_each_compression_round_trips(tmp_path, fmt, compression, codec):
    atoms = tmp_path / "atoms"
    extra = [] if compression is None else ["--compression", compression]
    result = run("shred", ORDERS, "-o", atoms, "--format", fmt, *extra)
    manifest = json.loads((atoms / "_shredder.json").read_text())
    assert manifest["compression"] == (compression or "zstd")
    assert manifest["input_bytes"] == ORDERS.stat().st_size
    part_bytes = sum((atoms / p["file"]).stat().st_size for p in manifest["parts"])
    assert manifest["atoms_bytes"] == part_bytes
    assert f"bytes per input byte" in result.stderr
    if codec is not None:
        metadata = pq.ParquetFile(atoms / manifest["parts"][0]["file"]).metadata
        group = metadata.row_group(0)
        chunks = {group.column(i).path_in_schema: group.column(i)
                  for i in range(group.num_columns)}
        assert {chunk.compression for chunk in chunks.values()} == {codec}
        # plain pages; statistics for values and "__doc", none for the digests
        assert not any("RLE_DICTIONARY" in chunk.encodings for chunk in chunks.values())
        assert not chunks["root___txn_id"].is_stats_set
        assert chunks["__doc"].is_stats_set and chunks["root_orderId"].is_stats_set
    run("unshred", atoms, "-o", tmp_path / "out.jsonl", "--verify", "-q")
    rebuilt = sorted(json.loads(line)["orderId"]
                     for line in (tmp_path / "out.jsonl").read_text().splitlines())
    assert rebuilt == sorted(json.loads(line)["orderId"]
                             for line in ORDERS.read_text().splitlines())
    inspect = run("inspect", atoms).stdout
    ratio = part_bytes / ORDERS.stat().st_size
    assert f"size: {part_bytes / 1e6:,.1f} MB of atoms, {ratio:.2f} bytes per input byte, " \
           f"{compression or 'zstd'}\n" in inspect


def test_zstd_parts_are_smaller_than_snappy(tmp_path):
    sizes = {}
    for compression in ("zstd", "snappy"):
        atoms = tmp_path / compression
        run("shred", ORDERS, "-o", atoms, "--compression", compression, "-q")
        sizes[compression] = json.loads((atoms / "_shredder.json").read_text())["atoms_bytes"]
    assert sizes["zstd"] < 0.75 * sizes["snappy"]


@pytest.mark.parametrize("compression", ["snappy", "gzip"])
def test_arrow_parts_refuse_parquet_only_compressions(tmp_path, compression):
    result = run("shred", ORDERS, "-o", tmp_path / "atoms", "--format", "arrow",
                 "--compression", compression, ok=False)
    assert result.returncode == 1
    assert result.stderr == (f"shredder: error: --compression {compression} is for parquet "
                             "parts; arrow parts take zstd or none\n")


@pytest.mark.parametrize("name", ["orders", "bluesky_jetstream_sample.ndjson",
                                  "gharchive_2021-07-21-few-hours.ndjson"])
def test_parts_read_back_as_the_engine_built_them(tmp_path, real_data_dir, name):
    source = ORDERS if name == "orders" else real_data_dir / name
    lines = [line for line in source.read_bytes().split(b"\n") if line.strip()]
    # One partition of four batches, each a part, through one handle.
    batch = -(-len(lines) // 4)
    run("shred", source, "-o", tmp_path / "atoms", "--jobs", 1, "--batch-size", batch,
        "--partition-size", "1GiB", "-q")
    parts = json.loads((tmp_path / "atoms" / "_shredder.json").read_text())["parts"]
    assert len(parts) == 4
    handle = shredder_ext.create_controller("json", exact=True)
    for number, part in enumerate(parts):
        texts = pa.array(lines[number * batch:(number + 1) * batch], pa.binary())
        built = shredder_ext.shred_arrow(handle, pa.record_batch([texts], names=["documents"]))
        read = pq.read_table(tmp_path / "atoms" / part["file"]).combine_chunks()
        assert read.schema.equals(built.schema, check_metadata=True), part["file"]
        assert read.equals(pa.Table.from_batches([built])), part["file"]
