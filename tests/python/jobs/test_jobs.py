"""Partitioned jobs on local processes: the same dataset for any number of jobs, the manifest
in input order, standard input, several inputs, failures that leave nothing half-written,
interrupted runs resumed, and progress summed over the workers."""

from __future__ import annotations

import io
import itertools
import json
import multiprocessing
import os
import re
import signal
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pyarrow.parquet as pq
import pytest

import shredder
from shredder.core.errors import UserError
from shredder.jobs import shred_partition
from shredder.jobs.executors import InProcessExecutor
from shredder.jobs.progress import JobProgress

from jobs_helpers import (child_env, corpus, dataset_files, documents,  # noqa: F401
                          no_temporary_files, rebuilt, run, write_jsonl)

SMALL = ["--partition-size", "4000", "--batch-size", "25", "-q"]


@pytest.mark.parametrize("fmt", ["parquet", "arrow"])
def test_jobs_1_and_2_write_the_same_dataset_byte_for_byte(tmp_path, corpus, fmt):
    source, docs = corpus
    for jobs in (1, 2):
        run("shred", source, "-o", tmp_path / f"j{jobs}", "--jobs", jobs, "--format", fmt, *SMALL)
    one, two = dataset_files(tmp_path / "j1"), dataset_files(tmp_path / "j2")
    assert one == two
    assert len([name for name in one if name.startswith("part-")]) > 10
    for jobs in (1, 2):
        run("unshred", tmp_path / f"j{jobs}", "-o", tmp_path / f"j{jobs}.jsonl", "--jobs", jobs,
            "-q")
    assert (tmp_path / "j1.jsonl").read_bytes() == (tmp_path / "j2.jsonl").read_bytes()
    assert [d["id"] for d in rebuilt(tmp_path / "j1.jsonl")] == [d["id"] for d in docs]


def test_github_events_give_the_same_dataset_whatever_partitions_a_worker_ran(tmp_path,
                                                                           real_data_dir):
    # Every batch makes one name with two key lists; each partition's handle starts from what
    # the worker's partition before guessed, which differs between one and two jobs.
    source = real_data_dir / "gharchive_2021-07-21-few-hours.ndjson"
    for jobs in (1, 2):
        run("shred", source, "-o", tmp_path / f"j{jobs}", "--jobs", jobs, "--partition-size",
            "400KB", "--batch-size", "60", "-q")
    one, two = dataset_files(tmp_path / "j1"), dataset_files(tmp_path / "j2")
    assert one == two
    assert len([name for name in one if name.startswith("part-")]) > 10


def test_a_probe_of_the_first_documents_leaves_the_parts_as_they_are(tmp_path, real_data_dir,
                                                                     monkeypatch):
    # The first partition's handle guesses from a probe of its first 100 documents (the later
    # ones take the guess handed on), against no probe at all.
    from shredder.jobs import shred_partition

    source = real_data_dir / "gharchive_2021-07-21-few-hours.ndjson"
    guesses = []
    probe = shred_partition._probe
    monkeypatch.setattr(shred_partition, "_probe",
                        lambda *args: guesses.append(probe(*args)) or guesses[-1])
    for name, documents in (("probed", 100), ("plain", 10**9)):
        monkeypatch.setattr(shred_partition, "PROBE_DOCUMENTS", documents)
        monkeypatch.setattr(shred_partition, "_carried", ("", {}))
        shredder.shred_files([source], tmp_path / name, jobs=1, partition_size=1_500_000,
                             batch_size=200)
    assert len(guesses) == 1 and guesses[0]  # the probe found the events' shared name
    assert dataset_files(tmp_path / "probed") == dataset_files(tmp_path / "plain")


