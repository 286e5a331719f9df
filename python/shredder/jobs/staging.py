"""A shred job's output folder: the staging folder, the markers a resumed job reuses, the
manifest, and the commit that replaces the folder's dataset with the staged one, manifest last.

A shred job stages its work in ``_partitions/`` inside the output folder: per partition, one
part file per batch (``part-PPPPP-BBBBB.parquet``), the refused documents
(``rejects-PPPPP.jsonl``) and, with the shred check, its differences (``verify-PPPPP.jsonl``),
each written under a temporary name and renamed when complete, then a small marker
``partition-PPPPP.json`` with its parts, their bytes and schemas, and its counts. When every
partition is done, the driver replaces the dataset the folder held (its manifest first), moves
the staged files to their places, joins the differences into ``_verify/differences.jsonl`` in
partition order, writes ``_shredder.json`` listing the parts in input order with the unified
schema and the byte counts, and removes ``_partitions/``. Until then the folder holds its
earlier dataset or none; ``resume`` reuses the partitions whose markers match the job and runs
the rest. On object stores, where a move is a copy, files are written in place (each object
appears whole) and the manifest still comes last.
"""

from __future__ import annotations

import json
from dataclasses import asdict
from typing import Any

from shredder.core.errors import UserError
from shredder.core.schema import SchemaUnifier, schema_from_json, schema_to_json
from shredder.core.shred_check import ShredCheck
from shredder.dataset.files import (
    MANIFEST,
    REJECTS_FOLDER,
    VERIFY_FOLDER,
    VERIFY_REPORT,
    dataset_files,
)
from shredder.dataset.manifest import Manifest, Part, write_manifest
from shredder.dataset.path_stats import merged
from shredder.io import storage
from shredder.io.storage import READ_CHUNK, remove_folder, remove_temporary
from shredder.jobs.partitions import Partition
from shredder.jobs.tasks import PartitionResult, ShredOptions

MARKERS = "_partitions"
JOB_FILE = "job.json"
REJECTS = REJECTS_FOLDER


def _job_record(options: ShredOptions, partitions: list[Partition] | None) -> dict[str, Any]:
    return {"options": asdict(options),
            "partitions": None if partitions is None else [p.key() for p in partitions],
            "modified": None if partitions is None else _modified(partitions)}


def _modified(partitions: list[Partition]) -> dict[str, int | None]:
    """When each input file was last modified, so that a resumed run sees an input edited in
    place (its size, and so its partitions, may not have changed)."""
    found: dict[str, int | None] = {}
    for partition in partitions:
        if partition.location not in found:
            found[partition.location] = storage.resolve(partition.location).info().mtime_ns
    return found


def _edited_input(earlier: dict[str, Any], record: dict[str, Any],
                  partitions: list[Partition]) -> str | None:
    """The first input modified since the earlier run recorded it (a run that recorded no
    times cannot tell)."""
    before = earlier.get("modified")
    if not before:
        return None
    for partition in partitions:
        if before.get(partition.location) != record["modified"][partition.location]:
            return partition.source
    return None


def prepare_output(output: storage.Location, staging: storage.Location, markers: storage.Location,
                    options: ShredOptions, partitions: list[Partition] | None, force: bool,
                    resume: bool) -> dict[int, PartitionResult]:
    """Checks the output folder and starts the staging folder; returns the completed
    partitions a resumed job reuses."""
    info = output.info()
    if info.type == storage.pafs.FileType.File:
        raise UserError(f"{output}: exists and is not a folder")
    record = _job_record(options, partitions)
    entries = [e.name for e in output.list_all()] if info.type != storage.pafs.FileType.NotFound \
        else []
    job = markers.child(JOB_FILE)
    if resume:
        if markers.exists() and job.exists():
            earlier = json.loads(job.read_bytes())
            current = json.loads(json.dumps(record))
            if any(earlier.get(key) != current[key] for key in ("options", "partitions")):
                raise UserError(f"{output}: cannot resume: the earlier run had other inputs or "
                                "options")
            edited = _edited_input(earlier, current, partitions or [])
            if edited is not None:
                raise UserError(f"{output}: cannot resume: {edited} was modified after the "
                                "earlier run read it (use --force to shred it again)")
            remove_temporary(staging)  # writes a kill interrupted
            return _finished(staging, markers, partitions or [])
        if MANIFEST in entries:
            raise UserError(f"{output}: the dataset is complete; nothing to resume "
                            "(use --force to shred it again)")
        if entries:
            raise UserError(f"{output}: nothing to resume (no record of an earlier run)")
    elif entries:
        if not force:
            raise UserError(f"{output}: output folder is not empty (use --force to replace)")
        if markers.exists():
            remove_folder(markers)  # an earlier unfinished run: this one starts afresh
        if output.object_store:
            # files are written in place here: the old dataset goes now, its manifest first
            for entry in dataset_files(output):
                entry.delete()
    output.mkdir()
    markers.mkdir()
    job.write_bytes(json.dumps(record).encode())
    return {}


