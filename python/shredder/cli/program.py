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

from shredder.core.errors import UserError
from shredder.io.choices import ATOM_FORMATS, COMPRESSIONS, DEFAULT_COMPRESSION, parse_size
from shredder.jobs import executors

DEFAULT_BATCH_SIZE = 10_000


class Terminated(KeyboardInterrupt):
    """SIGTERM, turned into an exception so that a run ends the way an interrupt does."""


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if _local_workers(args):
        # Their server loads pyarrow and the engine while this process does the same.
        executors.start_worker_server()
    # Loaded only now, after the arguments (pyarrow and the engine take a third of a second).
    import pyarrow as pa

    from shredder.cli import commands

    with _sigterm_as_exception():
        try:
            status = getattr(commands, args.run)(args)
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


def _local_workers(args: argparse.Namespace) -> bool:
    """Whether the command may run local worker processes (more than one job, no cluster)."""
    if args.command not in ("shred", "unshred") or args.dask is not None:
        return False
    return (args.jobs if args.jobs is not None else executors.default_jobs()) > 1


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
    subcommands = parser.add_subparsers(dest="command", required=True)

    shred = subcommands.add_parser("shred",
                                   help="documents to an atoms dataset (a folder of parts)")
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
    shred.add_argument("--compression", choices=COMPRESSIONS,
                       default=DEFAULT_COMPRESSION,
                       help=f"part compression (default {DEFAULT_COMPRESSION})")
    shred.add_argument("--verify", action="store_true",
                       help="rebuild every batch and report each difference from the input by "
                            "path in _verify/; exit status 2 when a value is lost")
    shred.add_argument("--force", action="store_true",
                       help="replace the dataset in a non-empty output folder (other files "
                            "stay)")
    shred.add_argument("--partition-size", type=_size, default=None,
                       help="bytes of input per partition, the unit of work of one worker "
                            "(default: each input in 8 partitions of 8 to 64 MiB)")
    shred.add_argument("--resume", action="store_true",
                       help="go on with an interrupted run, reusing its finished partitions")
    shred.add_argument("--no-exact", dest="exact", action="store_false",
                       help="plain atoms: no rescue columns and no __doc column; documents the "
                            "columns cannot hold are refused, nulls and empty arrays are "
                            "dropped, repeats merge (see README)")
    _add_engine_arguments(shred)
    shred.add_argument("-q", "--quiet", action="store_true", help="no progress display")
    shred.set_defaults(run="shred")

    unshred = subcommands.add_parser("unshred", help="an atoms dataset back to documents")
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
    unshred.set_defaults(run="unshred")

    inspect = subcommands.add_parser("inspect", help="schema and row counts of an atoms dataset")
    inspect.add_argument("input", help="atoms folder or one part file (path or URI)")
    inspect.add_argument("--tree", action="store_true",
                         help="the tree of the documents' paths instead of the columns: kind, "
                              "documents holding each, nulls, rescued members, array lengths, "
                              "bytes")
    inspect.add_argument("--html", metavar="FILE",
                         help="write the tree as one self-contained page (collapsible, "
                              "searchable) to FILE")
    inspect.set_defaults(run="inspect")

    sql = subcommands.add_parser("sql", help="run a SQL query (DuckDB) over an atoms dataset")
    sql.add_argument("input", help="atoms folder (path or URI)")
    sql.add_argument("query", help="the query; views: atoms, docs, and one per array path "
                                   "(root_items)")
    sql.add_argument("--format", choices=("table", "csv", "jsonl"), default="table",
                     help="result format (default table)")
    sql.set_defaults(run="sql")
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
        return parse_size(text)
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
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value > _LARGEST_COUNT:  # what the engine's counts hold
        raise argparse.ArgumentTypeError(f"must be at most {_LARGEST_COUNT}, got {value}")
    return value


_LARGEST_COUNT = 2**63 - 1
