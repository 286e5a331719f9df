"""Whole-dataset helpers around the ``shredder_ext`` extension module.

``shredder_ext`` works on one record batch at a time. This package feeds it whole datasets
(pyarrow tables, record batch readers, or anything exposing ``__arrow_c_stream__``) through a
single pipeline handle, so that the shapes learned from one batch hold for the next, and adds a
command-line program (``python -m shredder`` or ``shredder``).
"""

from shredder.core.shred import Rejected, Shredding, shred
from shredder.core.sources import iter_batches
from shredder.core.unshred import UnshredRejected, Unshredding, unshred
from shredder.core.verify import VerifyReport, verify_documents
from shredder.dataset.tables import tables
from shredder.dataset.unified import dataset
from shredder.jobs.shred_job import ShredSummary, shred_files
from shredder.jobs.unshred_job import UnshredSummary, unshred_files

__all__ = ["Rejected", "ShredSummary", "Shredding", "UnshredRejected", "UnshredSummary",
           "Unshredding", "VerifyReport", "dataset", "iter_batches", "shred", "shred_files",
           "tables", "unshred", "unshred_files", "verify_documents"]
__version__ = "0.1.0"
