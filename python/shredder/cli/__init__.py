"""The ``shredder`` command: its arguments, its one-line messages and exit statuses, and what the
``inspect`` and ``sql`` commands show. The top layer: it may use every other one, and none uses
it.
"""

from shredder.cli.program import main

__all__ = ["main"]
