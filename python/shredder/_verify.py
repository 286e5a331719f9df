"""Checking rebuilt documents against the content ids they carry, a batch at a time.

The verdict on a document is defined by its *lone digest*: the ``__txn_id`` it gets when it is
shredded again as the first document of a fresh pipeline. It is exact when that digest equals
the ``__txn_id`` it carries. Shredding every document through its own pipeline costs far more
than the documents' own unshred, so the documents of a batch are shredded together through one
fresh pipeline and each gets a *batch digest*; the lone digest is computed only where the batch
digest cannot stand in for it.

Why the batch digest may stand in, and where it may not:

1. A pipeline's only memory is the Normalizer's shape tree. A document's batch run differs from
   its lone run only in what the earlier documents of the batch taught that tree. Of that,
   leaf and object shapes can only refuse a document (the batch fails: see 4), and an object
   or leaf path that the document turns into an array path behaves as in a fresh tree (the
   element node starts fresh either way). What remains are array paths: where the tree knows
   a path as an array, a non-null lone value at that path is wrapped into a one-element array.
   Wrapping is the only change the Normalizer ever makes. An element node that knows an
   array shape comes only from a nested array, which the shredder refuses, so in a batch that
   succeeds every array path is the path of an object member.
2. So the batch run of a document equals its lone run plus zero or more extra wraps. Without
   extra wraps both runs build the same tree and the digests agree; with at least one, the
   trees differ and so do the digests (a collision of BLAKE3 digests aside).
3. With extra wraps, a batch digest says nothing certain either way. One that differs from
   the carried id may belong to a document whose lone digest matches; one that *equals* it
   may not be exact: the carried id may be the digest of the wrapped form (a document whose
   one-element array came back as a lone value, or a hand-made id), and then the batch run
   matches where the lone run does not. So a document that an earlier one can have changed
   gets its lone run: one with a non-null, non-array member value under a key that holds an
   array anywhere in the batch. That is a superset of the documents with extra wraps (a key
   stands for all its paths), found with one pass of a tokenizer over each text. Every other
   document has no extra wraps, so its batch digest *is* its lone digest, for the verdict
   "exact" and for "changed" alike.
4. A batch the pipeline refuses (one document refused on its own, or one refused only after
   what earlier ones taught) is split in halves, each through a fresh pipeline, down to single
   documents, whose batch run is their lone run. Adjacent documents with equal batch digests
   cannot be told apart in the atoms and are split the same way.

Refusals need no argument of their own: a trusted batch verdict comes from a run equal to the
lone run, and every other document gets its lone run.
"""

from __future__ import annotations

import bisect
import io
import itertools
import json
import re
from dataclasses import dataclass

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.json as pa_json

import shredder_ext

TXN_KEY = "__txn_id"
TXN_COLUMN = "root___txn_id"

EXACT, CHANGED, REFUSED, NO_ID = "exact", "changed", "refused", "no id"

# The end of an array-valued member key: its closing quote, the colon, the opening bracket.
_ARRAY_MEMBER = re.compile(r'"[ \t\n\r]*:[ \t\n\r]*\[')
# After a member key: the colon and the first character of a value that is neither an array nor
# null (looked at, not consumed).
_LONE_VALUE = r'[ \t\n\r]*:[ \t\n\r]*(?=[^\[n \t\n\r])'
_LONE_MEMBER = re.compile(r'"([^"\\]*(?:\\.[^"\\]*)*)"' + _LONE_VALUE)
_COLON_KEY = re.compile(r'[{,][ \t\n\r]*"[ \t\n\r]*:')
_SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f",
                  "\n": "\\n", "\r": "\\r", "\t": "\\t"}


@dataclass(frozen=True)
class Verdict:
    carried: str | None
    status: str


def lone_digest(text: str | bytes) -> str | None:
    """The ``__txn_id`` of one document shredded through a fresh pipeline, None if refused."""
    try:
        atoms = shredder_ext.shred_arrow(
            shredder_ext.create_controller("json"),
            pa.record_batch([pa.array([text], pa.string())], names=["doc"]))
    except ValueError:
        return None
    if TXN_COLUMN not in atoms.schema.names:
        return None
    return atoms.column(TXN_COLUMN)[0].as_py()