def test_the_manifest_lists_parts_in_input_order_with_their_lines(tmp_path):
    lines = [json.dumps(d) for d in documents(300)]
    lines[40:40] = ["", "   "]  # empty lines count as lines, and hold no document
    source = tmp_path / "in.jsonl"
    source.write_text("\r\n".join(lines))  # CRLF, and no newline after the last line
    run("shred", source, "-o", tmp_path / "atoms", "--jobs", 2, *SMALL)
    manifest = json.loads((tmp_path / "atoms" / "_shredder.json").read_text())
    expected_line = 1
    for part in manifest["parts"]:
        first, last = part["input"]["lines"]
        assert part["input"]["file"] == str(source)
        ids = set(pq.read_table(tmp_path / "atoms" / part["file"]).column("root_id").to_pylist())
        on_lines = {json.loads(lines[n - 1])["id"] for n in range(first, last + 1)
                    if lines[n - 1].strip()}
        assert ids == on_lines, part
        assert first >= expected_line
        expected_line = last + 1
    assert expected_line == len(lines) + 1
    assert manifest["documents"] == 300
    assert [p["file"] for p in manifest["parts"]] == sorted(p["file"] for p in manifest["parts"])


def test_shapes_are_learned_per_partition(tmp_path):
    docs = [{"id": 1, "tags": ["a", "b"]}, {"id": 2, "tags": "c"}]
    source = write_jsonl(tmp_path / "in.jsonl", docs)
    size = len(json.dumps(docs[0])) + 1  # each document in a partition of its own
    # Plain atoms show the wrap; exact atoms give "c" back alone either way.
    run("shred", "--no-exact", source, "-o", tmp_path / "one", "-q")
    run("shred", "--no-exact", source, "-o", tmp_path / "two", "--partition-size", size, "-q")
    for name, tags in (("one", ["c"]), ("two", "c")):
        run("unshred", tmp_path / name, "-o", tmp_path / f"{name}.jsonl", "-q")
        assert rebuilt(tmp_path / f"{name}.jsonl")[1]["tags"] == tags


def test_standard_input_gives_the_parts_of_the_file(tmp_path, corpus):
    source, _ = corpus
    run("shred", source, "-o", tmp_path / "file", "--jobs", 2, *SMALL)
    run("shred", "-", "-o", tmp_path / "stdin", "--jobs", 2, *SMALL, input=source.read_bytes())
    from_file, from_stdin = dataset_files(tmp_path / "file"), dataset_files(tmp_path / "stdin")
    manifest = json.loads(from_stdin.pop("_shredder.json"))
    assert {p["input"]["file"] for p in manifest["parts"]} == {"-"}
    expected = json.loads(from_file.pop("_shredder.json"))
    for part in expected["parts"]:
        part["input"]["file"] = "-"
    assert manifest == expected
    assert from_stdin == from_file


def test_folders_and_patterns_are_read_in_name_order(tmp_path):
    logs = tmp_path / "logs"
    logs.mkdir()
    write_jsonl(logs / "2026-02.jsonl", documents(5, 200))
    write_jsonl(logs / "2026-01.jsonl", documents(5, 100))
    write_jsonl(logs / "2025-12.jsonl", documents(5, 0))
    run("shred", logs, "-o", tmp_path / "folder", "-q")
    run("shred", str(logs / "2026-*.jsonl"), str(logs / "2025-12.jsonl"), "-o",
        tmp_path / "pattern", "-q")
    inputs = lambda name: [p["input"]["file"].rsplit("/", 1)[-1] for p in json.loads(  # noqa
        (tmp_path / name / "_shredder.json").read_text())["parts"]]
    assert inputs("folder") == ["2025-12.jsonl", "2026-01.jsonl", "2026-02.jsonl"]
    assert inputs("pattern") == ["2026-01.jsonl", "2026-02.jsonl", "2025-12.jsonl"]


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_bad_line_deep_in_the_file_is_named_by_its_line_and_nothing_is_left_half_done(
        tmp_path, corpus, jobs):
    source, _ = corpus
    lines = source.read_text().splitlines()
    lines[457] = '{"id": 457, "broken": '
    source.write_text("\n".join(lines) + "\n")
    result = run("shred", source, "-o", tmp_path / "atoms", "--jobs", jobs, *SMALL, ok=False)
    stderr = result.stderr.decode()
    assert result.returncode == 1
    assert f"{source}:line 458: shred failed: JSON parse failure" in stderr
    assert len(stderr.strip().splitlines()) == 1 and "Traceback" not in stderr
    assert not (tmp_path / "atoms" / "_shredder.json").exists()
    assert no_temporary_files(tmp_path / "atoms")


