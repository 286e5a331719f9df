"""Command-line program: shred JSON or Arrow documents to atoms datasets and back."""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pyarrow as pa

import shredder_ext
from shredder import _io, _parts, _shred_check, _unified
from shredder._api import (
    VerifyReport,
    failing_row,
    shred_batch,
    txn_column,
    unshred_batch,
    verify_documents,
)
from shredder._dataset import ATOM_FORMATS, DatasetWriter, open_dataset, read_atoms_part
from shredder._errors import UserError
from shredder._progress import Progress
from shredder._rejects import RejectsWriter, document_fields

DEFAULT_BATCH_SIZE = 10_000
SKIP_HINT = "use --on-error skip to set refused documents aside and go on"


class Terminated(KeyboardInterrupt):
    """SIGTERM, turned into an exception so that a run ends the way an interrupt does."""


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    with _sigterm_as_exception():
        try:
            status = args.run(args)
            sys.stdout.flush()  # a closed pipe shows here, not at interpreter exit
            return status
        except UserError as error:
            print(f"shredder: error: {error}", file=sys.stderr)
            return 1
        except BrokenPipeError:
            _silence_stdout()
            return 1
        except pa.ArrowException as error:  # a file Arrow cannot read or write
            print(f"shredder: error: {error}", file=sys.stderr)
            return 1
        except OSError as error:
            where = f": {error.filename}" if error.filename else ""
            print(f"shredder: error: {error.strerror or error}{where}", file=sys.stderr)
            return 1
        except Terminated:
            print("shredder: terminated", file=sys.stderr)
            return 128 + signal.SIGTERM
        except KeyboardInterrupt:
            print("shredder: interrupted", file=sys.stderr)
            return 128 + signal.SIGINT


def _silence_stdout() -> None:
    # The reader of our output went away (`shredder inspect atoms | head -1`). As Python's
    # documentation advises, point standard output at /dev/null so that the final flush at
    # exit does not fail a second time.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


@contextlib.contextmanager
def _sigterm_as_exception() -> Iterator[None]:
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def terminate(signum: int, frame: Any) -> None:
        raise Terminated()

    previous = signal.signal(signal.SIGTERM, terminate)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


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
    shred.add_argument("--format", choices=tuple(ATOM_FORMATS), default="parquet",
                       help="part file format (default parquet)")
    shred.add_argument("--batch-size", type=_positive, default=DEFAULT_BATCH_SIZE,
                       help=f"documents per batch and part (default {DEFAULT_BATCH_SIZE})")
    _add_on_error(shred, "documents the pipeline refuses")
    shred.add_argument("--max-rejects", type=_non_negative, metavar="N",
                       help="with --on-error skip: fail the run when more than N documents "
                            "are refused")
    shred.add_argument("--compression", choices=_parts.COMPRESSIONS,
                       default=_parts.DEFAULT_COMPRESSION,
                       help=f"part compression (default {_parts.DEFAULT_COMPRESSION})")
    shred.add_argument("--verify", action="store_true",
                       help="rebuild every batch and report each difference from the input by "
                            "path in _verify/; exit status 2 when a value is lost")
    shred.add_argument("--force", action="store_true",
                       help="replace the dataset in a non-empty output folder (other files "
                            "stay)")
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
                         help="check every document against its content id; exit status 2 "
                              "when one did not come back exactly (ids in OUTPUT.verify.txt)")
    _add_on_error(unshred, "documents that cannot be rebuilt or written (listed in "
                           "OUTPUT.rejects.jsonl)")
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


def _add_on_error(command: argparse.ArgumentParser, what: str) -> None:
    command.add_argument("--on-error", choices=("fail", "skip"), default="fail",
                         help=f"fail (default): stop at the first of the {what}; skip: set "
                              "them aside and go on")