def _array_keys(joined: str) -> set[str]:
    """Every key that holds an array somewhere in the texts (and perhaps a few more, read from
    inside string values: harmless, they only send more documents to their lone run)."""
    keys: set[str] = set()
    for match in _ARRAY_MEMBER.finditer(joined):
        end = match.start()
        start = end
        while True:  # back to the unescaped quote that opens the key
            start = joined.rfind('"', 0, start)
            backslashes = 0
            while start - 1 - backslashes >= 0 and joined[start - 1 - backslashes] == "\\":
                backslashes += 1
            if start < 0 or backslashes % 2 == 0:
                break
        if start < 0:
            continue
        raw = joined[start + 1:end]
        try:
            keys.add(json.loads(f'"{raw}"') if "\\" in raw else raw)
        except ValueError:
            continue  # not a key of valid JSON text, so not a real member
    return keys


def _ci_hex(code: int) -> str:
    return "".join(f"[{c}{c.upper()}]" if c.isalpha() else c for c in f"{code:04x}")


def _spellings(key: str) -> str:
    """A pattern for every way JSON text can spell ``key`` (raw characters or escapes)."""
    parts = []
    for ch in key:
        alternatives = []
        if ch not in '"\\' and ord(ch) >= 0x20:
            alternatives.append(re.escape(ch))
        if ch in _SHORT_ESCAPES:
            alternatives.append(re.escape(_SHORT_ESCAPES[ch]))
        code = ord(ch)
        if code < 0x10000:
            alternatives.append(r"\\u" + _ci_hex(code))
        else:
            high, low = 0xD800 + ((code - 0x10000) >> 10), 0xDC00 + ((code - 0x10000) & 0x3FF)
            alternatives.append(r"\\u" + _ci_hex(high) + r"\\u" + _ci_hex(low))
        parts.append(alternatives[0] if len(alternatives) == 1
                     else "(?:" + "|".join(alternatives) + ")")
    return "".join(parts)


def _at_risk(texts: list[str]) -> list[bool]:
    """Which documents hold a non-null, non-array member value under a key that holds an array
    in some document of the batch: those an earlier document can have changed."""
    joined = "\n".join(texts)
    keys = _array_keys(joined)
    risky = [False] * len(texts)
    if not keys:
        return risky
    starts = list(itertools.accumulate((len(t) + 1 for t in texts[:-1]), initial=0))

    def flag(position: int) -> None:
        risky[bisect.bisect_right(starts, position) - 1] = True

    # The scans below may start at a quote inside a string; such a match can only flag more.
    # It can hide a real member only by ending on its opening quote, which takes a key that
    # begins with a colon: a document with such a key is flagged outright.
    for match in _COLON_KEY.finditer(joined):
        flag(match.start())
    if len(keys) <= 16:
        lone = re.compile('"(?:' + "|".join(_spellings(k) for k in sorted(keys)) + ')"'
                          + _LONE_VALUE)
        for match in lone.finditer(joined):
            flag(match.start())
    else:  # many keys make a slow alternation: read every lone member and look its key up
        for match in _LONE_MEMBER.finditer(joined):
            raw = match.group(1)
            if raw in keys or ("\\" in raw and _decoded(raw) in keys):
                flag(match.start())
    return risky


def _decoded(raw: str) -> str | None:
    try:
        return json.loads(f'"{raw}"')
    except ValueError:
        return None


def _carried_ids(texts: list[str | None]) -> list[str | None]:
    """The ``__txn_id`` member of each document (None when absent or not a string), as
    ``json.loads(text).get("__txn_id")`` has it, raising what that raises for a bad text.
    Arrow's JSON reader reads the one member of all texts at once; texts it cannot take as
    one line each go through ``json.loads``."""
    carried: list[str | None] = [None] * len(texts)
    simple = [i for i, t in enumerate(texts)
              if t is not None and t.strip() and "\n" not in t and "\r" not in t]
    fast: list | None = None
    if simple:
        try:
            table = pa_json.read_json(
                io.BytesIO("\n".join(texts[i] for i in simple).encode()),
                parse_options=pa_json.ParseOptions(
                    explicit_schema=pa.schema([(TXN_KEY, pa.string())]),
                    unexpected_field_behavior="ignore"))
            if table.num_rows == len(simple):
                fast = table.column(TXN_KEY).to_pylist()
        except (pa.ArrowInvalid, ValueError):
            fast = None
    done = set()
    if fast is not None:
        for i, value in zip(simple, fast):
            carried[i] = value
        done = set(simple)
    for i, text in enumerate(texts):
        if text is not None and i not in done:
            value = json.loads(text).get(TXN_KEY)
            carried[i] = value if isinstance(value, str) else None
    return carried


