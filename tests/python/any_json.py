"""Hypothesis strategies for JSON values of any shape, from the keys and leaves a test picks."""

from __future__ import annotations

from hypothesis import strategies as st


def json_values(keys, leaves, max_leaves: int, max_size: int = 3):
    """Leaves, and lists and objects of up to `max_size` members nested to `max_leaves`."""
    return st.recursive(
        leaves,
        lambda inner: st.one_of(st.lists(inner, max_size=max_size),
                                st.dictionaries(keys, inner, max_size=max_size)),
        max_leaves=max_leaves)
