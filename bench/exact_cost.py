"""What exact mode costs: the engine's shred with an exact handle against a plain one, and the
bytes of their atoms, on the generated corpora and the GitHub events sample.

Both are timed in turn, round after round, in process CPU time; the fastest round of each
gives the ratio (see interleaved.py). Atoms bytes are the Arrow buffers of the atoms batches.
Documents a plain handle refuses are left out of both, so that both shred the same input.

    .venv/bin/python bench/exact_cost.py --size-mb 10 --rounds 5
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import pyarrow as pa

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import common  # noqa: E402
import corpora  # noqa: E402

import shredder_ext  # noqa: E402

GHARCHIVE = HERE.parent.parent / "shared" / "data" / "real" / \
    "gharchive_2021-07-21-few-hours.ndjson"


def batches_of(lines: list[bytes], batch_docs: int) -> list[pa.RecordBatch]:
    return [pa.record_batch([pa.array(lines[i:i + batch_docs], pa.binary())], names=["doc"])
            for i in range(0, len(lines), batch_docs)]


def plain_accepted(lines: list[bytes]) -> list[bytes]:
    handle = shredder_ext.create_controller("json")
    kept = []
    for line in lines:
        try:
            shredder_ext.shred_arrow(handle, batches_of([line], 1)[0])
            kept.append(line)
        except ValueError:
            pass
    return kept


def shred_all(batches: list[pa.RecordBatch], exact: bool) -> tuple[float, int]:
    handle = shredder_ext.create_controller("json", exact=exact)
    start = time.process_time()
    atoms = [shredder_ext.shred_arrow(handle, b) for b in batches]
    spent = time.process_time() - start
    return spent, sum(a.nbytes for a in atoms)


def measure(lines: list[bytes], rounds: int, batch_docs: int) -> dict[str, float]:
    batches = batches_of(lines, batch_docs)
    best = {"plain": float("inf"), "exact": float("inf")}
    size = {}
    for r in range(rounds + 1):
        for mode in ("plain", "exact"):
            spent, nbytes = shred_all(batches, mode == "exact")
            size[mode] = nbytes
            if r > 0:  # the first round warms up
                best[mode] = min(best[mode], spent)
    return {"time": best["exact"] / best["plain"], "bytes": size["exact"] / size["plain"],
            "plain_s": best["plain"], "exact_s": best["exact"]}


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--shapes", nargs="+", default=list(corpora.SHAPES), choices=corpora.SHAPES)
    p.add_argument("--size-mb", type=float, default=10.0)
    p.add_argument("--seed", type=int, default=8)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--batch-docs", type=int, default=10_000)
    p.add_argument("--work-dir", default=str(HERE.parent / "build" / "bench" / "corpora"))
    args = p.parse_args(argv)
    common.pin_threads()
    common.configure_arrow()
    work = Path(args.work_dir)
    print("corpus          plain s  exact s  exact/plain time  exact/plain bytes")
    inputs = []
    for shape in args.shapes:
        path = work / f"{shape}-{args.size_mb:g}MB-s{args.seed}.jsonl"
        corpora.write_generated(path, shape, size_bytes=int(args.size_mb * 1e6), seed=args.seed)
        inputs.append((shape, path))
    if GHARCHIVE.exists():
        inputs.append(("gharchive", GHARCHIVE))
    for name, path in inputs:
        lines = plain_accepted([line for line in path.read_bytes().splitlines() if line.strip()])
        r = measure(lines, args.rounds, args.batch_docs)
        print(f"{name:14s} {r['plain_s']:8.3f} {r['exact_s']:8.3f} {r['time']:17.3f} "
              f"{r['bytes']:18.3f}", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
