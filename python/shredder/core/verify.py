"""Checking rebuilt documents against the content ids they carry, many at a time.

The verdict on a document is defined by its *lone digest*: the ``__txn_id`` it gets when it is
shredded again as the first document of a fresh pipeline. It is exact when that digest equals
the ``__txn_id`` it carries. Shredding every document through its own pipeline costs far more
than the documents' own unshred, so documents go through the engine's digest pass
(``_digest_arrow``) together, many through one fresh pipeline, which judges each on its own
after the ones before it, and tells which of them it gave their lone digest.

Why that holds: a pipeline's only memory is the Normalizer's shape tree. A fresh pipeline knows
a shape at a path only where the document itself showed a value before, and then the same
shape; a pipeline that earlier documents taught may know shapes elsewhere, and there it wraps
a lone value at a path they held arrays at, or refuses a value of another shape. The
Normalizer reports exactly those decisions (``decided_by_earlier``). A document without one
took every decision of its lone run, and the stages after the Normalizer judge the document
alone, so it gets its lone digest, or its lone refusal; the pass applies the bounds of its
lone shred too. The first document of a fresh pipeline is its lone run, whatever the outcome.

So each round runs the documents still open through one fresh pipeline and settles every
document that earlier ones did not decide, and the first one; the others go to the next round,
among fewer documents. After a few rounds the rest run alone.
"""

from __future__ import annotations

import io
import json
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import pyarrow as pa
import pyarrow.json as pa_json

import shredder_ext
from shredder.core.documents import text_lines
from shredder.core.names import DOCUMENTS_COLUMN, TXN_COLUMN, TXN_KEY
from shredder.core.sources import check_codec

EXACT, CHANGED, REFUSED = "exact", "changed", "refused"

# Rounds through a fresh pipeline before the documents still open run one by one. Each round
# settles at least its first document; on rebuilt gharchive events the first settles about
# four in five (the rest meet a shape another kind of event showed at the same path) and the
# second the others.
_MAX_ROUNDS = 4


@dataclass(frozen=True)
class Verdict:
    carried: str | None
    status: str


class _Texts:
    """The documents' texts (an Arrow string array without nulls) and, for reading the carried
    ids, all of them as one UTF-8 buffer, each followed by a newline."""

    def __init__(self, array: pa.Array) -> None:
        self.array = array if pa.types.is_string(array.type) else array.cast(pa.string())
        lines, _ = text_lines(self.array)
        self.joined = lines.to_pybytes()

    def __len__(self) -> int:
        return len(self.array)

    def batch(self, rows: list[int]) -> pa.RecordBatch:
        if len(rows) == len(self.array):
            column = self.array
        elif len(rows) == 1:
            column = self.array.slice(rows[0], 1)
        else:
            column = self.array.take(pa.array(rows, pa.int64()))
        return pa.record_batch([column], names=[DOCUMENTS_COLUMN])


def lone_digest(text: str | bytes) -> str | None:
    """The ``__txn_id`` of one document shredded through a fresh pipeline, None if refused."""
    try:
        batch = pa.record_batch([pa.array([text], pa.string())], names=[DOCUMENTS_COLUMN])
    except ValueError:  # a text Arrow cannot hold (a lone surrogate): not a document
        return None
    return _lone_digest(batch)


def _lone_digest(batch: pa.RecordBatch) -> str | None:
    try:
        atoms = shredder_ext.shred_arrow(shredder_ext.create_controller("json"), batch)
    except ValueError:
        return None
    if TXN_COLUMN not in atoms.schema.names:
        return None
    return atoms.column(TXN_COLUMN)[0].as_py()


def _carried_ids(texts: _Texts) -> list[str | None]:
    """The ``__txn_id`` member of each document (None when absent or not a string), as
    ``json.loads(text).get("__txn_id")`` has it, raising what that raises for a bad text.
    Arrow's JSON reader reads the one member of all texts at once when each text is one line;
    otherwise they go through ``json.loads``."""
    joined = texts.joined
    if b"\r" not in joined and joined.count(b"\n") == len(texts):
        try:
            table = pa_json.read_json(
                io.BytesIO(joined),
                # one thread: verification runs on every core already, a job per core
                read_options=pa_json.ReadOptions(use_threads=False, block_size=1 << 24),
                parse_options=pa_json.ParseOptions(
                    explicit_schema=pa.schema([(TXN_KEY, pa.string())]),
                    unexpected_field_behavior="ignore"))
            if table.num_rows == len(texts):
                return table.column(TXN_KEY).to_pylist()
        except (pa.ArrowInvalid, ValueError):
            pass
    carried: list[str | None] = []
    for text in texts.array.to_pylist():
        value = json.loads(text).get(TXN_KEY)
        carried.append(value if isinstance(value, str) else None)
    return carried


def _digests(texts: _Texts) -> list[str | None]:
    """Each document's lone digest, None when its lone shred refuses it (see the module's
    notes)."""
    result: list[str | None] = [None] * len(texts)
    pending = list(range(len(texts)))
    for _ in range(_MAX_ROUNDS):
        if not pending:
            break
        judged = shredder_ext._digest_arrow(shredder_ext.create_controller("json"),
                                            texts.batch(pending))
        digests = judged.column("txn_id").to_pylist()
        decided = judged.column("decided_by_earlier").to_pylist()
        later = []
        for position, row in enumerate(pending):
            if decided[position] and position > 0:
                later.append(row)
            else:
                result[row] = digests[position]
        pending = later
    for row in pending:
        result[row] = _lone_digest(texts.batch([row]))
    return result


