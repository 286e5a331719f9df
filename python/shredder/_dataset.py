"""Atoms datasets: a folder of self-contained part files, their refused documents and the
manifest that lists them.

Writing never exposes a half-made dataset. Parts and the rejects file are written under hidden
temporary names; ``commit`` then removes the dataset the folder held before (its manifest
first), moves the new files to their final names and writes the manifest last. An interrupted
or failed run leaves the folder as it was, apart from temporary files that ``abort`` removes
(and that a later run replacing the dataset removes if a kill left them behind).
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.ipc as ipc
import pyarrow.parquet as pq

from shredder._errors import UserError
from shredder._manifest import MANIFEST, Manifest, Part, read_manifest, write_manifest
from shredder._parts import check_compression, write_part
from shredder._rejects import RejectsWriter
from shredder._schema import SchemaUnifier, schema_to_json

PART_PREFIX = "part-"
ATOM_FORMATS = {"parquet": ".parquet", "arrow": ".arrow"}
REJECTS_FOLDER = "_rejects"
VERIFY_FOLDER = "_verify"
VERIFY_REPORT = "differences.jsonl"

_PART = re.compile(r"part-\d+(-\d+){0,2}\.(parquet|arrow)")
_REJECTS = re.compile(r"rejects-\d+\.jsonl")
_VERIFY = re.compile(re.escape(VERIFY_REPORT))
# Temporary names of the files above and of the manifest, as this module writes them.
# (Partitioned jobs write theirs as ".tmp-<token>-<name>", several writers never sharing one.)
_TEMPORARY = re.compile(r"\.(part-\d+\.(parquet|arrow)|_shredder\.json|rejects-\d+\.jsonl"
                        r"|differences\.jsonl)\.tmp"
                        r"|\.tmp-[0-9a-f]{32}-(part-\d+(-\d+){1,2}\.(parquet|arrow)|_shredder\.json"
                        r"|rejects-\d+\.jsonl|differences\.jsonl)")


def _is_within(path: Path, folder: Path) -> bool:
    return path.resolve().is_relative_to(folder.resolve())


def check_output_folder(folder: Path, force: bool, inputs: Iterable[Path] = ()) -> None:
    """Refuses an output folder that is a file, holds one of the ``inputs``, or is not empty
    while ``force`` is not set."""
    if folder.exists() and not folder.is_dir():
        raise UserError(f"{folder}: exists and is not a folder")
    for source in inputs:
        if _is_within(source, folder):
            raise UserError(f"{folder}: the output folder holds the input {source}; "
                            "choose another output folder")
    if folder.exists() and any(folder.iterdir()) and not force:
        raise UserError(f"{folder}: output folder is not empty (use --force to replace)")


def dataset_files(folder: Path) -> list[Path]:
    """The files of whatever dataset ``folder`` holds (listed or stray parts, the manifest,
    rejects, temporary files of these): what replacing the dataset removes, nothing else."""
    found = [p for p in folder.iterdir()
             if p.is_file() and (p.name == MANIFEST or _PART.fullmatch(p.name)
                                 or _TEMPORARY.fullmatch(p.name))]
    for name, pattern in ((REJECTS_FOLDER, _REJECTS), (VERIFY_FOLDER, _VERIFY)):
        sub = folder / name
        if sub.is_dir():
            found += [p for p in sub.iterdir() if p.is_file() and (
                pattern.fullmatch(p.name) or _TEMPORARY.fullmatch(p.name))]
    return found


class DatasetWriter:
    """Writes one atoms dataset into ``folder``: parts, refused documents, then the manifest.

    Call ``write_part`` for each atoms batch and ``reject`` for each refused document, then
    ``commit``; call ``abort`` on any failure or interruption. ``rejects_name`` names the
    rejects file inside ``_rejects/``.
    """

    def __init__(self, folder: Path, fmt: str, codec: str, *, force: bool = False,
                 inputs: Iterable[Path] = (), rejects_name: str = "rejects-00000.jsonl",
                 compression: str = "zstd") -> None:
        if fmt not in ATOM_FORMATS:
            raise UserError(f"unknown atoms format {fmt!r} (expected parquet or arrow)")
        check_compression(fmt, compression)
        check_output_folder(folder, force, inputs)
        self._created = not folder.exists()
        folder.mkdir(parents=True, exist_ok=True)
        self.folder = folder
        self.manifest = Manifest(fmt, codec, compression=compression)
        self.rejects = RejectsWriter(folder / REJECTS_FOLDER / rejects_name)
        self.verify: RejectsWriter | None = None
        self._schema = SchemaUnifier()
        self._temporary: list[Path] = []

    def verify_report(self) -> RejectsWriter:
        """The shred check's report, ``_verify/differences.jsonl``, committed with the dataset."""
        if self.verify is None:
            self.verify = RejectsWriter(self.folder / VERIFY_FOLDER / VERIFY_REPORT)
        return self.verify

    @property
    def codec(self) -> str:
        return self.manifest.codec

    @codec.setter
    def codec(self, value: str) -> None:
        self.manifest.codec = value

    def write_part(self, atoms: pa.RecordBatch, documents: int) -> None:
        if atoms.num_columns == 0:
            return  # nothing to store: the batch held no rows or only empty documents
        name = f"{PART_PREFIX}{len(self.manifest.parts):05d}{ATOM_FORMATS[self.manifest.format]}"
        temporary = self.folder / f".{name}.tmp"
        self._temporary.append(temporary)
        write_part(atoms, temporary, self.manifest.format, self.manifest.compression)
        self._schema.add(atoms.schema)
        self.manifest.atoms_bytes += temporary.stat().st_size
        self.manifest.parts.append(Part(name, atoms.num_rows, documents))

    def reject(self, record: dict[str, Any]) -> None:
        self.rejects.write(record)

    @property
    def rejected(self) -> int:
        return self.rejects.count

    def commit(self) -> Manifest:
        """Replaces whatever dataset the folder held by the new one; the manifest comes last."""
        self.rejects.close()
        if self.verify is not None:
            self.verify.close()
        ours = set(self._temporary) | {self.rejects.temporary}
        if self.verify is not None:
            ours.add(self.verify.temporary)
        old = [p for p in dataset_files(self.folder) if p not in ours]
        # The old manifest goes first: from here until the new one is written, the folder
        # reads as incomplete rather than as a mix of old and new parts.
        old.sort(key=lambda p: p.name != MANIFEST)
        for path in old:
            path.unlink(missing_ok=True)
        for temporary in self._temporary:
            os.replace(temporary, temporary.with_name(temporary.name[1:-len(".tmp")]))
        self._temporary = []
        self.manifest.rejected = self.rejects.count
        if self.rejects.commit():
            self.manifest.rejects = [f"{REJECTS_FOLDER}/{self.rejects.path.name}"]
        if self.verify is not None:
            self.verify.commit()
        for name in (REJECTS_FOLDER, VERIFY_FOLDER):
            sub = self.folder / name
            if sub.is_dir() and not any(sub.iterdir()):
                sub.rmdir()
        self.manifest.schema = schema_to_json(self._schema.schema)
        write_manifest(self.folder, self.manifest)
        return self.manifest

    def abort(self) -> None:
        """Removes what this run wrote; the folder's earlier content stays as it was."""
        self.rejects.abort()
        if self.verify is not None:
            self.verify.abort()
        for temporary in self._temporary:
            temporary.unlink(missing_ok=True)
        self._temporary = []
        for folder in (self.folder / REJECTS_FOLDER, self.folder / VERIFY_FOLDER, self.folder):
            if folder.is_dir() and not any(folder.iterdir()) and (
                    folder != self.folder or self._created):
                folder.rmdir()


