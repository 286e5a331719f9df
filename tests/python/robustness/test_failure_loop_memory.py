"""A thousand rounds of calls that fail at every stage of both directions (and some that
succeed) leave the process size flat: no failure path leaks its documents, tables, builders or
Python objects. Runs in a child process so that its measurements see nothing of the runner."""

from __future__ import annotations

import json

from conftest import run_python

LOOP = """
import gc, json, re
import pyarrow as pa
import shredder_ext

def rss():
    with open("/proc/self/status") as f:
        return int(re.search(r"VmRSS:\\s+(\\d+) kB", f.read()).group(1)) * 1024

def texts(*documents):
    return pa.RecordBatch.from_arrays([pa.array(list(documents))], names=["doc"])

good = texts(*[json.dumps({"id": i, "s": "x" * 500, "l": [{"n": j} for j in range(3)]})
               for i in range(20)])
failing_shreds = [
    texts('{"a": [1, 2', '{"a": 1}'),                      # parse error after a good row
    texts('{"a": [1, "x"]}'),                              # not homogeneous
    texts('{"a": [[1]]}'),                                 # nested arrays
    texts('{"a": {"b": 1}}', '{"a": 2}'),                  # shape mismatch
    texts('{"a": [{"b": "x"}, {"b": 1}]}'),                # string and integer under one name
    texts("[1]"),                                          # root is not an object
    pa.RecordBatch.from_arrays([pa.array([1])], names=["doc"]),  # not text
]
deep = "".join('{"a":' for _ in range(600)) + "1" + "}" * 600
failing_shreds.append(texts(deep))                         # too deep
wide = {f"k{i}": i for i in range(5000)}
failing_shreds.append(texts(json.dumps({"a": list(range(5000)), **wide})))  # too large

nulls = pa.nulls(1 << 20)
failing_unshreds = [
    pa.RecordBatch.from_arrays([pa.array(["t"]), pa.array([1]), pa.array([10**15])],
                               names=["root___txn_id", "root_a", "root_a__idx"]),
    pa.RecordBatch.from_arrays([pa.array(["t"]), pa.array([1], pa.int32())],
                               names=["root___txn_id", "root_a"]),
    pa.RecordBatch.from_arrays([pa.array([None], pa.string())], names=["root___txn_id"]),
    pa.RecordBatch.from_arrays([pa.array([1])], names=["root_a"]),
    pa.RecordBatch.from_arrays([nulls] * 300, names=["root___txn_id"] * 300),
    pa.RecordBatch.from_arrays([pa.array(["t"]), pa.array([1])],
                               names=["root___txn_id", "root" + "_a" * 600]),
]
# Documents whose kinds disagree at one path: the Arrow codec cannot write them.
mixed = pa.RecordBatch.from_arrays([pa.array(["t", "u"]), pa.array([1, None]),
                                    pa.array([None, "x"])],
                                   names=["root___txn_id", "root_a", "root_a"])

def once():
    handle = shredder_ext.create_controller("json")
    arrow = shredder_ext.create_controller("arrow")
    atoms = shredder_ext.shred_arrow(handle, good)
    assert shredder_ext.unshred_arrow(arrow, atoms).num_rows == 20
    failures = 0
    for rb in failing_shreds:
        try:
            shredder_ext.shred_arrow(shredder_ext.create_controller("json"), rb)
        except ValueError:
            failures += 1
    for rb in failing_unshreds:
        for h in (handle, arrow):
            try:
                shredder_ext.unshred_arrow(h, rb)
            except ValueError:
                failures += 1
    try:
        shredder_ext.unshred_arrow(arrow, mixed)
    except ValueError:
        failures += 1
    try:
        shredder_ext.create_controller("yaml")
    except ValueError:
        failures += 1
    assert failures == len(failing_shreds) + 2 * len(failing_unshreds) + 2, failures

for _ in range(100):
    once()
gc.collect()
before, objects = rss(), len(gc.get_objects())
for _ in range(1000):
    once()
gc.collect()
print(json.dumps({"rss": rss() - before, "objects": len(gc.get_objects()) - objects}))
"""


def test_a_thousand_rounds_of_failing_calls_leave_the_process_size_flat():
    child = run_python(LOOP, timeout=900)
    assert child.returncode == 0, child.stderr.decode(errors="replace")[-3000:]
    growth = json.loads(child.stdout)
    # A leak on any failure path, once per call, would add tens of megabytes at least.
    assert growth["rss"] < 16 << 20, growth
    assert growth["objects"] < 100, growth
