"""Shared inputs and helpers of the job tests (a plain module: the tests folder has one
conftest.py, which other tests import by that name)."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest


def documents(count: int, start: int = 0) -> list[dict]:
    """Documents whose shapes differ along the input: "tags" is a lone value in some and an
    array in others, so what a partition learns shows in its parts."""
    docs = []
    for i in range(start, start + count):
        doc = {"id": i, "name": f"doc {i}", "tags": ["t%d" % (i % 3), "u"] if i % 7 == 0 else "x"}
        if i % 5 == 0:
            doc["items"] = [{"sku": f"s{i}", "qty": i % 4 + 1}, {"sku": "z", "qty": 1}]
        if i % 11 == 0:
            doc["meta"] = {"source": "gen", "score": i / 8}
        docs.append(doc)
    return docs


def write_jsonl(path: Path, docs: list[dict]) -> Path:
    path.write_text("".join(json.dumps(d) + "\n" for d in docs))
    return path


def run(*args: object, ok: bool = True, input: bytes | None = None,
        timeout: float = 120) -> subprocess.CompletedProcess:
    result = subprocess.run([sys.executable, "-m", "shredder", *map(str, args)],
                            capture_output=True, input=input, timeout=timeout)
    if ok:
        assert result.returncode == 0, result.stderr.decode()
    return result


def dataset_files(folder: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir()) if p.is_file()}


def strip_ids(value):
    if isinstance(value, dict):
        return {k: strip_ids(v) for k, v in value.items() if k not in ("__txn_id", "__obj_id")}
    if isinstance(value, list):
        return [strip_ids(v) for v in value]
    return value


def rebuilt(path: Path) -> list[dict]:
    return sorted((strip_ids(json.loads(line)) for line in path.read_text().splitlines()),
                  key=lambda d: d["id"])


@pytest.fixture
def corpus(tmp_path) -> tuple[Path, list[dict]]:
    docs = documents(600)
    return write_jsonl(tmp_path / "in.jsonl", docs), docs


def no_temporary_files(folder: Path) -> bool:
    return not [p for p in folder.rglob(".tmp-*")]


def child_env() -> dict:
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def real_documents(root: Path, limit: int,
                   max_bytes: int = 256 * 1024) -> list[tuple[str, list[str]]]:
    """Up to ``limit`` documents of each file, leaving out those over ``max_bytes`` of text
    (a few single-document files of megabytes, slow to shred and no different in kind)."""
    found = []
    for path in sorted(p for p in root.rglob("*") if p.suffix in (".json", ".ndjson")):
        texts: list[str] = []
        if path.suffix == ".ndjson":
            lines = [line for line in path.read_text(encoding="utf-8").splitlines() if line.strip()]
            values = [json.loads(line) for line in lines]
        else:
            value = json.loads(path.read_text(encoding="utf-8"))
            values = value if isinstance(value, list) else [value]
        for value in values:
            if isinstance(value, dict):
                text = json.dumps(value, ensure_ascii=False)
                if len(text.encode()) <= max_bytes:
                    texts.append(text)
            if len(texts) == limit:
                break
        if texts:
            found.append((path.name, texts))
    return found
