#!/usr/bin/env python3
"""monitor_figures: what daqhost's browser monitor costs the receive path, and how soon the
page shows a new figure, printed as one Markdown table.

    monitor_figures.py [--quick] [--events N] [--rounds R]

testModule runs at its highest rate (-r 1000000 -m 1111 -e 1) on a loopback address of its
own, pinned to processor 0; each round daqhost takes N events of 4 hybrids in mode 1 on
processor 1 (as host_throughput does), once without the monitor and once with it and the page
open in headless Chromium. daqhost's processor time is its rusage, exec to exit. The delay is
from the making of a snapshot to its figures on the page (the page records it); a figure is
at most one snapshot period (0.2 s) older than its snapshot. Progress goes to standard error.
Needs DAQ_DAQHOST and DAQ_TESTMODULE, selenium and chromedriver; no root."""

import json
import os
import re
import socket
import statistics
import subprocess
import sys
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

DAQHOST = os.environ["DAQ_DAQHOST"]
TESTMODULE = os.environ["DAQ_TESTMODULE"]
SNAPSHOT_PERIOD_S = 0.2


def progress(text):
    print(f"[monitor_figures] {text}", file=sys.stderr, flush=True)


def free_address():
    for n in range(os.getpid() % 5000, os.getpid() % 5000 + 200):
        address = f"127.{n // 250 % 250 + 1}.{n % 250 + 1}.9"
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            probe.bind((address, 10000))
            return address
        except OSError:
            continue
        finally:
            probe.close()
    raise RuntimeError("no free loopback address")


def pinned(cpu):
    return lambda: os.sched_setaffinity(0, {cpu}) if os.cpu_count() >= 2 else None


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--window-size=1280,1000"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def take(address, events, monitor, driver):
    """One daqhost run: its summary, processor seconds and, with the monitor, the page's
    delays (ms)."""
    args = [DAQHOST, "run", address, "--hybrids", "1,2,3,4", "--chip-type", "1", "--chips", "2",
            "--mode", "1", "-n", str(events), "--json"]
    if monitor:
        args += ["--monitor", "127.0.0.1:0"]
    host = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=pinned(1))
    err = []
    url = [None]
    opened = threading.Event()

    def read_errors():
        for line in host.stderr:
            err.append(line)
            match = re.search(r"monitor on (http://\S+)", line)
            if match:
                url[0] = match.group(1)
                opened.set()

    reader = threading.Thread(target=read_errors, daemon=True)
    reader.start()
    delays = []
    if monitor and opened.wait(30):
        driver.get(url[0])
    out = host.stdout.read()
    if monitor:
        try:
            delays = driver.execute_script("return window.monitorDelays || []")
        except Exception:  # the page may have lost its server already
            delays = []
    _, status, usage = os.wait4(host.pid, 0)
    host.returncode = os.waitstatus_to_exitcode(status)
    reader.join(5)
    if host.returncode != 0:
        raise RuntimeError(f"daqhost exited with {host.returncode}: {''.join(err)}")
    return json.loads(out), usage.ru_utime + usage.ru_stime, delays


def main():
    quick = "--quick" in sys.argv[1:]
    events = 20_000 if quick else 200_000
    rounds = 1 if quick else 3
    for i, arg in enumerate(sys.argv):
        if arg == "--events":
            events = int(sys.argv[i + 1])
        if arg == "--rounds":
            rounds = int(sys.argv[i + 1])
    address = free_address()
    module = subprocess.Popen([TESTMODULE, "-r", "1000000", "-m", "1111", "-e", "1", "--address",
                               address], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              preexec_fn=pinned(0))
    driver = browser()
    rows = {False: [], True: []}
    delays = []
    try:
        time.sleep(0.2)  # the module binds; daqhost retries its discovery anyway
        for r in range(rounds):
            for monitor in (False, True):
                progress(f"round {r + 1} of {rounds}, {'with' if monitor else 'without'} the monitor")
                summary, cpu_s, page_delays = take(address, events, monitor, driver)
                hybrids = summary["hybrids"]
                packets = sum(h["packets"] for h in hybrids)
                rows[monitor].append({"packets": packets,
                                      "missing": sum(h["missing"] for h in hybrids),
                                      "drops": summary["kernel_drops"],
                                      "cpu_us": cpu_s * 1e6 / packets})
                delays += page_delays
    finally:
        driver.quit()
        module.terminate()
        module.wait(10)

    ratios = [m["cpu_us"] / p["cpu_us"] for p, m in zip(rows[False], rows[True])]
    print("| Scenario | Packets | Missing | Kernel drops | CPU µs per packet | ÷ without |")
    print("|---|---:|---:|---:|---:|---:|")
    for monitor, name in ((False, "Run without the monitor"),
                          (True, "Run with --monitor, page open")):
        r = sorted(rows[monitor], key=lambda m: m["cpu_us"])[len(rows[monitor]) // 2]
        ratio = f"{statistics.median(ratios):.2f}" if monitor else "–"
        print(f"| {name} | {r['packets']:,} | {sum(m['missing'] for m in rows[monitor])} | "
              f"{sum(m['drops'] for m in rows[monitor])} | {r['cpu_us']:.2f} | {ratio} |")
    print()
    if delays:
        print(f"Page delays from snapshot to figures on the page: median {statistics.median(delays):.0f} ms, "
              f"slowest {max(delays):.0f} ms over {len(delays)} snapshots; a new figure is on the page "
              f"within {max(delays) / 1000 + SNAPSHOT_PERIOD_S:.2f} s of the packets it counts.")
    else:
        print("Page delays: none recorded (the page did not load in time).")
    print(f"Events per run: {events:,}, rounds: {rounds}; missing and drops are summed over the "
          f"rounds, the rest is the median round. Machine: {os.cpu_count()} cores; "
          f"load average {os.getloadavg()[0]:.2f}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
