"""Partitions are fixed by the input alone: JSON Lines cut at line starts whatever the layout,
the same cuts from a file and from a stream, row groups and record batches kept whole, and
inputs named as files, folders and patterns taken in name order; JSON Lines read as batches."""

from __future__ import annotations

import dataclasses
import io
import itertools
import json
import re

import pyarrow as pa
import pyarrow.ipc as ipc
import pyarrow.parquet as pq
import pytest
import shredder_ext
from hypothesis import given, settings
from hypothesis import strategies as st

from shredder.core.errors import UserError
from shredder.io import choices, formats, storage
from shredder.jobs import batches, partitions
from shredder.jobs.tasks import ShredOptions

LAYOUTS = {
    "a line across the cut point": b'{"a":1}\n{"bbbbbbbbbb":2}\n{"c":3}\n',
    "CRLF line ends": b'{"a":1}\r\n{"b":2}\r\n{"c":3}\r\n{"d":4}\r\n',
    "last line without newline": b'{"a":1}\n{"b":2}\n{"c":3}',
    "a line longer than the partition size": b'{"a":1}\n{"' + b"x" * 60 + b'":1}\n{"b":2}\n',
    "empty lines": b'\n\n{"a":1}\n\n\n{"b":2}\n\n',
    "one line": b'{"a":1}',
    "only newlines": b"\n\n\n\n\n\n\n\n",
}


def ranges_of(tmp_path, data: bytes, size: int) -> list[tuple[int, int]]:
    path = tmp_path / "in.jsonl"
    path.write_bytes(data)
    parts = partitions.plan([str(path)], size)
    return [(p.start, p.stop) for p in parts]


@pytest.mark.parametrize("name", LAYOUTS)
@pytest.mark.parametrize("size", [1, 5, 9, 16, 23])
def test_json_lines_partitions_start_at_line_starts_and_cover_the_file(tmp_path, name, size):
    data = LAYOUTS[name]
    ranges = ranges_of(tmp_path, data, size)
    if len(data) <= size:
        assert ranges == [(0, len(data))]
        return
    assert ranges[0][0] == 0 and ranges[-1][1] == len(data)
    for (_, stop), (start, _) in zip(ranges, ranges[1:]):
        assert stop == start
        assert data[start - 1:start] == b"\n", "a partition starts mid-line"
    for start, stop in ranges:
        assert start < stop
    # every line lies in exactly one partition, whole
    lines = [line for start, stop in ranges for line in data[start:stop].split(b"\n")[:-1]]
    tail = data[ranges[-1][0]:].split(b"\n")[-1]
    assert lines + ([tail] if tail else []) == data.split(b"\n")[:len(lines) + (1 if tail else 0)]


def test_cuts_are_the_first_line_start_at_or_after_each_multiple(tmp_path):
    data = b"0123\n56789abcdef\nhij\nlmnopqrstuvwxyz\n"  # lines start at 0, 5, 17, 21
    assert ranges_of(tmp_path, data, 5) == [(0, 5), (5, 17), (17, 21), (21, len(data))]
    assert ranges_of(tmp_path, data, 8) == [(0, 17), (17, len(data))]  # 24 and 32 lie in the last
    assert ranges_of(tmp_path, data, 18) == [(0, 21), (21, len(data))]


class TrickleStream(io.RawIOBase):
    """A stream handing out at most ``step`` bytes per read, as a pipe may."""

    def __init__(self, data: bytes, step: int) -> None:
        self.data, self.step, self.at = data, step, 0

    def read(self, n: int = -1) -> bytes:
        n = self.step if n < 0 else min(n, self.step)
        chunk = self.data[self.at:self.at + n]
        self.at += len(chunk)
        return chunk


@pytest.mark.parametrize("name", LAYOUTS)
@pytest.mark.parametrize("size", [1, 7, 16])
@pytest.mark.parametrize("step", [1, 3, 1000])
def test_a_stream_is_cut_like_the_file_it_came_from(tmp_path, name, size, step):
    data = LAYOUTS[name]
    streamed = list(partitions.stream_partitions(TrickleStream(data, step), size))
    assert [(p.start, p.stop) for p in streamed] == ranges_of(tmp_path, data, size)
    assert b"".join(p.data for p in streamed) == data
    assert [p.first_line for p in streamed] == [
        data[:p.start].count(b"\n") + 1 for p in streamed]
    assert [p.index for p in streamed] == list(range(len(streamed)))


