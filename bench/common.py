"""Shared helpers of the benchmark: single-thread pinning, timing, peak-memory probes, input
loading."""

from __future__ import annotations

import ctypes
import gc
import math
import os
import statistics
import sys
import time
from typing import Any, Callable

# Every thread-pool knob the peers read at load time. Set before any of them is imported (the
# runner re-executes itself with these in the environment, see pin_threads).
THREAD_ENV = {
    "OMP_NUM_THREADS": "1",
    "OPENBLAS_NUM_THREADS": "1",
    "MKL_NUM_THREADS": "1",
    "RAYON_NUM_THREADS": "1",
    "POLARS_MAX_THREADS": "1",
    "ARROW_NUM_THREADS": "1",
    "ARROW_IO_THREADS": "1",
}
_PINNED_MARK = "SHREDDER_BENCH_PINNED"


def pin_threads() -> None:
    """Makes sure the process runs with every pool at one thread: if the environment does not
    carry the settings yet, set them and re-execute the same command, so that no library has
    read its settings before they were in place."""
    if os.environ.get(_PINNED_MARK) != "1":
        os.environ.update(THREAD_ENV)
        os.environ[_PINNED_MARK] = "1"
        os.execv(sys.executable, [sys.executable, *sys.argv])


def configure_arrow() -> None:
    """pyarrow's CPU and I/O pools at one thread (the environment already says so; this makes
    it explicit)."""
    import pyarrow as pa
    pa.set_cpu_count(1)
    pa.set_io_thread_count(1)


LONG_RUN_S = 2.0       # a call longer than this is sampled at most LONG_RUN_REPEATS times
LONG_RUN_REPEATS = 3


def median_time(fn: Callable[[], Any], repeats: int, min_sample_s: float = 0.05,
                max_loops: int = 1000) -> tuple[float, list[float], Any]:
    """One warm-up call, then `repeats` samples; a sample runs `fn` enough times in a row to
    last about `min_sample_s` (small inputs) and records the time of one call; when the
    warm-up call took longer than LONG_RUN_S, at most LONG_RUN_REPEATS samples are taken.
    Returns the median seconds per call, the samples and the last call's result."""
    gc.collect()
    t0 = time.perf_counter()
    result = fn()
    warm = time.perf_counter() - t0
    if warm > LONG_RUN_S:
        repeats = min(repeats, LONG_RUN_REPEATS)
    loops = max(1, min(max_loops, math.ceil(min_sample_s / max(warm, 1e-7))))
    samples = []
    for _ in range(repeats):
        result = None
        gc.collect()
        t0 = time.perf_counter()
        for _ in range(loops):
            result = fn()
        samples.append((time.perf_counter() - t0) / loops)
    return statistics.median(samples), samples, result


# --- peak memory ------------------------------------------------------------------------------

# Each memory figure comes from a child process of its own (memchild.py).
MEMORY_METHOD = (
    "Each memory figure comes from a child process of its own. It first runs the job once on "
    "the corpus's first 20 documents (so that library code pages and lazy set-up are not "
    "counted), then loads the full input, frees what loading left behind (gc, malloc_trim, "
    "Arrow pool release_unused), resets the kernel's peak-RSS mark (writes 5 to "
    "/proc/self/clear_refs, which sets VmHWM to the current RSS), runs the job once and reads "
    "VmHWM; the output stays alive until then. peak = (VmHWM - RSS just before the job) + the "
    "bytes of the input the job was handed (held in memory throughout). Where clear_refs "
    "cannot be written, ru_maxrss is used instead and then also counts the loading.")


def _status_kib(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def rss_bytes() -> int:
    return _status_kib("VmRSS") * 1024


def hwm_bytes() -> int:
    return _status_kib("VmHWM") * 1024


def release_free_memory() -> None:
    """Hands memory freed so far back to the system, so that later allocations show in RSS."""
    gc.collect()
    try:
        import pyarrow as pa
        pa.default_memory_pool().release_unused()
    except Exception:
        pass
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass


def reset_peak() -> str:
    """Resets the peak-RSS mark; returns the method in use."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return "VmHWM reset via clear_refs"
    except OSError:
        return "ru_maxrss (not reset; includes loading)"


# --- input ------------------------------------------------------------------------------------

def read_jsonl_array(path: str):
    """The lines of a JSONL file as one pyarrow utf8 array, built straight from the file's
    bytes (newlines removed, offsets computed with numpy) so that loading leaves no Python
    objects behind."""
    import numpy as np
    import pyarrow as pa

    raw = np.fromfile(path, dtype=np.uint8)
    if raw.size and raw[-1] != 10:
        raw = np.concatenate([raw, np.array([10], dtype=np.uint8)])
    nl = np.flatnonzero(raw == 10)
    n = int(nl.size)
    starts = np.empty(n, dtype=np.int64)
    starts[0:1] = 0
    starts[1:] = nl[:-1] + 1
    lengths = nl - starts
    offsets = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    keep = np.ones(raw.size, dtype=bool)
    keep[nl] = False
    data = raw[keep]
    del raw, keep, nl, starts, lengths
    if offsets[-1] < 2**31 - 1:
        return pa.StringArray.from_buffers(n, pa.py_buffer(offsets.astype(np.int32)),
                                           pa.py_buffer(data))
    return pa.LargeStringArray.from_buffers(n, pa.py_buffer(offsets), pa.py_buffer(data))


def to_batches(array, batch_docs: int, name: str = "doc") -> list:
    """Slices one array into record batches of at most `batch_docs` rows (zero-copy)."""
    import pyarrow as pa
    n = len(array)
    step = max(1, batch_docs)
    return [pa.RecordBatch.from_arrays([array.slice(i, min(step, n - i))], names=[name])
            for i in range(0, n, step)]


def batch_cells(batches) -> tuple[int, int, int]:
    """Total rows, total cells (rows times columns) and total buffer bytes of some batches."""
    rows = sum(b.num_rows for b in batches)
    cells = sum(b.num_rows * b.num_columns for b in batches)
    nbytes = sum(b.get_total_buffer_size() for b in batches)
    return rows, cells, nbytes
