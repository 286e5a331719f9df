"""Peak memory of one job, measured in a process of its own (see common.py for the method).

Usage: memchild.py JOB CORPUS.jsonl BATCH_DOCS MAX_LINE [CELL_CAP]
Prints one JSON object: extra_peak_bytes (peak RSS during the job above the RSS just before
it), input_bytes, the job's summary and the method used."""

from __future__ import annotations

import json
import resource
import sys
import tempfile

import common

common.pin_threads()
common.configure_arrow()

import jobs  # noqa: E402  (after the thread settings)


def main() -> int:
    job, path, batch_docs, max_line = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    cap = int(sys.argv[5]) if len(sys.argv) > 5 and sys.argv[5] != "none" else None
    # Run the job once on the corpus's first documents, so that the code pages of the libraries
    # (which count in RSS when first touched) and their lazy set-up are in place before the
    # peak is measured.
    with open(path, "rb") as f:
        head = b"".join(line for _, line in zip(range(20), f))
    with tempfile.NamedTemporaryFile(suffix=".jsonl") as tmp:
        tmp.write(head)
        tmp.flush()
        jobs.prepare(job, tmp.name, batch_docs=batch_docs, max_line=max_line,
                     cell_cap=cap).run()
    prepared = jobs.prepare(job, path, batch_docs=batch_docs, max_line=max_line, cell_cap=cap)
    common.release_free_memory()
    method = common.reset_peak()
    before = common.rss_bytes()
    if method.startswith("ru_maxrss"):
        before = 0
    summary = prepared.run()
    peak = common.hwm_bytes() if not method.startswith("ru_maxrss") else \
        resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({
        "job": job,
        "extra_peak_bytes": max(0, peak - before),
        "rss_before_bytes": before,
        "input_bytes": prepared.input_bytes,
        "resident_bytes": prepared.resident_bytes,
        "peak_bytes": max(0, peak - before) + prepared.resident_bytes,
        "summary": summary,
        "extra": prepared.extra,
        "method": method,
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main())
