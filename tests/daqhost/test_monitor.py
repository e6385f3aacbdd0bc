"""daqhost's monitor end to end: the page in a real browser (headless Chromium) during a run of
two modules and of six (one of them killed), its metrics checked by promtool against the
summary of the same capture, and requests it must refuse. Modules run on loopback addresses
of their own; every process is stopped by its PID. Screenshots go to DAQ_ARTEFACTS."""

import http.client
import json
import os
import pathlib
import queue
import re
import signal
import socket
import subprocess
import threading
import time

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

DAQHOST = os.environ["DAQ_DAQHOST"]
TESTMODULE = os.environ["DAQ_TESTMODULE"]
ARTEFACTS = pathlib.Path(os.environ.get("DAQ_ARTEFACTS", "artefacts"))
TIMEOUT_S = 60


def eventually(condition, what, timeout_s=TIMEOUT_S):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"{what}: not within {timeout_s} s")


class Process:
    """A program whose standard error is read line by line as it comes."""

    def __init__(self, *args):
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.err = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stderr:
            self.err.append(line)
            self.lines.put(line)

    def line(self, pattern):
        """The first match of `pattern` in a line of standard error, waited for."""
        deadline = time.monotonic() + TIMEOUT_S
        while time.monotonic() < deadline:
            try:
                match = re.search(pattern, self.lines.get(timeout=0.1))
            except queue.Empty:
                assert self.process.poll() is None, "".join(self.err)
                continue
            if match:
                return match
        raise AssertionError(f"no line like {pattern!r}: {''.join(self.err)}")

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            return self.process.wait(TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()


@pytest.fixture
def processes():
    started = []
    yield lambda *args: started.append(Process(*args)) or started[-1]
    for p in reversed(started):
        p.stop()


def free_loopback_address():
    """127.x.y.z with port 10000 free, from a place that depends on the process."""
    for n in range(os.getpid() % 5000, os.getpid() % 5000 + 200):
        address = f"127.{n // 250 % 250 + 1}.{n % 250 + 1}.7"
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            probe.bind((address, 10000))
            return address
        except OSError:
            continue
        finally:
            probe.close()
    raise AssertionError("no free loopback address")


def start_module(processes, *options):
    """A new testModule: its address and its Process."""
    address = free_loopback_address()
    module = processes(TESTMODULE, *options, "--address", address)
    # testModule logs where it serves on standard output; a short wait for the bind is enough
    # as daqhost retries its discovery.
    eventually(lambda: module.process.poll() is None and _serves(address), f"{address} serves")
    return address, module


def _serves(address):
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.bind((address, 10000))
        return False
    except OSError:
        return True
    finally:
        probe.close()


def get(url, path, headers=None, method="GET"):
    host, port = re.match(r"http://([\d.]+):(\d+)/", url).groups()
    connection = http.client.HTTPConnection(host, int(port), timeout=10)
    try:
        connection.request(method, path, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.read().decode()
    finally:
        connection.close()


@pytest.fixture
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--window-size=1280,1000"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    yield driver
    driver.quit()


def figure(driver, css):
    """The whole number the page shows at `css`; None before it shows one. Read in one script,
    as the page replaces its figures with each snapshot."""
    text = driver.execute_script(
        "const e = document.querySelector(arguments[0]); return e ? e.textContent : '';", css)
    text = text.replace(",", "")
    return int(text) if text.isdigit() else None


def test_the_page_follows_a_run_of_two_modules_with_charts_per_hybrid(processes, browser):
    first, _ = start_module(processes, "-m", "11", "-r", "400")
    second, _ = start_module(processes, "-r", "400")
    run = processes(DAQHOST, "run", "--module", first, "--module", second, "--seconds", "60",
                    "--monitor", "127.0.0.1:0")
    url = run.line(r"monitor on (http://\S+)").group(1)
    browser.get(url)
    total = "#total [data-figure=events]"
    before = eventually(lambda: figure(browser, total), "events on the page")
    eventually(lambda: (figure(browser, total) or 0) > before, "events rising on the page")

    # Module 1 sends hybrids 1 and 2, module 2 hybrid 1: a card each, with its four charts.
    cards = eventually(lambda: len(browser.find_elements(By.CSS_SELECTOR, "section.hybrid")) == 3
                       and browser.find_elements(By.CSS_SELECTOR, "section.hybrid"), "3 cards")
    assert sorted((c.get_attribute("data-module"), c.get_attribute("data-hybrid")) for c in cards) \
        == sorted([(f"{first}:10000", "1"), (f"{first}:10000", "2"), (f"{second}:10000", "1")])
    for card in cards:
        eventually(lambda: len(card.find_elements(By.CSS_SELECTOR, ".chart canvas")) >= 4
                   or None, "every chart drawn")
    assert table(browser) == {f"{first}:10000": "running", f"{second}:10000": "running"}

    # daqhost stopped for 1.5 s: the page and the metrics say that the host fell behind.
    run.process.send_signal(signal.SIGSTOP)
    time.sleep(1.5)
    run.process.send_signal(signal.SIGCONT)
    shown = "return [...document.querySelectorAll('#host dd')].map(e => e.textContent);"
    behind = eventually(lambda: (lambda f: f and f[0] == "fell behind" and f)(
        browser.execute_script(shown)), "the host shown behind")
    assert float(behind[1].split()[0]) > 1.0, behind
    assert "daq_host_kept_up 0\n" in get(url, "/metrics")[1]

    ARTEFACTS.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(ARTEFACTS / "monitor-desktop.png"))
    # Narrow, as on a phone: everything wraps (the table of modules scrolls in its own box); the
    # page needs no sideways scroll.
    browser.set_window_size(400, 1000)
    eventually(lambda: browser.execute_script(
        "return document.documentElement.scrollWidth <= window.innerWidth + 1"), "no sideways scroll")
    browser.save_screenshot(str(ARTEFACTS / "monitor-narrow.png"))
    assert run.stop(signal.SIGINT) == 0, "".join(run.err)


def table(driver):
    """The module table's state of each module, read in one script."""
    return driver.execute_script(
        "return Object.fromEntries([...document.querySelectorAll('#module-table tbody tr')]"
        ".map(r => [r.dataset.module, r.querySelector('[data-figure=state]').textContent]));")


def test_six_modules_start_folded_under_a_table_that_marks_the_silent_one(processes, browser,
                                                                         tmp_path):
    modules = [start_module(processes, "-r", "200") for _ in range(6)]
    names = [f"{address}:10000" for address, _ in modules]
    capture = tmp_path / "six.pcap"
    run = processes(DAQHOST, "run", *[a for address, _ in modules for a in ("--module", address)],
                    "--seconds", "120", "--recover", "--give-up", "100", "--monitor", "127.0.0.1:0",
                    "--out", str(capture), "--json")
    url = run.line(r"monitor on (http://\S+)").group(1)
    browser.get(url)
    eventually(lambda: table(browser) == dict.fromkeys(names, "running"), "a running row each")
    modules[1][1].process.kill()
    run.line(re.escape(names[1]) + ": silent since")
    silent = f"#module-table tr[data-module='{names[1]}']"
    eventually(lambda: table(browser)[names[1]] == "silent", "the killed module silent")
    assert "trouble" in browser.find_element(By.CSS_SELECTOR, silent).get_attribute("class")
    assert all(state == "running" for name, state in table(browser).items() if name != names[1])

    # Folded: the cards show their figures but no chart is drawn.
    sections = browser.find_elements(By.CSS_SELECTOR, "section.module")
    assert [s.get_attribute("class") for s in sections] == ["module folded"] * 6
    assert not browser.find_elements(By.CSS_SELECTOR, ".chart canvas")
    ARTEFACTS.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(ARTEFACTS / "monitor-six-folded.png"))

    browser.find_element(By.CSS_SELECTOR, silent).click()
    section = browser.find_element(By.CSS_SELECTOR, f"section.module[data-module='{names[1]}']")
    assert "folded" not in section.get_attribute("class")
    eventually(lambda: len(section.find_elements(By.CSS_SELECTOR, ".chart canvas")) >= 4,
               "the unfolded module's charts drawn")
    assert len(browser.find_elements(By.CSS_SELECTOR, "section.module.folded")) == 5
    below_header = browser.execute_script(
        "return arguments[0].getBoundingClientRect().top"
        " - document.querySelector('header').getBoundingClientRect().bottom", section)
    assert 0 <= below_header < 50, "scrolled to just below the header"
    browser.save_screenshot(str(ARTEFACTS / "monitor-six-picked.png"))
    browser.find_element(By.ID, "fold-all").click()
    assert not browser.find_elements(By.CSS_SELECTOR, "section.module.folded")
    assert run.stop(signal.SIGINT) == 1, "a module ended the run silent: " + "".join(run.err)
    assert_one_story(processes, json.loads(run.process.stdout.read()), capture)


