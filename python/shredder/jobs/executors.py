"""Where partitions run: the calling process, local worker processes, or a Dask cluster.

Every engine is a ``concurrent.futures.Executor``; the job driver only submits tasks and waits
for their futures, so any executor a caller hands in (a ``ProcessPoolExecutor``, a Dask
``Client.get_executor()``) works the same way.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import os
import queue as queue_module
import select
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator
from concurrent.futures import Executor, Future
from concurrent.futures.process import BrokenProcessPool
from typing import Any

from shredder.core.errors import UserError
from shredder.jobs import interrupts


class WorkerLost(UserError):
    """A worker process ended abruptly; the work finished so far can be resumed."""


def default_jobs() -> int:
    """The CPUs this process may run on."""
    try:
        return max(len(os.sched_getaffinity(0)), 1)
    except (AttributeError, OSError):
        return os.cpu_count() or 1


class InProcessExecutor(Executor):
    """Runs each task at once in the calling process (``--jobs 1``): no pickling, no workers,
    and an exception or Ctrl-C surfaces exactly where it happens."""

    def submit(self, fn, /, *args: Any, **kwargs: Any) -> Future:
        future: Future = Future()
        try:
            result = fn(*args, **kwargs)
        except Exception as error:  # noqa: BLE001 - handed to the caller through the future
            future.set_exception(error)
        else:
            future.set_result(result)
        return future


# In a local worker process: the queue on which it reports the progress of its partition.
_progress_queue: Any = None
# On a Dask cluster, workers report progress as events of this topic, which the client
# that started the job subscribes to.
PROGRESS_TOPIC = "shredder-progress"


def _start_worker(driver: int, progress: Any) -> None:
    global _progress_queue
    _progress_queue = progress
    # Reports are only news: a worker ending must never wait for the driver to read them.
    progress.cancel_join_thread()
    # The driver decides what an interrupt means (cancel, clean up, exit 130); a Ctrl-C sent to
    # the whole process group must not kill workers halfway through writing a part.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # A worker waits on a queue whose writing end it holds itself, so it would wait forever
    # once the driver is killed: it ends when the driver does. What it was writing is under a
    # temporary name, which a resumed run removes.
    threading.Thread(target=_exit_with, args=(driver,), daemon=True,
                     name="shredder-driver-watch").start()


def _exit_with(driver: int) -> None:
    try:
        descriptor = os.pidfd_open(driver)
    except (AttributeError, OSError):
        descriptor = None
    if descriptor is not None:
        select.select([descriptor], [], [])
    else:
        while True:
            time.sleep(0.5)
            try:
                os.kill(driver, 0)
            except ProcessLookupError:
                break
    os._exit(1)


# What every local worker imports, loaded once in the fork server.
_WORKER_MODULES = ["shredder.jobs.shred_job", "shredder.jobs.unshred_job"]


def start_worker_server() -> None:
    """Starts the fork server that local workers come from (see ``process_pool``), if it is not
    running. It loads what workers import (pyarrow, the engine: a third of a second) in a
    process of its own, so a caller that starts it before loading those itself has its workers
    at hand that much sooner."""
    import multiprocessing.forkserver

    multiprocessing.get_context("forkserver").set_forkserver_preload(_WORKER_MODULES)
    multiprocessing.forkserver.ensure_running()


def process_pool(jobs: int) -> Executor:
    """Local worker processes. They are started by a fork server, not forked from the driver:
    forking a process whose Arrow thread pools are already running can deadlock the child.
    Each is handed a queue on which it reports its progress (see ``progress_reporter``); the
    driver reads it with ``progress_queue``."""
    from concurrent.futures import ProcessPoolExecutor

    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(_WORKER_MODULES)
    queue = context.Queue()
    pool = ProcessPoolExecutor(max_workers=jobs, mp_context=context,
                               initializer=_start_worker, initargs=(os.getpid(), queue))
    pool.shredder_progress = queue  # type: ignore[attr-defined]
    return pool


def progress_queue(executor: Executor) -> Any:
    """The queue on which the workers of a local pool or of ``--dask`` report progress (None
    for a caller's executor: its workers report whole tasks only)."""
    return getattr(executor, "shredder_progress", None)


def _dask_worker() -> Any:
    if "distributed" not in sys.modules:  # not on a Dask worker; importing it costs a second
        return None
    from distributed import get_worker

    try:
        return get_worker()
    except ValueError:
        return None


def progress_reporter(key: int) -> Callable[[int, int], None] | None:
    """On a worker: a callback that reports (documents, bytes) of the task ``key`` to the
    driver as they are done; None where nobody listens."""
    queue = _progress_queue
    if queue is not None:
        return lambda documents, nbytes: queue.put((key, documents, nbytes))
    worker = _dask_worker()
    if worker is not None:
        return lambda documents, nbytes: worker.log_event(PROGRESS_TOPIC,
                                                          (key, documents, nbytes))
    return None


def drain(queue: Any, report: Callable[[int, int, int], None]) -> None:
    """Hands every report waiting on ``queue`` to ``report(key, documents, bytes)``."""
    while True:
        try:
            key, documents, nbytes = queue.get_nowait()
        except (queue_module.Empty, OSError, ValueError):  # empty, or closed by a stop
            return
        report(key, documents, nbytes)


def stop_pool(executor: Executor) -> None:
    """Stops local worker processes at once (after an interrupt or a failure), so that none is
    left writing into the output while the driver cleans up."""
    processes = getattr(executor, "_processes", None) or {}
    for process in list(processes.values()):
        with contextlib.suppress(Exception):
            process.terminate()
    executor.shutdown(wait=True, cancel_futures=True)


@contextlib.contextmanager
def dask_executor(address: str) -> Iterator[Executor]:
    """An executor running tasks on the Dask distributed cluster at ``address``."""
    try:
        from dask.distributed import Client
    except ImportError:
        raise UserError("--dask needs Dask distributed: pip install 'shredder[dask]'") from None
    try:
        client = Client(address, timeout="30s", set_as_default=False)
    except (OSError, TimeoutError) as error:
        raise UserError(f"cannot reach the Dask scheduler at {address}: {error}") from None
    try:
        # pure=False: two partitions never share a result, even if their arguments looked alike
        executor = client.get_executor(pure=False)
        # events reach the client on its own thread; the driver reads them from this queue
        events: queue_module.Queue = queue_module.Queue()
        client.subscribe_topic(PROGRESS_TOPIC, lambda event: events.put(event[1]))
        executor.shredder_progress = events  # type: ignore[attr-defined]
        yield executor
    finally:
        client.close()


@contextlib.contextmanager
def open_executor(jobs: int | None, executor: Executor | None, dask: str | None = None,
                  local_only: bool = False,
                  tasks: int | None = None) -> Iterator[tuple[Executor, bool]]:
    """The executor of a job and whether this module owns its local processes. A caller's
    executor is used as it is and left open. Local jobs start no more processes than there
    are ``tasks`` (when known): a job of one task runs in the calling process."""
    if executor is not None and dask is not None:
        raise UserError("give either an executor or a Dask address, not both")
    if local_only and (executor is not None or dask is not None):
        raise UserError("standard input (-) can only be read by local jobs (--jobs)")
    if executor is not None:
        with interrupts.holding():
            yield executor, False
        return
    if dask is not None:
        with interrupts.holding(), dask_executor(dask) as remote:
            yield remote, False
        return
    count = default_jobs() if jobs is None else jobs
    if count < 1:
        raise UserError(f"jobs must be at least 1, got {count}")
    if tasks is not None:
        count = max(min(count, tasks), 1)
    if count == 1:
        yield InProcessExecutor(), False
        return
    with interrupts.holding():
        pool = process_pool(count)
        try:
            yield pool, True
        except BrokenProcessPool:
            with interrupts.held():
                stop_pool(pool)
            raise WorkerLost("a worker process ended abruptly (killed, or out of memory?); a "
                             "shred keeps its finished partitions: run it again with --resume "
                             "to go on") from None
        except BaseException:
            with interrupts.held():
                stop_pool(pool)
            raise
        else:
            with interrupts.held():
                pool.shutdown(wait=True)
