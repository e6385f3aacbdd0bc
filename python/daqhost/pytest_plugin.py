"""pytest fixtures that start readout modules for a test: testModule (or daqreplay) on a free
loopback address of its own, so that tests run side by side, in parallel and without root.

```python
import daqhost
import pytest


def test_a_run(daq_client):                   # a client of a module of the test's own
    daq_client.set_readout_mode(hybrid=1, mode=2)
    daq_client.start()
    batch = daq_client.receive(timeout_s=2.0)
    daq_client.stop()
    assert len(batch) > 0


@pytest.mark.daq_client(timeout_s=0.2, retries=0)  # daqhost.ModuleClient's options
def test_a_hasty_client(daq_client):
    assert daq_client.settings.retries == 0


def test_a_recorded_run_served_again(daq_module, tmp_path):
    module = daq_module("-r", "1000")             # options as testModule takes them
    capture = str(tmp_path / "run.pcap")
    session = daqhost.RunSession(daqhost.RunSettings(
        modules=[daqhost.ClientSettings(module.endpoint.text)], events=100, capture=capture))
    assert session.run(), session.errors
    replay = daq_module(capture, program="daqreplay", address="127.0.0.5", port=0)
    replay.pause(0.5)     # SIGSTOP now, SIGCONT in half a second; returns at once
    replay.restart()      # stopped by its PID, started again on 127.0.0.5 and the same port
    replay.kill()         # SIGKILL: a module the test killed does not fail it
```

A module is known to serve when it answers a discovery request, and is sent SIGTERM by its
PID at the end of the test; a module that ended during the test without the test asking
(stop(), kill(), restart()), or that ended with a non-zero status after SIGTERM, fails the
test. Its shutdown goes on while the next tests run, and the end of the session waits for every
module. The programs are found on PATH, or where DAQ_TESTMODULE and DAQ_DAQREPLAY say."""

import concurrent.futures
import ctypes
import itertools
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import threading
import time

import pytest

import daqhost

# How long a module may take to serve, to end after SIGTERM, and to stop after SIGSTOP.
START_TIMEOUT_S = 20.0
STOP_TIMEOUT_S = 10.0
PAUSE_TIMEOUT_S = 5.0
# Loopback addresses tried for one module, before giving up.
ADDRESS_ATTEMPTS = 64

_PROGRAMS = {"testModule": "DAQ_TESTMODULE", "daqreplay": "DAQ_DAQREPLAY"}
_SERVING = re.compile(r"Creating server on ([\d.]+):(\d+)")
# Looked up before any fork: the module's process calls it between fork and exec.
_prctl = ctypes.CDLL(None, use_errno=True).prctl
_PR_SET_PDEATHSIG = 1


def program_path(name):
    """The path of testModule or daqreplay: from its environment variable, else PATH."""
    path = os.environ.get(_PROGRAMS.get(name, ""), "") or shutil.which(name)
    if not path:
        raise FileNotFoundError(
            f"{name} is neither on PATH nor named by {_PROGRAMS.get(name, 'an environment variable')}")
    return path


def _candidate_addresses():
    """Loopback addresses other than 127.0.0.1, from a place that depends on the process, so
    that parallel test processes seldom try the same ones first."""
    start = (os.getpid() * 7919) % (254 * 254)
    for n in itertools.count(start):
        n %= 254 * 254
        yield f"127.0.{n // 254 + 1}.{n % 254 + 1}"


def _end_with(parent):
    """Run in the module's process before it starts: should the test process die without its
    teardown (killed, or a crash in the interpreter), the module is killed rather than left
    running alone. SIGKILL, because a paused module would hold any other signal unhandled."""
    def arm():
        _prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
        # The parent died before the death signal was armed: nothing would send it.
        if os.getppid() != parent:
            os._exit(1)
    return arm


class _Launcher:
    """Starts every module from one thread that lives as long as the process.

    The death signal a module arms follows the thread that forked it, not the process: a
    module started from a test's worker thread would be killed when that thread ends. Forking
    from the main thread would tie modules to the process, but only the test can run there. A
    child subreaper or a pidfd lets the test process watch its modules, yet neither ends them
    when the test process dies; this thread does both: it ends only with the process."""

    def __init__(self):
        self._lock = threading.Lock()
        self._requests = None
        os.register_at_fork(after_in_child=self._forget)

    def _forget(self):
        # A forked child has no launcher thread: it starts one of its own when it needs it.
        self._lock = threading.Lock()
        self._requests = None

    def popen(self, argv, **options):
        with self._lock:
            if self._requests is None:
                self._requests = queue.SimpleQueue()
                threading.Thread(target=self._serve, args=(self._requests,),
                                 name="daq-module-launcher", daemon=True).start()
            requests = self._requests
        started = concurrent.futures.Future()
        requests.put((started, argv, options))
        return started.result()

    @staticmethod
    def _serve(requests):
        while True:
            started, argv, options = requests.get()
            try:
                started.set_result(subprocess.Popen(
                    argv, preexec_fn=_end_with(os.getpid()), **options))
            except BaseException as error:  # handed to the caller, whatever it is
                started.set_exception(error)


