"""The ``shredder`` command: its arguments, its one-line messages and exit statuses, and what the
``inspect`` and ``sql`` commands show. The top layer: it may use every other one, and none uses
it.
"""

import os

# The command does no linear algebra, yet pyarrow loads numpy, whose OpenBLAS starts a thread per
# core that spins for a while after start: in the driver and in every worker, taking the cores
# the workers need. Set before anything imports numpy; the workers inherit it. A value the user
# set stands.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from shredder.cli.program import main  # noqa: E402 - after the setting above

__all__ = ["main"]
