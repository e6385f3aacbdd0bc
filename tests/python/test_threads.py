"""Waiting on the network releases the GIL."""

import threading
import time


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