def _run_digests(atoms: pa.RecordBatch, count: int) -> list[str] | None:
    """Each document's digest in an atoms batch of ``count`` documents, or None when a
    document's rows cannot be told from its neighbour's."""
    if TXN_COLUMN not in atoms.schema.names:
        return None
    # Rows come in document order and every row carries its document's digest, so the runs
    # of equal digests are the documents, unless two neighbours share a digest.
    runs = pc.run_end_encode(atoms.column(TXN_COLUMN)).values.to_pylist()
    return runs if len(runs) == count else None


def _shred_texts(handle, texts: list[str]) -> pa.RecordBatch:
    return shredder_ext.shred_arrow(handle, pa.record_batch([pa.array(texts, pa.string())],
                                                            names=["doc"]))


def _digests(texts: list[str]) -> list[tuple[str | None, bool]]:
    """Each document's digest and whether it is its lone digest. Documents go through one
    pipeline; where it refuses one, the documents before it are shredded again without it, it
    gets its lone run, and the rest continue. The pipeline is only ever taught by documents of
    this batch, which is all the argument above needs. A refusal that does not name its row,
    or neighbours that cannot be told apart, split the batch in halves instead."""
    if len(texts) == 1:
        return [(lone_digest(texts[0]), True)]
    handle = shredder_ext.create_controller("json")
    result: list[tuple[str | None, bool]] = []
    start = 0
    while start < len(texts):
        rest = texts[start:]
        try:
            runs = _run_digests(_shred_texts(handle, rest), len(rest))
        except ValueError as error:
            row = getattr(error, "row", None)
            if not isinstance(row, int) or not 0 <= row < len(rest):
                return result + _split(rest)
            if row > 0:
                try:
                    runs = _run_digests(_shred_texts(handle, rest[:row]), row)
                except ValueError:
                    runs = None  # refused again after what the failed call taught: split
                if runs is None:
                    return result + _split(rest)
                result.extend((digest, False) for digest in runs)
            result.append((lone_digest(rest[row]), True))
            start += row + 1
            continue
        if runs is None:
            return result + _split(rest)
        result.extend((digest, False) for digest in runs)
        break
    return result


def _split(texts: list[str]) -> list[tuple[str | None, bool]]:
    if len(texts) == 1:
        return [(lone_digest(texts[0]), True)]
    middle = len(texts) // 2
    return _digests(texts[:middle]) + _digests(texts[middle:])


def verdicts(texts: list[str | None]) -> list[Verdict]:
    """The verdict on every document text (None for a missing document), in order."""
    carried = _carried_ids(texts)
    result = [Verdict(c, NO_ID) for c in carried]
    rows = [i for i, text in enumerate(texts) if text is not None and carried[i] is not None]
    if not rows:
        return result
    batch_texts = [texts[i] for i in rows]
    digests = _digests(batch_texts)
    risky = _at_risk(batch_texts)
    for n, i in enumerate(rows):
        digest, lone = digests[n]
        if not lone and risky[n]:
            digest = lone_digest(texts[i])
        if digest is None:
            result[i] = Verdict(carried[i], REFUSED)
        else:
            result[i] = Verdict(carried[i], EXACT if digest == carried[i] else CHANGED)
    return result


def verdicts_one_by_one(texts: list[str | None]) -> list[Verdict]:
    """The same verdicts, every document through its own fresh pipeline: the definition the
    batch path must agree with, kept for checking it."""
    result = []
    for text in texts:
        carried = None
        if text is not None:
            value = json.loads(text).get(TXN_KEY)
            carried = value if isinstance(value, str) else None
        if text is None or carried is None:
            result.append(Verdict(carried, NO_ID))
            continue
        digest = lone_digest(text)
        status = REFUSED if digest is None else EXACT if digest == carried else CHANGED
        result.append(Verdict(carried, status))
    return result