@pytest.mark.parametrize("failing", [2, 4])  # a part with parts after it, the last part
def test_a_part_that_fails_to_write_fails_the_job_and_no_part_is_written_after_it(
        tmp_path, corpus, monkeypatch, failing):
    source, _ = corpus
    calls = itertools.count(1)

    def write_part(atoms, stream, fmt, compression):
        if next(calls) == failing:
            stream.write(b"half a part")
            raise OSError("disk full")
        original(atoms, stream, fmt, compression)

    original = shred_partition.write_part
    monkeypatch.setattr(shred_partition, "write_part", write_part)
    # named by the part it was writing (a full disk used to say only what the system said)
    with pytest.raises(UserError, match=r"atoms/_partitions/part-\d{5}-\d{5}\.parquet: cannot "
                                        r"write: disk full$"):
        shredder.shred_files([source], tmp_path / "atoms", jobs=1, batch_size=150)
    assert next(calls) == failing + 1  # no part started after the one that failed
    assert not list((tmp_path / "atoms").rglob("*"))


def start_shred(source: Path, output: Path, *extra: object) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-m", "shredder", "shred", str(source), "-o",
                             str(output), "--jobs", "2", "--partition-size", "2000",
                             "--batch-size", "5", "-q", *map(str, extra)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env())


def wait_for_markers(process: subprocess.Popen, output: Path, count: int) -> None:
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if len(list((output / "_partitions").glob("partition-*.json"))) >= count:
            return
        if process.poll() is not None:
            pytest.fail("the run ended before it could be interrupted: make it longer")
        time.sleep(0.005)
    process.kill()
    pytest.fail("no partition finished within 60 s")


@pytest.mark.parametrize("how", [signal.SIGKILL, signal.SIGTERM, signal.SIGINT])
def test_an_interrupted_run_resumes_to_the_dataset_of_a_clean_run(tmp_path, how):
    source = write_jsonl(tmp_path / "in.jsonl", documents(3000))
    run("shred", source, "-o", tmp_path / "clean", "--jobs", 1, "--partition-size", 2000,
        "--batch-size", 5, "-q", timeout=300)
    process = start_shred(source, tmp_path / "atoms")
    wait_for_markers(process, tmp_path / "atoms", 3)
    process.send_signal(how)
    _, stderr = process.communicate(timeout=60)
    assert not (tmp_path / "atoms" / "_shredder.json").exists()
    if how != signal.SIGKILL:
        assert (process.returncode, stderr) == {
            signal.SIGTERM: (143, b"shredder: terminated\n"),
            signal.SIGINT: (130, b"shredder: interrupted\n")}[how]
        assert no_temporary_files(tmp_path / "atoms")
    else:
        time.sleep(1)  # its workers finish the partition they hold, then see the driver gone
    finished = len(list((tmp_path / "atoms" / "_partitions").glob("partition-*.json")))
    assert finished >= 3
    run("shred", source, "-o", tmp_path / "atoms", "--jobs", 2, "--partition-size", 2000,
        "--batch-size", 5, "-q", "--resume", timeout=300)
    assert dataset_files(tmp_path / "atoms") == dataset_files(tmp_path / "clean")
    assert not (tmp_path / "atoms" / "_partitions").exists()
    assert no_temporary_files(tmp_path / "atoms")


def test_resume_reuses_only_what_matches(tmp_path, corpus):
    source, _ = corpus
    run("shred", source, "-o", tmp_path / "atoms", *SMALL)
    result = run("shred", source, "-o", tmp_path / "atoms", *SMALL, "--resume", ok=False)
    assert b"the dataset is complete; nothing to resume" in result.stderr
    (tmp_path / "atoms" / "_shredder.json").unlink()
    result = run("shred", source, "-o", tmp_path / "atoms", *SMALL, "--resume", ok=False)
    assert b"nothing to resume (no record of an earlier run)" in result.stderr

    process = start_shred(source, tmp_path / "other")
    process.wait(timeout=120)
    (tmp_path / "other" / "_shredder.json").unlink()
    (tmp_path / "other" / "_partitions").mkdir()
    (tmp_path / "other" / "_partitions" / "job.json").write_text(json.dumps(
        {"options": {"fmt": "parquet"}, "partitions": []}))
    result = run("shred", source, "-o", tmp_path / "other", *SMALL, "--resume", ok=False)
    assert b"cannot resume: the earlier run had other inputs or options" in result.stderr


