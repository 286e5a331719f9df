"""Datasets are what their manifest lists: nothing half-written, nothing else deleted."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from shredder.cli import main

INCOMPLETE = "no _shredder.json: the dataset is incomplete (an interrupted or failed shred?)"


def cli(*args: object) -> int:
    return main([str(a) for a in args])


def write_jsonl(path: Path, documents: list) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("".join(json.dumps(d) + "\n" for d in documents))
    return path


def snapshot(folder: Path) -> dict[str, bytes]:
    """The folder's files, without the work an interrupted run keeps for --resume."""
    return {str(p.relative_to(folder)): p.read_bytes()
            for p in sorted(folder.rglob("*"))
            if p.is_file() and p.relative_to(folder).parts[0] != "_partitions"}


def small_dataset(tmp_path: Path, folder: Path, documents: int = 3) -> Path:
    source = write_jsonl(tmp_path / "small.jsonl", [{"id": n} for n in range(documents)])
    assert cli("shred", source, "-o", folder, "--batch-size", 2, "-q") == 0
    return folder


def test_a_folder_without_manifest_is_refused_as_incomplete(tmp_path, capsys):
    atoms = small_dataset(tmp_path, tmp_path / "atoms")
    (atoms / "_shredder.json").unlink()
    for command in (["inspect", atoms], ["unshred", atoms, "-o", tmp_path / "out.jsonl"]):
        assert cli(*command) == 1
        assert capsys.readouterr().err == f"shredder: error: {atoms}: {INCOMPLETE}\n"
    assert not (tmp_path / "out.jsonl").exists()


def test_only_the_parts_the_manifest_lists_are_read(tmp_path, capsys):
    atoms = small_dataset(tmp_path, tmp_path / "atoms")
    shutil.copy(atoms / "part-00000-00000.parquet", atoms / "part-00007.parquet")
    other = small_dataset(tmp_path, tmp_path / "other", documents=5)
    shutil.copy(other / "part-00000-00000.parquet", atoms / "part-00000.arrow")
    capsys.readouterr()
    assert cli("inspect", atoms) == 0
    out = capsys.readouterr().out
    assert "total: 2 part(s), 3 rows, 3 documents" in out
    assert "part-00007" not in out and "part-00000.arrow" not in out
    assert cli("unshred", atoms, "-o", tmp_path / "out.jsonl", "-q") == 0
    ids = sorted(json.loads(line)["id"] for line in (tmp_path / "out.jsonl").open())
    assert ids == [0, 1, 2]
    # A single part file given directly is read without a manifest.
    assert cli("inspect", atoms / "part-00007.parquet") == 0
    assert "total: 1 part(s), 2 rows, 2 documents" in capsys.readouterr().out


@pytest.mark.parametrize(
    "edit, message",
    [
        (lambda m: m["parts"].append({"file": "part-00009.parquet", "rows": 1, "documents": 1}),
         "part-00009.parquet: listed in _shredder.json but missing"),
        (lambda m: m["parts"].append({"file": "../x.parquet", "rows": 1, "documents": 1}),
         "lists '../x.parquet', which is outside the dataset folder"),
        (lambda m: m.pop("parts"),
         '_shredder.json: not a shredder manifest: a JSON object with a list "parts" is '
         "expected"),
        (lambda m: m.pop("codec"), "_shredder.json: not a shredder manifest: 'codec' is missing"),
        (lambda m: m["parts"][0].update(rows=-5),
         "_shredder.json: not a shredder manifest: -5 is not a count"),
        (lambda m: m["parts"][0].update(documents=1e30),
         "_shredder.json: not a shredder manifest: 1e+30 is not a count"),
    ],
)
def test_a_manifest_that_does_not_match_the_folder_is_refused(tmp_path, capsys, edit, message):
    atoms = small_dataset(tmp_path, tmp_path / "atoms")
    manifest = json.loads((atoms / "_shredder.json").read_text())
    edit(manifest)
    (atoms / "_shredder.json").write_text(json.dumps(manifest))
    capsys.readouterr()
    assert cli("inspect", atoms) == 1
    err = capsys.readouterr().err
    assert message in err and len(err.splitlines()) == 1


