"""Shred, unshred and the pyarrow peer timed in turn, round after round, in process CPU time.

On a machine shared with other work the suite's figures (wall time, one job after another)
move with the load; here every round runs each job once, so all of them see the same
moments, and the fastest round of each (the least disturbed) gives the ratios. One thread
everywhere, as in run.py.

    .venv/bin/python bench/interleaved.py --shapes mixed orders --rounds 7
    .venv/bin/python bench/interleaved.py --shapes mixed --arrow   # also the Arrow codec's shred
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import common  # noqa: E402
import corpora  # noqa: E402
import jobs  # noqa: E402

JOBS = ("shred_json", "unshred_json", "peer_pyarrow")


def measure(path: Path, rounds: int, batch_docs: int,
            names: tuple[str, ...] = JOBS) -> dict[str, float]:
    max_line = max(len(line) for line in path.read_bytes().splitlines())
    prepared = {j: jobs.prepare(j, str(path), batch_docs=batch_docs, max_line=max_line)
                for j in names}
    best = {j: float("inf") for j in names}
    for r in range(rounds + 1):
        for j in names:
            start = time.process_time()
            prepared[j].run()
            spent = time.process_time() - start
            if r > 0:  # the first round warms up
                best[j] = min(best[j], spent)
    return best


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--shapes", nargs="+", default=list(corpora.SHAPES), choices=corpora.SHAPES)
    p.add_argument("--size-mb", type=float, default=20.0)
    p.add_argument("--seed", type=int, default=8)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--batch-docs", type=int, default=10_000)
    p.add_argument("--work-dir", default=str(HERE.parent / "build" / "bench" / "corpora"))
    p.add_argument("--arrow", action="store_true",
                   help="also time the Arrow codec's shred (struct column input) in every round")
    args = p.parse_args(argv)
    names = JOBS + (("shred_arrow",) if args.arrow else ())
    common.pin_threads()
    common.configure_arrow()
    work = Path(args.work_dir)
    print("corpus          shred s  unshred s  pyarrow s  shred/pyarrow  unshred/shred (docs/s)"
          + ("  arrow shred s  arrow/json shred" if args.arrow else ""))
    for shape in args.shapes:
        path = work / f"{shape}-{args.size_mb:g}MB-s{args.seed}.jsonl"
        corpora.write_generated(path, shape, size_bytes=int(args.size_mb * 1e6), seed=args.seed)
        t = measure(path, args.rounds, args.batch_docs, names)
        arrow = (f" {t['shred_arrow']:14.3f} {t['shred_arrow'] / t['shred_json']:17.2f}"
                 if args.arrow else "")
        print(f"{shape:14s} {t['shred_json']:8.3f} {t['unshred_json']:10.3f} "
              f"{t['peer_pyarrow']:10.3f} {t['shred_json'] / t['peer_pyarrow']:14.2f} "
              f"{t['shred_json'] / t['unshred_json']:14.2f}{arrow}", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
