"""Reversible document shredder (Controller boundary; RecordBatch in/out)

Every call holds the interpreter lock until it returns. All failures of the pipeline arrive as
ValueError; arguments that fit no signature raise TypeError.
"""

from typing import final

import pyarrow

@final
class ControllerHandle:
    """An opaque pipeline made by create_controller.

    It cannot be constructed directly (calling the class raises TypeError). It keeps the path
    shapes its documents have shown across every successful call made with it, and the debug
    flag of the last shred_arrow call; handles share nothing.
    """

def create_controller(
    name: str | bytes | bytearray,
    /,
    *,
    exact: bool = False,
    owners: pyarrow.Schema | None = None,
) -> ControllerHandle:
    """A new pipeline for the codec called `name`.

    With `exact` true every document is kept whole: what the columns cannot hold is rescued
    into a JSON text column "<object path>___rest" of its object, the ids are the digests of
    the documents as they came in, and a column "__doc" numbers every row by its document's
    row in the batch, so that unshred_arrow gives every document back in input order. Only
    what the codec cannot read and the size bounds are refused.

    `owners` (exact only) are fields carrying key lists ("shredder.keys", "shredder.role"),
    one per name: each such column name keeps that key list in every batch, and any other
    member that would make the name is rescued. A dataset uses it so that no column holds two
    members across its parts. Raises ValueError "owners need exact=True" without `exact`, and
    "owners: column <name> carries no key list" or "... is given twice" for such fields.

    "json": documents are one column of JSON text (utf8, binary, large utf8, large binary);
    unshred_arrow returns a utf8 column "doc" of compact JSON text.
    "arrow": documents are one struct column; unshred_arrow returns one struct column "doc".

    Raises ValueError "Unknown codec: <name>" for any other name (exact, case-sensitive).
    """

def shred_arrow(
    handle: ControllerHandle,
    rb: pyarrow.RecordBatch,
    column: int | str | None = None,
    debug: bool = False,
    *,
    skip: bool = False,
) -> pyarrow.RecordBatch | tuple[pyarrow.RecordBatch, list[ValueError]]:
    """Shreds the documents of one column of `rb` into a new atoms batch. Every field carries
    the keys of its column's path as metadata: "shredder.keys" (a JSON array) and, for index,
    rescue and document columns, "shredder.role".

    `column` is None (column 0), an int (0 <= column < num_columns; negative values do not
    count from the end; True and False are 1 and 0) or a field name present exactly once.
    With `debug` true, the pipeline's progress lines and the atoms schema are written to the
    process's native standard error (not sys.stderr).

    The input's buffers are shared, not copied. Raises ValueError carrying Arrow's status text
    when `rb` is not a RecordBatch, has no columns, or `column` selects nothing; RuntimeError
    for an int outside the 32-bit signed range; ValueError "shred failed: <reason>" when the
    pipeline fails.

    Every ValueError it raises has the attribute `row`: the 0-based row of `rb` whose document
    failed (it could not be read, normalised, tagged or shredded, also when that depends on
    earlier rows), or None when the whole batch failed (its arguments, its column's type, its
    size). A failed call is all or nothing: the handle keeps no shape learned during it, so
    later calls give what they would have given without it.

    Every ValueError of the module also has `code`, a stable name for what went wrong:
    "invalid_json", "unsupported_input" (a document the codec cannot read), "shape" (refused
    against earlier documents or by the flat columns), "too_large", "bad_batch", "bad_atoms",
    "bad_argument" or "internal"; and `path`, the member ("/a/b") or column at fault, or None.

    With `skip` true a document that fails is set aside instead, in the same pass: the result
    is (atoms, refused), `refused` the ValueErrors its rows would have raised, in row order.
    The atoms are those of a shred of `rb` without the refused rows ("__doc" still numbering
    every row by its row in `rb`), and the handle learns nothing from a refused document.
    Failures of the whole batch still raise.
    """

def unshred_arrow(
    handle: ControllerHandle,
    atoms_rb: pyarrow.RecordBatch,
    *,
    stamps: bool = True,
    skip: bool = False,
) -> pyarrow.RecordBatch | tuple[pyarrow.RecordBatch, list[ValueError]]:
    """Rebuilds documents from an atoms batch, one row per document in ascending order of
    their "__txn_id" (exact atoms: of their "__doc", every document as it went in), as a
    one-column batch "doc" in the form of the handle's codec. Columns are placed by the key
    lists they carry as field metadata ("shredder.keys"), or else by their names. With
    `stamps` false, "__txn_id" and "__obj_id" are left out of every object.

    Raises ValueError carrying Arrow's status text when `atoms_rb` is not a RecordBatch, and
    ValueError "unshred failed: <reason>" when the pipeline fails.

    With `skip` true a document that cannot be rebuilt or written is left out instead: the
    result is (documents, refused), `refused` a ValueError per left-out document, in document
    order, whose `row` is the row of `atoms_rb` holding its first atom. Failures of the whole
    batch (its columns) still raise.
    """

