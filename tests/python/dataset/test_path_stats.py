"""The statistics of a batch of atoms do not depend on how its columns are laid out: read at
an offset inside a longer batch (bitmaps starting inside a byte or holding rows after the
batch's), or in chunks."""

from __future__ import annotations

import json

import pyarrow as pa
import shredder
from hypothesis import assume, given, settings
from hypothesis import strategies as st
from shredder.dataset.path_stats import DatasetStats

from any_json import json_values

DOCUMENTS = st.lists(st.dictionaries(
    st.sampled_from(["a", "b", "a_b", "c"]),
    json_values(st.sampled_from(["a", "b", "c"]), st.one_of(st.none(), st.integers(0, 3),
                                                           st.sampled_from(["x", 1.5])), 8)),
    min_size=1, max_size=12)


def statistics(atoms: pa.RecordBatch | pa.Table) -> dict:
    stats = DatasetStats()
    stats.add_batch(atoms)
    return stats.to_json()


def holders(statistics: dict) -> dict:
    return {tuple(path["keys"]): path["documents"] for path in statistics["paths"]}


@settings(max_examples=60, deadline=None)
@given(DOCUMENTS, st.integers(1, 17), st.booleans())
def test_statistics_are_the_same_at_any_offset_and_in_chunks(documents, shift, exact):
    texts = pa.array([json.dumps(d) for d in documents])
    atoms = next(shredder.shred(pa.table({"doc": texts}), codec="json", exact=exact,
                                errors="skip"))
    assume(atoms.num_columns > 0)  # plain atoms refuse mixed arrays
    expected = statistics(atoms)
    nulls = pa.RecordBatch.from_arrays([pa.nulls(shift, f.type) for f in atoms.schema],
                                       schema=atoms.schema)
    longer = pa.Table.from_batches([nulls, atoms, atoms]).combine_chunks()
    assert statistics(longer.to_batches()[0].slice(shift, atoms.num_rows)) == expected
    cut = atoms.num_rows // 2
    chunked = statistics(pa.Table.from_batches([atoms.slice(0, cut), atoms.slice(cut)]))
    # which cell of a document counts a rescued member follows Arrow's grouping of the chunks
    assert holders(chunked) == holders(expected)
