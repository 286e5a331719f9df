"""Atoms datasets: which files of a folder a dataset consists of (its parts, the manifest that
lists them, refused documents, the shred check's report, and the temporary names of these), so
that replacing a dataset removes exactly those and nothing else. The partitioned jobs write
them (parts under temporary names, renamed when complete, the manifest last).
"""

from __future__ import annotations

import re
from pathlib import Path

from shredder._manifest import MANIFEST

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