def _finished(staging: storage.Location, markers: storage.Location,
              partitions: list[Partition]) -> dict[int, PartitionResult]:
    """The partitions whose markers match this job's and whose files are all there."""
    keys = {p.index: p.key() for p in partitions}
    done: dict[int, PartitionResult] = {}
    for entry in markers.list():
        if not entry.name.startswith("partition-"):
            continue
        result = PartitionResult.from_json(json.loads(entry.read_bytes()))
        if keys.get(result.index) == result.partition and all(
                staging.child(name).exists() for name in result.files()):
            done[result.index] = result
    return done


def check_inputs_outside(output: storage.Location, partitions: list[Partition]) -> None:
    if output.object_store:
        return
    for partition in partitions:
        if storage.resolve(partition.location).within(output):
            raise UserError(f"{output}: the output folder holds the input {partition.source}; "
                            "choose another output folder")


def build_manifest(results: list[PartitionResult], options: ShredOptions) -> Manifest:
    """The manifest: parts in input order, each with its input file and line or row range."""
    codec = next((r.codec for r in results if r.codec), options.codec or "json")
    manifest = Manifest(options.fmt, codec, compression=options.compression)
    # Unified in part order, so the schema (its column order too) is the same for any jobs.
    schema = SchemaUnifier()
    offsets: dict[str, int] = {}
    for result in results:
        source = result.partition["source"]
        before = offsets.get(source, 0)
        unit = "lines" if result.partition["kind"] == "jsonl" else "rows"
        for part in result.parts:
            manifest.parts.append(Part(part.file, part.rows, part.documents,
                                       {"file": source, unit: [before + part.first,
                                                               before + part.last]}))
            manifest.atoms_bytes += part.bytes
            schema.add(schema_from_json(part.schema, part.file))
        offsets[source] = before + result.positions
        manifest.input_bytes += result.bytes
        manifest.rejected += result.rejects
        if result.rejects_file:
            manifest.rejects.append(f"{REJECTS}/{result.rejects_file}")
    manifest.schema = schema_to_json(schema.schema)
    paths = merged(result.paths for result in results)
    manifest.paths = None if paths is None else paths.to_json()
    return manifest


def check_counts(results: list[PartitionResult]) -> ShredCheck | None:
    """The shred check's counts over all partitions (None when it did not run)."""
    if not results or results[0].verify is None:
        return None
    check = ShredCheck()
    for result in results:
        check.documents += result.verify.documents
        check.documents_changed += result.verify.changed
        check.counts.update(result.verify.counts)
    return check


def _join_reports(output: storage.Location, staging: storage.Location,
                  names: list[str]) -> None:
    """Joins the partitions' differences, in partition order, into the one report of the
    dataset, written whole under its final name; the partitions' files go."""
    report = output.child(VERIFY_FOLDER).child(VERIFY_REPORT)
    if not names:
        if report.exists():
            report.delete()  # an earlier run's report no longer tells the truth
        return
    output.child(VERIFY_FOLDER).mkdir()

    def write(stream: Any) -> None:
        for name in names:
            with staging.child(name).open_stream() as piece:
                while chunk := piece.read(READ_CHUNK):
                    stream.write(chunk)

    report.write_atomically(write)
    for name in names:
        staging.child(name).delete()


def commit(output: storage.Location, staging: storage.Location, markers: storage.Location,
            manifest: Manifest, reports: list[str]) -> None:
    """Replaces the folder's dataset by the staged one; the manifest comes last."""
    if staging != output:
        staged = {part.file for part in manifest.parts}
        staged |= {name.split("/", 1)[1] for name in manifest.rejects}
        for entry in dataset_files(output):
            entry.delete()
        if manifest.rejects:
            output.child(REJECTS).mkdir()
        for name in sorted(staged):
            target = output.child(REJECTS).child(name) if name.startswith("rejects-") \
                else output.child(name)
            output.fs.move(staging.child(name).path, target.path)
    else:
        for name in manifest.rejects:  # written in place, beside the parts: into _rejects/
            written = output.child(name.split("/", 1)[1])
            output.fs.move(written.path, output.child(name).path)
    _join_reports(output, staging, reports)
    write_manifest(output, manifest)
    remove_folder(markers)
    if output.object_store:
        return
    for name in (REJECTS, VERIFY_FOLDER):
        sub = output.child(name)
        if sub.is_dir() and not sub.list_all():
            sub.delete()
