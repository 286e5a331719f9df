"""The interpreter lock stays held while the pipeline works.

With the switch interval set far beyond the test's length, the main thread gives the lock up
only where something releases it outright. A background thread counts each time it gets to
run and then sleeps, so the count moves exactly when the main thread lets the lock go. The
conversion of the result calls pyarrow.RecordBatch.from_arrays, replaced here by a spy that
reads the count when it is entered: from the start of the call to that moment the count must
not move. A sleep in the main thread first shows that a release would be seen.
"""

from __future__ import annotations

import json
import sys
import threading
import time

import pyarrow as pa
import pytest
import shredder_ext


def busy_batch() -> pa.RecordBatch:
    documents = [json.dumps({"id": i, "tags": [f"t{k}" for k in range(10)],
                             "items": [{"n": j, "s": "x" * 20} for j in range(10)]})
                 for i in range(2000)]
    return pa.RecordBatch.from_arrays([pa.array(documents)], names=["doc"])


@pytest.mark.parametrize("direction", ["shred", "unshred"])
def test_no_other_thread_runs_during_the_pipeline(monkeypatch, direction):
    handle = shredder_ext.create_controller("json")
    argument = busy_batch()
    if direction == "unshred":
        argument = shredder_ext.shred_arrow(handle, argument)
    call = shredder_ext.shred_arrow if direction == "shred" else shredder_ext.unshred_arrow

    real = pa.RecordBatch
    runs = [0]
    at_conversion = []

    class Spy:
        @staticmethod
        def from_arrays(arrays, **named):
            at_conversion.append(runs[0])
            return real.from_arrays(arrays, **named)

    stop = threading.Event()

    def count_runs():
        while not stop.is_set():
            runs[0] += 1
            time.sleep(0.0005)

    thread = threading.Thread(target=count_runs)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        thread.start()
        before_sleep = runs[0]
        time.sleep(0.02)
        assert runs[0] > before_sleep, "the counting thread never ran while the lock was free"
        monkeypatch.setattr(pa, "RecordBatch", Spy)
        at_call = runs[0]
        result = call(handle, argument)
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        thread.join(timeout=10)
    monkeypatch.undo()
    assert isinstance(result, real) and result.num_rows > 0
    assert at_conversion == [at_call]