def test_force_replaces_only_the_dataset_and_keeps_other_files(tmp_path):
    atoms = tmp_path / "atoms"
    source = write_jsonl(tmp_path / "in.jsonl", [{"id": n} for n in range(5)] + ["{"])
    source.write_text(source.read_text().replace('"{"', "{"))
    assert cli("shred", source, "-o", atoms, "--batch-size", 2, "--on-error", "skip",
               "-q") == 0
    assert (atoms / "part-00000-00002.parquet").exists() and (atoms / "_rejects").is_dir()
    (atoms / "notes.txt").write_text("mine")
    (atoms / "sub").mkdir()
    (atoms / "sub" / "part-00000.parquet").write_text("not ours")
    (atoms / "part-7.csv").write_text("not a part name")
    assert cli("shred", write_jsonl(tmp_path / "one.jsonl", [{"id": 9}]), "-o", atoms) == 1
    assert cli("shred", tmp_path / "one.jsonl", "-o", atoms, "--force", "-q") == 0
    assert sorted(snapshot(atoms)) == ["_shredder.json", "notes.txt",
                                       "part-00000-00000.parquet", "part-7.csv",
                                       "sub/part-00000.parquet"]
    assert (atoms / "notes.txt").read_text() == "mine"
    manifest = json.loads((atoms / "_shredder.json").read_text())
    assert (manifest["documents"], manifest["rejected"], manifest["rejects"]) == (1, 0, [])


@pytest.mark.parametrize("inside", ["orders.jsonl", "raw/orders.jsonl"])
def test_an_output_folder_that_holds_the_input_is_refused(tmp_path, capsys, inside):
    folder = tmp_path / "d"
    source = write_jsonl(folder / inside, [{"id": 1}])
    before = snapshot(folder)
    assert cli("shred", source, "-o", folder, "--force") == 1
    assert capsys.readouterr().err == (f"shredder: error: {folder}: the output folder holds "
                                       f"the input {source}; choose another output folder\n")
    assert snapshot(folder) == before


def test_a_failed_forced_run_keeps_the_previous_dataset(tmp_path, capsys):
    atoms = small_dataset(tmp_path, tmp_path / "atoms")
    before = snapshot(atoms)
    bad = write_jsonl(tmp_path / "bad.jsonl", [{"id": n} for n in range(9)] + [[1]])
    assert cli("shred", bad, "-o", atoms, "--force", "--batch-size", 2) == 1
    assert "bad.jsonl:line 10: shred failed" in capsys.readouterr().err
    assert snapshot(atoms) == before


def test_a_failed_unshred_leaves_no_output_and_keeps_an_earlier_one(tmp_path):
    atoms = small_dataset(tmp_path, tmp_path / "atoms")
    out = tmp_path / "out.jsonl"
    out.write_text("earlier\n")
    broken = atoms / "part-00000-00001.parquet"
    broken.write_bytes(broken.read_bytes()[:40])
    assert cli("unshred", atoms, "-o", out, "--force", "-q") == 1
    assert out.read_text() == "earlier\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["atoms", "out.jsonl", "small.jsonl"]


# ---- interruption, in a child process ---------------------------------------------------


