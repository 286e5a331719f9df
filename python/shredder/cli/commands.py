"""What each command does with its parsed arguments, and what it reports: the lines on standard
output and standard error, the report files beside an output, and the exit status."""

from __future__ import annotations

import argparse
import sys
from typing import Any

import pyarrow as pa

from shredder.cli import path_tree, tree_page
from shredder.cli.sql import run_query
from shredder.core.errors import UserError
from shredder.core.names import doc_column, txn_column
from shredder.core.verify import VerifyReport
from shredder.dataset import unified
from shredder.dataset.files import VERIFY_FOLDER, VERIFY_REPORT
from shredder.io import storage
from shredder.io.output import STDOUT
from shredder.io.parts import read_part
from shredder.jobs import shred_job, staging, unshred_job
from shredder.jobs.progress import JobProgress


# ---- shred --------------------------------------------------------------------------------


def shred(args: argparse.Namespace) -> int:
    skip = args.on_error == "skip"
    if args.max_rejects is not None and not skip:
        raise UserError("--max-rejects needs --on-error skip")
    progress = JobProgress("shred", not args.quiet)
    summary = shred_job.shred_files(
        args.input, args.output, jobs=args.jobs, dask=args.dask, codec=args.codec,
        column=args.column, format=args.format, batch_size=args.batch_size,
        partition_size=args.partition_size, errors="skip" if skip else "raise",
        max_rejects=args.max_rejects, compression=args.compression, verify=args.verify,
        force=args.force, resume=args.resume, exact=args.exact, progress=progress)
    if not args.quiet:
        refused_text = ""
        if summary.rejects:
            refused_text = (f"; {summary.rejects:,} refused, set aside in "
                            f"{storage.resolve(args.output).child(staging.REJECTS)}")
        rate = summary.bytes / 1e6 / max(summary.seconds, 1e-9)
        print(f"shredded {summary.documents:,} documents into {summary.parts} part(s) in "
              f"{args.output}: {_ratio(summary.atoms_bytes, summary.bytes)}{refused_text} "
              f"({summary.partitions} partition(s), {summary.bytes / 1e6:,.1f} MB in "
              f"{summary.seconds:,.1f} s, {rate:,.1f} MB/s)", file=sys.stderr)
    if summary.rejects and not summary.documents:
        # A dataset of no documents is no result a script should take for one.
        print(f"shredder: error: all {summary.rejects:,} documents refused, set aside in "
              f"{storage.resolve(args.output).child(staging.REJECTS)}; the first: "
              f"{summary.first_refusal}", file=sys.stderr)
        return 1
    check = summary.check
    if check is not None:
        print(check.summary(), file=sys.stderr if args.quiet else sys.stdout)
        if check.lost:
            report = storage.resolve(args.output).child(VERIFY_FOLDER).child(VERIFY_REPORT)
            print(f"shredder: {check.lost:,} value(s) lost; see {report}", file=sys.stderr)
            return 2
    return 0


def _ratio(atoms_bytes: int, input_bytes: int) -> str:
    ratio = f", {atoms_bytes / input_bytes:.2f} bytes per input byte" if input_bytes else ""
    return f"{atoms_bytes / 1e6:,.1f} MB of atoms{ratio}"


# ---- unshred ------------------------------------------------------------------------------


def unshred(args: argparse.Namespace) -> int:
    skip = args.on_error == "skip"
    progress = JobProgress("unshred", not args.quiet)
    summary = unshred_job.unshred_files(args.input, args.output, jobs=args.jobs, dask=args.dask,
                                  codec=args.codec, verify=args.verify,
                                  errors="skip" if skip else "raise", force=args.force,
                                  stamps=args.stamps, progress=progress)
    to_stdout = args.output == STDOUT
    out = sys.stderr if args.quiet or to_stdout else sys.stdout
    if summary.rejects:
        where = "on standard error" if to_stdout else \
            f"in {storage.resolve(args.output).with_suffix('.rejects.jsonl')}"
        print(f"refused {summary.rejects:,} documents, listed {where}", file=out)
    if summary.verify is not None:
        return _report_verification(args.output, summary.verify, out)
    if not args.quiet:
        print(f"rebuilt {summary.documents:,} documents into {summary.output} "
              f"({summary.parts} part(s) in {summary.seconds:,.1f} s)", file=sys.stderr)
    return 0


