"""JSON Lines records that a run sets aside as it goes: refused documents (instead of stopping
the run) and the shred check's differences."""

from __future__ import annotations

import base64
import json
import math
from typing import Any

from shredder.io.storage import AtomicFile, Location


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


class RecordsWriter:
    """Appends one JSON object a line to a file that only appears under its final name on
    ``commit`` (see ``AtomicFile``); records may be many, so they are not held in memory. A run
    that writes none makes no file at all."""

    def __init__(self, location: Location) -> None:
        self.location = location
        self.count = 0
        self._file: AtomicFile | None = None
        self._stream: Any = None

    def write(self, record: dict[str, Any]) -> None:
        if self._file is None:
            self._file = AtomicFile(self.location)
            self._stream = self._file.open()
        self._stream.write((json.dumps(record, ensure_ascii=False) + "\n").encode())
        self.count += 1

    def commit(self) -> bool:
        """Moves the file to its final name; False when there was no record to write."""
        if self._file is None:
            return False
        self._file.commit()
        return True

    def abort(self) -> None:
        if self._file is not None:
            self._file.abort()
