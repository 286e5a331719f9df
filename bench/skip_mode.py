"""Skip mode against a clean run: `shredder shred --on-error skip --jobs 1` over a JSON Lines
file, and over the same file with every third line made one the pipeline refuses: text that is
not JSON (exact mode, the default), or a document whose object member became a number (a shape
change, with --no-exact). Every run is a process of its own, --repeats times in one sitting;
the ratio of median wall times is what skip mode costs.

    .venv/bin/python bench/skip_mode.py [--copies 10] [--repeats 3] [--shredder PATH]

The input is the GitHub archive sample (800 events, 3 MB) repeated --copies times.
"""

from __future__ import annotations

import argparse
import json
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
SAMPLE = REPO.parent / "shared" / "data" / "real" / "gharchive_2021-07-21-few-hours.ndjson"


def refused_variant(line: str, shape: bool) -> str:
    if not shape:
        return line[: len(line) // 2]  # cut short: not JSON
    document = json.loads(line)
    key = next((k for k, v in document.items() if isinstance(v, dict)), None)
    return json.dumps({**document, key: 5}) if key else "[1]"


def write_inputs(folder: Path, copies: int, shape: bool) -> tuple[Path, Path]:
    lines = [line for line in SAMPLE.read_text(encoding="utf-8").splitlines() if line.strip()]
    # The refused lines of the shape corpus come after the first copy, which taught the shapes.
    clean = [line for _ in range(copies) for line in lines]
    refused = [refused_variant(line, shape) if i % 3 == 2 and i >= len(lines) else line
               for i, line in enumerate(clean)]
    paths = folder / "clean.jsonl", folder / "refused.jsonl"
    for path, content in zip(paths, (clean, refused)):
        path.write_text("\n".join(content) + "\n", encoding="utf-8")
    return paths


def run(shredder: str, path: Path, out: Path, exact: bool) -> float:
    shutil.rmtree(out, ignore_errors=True)
    command = [shredder, "shred", str(path), "-o", str(out),
               "--on-error", "skip", "--jobs", "1", "-q", *([] if exact else ["--no-exact"])]
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--shredder", default=str(REPO / ".venv" / "bin" / "shredder"),
                        help="the command to measure (another build's, to compare)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        for exact, label in ((True, "invalid JSON, exact"), (False, "shape changes, --no-exact")):
            clean, refused = write_inputs(folder, args.copies, shape=not exact)
            times = {p.name: statistics.median(run(args.shredder, p, folder / "out", exact)
                                               for _ in range(args.repeats))
                     for p in (clean, refused)}
            print(f"{label}: clean {times['clean.jsonl']:.2f} s, a third refused "
                  f"{times['refused.jsonl']:.2f} s, ratio "
                  f"{times['refused.jsonl'] / times['clean.jsonl']:.2f}", flush=True)


if __name__ == "__main__":
    sys.exit(main())
