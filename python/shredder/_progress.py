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


def _clock(seconds: float) -> str:
    seconds = int(seconds)
    hours, rest = divmod(seconds, 3600)
    return f"{hours}:{rest // 60:02d}:{rest % 60:02d}" if hours else f"{rest // 60}:{rest % 60:02d}"


class JobProgress:
    """Progress of a partitioned job, summed over all its workers: partitions done of all,
    documents, megabytes of input, megabytes per second, elapsed and remaining time.

    Workers report whole partitions (``partition_done``); a partition run in the calling
    process also reports each batch as it goes (``batch_callback``), and its final report
    replaces those, so nothing is counted twice. Drawn on a terminal only, like ``Progress``.
    """

    def __init__(self, label: str, enabled: bool, stream: TextIO | None = None,
                 clock=time.monotonic) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled and self.stream.isatty()
        self.label = label
        self.partitions_total: int | None = None
        self.bytes_total: int | None = None
        self.partitions_done = 0
        self._counted: dict[int, tuple[int, int]] = {}
        self._done: set[int] = set()
        self.documents = 0
        self.nbytes = 0
        self._clock = clock
        self._start = clock()
        self._last_draw = 0.0

    def start(self, partitions: int | None, nbytes: int | None) -> None:
        self.partitions_total = partitions
        self.bytes_total = nbytes
        self._start = self._clock()

    def add_total(self, partitions: int, nbytes: int) -> None:
        """Grows the totals of a job whose partitions are cut as its input arrives."""
        self.partitions_total = (self.partitions_total or 0) + partitions
        self.bytes_total = (self.bytes_total or 0) + nbytes

    def _count(self, index: int, documents: int, nbytes: int) -> None:
        old_documents, old_bytes = self._counted.get(index, (0, 0))
        self._counted[index] = (documents, nbytes)
        self.documents += documents - old_documents
        self.nbytes += nbytes - old_bytes
        self._maybe_draw()

    def batch_callback(self, index: int):
        def advance(documents: int, nbytes: int) -> None:
            old_documents, old_bytes = self._counted.get(index, (0, 0))
            self._count(index, old_documents + documents, old_bytes + nbytes)
        return advance

    def partition_done(self, index: int, documents: int, nbytes: int) -> None:
        if index not in self._done:
            self._done.add(index)
            self.partitions_done += 1
        self._count(index, documents, nbytes)

    def render(self) -> str:
        elapsed = max(self._clock() - self._start, 1e-9)
        total = "?" if self.partitions_total is None else f"{self.partitions_total:,}"
        rate = self.nbytes / 1e6 / elapsed
        text = (f"{self.label}: {self.partitions_done:,}/{total} partitions  "
                f"{self.documents:,} documents  {self.nbytes / 1e6:,.1f} MB  "
                f"{rate:,.1f} MB/s  {_clock(elapsed)} elapsed")
        if self.bytes_total and self.nbytes:
            remaining = max(self.bytes_total - self.nbytes, 0) / (self.nbytes / elapsed)
            text += f"  {_clock(remaining)} left"
        return text

    def _maybe_draw(self) -> None:
        now = self._clock()
        if self.enabled and now - self._last_draw >= 0.1:
            self._last_draw = now
            self.stream.write("\r" + self.render() + " ")
            self.stream.flush()

    def finish(self) -> None:
        if self.enabled:
            self.stream.write("\r" + self.render() + "\n")
            self.stream.flush()
