"""Checking rebuilt documents against the content ids they carry, a batch at a time.

The verdict on a document is defined by its *lone digest*: the ``__txn_id`` it gets when it is
shredded again as the first document of a fresh pipeline. It is exact when that digest equals
the ``__txn_id`` it carries. Shredding every document through its own pipeline costs far more
than the documents' own unshred, so documents are shredded together, many through one fresh
pipeline, arranged so that each one's digest there *is* its lone digest.

Why that holds:

1. A pipeline's only memory is the Normalizer's shape tree. A document's run after others
   differs from its lone run only in what the earlier documents taught that tree. Of that,
   leaf and object shapes can only refuse a document (see 4), and an object or leaf path that
   the document turns into an array path behaves as in a fresh tree (the element node starts
   fresh either way). What remains are array paths: where the tree knows a path as an array,
   a non-null lone value at that path is wrapped into a one-element array. Wrapping is the
   only change the Normalizer ever makes. An element node that knows an array shape comes only
   from a nested array, which the shredder refuses, so in a run that succeeds every array path
   is the path of an object member.
2. So a document's run after others equals its lone run plus zero or more extra wraps. Without
   extra wraps both runs build the same tree and give the same digest, for the verdict "exact"
   and for "changed" alike. With one, the digests differ, and neither verdict can be read off:
   the carried id may even be the digest of the wrapped form (a document whose one-element
   array came back as a lone value, or a hand-made id), so that the run after others matches
   where the lone run does not.
3. An extra wrap needs an earlier document of the same run holding an array under a key where
   this document holds a non-null value that is not an array. The documents are therefore
   sorted into groups in which no document has such a value under a key that an earlier one
   of its group holds an array under (a key stands for all the paths ending in it, so this is
   a superset of the pairs that can wrap), each group through one fresh pipeline. Keys are
   read from the texts with scans for a member key followed by a colon and a bracket; a
   document holding a key both ways is parsed, and compared by exact paths (see ``_Paths``).
4. A document the pipeline refuses is refused either alone or because of what earlier ones
   taught. It goes on to a later group; first in a fresh pipeline, its run is its lone run.
   Where the refusal does not say which document it was, the group is split in halves, each
   through a fresh pipeline (a part of a group is a group too).
5. A group's digests come from the engine's digest pass (``_digest_arrow``), one per document:
   it runs every document through the codec, the modifiers and the shredder's checks as a
   shred of the group does and reads the root stamp, but builds no atoms. It refuses what that
   shred refuses, with the same row, and leaves the pipeline as that shred leaves it, so what
   1 to 4 say of a shred holds of it. The one difference, a group that the shred alone would
   refuse for the size of a column mixing strings from some documents with other scalars from
   others, cannot change a verdict: no document holds both in one column, and every bound of
   one document's lone shred is one that the pass applies to the whole group, whose sums are
   at least that document's.

The scans run over the UTF-8 bytes of all texts at once (JSON's structural characters are
ASCII, and no byte of a multi-byte UTF-8 character is), and each group's rows are taken from
the documents' Arrow array: no Python string is built per document, except for the few that
must be parsed.
"""

from __future__ import annotations

import bisect
import io
import json
import re
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.json as pa_json

import shredder_ext
from shredder._columns import text_lines

TXN_KEY = "__txn_id"
TXN_COLUMN = "root___txn_id"

EXACT, CHANGED, REFUSED = "exact", "changed", "refused"

# The colon of an array-valued member and the opening bracket. Searched from the colon rather
# than the key's closing quote: colons are far fewer than quotes, and each match steps back to
# the quote.
_ARRAY_COLON = re.compile(rb':[ \t\n\r]*\[')
_WHITESPACE = b" \t\n\r"
# An escape that can spell a key other than as json.dumps writes it.
_KEY_ESCAPE = re.compile(rb"\\[u/]")
# After a member key: the colon and the first character of a value that is neither an array nor
# null (looked at, not consumed).
_LONE_VALUE = r'[ \t\n\r]*:[ \t\n\r]*(?=[^\[n \t\n\r])'
_LONE_MEMBER = re.compile(rb'"([^"\\]*(?:\\.[^"\\]*)*)"' + _LONE_VALUE.encode())
_SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f",
                  "\n": "\\n", "\r": "\\r", "\t": "\\t"}
