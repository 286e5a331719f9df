"""Inputs as users hand them in: polars frames, view types, temporal and decimal struct
fields, several columns, numbers beyond a double, closed pipes."""

from __future__ import annotations

import datetime
import decimal
import json
import subprocess
import sys
from pathlib import Path

import polars as pl
import pyarrow as pa
import pyarrow.ipc as ipc
import pytest

import shredder
from shredder.cli import main


def cli(*args: object) -> int:
    return main([str(a) for a in args])


def only_atoms(source, **options) -> dict:
    """The plain atoms' columns, less the ids."""
    [atoms] = list(shredder.shred(source, exact=False, **options))
    return {k: v for k, v in atoms.to_pydict().items() if not k.endswith("_id")}


def test_a_polars_frame_of_json_text_passes_straight_in():
    frame = pl.DataFrame({"doc": ['{"a": [1, 2]}', '{"a": 3, "b": "x"}']})
    assert only_atoms(frame) == {"root_a": [1, 2, 3], "root_a__idx": [0, 1, 0],
                                 "root_b": [None, None, "x"]}


@pytest.mark.parametrize("codec", [{"codec": "arrow"}, {}])  # without one: by the column type
def test_a_polars_frame_of_structs_with_a_timestamp_passes_straight_in(codec):
    frame = pl.DataFrame({"doc": [{"at": datetime.datetime(2024, 1, 2, 3, 4, 5, 6000),
                                   "n": 1}]})
    assert only_atoms(frame, **codec) == {"root_at": ["2024-01-02T03:04:05.006000"],
                                                "root_n": [1]}


@pytest.mark.parametrize("view, plain", [(pa.string_view(), pa.string()),
                                         (pa.binary_view(), pa.binary())])
def test_view_text_columns_are_read_as_text(tmp_path, view, plain):
    texts = ['{"a": 1}', '{"a": 2}']
    batch = pa.record_batch([pa.array(texts, plain).cast(view)], names=["doc"])
    assert only_atoms(batch) == {"root_a": [1, 2]}
    path = tmp_path / "in.arrow"
    with ipc.new_file(path, batch.schema) as writer:
        writer.write_batch(batch)
    assert cli("shred", path, "-o", tmp_path / "atoms", "-q") == 0
    assert cli("unshred", tmp_path / "atoms", "-o", tmp_path / "out.jsonl", "-q") == 0
    assert sorted(json.loads(t)["a"] for t in (tmp_path / "out.jsonl").open()) == [1, 2]


UTC = datetime.timezone.utc
PARIS = datetime.timezone(datetime.timedelta(hours=1))


@pytest.mark.parametrize(
    "arrow_type, value, expected",
    [
        (pa.timestamp("ms"), datetime.datetime(2024, 2, 29, 23, 59, 58, 125000),
         "2024-02-29T23:59:58.125"),
        (pa.timestamp("s", "Europe/Paris"), datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=PARIS),
         "2024-01-02T02:04:05Z"),
        (pa.timestamp("ns", "UTC"), datetime.datetime(1969, 12, 31, 23, 59, 59, tzinfo=UTC),
         "1969-12-31T23:59:59.000000000Z"),
        (pa.date32(), datetime.date(2024, 2, 29), "2024-02-29"),
        (pa.date64(), datetime.date(1999, 12, 31), "1999-12-31"),
        (pa.time32("ms"), datetime.time(13, 14, 15, 16000), "13:14:15.016"),
        (pa.time64("us"), datetime.time(0, 0, 0, 1), "00:00:00.000001"),
        (pa.duration("ms"), datetime.timedelta(seconds=-90, milliseconds=-5), "-PT90.005S"),
        (pa.duration("s"), datetime.timedelta(hours=1), "PT3600S"),
        (pa.decimal128(20, 4), decimal.Decimal("-1234567890123.5000"), "-1234567890123.5000"),
        (pa.decimal256(40, 0), decimal.Decimal("12345678901234567890123456789"),
         "12345678901234567890123456789"),
        (pa.dictionary(pa.int8(), pa.string()), "red", "red"),
        (pa.float16(), 1.5, 1.5),
        (pa.string_view(), "v", "v"),
    ],
)
def test_struct_fields_the_arrow_codec_does_not_take_become_their_text(arrow_type, value,
                                                                        expected):
    if pa.types.is_dictionary(arrow_type):
        column = pa.DictionaryArray.from_arrays(pa.array([0, None], pa.int8()), [value])
    else:
        column = pa.array([value, None], arrow_type)
    docs = pa.StructArray.from_arrays([column, pa.array([1, 2])], names=["f", "n"])
    atoms = only_atoms(pa.record_batch([docs], names=["doc"]), codec="arrow")
    assert atoms["root_f"] == [expected, None]
    assert atoms["root_n"] == [1, 2]