def _digest_arrow(
    handle: ControllerHandle,
    rb: pyarrow.RecordBatch,
    column: int | str | None = None,
) -> pyarrow.RecordBatch:
    """Internal, for checking rebuilt documents: every document of `rb` judged on its own,
    after the documents before it, through the handle's pipeline, without building atoms.

    Returns one row per row of `rb`: "txn_id", the root "__txn_id" a shred gives the
    document (null when refused); "refusal", the UTF-8 bytes of what refused it (null when
    accepted; bytes, as the text may quote input that is not UTF-8); "decided_by_earlier",
    whether what the pipeline did to the document was decided by what earlier documents
    taught it (a value wrapped at a path only they held arrays at, or refused for a shape
    only they showed there). A document not so decided is judged as a shred of it alone
    through a fresh handle judges it: the same "txn_id", or a refusal with the same text. A
    refused document does not stop the others; the handle keeps what every document taught.
    Raises ValueError "digest failed: <reason>" only for the batch itself.
    """

def _column_owners(fields: pyarrow.Schema) -> list[int]:
    """Internal, for a dataset: for every name that fields of different key lists share
    (fields read from its parts' schemas; a name may repeat), the index of the field whose key
    list keeps the name: the one the name reads back as, otherwise the one of fewest keys, and
    the smallest coded list among those. Fields without key lists take no part.
    """

def _carried_owners(handle: ControllerHandle) -> dict[bytes, bytes]:
    """Internal: what an exact handle's next batch starts from as a guess (the owners its last
    batch's first round found, by column name, as key list codes). Only a guess: any value
    leaves the atoms as they are."""

def _carry_owners(handle: ControllerHandle, owners: dict[bytes, bytes]) -> None:
    """Internal: sets that guess, as read from another handle that shredded the same data."""

class _JsonLinesCutter:
    """Internal, for reading JSON Lines: text fed in chunks as it is read, cut into batches of
    documents. A line ends at "\\n" and loses its trailing "\\r"s; a line of ASCII white space
    only is counted but not kept. A batch is cut after the kept line that makes it `max_lines`
    long or brings the bytes read for it (every line with its "\\n", blank ones too) to
    `max_bytes`; a line that would take it past the 2 GiB a binary column holds starts the
    next one. Each batch is (documents: pyarrow.BinaryArray, line numbers from 1, bytes read).
    """

    def __init__(self, max_lines: int, max_bytes: int, *, max_data: int = 2147483647) -> None:
        """`max_data` bounds a batch's text below the 2 GiB (for tests of long lines)."""
    def feed(self, text: bytes) -> list[tuple[pyarrow.Array, list[int], int]]:
        """The batches the chunk completes; an unfinished last line waits for the next chunk.
        Raises ValueError for a line longer than any batch can hold; `lines` is its number."""
    def finish(self) -> list[tuple[pyarrow.Array, list[int], int]]:
        """The batch left when the text ends, holding its last line if that had no "\\n"."""
    @property
    def lines(self) -> int:
        """Lines seen so far, blank ones and an unfinished last one included."""

class _JsonArrayCutter:
    """Internal, for reading a JSON file that holds an array of objects: text fed in chunks as
    it is read, cut into batches of the array's elements. Of an element only its strings and
    brackets are read, enough to find its end; the engine reads each document. The text is the
    file from its start (`start` 0: a UTF-8 byte order mark, white space, "["), or a part of
    it from the element that starts at byte `start`, as `_JsonArrayCuts` finds them. A batch
    is cut after the element that makes it `max_documents` long or brings the bytes read for
    it to `max_bytes`; an element that would take its text past `max_data` (at most the 2 GiB
    a binary column holds) starts the next one, and one longer alone raises OverflowError.
    Each batch is (documents: pyarrow.BinaryArray, bytes read). Text that is not such an array
    (a top-level object, a scalar element, brackets that do not match, a string or the array
    left open) raises ValueError naming its offset in the file.
    """

    def __init__(self, max_documents: int, max_bytes: int, *, start: int,
                 max_data: int = 2147483647) -> None: ...
    def feed(self, text: bytes) -> list[tuple[pyarrow.Array, int]]:
        """The batches the chunk completes."""
    def finish(self, *, whole: bool) -> list[tuple[pyarrow.Array, int]]:
        """The batch left when the text ends. A whole file must end with its array's "]"; a
        part of one may also end after the "," that follows its last element."""
    @property
    def documents(self) -> int:
        """Elements whose text has ended so far."""

class _JsonArrayCuts:
    """Internal, for planning the partitions of a JSON file that holds an array of objects: the
    file fed in chunks, read as `_JsonArrayCutter` reads it (with its failures); `finish`
    gives the start of the first element at or after each multiple of `every`, rising, never
    the first element's, each with the number of elements before it."""

    def __init__(self, every: int) -> None: ...
    def feed(self, text: bytes) -> None: ...
    def finish(self) -> list[tuple[int, int]]: ...
    @property
    def documents(self) -> int:
        """Elements whose text has ended so far."""
