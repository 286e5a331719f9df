"""A one-line progress display on standard error for long runs."""

from __future__ import annotations

import sys
import time
from typing import TextIO


class Progress:
    """Shows documents, megabytes and documents per second, redrawn at most ten times a second.

    Silent unless enabled and the stream is a terminal, so logs and pipes stay clean.
    """

    def __init__(self, label: str, enabled: bool, stream: TextIO | None = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled and self.stream.isatty()
        self.label = label
        self.documents = 0
        self.nbytes = 0
        self._start = time.monotonic()
        self._last_draw = 0.0

    def advance(self, documents: int, nbytes: int) -> None:
        self.documents += documents
        self.nbytes += nbytes
        now = time.monotonic()
        if self.enabled and now - self._last_draw >= 0.1:
            self._last_draw = now
            self._draw(now)

    def _draw(self, now: float) -> None:
        elapsed = max(now - self._start, 1e-9)
        self.stream.write(f"\r{self.label}: {self.documents:,} documents  "
                          f"{self.nbytes / 1e6:,.1f} MB  {self.documents / elapsed:,.0f} docs/s ")
        self.stream.flush()

    def finish(self) -> None:
        if self.enabled:
            self._draw(time.monotonic())
            self.stream.write("\n")
            self.stream.flush()