def test_force_replaces_only_the_dataset_and_never_holds_its_input(tmp_path, corpus):
    source, _ = corpus
    atoms = tmp_path / "atoms"
    run("shred", source, "-o", atoms, *SMALL)
    (atoms / "notes.txt").write_text("mine")
    result = run("shred", source, "-o", atoms, "-q", ok=False)
    assert b"output folder is not empty (use --force to replace)" in result.stderr
    run("shred", source, "-o", atoms, "-q", "--force")
    assert sorted(p.name for p in atoms.iterdir()) == [
        "_shredder.json", "notes.txt", "part-00000-00000.parquet"]
    result = run("shred", source, "-o", tmp_path, "-q", "--force", ok=False)
    assert f"{tmp_path}: the output folder holds the input {source}".encode() in result.stderr
    assert source.exists()


@pytest.mark.parametrize("output", ["out.jsonl", "out.jsonl.gz", "out.parquet", "out.arrow"])
def test_unshred_on_workers_writes_the_file_of_one_process(tmp_path, corpus, output):
    source, _ = corpus
    run("shred", source, "-o", tmp_path / "atoms", *SMALL)
    results = {}
    for jobs in (1, 2):
        target = tmp_path / str(jobs) / output
        result = run("unshred", tmp_path / "atoms", "-o", target, "--jobs", jobs, "--verify")
        results[jobs] = (target.read_bytes(), result.stdout)
    assert results[1] == results[2]
    assert b"verified 600 documents: " in results[1][1]
    assert no_temporary_files(tmp_path / "2")


def test_python_jobs_take_any_executor_and_summarise(tmp_path, corpus):
    source, docs = corpus
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        summary = shredder.shred_files([source], tmp_path / "atoms", executor=pool,
                                       partition_size=4000, batch_size=25)
        back = shredder.unshred_files(tmp_path / "atoms", tmp_path / "out.jsonl", executor=pool,
                                      verify=True)
    assert (summary.documents, summary.bytes, summary.rejects) == (600, source.stat().st_size, 0)
    assert summary.parts == len(json.loads((tmp_path / "atoms" / "_shredder.json").read_text())[
        "parts"])
    assert repr(summary).startswith("ShredSummary(documents=600, parts=")
    assert back.documents == 600 and back.verify.checked == 600
    assert repr(back).startswith("UnshredSummary(documents=600, ")
    with pytest.raises(UserError, match="standard input"):
        shredder.shred_files("-", tmp_path / "x", executor=ProcessPoolExecutor(1))


class FakeClock:
    def __init__(self) -> None:
        self.now = 100.0

    def __call__(self) -> float:
        return self.now


def test_progress_sums_the_work_of_all_workers():
    clock = FakeClock()
    progress = JobProgress("shred", enabled=False, stream=io.StringIO(), clock=clock)
    progress.start(4, 4_000_000)
    advance = progress.batch_callback(0)  # partition 0 runs here, batch by batch
    advance(10, 500_000)
    advance(10, 500_000)
    clock.now += 2
    assert progress.render() == ("shred: 0/4 partitions  20 documents  1.0 MB  0.5 MB/s  "
                                 "0:02 elapsed  0:06 left")
    progress.partition_done(2, 30, 1_000_000)  # workers report whole partitions, in any order
    progress.partition_done(0, 25, 1_000_000)  # replaces what its batches reported
    progress.partition_done(0, 25, 1_000_000)  # a retried partition counts once
    clock.now += 2
    assert progress.render() == ("shred: 2/4 partitions  55 documents  2.0 MB  0.5 MB/s  "
                                 "0:04 elapsed  0:04 left")
    progress.partition_done(3, 5, 1_000_000)
    progress.partition_done(1, 5, 1_000_000)
    assert (progress.partitions_done, progress.documents, progress.nbytes) == (4, 65, 4_000_000)


def test_progress_of_a_split_job_adds_up(tmp_path, corpus):
    source, _ = corpus
    progress = JobProgress("shred", enabled=False)
    summary = shredder.shred_files(source, tmp_path / "atoms", jobs=2, partition_size=4000,
                                   batch_size=25, progress=progress)
    assert progress.partitions_done == progress.partitions_total == summary.partitions >= 10
    assert (progress.documents, progress.nbytes) == (600, source.stat().st_size)


