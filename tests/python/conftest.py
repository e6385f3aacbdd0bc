"""What the Python tests share: packets built by hand from docs/protocol.md, a stand-in
module on loopback that answers requests with chosen acknowledges and sends chosen packets,
a bounded wait for modules to end, and the examples of the docs."""

import inspect
import pathlib
import re
import socket
import struct
import textwrap
import threading
import time

import pytest

import daqhost
from daqhost import pytest_plugin


def words(*values):
    """16-bit words in network order."""
    return struct.pack(f">{len(values)}H", *values)


def acknowledge(code, error=0):
    return words(0xCAFE, code | 0x80, 0xFF00, error, 0x0002, 0x0204, 0, 0xACAB)


def data_packet(stream, mode, count, event, time_stamp, time_value, payload):
    """A data packet (docs/protocol.md section 8) with the payload words given."""
    header = (0xCAFE, stream << 8 | 14, count, event, time_stamp >> 16, time_stamp & 0xFFFF, 2,
              time_value, stream << 8 | mode)
    return words(*header, *payload, 0xACAB)


class StandInModule:
    """A UDP socket on 127.0.0.1 whose thread acknowledges each request with the error chosen
    for its code (0 by default); send() sends datagrams to the sender of the last request."""

    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))
        self.socket.settimeout(0.05)
        self.errors = {}
        self.host = None
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._answer)
        self.thread.start()

    @property
    def address(self):
        return "%s:%d" % self.socket.getsockname()

    def _answer(self):
        while not self.stopped.is_set():
            try:
                request, self.host = self.socket.recvfrom(64)
            except socket.timeout:
                continue
            code = request[3]
            self.socket.sendto(acknowledge(code, self.errors.get(code, 0)), self.host)

    def send(self, *datagrams):
        for d in datagrams:
            self.socket.sendto(d, self.host)

    def close(self):
        self.stopped.set()
        self.thread.join()
        self.socket.close()


@pytest.fixture
def module():
    m = StandInModule()
    yield m
    m.close()


@pytest.fixture
def client(module):
    with daqhost.ModuleClient(module.address, timeout_s=2, retries=0) as c:
        yield c


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


def python_examples():
    """The fenced python blocks of docs/python.md and of the pytest plugin's docstrings."""
    texts = [(pathlib.Path(__file__).parents[2] / "docs" / "python.md").read_text(),
             inspect.getsource(pytest_plugin)]
    return [textwrap.dedent(block) for text in texts
            for block in re.findall(r"^ *```python\n(.*?)^ *```", text, re.S | re.M)]


def defined_tests(block):
    return len(re.findall(r"^def test_", block, re.M))
