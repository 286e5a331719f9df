"""End to end, as a user runs it: a JSON Lines file in, a Parquet dataset out, every core
allowed. `shredder shred` with --jobs 1 and with one job per core, beside the nearest job of
the readers users know, each with all its threads: pyarrow (read_json, flatten every struct,
write_table), polars (read_ndjson, unnest every struct, write_parquet) and DuckDB (read_json,
COPY to Parquet; structs stay groups). The peers keep lists nested and make no ids and no way
back. All write zstd Parquet.

Inputs: generated orders and the GitHub events sample (ids unique per copy), each to
--size-mb. Every command runs in a process of its own, --repeats times, all in one sitting;
the median wall time gives MB/s of input, and the ratios beside it are taken within the run.

    .venv/bin/python bench/end_to_end.py [--size-mb 100] [--repeats 3]
Writes bench/results/end-to-end-<time>.json and end-to-end-latest.md."""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

import corpora
import parallel

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
MB = 1e6

PEERS = {
    "pyarrow": """
import sys, pyarrow as pa, pyarrow.json as pj, pyarrow.parquet as pq
table = pj.read_json(sys.argv[1])
while any(pa.types.is_struct(f.type) for f in table.schema):
    table = table.flatten()
pq.write_table(table, sys.argv[2], compression="zstd")
""",
    "polars": """
import sys, polars as pl
frame = pl.read_ndjson(sys.argv[1], infer_schema_length=None)
while structs := [n for n, t in frame.schema.items() if isinstance(t, pl.Struct)]:
    frame = frame.unnest(*structs, separator=".")
frame.write_parquet(sys.argv[2], compression="zstd")
""",
    "duckdb": """
import sys, duckdb
duckdb.sql(f"COPY (SELECT * FROM read_json('{sys.argv[1]}', format='newline_delimited', "
           f"sample_size=-1)) TO '{sys.argv[2]}' (FORMAT parquet, COMPRESSION zstd)")
""",
}


def inputs(folder: Path, size_mb: float, data: Path) -> dict[str, Path]:
    orders = corpora.write_generated(folder / f"orders-{size_mb:g}MB.jsonl", "orders",
                                     size_bytes=int(size_mb * MB))
    events = parallel.build_input(data / "gharchive_2021-07-21-few-hours.ndjson",
                                  folder / f"gharchive-{size_mb:g}MB.jsonl", size_mb)
    return {"orders": orders, "github events": events}


def commands(source: Path, out: Path, cores: int) -> dict[str, list[str]]:
    shredder = [str(Path(sys.executable).parent / "shredder"), "shred", str(source), "-o",
                str(out), "-q", "--force"]
    found = {"shredder --jobs 1": shredder + ["--jobs", "1"],
             f"shredder --jobs {cores}": shredder + ["--jobs", str(cores)]}
    for name, script in PEERS.items():
        found[name] = [sys.executable, "-c", script, str(source), str(out / "out.parquet")]
    return found


def timed(command: list[str], out: Path) -> float | str:
    """Wall seconds of one run, or the last line of its error when it fails (a peer that
    cannot read an input is a result too)."""
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True)
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        return (done.stderr.strip().splitlines() or ["no message"])[-1][:160]
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=float, default=100)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--data", type=Path, default=REPO.parent / "shared" / "data" / "real")
    parser.add_argument("--work", type=Path, default=REPO / "build" / "bench" / "end_to_end")
    args = parser.parse_args()
    cores = len(os.sched_getaffinity(0))
    rows = []
    for corpus, source in inputs(args.work, args.size_mb, args.data).items():
        size = source.stat().st_size
        out = args.work / "out"
        for name, command in commands(source, out, cores).items():
            runs = [timed(command, out) for _ in range(args.repeats)]
            failure = next((r for r in runs if isinstance(r, str)), None)
            row = {"corpus": corpus, "job": name, "input_mb": size / MB, "failed": failure}
            if failure is None:
                row["seconds"] = statistics.median(runs)
                row["mb_per_s"] = size / MB / row["seconds"]
            rows.append(row)
            print(f"{corpus:14} {name:20} {row.get('mb_per_s', 0):7.1f} MB/s "
                  f"{failure or ''}", file=sys.stderr)
    report(rows, cores)


def report(rows: list[dict], cores: int) -> None:
    commit = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    load = os.getloadavg()
    stamp = dt.datetime.now().strftime("%Y%m%d-%H%M%S")
    results = HERE / "results"
    results.mkdir(exist_ok=True)
    meta = {"commit": commit, "load": load, "cores": cores, "when": stamp}
    (results / f"end-to-end-{stamp}.json").write_text(json.dumps({**meta, "rows": rows},
                                                                indent=1))
    lines = [f"End to end, JSON Lines to Parquet, commit {commit}, {cores} cores, load average "
             f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f} at the end",
             "", "| corpus | job | MB/s | × shredder --jobs 1 |", "|---|---|---:|---:|"]
    for row in rows:
        base = next(r for r in rows if r["corpus"] == row["corpus"]
                    and r["job"] == "shredder --jobs 1")
        if row["failed"] or base["failed"]:
            lines.append(f"| {row['corpus']} | {row['job']} | failed: {row['failed']} | |")
            continue
        lines.append(f"| {row['corpus']} | {row['job']} | {row['mb_per_s']:.1f} | "
                     f"{base['seconds'] / row['seconds']:.2f} |")
    text = "\n".join(lines) + "\n"
    (results / "end-to-end-latest.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
