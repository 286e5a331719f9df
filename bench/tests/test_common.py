"""Checks of the shared helpers: input loading, batching and the timing median."""

import pytest

import common


@pytest.mark.parametrize("content,lines", [
    (b'{"a":1}\n{"b":"\xc3\xbc"}\n', ['{"a":1}', '{"b":"ü"}']),
    (b'{"a":1}\n{"b":2}', ['{"a":1}', '{"b":2}']),          # no final newline
    (b'{"a":1}\n', ['{"a":1}']),
])
def test_read_jsonl_array_gives_the_lines(tmp_path, content, lines):
    path = tmp_path / "x.jsonl"
    path.write_bytes(content)
    arr = common.read_jsonl_array(str(path))
    assert str(arr.type) == "string"
    assert arr.to_pylist() == lines


def test_to_batches_slices_without_losing_rows():
    import pyarrow as pa
    arr = pa.array([str(i) for i in range(25)])
    batches = common.to_batches(arr, 10)
    assert [b.num_rows for b in batches] == [10, 10, 5]
    assert [b.schema.names for b in batches] == [["doc"]] * 3
    assert sum((b.column(0).to_pylist() for b in batches), []) == arr.to_pylist()
    assert common.batch_cells(batches)[:2] == (25, 25)


def test_median_time_runs_warm_up_then_repeats():
    calls = []
    t, samples, result = common.median_time(lambda: calls.append(1) or len(calls), 3,
                                            min_sample_s=0.0)
    assert len(samples) == 3 and len(calls) == 4 and result == 4
    assert t == sorted(samples)[1]


def test_peak_probe_sees_an_allocation():
    common.release_free_memory()
    if not common.reset_peak().startswith("VmHWM"):
        pytest.skip("clear_refs not writable here")
    before = common.rss_bytes()
    block = bytearray(64 << 20)
    block[::4096] = b"\1" * len(block[::4096])
    del block
    assert common.hwm_bytes() - before >= 60 << 20