_QUOTE, _BACKSLASH = ord('"'), ord("\\")


@dataclass(frozen=True)
class Verdict:
    carried: str | None
    status: str


def _utf8(pattern: str) -> bytes:
    # a key holding a lone surrogate (from a \ud800 escape) has no UTF-8 spelling: its raw
    # alternative then matches nothing, as no valid text holds those bytes
    return pattern.encode("utf-8", "surrogatepass")


class _Texts:
    """The documents' texts (an Arrow string array without nulls) and, for the scans, all of
    them as one UTF-8 buffer, each followed by a newline, with where each one starts."""

    def __init__(self, array: pa.Array) -> None:
        self.array = array if pa.types.is_string(array.type) else array.cast(pa.string())
        lines, self.starts = text_lines(self.array)  # starts: and, last, where the lines end
        self.joined = lines.to_pybytes()

    def __len__(self) -> int:
        return len(self.array)

    def doc_of(self, position: int) -> int:
        return bisect.bisect_right(self.starts, position) - 1

    def text(self, row: int) -> str:
        return self.array[row].as_py()

    def holds(self, row: int, pattern: re.Pattern[bytes]) -> bool:
        return pattern.search(self.joined, self.starts[row], self.starts[row + 1]) is not None

    def batch(self, rows: list[int]) -> pa.RecordBatch:
        if len(rows) == 1:
            column = self.array.slice(rows[0], 1)
        else:
            column = self.array.take(pa.array(rows, pa.int64()))
        return pa.record_batch([column], names=["doc"])


def lone_digest(text: str | bytes) -> str | None:
    """The ``__txn_id`` of one document shredded through a fresh pipeline, None if refused."""
    try:
        batch = pa.record_batch([pa.array([text], pa.string())], names=["doc"])
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


def _array_members(joined: bytes) -> Iterator[tuple[int, str]]:
    """Where a member holding an array starts, and its key, for every such member in the texts
    (and perhaps a few more, read from inside string values: harmless, they only make groups
    smaller)."""
    for match in _ARRAY_COLON.finditer(joined):
        end = match.start()
        while end > 0 and joined[end - 1] in _WHITESPACE:
            end -= 1
        end -= 1  # the closing quote of the key, if this is a member
        if end < 0 or joined[end] != _QUOTE:
            continue
        start = end
        while True:  # back to the unescaped quote that opens the key
            start = joined.rfind(b'"', 0, start)
            backslashes = 0
            while start - 1 - backslashes >= 0 and joined[start - 1 - backslashes] == _BACKSLASH:
                backslashes += 1
            if start < 0 or backslashes % 2 == 0:
                break
        if start < 0:
            continue
        raw = joined[start + 1:end]
        key = _decoded(raw) if _BACKSLASH in raw else raw.decode()
        if key is not None:  # otherwise not a key of valid JSON text, so not a real member
            yield start, key


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


