"""Command-line program: shred JSON or Arrow documents to atoms datasets and back."""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import threading
from collections.abc import Iterator
from typing import Any

import pyarrow as pa

from shredder import (_fs, _output, _partitions, _parts, _shred_job, _staging, _tree,
                      _tree_page, _unified, _unshred_job)
from shredder._api import VerifyReport, document_column, txn_column
from shredder._dataset import ATOM_FORMATS, VERIFY_FOLDER, VERIFY_REPORT
from shredder._errors import UserError
from shredder._progress import JobProgress

DEFAULT_BATCH_SIZE = 10_000


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
    shred.add_argument("input", nargs="+",
                       help=".jsonl/.ndjson (optionally .gz), .json, .parquet or .arrow files, "
                            "folders, glob patterns or URIs (s3://...); - for JSON Lines on "
                            "standard input")
    shred.add_argument("-o", "--output", required=True, help="output folder (path or URI)")
    shred.add_argument("--column", help="column holding the documents (Parquet/Arrow input)")
    shred.add_argument("--codec", choices=("json", "arrow"),
                       help="json for JSON text, arrow for a struct column (default: by type)")
    shred.add_argument("--format", choices=tuple(ATOM_FORMATS), default="parquet",
                       help="part file format (default parquet)")
    shred.add_argument("--batch-size", type=_positive, default=DEFAULT_BATCH_SIZE,
                       help=f"documents per batch and part (default {DEFAULT_BATCH_SIZE}; "
                            "a batch of JSON Lines also ends at 16MiB of text)")
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
    shred.add_argument("--partition-size", type=_size, default=_partitions.DEFAULT_PARTITION_SIZE,
                       help="bytes of input per partition, the unit of work of one worker "
                            "(default 64MiB)")
    shred.add_argument("--resume", action="store_true",
                       help="go on with an interrupted run, reusing its finished partitions")
    shred.add_argument("--no-exact", dest="exact", action="store_false",
                       help="plain atoms: no rescue columns and no __doc column; documents the "
                            "columns cannot hold are refused, nulls and empty arrays are "
                            "dropped, repeats merge (see README)")
    _add_engine_arguments(shred)
    shred.add_argument("-q", "--quiet", action="store_true", help="no progress display")
    shred.set_defaults(run=_shred)

    unshred = commands.add_parser("unshred", help="an atoms dataset back to documents")
    unshred.add_argument("input", help="atoms folder or one part file (path or URI)")
    unshred.add_argument("-o", "--output", required=True,
                         help=".jsonl/.ndjson (optionally .gz), .parquet or .arrow; - for JSON "
                              "Lines on standard output")
    unshred.add_argument("--codec", choices=("json", "arrow"), default="json",
                         help="document form for Parquet/Arrow output: JSON text (json, default) "
                              "or a struct column (arrow)")
    unshred.add_argument("--verify", action="store_true",
                         help="check every document against its content id; exit status 2 "
                              "when one did not come back exactly (ids in OUTPUT.verify.txt)")
    _add_on_error(unshred, "documents that cannot be rebuilt or written (listed in "
                           "OUTPUT.rejects.jsonl)")
    unshred.add_argument("--no-stamps", dest="stamps", action="store_false",
                         help="leave __txn_id and __obj_id out of every object, so that the "
                              "output compares with the input as it is (with --verify, each "
                              "document is checked against its id first)")
    unshred.add_argument("--force", action="store_true", help="replace an existing output")
    _add_engine_arguments(unshred)
    unshred.add_argument("-q", "--quiet", action="store_true", help="no progress display")
    unshred.set_defaults(run=_unshred)

    inspect = commands.add_parser("inspect", help="schema and row counts of an atoms dataset")
    inspect.add_argument("input", help="atoms folder or one part file (path or URI)")
    inspect.add_argument("--tree", action="store_true",
                         help="the tree of the documents' paths instead of the columns: kind, "
                              "documents holding each, nulls, rescued members, array lengths, "
                              "bytes")
    inspect.add_argument("--html", metavar="FILE",
                         help="write the tree as one self-contained page (collapsible, "
                              "searchable) to FILE")
    inspect.set_defaults(run=_inspect)

    sql = commands.add_parser("sql", help="run a SQL query (DuckDB) over an atoms dataset")
    sql.add_argument("input", help="atoms folder (path or URI)")
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
    progress = JobProgress("shred", not args.quiet)
    summary = _shred_job.shred_files(
        args.input, args.output, jobs=args.jobs, dask=args.dask, codec=args.codec,
        column=args.column, format=args.format, batch_size=args.batch_size,
        partition_size=args.partition_size, errors="skip" if skip else "raise",
        max_rejects=args.max_rejects, compression=args.compression, verify=args.verify,
        force=args.force, resume=args.resume, exact=args.exact, progress=progress)
    if not args.quiet:
        refused_text = ""
        if summary.rejects:
            refused_text = (f"; {summary.rejects:,} refused, set aside in "
                            f"{_fs.resolve(args.output).child(_staging.REJECTS)}")
        rate = summary.bytes / 1e6 / max(summary.seconds, 1e-9)
        print(f"shredded {summary.documents:,} documents into {summary.parts} part(s) in "
              f"{args.output}: {_ratio(summary.atoms_bytes, summary.bytes)}{refused_text} "
              f"({summary.partitions} partition(s), {summary.bytes / 1e6:,.1f} MB in "
              f"{summary.seconds:,.1f} s, {rate:,.1f} MB/s)", file=sys.stderr)
    if summary.rejects and not summary.documents:
        # A dataset of no documents is no result a script should take for one.
        print(f"shredder: error: all {summary.rejects:,} documents refused, set aside in "
              f"{_fs.resolve(args.output).child(_staging.REJECTS)}; the first: "
              f"{summary.first_refusal}", file=sys.stderr)
        return 1
    check = summary.check
    if check is not None:
        print(check.summary(), file=sys.stderr if args.quiet else sys.stdout)
        if check.lost:
            report = _fs.resolve(args.output).child(VERIFY_FOLDER).child(VERIFY_REPORT)
            print(f"shredder: {check.lost:,} value(s) lost; see {report}", file=sys.stderr)
            return 2
    return 0