@pytest.mark.parametrize("lines", [1, 5, 12, 30, 80, 200])
def test_partitions_sized_from_the_input_match_between_file_and_stream(tmp_path, monkeypatch,
                                                                        lines):
    # bounds small enough that the inputs below reach both ends of the sizing rule
    monkeypatch.setattr(partitions, "LARGEST_PARTITION", 64)
    monkeypatch.setattr(partitions, "SMALLEST_PARTITION", 16)
    data = b"".join(b'{"n":%d}\n' % i for i in range(lines))
    (tmp_path / "in.jsonl").write_bytes(data)
    planned = partitions.plan([str(tmp_path / "in.jsonl")], None)
    streamed = list(partitions.stream_partitions(TrickleStream(data, 7), None))
    assert [(p.start, p.stop) for p in streamed] == [(p.start, p.stop) for p in planned]
    size = min(64, max(16, -(-len(data) // 8)))
    assert [(p.start, p.stop) for p in planned] == ranges_of(tmp_path, data, size)
    if 8 * 16 <= len(data) <= 8 * 64:
        assert len(planned) == 8


def test_gzip_and_one_object_json_files_are_one_partition_each(tmp_path):
    import gzip
    (tmp_path / "a.jsonl.gz").write_bytes(gzip.compress(b'{"a":1}\n' * 100))
    (tmp_path / "b.json").write_text('{"a": [' + ",".join(['{"a":1}'] * 100) + ']}')
    parts = partitions.plan([str(tmp_path / "a.jsonl.gz"), str(tmp_path / "b.json")], 10)
    assert [(p.index, p.kind, p.whole) for p in parts] == [(0, "jsonl", True), (1, "json", True)]


def test_parquet_row_groups_and_ipc_batches_are_packed_whole(tmp_path):
    table = pa.table({"doc": ['{"a":%d}' % i for i in range(100)]})
    pq.write_table(table, tmp_path / "t.parquet", row_group_size=10)
    with ipc.new_file(tmp_path / "t.arrow", table.schema) as writer:
        for batch in table.to_batches(max_chunksize=25):
            writer.write_batch(batch)
    metadata = pq.ParquetFile(tmp_path / "t.parquet").metadata
    sizes = [metadata.row_group(i).total_byte_size for i in range(10)]
    parquet = partitions.plan([str(tmp_path / "t.parquet")], sum(sizes[:3]))
    assert (parquet[0].start, parquet[0].stop) == (0, 3)
    assert [p.start for p in parquet[1:]] == [p.stop for p in parquet[:-1]]
    assert parquet[-1].stop == 10
    assert all(p.nbytes == sum(sizes[p.start:p.stop]) for p in parquet)
    one_each = partitions.plan([str(tmp_path / "t.parquet")], 1)
    assert [(p.start, p.stop) for p in one_each] == [(i, i + 1) for i in range(10)]
    arrow = partitions.plan([str(tmp_path / "t.arrow")], 1)
    assert [(p.start, p.stop) for p in arrow] == [(0, 1), (1, 2), (2, 3), (3, 4)]
    assert [(p.start, p.stop) for p in partitions.plan([str(tmp_path / "t.arrow")], 10**9)] \
        == [(0, 4)]


def test_inputs_are_files_folders_in_name_order_and_patterns(tmp_path):
    folder = tmp_path / "logs"
    folder.mkdir()
    for name in ["2026-02.jsonl", "2026-01.jsonl", "_skip.jsonl", ".hidden.jsonl", "2025-12.jsonl"]:
        (folder / name).write_text('{"a":1}\n')
    names = lambda texts: [loc.name for text in texts for loc in storage.expand(text)]  # noqa: E731
    assert names([str(folder)]) == ["2025-12.jsonl", "2026-01.jsonl", "2026-02.jsonl"]
    assert names([str(folder / "2026-*.jsonl")]) == ["2026-01.jsonl", "2026-02.jsonl"]
    parts = partitions.plan([str(folder / "2026-02.jsonl"), str(folder / "2025-*")], 10)
    assert [p.source.rsplit("/", 1)[-1] for p in parts] == ["2026-02.jsonl", "2025-12.jsonl"]
    assert [p.index for p in parts] == [0, 1]


@pytest.mark.parametrize("text, message", [
    ("nowhere/*.jsonl", "no such folder"),
    ("logs/*.csv", "no file matches"),
    ("l*/x.jsonl", "only the last part of a path may hold a pattern"),
    ("missing.jsonl", "missing.jsonl: no such file or folder"),
])
def test_inputs_that_name_nothing_are_refused(tmp_path, monkeypatch, text, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "logs").mkdir()
    with pytest.raises(UserError, match=message):
        partitions.plan([text], 10)


@pytest.mark.parametrize("text, size", [("65536", 65536), ("64MiB", 64 * 2**20), ("1GB", 10**9),
                                        ("500k", 500_000), ("1.5KiB", 1536), ("2 mb", 2 * 10**6)])
def test_partition_sizes(text, size):
    assert choices.parse_size(text) == size


@pytest.mark.parametrize("text", ["", "MiB", "-1", "0", "12 parsecs"])
def test_bad_partition_sizes(text):
    with pytest.raises(ValueError):
        choices.parse_size(text)


def batches_by_python(text: bytes, max_lines: int, max_bytes: int,
                      max_data: int) -> tuple[list, int, bool]:
    """How the text reads as batches by Python's own splitting: lines end at "\n", lose
    their trailing "\r"s, and blank ones count towards a batch's bytes only; a line that would
    take a batch's text past ``max_data`` starts the next one, and one longer than that ends
    the reading. Returns the batches, the lines read and whether the last one was refused."""
    batches, texts, lines, nbytes = [], [], [], 0
    *ended, last = text.split(b"\n")
    for number, line in enumerate(ended + ([last] if last else []), 1):
        read = len(line) + (number <= len(ended))
        line = line.rstrip(b"\r")
        if not line.strip():
            nbytes += read
            continue
        if len(line) > max_data:
            return batches, number, True
        if sum(map(len, texts)) + len(line) > max_data:
            batches.append((texts, lines, nbytes))
            texts, lines, nbytes = [], [], 0
        nbytes += read
        texts.append(line)
        lines.append(number)
        if number <= len(ended) and (len(texts) == max_lines or nbytes >= max_bytes):
            batches.append((texts, lines, nbytes))
            texts, lines, nbytes = [], [], 0
    return batches + ([(texts, lines, nbytes)] if texts else []), len(ended) + bool(last), False


LINES = st.lists(st.binary(max_size=24).map(lambda raw: bytes(b"ab{} \t\r\x0b\x0c"[c % 9]
                                                              for c in raw)), max_size=12)


@settings(max_examples=400, deadline=None)
@given(st.tuples(LINES, st.booleans()).map(lambda t: b"\n".join(t[0]) + b"\n" * t[1]),
       st.lists(st.integers(0, 64), max_size=6), st.integers(1, 5), st.integers(1, 40),
       st.integers(1, 60))
def test_json_lines_are_cut_into_batches_as_python_splits_them(text, cuts, max_lines, max_bytes,
                                                               max_data):
    cutter = shredder_ext._JsonLinesCutter(max_lines, max_bytes, max_data=max_data)
    got, refused = [], False
    try:
        for start, stop in itertools.pairwise([0, *sorted(cuts), len(text)]):
            got += cutter.feed(text[start:stop])
        got += cutter.finish()
    except ValueError as error:
        refused = True
        assert str(error).endswith(f"longer than a batch of documents can hold ({max_data} bytes)")
    expected, count, too_long = batches_by_python(text, max_lines, max_bytes, max_data)
    assert (refused, cutter.lines) == (too_long, count)
    if not refused:  # a refused line drops the batches its chunk had completed
        assert [(d.to_pylist(), lines, n) for d, lines, n in got] == expected


def test_the_cutter_refuses_text_that_is_not_one_run_of_bytes():
    with pytest.raises(TypeError, match="contiguous"):
        shredder_ext._JsonLinesCutter(5, 40).feed(memoryview(b'{"a":1}\n{"b":2}\n')[::2])


def python_elements(text: bytes) -> list[bytes]:
    """The documents of a JSON file as Python's reader finds them (the slow path)."""
    return [d for batch in formats.json_file_batches(io.BytesIO(text), "in.json", 10**6, "json")
            for d in batch.batch.column(0).to_pylist()]


def cut_elements(text: bytes, bounds: list[int], max_documents: int, chunk: int,
                 max_data: int) -> list:
    """The elements of each part [a, b) of ``text``, each part read by a cutter of its own."""
    elements = []
    for a, b in itertools.pairwise(bounds):
        cutter = shredder_ext._JsonArrayCutter(max_documents, 10**9, start=a, max_data=max_data)
        cut = [batch for at in range(a, b, chunk)
               for batch in cutter.feed(text[at:min(b, at + chunk)])]
        cut += cutter.finish(whole=len(bounds) == 2)
        assert all(0 < len(documents) <= max_documents for documents, _ in cut)
        assert all(sum(map(len, documents.to_pylist())) <= max_data for documents, _ in cut)
        elements += [d for documents, _ in cut for d in documents.to_pylist()]
    return elements


TRICKY = st.text(alphabet='ab"\\{}[],: \u00e9', max_size=6)
VALUES = st.recursive(st.none() | st.booleans() | st.integers() | TRICKY,
                      lambda inner: st.lists(inner, max_size=3)
                      | st.dictionaries(TRICKY, inner, max_size=3), max_leaves=8)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.dictionaries(TRICKY, VALUES, max_size=3), max_size=8),
       st.sampled_from(["", "\ufeff"]), st.sampled_from(["", " ", "\n\t"]), st.booleans(),
       st.integers(1, 300), st.integers(1, 4), st.integers(1, 50), st.integers(2, 120))
def test_json_arrays_are_cut_into_the_elements_python_reads(documents, mark, space, ascii, every,
                                                            max_documents, chunk, max_data):
    text = (mark + space + "[" + space + f",{space}".join(json.dumps(d, ensure_ascii=ascii)
                                                         for d in documents)
            + space + "]" + space).encode()
    expected = python_elements(text)
    cuts = shredder_ext._JsonArrayCuts(every)
    cuts.feed(text)
    found = cuts.finish()
    starts, at = [], 0
    for element in expected:
        starts.append(text.index(element, at))
        at = starts[-1] + len(element)
    assert [offset for offset, _ in found] == sorted(
        {min(s for s in starts if s >= k * every) for k in range(1, len(text) // every + 1)
         if any(s >= k * every for s in starts)} - set(starts[:1]))
    assert [row for _, row in found] == [starts.index(offset) for offset, _ in found]
    assert cuts.documents == len(expected)
    for bounds in ([0, len(text)], [0, *(offset for offset, _ in found), len(text)]):
        if max(map(len, expected), default=0) > max_data:
            with pytest.raises(OverflowError, match=f"can hold \\({max_data} bytes\\)"):
                cut_elements(text, bounds, max_documents, chunk, max_data)
        else:
            assert cut_elements(text, bounds, max_documents, chunk, max_data) == expected


@pytest.mark.parametrize("text", [b'[{"a":1}, {"b":[}]', b'{"a": [1]}', b'[{"a":1}, 2]',
                                  b'[{"a":1}] x', b'[{"a":1} {"b":2}]', b'[{"a":"1}]', b' ',
                                  '[{"a":"\u00e9"}]'.encode("utf-16"), b'[{"a":1},]',
                                  b'\xef\xbb[{"a":1}]'])
def test_json_files_the_cutter_does_not_take_are_read_as_before(tmp_path, text):
    (tmp_path / "in.json").write_bytes(text)
    [partition] = partitions.plan([str(tmp_path / "in.json")], 2)
    try:
        expected = python_elements(text)
    except UserError as error:
        with pytest.raises(UserError, match=re.escape(str(error))):
            list(batches.partition_batches(partition, ShredOptions(), batches.LineCounter()))
    else:
        read = batches.partition_batches(partition, ShredOptions(), batches.LineCounter())
        assert [d for b in read for d in b.batch.column(0).to_pylist()] == expected


@pytest.mark.parametrize("name", ["github_events.json", "twitter_timeline.json",
                                  "twitter_api_response.json", "twitter_api_compact_response.json",
                                  "twitter.json"])
def test_real_json_files_read_in_partitions_give_their_documents_in_order(real_data_dir, name,
                                                                         monkeypatch, tmp_path):
    import gzip
    path = real_data_dir / name
    expected = python_elements(path.read_bytes())
    (tmp_path / f"{name}.gz").write_bytes(gzip.compress(path.read_bytes()))
    monkeypatch.setattr(batches, "READ_CHUNK", 4096)  # batches end inside chunks
    monkeypatch.setattr(storage, "READ_CHUNK", 4096)  # planning reports chunk by chunk
    # read whole, in parts, and whole from gzip
    for read_as, size in ((path, None), (path, path.stat().st_size // 7),
                          (tmp_path / f"{name}.gz", 1)):
        read, reported = [], []
        planned = partitions.plan([str(read_as)], size, lambda *done: reported.append(done))
        # only a plain file cut into parts is read to plan it, told chunk by chunk; the scan
        # of a file holding one object stops at its first chunk
        scanned = path.stat().st_size if size == path.stat().st_size // 7 else 0
        steps = [min(4096 * (i + 1), scanned) for i in range(len(reported))]
        assert reported == [(done, scanned) for done in steps]
        assert steps[-1:] == ([scanned] if scanned and name != "twitter.json" else steps[-1:])
        for partition in planned:
            counted = batches._rows_before(dataclasses.replace(partition, first_row=None))
            assert counted == len(read) and partition.first_row in (None, counted)
            places = batches.Places(partition)
            for docs in batches.partition_batches(partition, ShredOptions(batch_size=50),
                                                  batches.LineCounter()):
                assert places.location(docs, 0) == ("row", len(read))
                read += docs.batch.column(0).to_pylist()
        assert read == expected


def read_documents(path, size) -> tuple[set[str], list]:
    """The kinds of a file's partitions and its documents, read partition by partition."""
    planned = partitions.plan([str(path)], size)
    return {p.kind for p in planned}, [
        d for p in planned for docs in batches.partition_batches(p, ShredOptions(batch_size=7),
                                                                 batches.LineCounter())
        for d in docs.batch.column(0).to_pylist()]


@pytest.mark.parametrize("compress", [False, True])
def test_json_files_that_hold_json_lines_are_read_as_json_lines(tmp_path, compress):
    import gzip
    lines = [json.dumps({"n": n, "s": "\n" * (n % 3)}) for n in range(200)]
    name = "in.json.gz" if compress else "in.json"
    for text in ("\n".join(lines) + "\n", "\ufeff" + "\r\n".join(lines) + "\r\n  \n",
                 lines[0] + "\n" + lines[1]):
        (tmp_path / "in.jsonl").write_text(text)
        (tmp_path / name).write_bytes(gzip.compress(text.encode()) if compress
                                      else text.encode())
        read = read_documents(tmp_path / name, 1000)
        assert read == read_documents(tmp_path / "in.jsonl", 1000)
        assert read[0] == {"jsonl"} and len(read[1]) == text.count("{")
    # one JSON text is one document or an array of them, as before
    for value in ({"a": [1, {"b": 2}]}, [{"a": 1}, {"b": 2}]):
        for text in (json.dumps(value) + "\n\n", json.dumps(value, indent=2)):
            (tmp_path / name).write_bytes(gzip.compress(text.encode()) if compress
                                          else text.encode())
            assert read_documents(tmp_path / name, 10) == (
                {"json"}, python_elements(text.encode()))
