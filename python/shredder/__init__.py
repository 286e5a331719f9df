"""Whole-dataset helpers around the ``shredder_ext`` extension module.

``shredder_ext`` works on one record batch at a time. This package feeds it whole datasets
(pyarrow tables, record batch readers, or anything exposing ``__arrow_c_stream__``) through a
single pipeline handle, so that the shapes learned from one batch hold for the next, and adds a
command-line program (``python -m shredder`` or ``shredder``).
"""

from shredder._api import (
    Rejected,
    Shredding,
    UnshredRejected,
    Unshredding,
    VerifyReport,
    iter_batches,
    shred,
    unshred,
    verify_documents,
)
from shredder._unified import dataset
from shredder._tables import tables

__all__ = ["Rejected", "Shredding", "UnshredRejected", "Unshredding", "VerifyReport", "dataset",
           "iter_batches", "shred", "tables", "unshred", "verify_documents"]
__version__ = "0.1.0"
