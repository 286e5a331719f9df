"""The same jobs on a real Dask distributed cluster (two worker processes on 127.0.0.1): the
same parts as one local process, and a worker killed mid-run retried by Dask with every
document landing exactly once."""

from __future__ import annotations

import json
import os
import signal
import threading
import time

import pytest
from dask.distributed import Client, LocalCluster

import shredder
from shredder.jobs.progress import JobProgress

from jobs_helpers import corpus, dataset_files, documents, rebuilt, run, write_jsonl  # noqa: F401

SMALL = ["--partition-size", "4000", "--batch-size", "25", "-q"]


@pytest.fixture(scope="module")
def cluster():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as local:
        yield local


def test_a_dask_cluster_writes_the_parts_of_one_local_process(tmp_path, corpus, cluster):
    source, _ = corpus
    run("shred", source, "-o", tmp_path / "local", "--jobs", 1, *SMALL)
    run("shred", source, "-o", tmp_path / "dask", "--dask", cluster.scheduler_address, *SMALL)
    assert dataset_files(tmp_path / "dask") == dataset_files(tmp_path / "local")
    run("unshred", tmp_path / "local", "-o", tmp_path / "local.jsonl", "--jobs", 1, "-q")
    run("unshred", tmp_path / "dask", "-o", tmp_path / "dask.jsonl", "--dask",
        cluster.scheduler_address, "-q")
    assert (tmp_path / "dask.jsonl").read_bytes() == (tmp_path / "local.jsonl").read_bytes()


def test_a_worker_killed_mid_run_is_retried_and_every_document_lands_once(tmp_path, cluster):
    docs = documents(4000)
    source = write_jsonl(tmp_path / "in.jsonl", docs)
    options = dict(partition_size=3000, batch_size=5)
    shredder.shred_files(source, tmp_path / "local", jobs=1, **options)
    markers = tmp_path / "dask" / "_partitions"
    killed = []

    def kill_a_worker(client: Client) -> None:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and len(list(markers.glob("partition-*"))) < 5:
            time.sleep(0.005)
        pid = next(iter(client.run(os.getpid).values()))
        os.kill(pid, signal.SIGKILL)
        killed.append(pid)

    with Client(cluster) as client:
        killer = threading.Thread(target=kill_a_worker, args=(client,))
        killer.start()
        summary = shredder.shred_files(source, tmp_path / "dask", executor=client.get_executor(),
                                       **options)
        killer.join()
        client.wait_for_workers(2, timeout=60)
    assert killed, "no worker was killed"
    assert summary.documents == len(docs)
    assert dataset_files(tmp_path / "dask") == dataset_files(tmp_path / "local")
    assert not list((tmp_path / "dask").glob(".tmp-*"))
    shredder.unshred_files(tmp_path / "dask", tmp_path / "out.jsonl", jobs=1)
    assert [d["id"] for d in rebuilt(tmp_path / "out.jsonl")] == [d["id"] for d in docs]
    manifest = json.loads((tmp_path / "dask" / "_shredder.json").read_text())
    assert sum(p["documents"] for p in manifest["parts"]) == len(docs)


def test_workers_report_their_batches_to_the_progress_line(tmp_path, corpus, cluster):
    source, _ = corpus
    reports = []

    class Recorder(JobProgress):
        def batch_done(self, index, documents, nbytes):
            reports.append((index, documents))
            super().batch_done(index, documents, nbytes)

    progress = Recorder("shred", enabled=False)
    summary = shredder.shred_files(source, tmp_path / "atoms", dask=cluster.scheduler_address,
                                   partition_size=20000, batch_size=5, progress=progress)
    assert reports and all(0 < documents <= 5 for _, documents in reports)
    assert progress.documents == summary.documents == 600