def test_conversions_reach_into_lists_maps_and_nested_structs_of_a_sliced_column():
    inner = pa.struct([("at", pa.date32()), ("amounts", pa.large_list(pa.decimal128(5, 2)))])
    doc_type = pa.struct([("events", pa.list_(inner)),
                          ("fixed", pa.list_(pa.time32("s"), 2)),
                          ("labels", pa.map_(pa.string(), pa.timestamp("s"))),
                          ("view", pa.list_view(pa.int64()))])
    rows = [None,
            {"events": [{"at": datetime.date(2020, 1, 1),
                         "amounts": [decimal.Decimal("1.50")]}],
             "fixed": [datetime.time(1, 2, 3), datetime.time(4, 5, 6)],
             "labels": [("k", datetime.datetime(2000, 1, 1))],
             "view": [7, 8]},
            {"events": None, "fixed": None, "labels": None, "view": None}]
    column = pa.array(rows, doc_type).slice(1)  # the slice's offset must be honoured
    [atoms] = list(shredder.shred(pa.record_batch([column], names=["doc"]), codec="arrow"))
    [documents] = list(shredder.unshred([atoms]))
    rebuilt = [json.loads(text) for text in documents.column(0).to_pylist()]
    first = next(d for d in rebuilt if "events" in d)
    strip = lambda v: ({k: strip(x) for k, x in v.items() if not k.endswith("_id")}
                       if isinstance(v, dict) else [strip(x) for x in v]
                       if isinstance(v, list) else v)
    assert strip(first) == {"events": [{"at": "2020-01-01", "amounts": ["1.50"]}],
                            "fixed": ["01:02:03", "04:05:06"],
                            "labels": [{"key": "k", "value": "2000-01-01T00:00:00"}],
                            "view": [7, 8]}
    assert len(rebuilt) == 2


def test_several_columns_need_a_column_in_the_api_as_in_the_cli(tmp_path, capsys):
    table = pa.table({"a": ['{"x": 1}'], "b": ['{"y": 2}']})
    with pytest.raises(ValueError) as caught:
        list(shredder.shred(table))
    assert str(caught.value) == "several columns (a, b); choose one with column="
    assert only_atoms(table, column="b") == {"root_y": [2]}
    assert only_atoms(table, column=0) == {"root_x": [1]}
    assert only_atoms(table.append_column("doc", pa.array(['{"z": 3}']))) == {"root_z": [3]}
    path = tmp_path / "in.arrow"
    with ipc.new_file(path, table.schema) as writer:
        writer.write_table(table)
    assert cli("shred", path, "-o", tmp_path / "atoms") == 1
    assert capsys.readouterr().err == \
        f"shredder: error: {path}: several columns (a, b); choose one with --column\n"


def test_a_number_beyond_a_double_in_a_json_file_refuses_its_document_alone(tmp_path, capsys):
    """Python's reader used to parse the whole file and fail it at 1e400, --on-error skip or
    not; each document's own text now goes to the engine, as a JSON Lines line does."""
    path = tmp_path / "in.json"
    path.write_text('[{"a": 1},\n {"b": 1e400}, {"c": 2.50}]')
    assert cli("shred", path, "-o", tmp_path / "atoms") == 1
    assert capsys.readouterr().err.startswith(
        f"shredder: error: {path}:row 1: shred failed: JSON parse failure: "
        "[json.exception.out_of_range.406] number overflow parsing '1e400'")
    assert not (tmp_path / "atoms").exists()
    assert cli("shred", path, "-o", tmp_path / "atoms", "--on-error", "skip", "-q") == 0
    manifest = json.loads((tmp_path / "atoms" / "_shredder.json").read_text())
    assert (manifest["documents"], manifest["rejected"]) == (2, 1)
    [record] = [json.loads(line) for line in
                (tmp_path / "atoms" / manifest["rejects"][0]).read_text().splitlines()]
    assert (record["row"], record["document"]) == (1, '{"b": 1e400}')
    [atoms] = shredder.dataset(tmp_path / "atoms").to_table().to_batches()
    assert atoms.column("root_c").to_pylist() == [None, 2.5]


@pytest.mark.parametrize("command", [["inspect"], ["unshred", "-o", "-", "--jobs", "2"]])
def test_output_into_a_closed_pipe_exits_quietly(tmp_path, command):
    # unshred on workers copies their pieces, which used to fail naming a temporary file
    wide = {f"key{n:05d}": n for n in range(4000)}  # far more than a pipe buffer of output
    source = tmp_path / "in.jsonl"
    source.write_text((json.dumps(wide) + "\n") * 40)
    assert cli("shred", source, "-o", tmp_path / "atoms", "-q", "--batch-size", "10") == 0
    child = subprocess.Popen([sys.executable, "-m", "shredder", command[0],
                              str(tmp_path / "atoms"), *command[1:]],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert child.stdout.readline().startswith((b"part-00000-00000.parquet: 10 rows", b'{"'))
    child.stdout.close()  # as `head -1` does
    err = child.stderr.read()
    assert child.wait(timeout=120) == 1
    assert err == b""