_launcher = _Launcher()


def _port_free(address, port):
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.bind((address, port))
        return True
    except OSError:
        return False
    finally:
        probe.close()


def _process_state(pid):
    """The state letter of /proc/PID/stat (R, S, T stopped, Z zombie...); None when gone."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(") ", 1)[1][0]
    except (FileNotFoundError, IndexError):
        return None


class DaqModule:
    """One module: its endpoint, its output lines, its counters, its process and its end.
    restart() replaces the process; pid and process are those of the current one."""

    def __init__(self, program, options, address, port):
        self.program = program
        self.options = list(options)
        self.address = address
        self.port = port
        self.endpoint = daqhost.Endpoint(address, port)
        self.lines = []
        self._lines_lock = threading.Lock()
        # Faults of the processes restart() replaced, reported at the end of the test.
        self.faults = []
        self._resume_timer = None
        self._launch()

    def _launch(self):
        # How the test asked the current process to end: None, "stop" or "kill".
        self._asked = None
        self.process = _launcher.popen(
            [program_path(self.program), *self.options, "--address", self.address,
             "--port", str(self.port)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self._reader = threading.Thread(target=self._read, args=(self.process.stdout,),
                                        daemon=True)
        self._reader.start()

    @property
    def pid(self):
        return self.process.pid

    def _read(self, stream):
        for raw in stream:
            with self._lines_lock:
                self.lines.append(raw.decode(errors="replace").rstrip("\n"))

    def log(self):
        """The lines the module has printed so far (standard output and error, interleaved),
        those of the processes restart() replaced first."""
        with self._lines_lock:
            return list(self.lines)

    def _learn_port(self):
        """With port 0 the system picks the port: the module's line "Creating server on"
        names it. Whether the port is known."""
        if self.port == 0:
            for line in self.log():
                serving = _SERVING.search(line)
                if serving and serving.group(1) == self.address:
                    self.port = int(serving.group(2))
                    self.endpoint = daqhost.Endpoint(self.address, self.port)
        return self.port != 0

    def wait_serving(self, timeout_s=START_TIMEOUT_S):
        """Waits until the module answers discovery; False when it ended or the time ran out."""
        deadline = time.monotonic() + timeout_s
        # Short probes while the module starts, longer ones should it answer slowly (a loaded
        # machine, a sanitizer build).
        probe_timeout_s = 0.01
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            if not self._learn_port():
                time.sleep(0.01)
                continue
            probe = daqhost.ModuleClient(module=self.endpoint.text, timeout_s=probe_timeout_s,
                                         retries=0)
            probe_timeout_s = min(2 * probe_timeout_s, 0.5)
            try:
                probe.open()
                probe.discover()
                return True
            except (daqhost.NoAcknowledge, OSError):
                pass
            finally:
                probe.close()
        return False

    def counters(self, timeout_s=10.0):
        """The module's counter lines (those that begin "Counters"), asked for with SIGUSR1."""
        before = sum(1 for line in self.log() if "Counters:" in line)
        self.process.send_signal(signal.SIGUSR1)
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            lines = self.log()
            blocks = [i for i, line in enumerate(lines) if "Counters:" in line]
            if len(blocks) > before:
                # The block of the last signal: from its first counter line to the end.
                first = blocks[before]
                return [line for line in lines[first:] if "Counters:" in line]
            time.sleep(0.01)
        raise TimeoutError(f"{self.program} at {self.endpoint.text} printed no counters")

    def pause(self, seconds):
        """Stops the module (SIGSTOP) and returns once it is stopped; a timer continues it
        (SIGCONT) after `seconds`, so that the test watches meanwhile what a host makes of a
        module that does not answer. resume() continues it sooner; stop(), kill(), restart()
        and the end of the test continue it first."""
        self._cancel_resume()
        self.process.send_signal(signal.SIGSTOP)
        deadline = time.monotonic() + PAUSE_TIMEOUT_S
        while _process_state(self.pid) not in ("T", "Z", None):
            if time.monotonic() > deadline:
                raise TimeoutError(f"{self!r} did not stop after SIGSTOP")
            time.sleep(0.001)
        self._resume_timer = threading.Timer(seconds, self.resume)
        self._resume_timer.daemon = True
        self._resume_timer.start()

    def resume(self):
        """Continues a paused module (SIGCONT) now."""
        self._cancel_resume()
        self.process.send_signal(signal.SIGCONT)

    def _cancel_resume(self):
        timer, self._resume_timer = self._resume_timer, None
        if timer is not None:
            timer.cancel()

    def stop(self):
        """Ends the module by its PID (SIGTERM, then SIGKILL) and returns its exit status;
        None when it had ended by itself before (see crashed)."""
        asked = self.terminate()
        status = self.wait_stopped()
        return status if asked else None

    def terminate(self):
        """Sends SIGTERM unless the module has ended; whether it was sent. testModule takes
        about a second to end after it."""
        if self.process.poll() is not None:
            return False
        self._asked = "stop"
        self.process.send_signal(signal.SIGTERM)
        self.resume()
        return True

    def kill(self):
        """Kills the module (SIGKILL) by its PID and returns its exit status once it ended; a
        module the test killed does not fail it."""
        self._cancel_resume()
        if self.process.poll() is None:
            self._asked = "kill"
            self.process.kill()
        return self.wait_stopped()

    def restart(self, timeout_s=START_TIMEOUT_S):
        """Stops the module by its PID (SIGTERM, as stop()) and starts it again with the same
        options on the same address and port; returns once it serves. An end it had come to
        by itself before still fails the test."""
        self.stop()
        fault = self.fault()
        if fault:
            self.faults.append(fault)
        self._launch()
        if not self.wait_serving(timeout_s):
            raise RuntimeError(f"{self!r} did not serve again:\n" + "\n".join(self.log()[-20:]))

    def wait_stopped(self):
        """Waits for the module to end (SIGKILL after STOP_TIMEOUT_S) and for its last output;
        its exit status."""
        try:
            status = self.process.wait(STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        self._reader.join(STOP_TIMEOUT_S)
        if not self._reader.is_alive():
            self.process.stdout.close()
        return status

    def fault(self):
        """What was wrong with the end of the current process, as text: it ended without the
        test asking (whatever its status: testModule ends with 0 after any SIGTERM), or with
        a non-zero status after SIGTERM. None while it runs, or when it ended as asked."""
        status = self.process.poll()
        if status is None or self._asked == "kill" or (self._asked == "stop" and status == 0):
            return None
        when = "after SIGTERM" if self._asked else "during the test"
        return (f"{self!r} ended {when} with status {status}; its last lines:\n" +
                "\n".join(self.log()[-20:]))

    @property
    def crashed(self):
        """Whether the module ended other than as asked (see fault)."""
        return self.fault() is not None

    def __repr__(self):
        return f"DaqModule({self.program} at {self.endpoint.text}, pid {self.pid})"


def start_module(*options, program="testModule", address=None, port=daqhost.MODULE_PORT):
    """Starts a module and waits until it serves: on `address` when given, else on a free
    loopback address; on `port`, or one the system picks when 0."""
    if address is not None:
        module = DaqModule(program, options, address, port)
        if module.wait_serving():
            return module
        module.stop()
        raise RuntimeError(f"{program} {' '.join(options)} did not serve on {address}:\n" +
                           "\n".join(module.log()))
    attempts = 0
    for address in _candidate_addresses():
        attempts += 1
        if attempts > ADDRESS_ATTEMPTS:
            break
        if not _port_free(address, port):
            continue
        module = DaqModule(program, options, address, port)
        if module.wait_serving():
            return module
        # Taken between the probe and the bind, or the program failed: which, its status says.
        module.stop()
        if not any("Address already in use" in line for line in module.log()):
            raise RuntimeError(f"{program} {' '.join(options)} did not serve:\n" +
                               "\n".join(module.log()))
    raise RuntimeError(f"no free loopback address for {program} after {ADDRESS_ATTEMPTS} tries")


class _Stopping:
    """Modules sent SIGTERM at the end of their tests. Their shutdown (testModule's takes a
    second) goes on while the next tests run; those that have ended are reaped as others come,
    and the end of the session waits for the rest."""

    def __init__(self):
        self.modules = []
        self.crashed = []

    def add(self, module):
        module.terminate()
        self.modules.append(module)
        still = []
        for m in self.modules:
            if m.process.poll() is None:
                still.append(m)
            else:
                self._reap(m)
        self.modules = still

    def finish(self):
        for module in self.modules:
            self._reap(module)
        self.modules = []
        return self.crashed

    def _reap(self, module):
        module.wait_stopped()
        fault = module.fault()
        if fault:
            self.crashed.append(fault)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "daq_client(**options): the options of the daq_client fixture's "
        "daqhost.ModuleClient (timeout_s, retries, receive_buffer, local)")
    config.addinivalue_line(
        "markers", "daq_stand(scenario, seed=None): the scenario the daq_stand fixture plays "
        "around the test")


