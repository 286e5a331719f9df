"""Hypothesis strategies for the reversible class of documents: keys without "_" and not
empty, no nulls, no empty arrays, arrays of scalars or of objects (never of arrays), one kind
per path across a batch. Members of objects may be left out, also in array elements."""

from __future__ import annotations

import pyarrow as pa
from hypothesis import strategies as st

from conftest import canonical

SCALARS = {
    "bool": (st.booleans(), pa.bool_()),
    "int": (st.integers(-(2**63), 2**63 - 1), pa.int64()),
    "double": (st.floats(allow_nan=False, allow_infinity=False), pa.float64()),
    "string": (st.text(st.characters(exclude_categories=("Cs",)), max_size=8), pa.string()),
}
KEYS = st.text(st.characters(exclude_categories=("Cs",), exclude_characters="_"),
               min_size=1, max_size=6)
LEAF = st.sampled_from(sorted(SCALARS)).map(lambda kind: ("scalar", kind))


def _containers(children):
    objects = st.dictionaries(KEYS, children, max_size=4).map(lambda d: ("object", d))
    return st.one_of(objects,
                     LEAF.map(lambda leaf: ("array", leaf)),
                     objects.map(lambda obj: ("array", obj)))


SHAPES = st.recursive(LEAF, _containers, max_leaves=12)
ROOT_SHAPES = st.dictionaries(KEYS, SHAPES, max_size=5)


def values(shape, complete: bool):
    kind, detail = shape
    if kind == "scalar":
        return SCALARS[detail][0]
    if kind == "object":
        return objects(detail, complete)
    return st.lists(values(detail, complete), min_size=1, max_size=3)


def objects(fields: dict, complete: bool):
    """Objects of the given fields: all of them (`complete`) or any of them."""
    members = {key: values(shape, complete) for key, shape in fields.items()}
    if complete:
        return st.fixed_dictionaries(members)
    return st.fixed_dictionaries({}, optional=members)


def arrow_type(shape) -> pa.DataType:
    kind, detail = shape
    if kind == "scalar":
        return SCALARS[detail][1]
    if kind == "object":
        return pa.struct([(key, arrow_type(s)) for key, s in detail.items()])
    return pa.list_(arrow_type(detail))


@st.composite
def batches(draw, complete: bool = False):
    """(root fields, distinct documents of those fields): identical documents would share one
    id and come back as one."""
    fields = draw(ROOT_SHAPES)
    documents = draw(st.lists(objects(fields, complete), min_size=1, max_size=4,
                              unique_by=canonical))
    return fields, documents


def drop_nulls(value):
    if isinstance(value, dict):
        return {k: drop_nulls(v) for k, v in value.items() if v is not None}
    if isinstance(value, list):
        return [drop_nulls(v) for v in value]
    return value


def as_set(documents) -> list:
    return sorted(canonical(d) for d in documents)