def test_skip_mode_sets_bad_lines_of_every_partition_aside_with_their_file_lines(tmp_path,
                                                                                 corpus):
    source, _ = corpus
    lines = source.read_text().splitlines()
    bad = [5, 250, 599]  # lines (from 1) in the first, a middle and the last partition
    for number in bad:
        lines[number - 1] = '{"id": %d, "broken": ' % number
    source.write_text("\n".join(lines) + "\n")
    for jobs in (1, 2):
        run("shred", source, "-o", tmp_path / f"j{jobs}", "--jobs", jobs, "--on-error", "skip",
            *SMALL)
    assert dataset_files(tmp_path / "j1") == dataset_files(tmp_path / "j2")
    rejects = sorted((tmp_path / "j2" / "_rejects").iterdir())
    assert dataset_files(tmp_path / "j1" / "_rejects") == dataset_files(tmp_path / "j2" /
                                                                       "_rejects")
    records = [json.loads(line) for path in rejects for line in path.read_text().splitlines()]
    assert [(r["input"], r["line"], r["document"]) for r in records] == [
        (str(source), n, lines[n - 1]) for n in bad]
    assert all("JSON parse failure" in r["error"] for r in records)
    manifest = json.loads((tmp_path / "j2" / "_shredder.json").read_text())
    assert (manifest["documents"], manifest["rejected"]) == (597, 3)
    assert manifest["rejects"] == [f"_rejects/{p.name}" for p in rejects]

    result = run("shred", source, "-o", tmp_path / "limited", "--jobs", 2, "--on-error", "skip",
                 "--max-rejects", 2, *SMALL, ok=False)
    assert result.returncode == 1
    assert b"more than 2 documents refused (--max-rejects); the last: " in result.stderr
    assert not (tmp_path / "limited").exists()


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


class StopAfter(InProcessExecutor):
    """Runs partitions here, and is interrupted before the partition ``count``."""

    def __init__(self, count: int) -> None:
        self.count = count

    def submit(self, fn, /, *args, **kwargs):
        self.count -= 1
        if self.count < 0:
            raise KeyboardInterrupt
        return super().submit(fn, *args, **kwargs)