def open_dataset(path: Path) -> tuple[list[Path], Manifest | None]:
    """The part files to read, in order: those the manifest of a dataset folder lists, or a
    single part file given directly (which has no manifest)."""
    if not path.exists():
        raise UserError(f"{path}: no such file or folder")
    if path.is_file():
        return [path], None
    manifest = read_manifest(path)
    parts = [path / part.file for part in manifest.parts]
    for part in parts:
        if not part.is_file():
            raise UserError(f"{part}: listed in {MANIFEST} but missing")
    return parts, manifest


def read_atoms_part(path: Path) -> pa.RecordBatch:
    """One part file as a single record batch (all rows of its documents together)."""
    try:
        if path.suffix in (".parquet", ".pq"):
            table = pq.read_table(path)
        else:
            table = _open_ipc(path).read_all()
    except (OSError, pa.ArrowInvalid) as error:
        raise UserError(f"{path}: cannot read atoms: {error}") from None
    table = table.combine_chunks()
    batches = table.to_batches()
    if not batches:
        return pa.RecordBatch.from_pydict({name: pa.array([], type=table.schema.field(name).type)
                                           for name in table.schema.names})
    return batches[0]


def _open_ipc(path: Path) -> Any:
    try:
        return ipc.open_file(path)
    except pa.ArrowInvalid:
        return ipc.open_stream(path)
