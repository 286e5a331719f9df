"""The manifest ``_shredder.json``: the list of what a complete atoms dataset holds.

A folder is a dataset only once its manifest is there: the manifest is written last, after
every file it lists is complete under its final name, and it is replaced atomically, so a
reader sees either no manifest or one whose every part exists.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from shredder.core.errors import UserError
from shredder.dataset.files import MANIFEST
from shredder.io.storage import Location

INCOMPLETE = "no _shredder.json: the dataset is incomplete (an interrupted or failed shred?)"


@dataclass
class Part:
    file: str
    rows: int
    documents: int
    # where its documents came from: {"file": input, "lines" or "rows": [first, last]}
    input: dict[str, Any] | None = None


@dataclass
class Manifest:
    format: str
    codec: str
    parts: list[Part] = field(default_factory=list)
    rejected: int = 0
    rejects: list[str] = field(default_factory=list)  # paths relative to the dataset folder
    compression: str | None = None  # None: written before the choice was recorded
    input_bytes: int = 0
    atoms_bytes: int = 0
    # The unified schema of the parts, [{"name": ..., "type": ...}], as parts were written.
    schema: list[dict[str, str]] | None = None
    # What the documents hold at each path (see _path_stats), for inspect; None: written
    # before it was recorded.
    paths: dict[str, Any] | None = None

    @property
    def documents(self) -> int:
        return sum(part.documents for part in self.parts)

    def to_json(self) -> dict[str, Any]:
        return {"format": self.format, "codec": self.codec,
                "documents": self.documents, "rejected": self.rejected,
                "parts": [_part_json(p) for p in self.parts],
                "rejects": self.rejects,
                **({} if self.compression is None else {"compression": self.compression}),
                "input_bytes": self.input_bytes, "atoms_bytes": self.atoms_bytes,
                **({} if self.schema is None else {"schema": self.schema}),
                **({} if self.paths is None else {"paths": self.paths})}


def _part_json(part: Part) -> dict[str, Any]:
    data: dict[str, Any] = {"file": part.file, "rows": part.rows, "documents": part.documents}
    if part.input is not None:
        data["input"] = part.input
    return data


def write_manifest(folder: Location, manifest: Manifest) -> None:
    """Writes the manifest of a dataset folder whole under its name (see ``AtomicFile``)."""
    folder.child(MANIFEST).write_bytes(
        (json.dumps(manifest.to_json(), indent=1) + "\n").encode())


def read_manifest(folder: Location) -> Manifest:
    """The manifest of a dataset folder; a folder without one is refused as incomplete."""
    location = folder.child(MANIFEST)
    if not location.exists():
        raise UserError(f"{folder}: {INCOMPLETE}")
    return _parse(location.read_bytes().decode("utf-8", errors="replace"), location)


def _count(value: Any) -> int:
    """A count the manifest records: a whole number, not negative."""
    if type(value) is not int or value < 0:
        raise ValueError(f"{value!r} is not a count")
    return value


def _parse(text: str, path: Any) -> Manifest:
    """The manifest in ``text``; ``path`` names it in messages."""
    def refuse(why: str) -> UserError:
        return UserError(f"{path}: not a shredder manifest: {why}")

    try:
        data = json.loads(text)
    except ValueError as error:
        raise refuse(f"not JSON ({error})") from None
    if not isinstance(data, dict) or not isinstance(data.get("parts"), list):
        raise refuse('a JSON object with a list "parts" is expected')
    try:
        parts = [Part(str(p["file"]), _count(p["rows"]), _count(p["documents"]),
                      dict(p["input"]) if isinstance(p.get("input"), dict) else None)
                 for p in data["parts"]]
        manifest = Manifest(str(data["format"]), str(data["codec"]), parts,
                            _count(data.get("rejected", 0)),
                            [str(r) for r in data.get("rejects", [])],
                            data.get("compression"), _count(data.get("input_bytes", 0)),
                            _count(data.get("atoms_bytes", 0)), data.get("schema"),
                            data.get("paths"))
    except KeyError as error:
        raise refuse(f"{error} is missing") from None
    except (ValueError, TypeError, AttributeError) as error:
        raise refuse(str(error)) from None
    for name in [part.file for part in manifest.parts] + manifest.rejects:
        # Only files inside the folder: a manifest never sends a reader elsewhere.
        if Path(name).is_absolute() or ".." in Path(name).parts:
            raise UserError(f"{path}: lists {name!r}, which is outside the dataset folder")
    return manifest
