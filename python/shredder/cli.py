"""Command-line program: shred JSON or Arrow documents to atoms datasets and back."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import pyarrow as pa

import shredder_ext
from shredder import _io, _parts, _shred_check, _unified
from shredder._api import TXN_COLUMN, VerifyReport, verify_documents
from shredder._io import UserError
from shredder._progress import Progress

DEFAULT_BATCH_SIZE = 10_000


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except UserError as error:
        print(f"shredder: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("shredder: interrupted", file=sys.stderr)
        return 130


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="shredder", description="Shred nested documents into flat Arrow atoms and back.")
    commands = parser.add_subparsers(dest="command", required=True)

    shred = commands.add_parser("shred", help="documents to an atoms dataset (a folder of parts)")
    shred.add_argument("input", type=Path,
                       help=".jsonl/.ndjson (optionally .gz), .json, .parquet or .arrow")
    shred.add_argument("-o", "--output", type=Path, required=True, help="output folder")
    shred.add_argument("--column", help="column holding the documents (Parquet/Arrow input)")
    shred.add_argument("--codec", choices=("json", "arrow"),
                       help="json for JSON text, arrow for a struct column (default: by type)")
    shred.add_argument("--format", choices=tuple(_io.ATOM_FORMATS), default="parquet",
                       help="part file format (default parquet)")
    shred.add_argument("--batch-size", type=_positive, default=DEFAULT_BATCH_SIZE,
                       help=f"documents per batch and part (default {DEFAULT_BATCH_SIZE})")
    shred.add_argument("--compression", choices=_parts.COMPRESSIONS,
                       default=_parts.DEFAULT_COMPRESSION,
                       help=f"part compression (default {_parts.DEFAULT_COMPRESSION})")
    shred.add_argument("--verify", action="store_true",
                       help="rebuild every batch and report each difference from the input by "
                            f"path in {_shred_check.REPORT_FOLDER}/; exit status 2 when a "
                            "value is lost")
    shred.add_argument("--force", action="store_true", help="replace a non-empty output folder")
    shred.add_argument("-q", "--quiet", action="store_true", help="no progress display")
    shred.set_defaults(run=_shred)

    unshred = commands.add_parser("unshred", help="an atoms dataset back to documents")
    unshred.add_argument("input", type=Path, help="atoms folder or one part file")
    unshred.add_argument("-o", "--output", type=Path, required=True,
                         help=".jsonl/.ndjson (optionally .gz), .parquet or .arrow")
    unshred.add_argument("--codec", choices=("json", "arrow"), default="json",
                         help="document form for Parquet/Arrow output: JSON text (json, default) "
                              "or a struct column (arrow)")
    unshred.add_argument("--verify", action="store_true",
                         help="check every document against its content id")
    unshred.add_argument("--force", action="store_true", help="replace an existing output")
    unshred.add_argument("-q", "--quiet", action="store_true", help="no progress display")
    unshred.set_defaults(run=_unshred)

    inspect = commands.add_parser("inspect", help="schema and row counts of an atoms dataset")
    inspect.add_argument("input", type=Path, help="atoms folder or one part file")
    inspect.set_defaults(run=_inspect)

    sql = commands.add_parser("sql", help="run a SQL query (DuckDB) over an atoms dataset")
    sql.add_argument("input", type=Path, help="atoms folder")
    sql.add_argument("query", help="the query; views: atoms, docs, and one per array path "
                                   "(root_items)")
    sql.add_argument("--format", choices=("table", "csv", "jsonl"), default="table",
                     help="result format (default table)")
    sql.set_defaults(run=_sql)
    return parser


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _shred(args: argparse.Namespace) -> int:
    progress = Progress("shred", not args.quiet)
    writer = None
    handle = None
    check = None
    for docs in _io.read_documents(args.input, args.column, args.codec, args.batch_size):
        if writer is None:
            writer = _io.AtomsWriter(args.output, args.format, docs.codec, args.force,
                                     args.compression)
            handle = shredder_ext.create_controller(docs.codec)
            if args.verify:
                check = _shred_check.ShredCheck(_shred_check.open_report(args.output))
        try:
            atoms = shredder_ext.shred_arrow(handle, docs.batch)
        except ValueError as error:
            raise UserError(_locate_failure(args.input, docs, error)) from None
        if check is not None:
            check.check(_shred_check.input_documents(docs.batch, docs.codec), atoms,
                        _places(docs))
        writer.write(atoms, docs.batch.num_rows, docs.nbytes)
        progress.advance(docs.batch.num_rows, docs.nbytes)
    if writer is None:  # an input without documents still gives a (empty) dataset
        writer = _io.AtomsWriter(args.output, args.format, args.codec or "json", args.force,
                                 args.compression)
    writer.close()
    progress.finish()
    if not args.quiet:
        print(f"shredded {progress.documents:,} documents into {len(writer.parts)} part(s) "
              f"in {args.output}: {_ratio(writer.atoms_bytes, writer.input_bytes)}",
              file=sys.stderr)
    if check is not None:
        check.report.close()
        print(check.summary(), file=sys.stderr if args.quiet else sys.stdout)
        if check.lost:
            print(f"shredder: {check.lost:,} value(s) lost; see "
                  f"{args.output / _shred_check.REPORT_FOLDER / _shred_check.REPORT_FILE}",
                  file=sys.stderr)
            return 2
    return 0


def _ratio(atoms_bytes: int, input_bytes: int) -> str:
    ratio = f", {atoms_bytes / input_bytes:.2f} bytes per input byte" if input_bytes else ""
    return f"{atoms_bytes / 1e6:,.1f} MB of atoms{ratio}"


def _places(docs: _io.DocumentBatch) -> list[dict[str, int]]:
    if docs.line_numbers is not None:
        return [{"line": n} for n in docs.line_numbers]
    return [{"row": r + 1} for r in range(docs.batch.num_rows)]


def _locate_failure(path: Path, docs: _io.DocumentBatch, error: ValueError) -> str:
    """Names the row that failed: the first that fails on its own in a fresh pipeline, or
    (for a failure that depends on earlier documents) the batch's range."""
    for row in range(docs.batch.num_rows):
        try:
            shredder_ext.shred_arrow(shredder_ext.create_controller(docs.codec),
                                     docs.batch.slice(row, 1))
        except ValueError as row_error:
            return f"{path}:{_where(docs, row)}: {row_error}"
    first, last = _where(docs, 0), _where(docs, docs.batch.num_rows - 1)
    return f"{path}:{first}-{last}: {error}"