class PlayedStand:
    """The stand of a scenario played around a test: its modules' addresses (addresses, a list
    of "11.0.0.11" ...), the seconds since the test began (seconds()), what the timeline has
    applied so far (applied, rows of seconds, wall_clock, module, what, result)."""

    def __init__(self, stand, timeline):
        self.stand = stand
        self.addresses = stand.addresses()
        self._timeline = timeline

    def seconds(self):
        return self._timeline.seconds()

    @property
    def applied(self):
        return list(self._timeline.rows)


_CLONE_NEWNET = 0x40000000


@pytest.fixture
def daq_stand(request, tmp_path):
    """A scenario played around the test, which is its host: the mark
    @pytest.mark.daq_stand("path/scenario.yaml", seed=3) names it (or holds its text). The scenario's modules are
    stood up on a test stand of the test's own (root is needed: the test is skipped without
    it), 0 s of its timeline is when the test's body begins, and the body runs in the stand's
    host namespace, where the modules' addresses answer. Its host and expectations are not
    used: the test is the host, and checks what it likes. Afterwards the events still to come
    are dropped, the stand is taken down, and its logs and timeline are in tmp_path/"stand"."""
    marker = request.node.get_closest_marker("daq_stand")
    if marker is None or not marker.args:
        pytest.fail("daq_stand needs @pytest.mark.daq_stand(SCENARIO)", pytrace=False)
    if os.geteuid() != 0:
        pytest.skip("the test stand needs root (network namespaces)")
    from .stand import Stand, player, scenario  # noqa: PLC0415 (it needs pyroute2)

    named = str(marker.args[0])
    if "\n" in named:  # the scenario's own text
        played = scenario.parse(named, request.node.name)
        if marker.kwargs.get("seed") is not None:
            played.seed = marker.kwargs["seed"]
    else:
        played = scenario.load(named, marker.kwargs.get("seed"))
    stand = Stand(f"p{os.getpid() % 1000000}")
    stand.up_scenario(played)
    timeline = player.Timeline(played, stand)
    stopping = threading.Event()
    worker = None
    own_namespace = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    try:
        timeline.prepare()
        from pyroute2 import netns  # noqa: PLC0415
        netns.setns(stand.host_namespace)  # this thread's: the test's own
        timeline.start()
        worker = threading.Thread(
            target=timeline.run,
            args=(lambda until: stopping.wait(max(0.0, until - time.monotonic())),),
            name="daq-stand-timeline", daemon=True)
        worker.start()
        yield PlayedStand(stand, timeline)
    finally:
        stopping.set()
        if worker:
            worker.join(timeout=STOP_TIMEOUT_S)
        returned = ctypes.CDLL(None, use_errno=True).setns(own_namespace, _CLONE_NEWNET) == 0
        os.close(own_namespace)
        stand.down(tmp_path / "stand")
        timeline.write(tmp_path / "stand" / "timeline.tsv")
        if not returned:
            pytest.fail("could not return to the test's own network namespace", pytrace=False)


