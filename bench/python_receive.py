#!/usr/bin/env python3
"""python_receive: a host written in Python with the package, for host_throughput to measure
beside daqhost. As `daqhost run 127.0.0.1 --hybrids 1,2,3,4 --chip-type 1 --chips 2 --mode 1
-n EVENTS --json`: the packets come into Python as arrays, a batch at a time, and are counted
by StreamStatistics; it prints the fields of daqhost's JSON summary that host_throughput reads.

    python_receive.py EVENTS TIMEOUT_S"""

import json
import sys
import time

import daqhost


def main():
    events = int(sys.argv[1])
    timeout_s = float(sys.argv[2])
    statistics = daqhost.StreamStatistics()
    with daqhost.ModuleClient("127.0.0.1") as client:
        client.discover()
        for hybrid in (1, 2, 3, 4):
            client.configure_stream(hybrid, chip_type=1, chips=2)
            client.set_readout_mode(hybrid, mode=1)
        client.start()
        deadline = time.monotonic() + timeout_s
        while statistics.triggers < events and time.monotonic() < deadline:
            statistics.add(client.receive(0.1))
        client.stop()
        # What the module sent before the stop: until nothing has come for 0.2 s, 2 s at most.
        draining = time.monotonic()
        while time.monotonic() - draining < 2.0:
            batch = client.receive(0.2)
            if len(batch) == 0:
                break
            statistics.add(batch)
        drops = client.kernel_drops
    hybrids = [s.as_dict() for s in statistics.summaries()]
    print(json.dumps({"hybrids": hybrids, "kernel_drops": drops}))
    return 0 if statistics.triggers >= events else 1


if __name__ == "__main__":
    sys.exit(main())