def _where(docs: _io.DocumentBatch, row: int) -> str:
    if docs.line_numbers is not None:
        return f"line {docs.line_numbers[row]}"
    return f"document {row + 1}"


def _unshred(args: argparse.Namespace) -> int:
    parts = _io.atoms_parts(args.input)
    writer = _io.DocumentsWriter(args.output, args.force)
    codec = "json" if writer.kind == "jsonl" else args.codec
    handle = shredder_ext.create_controller(codec)
    report = VerifyReport()
    progress = Progress("unshred", not args.quiet)
    try:
        for part in parts:
            atoms = _io.read_atoms_part(part)
            if atoms.num_columns == 0:
                continue
            try:
                documents = shredder_ext.unshred_arrow(handle, atoms)
            except ValueError as error:
                raise UserError(f"{part}: {error}") from None
            if args.verify:
                report.add(verify_documents(documents, codec))
            writer.write(documents)
            progress.advance(documents.num_rows, _io.file_size(part))
    finally:
        writer.close()
    progress.finish()
    if args.verify:
        print(f"verified {report.checked:,} documents: {report.exact:,} exact, "
              f"{len(report.changed_ids):,} changed", file=sys.stderr if args.quiet else sys.stdout)
        for txn_id in report.changed_ids:
            print(f"changed: {txn_id}")
    elif not args.quiet:
        print(f"rebuilt {progress.documents:,} documents into {args.output}", file=sys.stderr)
    return 0


def _inspect(args: argparse.Namespace) -> int:
    dataset_parts = _unified.dataset_parts(args.input)
    parts = dataset_parts.files
    total_rows = 0
    documents: set[object] = set()
    for part in parts:
        atoms = _io.read_atoms_part(part)
        total_rows += atoms.num_rows
        txn = _txn_column(atoms.schema)
        if txn is not None:
            documents.update(atoms.column(txn).to_pylist())
        print(f"{part.name}: {atoms.num_rows:,} rows, {atoms.num_columns:,} columns")
    documents.discard(None)
    schema = _unified.unified_schema(dataset_parts)
    print(f"total: {len(parts)} part(s), {total_rows:,} rows, {len(documents):,} documents, "
          f"{len(schema):,} columns")
    manifest = dataset_parts.manifest or {}
    atoms_bytes = _unified.total_bytes(parts)
    print(f"size: {_ratio(atoms_bytes, manifest.get('input_bytes', 0))}"
          + (f", {manifest['compression']}" if "compression" in manifest else ""))
    print("schema (unified over all parts; parts that differ in brackets):")
    for line in _unified.describe_schema(dataset_parts, schema):
        print(line)
    return 0


def _sql(args: argparse.Namespace) -> int:
    from shredder._sql import run_query

    run_query(args.input, args.query, args.format)
    return 0


def _txn_column(schema: pa.Schema) -> str | None:
    if TXN_COLUMN in schema.names:
        return TXN_COLUMN
    return next((name for name in schema.names if name.endswith("__txn_id")), None)
