"""What the driver of a job hands a worker and what the worker hands back: small dataclasses,
pickled to local workers and Dask alike. A shred partition's result is also its marker, the
JSON a resumed run reads back, so it keeps the marker's field names and order.
"""

from __future__ import annotations

from dataclasses import dataclass, field, fields
from typing import Any

import pyarrow as pa

from shredder.core.unshred import UnshredRejected
from shredder.core.verify import VerifyReport
from shredder.io.choices import DEFAULT_COMPRESSION
from shredder.jobs.partitions import Partition

# A batch of JSON Lines also ends at this much text, whatever --batch-size says: documents of
# tens of kilobytes would otherwise make a 64 MiB partition one batch, held whole in memory and
# reported to the progress line only when the partition ends (a batch is one engine call).
BATCH_BYTES = 16 * 2**20


@dataclass(frozen=True)
class ShredOptions:
    fmt: str = "parquet"
    codec: str | None = None
    column: str | None = None
    batch_size: int = 10_000
    partition_size: int | None = None  # None: sized from each input
    errors: str = "raise"
    max_rejects: int | None = None
    compression: str = DEFAULT_COMPRESSION
    verify: bool = False  # the shred check: rebuild each batch and compare it with its input
    batch_bytes: int = BATCH_BYTES  # JSON Lines text per batch, at most
    exact: bool = True  # every document kept whole (rescue columns, input order)


# A column's member: (column name, key list as its JSON text, role: "" for a value column)
KeyList = tuple[str, str, str]


@dataclass(frozen=True)
class ShredTask:
    partition: Partition
    output: str  # where its parts and refused documents go: the staging folder, or the output
    options: ShredOptions
    markers: str  # where its marker goes: the staging folder
    owners: tuple[KeyList, ...] = ()  # names the dataset keeps for one member each


@dataclass
class WrittenPart:
    """A part a partition wrote: its rows and documents, the input positions of its first
    and last document (lines or rows, within the partition), its bytes and its schema."""

    file: str
    rows: int
    documents: int
    first: int
    last: int
    bytes: int
    schema: list[dict[str, str]]


@dataclass
class CheckCounts:
    """The shred check's counts over a partition: documents checked, those with differences,
    and the differences by class."""

    documents: int
    changed: int
    counts: dict[str, int]


@dataclass
class PartitionResult:
    """What one shred partition did, as its marker records it."""

    partition: dict[str, Any]  # ``Partition.key()``: what a resumed run matches
    codec: str | None
    parts: list[WrittenPart]
    documents: int
    bytes: int
    positions: int  # lines (JSON Lines) or rows of the input the partition covered
    rejects: int
    rejects_file: str | None
    first_refusal: str | None = None
    last_refusal: str | None = None
    paths: dict[str, Any] | None = None  # the partition's path statistics (``to_json``)
    verify: CheckCounts | None = None
    verify_file: str | None = None
    key_lists: list[KeyList] = field(default_factory=list)  # its columns' members, once each

    @property
    def index(self) -> int:
        return self.partition["index"]

    def files(self) -> list[str]:
        """The files the partition left in the staging folder."""
        return [part.file for part in self.parts] + [
            name for name in (self.rejects_file, self.verify_file) if name]

    def to_json(self) -> dict[str, Any]:
        """The marker's content. It shares the result's lists and dicts instead of copying
        them as ``asdict`` would: a partition of wide documents holds a schema per part and
        statistics per path, and the copy cost a twentieth of its run."""
        data = _fields_of(self)
        data["parts"] = [_fields_of(part) for part in self.parts]
        data["verify"] = None if self.verify is None else _fields_of(self.verify)
        return data

    @classmethod
    def from_json(cls, data: dict[str, Any]) -> "PartitionResult":
        """A marker read back; markers of runs that did not record the statistics, the
        refusals or the check leave them out."""
        verify = data.get("verify")
        return cls(data["partition"], data["codec"],
                   [WrittenPart(**part) for part in data["parts"]], data["documents"],
                   data["bytes"], data["positions"], data["rejects"], data["rejects_file"],
                   data.get("first_refusal"), data.get("last_refusal"), data.get("paths"),
                   None if verify is None else CheckCounts(**verify),
                   data.get("verify_file"), [tuple(e) for e in data.get("key_lists", ())])


def _fields_of(record: Any) -> dict[str, Any]:
    return {f.name: getattr(record, f.name) for f in fields(record)}


@dataclass(frozen=True)
class UnshredTask:
    part: str
    piece: str | None  # where the worker writes its documents; None: hand them back
    codec: str
    verify: bool
    kind: str  # of the final output: jsonl, parquet or arrow
    compress: bool
    errors: str = "raise"
    name: str = ""  # the part as messages and rejects name it
    stamps: bool = True  # keep "__txn_id" and "__obj_id" in the rebuilt objects
    rows: int | None = None  # what the manifest says the part holds


@dataclass
class PartResult:
    """What rebuilding one part did: its documents (handed back, or written as its piece),
    the part's bytes, the verification of its documents, and those it set aside."""

    documents: int
    bytes: int
    report: VerifyReport = field(default_factory=VerifyReport)
    rejects: list[UnshredRejected] = field(default_factory=list)
    batch: pa.RecordBatch | None = None
