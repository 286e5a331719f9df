"""Partitioned jobs on all cores: wall time of `shredder shred` and `shredder unshred` on one
large JSON Lines file with --jobs 1, --jobs 2 and a 2-worker Dask LocalCluster, `unshred
--verify` against `unshred`, and the peak memory of each worker process.

The file is built once from the real gharchive sample, its lines repeated with their "id"
made unique per copy (so that no two documents are equal), until it reaches --size-mb.
Each measurement runs the command line as a user would, in a process of its own; peak memory
is the largest VmHWM seen for the driver and for each worker while the job runs (sampled every
0.1 s; Dask workers report their own ru_maxrss, Dask included).

Run through `make bench` (after the single-thread suite) or directly:
    .venv/bin/python bench/parallel.py [--size-mb 1024] [--partition-size 64MiB]
Prints a table and writes bench/results/parallel-<time>.json and parallel-latest.md."""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import resource
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
MB = 1e6


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def build_input(source: Path, target: Path, size_mb: float) -> Path:
    if target.exists() and target.stat().st_size >= size_mb * MB:
        return target
    lines = [line for line in source.read_bytes().splitlines() if line.strip()]
    target.parent.mkdir(parents=True, exist_ok=True)
    written = 0
    copy = 0
    with open(target, "wb") as out:
        while written < size_mb * MB:
            prefix = b'{"id":"r%d-' % copy
            chunk = b"".join((prefix + line[len(b'{"id":"'):] if line.startswith(b'{"id":"')
                              else line) + b"\n" for line in lines)
            out.write(chunk)
            written += len(chunk)
            copy += 1
    return target


def descendants(pid: int) -> list[int]:
    found, frontier = [], [pid]
    while frontier:
        parent = frontier.pop()
        try:
            with open(f"/proc/{parent}/task/{parent}/children") as f:
                children = [int(c) for c in f.read().split()]
        except OSError:
            continue
        found += children
        frontier += children
    return found


def vm_hwm(pid: int) -> int | None:
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        return None
    return None


def command_line(name: str) -> str:
    try:
        with open(f"/proc/{name}/cmdline", "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return ""


def parent_of(pid: int) -> int | None:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[1])
    except (OSError, ValueError, IndexError):
        return None


def kind_of(pid: int, driver: int) -> str:
    """driver, worker, or helper (multiprocessing's fork server and resource tracker, which
    hold no data)."""
    if pid == driver:
        return "driver"
    line = command_line(str(pid))
    if "resource_tracker" in line or ("forkserver" in line and parent_of(pid) == driver):
        return "helper"
    return "worker"


TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float | None:
    """User and system CPU seconds the process has used so far (its own, not its children's)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK
    except (OSError, ValueError, IndexError):
        return None


def timed(args: list[str], ok: tuple[int, ...] = (0,)) -> dict:
    """Runs the command, returning wall seconds, the load average around it, and the peak
    memory and CPU seconds of the driver and of its worker processes (descendants that run
    partitions; the fork server and the resource tracker counted apart). CPU seconds are the
    last sample of each process (every 0.1 s), so a process's last tenth of a second may be
    missing; the driver's own are exact (from its exit)."""
    load_before = os.getloadavg()
    started = time.perf_counter()
    children_before = resource.getrusage(resource.RUSAGE_CHILDREN)
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    peaks: dict[int, int] = {}
    kinds: dict[int, str] = {}
    cpu: dict[int, float] = {}
    done = threading.Event()

    def sample() -> None:
        while not done.is_set():
            for pid in [process.pid, *descendants(process.pid)]:
                if pid not in kinds:
                    kinds[pid] = kind_of(pid, process.pid)
                peak = vm_hwm(pid)
                if peak:
                    peaks[pid] = max(peaks.get(pid, 0), peak)
                used = cpu_seconds(pid)
                if used is not None:
                    cpu[pid] = max(cpu.get(pid, 0.0), used)
            done.wait(0.1)

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    stdout, stderr = process.communicate()
    seconds = time.perf_counter() - started
    done.set()
    sampler.join()
    if process.returncode not in ok:
        raise RuntimeError(f"{' '.join(args)} failed: {stderr.decode()[-2000:]}")
    children_after = resource.getrusage(resource.RUSAGE_CHILDREN)
    workers = [peaks[p] for p, k in kinds.items() if k == "worker" and p in peaks]
    # the fork server holds the preloaded modules only; count it apart from the workers
    driver_cpu = (children_after.ru_utime + children_after.ru_stime
                  - children_before.ru_utime - children_before.ru_stime)
    return {"seconds": seconds, "driver_peak": peaks.get(process.pid),
            "worker_peak": max(workers) if workers else None,
            "driver_cpu": driver_cpu,
            "worker_cpu": sorted(round(cpu[p], 2) for p, k in kinds.items()
                                 if k == "worker" and p in cpu),
            "helper_cpu": round(sum(cpu[p] for p, k in kinds.items()
                                    if k == "helper" and p in cpu), 2),
            "load": [round(v, 2) for v in (*load_before, *os.getloadavg())],
            "stdout": stdout.decode()[-400:], "stderr": stderr.decode()[-400:]}


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size-mb", type=float, default=1024.0)
    p.add_argument("--partition-size", default="64MiB")
    p.add_argument("--batch-size", type=int, default=10_000)
    p.add_argument("--source", default=str(REPO.parent / "shared" / "data" / "real" /
                                           "gharchive_2021-07-21-few-hours.ndjson"))
    p.add_argument("--work-dir", default=str(REPO / "build" / "bench" / "parallel"))
    p.add_argument("--results-dir", default=str(HERE / "results"))
    p.add_argument("--skip-dask", action="store_true")
    p.add_argument("--skip-shred", action="store_true",
                   help="time only the unshreds, reading the atoms an earlier run left")
    args = p.parse_args(argv)

    work = Path(args.work_dir)
    source = Path(args.source)
    if not source.exists():
        alt = REPO.parent.parent / "shared" / "data" / "real" / source.name
        source = alt if alt.exists() else source
    big = build_input(source, work / f"gharchive-{int(args.size_mb)}MB.jsonl", args.size_mb)
    size = big.stat().st_size
    log(f"input {big} ({size / MB:,.0f} MB); {os.cpu_count()} cores online, "
        f"affinity {len(os.sched_getaffinity(0))}")
    cli = [sys.executable, "-m", "shredder"]
    common = ["--partition-size", args.partition_size, "--batch-size", str(args.batch_size)]
    results: dict[str, dict] = {}

    def run(label: str, command: list[str], ok: tuple[int, ...] = (0,)) -> None:
        log(f"  {label} ...")
        dask_before = _dask_cpu(cluster) if cluster is not None and "--dask" in command \
            else None
        results[label] = r = timed(command, ok)
        if dask_before is not None:
            # Dask's workers are the cluster's processes, not the command's: ask them
            r["worker_peak"] = _dask_peak(cluster)
            after = _dask_cpu(cluster)
            r["worker_cpu"] = sorted(round(after[w] - dask_before.get(w, 0.0), 2)
                                     for w in after)
        log(f"  {label}: {r['seconds']:.1f} s, CPU s driver {r['driver_cpu']:.1f} "
            f"workers {r['worker_cpu']}, load {r['load']}")

    engines = [("jobs 1", ["--jobs", "1"]), ("jobs 2", ["--jobs", "2"])]
    cluster: Any = None
    if not args.skip_dask:
        from dask.distributed import LocalCluster
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None)
        engines.append(("dask 2 workers", ["--dask", cluster.scheduler_address]))
    try:
        for label, engine in engines:
            atoms = work / f"atoms-{label.replace(' ', '-')}"
            if not args.skip_shred:
                shutil.rmtree(atoms, ignore_errors=True)
                # issue events whose "labels_url" and "labels"[].url meet in one column are
                # refused (no value is lost to a name): set aside, as a user would
                run(f"shred, {label}", [*cli, "shred", str(big), "-o", str(atoms), "-q",
                                        *common, "--on-error", "skip", *engine])
            out = work / "rebuilt.jsonl"
            out.unlink(missing_ok=True)
            run(f"unshred, {label}", [*cli, "unshred", str(atoms), "-o", str(out), "-q",
                                      *engine])
        atoms = work / "atoms-jobs-2"
        for jobs in ("1", "2"):
            out = work / "rebuilt.jsonl"
            out.unlink(missing_ok=True)
            run(f"unshred --verify, jobs {jobs}",
                [*cli, "unshred", str(atoms), "-o", str(out), "-q", "--verify", "--jobs", jobs],
                ok=(0, 2))  # 2: some documents did not come back exactly (keys with "_")
    finally:
        if cluster is not None:
            cluster.close()

    def ratio(a: str, b: str) -> float | None:
        if a in results and b in results:
            return results[a]["seconds"] / results[b]["seconds"]
        return None

    summary = {
        "shred speed-up jobs 2 vs jobs 1": ratio("shred, jobs 1", "shred, jobs 2"),
        "unshred speed-up jobs 2 vs jobs 1": ratio("unshred, jobs 1", "unshred, jobs 2"),
        "shred dask / jobs 2": ratio("shred, dask 2 workers", "shred, jobs 2"),
        "unshred dask / jobs 2": ratio("unshred, dask 2 workers", "unshred, jobs 2"),
        "unshred --verify / unshred, jobs 1": ratio("unshred --verify, jobs 1",
                                                    "unshred, jobs 1"),
        "unshred --verify / unshred, jobs 2": ratio("unshred --verify, jobs 2",
                                                    "unshred, jobs 2"),
    }
    lines = ["| job | wall s | MB/s of input | driver peak MB | peak per worker MB | "
             "driver CPU s | CPU s per worker | load average before, after |",
             "|---|---:|---:|---:|---:|---:|---:|---|"]
    for label, r in results.items():
        fmt = lambda v: "-" if v is None else f"{v / MB:,.0f}"  # noqa: E731
        workers = ", ".join(f"{c:.1f}" for c in r["worker_cpu"]) or "-"
        lines.append(f"| {label} | {r['seconds']:.1f} | {size / MB / r['seconds']:.1f} | "
                     f"{fmt(r['driver_peak'])} | {fmt(r['worker_peak'])} | "
                     f"{r['driver_cpu']:.1f} | {workers} | "
                     f"{r['load'][0]:.1f}, {r['load'][3]:.1f} |")
    lines += ["", "| ratio | measured |", "|---|---:|"]
    lines += [f"| {k} | {'-' if v is None else f'{v:.2f}'} |" for k, v in summary.items()]
    text = "\n".join(lines)
    print(text)
    rdir = Path(args.results_dir)
    rdir.mkdir(parents=True, exist_ok=True)
    stamp = dt.datetime.now().strftime("%Y%m%d-%H%M%S")
    doc = {"input_bytes": size, "args": vars(args), "results": results, "ratios": summary,
           "load_average": os.getloadavg()}
    (rdir / f"parallel-{stamp}.json").write_text(json.dumps(doc, indent=1))
    (rdir / "parallel-latest.md").write_text(text + "\n")
    return 0


def _dask_cpu(cluster) -> dict[str, float]:
    """CPU seconds each Dask worker process has used so far."""
    from dask.distributed import Client

    def used() -> float:
        import resource
        usage = resource.getrusage(resource.RUSAGE_SELF)
        return usage.ru_utime + usage.ru_stime

    with Client(cluster) as client:
        return client.run(used)


def _dask_peak(cluster) -> int | None:
    from dask.distributed import Client

    def peak() -> int:
        import resource
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

    with Client(cluster) as client:
        return max(client.run(peak).values(), default=None)


if __name__ == "__main__":
    sys.exit(main())
