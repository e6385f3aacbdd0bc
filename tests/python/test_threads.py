"""Waiting on the network releases the GIL; an object in a call on one thread refuses the
others; a module started on a thread lives until the end of the test."""

import threading
import time

import pytest

import daqhost
from conftest import assert_none_running


def test_waiting_in_receive_lets_other_threads_run(client):
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        start = time.monotonic()
        assert len(client.receive(0.5)) == 0
        end = time.monotonic()
    finally:
        done.set()
        thread.join()
    # Held through the wait, the GIL would leave no tick inside it.
    inside = [t for t in ticks if start + 0.1 < t < end - 0.1]
    assert end - start >= 0.45
    assert len(inside) > 10


def test_a_session_in_a_call_refuses_other_threads_but_not_its_own_callback(daq_module):
    module = daq_module("-r", "1000")
    session = daqhost.RunSession(daqhost.RunSettings(
        modules=[daqhost.ClientSettings(module.endpoint.text)],
        hybrids=[daqhost.HybridSettings(1, chips=1, mode=2)], events=50))
    seen = {}

    def other_thread():
        try:
            session.figures(0)
        except RuntimeError as error:
            seen["other"] = str(error)

    def go_on():
        if not seen:
            seen["own"] = session.figures(0).packets
            reader = threading.Thread(target=other_thread)
            reader.start()
            reader.join()
        return True

    assert session.run(go_on), session.errors
    assert "own" in seen
    assert "RunSession is in use by another thread" in seen["other"]
    assert session.figures(0).packets >= 50


@pytest.fixture
def ended_after_teardown():
    """PIDs that must have ended once the fixtures set up after this one are torn down."""
    pids = []
    yield pids
    assert_none_running(pids)


def test_a_module_started_on_a_thread_serves_after_it_until_the_teardown(ended_after_teardown,
                                                                         daq_module):
    started = []
    thread = threading.Thread(target=lambda: started.append(daq_module("-r", "1000")))
    thread.start()
    thread.join()
    (module,) = started
    ended_after_teardown.append(module.pid)
    # A death signal tied to the thread would come during the run and end the module.
    session = daqhost.RunSession(daqhost.RunSettings(
        modules=[daqhost.ClientSettings(module.endpoint.text)], events=100))
    assert session.run(), session.errors
    assert module.process.poll() is None
    assert not any("Stopping the run" in line for line in module.log())
