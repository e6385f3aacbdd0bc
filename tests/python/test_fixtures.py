"""The pytest plugin: modules of a test's own on loopback addresses of their own (or of the
test's choice), known to serve by discovery, read through their output and counters, paused,
restarted and killed by the test, stopped by PID at the end, and a test failed when one of them
ended unasked; the examples of the docs and of the plugin run as written."""

import pytest

import daqhost
from conftest import assert_none_running, defined_tests, python_examples

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


@pytest.mark.daq_client(timeout_s=0.5, retries=4)
def test_the_client_fixture_takes_its_options_and_a_run_of_its_own_module(daq_client):
    assert (daq_client.settings.timeout_s, daq_client.settings.retries) == (0.5, 4)
    daq_client.set_readout_mode(1, 2)
    daq_client.start()
    packets = 0
    for _ in range(100):
        packets += len(daq_client.receive(0.1))
        if packets >= 10:
            break
    daq_client.stop()
    assert packets >= 10


def test_a_module_on_an_address_of_the_tests_choice_restarts_and_pauses(daq_module):
    module = daq_module("-r", "1000", address="127.0.0.5", port=0)
    endpoint, first = module.endpoint, module.pid
    assert endpoint.address_text == "127.0.0.5" and endpoint.port != 0
    module.restart()
    assert module.endpoint == endpoint and module.pid != first
    with daqhost.ModuleClient(endpoint.text, timeout_s=0.2, retries=0) as client:
        client.discover()
        module.pause(60)
        with pytest.raises(daqhost.NoAcknowledge):
            client.discover()
        module.resume()
        client.discover()
        module.pause(0.2)
    # Continued by the pause's own timer.
    with daqhost.ModuleClient(endpoint.text, timeout_s=0.5, retries=40) as client:
        client.discover()


@pytest.mark.daq_stand("""
modules: [{count: 2, rate: 500}]
faults: [{at: 1, module: 2, do: pause, seconds: 1.5}]
""")
def test_a_scenario_played_around_the_test_which_is_its_host(daq_stand):
    session = daqhost.RunSession(daqhost.RunSettings(
        modules=[daqhost.ClientSettings(a) for a in daq_stand.addresses], seconds=4,
        recover=daqhost.RecoverySettings(silence_s=0.5, give_up_s=3)))
    assert session.run(), session.errors
    assert [o.end for o in session.module(1).outages] == ["recovered"]
    assert session.module(0).outages == [] and session.figures(0).missing == 0
    assert [(r["module"], r["what"], r["result"]) for r in daq_stand.applied] == [
        (2, "pause 1.5 s", "applied"), (2, "continue", "applied")]
    assert 1.4 < daq_stand.applied[1]["seconds"] - daq_stand.applied[0]["seconds"] < 2.5


def test_modules_ended_unasked_fail_their_test_killed_or_paused_ones_do_not(pytester, tmp_path):
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

        def test_ended_by_another(daq_module):
            module = started(daq_module())
            os.kill(module.pid, signal.SIGTERM)
            module.process.wait()

        def test_fine(daq_module):
            started(daq_module())

        def test_killed_and_left_paused(daq_module):
            assert started(daq_module()).kill() == -signal.SIGKILL
            started(daq_module()).pause(60)
    """)
    result = pytester.runpytest_inprocess()
    result.assert_outcomes(passed=4, errors=2)
    result.stdout.fnmatch_lines(["*ended during the test with status -9*",
                                 "*ended during the test with status 0*"])
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


def test_modules_paused_or_not_end_with_a_test_process_that_dies(pytester, tmp_path):
    pids = tmp_path / "pids"
    pytester.makepyfile(f"""
        import os

        def test_dies(daq_module):
            paused = daq_module()
            paused.pause(60)
            with open({str(pids)!r}, "w") as f:
                f.write(f"{{daq_module().pid}} {{paused.pid}}")
            os._exit(3)
    """)
    result = pytester.runpytest_subprocess()
    assert result.ret == 3
    started = [int(pid) for pid in pids.read_text().split()]
    assert len(started) == 2
    assert_none_running(started)


def test_the_examples_of_the_docs_and_the_plugin_run_as_written(pytester):
    tests = [block for block in python_examples() if defined_tests(block)]
    assert tests
    for i, block in enumerate(tests):
        pytester.makepyfile(**{f"test_example_{i}": block})
    result = pytester.runpytest_inprocess()
    result.assert_outcomes(passed=sum(defined_tests(block) for block in tests))
