#!/usr/bin/env python3
"""python_figures: what the Python package costs, printed as one Markdown table.

    python_figures.py [--quick]

- How long the pytest plugin's daq_module takes from the call to a module that answers
  discovery: testModule started on a loopback address of its own, over many starts.
- Whether decoding releases the GIL: a capture of testModule (4 hybrids in mode 1) read into
  arrays by one thread, then by two threads at once (a reader each), in packets per wall
  second; the ratio of the two, in the same run, is what counts.

The package and the plugin come from PYTHONPATH, testModule from DAQ_TESTMODULE or PATH. Runs
on loopback without root. Progress goes to standard error."""

import os
import statistics
import sys
import tempfile
import threading
import time

import daqhost
from daqhost import pytest_plugin


def progress(text):
    print(f"[python_figures] {text}", file=sys.stderr, flush=True)


def start_times(starts):
    """Seconds from the call to a serving module, one per start; each module is stopped by
    its PID before the next starts."""
    times = []
    for _ in range(starts):
        began = time.monotonic()
        module = pytest_plugin.start_module()
        times.append(time.monotonic() - began)
        module.stop()
        if module.crashed:
            raise RuntimeError(f"{module!r} crashed: " + "\n".join(module.log()[-5:]))
    return times


def record_capture(path, events):
    """A capture of a testModule run at its highest rate, 4 hybrids in mode 1."""
    module = pytest_plugin.start_module("-r", "1000000", "-m", "1111", "-e", "1")
    try:
        settings = daqhost.RunSettings(
            modules=[daqhost.ClientSettings(module.endpoint.text)],
            hybrids=[daqhost.HybridSettings(h, chips=2, mode=1) for h in (1, 2, 3, 4)],
            events=events, capture=path)
        session = daqhost.RunSession(settings)
        if not session.run():
            raise RuntimeError("the recorded run failed: " + "; ".join(session.errors))
    finally:
        module.stop()


def decode(path, counts, index):
    """Reads the whole capture into arrays; the packet count goes to counts[index]."""
    packets = 0
    for batch in daqhost.CaptureReader(path):
        packets += len(batch)
        # What a reader of the arrays would touch first.
        batch.values.sum()
    counts[index] = packets


def decode_rate(path, threads):
    """Packets per wall second of `threads` threads decoding the capture at once."""
    counts = [0] * threads
    workers = [threading.Thread(target=decode, args=(path, counts, i)) for i in range(threads)]
    began = time.monotonic()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    seconds = time.monotonic() - began
    if min(counts) == 0:
        raise RuntimeError("a thread decoded no packet")
    return sum(counts) / seconds


def main():
    quick = "--quick" in sys.argv[1:]
    starts = 5 if quick else 50
    events = 5_000 if quick else 50_000
    rounds = 1 if quick else 5

    progress(f"{starts} starts of daq_module")
    times = start_times(starts)

    ratios = []
    one_rates = []
    with tempfile.TemporaryDirectory(prefix="python_figures.") as directory:
        capture = os.path.join(directory, "run.pcap")
        progress(f"a capture of {events} events of 4 hybrids")
        record_capture(capture, events)
        decode_rate(capture, 1)  # the file into the page cache
        for round_ in range(rounds):
            progress(f"decoding, round {round_ + 1} of {rounds}")
            one = decode_rate(capture, 1)
            two = decode_rate(capture, 2)
            one_rates.append(one)
            ratios.append(two / one)

    ms = sorted(t * 1e3 for t in times)
    print("| Figure | Value |")
    print("|---|---:|")
    print(f"| daq_module start to ready, median of {starts} (ms) | "
          f"{statistics.median(ms):.1f} |")
    print(f"| daq_module start to ready, slowest of {starts} (ms) | {ms[-1]:.1f} |")
    print(f"| Capture decode, one thread (packets/s) | {statistics.median(one_rates):,.0f} |")
    print(f"| Capture decode, two threads ÷ one (median of {rounds}) | "
          f"{statistics.median(ratios):.2f} |")
    print()
    print(f"Decoding: a capture of {events:,} events of 4 hybrids (mode 1, 256 values) read "
          "into arrays with CaptureReader, the values of each batch summed; two threads read "
          "a reader each at once. Machine: "
          f"{os.cpu_count()} cores; load average {os.getloadavg()[0]:.2f}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