def _key_sets(texts: _Texts) -> tuple[list[set[str]], list[set[str]], list[bool]]:
    """Per document: the keys holding an array; the keys, among those holding an array in any
    document, that hold a non-null value that is not an array; and whether it must run alone."""
    joined = texts.joined
    arrays: list[set[str]] = [set() for _ in range(len(texts))]
    for position, key in _array_members(joined):
        arrays[texts.doc_of(position)].add(key)
    keys = set().union(*arrays)
    lone: list[set[str]] = [set() for _ in range(len(texts))]
    # The scans may start at a quote inside a string; such a match can only add keys. It can
    # hide a real member only by ending on its opening quote, which takes a key that begins
    # with a colon: when one of the keys that matter does, every document runs alone.
    colon = any(k.lstrip(" \t\n\r").startswith(":") for k in keys)
    alone = [colon] * len(texts)
    if not keys or colon:
        return arrays, lone, alone
    if len(keys) <= 16:
        # a key is spelled as json.dumps writes it unless the texts use \u or \/ escapes
        plain = _KEY_ESCAPE.search(joined) is None
        spelled = {k: re.compile(_utf8(re.escape(json.dumps(k, ensure_ascii=False)[1:-1])
                                       if plain else _spellings(k))) for k in keys}
        pattern = re.compile(b'"(' + b"|".join(p.pattern for p in spelled.values()) + b')"'
                             + _LONE_VALUE.encode())
        for match in pattern.finditer(joined):
            raw = match.group(1)
            key = raw.decode()
            if key not in keys:
                key = next(k for k, p in spelled.items() if p.fullmatch(raw))
            lone[texts.doc_of(match.start())].add(key)
    else:  # many keys make a slow alternation: read every lone member and look its key up
        for match in _LONE_MEMBER.finditer(joined):
            raw = match.group(1)
            key = _decoded(raw) if _BACKSLASH in raw else raw.decode()
            if key in keys:
                lone[texts.doc_of(match.start())].add(key)
    return arrays, lone, alone


class _Paths:
    """What a document can teach a pipeline and what it can be wrapped at, as member keys (any
    path ending in the key) or, for a document that holds one key both ways, as exact paths
    (keys from the root; an array's elements add none): keys alone would make every such
    document conflict with every other one (gharchive's pull requests hold "labels" as an
    array and, from "labels_url" split at "_", as an object), one group each."""

    def __init__(self, text: str, arrays: set[str], lone: set[str]) -> None:
        self.array_keys, self.lone_keys = arrays, lone
        self.array_paths: set[tuple[str, ...]] = set()
        self.lone_paths: set[tuple[str, ...]] = set()
        if not lone.isdisjoint(arrays):
            self.array_keys, self.lone_keys = set(), set()
            _walk(json.loads(text), (), arrays | lone, self.array_paths, self.lone_paths)


def _walk(value: Any, path: tuple[str, ...], keys: set[str], arrays: set[tuple[str, ...]],
          lone: set[tuple[str, ...]]) -> None:
    """The paths of the document's arrays and of its non-null values that are not arrays,
    those whose last key is among ``keys``; every object member is walked."""
    for key, member in value.items():
        if member is None:
            continue
        here = path + (key,)
        if isinstance(member, list):
            if key in keys:
                arrays.add(here)
            for element in member:
                if isinstance(element, dict):
                    _walk(element, here, keys, arrays, lone)
            continue
        if key in keys:
            lone.add(here)
        if isinstance(member, dict):
            _walk(member, here, keys, arrays, lone)


class _Taught:
    """What the documents of a group taught, as keys and as exact paths."""

    def __init__(self) -> None:
        self.keys: set[str] = set()
        self.paths: set[tuple[str, ...]] = set()
        self.path_keys: set[str] = set()

    def can_wrap(self, doc: _Paths) -> bool:
        return (not doc.lone_keys.isdisjoint(self.keys)
                or not doc.lone_keys.isdisjoint(self.path_keys)
                or any(p in self.paths or p[-1] in self.keys for p in doc.lone_paths))

    def learn(self, doc: _Paths) -> None:
        self.keys |= doc.array_keys
        self.paths |= doc.array_paths
        self.path_keys |= {p[-1] for p in doc.array_paths}


def _decoded(raw: bytes) -> str | None:
    try:
        return json.loads(b'"' + raw + b'"')
    except ValueError:
        return None


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


def _digest_rows(handle, texts: _Texts, rows: list[int]) -> list[str | None]:
    """The digest of each of the documents, run after one another through ``handle``."""
    return shredder_ext._digest_arrow(handle, texts.batch(rows)).to_pylist()


_MAX_ROUNDS = 32