def verdicts(texts: Sequence[str | None] | pa.Array) -> list[Verdict]:
    """The verdict on every document text (a list, or an Arrow string array), in order: exact
    when its lone digest equals the id it carries, refused when the lone shred refuses it,
    changed otherwise (also a missing document, and one that carries no id)."""
    import pyarrow.compute as pc  # imported here, not on loading: see shredder/__init__
    if not isinstance(texts, (pa.Array, pa.ChunkedArray)):
        try:
            texts = pa.array(texts, pa.string())
        except ValueError:  # a text Arrow cannot hold (a lone surrogate): judged on its own
            return _verdicts_apart(list(texts))
    if isinstance(texts, pa.ChunkedArray):
        texts = texts.combine_chunks()
    present = texts.drop_null() if texts.null_count else texts
    result = [Verdict(None, CHANGED)] * len(texts)
    if not len(present):
        return result
    rows = pc.indices_nonzero(pc.is_valid(texts)).to_pylist() if texts.null_count \
        else range(len(texts))
    found = _Texts(present)
    carried = _carried_ids(found)
    digests = _digests(found)
    for i, c, digest in zip(rows, carried, digests):
        result[i] = Verdict(c, _status(c, digest))
    return result


def _verdicts_apart(texts: list[str | None]) -> list[Verdict]:
    """Texts that Arrow cannot hold are judged one by one (refused: no pipeline can take
    them), the others together."""
    def holdable(text: str | None) -> bool:
        try:
            return text is None or text.encode() is not None
        except UnicodeEncodeError:
            return False

    good = [i for i, text in enumerate(texts) if holdable(text)]
    apart = set(range(len(texts))) - set(good)
    result = verdicts_one_by_one([text if i in apart else None for i, text in enumerate(texts)])
    for i, verdict in zip(good, verdicts([texts[i] for i in good])):
        result[i] = verdict
    return result


def _status(carried: str | None, digest: str | None) -> str:
    if digest is None:
        return REFUSED
    return EXACT if carried is not None and digest == carried else CHANGED


def verdicts_one_by_one(texts: Any) -> list[Verdict]:
    """The same verdicts, every document through its own fresh pipeline: the definition the
    batch path must agree with, kept for checking it."""
    result = []
    for text in texts:
        carried = None
        if text is not None:
            value = json.loads(text).get(TXN_KEY)
            carried = value if isinstance(value, str) else None
        status = CHANGED if text is None else _status(carried, lone_digest(text))
        result.append(Verdict(carried, status))
    return result


@dataclass
class VerifyReport:
    """Outcome of checking rebuilt documents against the content ids they carry.

    ``changed_ids`` are documents whose digest differs from their id; ``refused_ids`` those
    that the check's own shred refused, so that no digest could be computed for them."""

    exact: int = 0
    changed_ids: list[str] = field(default_factory=list)
    refused_ids: list[str] = field(default_factory=list)

    @property
    def checked(self) -> int:
        return self.exact + len(self.changed_ids) + len(self.refused_ids)

    def add(self, other: "VerifyReport") -> None:
        self.exact += other.exact
        self.changed_ids.extend(other.changed_ids)
        self.refused_ids.extend(other.refused_ids)


def _drop_null_members(value: Any) -> Any:
    if isinstance(value, dict):
        return {k: _drop_null_members(v) for k, v in value.items() if v is not None}
    if isinstance(value, list):
        return [_drop_null_members(v) for v in value]
    return value


def _documents_as_json(documents: pa.RecordBatch, codec: str) -> list[str | None]:
    """The rebuilt documents as JSON texts, for shredding them again.

    A struct column lists every field of every document of its batch, so members a document
    did not have read back as nulls; they are dropped, which is exact because unshredding
    never places a null member.
    """
    column = documents.column(0)
    if codec == "json":
        return column.to_pylist()
    return [None if row is None else json.dumps(_drop_null_members(row))
            for row in column.to_pylist()]


def verify_documents(documents: pa.RecordBatch, codec: str = "json",
                     expected: list[str | None] | None = None) -> VerifyReport:
    """Shreds every rebuilt document again as if through its own fresh handle and compares the
    digest it gets with the ``__txn_id`` the document carries.

    Equal means the document came back exactly as it went in (before its ids were stamped). A
    document that carries no id, or whose digest differs, counts as changed; one that the check
    cannot shred again counts as refused. The documents of a batch share fresh handles where
    that gives the same verdicts (see ``verdicts``).
    """
    check_codec(codec)
    report = VerifyReport()
    if expected is not None:
        return _verify_exact(documents, codec, expected)
    # JSON texts go to the check as the Arrow column they are, with no Python string each
    texts = documents.column(0) if codec == "json" else _documents_as_json(documents, codec)
    for row, verdict in enumerate(verdicts(texts)):
        name = verdict.carried if verdict.carried is not None else f"<row {row}>"
        if verdict.status == EXACT:
            report.exact += 1
        elif verdict.status == REFUSED:
            report.refused_ids.append(name)
        else:
            report.changed_ids.append(name)
    return report


def _verify_exact(documents: pa.RecordBatch, codec: str,
                  expected: list[str | None]) -> VerifyReport:
    """Exact documents against the ids their atoms hold, in order: an exact id is the digest of
    the document as it came in, whatever came before it, so each is digested alone."""
    report = VerifyReport()
    handle = shredder_ext.create_controller(codec, exact=True)
    digests = shredder_ext._digest_arrow(handle, documents)
    for row, (digest, refusal) in enumerate(zip(digests.column(0).to_pylist(),
                                                 digests.column(1).to_pylist())):
        name = expected[row] if row < len(expected) and expected[row] is not None \
            else f"<row {row}>"
        if refusal is not None:
            report.refused_ids.append(name)
        elif row < len(expected) and digest == expected[row]:
            report.exact += 1
        else:
            report.changed_ids.append(name)
    return report