def _report_verification(output: str, report: VerifyReport, out: Any) -> int:
    """Prints the counts; the ids of documents that did not come back exactly go to a report
    file beside the output (on standard error when the documents went to standard output).
    Exit status 2 tells a script the check failed."""
    location = None if output == STDOUT else \
        storage.resolve(output).with_suffix(".verify.txt")
    line = (f"verified {report.checked:,} documents: {report.exact:,} exact, "
            f"{len(report.changed_ids):,} changed, {len(report.refused_ids):,} refused")
    if not report.changed_ids and not report.refused_ids:
        if location is not None and location.exists():
            location.delete()
        print(line, file=out)
        return 0
    lines = [f"changed {txn_id}\n" for txn_id in report.changed_ids]
    lines += [f"refused {txn_id}\n" for txn_id in report.refused_ids]
    if location is None:
        sys.stderr.write("".join(lines))
        print(f"{line}; ids above", file=out)
        return 2
    location.write_bytes("".join(lines).encode())
    print(f"{line}; ids in {location}", file=out)
    return 2


# ---- inspect ------------------------------------------------------------------------------


def inspect(args: argparse.Namespace) -> int:
    if args.tree or args.html:
        return _inspect_paths(args)
    dataset_parts = unified.dataset_parts(args.input)
    parts, manifest = dataset_parts.files, dataset_parts.manifest
    total_rows = read = 0
    ids: set[object] = set()
    for part, listed in zip(parts, unified.listed_rows(dataset_parts)):
        atoms = read_part(part)
        unified.check_rows(part, atoms.num_rows, listed)
        total_rows += atoms.num_rows
        txn = txn_column(atoms.schema.names)
        if txn is not None:
            ids.update(atoms.column(txn).to_pylist())
        # Exact atoms number their documents, repeats included; plain ones merge repeats.
        doc = doc_column(atoms.schema)
        if doc is not None:
            read += len(atoms.column(doc).unique())
        print(f"{part.name}: {atoms.num_rows:,} rows, {atoms.num_columns:,} columns")
    ids.discard(None)
    if manifest is not None:
        read = manifest.documents
    elif read == 0:
        read = len(ids)
    schema = unified.unified_schema(dataset_parts)
    print(f"total: {len(parts)} part(s), {total_rows:,} rows, {read:,} documents "
          f"({len(ids):,} distinct ids), {len(schema):,} columns")
    if manifest is not None and manifest.rejected:
        print(f"refused: {manifest.rejected:,} documents, in {', '.join(manifest.rejects)}")
    input_bytes = manifest.input_bytes if manifest is not None else 0
    compression = f", {manifest.compression}" if manifest and manifest.compression else ""
    print(f"size: {_ratio(unified.total_bytes(parts), input_bytes)}{compression}")
    print("schema (unified over all parts; parts that differ in brackets):")
    for line in unified.describe_schema(dataset_parts, schema):
        print(line)
    for line in unified.shared_names(dataset_parts):
        print(f"warning: {line}; readers by name show them in one column")
    return 0


def _inspect_paths(args: argparse.Namespace) -> int:
    inspection = path_tree.inspect_dataset(args.input)
    if args.tree:
        for line in path_tree.tree_lines(inspection):
            print(line)
    if args.html:
        title = f"{storage.resolve(args.input)}"
        page = tree_page.render_page(path_tree.page_data(inspection, title))
        storage.resolve(args.html).write_bytes(page.encode())
        print(f"wrote {args.html}: {len(page.encode()) / 1e3:,.0f} kB, "
              f"{sum(1 for _ in inspection.root.walk()) - 1:,} paths", file=sys.stderr)
    return 0


def sql(args: argparse.Namespace) -> int:
    for line in unified.shared_names(unified.dataset_parts(args.input)):
        print(f"shredder: warning: {line}; the views show them in one column",
              file=sys.stderr)
    run_query(args.input, args.query, args.format)
    return 0
