"""Memory behaviour seen from the process: the input is shared, not copied, and repeated calls
leave the process size flat. Each case runs in a child process so that its measurements see
nothing of the test runner."""

from __future__ import annotations

import json

import pytest

from conftest import run_python

MEASURE = """
import gc, json, re, sys
import pyarrow as pa
import shredder_ext

def status(key):
    with open("/proc/self/status") as f:
        return int(re.search(key + r":\\s+(\\d+) kB", f.read()).group(1)) * 1024

def reset_peak():
    # Writing 5 to clear_refs resets the peak resident size to the current one.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
"""

BIG = 128 << 20

ZERO_COPY = MEASURE + """
BIG = {big}
case = {case!r}
handle = shredder_ext.create_controller("json")
small = b'{{"a": 1}}'
# The BIG bytes live in Python memory, outside Arrow's memory pool, so that any copy the
# call made through Arrow would show in the pool as well as in the resident size.
if case == "unselected column":
    # A column the pipeline never reads holds BIG bytes.
    blob = pa.Array.from_buffers(pa.binary(), 1, [None, pa.array([0, BIG], pa.int32()).buffers()[1],
                                                 pa.py_buffer(b"x" * BIG)])
    rb = pa.RecordBatch.from_arrays([pa.array([small], pa.binary()), blob], names=["doc", "blob"])
else:
    # The selected column's data buffer holds BIG bytes beyond its one document.
    texts = pa.Array.from_buffers(
        pa.binary(), 1,
        [None, pa.array([0, len(small)], pa.int32()).buffers()[1],
         pa.py_buffer(small + b"x" * BIG)])
    rb = pa.RecordBatch.from_arrays([texts], names=["doc"])
shredder_ext.shred_arrow(handle, pa.RecordBatch.from_arrays([pa.array([small])], names=["doc"]))
gc.collect()
pool = pa.default_memory_pool()
pool_before = pool.max_memory()
reset_peak()
before = status("VmRSS")
atoms = shredder_ext.shred_arrow(handle, rb, column=0)
growth = status("VmHWM") - before
assert atoms.column("root_a").to_pylist() == [1]
print(json.dumps({{"rss": growth, "pool": pool.max_memory() - pool_before}}))
"""


@pytest.mark.parametrize("case", ["unselected column", "selected column"])
def test_shred_reads_the_callers_buffers_without_copying(case):
    child = run_python(ZERO_COPY.format(big=BIG, case=case))
    assert child.returncode == 0, child.stderr.decode()
    growth = json.loads(child.stdout)
    # Any copy of the input would raise either peak by BIG bytes; the call itself needs little.
    assert growth["rss"] < BIG // 4, growth
    assert growth["pool"] < BIG // 4, growth


LEAK = MEASURE + """
codec = {codec!r}
documents = [{{"id": i, "text": "y" * 2000, "tags": ["a", "b", "c"],
              "items": [{{"n": j, "w": 0.5}} for j in range(3)]}} for i in range(50)]
if codec == "json":
    column = pa.array([json.dumps(d) for d in documents])
else:
    column = pa.array(documents)
rb = pa.RecordBatch.from_arrays([column], names=["doc"])

def once():
    handle = shredder_ext.create_controller(codec)
    atoms = shredder_ext.shred_arrow(handle, rb)
    back = shredder_ext.unshred_arrow(handle, atoms)
    assert back.num_rows == len(documents)

for _ in range(100):
    once()
gc.collect()
rss, objects, refs = status("VmRSS"), len(gc.get_objects()), sys.getrefcount(rb)
for _ in range(1000):
    once()
gc.collect()
print(json.dumps({{"rss": status("VmRSS") - rss, "objects": len(gc.get_objects()) - objects,
                  "refs": sys.getrefcount(rb) - refs}}))
"""


@pytest.mark.parametrize("codec", ["json", "arrow"])
def test_a_thousand_round_trips_leave_the_process_size_flat(codec):
    child = run_python(LEAK.format(codec=codec))
    assert child.returncode == 0, child.stderr.decode()
    growth = json.loads(child.stdout)
    # One leaked input, atoms batch or result per call would add hundreds of megabytes.
    assert growth["rss"] < 24 << 20, growth
    assert growth["objects"] < 100, growth
    assert growth["refs"] == 0, growth
