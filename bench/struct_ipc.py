"""Writes a JSONL corpus as an Arrow IPC file of one struct column "doc", built as the suite
builds the Arrow codec's input (pyarrow.array of the parsed documents, one batch), for the
native driver's `--arrow` option:

    .venv/bin/python bench/struct_ipc.py build/bench/corpora/mixed-20MB-s8.jsonl mixed.arrow
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import jobs  # noqa: E402


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("jsonl")
    p.add_argument("output")
    args = p.parse_args(argv)
    import pyarrow as pa
    import pyarrow.ipc

    array = jobs.struct_array_from_jsonl(args.jsonl)
    batch = pa.RecordBatch.from_arrays([array], names=["doc"])
    with pa.ipc.new_file(args.output, batch.schema) as writer:
        writer.write_batch(batch)
    print(f"{args.output}: {len(array)} documents, {array.type.num_fields} top-level fields")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
