"""Ctrl-C and SIGTERM held off while the job driver is inside ``concurrent.futures``.

Python raises ``KeyboardInterrupt`` between any two bytecodes, also halfway through
``concurrent.futures.wait`` while it holds the locks of some futures but not yet of others. The
executor's own thread then blocks on such a lock when it hands in a result, and the driver,
cleaning up after the interrupt, waits for that thread forever. So while workers run, the
driver's calls into futures are *held*: a signal that arrives inside one is noted and
delivered the moment the call returns; anywhere else it is delivered at once, as usual. Waits
are cut into short slices so that a held signal is never late by more than a slice.
"""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Callable, Collection, Iterator
from concurrent.futures import FIRST_COMPLETED, Executor, Future, wait
from typing import Any

SIGNALS = (signal.SIGINT, signal.SIGTERM)
SLICE_SECONDS = 0.1


class _Gate:
    def __init__(self) -> None:
        self.depth = 0
        self.noted: int | None = None
        self.previous: dict[int, Any] = {}

    def handle(self, signum: int, frame: Any) -> None:
        if self.depth:
            self.noted = signum
        else:
            self.deliver(signum, frame)

    def deliver(self, signum: int, frame: Any) -> None:
        previous = self.previous.get(signum, signal.SIG_DFL)
        if callable(previous):
            previous(signum, frame)  # KeyboardInterrupt, or the caller's own handler
        elif previous == signal.SIG_DFL:
            signal.signal(signum, signal.SIG_DFL)
            signal.raise_signal(signum)

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        self.depth += 1
        try:
            yield
        finally:
            self.depth -= 1
            if not self.depth and self.noted is not None:
                signum, self.noted = self.noted, None
                self.deliver(signum, None)


_gate: _Gate | None = None


@contextlib.contextmanager
def holding() -> Iterator[None]:
    """Installs the gate for the duration of a job run by other threads or processes. Only the
    main thread receives signals; a job started from any other thread changes nothing."""
    global _gate
    if _gate is not None or threading.current_thread() is not threading.main_thread():
        yield
        return
    gate = _Gate()
    gate.previous = {signum: signal.getsignal(signum) for signum in SIGNALS}
    for signum in SIGNALS:
        signal.signal(signum, gate.handle)
    _gate = gate
    try:
        yield
    finally:
        _gate = None
        for signum, previous in gate.previous.items():
            signal.signal(signum, previous)


def held() -> contextlib.AbstractContextManager[None]:
    """A section in which an arriving signal waits until the section ends."""
    return _gate.held() if _gate is not None else contextlib.nullcontext()


def submit(pool: Executor, fn: Callable[..., Any], *args: Any) -> Future:
    with held():
        return pool.submit(fn, *args)


def wait_first(futures: Collection[Future],
               tick: Callable[[], None] | None = None) -> set[Future]:
    """The futures of ``futures`` that are done, once at least one is; ``tick`` is called
    after every slice of the wait (to follow what the workers report meanwhile)."""
    while True:
        with held():
            done, _ = wait(futures, timeout=SLICE_SECONDS, return_when=FIRST_COMPLETED)
        if tick is not None:
            tick()
        if done:
            return done


def result(future: Future) -> Any:
    wait_first([future])
    with held():
        return future.result()


def cancel(futures: Collection[Future]) -> None:
    with held():
        for future in futures:
            future.cancel()
