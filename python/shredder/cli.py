"""Command-line program: shred JSON or Arrow documents to atoms datasets and back."""

from __future__ import annotations

import argparse
import signal
import sys
from collections import Counter

import pyarrow as pa

from shredder import _fs, _io, _jobs, _partitions
from shredder._api import TXN_COLUMN
from shredder._io import UserError
from shredder._progress import JobProgress

DEFAULT_BATCH_SIZE = 10_000


def _terminate(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    # a job stopped by SIGTERM cleans up like one stopped by Ctrl-C
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        return args.run(args)
    except UserError as error:
        print(f"shredder: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("shredder: interrupted", file=sys.stderr)
        return 130
    finally:
        signal.signal(signal.SIGTERM, previous)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="shredder", description="Shred nested documents into flat Arrow atoms and back.")
    commands = parser.add_subparsers(dest="command", required=True)

    shred = commands.add_parser("shred", help="documents to an atoms dataset (a folder of parts)")
    shred.add_argument("input", nargs="+",
                       help=".jsonl/.ndjson (optionally .gz), .json, .parquet or .arrow files, "
                            "folders, glob patterns or URIs (s3://...); - for JSON Lines on "
                            "standard input")
    shred.add_argument("-o", "--output", required=True, help="output folder (path or URI)")
    shred.add_argument("--column", help="column holding the documents (Parquet/Arrow input)")
    shred.add_argument("--codec", choices=("json", "arrow"),
                       help="json for JSON text, arrow for a struct column (default: by type)")
    shred.add_argument("--format", choices=tuple(_io.ATOM_FORMATS), default="parquet",
                       help="part file format (default parquet)")
    shred.add_argument("--batch-size", type=_positive, default=DEFAULT_BATCH_SIZE,
                       help=f"documents per batch and part (default {DEFAULT_BATCH_SIZE})")
    shred.add_argument("--force", action="store_true", help="replace a non-empty output folder")
    shred.add_argument("--partition-size", type=_size, default=_partitions.DEFAULT_PARTITION_SIZE,
                       help="bytes of input per partition, the unit of work of one worker "
                            "(default 64MiB)")
    shred.add_argument("--resume", action="store_true",
                       help="go on with an interrupted run, reusing its finished partitions")
    _add_engine_arguments(shred)
    shred.add_argument("-q", "--quiet", action="store_true", help="no progress display")
    shred.set_defaults(run=_shred)

    unshred = commands.add_parser("unshred", help="an atoms dataset back to documents")
    unshred.add_argument("input", help="atoms folder or one part file (path or URI)")
    unshred.add_argument("-o", "--output", required=True,
                         help=".jsonl/.ndjson (optionally .gz), .parquet or .arrow")
    unshred.add_argument("--codec", choices=("json", "arrow"), default="json",
                         help="document form for Parquet/Arrow output: JSON text (json, default) "
                              "or a struct column (arrow)")
    unshred.add_argument("--verify", action="store_true",
                         help="check every document against its content id")
    unshred.add_argument("--force", action="store_true", help="replace an existing output")
    _add_engine_arguments(unshred)
    unshred.add_argument("-q", "--quiet", action="store_true", help="no progress display")
    unshred.set_defaults(run=_unshred)

    inspect = commands.add_parser("inspect", help="schema and row counts of an atoms dataset")
    inspect.add_argument("input", help="atoms folder or one part file (path or URI)")
    inspect.set_defaults(run=_inspect)
    return parser


def _add_engine_arguments(parser: argparse.ArgumentParser) -> None:
    engine = parser.add_mutually_exclusive_group()
    engine.add_argument("--jobs", "-j", type=_positive, default=None,
                        help="local worker processes (default: the CPUs this process may use; "
                             "1 runs in this process)")
    engine.add_argument("--dask", metavar="ADDRESS",
                        help="run on the Dask distributed cluster whose scheduler is at "
                             "ADDRESS (tcp://host:8786); needs the dask extra")


def _size(text: str) -> int:
    try:
        return _partitions.parse_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _shred(args: argparse.Namespace) -> int:
    progress = JobProgress("shred", not args.quiet)
    summary = _jobs.shred_files(
        args.input, args.output, jobs=args.jobs, dask=args.dask, codec=args.codec,
        column=args.column, format=args.format, batch_size=args.batch_size,
        partition_size=args.partition_size, force=args.force, resume=args.resume,
        progress=progress)
    if not args.quiet:
        rate = summary.bytes / 1e6 / max(summary.seconds, 1e-9)
        print(f"shredded {summary.documents:,} documents into {summary.parts} part(s) in "
              f"{args.output} ({summary.partitions} partition(s), {summary.bytes / 1e6:,.1f} MB "
              f"in {summary.seconds:,.1f} s, {rate:,.1f} MB/s)", file=sys.stderr)
    return 0


def _unshred(args: argparse.Namespace) -> int:
    progress = JobProgress("unshred", not args.quiet)
    summary = _jobs.unshred_files(args.input, args.output, jobs=args.jobs, dask=args.dask,
                                  codec=args.codec, verify=args.verify, force=args.force,
                                  progress=progress)
    report = summary.verify
    if report is not None:
        print(f"verified {report.checked:,} documents: {report.exact:,} exact, "
              f"{len(report.changed_ids):,} changed", file=sys.stderr if args.quiet else sys.stdout)
        for txn_id in report.changed_ids:
            print(f"changed: {txn_id}")
    elif not args.quiet:
        print(f"rebuilt {summary.documents:,} documents into {args.output} "
              f"({summary.parts} part(s) in {summary.seconds:,.1f} s)", file=sys.stderr)
    return 0


def _inspect(args: argparse.Namespace) -> int:
    parts = _jobs.dataset_parts(_fs.resolve(args.input))
    types: dict[str, Counter[str]] = {}
    total_rows = 0
    documents: set[object] = set()
    for part in parts:
        atoms = _jobs.read_atoms(part)
        total_rows += atoms.num_rows
        txn = _txn_column(atoms.schema)
        if txn is not None:
            documents.update(atoms.column(txn).to_pylist())
        print(f"{part.name}: {atoms.num_rows:,} rows, {atoms.num_columns:,} columns")
        for field in atoms.schema:
            types.setdefault(field.name, Counter())[str(field.type)] += 1
    documents.discard(None)
    print(f"total: {len(parts)} part(s), {total_rows:,} rows, {len(documents):,} documents, "
          f"{len(types):,} columns")
    width = max((len(name) for name in types), default=0)
    for name, seen in types.items():
        kinds = " | ".join(f"{t}" if n == len(parts) else f"{t} ({n} parts)"
                           for t, n in seen.items())
        print(f"  {name.ljust(width)}  {kinds}")
    return 0


def _txn_column(schema: pa.Schema) -> str | None:
    if TXN_COLUMN in schema.names:
        return TXN_COLUMN
    return next((name for name in schema.names if name.endswith("__txn_id")), None)
