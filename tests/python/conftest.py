"""What the Python tests share: packets built by hand from docs/protocol.md, and a stand-in
module on loopback that answers requests with chosen acknowledges and sends chosen packets."""

import socket
import struct
import threading

import pytest

import daqhost


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
