"""pytest fixtures that start readout modules for a test: testModule (or daqreplay) on a free
loopback address of its own, so that tests run side by side, in parallel and without root.

    def test_a_run(daq_module, daq_client):
        ...                             # daq_client: a client of a module of the test's own
    def test_two(daq_module):
        first = daq_module("-m", "11")  # options as testModule takes them
        second = daq_module(program="daqreplay", options=["run.pcap"])

A module is known to serve when it answers a discovery request, and is sent SIGTERM by its
PID at the end of the test; a module that ended by itself with a non-zero status, or by a
signal, fails the test. Its shutdown goes on while the next tests run, and the end of the
session waits for every module. The programs are found on PATH, or where DAQ_TESTMODULE and DAQ_DAQREPLAY
say."""

import ctypes
import itertools
import os
import shutil
import signal
import socket
import subprocess
import threading
import time

import pytest

import daqhost

# How long a module may take to serve, and to end after SIGTERM.
START_TIMEOUT_S = 20.0
STOP_TIMEOUT_S = 10.0
# Loopback addresses tried for one module, before giving up.
ADDRESS_ATTEMPTS = 64

_PROGRAMS = {"testModule": "DAQ_TESTMODULE", "daqreplay": "DAQ_DAQREPLAY"}


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


def _end_with_this_process():
    """Run in the module's process before it starts: should the test process die without its
    teardown (killed, or a crash in the interpreter), the module gets SIGTERM rather than
    running on alone."""
    pr_set_pdeathsig = 1
    ctypes.CDLL(None, use_errno=True).prctl(pr_set_pdeathsig, int(signal.SIGTERM), 0, 0, 0)


def _port_free(address, port):
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.bind((address, port))
        return True
    except OSError:
        return False
    finally:
        probe.close()


class DaqModule:
    """One module process: its endpoint, its output lines, its counters, and its end."""

    def __init__(self, program, options, address, port):
        self.program = program
        self.address = address
        self.port = port
        self.endpoint = daqhost.Endpoint(address, port)
        self.lines = []
        self._lines_lock = threading.Lock()
        self.process = subprocess.Popen(
            [program_path(program), *options, "--address", address, "--port", str(port)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            preexec_fn=_end_with_this_process)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    @property
    def pid(self):
        return self.process.pid

    def _read(self):
        for raw in self.process.stdout:
            with self._lines_lock:
                self.lines.append(raw.decode(errors="replace").rstrip("\n"))

    def log(self):
        """The lines the module has printed so far (standard output and error, interleaved)."""
        with self._lines_lock:
            return list(self.lines)

    def wait_serving(self, timeout_s=START_TIMEOUT_S):
        """Waits until the module answers discovery; False when it ended or the time ran out."""
        deadline = time.monotonic() + timeout_s
        # Short probes while the module starts, longer ones should it answer slowly (a loaded
        # machine, a sanitizer build).
        probe_timeout_s = 0.01
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
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
        self.process.send_signal(signal.SIGTERM)
        return True

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

    @property
    def crashed(self):
        """Whether the module ended other than as asked: by itself with a non-zero status or
        by a signal, or with a non-zero status after SIGTERM."""
        status = self.process.poll()
        return status is not None and status != 0

    def __repr__(self):
        return f"DaqModule({self.program} at {self.endpoint.text}, pid {self.pid})"


def start_module(*options, program="testModule", port=daqhost.MODULE_PORT):
    """Starts a module on a free loopback address and waits until it serves."""
    attempts = 0
    for address in _candidate_addresses():
        attempts += 1
        if attempts > ADDRESS_ATTEMPTS:
            break
        if not _port_free(address, port):
            continue
        module = DaqModule(program, list(options), address, port)
        if module.wait_serving():
            return module
        # Taken between the probe and the bind, or the program failed: which, its status says.
        module.stop()
        if not any("Address already in use" in line for line in module.log()):
            raise RuntimeError(f"{program} {' '.join(options)} did not serve:\n" +
                               "\n".join(module.log()))
    raise RuntimeError(f"no free loopback address for {program} after {ADDRESS_ATTEMPTS} tries")


def _crash_text(module, when):
    return (f"{module!r} {when} with status {module.process.returncode}; its last lines:\n" +
            "\n".join(module.log()[-20:]))


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
        if module.crashed:
            self.crashed.append(_crash_text(module, "ended after SIGTERM"))


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
    """A factory: daq_module(*options, program="testModule", port=10000) starts a module on a
    free loopback address of its own and returns it (a DaqModule) once it serves. Every
    module started is sent SIGTERM by its PID at the end of the test, which fails if one had
    crashed (ended by a signal, or with a status other than 0, during the test). The end of the
    test does not wait for a module's shutdown; the end of the session waits for them all."""
    started = []

    def start(*options, program="testModule", port=daqhost.MODULE_PORT):
        module = start_module(*options, program=program, port=port)
        started.append(module)
        return module

    yield start
    crashed = []
    for module in started:
        if module.process.poll() is None:
            _daq_modules_stopping.add(module)
            continue
        module.wait_stopped()
        if module.crashed:
            crashed.append(_crash_text(module, "ended during the test"))
    if crashed:
        pytest.fail("\n\n".join(crashed), pytrace=False)


@pytest.fixture
def daq_client(daq_module):
    """A client of a module of the test's own (testModule with its defaults), opened and made
    the module's host by discovery; the module's endpoint is daq_client.settings.module."""
    module = daq_module()
    client = daqhost.ModuleClient(module=module.endpoint.text)
    client.open()
    client.discover()
    yield client
    client.close()