def _ratio(atoms_bytes: int, input_bytes: int) -> str:
    ratio = f", {atoms_bytes / input_bytes:.2f} bytes per input byte" if input_bytes else ""
    return f"{atoms_bytes / 1e6:,.1f} MB of atoms{ratio}"


# ---- unshred ------------------------------------------------------------------------------


def _unshred(args: argparse.Namespace) -> int:
    skip = args.on_error == "skip"
    progress = JobProgress("unshred", not args.quiet)
    summary = _unshred_job.unshred_files(args.input, args.output, jobs=args.jobs, dask=args.dask,
                                  codec=args.codec, verify=args.verify,
                                  errors="skip" if skip else "raise", force=args.force,
                                  stamps=args.stamps, progress=progress)
    to_stdout = args.output == _output.STDOUT
    out = sys.stderr if args.quiet or to_stdout else sys.stdout
    if summary.rejects:
        where = "on standard error" if to_stdout else \
            f"in {_fs.resolve(args.output).with_suffix('.rejects.jsonl')}"
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
    location = None if output == _output.STDOUT else \
        _fs.resolve(output).with_suffix(".verify.txt")
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


def _inspect(args: argparse.Namespace) -> int:
    if args.tree or args.html:
        return _inspect_paths(args)
    dataset_parts = _unified.dataset_parts(args.input)
    parts, manifest = dataset_parts.files, dataset_parts.manifest
    total_rows = read = 0
    ids: set[object] = set()
    for part in parts:
        atoms = _unshred_job.read_atoms(part)
        total_rows += atoms.num_rows
        txn = txn_column(atoms.schema)
        if txn is not None:
            ids.update(atoms.column(txn).to_pylist())
        # Exact atoms number their documents, repeats included; plain ones merge repeats.
        doc = document_column(atoms.schema)
        if doc is not None:
            read += len(pa.compute.unique(atoms.column(doc)))
        print(f"{part.name}: {atoms.num_rows:,} rows, {atoms.num_columns:,} columns")
    ids.discard(None)
    if manifest is not None:
        read = manifest.documents
    elif read == 0:
        read = len(ids)
    schema = _unified.unified_schema(dataset_parts)
    print(f"total: {len(parts)} part(s), {total_rows:,} rows, {read:,} documents "
          f"({len(ids):,} distinct ids), {len(schema):,} columns")
    if manifest is not None and manifest.rejected:
        print(f"refused: {manifest.rejected:,} documents, in {', '.join(manifest.rejects)}")
    input_bytes = manifest.input_bytes if manifest is not None else 0
    compression = f", {manifest.compression}" if manifest and manifest.compression else ""
    print(f"size: {_ratio(_unified.total_bytes(parts), input_bytes)}{compression}")
    print("schema (unified over all parts; parts that differ in brackets):")
    for line in _unified.describe_schema(dataset_parts, schema):
        print(line)
    for line in _unified.shared_names(dataset_parts):
        print(f"warning: {line}; readers by name show them in one column")
    return 0


def _inspect_paths(args: argparse.Namespace) -> int:
    inspection = _tree.inspect_dataset(args.input)
    if args.tree:
        for line in _tree.tree_lines(inspection):
            print(line)
    if args.html:
        title = f"{_fs.resolve(args.input)}"
        page = _tree_page.render_page(_tree.page_data(inspection, title))
        _fs.resolve(args.html).write_bytes(page.encode())
        print(f"wrote {args.html}: {len(page.encode()) / 1e3:,.0f} kB, "
              f"{sum(1 for _ in inspection.root.walk()) - 1:,} paths", file=sys.stderr)
    return 0


def _sql(args: argparse.Namespace) -> int:
    from shredder._sql import run_query

    for line in _unified.shared_names(_unified.dataset_parts(args.input)):
        print(f"shredder: warning: {line}; the views show them in one column",
              file=sys.stderr)
    run_query(args.input, args.query, args.format)
    return 0