def _positive(text: str) -> int:
    value = _whole_number(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _non_negative(text: str) -> int:
    value = _whole_number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be at least 0, got {value}")
    return value


def _whole_number(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


# ---- shred --------------------------------------------------------------------------------


def _shred(args: argparse.Namespace) -> int:
    skip = args.on_error == "skip"
    if args.max_rejects is not None and not skip:
        raise UserError("--max-rejects needs --on-error skip")
    batches = _io.read_documents(args.input, args.column, args.codec, args.batch_size)
    writer = DatasetWriter(args.output, args.format, args.codec or "json", force=args.force,
                           inputs=[args.input], compression=args.compression)
    check = _shred_check.ShredCheck(writer.verify_report()) if args.verify else None
    progress = Progress("shred", not args.quiet)
    try:
        handle = None
        for docs in batches:
            if handle is None:
                handle = shredder_ext.create_controller(docs.codec)
                writer.codec = docs.codec
            try:
                shredded = shred_batch(handle, docs.batch, docs.codec,
                                       "skip" if skip else "raise")
            except ValueError as error:
                raise UserError(_refusal_message(args.input, docs, error, skip)) from None
            for refusal in shredded.refused:
                _set_aside(writer, args, docs, refusal.row, refusal.error)
            if check is not None:
                _check_batch(check, docs, shredded)
            for atoms, documents in zip(shredded.atoms, shredded.documents):
                writer.write_part(atoms, documents)
            writer.manifest.input_bytes += docs.nbytes
            progress.advance(docs.batch.num_rows, docs.nbytes)
        manifest = writer.commit()
    except BaseException:
        writer.abort()
        raise
    progress.finish()
    if not args.quiet:
        refused_text = ""
        if manifest.rejected:
            refused_text = (f"; {manifest.rejected:,} refused, set aside in "
                            f"{args.output / manifest.rejects[0]}")
        print(f"shredded {manifest.documents:,} documents into {len(manifest.parts)} part(s) "
              f"in {args.output}: {_ratio(manifest.atoms_bytes, manifest.input_bytes)}"
              f"{refused_text}", file=sys.stderr)
    if check is not None:
        print(check.summary(), file=sys.stderr if args.quiet else sys.stdout)
        if check.lost:
            print(f"shredder: {check.lost:,} value(s) lost; see {writer.verify.path}",
                  file=sys.stderr)
            return 2
    return 0


def _ratio(atoms_bytes: int, input_bytes: int) -> str:
    ratio = f", {atoms_bytes / input_bytes:.2f} bytes per input byte" if input_bytes else ""
    return f"{atoms_bytes / 1e6:,.1f} MB of atoms{ratio}"


def _check_batch(check: _shred_check.ShredCheck, docs: _io.DocumentBatch,
                 shredded: Any) -> None:
    """Compares the documents of a batch that went through with what their atoms rebuild to;
    the atoms batches hold the rows left after the refused ones, in order."""
    refused = {refusal.row for refusal in shredded.refused}
    kept = [row for row in range(docs.batch.num_rows) if row not in refused]
    documents = _shred_check.input_documents(docs.batch, docs.codec)
    start = 0
    for atoms, count in zip(shredded.atoms, shredded.documents):
        rows = kept[start:start + count]
        start += count
        check.check([documents[r] for r in rows], atoms,
                    [dict([docs.location(r)]) for r in rows])


def _refusal_message(path: Path, docs: _io.DocumentBatch, error: ValueError,
                     skip: bool) -> str:
    row = failing_row(error, docs.batch)
    if row is None:  # not one document's fault: skipping cannot help
        return f"{path}: {error}"
    message = f"{path}:{docs.where(row)}: {error}"
    return message if skip else f"{message} ({SKIP_HINT})"


def _set_aside(writer: DatasetWriter, args: argparse.Namespace, docs: _io.DocumentBatch,
               row: int, error: str) -> None:
    key, number = docs.location(row)
    record = {"input": str(args.input), key: number, "error": error}
    record.update(document_fields(docs.batch.column(0)[row].as_py()))
    writer.reject(record)
    if args.max_rejects is not None and writer.rejected > args.max_rejects:
        raise UserError(f"more than {args.max_rejects:,} documents refused (--max-rejects); "
                        f"the last: {args.input}:{docs.where(row)}: {error}")


# ---- unshred ------------------------------------------------------------------------------


def _unshred(args: argparse.Namespace) -> int:
    parts, _ = open_dataset(args.input)
    writer = _io.DocumentsWriter(args.output, args.force)
    codec = "json" if writer.kind == "jsonl" else args.codec
    skip = args.on_error == "skip"
    rejects = RejectsWriter(_beside(args.output, ".rejects.jsonl"))
    handle = shredder_ext.create_controller(codec)
    report = VerifyReport()
    progress = Progress("unshred", not args.quiet)
    try:
        for part in parts:
            atoms = read_atoms_part(part)
            if atoms.num_columns == 0:
                continue
            try:
                documents, refused = unshred_batch(handle, atoms, "skip" if skip else "raise")
            except ValueError as error:
                hint = "" if skip else " (use --on-error skip to set such documents aside)"
                raise UserError(f"{part}: {error}{hint}") from None
            for refusal in refused:
                rejects.write({"part": str(part), "txn_id": refusal.txn_id,
                               "error": refusal.error})
            if documents is None:
                continue
            if args.verify:
                report.add(verify_documents(documents, codec))
            writer.write(documents)
            progress.advance(documents.num_rows, _io.file_size(part))
        writer.commit()
        rejects.commit()
    except BaseException:
        writer.abort()
        rejects.abort()
        raise
    progress.finish()
    out = sys.stderr if args.quiet else sys.stdout
    if rejects.count:
        print(f"refused {rejects.count:,} documents, listed in {rejects.path}", file=out)
    if args.verify:
        return _report_verification(args.output, report, out)
    if not args.quiet:
        print(f"rebuilt {progress.documents:,} documents into {args.output}", file=sys.stderr)
    return 0


def _beside(path: Path, suffix: str) -> Path:
    return path.with_name(path.name + suffix)


def _report_verification(output: Path, report: VerifyReport, out: Any) -> int:
    """Prints the counts; the ids of documents that did not come back exactly go to a report
    file beside the output. Exit status 2 tells a script the check failed."""
    path = _beside(output, ".verify.txt")
    line = (f"verified {report.checked:,} documents: {report.exact:,} exact, "
            f"{len(report.changed_ids):,} changed, {len(report.refused_ids):,} refused")
    if not report.changed_ids and not report.refused_ids:
        path.unlink(missing_ok=True)
        print(line, file=out)
        return 0
    temporary = path.with_name(f".{path.name}.tmp")
    with open(temporary, "w", encoding="utf-8") as stream:
        for txn_id in report.changed_ids:
            stream.write(f"changed {txn_id}\n")
        for txn_id in report.refused_ids:
            stream.write(f"refused {txn_id}\n")
    os.replace(temporary, path)
    print(f"{line}; ids in {path}", file=out)
    return 2


# ---- inspect ------------------------------------------------------------------------------


def _inspect(args: argparse.Namespace) -> int:
    dataset_parts = _unified.dataset_parts(args.input)
    parts, manifest = dataset_parts.files, dataset_parts.manifest
    total_rows = 0
    documents: set[object] = set()
    for part in parts:
        atoms = read_atoms_part(part)
        total_rows += atoms.num_rows
        txn = txn_column(atoms.schema)
        if txn is not None:
            documents.update(atoms.column(txn).to_pylist())
        print(f"{part.name}: {atoms.num_rows:,} rows, {atoms.num_columns:,} columns")
    documents.discard(None)
    schema = _unified.unified_schema(dataset_parts)
    print(f"total: {len(parts)} part(s), {total_rows:,} rows, {len(documents):,} documents, "
          f"{len(schema):,} columns")
    if manifest is not None and manifest.rejected:
        print(f"refused: {manifest.rejected:,} documents, in {', '.join(manifest.rejects)}")
    input_bytes = manifest.input_bytes if manifest is not None else 0
    compression = f", {manifest.compression}" if manifest and manifest.compression else ""
    print(f"size: {_ratio(_unified.total_bytes(parts), input_bytes)}{compression}")
    print("schema (unified over all parts; parts that differ in brackets):")
    for line in _unified.describe_schema(dataset_parts, schema):
        print(line)
    return 0


def _sql(args: argparse.Namespace) -> int:
    from shredder._sql import run_query

    run_query(args.input, args.query, args.format)
    return 0
