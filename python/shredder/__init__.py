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
from shredder._shred_job import ShredSummary, shred_files
from shredder._tables import tables
from shredder._unified import dataset
from shredder._unshred_job import UnshredSummary, unshred_files

__all__ = ["Rejected", "ShredSummary", "Shredding", "UnshredRejected", "UnshredSummary",
           "Unshredding", "VerifyReport", "dataset", "iter_batches", "shred", "shred_files",
           "tables", "unshred", "unshred_files", "verify_documents"]
__version__ = "0.1.0"
