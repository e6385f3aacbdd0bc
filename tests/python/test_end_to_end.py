"""Runs against the real testModule, on loopback in a network namespace of their own: the
arrays received and the run session's figures, compared with the C++ statistics of the same
packets and with `daqhost stats --json` of the same capture; the scripts of docs/python.md,
which look for a module at 127.0.0.1:10000."""

import json
import os
import re
import subprocess
import time

import numpy as np
import pytest

import daqhost
from conftest import defined_tests, python_examples

pytestmark = pytest.mark.skipif(
    os.environ.get("DAQ_PRIVATE_NETNS") != "1",
    reason="testModule binds port 10000: these tests run only in a network namespace of their "
    "own (unshare -n, as root), which this system does not allow")


@pytest.fixture
def test_module(tmp_path):
    log = open(tmp_path / "testModule.log", "w+")
    process = subprocess.Popen([os.environ["DAQ_TESTMODULE"], "-r", "1000"],
                               stdout=subprocess.DEVNULL, stderr=log)
    try:
        deadline = time.monotonic() + 10
        serving = None
        while serving is None and time.monotonic() < deadline and process.poll() is None:
            log.seek(0)
            serving = re.search(r"Creating server on ([\d.]+):10000", log.read())
            if serving is None:
                time.sleep(0.01)
        assert serving, "testModule did not start serving"
        if not serving.group(1).startswith("127."):
            pytest.skip("testModule serves %s, not loopback" % serving.group(1))
        yield serving.group(1)
    finally:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        log.close()


def test_received_mode_4_arrays_match_the_statistics_of_the_same_packets(test_module):
    batches = []
    with daqhost.ModuleClient(test_module) as client:
        client.discover()
        client.configure_stream(1, 1, 2)
        client.set_readout_mode(1, 4, 2)
        client.start()
        deadline = time.monotonic() + 10
        while sum(len(b) for b in batches) < 200 and time.monotonic() < deadline:
            batches.append(client.receive(0.5))
        client.stop()
        batches.append(client.receive(0.2))
        assert client.kernel_drops == 0
    packets = np.concatenate([b.packets for b in batches])
    triples = np.concatenate([b.triples for b in batches])
    assert len(packets) >= 200
    assert set(packets["mode"]) == {4} and set(packets["count"]) == {2}
    assert set(packets["triple_count"]) == {3} and set(packets["length"]) == {38}
    assert packets["event"].tolist() == list(range(1, len(packets) + 1))
    assert np.all(np.diff(packets["time_stamp"].astype(np.int64)) > 0)
    hits = triples["channel"][0::3].astype(int)
    assert np.array_equal(triples["channel"][1::3], hits + 1)
    assert np.array_equal(triples["channel"][2::3], hits + 2)
    assert np.array_equal(triples["right"][0::3], triples["left"][0::3])

    statistics = daqhost.StreamStatistics()
    for batch in batches:
        statistics.add(batch)
    (summary,) = statistics.summaries()
    assert (summary.packets, summary.missing, summary.last_event) == (len(packets), 0, len(packets))
    assert summary.hit_value_mean == pytest.approx(triples["right"][0::3].mean())


def test_run_session_figures_match_its_capture_read_back(test_module, tmp_path):
    capture = str(tmp_path / "run.pcap")
    settings = daqhost.RunSettings(modules=[daqhost.ClientSettings(test_module)],
                                   hybrids=[daqhost.HybridSettings(1, chips=2, mode=1)],
                                   events=300, capture=capture)
    session = daqhost.RunSession(settings)
    assert session.run(), session.errors
    (live,) = session.module(0).statistics.summaries()
    assert live.last_event >= 300 and live.missing == 0

    recorded = daqhost.RecordedRun()
    recorded.read(capture)
    (read_back,) = recorded.module(0).statistics.summaries()
    assert read_back.as_dict() == live.as_dict()
    assert recorded.figures(0).acknowledges == session.figures(0).acknowledges
    pace = session.pace
    assert pace.queued_max > 0 and pace.kernel_drops == session.figures(0).kernel_drops

    stats = json.loads(subprocess.run([os.environ["DAQ_DAQHOST"], "stats", capture, "--json"],
                                      check=True, capture_output=True, text=True,
                                      timeout=30).stdout)
    (hybrid,) = stats["hybrids"]
    for field in ("packets", "missing", "last_event", "bytes"):
        assert hybrid[field] == live.as_dict()[field], field
    assert hybrid["pedestal_mean"] == pytest.approx(live.pedestal_mean)

    packets = np.concatenate([b.packets for b in daqhost.CaptureReader(capture)])
    assert len(packets) == live.packets
    assert set(packets["value_count"]) == {256}
    assert packets["event"].max() == live.last_event


def test_each_module_runs_the_hybrids_of_its_own_settings(daq_module):
    one = daq_module("-m", "1", "-r", "1000")
    two = daq_module("-m", "11", "-r", "1000")
    # The words of `daqhost run`, read by its grammar.
    settings = daqhost.RunSettings.from_options(
        ["--module", f"{one.endpoint.text} --hybrids 1 --mode 2", "--module", two.endpoint.text,
         "--hybrids", "1,2", "-n", "50"])
    session = daqhost.RunSession(settings)
    assert session.run(), session.errors
    hybrids = [[(s.hybrid, s.mode) for s in session.module(i).statistics.summaries()]
               for i in (0, 1)]
    assert hybrids == [[(1, 2)], [(1, 1), (2, 1)]]


def test_the_scripts_of_the_docs_run_as_written(daq_module, tmp_path, monkeypatch):
    daq_module("-r", "1000", address="127.0.0.1")
    monkeypatch.chdir(tmp_path)
    scripts = [block for block in python_examples() if not defined_tests(block)]
    assert scripts
    for script in scripts:
        exec(compile(script, "docs/python.md", "exec"), {})
