"""Atoms datasets: which files of a folder a dataset consists of (its parts, the manifest that
lists them, refused documents, the shred check's report, and the temporary names of these), so
that replacing a dataset removes exactly those and nothing else. The partitioned jobs write
them (parts under temporary names, renamed when complete, the manifest last).
"""

from __future__ import annotations

import re

from shredder.io.storage import Location

MANIFEST = "_shredder.json"
PART_PREFIX = "part-"
REJECTS_FOLDER = "_rejects"
VERIFY_FOLDER = "_verify"
VERIFY_REPORT = "differences.jsonl"

_PART = re.compile(r"part-\d+(-\d+){0,2}\.(parquet|arrow)")
_REJECTS = re.compile(r"rejects-\d+\.jsonl")
_VERIFY = re.compile(re.escape(VERIFY_REPORT))
# Temporary names of the files above and of the manifest, in the older form
# (".<name>.tmp") and as ``AtomicFile`` writes them (".tmp-<token>-<name>", several writers
# never sharing one).
_TEMPORARY = re.compile(r"\.(part-\d+\.(parquet|arrow)|_shredder\.json|rejects-\d+\.jsonl"
                        r"|differences\.jsonl)\.tmp"
                        r"|\.tmp-[0-9a-f]{32}-(part-\d+(-\d+){1,2}\.(parquet|arrow)|_shredder\.json"
                        r"|rejects-\d+\.jsonl|differences\.jsonl)")


def dataset_files(folder: Location) -> list[Location]:
    """The files of whatever dataset ``folder`` holds (listed or stray parts, the manifest,
    rejects, temporary files of these), the manifest first: what replacing the dataset
    removes, nothing else."""
    found = [entry for entry in folder.list()
             if entry.name == MANIFEST or _PART.fullmatch(entry.name)
             or _TEMPORARY.fullmatch(entry.name)]
    for name, pattern in ((REJECTS_FOLDER, _REJECTS), (VERIFY_FOLDER, _VERIFY)):
        found += [entry for entry in folder.child(name).list()
                  if pattern.fullmatch(entry.name) or _TEMPORARY.fullmatch(entry.name)]
    return sorted(found, key=lambda entry: entry.name != MANIFEST)
