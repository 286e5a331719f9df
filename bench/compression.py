"""Atoms bytes per input byte and `shredder shred` wall time for each part compression.

Runs the command-line program as a user would, on each JSON Lines file given, once per
compression and repeat, in interleaved order (so that load from other processes on the machine
spreads over all choices alike), and prints a Markdown table with the best time of each choice,
its ratio to snappy's (the encoding parts had before the choice existed), and the bytes of the
atoms per byte of input.

    .venv/bin/python bench/compression.py FILE.jsonl [FILE.jsonl ...] [--repeats 3]

An orders-like file of any size comes from the demo's generator:
    .venv/bin/python examples/make_orders.py /tmp/orders-100k.jsonl --count 100000
"""

from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CHOICES = ("zstd", "snappy", "gzip", "none")


def shred_once(source: Path, compression: str, batch_size: int) -> tuple[float, int]:
    output = Path(tempfile.mkdtemp(prefix="shredder-bench-")) / "atoms"
    try:
        start = time.perf_counter()
        subprocess.run([sys.executable, "-m", "shredder", "shred", str(source), "-o",
                        str(output), "-q", "--compression", compression,
                        "--batch-size", str(batch_size)], check=True)
        seconds = time.perf_counter() - start
        manifest = json.loads((output / "_shredder.json").read_text())
        return seconds, manifest["atoms_bytes"]
    finally:
        shutil.rmtree(output.parent, ignore_errors=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inputs", nargs="+", type=Path)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--batch-size", type=int, default=10_000)
    args = parser.parse_args()
    print("| input | MB | compression | atoms / input | shred s (best) | time vs snappy |")
    print("|---|---:|---|---:|---:|---:|")
    for source in args.inputs:
        size = source.stat().st_size
        times: dict[str, list[float]] = {c: [] for c in CHOICES}
        sizes: dict[str, int] = {}
        for _ in range(args.repeats):
            for compression in CHOICES:
                seconds, atoms = shred_once(source, compression, args.batch_size)
                times[compression].append(seconds)
                sizes[compression] = atoms
        snappy = min(times["snappy"])
        for compression in CHOICES:
            best = min(times[compression])
            print(f"| {source.name} | {size / 1e6:,.1f} | {compression} | "
                  f"{sizes[compression] / size:.3f} | {best:.2f} | {best / snappy:.3f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
