"""Signals that arrive while the job driver is inside concurrent.futures wait until it is out."""

import signal
import threading
from concurrent.futures import Future, ThreadPoolExecutor

import pytest

from shredder.jobs import interrupts


class Stop(Exception):
    pass


def test_a_signal_inside_a_held_section_arrives_when_the_section_ends():
    reached = []
    with pytest.raises(KeyboardInterrupt), interrupts.holding():
        with interrupts.held():
            signal.raise_signal(signal.SIGINT)
            reached.append("after the signal")
            with interrupts.held():  # nested: still held until the outer section ends
                pass
            reached.append("after the inner section")
        reached.append("never")
    assert reached == ["after the signal", "after the inner section"]
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_outside_a_held_section_a_signal_arrives_at_once_through_the_callers_handler():
    def stop(signum, frame):
        raise Stop(signum)

    previous = signal.signal(signal.SIGTERM, stop)
    try:
        with pytest.raises(Stop) as stopped, interrupts.holding():
            signal.raise_signal(signal.SIGTERM)
            pytest.fail("the signal did not arrive")
        assert stopped.value.args == (signal.SIGTERM,)
        assert signal.getsignal(signal.SIGTERM) is stop
    finally:
        signal.signal(signal.SIGTERM, previous)


def test_a_wait_interrupted_between_slices_leaves_no_future_locked():
    # The executor's thread must still be able to hand in its result after the interrupt.
    release = threading.Event()
    with ThreadPoolExecutor(1) as pool:
        future = pool.submit(release.wait, 30)
        timer = threading.Timer(0.25, signal.raise_signal, (signal.SIGINT,))
        timer.start()
        with pytest.raises(KeyboardInterrupt), interrupts.holding():
            interrupts.wait_first([future])
        release.set()
        assert future.result(timeout=10) is True
        timer.join()


def test_without_a_gate_or_off_the_main_thread_nothing_changes():
    done: Future = Future()
    done.set_result(7)
    assert interrupts.result(done) == 7
    seen = []

    def elsewhere():
        with interrupts.holding():
            seen.append(signal.getsignal(signal.SIGINT))

    thread = threading.Thread(target=elsewhere)
    thread.start()
    thread.join()
    assert seen == [signal.default_int_handler]