def _digests(texts: _Texts) -> list[tuple[str | None, bool]]:
    """Each document's lone digest (None when refused), and whether it came from a run of its
    own. Documents go through groups (see the module's notes), round after round, until each
    has its digest; after a few rounds the rest run alone."""
    arrays, lone, alone = _key_sets(texts)
    paths = [_Paths(texts.text(i) if not lone[i].isdisjoint(arrays[i]) else "",
                    arrays[i], lone[i]) if not alone[i] else None
             for i in range(len(texts))]
    result: list[tuple[str | None, bool] | None] = [None] * len(texts)
    pending = []
    for i in range(len(texts)):
        if alone[i]:
            result[i] = (_lone_digest(texts.batch([i])), True)
        else:
            pending.append(i)
    for _ in range(_MAX_ROUNDS):
        if not pending:
            break
        group, later, taught = [], [], _Taught()
        for i in pending:
            if taught.can_wrap(paths[i]):
                later.append(i)
            else:
                group.append(i)
                taught.learn(paths[i])
        pending = sorted(later + _run_group(texts, group, result))
    for i in pending:
        result[i] = (_lone_digest(texts.batch([i])), True)
    return result  # type: ignore[return-value]


def _run_group(texts: _Texts, group: list[int],
               result: list[tuple[str | None, bool] | None]) -> list[int]:
    """Runs a group through one fresh pipeline, filling in the digests it settles; returns the
    documents for a later group (refused here, but perhaps not alone)."""
    if len(group) == 1:
        result[group[0]] = (_lone_digest(texts.batch(group)), True)
        return []
    handle = shredder_ext.create_controller("json")
    deferred: list[int] = []
    clean = True  # no call has touched the handle: a document first in it runs as alone
    rest = group
    while rest:
        try:
            digests = _digest_rows(handle, texts, rest)
        except ValueError as error:
            row = getattr(error, "row", None)
            if not isinstance(row, int) or not 0 <= row < len(rest):
                return deferred + _split(texts, rest, result)
            was_clean, clean = clean, False
            if row > 0:
                try:
                    digests = _digest_rows(handle, texts, rest[:row])
                except ValueError:
                    return deferred + _split(texts, rest, result)
                for i, digest in zip(rest, digests):
                    result[i] = (digest, False)
            if row == 0 and was_clean:
                result[rest[0]] = (None, True)
            else:
                deferred.append(rest[row])
            rest = rest[row + 1:]
            # Documents that would meet the same mismatch go to a later group at once rather
            # than one failed call each (moving a document to a later group is always sound).
            alike = _alike(str(error))
            if alike is not None:
                later = [i for i in rest if texts.holds(i, alike)]
                if later:
                    deferred += later
                    moved = set(later)
                    rest = [i for i in rest if i not in moved]
            continue
        for i, digest in zip(rest, digests):
            result[i] = (digest, False)
        break
    return deferred


_MISMATCH = re.compile(r"Normalizer shape mismatch at (.*) \(have (leaf|object), want \w+\)")
_SHAPE_START = {"leaf": r"[^\[{n \t\n\r]", "object": r"\{"}


def _alike(message: str) -> re.Pattern[bytes] | None:
    """A pattern for texts holding, under the key a shape mismatch names, a value of the shape
    that was refused."""
    match = _MISMATCH.search(message)
    if match is None:
        return None
    key = match.group(1).rsplit("/", 1)[-1]
    return re.compile(_utf8('"' + _spellings(key) + '"[ \t\n\r]*:[ \t\n\r]*'
                            + _SHAPE_START[match.group(2)]))


def _split(texts: _Texts, group: list[int],
           result: list[tuple[str | None, bool] | None]) -> list[int]:
    middle = len(group) // 2
    return (_run_group(texts, group[:middle], result)
            + _run_group(texts, group[middle:], result))


def verdicts(texts: Sequence[str | None] | pa.Array) -> list[Verdict]:
    """The verdict on every document text (a list, or an Arrow string array), in order: exact
    when its lone digest equals the id it carries, refused when the lone shred refuses it,
    changed otherwise (also a missing document, and one that carries no id)."""
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
    for i, c, (digest, _) in zip(rows, carried, digests):
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
