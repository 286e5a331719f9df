"""The documents of the shared real data, file by file, as JSON texts."""

from __future__ import annotations

import json
from pathlib import Path


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
