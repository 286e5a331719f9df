"""Refused documents, set aside as JSON Lines records instead of stopping a run."""

from __future__ import annotations

import base64
import json
import math
import os
from pathlib import Path
from typing import IO, Any


def document_fields(document: Any) -> dict[str, Any]:
    """The record fields that hold a refused document: its text as it was read, or a struct
    row as a JSON object. Bytes that are not UTF-8 are kept exactly, as base64."""
    if isinstance(document, (bytes, bytearray, memoryview)):
        raw = bytes(document)
        try:
            return {"document": raw.decode("utf-8")}
        except UnicodeDecodeError:
            return {"document_base64": base64.b64encode(raw).decode("ascii")}
    return {"document": _json_safe(document)}


def _json_safe(value: Any) -> Any:
    """``value`` with what JSON cannot hold as such (NaN, infinities, bytes) turned to text."""
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    if isinstance(value, dict):
        return {str(k): _json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(v) for v in value]
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("utf-8", errors="backslashreplace")
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return str(value)


class RejectsWriter:
    """Appends one JSON object per refused document to a JSON Lines file.

    The file is written under a temporary name beside its final one and only appears under
    its final name on ``commit``; a run without refusals writes no file at all.
    """

    def __init__(self, path: Path) -> None:
        self.path = path
        self.temporary = path.with_name(f".{path.name}.tmp")
        self.count = 0
        self._stream: IO[str] | None = None

    def write(self, record: dict[str, Any]) -> None:
        if self._stream is None:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            self._stream = open(self.temporary, "w", encoding="utf-8")
        self._stream.write(json.dumps(record, ensure_ascii=False) + "\n")
        self.count += 1

    def close(self) -> None:
        if self._stream is not None:
            self._stream.close()
            self._stream = None

    def commit(self) -> bool:
        """Moves the file to its final name; False when nothing was refused (a file left
        under that name by an earlier run is removed then, as it no longer tells the truth)."""
        self.close()
        if self.count == 0:
            self.path.unlink(missing_ok=True)
            return False
        os.replace(self.temporary, self.path)
        return True

    def abort(self) -> None:
        self.close()
        self.temporary.unlink(missing_ok=True)
