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


def _ranges(numbers: list[int]) -> str:
    """Sorted numbers as runs: "0-2, 5"."""
    runs: list[list[int]] = []
    for number in numbers:
        if runs and number == runs[-1][1] + 1:
            runs[-1][1] = number
        else:
            runs.append([number, number])
    return ", ".join(f"{a}" if a == b else f"{a}-{b}" for a, b in runs)


class JobProgress:
    """Progress of a partitioned job, summed over all its workers: partitions done of all,
    documents, megabytes of input, megabytes per second, elapsed and remaining time.

    Partitions report each batch as it goes: in the calling process through
    ``batch_callback``, on local workers through ``batch_done`` (the driver reads their
    reports while it waits, and calls ``tick`` to keep the clock moving). When a partition
    ends, its final report replaces what its batches reported, so nothing is counted twice,
    and never lowers it: the counts never go down. Batch reports that arrive after their
    partition ended are dropped. Drawn on a terminal only, like ``Progress``; a resumed run
    says which partitions it reuses unless it is quiet.
    """

    def __init__(self, label: str, enabled: bool, stream: TextIO | None = None,
                 clock=time.monotonic) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled and self.stream.isatty()
        self.verbose = enabled
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
        self._planning_drawn = 0  # the length of the planning line on the terminal

    def planning(self, done: int, total: int) -> None:
        """Shows how much of the JSON files that planning reads whole has been read: a large
        one takes about a second per gigabyte before any partition starts."""
        now = self._clock()
        if self.enabled and now - self._last_draw >= 0.1:
            self._last_draw = now
            text = (f"{self.label}: planning: {done / 1e6:,.1f} of {total / 1e6:,.1f} MB of "
                    f"JSON read to place partitions")
            self.stream.write("\r" + text.ljust(self._planning_drawn))
            self.stream.flush()
            self._planning_drawn = max(self._planning_drawn, len(text))

    def planned(self) -> None:
        """Blanks the planning line, if one was drawn, whose end a shorter line would leave
        showing."""
        if self._planning_drawn:
            self.stream.write("\r" + " " * self._planning_drawn + "\r")
            self.stream.flush()
            self._planning_drawn = 0
            self._last_draw = float("-inf")

    def start(self, partitions: int | None, nbytes: int | None) -> None:
        self.partitions_total = partitions
        self.bytes_total = nbytes
        self._start = self._clock()
        self._maybe_draw()

    def resumed(self, reused: list[int], total: int) -> None:
        """Says which partitions of ``total`` a resumed run takes from the earlier one."""
        if not self.verbose:
            return
        listed = _ranges(reused) if reused else "none"
        self.stream.write(f"{self.label}: resuming: {len(reused):,} of {total:,} partitions "
                          f"done by the earlier run are reused ({listed})\n")
        self.stream.flush()

    def tick(self) -> None:
        """Redraws when it is time (elapsed and remaining time move without reports too)."""
        self._maybe_draw()

    def add_total(self, partitions: int, nbytes: int) -> None:
        """Grows the totals of a job whose partitions are cut as its input arrives."""
        self.partitions_total = (self.partitions_total or 0) + partitions
        self.bytes_total = (self.bytes_total or 0) + nbytes

    def _count(self, index: int, documents: int, nbytes: int) -> None:
        old_documents, old_bytes = self._counted.get(index, (0, 0))
        documents, nbytes = max(documents, old_documents), max(nbytes, old_bytes)
        self._counted[index] = (documents, nbytes)
        self.documents += documents - old_documents
        self.nbytes += nbytes - old_bytes
        self._maybe_draw()

    def batch_callback(self, index: int):
        def advance(documents: int, nbytes: int) -> None:
            old_documents, old_bytes = self._counted.get(index, (0, 0))
            self._count(index, old_documents + documents, old_bytes + nbytes)
        return advance

    def batch_done(self, index: int, documents: int, nbytes: int) -> None:
        """A batch of partition ``index`` done on a worker."""
        if index not in self._done:
            self.batch_callback(index)(documents, nbytes)

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
