"""Shared helpers for the tests of the shredder_ext module."""

from __future__ import annotations

import collections
import json
import os
import subprocess
import sys
from pathlib import Path

import pyarrow as pa
import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
ID_KEYS = ("__txn_id", "__obj_id")


def _shared_data_dir() -> Path | None:
    """The shared data folder, which sits beside the repository as ../shared/data.

    In a linked git worktree the repository's main checkout is consulted as well, since the
    worktree may live elsewhere.
    """
    candidates = [REPO_ROOT.parent / "shared" / "data"]
    dot_git = REPO_ROOT / ".git"
    if dot_git.is_file():
        text = dot_git.read_text(encoding="utf-8").strip()
        if text.startswith("gitdir:"):
            # <main>/.git/worktrees/<name> -> <main>
            main_checkout = Path(text.split(":", 1)[1].strip()).resolve().parents[2]
            candidates.append(main_checkout.parent / "shared" / "data")
    for candidate in candidates:
        if candidate.is_dir():
            return candidate
    return None


SHARED_DATA = _shared_data_dir()


@pytest.fixture(scope="session")
def real_data_dir() -> Path:
    if SHARED_DATA is None or not (SHARED_DATA / "real").is_dir():
        pytest.fail("the shared data folder ../shared/data/real beside the repository is missing")
    return SHARED_DATA / "real"


def json_batch(documents, *, name="doc", type_=pa.string()) -> pa.RecordBatch:
    """A one-column batch of JSON texts; str items are used as they are."""
    texts = [d if isinstance(d, (str, bytes)) or d is None else json.dumps(d) for d in documents]
    return pa.RecordBatch.from_arrays([pa.array(texts, type_)], names=[name])


def strip_ids(value):
    """The value without the identity members the pipeline stamps into every object."""
    if isinstance(value, dict):
        return {k: strip_ids(v) for k, v in value.items() if k not in ID_KEYS}
    if isinstance(value, list):
        return [strip_ids(v) for v in value]
    return value


def canonical(value):
    """A hashable, type-exact form of a JSON-like value: 1, 1.0 and True all differ, and so
    do 0.0 and -0.0; object members are ordered by key."""
    if value is None:
        return ("null",)
    if isinstance(value, bool):
        return ("bool", value)
    if isinstance(value, int):
        return ("int", value)
    if isinstance(value, float):
        return ("double", value.hex())
    if isinstance(value, str):
        return ("string", value)
    if isinstance(value, list):
        return ("array", tuple(canonical(v) for v in value))
    if isinstance(value, dict):
        return ("object", tuple(sorted(((k, canonical(v)) for k, v in value.items()),
                                       key=lambda kv: kv[0])))
    raise TypeError(f"not a document value: {value!r}")


def docs_of(batch: pa.RecordBatch) -> list:
    """The documents of an unshred result of the JSON codec."""
    assert batch.schema.names == ["doc"]
    return [json.loads(text) for text in batch.column(0).to_pylist()]


def run_python(code: str, *, cwd=None, env=None, timeout=300) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter of this environment, capturing both streams."""
    child_env = dict(os.environ if env is None else env)
    child_env.pop("LD_LIBRARY_PATH", None)
    child_env.pop("LD_PRELOAD", None)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, cwd=cwd,
                          env=child_env, timeout=timeout, check=False)


_REAL_DATA_SUMMARY: list[str] = []
_REAL_DATA_TOTALS: collections.Counter = collections.Counter()


def record_real_data_summary(line: str, counts: collections.Counter | None = None) -> None:
    _REAL_DATA_SUMMARY.append(line)
    if counts:
        _REAL_DATA_TOTALS.update(counts)


def pytest_terminal_summary(terminalreporter):
    if _REAL_DATA_SUMMARY:
        terminalreporter.section("real data fixed point")
        for line in _REAL_DATA_SUMMARY:
            terminalreporter.write_line(line)
        totals = ", ".join(f"{name}: {number}" for name, number in _REAL_DATA_TOTALS.items())
        terminalreporter.write_line(f"total: {totals}")