def first_page(url):
    """The first set of figures the page is pushed."""
    host, port = re.match(r"http://([\d.]+):(\d+)/", url).groups()
    connection = http.client.HTTPConnection(host, int(port), timeout=10)
    try:
        connection.request("GET", "/events")
        response = connection.getresponse()
        for _ in range(100):
            line = response.fp.readline().decode()
            if line.startswith("data:"):
                return json.loads(line[len("data:"):])
        raise AssertionError("no figures on /events")
    finally:
        connection.close()


def without_host(summary):
    """A summary less what a capture does not have: the host's pace and what its sockets dropped
    (and the seconds, timed from the start request's send rather than from just before it)."""
    summary = json.loads(json.dumps(summary))
    del summary["seconds"], summary["host"]
    for figures in (summary["total"], *summary["modules"]):
        del figures["kernel_drops"]
    return summary


def assert_one_story(processes, live, capture):
    """The summary of the live run, the capture's (`stats`), and the page and the metrics of the
    capture shown again carry the same figures under the same keys."""
    stats = subprocess.run([DAQHOST, "stats", str(capture), "--json"], capture_output=True,
                           text=True, timeout=TIMEOUT_S)
    assert stats.stdout, stats.stderr
    recorded = json.loads(stats.stdout)
    assert recorded["host"] is None and live["host"] is not None
    assert without_host(recorded) == without_host(live)

    shown = processes(DAQHOST, "monitor", str(capture), "--at-once", "--monitor", "127.0.0.1:0")
    url = shown.line(r"monitor on (http://\S+)").group(1)
    shown.line("shown whole")
    page = first_page(url)
    metrics = get(url, "/metrics")[1]
    samples = {name: float(value) for name, value in
               re.findall(r"^(daq_\S+) (\S+)$", metrics, re.MULTILINE)}
    assert page["total"] == recorded["total"]
    assert [m["module"] for m in page["modules"]] == [m["module"] for m in recorded["modules"]]
    assert any(m["outages"] for m in recorded["modules"]), "the run was a faulty one"
    for on_page, m in zip(page["modules"], recorded["modules"]):
        # The page counts what the summary lists: malformed datagrams by fault, the outages.
        assert set(on_page) - {"last_outage", "state"} == set(m), m["module"]
        assert on_page["outages"] == len(m["outages"])
        assert on_page["malformed"] == sum(m["malformed"].values())
        for key in set(m) - {"outages", "malformed", "hybrids"}:
            assert on_page[key] == m[key], (m["module"], key)
        for shown_hybrid, hybrid in zip(on_page["hybrids"], m["hybrids"], strict=True):
            assert {k: shown_hybrid[k] for k in hybrid} == hybrid
        label = f'{{module="{m["module"]}"}}'
        for metric, value in (("daq_module_events_total", m["events"]),
                              ("daq_module_outages_total", len(m["outages"])),
                              ("daq_module_retries_total", m["retries"]),
                              ("daq_module_missing_acknowledges_total",
                               m["missing_acknowledges"])):
            assert samples[metric + label] == value, (metric, label)
        for hybrid in m["hybrids"]:
            labels = f'{{module="{m["module"]}",hybrid="{hybrid["hybrid"]}"}}'
            assert samples["daq_stream_missing_events" + labels] == hybrid["missing"]
            assert samples["daq_stream_packets_total" + labels] == hybrid["packets"]