@pytest.mark.parametrize("jobs", [1, 2])
def test_progress_follows_the_batches_of_every_worker_and_never_counts_down(tmp_path, jobs):
    """It used to move only when partitions ended, and to drop at the end of a partition by its
    refused documents, which its batches had counted."""
    lines = [json.dumps(d) for d in documents(4000)]
    lines[::9] = ["not json"] * len(lines[::9])
    source = tmp_path / "in.jsonl"
    source.write_text("\n".join(lines) + "\n")
    # a partition's documents fit one batch by count; the batches' text cap cuts it
    options = dict(partition_size=source.stat().st_size // 4, batch_bytes=4000, errors="skip")
    with pytest.raises(KeyboardInterrupt):
        shredder.shred_files(source, tmp_path / "atoms", executor=StopAfter(2), **options)
    stream = Terminal()
    progress = JobProgress("shred", enabled=True, stream=stream, clock=itertools.count().__next__)
    summary = shredder.shred_files(source, tmp_path / "atoms", jobs=jobs, resume=True,
                                   progress=progress, **options)
    notice, *drawn = stream.getvalue().split("\r")
    assert notice == "shred: resuming: 2 of 4 partitions done by the earlier run are reused (0-1)\n"
    counts = [(int(done), int(docs.replace(",", ""))) for done, docs in
              (re.search(r"(\d+)/4 partitions +([\d,]+) documents", line).groups()
               for line in drawn)]
    assert [docs for _, docs in counts] == sorted(docs for _, docs in counts)
    assert counts[-1] == (4, summary.documents) and summary.reused == [0, 1]
    # moving before the first of the partitions run here ends, batch by batch
    assert len({docs for done, docs in counts if done == 2}) > 3, counts


def test_planning_a_json_file_shows_what_it_read_then_makes_way_for_the_progress(tmp_path):
    source = tmp_path / "in.json"
    source.write_text(json.dumps(documents(600)))
    megabytes = f"{source.stat().st_size / 1e6:,.1f}"
    stream = Terminal()
    progress = JobProgress("shred", enabled=True, stream=stream, clock=itertools.count().__next__)
    shredder.shred_files(source, tmp_path / "atoms", jobs=1,
                         partition_size=source.stat().st_size // 3, progress=progress)
    empty, planning, blank, cleared, first, *_ = stream.getvalue().split("\r")
    assert planning == f"shred: planning: {megabytes} of {megabytes} MB of JSON read to place " \
                       "partitions"
    assert (empty, blank, cleared) == ("", " " * len(planning), "")
    assert first.startswith("shred: 0/3 partitions  0 documents")


def test_a_batch_whose_atoms_would_not_fit_one_batch_is_shredded_in_halves(tmp_path,
                                                                          monkeypatch):
    """The engine's bound on an atoms batch (cells, or bytes of a column) used to fail the
    whole run, with --on-error skip too; here a batch of more than 3 documents passes it."""
    real = shred_partition.shred_batch

    def bounded(handle, batch, codec, errors):
        # more than 3 documents, or document 23 alone
        if batch.num_rows > 3 or b'"id": 23,' in batch.column(0)[0].as_py():
            error = ValueError("shred failed: Controller: atoms batch too large; shred fewer "
                               "documents per batch")
            error.code, error.row = "too_large", None
            raise error
        return real(handle, batch, codec, errors)

    lines = [json.dumps(d) for d in documents(40)]
    lines[17] = '{"id": 17, "broken": '
    source = tmp_path / "in.jsonl"
    source.write_text("\n".join(lines) + "\n")
    options = dict(jobs=1, batch_size=10, partition_size=source.stat().st_size // 2,
                   errors="skip")
    whole = shredder.shred_files(source, tmp_path / "whole", **options)
    monkeypatch.setattr(shred_partition, "shred_batch", bounded)
    split = shredder.shred_files(source, tmp_path / "split", **options)
    manifest = json.loads((tmp_path / "split" / "_shredder.json").read_text())
    ranges = [p["input"]["lines"] for p in manifest["parts"]]
    assert max(p["documents"] for p in manifest["parts"]) <= 3 and len(ranges) >= 14
    assert sum(ranges, []) == sorted(sum(ranges, []))  # in order, none overlapping
    assert (split.documents, split.rejects, whole.documents, whole.rejects) == (38, 2, 39, 1)
    for name in ("whole", "split"):
        shredder.unshred_files(tmp_path / name, tmp_path / f"{name}.jsonl")
    assert rebuilt(tmp_path / "split.jsonl") == [
        d for d in rebuilt(tmp_path / "whole.jsonl") if d["id"] != 23]
    rejected = sorted((tmp_path / "split" / "_rejects").iterdir())
    records = [json.loads(r) for f in rejected for r in f.read_text().splitlines()]
    assert [(r["line"], r["error"]) for r in records] == [
        (18, records[0]["error"]),
        (24, "shred failed: Controller: atoms batch too large (this document alone)")]
    # without skip, the document alone is named by its line
    options["errors"] = "raise"
    lines[17] = json.dumps(documents(18)[17])
    source.write_text("\n".join(lines) + "\n")
    with pytest.raises(UserError, match=r"in.jsonl:line 24: shred failed: Controller: atoms "
                                        r"batch too large \(this document alone\) \(use"):
        shredder.shred_files(source, tmp_path / "failed", **options)


def test_resume_refuses_an_input_edited_in_place_since_the_earlier_run(tmp_path, corpus):
    # edited without changing its size, its partitions matched and the stale ones were reused
    source, _ = corpus
    options = dict(partition_size=source.stat().st_size // 4, jobs=1)
    with pytest.raises(KeyboardInterrupt):
        shredder.shred_files(source, tmp_path / "atoms", executor=StopAfter(2), **options)
    source.write_text(source.read_text().replace('"id": 0,', '"id": 7,', 1))
    with pytest.raises(UserError, match=f"cannot resume: {re.escape(str(source))} was modified "
                                        r"after the earlier run read it \(use --force"):
        shredder.shred_files(source, tmp_path / "atoms", resume=True, **options)
    os.utime(source, ns=(0, 0))  # an older time is no less a change
    with pytest.raises(UserError, match="was modified after the earlier run"):
        shredder.shred_files(source, tmp_path / "atoms", resume=True, **options)
