"""Whole-dataset helpers around the ``shredder_ext`` extension module.

``shredder_ext`` works on one record batch at a time. This package feeds it whole datasets
(pyarrow tables, record batch readers, or anything exposing ``__arrow_c_stream__``) through a
single pipeline handle, so that the shapes learned from one batch hold for the next, and adds a
command-line program (``python -m shredder`` or ``shredder``).

The names below are imported when first used, so that importing a part of the package (the
command among them) costs only what that part needs. For the same reason ``pyarrow.compute``
is imported in the functions that use it: loading it takes a twentieth of a second in every
process, the workers' fork server among them, and shredding a file to atoms needs none of it.
"""

from __future__ import annotations

import importlib
import sys
import types
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from shredder.core.shred import Rejected, Shredding, shred
    from shredder.core.sources import iter_batches
    from shredder.core.unshred import UnshredRejected, Unshredding, unshred
    from shredder.core.verify import VerifyReport, verify_documents
    from shredder.dataset.tables import tables
    from shredder.dataset.unified import dataset
    from shredder.jobs.shred_job import ShredSummary, shred_files
    from shredder.jobs.unshred_job import UnshredSummary, unshred_files

_HOMES = {
    "Rejected": "shredder.core.shred", "Shredding": "shredder.core.shred",
    "shred": "shredder.core.shred", "iter_batches": "shredder.core.sources",
    "UnshredRejected": "shredder.core.unshred", "Unshredding": "shredder.core.unshred",
    "unshred": "shredder.core.unshred", "VerifyReport": "shredder.core.verify",
    "verify_documents": "shredder.core.verify", "tables": "shredder.dataset.tables",
    "dataset": "shredder.dataset.unified", "ShredSummary": "shredder.jobs.shred_job",
    "shred_files": "shredder.jobs.shred_job", "UnshredSummary": "shredder.jobs.unshred_job",
    "unshred_files": "shredder.jobs.unshred_job",
}

__all__ = sorted(_HOMES)
__version__ = "0.1.0"


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'shredder' has no attribute {name!r}")
    value = getattr(importlib.import_module(home), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_HOMES})


class _Package(types.ModuleType):
    """The name "dataset" is the function users call (``shredder.dataset(path)``), also once
    the subpackage of that name is imported, whose import would set the name to itself."""

    def __setattr__(self, name: str, value: Any) -> None:
        if name == "dataset" and isinstance(value, types.ModuleType):
            return
        super().__setattr__(name, value)


sys.modules[__name__].__class__ = _Package