def test_metrics_pass_promtool_and_agree_with_the_summary_and_bad_requests_are_refused(
        processes, tmp_path):
    module, _ = start_module(processes, "-m", "11", "-r", "1000")
    capture = tmp_path / "run.pcap"
    recorded = subprocess.run([DAQHOST, "run", module, "--hybrids", "1,2", "-n", "1000",
                               "--out", str(capture)], capture_output=True, text=True,
                              timeout=TIMEOUT_S)
    assert recorded.returncode == 0, recorded.stderr
    stats = subprocess.run([DAQHOST, "stats", str(capture), "--json"], capture_output=True,
                           text=True, timeout=TIMEOUT_S)
    summary = json.loads(stats.stdout)

    shown = processes(DAQHOST, "monitor", str(capture), "--at-once", "--monitor", "127.0.0.1:0")
    url = shown.line(r"monitor on (http://\S+)").group(1)
    shown.line("shown whole")

    status, text = get(url, "/api/status")
    assert status == 200
    assert json.loads(text) == summary
    status, metrics = get(url, "/metrics")
    assert status == 200
    check = subprocess.run(["promtool", "check", "metrics"], input=metrics, capture_output=True,
                           text=True, timeout=TIMEOUT_S)
    assert check.returncode == 0, check.stdout + check.stderr
    samples = dict(re.findall(r'^(daq_\S+) (\S+)$', metrics, re.MULTILINE))
    for hybrid in summary["hybrids"]:
        labels = f'{{module="{module}:10000",hybrid="{hybrid["hybrid"]}"}}'
        assert float(samples["daq_stream_packets_total" + labels]) == hybrid["packets"]
        assert float(samples["daq_stream_missing_events" + labels]) == hybrid["missing"]
    assert float(samples[f'daq_module_retries_total{{module="{module}:10000"}}']) \
        == summary["retries"]

    port = re.search(r":(\d+)/", url).group(1)
    refused = [
        ({"Host": f"rebound.example:{port}"}, "GET", "/api/status"),
        ({"Origin": f"http://rebound.example:{port}"}, "GET", "/metrics"),
        ({}, "GET", "/no-such-page"),
        ({}, "POST", "/"),
        ({}, "DELETE", "/api/status"),
    ]
    for headers, method, path in refused:
        status, _ = get(url, path, headers, method)
        assert 400 <= status < 500, (headers, method, path, status)
    for raw in (b"NONSENSE\r\n\r\n", b"GET /" + b"x" * 100000 + b" HTTP/1.1\r\n\r\n",
                b"POST / HTTP/1.1\r\nHost: 127.0.0.1:" + port.encode() + b"\r\nContent-Length: "
                b"99999999999\r\n\r\n"):
        with socket.create_connection(("127.0.0.1", int(port)), timeout=10) as s:
            s.sendall(raw)
            reply = s.recv(64)
            assert reply == b"" or re.match(rb"HTTP/1\.1 4\d\d", reply), reply
    status, _ = get(url, "/")
    assert status == 200, "the server goes on"
    assert shown.stop(signal.SIGINT) == 0
