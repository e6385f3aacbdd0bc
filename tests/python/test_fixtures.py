"""The pytest plugin: modules of a test's own on loopback addresses of their own, known to
serve by discovery, read through their output and counters, stopped by PID at the end, and a
test failed when one of them crashed."""

import os
import time

import daqhost

pytest_plugins = ["pytester"]


def test_modules_serve_side_by_side_with_their_output_and_counters(daq_module):
    first = daq_module("-m", "11", "-r", "1000")
    second = daq_module()
    assert first.endpoint.text != second.endpoint.text
    assert first.endpoint.address_text.startswith("127.")
    for module in (first, second):
        with daqhost.ModuleClient(module=module.endpoint.text) as client:
            assert client.discover().error == 0
    assert any(f"Creating server on {first.endpoint.text}" in line for line in first.log())
    # The probe's discovery and the client's: two requests of code 11, as the module counted.
    counters = first.counters()
    assert any("Counters: requests 2 (code 11: 2)" in line for line in counters), counters


def test_the_client_fixture_takes_a_run_of_its_own_module(daq_client):
    daq_client.set_readout_mode(1, 2)
    daq_client.start()
    packets = 0
    for _ in range(100):
        packets += len(daq_client.receive(0.1))
        if packets >= 10:
            break
    daq_client.stop()
    assert packets >= 10


def assert_none_running(pids, timeout_s=30):
    """Every module ended (a zombie left for init to reap counts as ended), within a bound:
    a module given SIGTERM takes a second to stop."""
    def running(pid):
        try:
            with open(f"/proc/{pid}/stat") as stat:
                return stat.read().rsplit(") ", 1)[1][0] != "Z"
        except (FileNotFoundError, IndexError):
            return False

    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline and any(running(pid) for pid in pids):
        time.sleep(0.05)
    assert not [pid for pid in pids if running(pid)], "modules left running"


def test_a_module_that_crashed_fails_its_test_and_none_is_left(pytester, tmp_path):
    pids = tmp_path / "pids"
    pytester.makepyfile(f"""
        import os
        import signal

        def started(module):
            with open({str(pids)!r}, "a") as f:
                f.write(f"{{module.pid}}\\n")
            return module

        def test_crash(daq_module):
            module = started(daq_module())
            os.kill(module.pid, signal.SIGKILL)
            module.process.wait()

        def test_fine(daq_module):
            started(daq_module())
    """)
    result = pytester.runpytest_inprocess()
    result.assert_outcomes(passed=2, errors=1)
    result.stdout.fnmatch_lines(["*ended during the test with status -9*"])
    assert_none_running([int(line) for line in pids.read_text().split()])


def test_a_hundred_tests_that_start_modules_in_parallel_leave_none_running(pytester, tmp_path):
    pids = tmp_path / "pids"
    pytester.makepyfile(f"""
        import pytest

        @pytest.mark.parametrize("n", range(100))
        def test_start(daq_module, n):
            module = daq_module("-m", "1")
            with open({str(pids)!r}, "a") as f:
                f.write(f"{{module.pid}}\\n")
    """)
    # Two worker processes where pytest-xdist is installed, one after the other otherwise.
    parallel = ["-n", "2"] if pytester.parseconfig().pluginmanager.hasplugin("xdist") else []
    result = pytester.runpytest_subprocess(*parallel)
    result.assert_outcomes(passed=100)
    started = [int(line) for line in pids.read_text().split()]
    assert len(set(started)) == 100
    assert_none_running(started)


def test_modules_end_with_a_test_process_that_dies_without_its_teardown(pytester, tmp_path):
    pids = tmp_path / "pids"
    pytester.makepyfile(f"""
        import os

        def test_dies(daq_module):
            with open({str(pids)!r}, "w") as f:
                f.write(f"{{daq_module().pid}} {{daq_module().pid}}")
            os._exit(3)
    """)
    result = pytester.runpytest_subprocess()
    assert result.ret == 3
    started = [int(pid) for pid in pids.read_text().split()]
    assert len(started) == 2
    assert_none_running(started)