@pytest.fixture(scope="module")
def big_input(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("big") / "big.jsonl"
    with open(path, "w") as stream:
        for n in range(300_000):
            stream.write(f'{{"id": {n}, "tags": ["a", "b"], "v": {{"w": {n}, "s": "x{n}"}}}}\n')
    return path


def start_shred(source: Path, output: Path, *extra: str) -> subprocess.Popen:
    env = dict(os.environ)
    return subprocess.Popen(
        [sys.executable, "-m", "shredder", "shred", str(source), "-o", str(output),
         "--batch-size", "500", "-q", *extra],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def wait_for_parts(output: Path, child: subprocess.Popen, count: int = 3) -> None:
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        if len(list((output / "_partitions").glob("part-*"))) >= count:
            return
        assert child.poll() is None, child.stderr.read()
        time.sleep(0.02)
    child.kill()
    pytest.fail("the child wrote no parts within two minutes")


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGKILL], ids=["SIGTERM", "SIGKILL"])
def test_an_interrupted_run_over_a_dataset_leaves_it_readable_as_it_was(
        tmp_path, capsys, big_input, sig):
    atoms = small_dataset(tmp_path, tmp_path / "atoms")
    before = snapshot(atoms)
    child = start_shred(big_input, atoms, "--force")
    wait_for_parts(atoms, child)
    child.send_signal(sig)
    _, err = child.communicate(timeout=120)
    if sig == signal.SIGTERM:
        assert (child.returncode, err) == (143, "shredder: terminated\n")
        assert snapshot(atoms) == before  # its temporary parts removed too
    else:
        assert child.returncode == -signal.SIGKILL
        assert snapshot(atoms) == before
    capsys.readouterr()
    assert cli("inspect", atoms) == 0
    assert "total: 2 part(s), 3 rows, 3 documents" in capsys.readouterr().out
    # The next run replaces the dataset, temporary files a kill left behind included.
    assert cli("shred", tmp_path / "small.jsonl", "-o", atoms, "--force", "-q") == 0
    assert not list(atoms.glob(".*"))


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGKILL], ids=["SIGTERM", "SIGKILL"])
def test_an_interrupted_first_run_leaves_no_dataset_to_read(tmp_path, capsys, big_input, sig):
    atoms = tmp_path / "atoms"
    child = start_shred(big_input, atoms)
    wait_for_parts(atoms, child)
    child.send_signal(sig)
    child.communicate(timeout=120)
    # what it finished stays, for --resume, but nothing reads as a dataset
    assert not (atoms / "_shredder.json").exists()
    assert sorted(p.name for p in atoms.iterdir()) == ["_partitions"]
    for command in (["inspect", atoms], ["unshred", atoms, "-o", tmp_path / "out.jsonl"]):
        assert cli(*command) == 1
        assert capsys.readouterr().err == f"shredder: error: {atoms}: {INCOMPLETE}\n"


NO_PART = ("{source}: not an atoms dataset (a folder with _shredder.json) nor an atoms part "
           "(.parquet, .pq, .arrow, .ipc or .feather)")
CHANGED = ("{second}: holds 2 rows where the dataset's manifest lists 1: the part was changed "
           "after it was written")


@pytest.mark.parametrize("args, message", [
    # read as an Arrow file, it failed with "Expected to read 1684611707 metadata bytes"
    (["inspect", "{source}"], NO_PART), (["unshred", "{source}", "-o", "{out}"], NO_PART),
    # a part copied over another was read as the dataset, its documents twice
    (["inspect", "{atoms}"], CHANGED), (["unshred", "{atoms}", "-o", "{out}", "-j", "2"], CHANGED),
    # the reason named the temporary file beside the page
    (["inspect", "{atoms}", "--html", "{tmp}"], "{tmp}: cannot write: Is a directory"),
    (["inspect", "{atoms}", "--html", "{tmp}/no/x.html"],
     "{tmp}/no/x.html: cannot write: No such file or directory"),
])
def test_what_cannot_be_read_or_written_is_named(tmp_path, capsys, args, message):
    atoms = small_dataset(tmp_path, tmp_path / "atoms")  # parts of 2 and 1 documents
    first, second = sorted(atoms.glob("part-*"))
    second.write_bytes(first.read_bytes())
    names = dict(source=tmp_path / "small.jsonl", atoms=atoms, out=tmp_path / "out.jsonl",
                 second=second, tmp=tmp_path)
    assert cli(*[arg.format(**names) for arg in args]) == 1
    assert capsys.readouterr().err == f"shredder: error: {message.format(**names)}\n"
    assert not list(tmp_path.glob(".tmp*"))