@pytest.fixture(scope="session")
def _daq_modules_stopping():
    """The modules of every test, as they stop; at the end of the session none is left, and
    one that crashed while stopping fails the session's last test."""
    stopping = _Stopping()
    yield stopping
    crashed = stopping.finish()
    if crashed:
        pytest.fail("\n\n".join(crashed), pytrace=False)


@pytest.fixture
def daq_module(_daq_modules_stopping):
    """A factory: daq_module(*options, program="testModule", address=None, port=10000) starts
    a module (testModule's options, or daqreplay's with the capture among them) and returns it
    (a DaqModule) once it serves: on `address` when given, else on a free loopback address of
    its own; on `port`, or one the system picks when 0. Any thread of the test may call it:
    the module lives until the end of the test all the same. Every module still running is
    then sent SIGTERM by its PID; the test fails if one had ended without the test asking
    (stop(), kill(), restart()). The end of the test does not wait for a module's shutdown;
    the end of the session waits for them all."""
    started = []

    def start(*options, program="testModule", address=None, port=daqhost.MODULE_PORT):
        module = start_module(*options, program=program, address=address, port=port)
        started.append(module)
        return module

    yield start
    faults = []
    for module in started:
        faults += module.faults
        if module.process.poll() is None:
            _daq_modules_stopping.add(module)
            continue
        module.wait_stopped()
        fault = module.fault()
        if fault:
            faults.append(fault)
    if faults:
        pytest.fail("\n\n".join(faults), pytrace=False)


@pytest.fixture
def daq_client(request, daq_module):
    """A client of a module of the test's own (testModule with its defaults), opened and made
    the module's host by discovery; the module's endpoint is daq_client.settings.module. The
    mark @pytest.mark.daq_client(timeout_s=..., retries=...) gives the client's options, as
    daqhost.ModuleClient takes them."""
    marker = request.node.get_closest_marker("daq_client")
    options = marker.kwargs if marker else {}
    module = daq_module()
    client = daqhost.ModuleClient(module=module.endpoint.text, **options)
    client.open()
    client.discover()
    yield client
    client.close()
