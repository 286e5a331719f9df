"""Column names that the parts of one exact dataset give to different members.

A batch keeps a name that two key lists make for one of them (the engine's owner rule) and
rescues the other's values, but a batch sees only its own documents: one part may hold
``root_a_b`` for ``a_b`` and another for ``a`` → ``b``, and a reader by name (the unified
schema, the SQL views) would put both members in one column. So once every partition is
done, the engine names the key list that keeps each such name, and the partitions holding
another one are shredded again with those names owned: what they held under the name goes
to its object's rescue column. The owner depends on the key lists alone and partitions on
the input alone, so the dataset is the same for any number of jobs.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
import pyarrow as pa

import shredder_ext
from shredder.core.errors import UserError
from shredder.core.names import DOCUMENT, KEYS, ROLE
from shredder.jobs.tasks import KeyList, PartitionResult

# Rescuing a member makes its object's rescue column, whose name only contrived keys share;
# a name settled stays settled, so rounds end quickly.
MAX_ROUNDS = 4

def key_lists(schema: pa.Schema) -> list[KeyList]:
    """The key list of every column of an atoms batch that records one."""
    found = []
    for field in schema:
        metadata = field.metadata or {}
        if KEYS not in metadata:
            continue
        role = metadata.get(ROLE, b"").decode()
        if role != DOCUMENT:
            found.append((field.name, metadata[KEYS].decode(), role))
    return found


def owner_fields(owners: Iterable[KeyList]) -> pa.Schema | None:
    """The fields that tell a pipeline handle which key list keeps each name."""
    fields = [_field(entry) for entry in owners]
    return pa.schema(fields) if fields else None


def _field(entry: KeyList) -> pa.Field:
    name, keys, role = entry
    metadata = {KEYS: keys.encode()}
    if role:
        metadata[ROLE] = role.encode()
    return pa.field(name, pa.null(), metadata=metadata)


def to_settle(results: dict[int, PartitionResult]) -> tuple[list[KeyList], list[int]]:
    """The owners of the names that partitions give to different key lists, and the
    partitions that hold another key list under one of those names."""
    holders: dict[KeyList, set[int]] = {}
    for index, result in results.items():
        for entry in result.key_lists:
            holders.setdefault(tuple(entry), set()).add(index)
    by_name: dict[str, list[KeyList]] = {}
    for entry in sorted(holders):
        by_name.setdefault(entry[0], []).append(entry)
    candidates = [entry for entries in by_name.values() if len(entries) > 1
                  for entry in entries]
    if not candidates:
        return [], []
    owners = [candidates[i] for i in
              shredder_ext._column_owners(pa.schema([_field(e) for e in candidates]))]
    owned = {entry[0]: entry for entry in owners}
    stale: set[int] = set()
    for entry in candidates:
        if owned[entry[0]] != entry:
            stale |= holders[entry]
    return owners, sorted(stale)


def settle(results: dict[int, PartitionResult],
           rerun: Callable[[list[int], tuple[KeyList, ...], dict[int, PartitionResult]],
                           dict[int, PartitionResult]]
           ) -> dict[int, PartitionResult]:
    """Shreds again, with the names owned, every partition that holds a name under a key
    list that does not keep it, until no name is given to two key lists; returns the
    results with those partitions' new ones. ``rerun(partitions, owners, results)`` runs
    them."""
    owners: dict[str, KeyList] = {}
    for _ in range(MAX_ROUNDS):
        found, stale = to_settle(results)
        if not found:
            return results
        owners.update((entry[0], entry) for entry in found)
        results = {**results, **rerun(stale, tuple(owners.values()), results)}
    if to_settle(results)[0]:
        raise UserError(f"the dataset's column names did not settle after {MAX_ROUNDS} "
                        "rounds of shredding partitions again, where parts give one name to "
                        "different members")
    return results
