"""The output file of an unshred job: pieces that workers wrote, appended by the driver (in the
kernel or, where that is refused, through user space), give the bytes of one process writing
the batches itself; the JSON Lines text of a batch is each document and a newline."""

from __future__ import annotations

import errno
import gzip
import os

import pyarrow as pa
import pytest

from shredder.core.documents import text_lines
from shredder.io import output, storage

TEXTS = ['{"a":1}', '{"ключ":"значение","emoji":"😀"}', "{}", '{"b":[1,2,3],"c":{"d":null}}']


def batch(texts: list[str], kind: pa.DataType = pa.string()) -> pa.RecordBatch:
    return pa.record_batch([pa.array(texts, kind)], names=["doc"])


@pytest.mark.parametrize("column", [
    pa.array(TEXTS),
    pa.array(TEXTS, pa.large_string()),
    pa.array(["skipped"] + TEXTS + ["after"]).slice(1, len(TEXTS)),  # a slice: an offset
    pa.array([t.encode() for t in TEXTS], pa.binary()),
])
def test_text_lines_are_each_document_and_a_newline(column):
    lines, starts = text_lines(column)
    expected = "".join(t + "\n" for t in TEXTS).encode()
    assert lines.to_pybytes() == expected
    assert starts == [expected.index(line.encode() + b"\n") for line in TEXTS] + [len(expected)]


def test_text_lines_of_nothing_and_of_a_missing_text():
    lines, starts = text_lines(pa.array([], pa.string()))
    assert (lines.to_pybytes(), starts) == (b"", [0])
    with pytest.raises(ValueError, match="a document has no text"):
        text_lines(pa.array(['{"a":1}', None]))


def refuse_copy_file_range(*args):
    raise OSError(errno.EXDEV, "Invalid cross-device link")


@pytest.mark.parametrize("name", ["out.jsonl", "out.jsonl.gz"])
@pytest.mark.parametrize("in_kernel", [True, False])
def test_appended_pieces_give_the_bytes_of_one_writer(tmp_path, monkeypatch, name, in_kernel):
    parts = [TEXTS, TEXTS[::-1] * 50, TEXTS[1:2]]
    (tmp_path / "one").mkdir()
    (tmp_path / "pieces").mkdir()
    one = output.OutputWriter(storage.resolve(str(tmp_path / "one" / name)), force=False)
    for texts in parts:
        one.write_batch(batch(texts))
    one.close()

    monkeypatch.setattr(output, "_COPY_CHUNK", 7)  # several rounds of either copy loop
    if not in_kernel:
        monkeypatch.setattr(os, "copy_file_range", refuse_copy_file_range)
    writer = output.OutputWriter(storage.resolve(str(tmp_path / name)), force=False)
    for number, texts in enumerate(parts):
        piece = tmp_path / "pieces" / f"{number:06d}"
        piece.write_bytes(output.jsonl_piece(batch(texts), writer.compress))
        writer.write_piece(storage.resolve(str(piece)))
    writer.close()

    written = (tmp_path / name).read_bytes()
    assert written == (tmp_path / "one" / name).read_bytes()
    text = gzip.decompress(written) if name.endswith(".gz") else written
    assert text == "".join(t + "\n" for texts in parts for t in texts).encode()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["one", name, "pieces"]


def test_an_aborted_output_leaves_no_file(tmp_path):
    writer = output.OutputWriter(storage.resolve(str(tmp_path / "out.jsonl")), force=False)
    writer.write_batch(batch(TEXTS))
    writer.abort()
    assert list(tmp_path.iterdir()) == []
