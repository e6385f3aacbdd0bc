#!/usr/bin/env python3
"""An end-to-end session with testModule run under a memory checker (scripts/ci/50-valgrind.sh).

    memcheck_session.py COMMAND...

Starts COMMAND (valgrind ... testModule ...), waits until it serves, and plays the host:
discovery, every configuration command, malformed datagrams, a run of a few seconds in each
readout mode (all channels, the hit channel, the hit and its neighbours) with data checked,
a stop, then SIGTERM by PID. Exits 0 only when the run's data came in every mode, the program
logged both shutdown lines and COMMAND ended with status 0 (the checker's own error status
when it found anything). Run it inside a network namespace of its own: testModule binds
127.0.0.1:10000.
"""
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

EMULATOR = ("127.0.0.1", 10000)
MAGIC = 0xCAFE
START_TIMEOUT = 120.0   # a memory checker starts programs slowly
REPLY_TIMEOUT = 20.0
RUN_SECONDS = 3.0
EXIT_TIMEOUT = 120.0    # the leak check runs after the program's end


def words(*values):
    return struct.pack(">%dH" % len(values), *values)


class Output:
    """Collects what the program writes, read on threads so that it never blocks."""

    def __init__(self, process):
        self.text = {"out": "", "err": ""}
        self.lock = threading.Lock()
        self.threads = [threading.Thread(target=self._read, args=(process.stdout, "out")),
                        threading.Thread(target=self._read, args=(process.stderr, "err"))]
        for thread in self.threads:
            thread.daemon = True
            thread.start()

    def _read(self, stream, name):
        for line in iter(stream.readline, b""):
            with self.lock:
                self.text[name] += line.decode(errors="replace")

    def get(self, name):
        with self.lock:
            return self.text[name]

    def wait_for(self, name, text, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.get(name):
                return True
            time.sleep(0.05)
        return False


class Host:
    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind(("127.0.0.1", 0))

    def request(self, datagram, code, timeout=REPLY_TIMEOUT):
        """Sends until the acknowledge of `code` comes; returns its error word, or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.sock.sendto(datagram, EMULATOR)
            resend = time.monotonic() + 2.0
            while time.monotonic() < min(resend, deadline):
                self.sock.settimeout(0.2)
                try:
                    reply = self.sock.recv(70000)
                except socket.timeout:
                    continue
                if (len(reply) == 16 and struct.unpack(">H", reply[:2])[0] == MAGIC
                        and reply[3] == (code | 0x80)):
                    return struct.unpack(">H", reply[6:8])[0]
        return None

    def send(self, datagram):
        self.sock.sendto(datagram, EMULATOR)

    def data_packets(self, seconds):
        """The readout modes (type byte of word 8) of the data packets received in the time."""
        modes = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.sock.settimeout(0.1)
            try:
                packet = self.sock.recv(70000)
            except socket.timeout:
                continue
            if len(packet) >= 20 and packet[3] == 14:
                modes.append(packet[17] & 0x0F)
        return modes

    def drain(self):
        self.sock.settimeout(0)
        try:
            while True:
                self.sock.recv(70000)
        except (BlockingIOError, socket.timeout):
            pass


def session(host, failures):
    def expect(condition, what):
        if not condition:
            failures.append(what)
        return condition

    expect(host.request(words(MAGIC, 11, 0, 0), 11) == 0, "discovery not answered")
    # Configuration: hybrid 1 with two chips of type 1; hybrid 3 is not present.
    expect(host.request(words(MAGIC, 1, 0x0110, 0x0200), 1) == 0, "stream configuration")
    expect(host.request(words(MAGIC, 1, 0x0310, 0x0200), 1) == 1, "absent hybrid not refused")
    for code in (2, 3, 4, 5, 6, 7, 9):
        expect(host.request(words(MAGIC, code, 0x0100, 0x0011), code) == 0,
               "setting command %d" % code)
    for code in (0, 12, 0x8B):
        expect(host.request(words(MAGIC, code, 0, 0), code) == 0xFF, "unknown code %d" % code)
    # Malformed datagrams: empty, shorter than a header, odd, wrong magic, longer than a read.
    for datagram in (b"", b"\xca", b"\xca\xfe\x00", words(MAGIC, 10, 0x0100) + b"\x01",
                     words(0x1234, 10, 0x0100, 1), words(MAGIC, 7) + bytes(9000)):
        host.send(datagram)
    # Requests are answered in order: this acknowledge comes after those of the datagrams above.
    expect(host.request(words(MAGIC, 6, 0, 0), 6) == 0, "request after malformed datagrams")
    expect(host.request(words(MAGIC, 10, 0x0700, 1), 10) == 1, "DAQ command for absent hybrid")

    for mode, nadj in ((1, 0), (2, 0), (4, 3)):
        for hybrid in (1, 2):
            expect(host.request(words(MAGIC, 8, (hybrid << 8) | mode, nadj), 8) == 0,
                   "readout mode %d" % mode)
        expect(host.request(words(MAGIC, 10, 0xFF00, 1), 10) == 0, "run start")
        modes = host.data_packets(RUN_SECONDS)
        expect(host.request(words(MAGIC, 10, 0xFF00, 0), 10) == 0, "run stop")
        expect(len(modes) > 0 and all(m == mode for m in modes),
               "mode %d: %d data packets, modes %s" % (mode, len(modes), sorted(set(modes))))
        print("mode %d: %d data packets" % (mode, len(modes)), flush=True)
        host.drain()
    # A run left running for the signal to end.
    expect(host.request(words(MAGIC, 10, 0x0100, 1), 10) == 0, "last run start")
    expect(len(host.data_packets(1.0)) > 0, "no data in the last run")


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    process = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    output = Output(process)
    failures = []
    try:
        if output.wait_for("err", "Creating server on", START_TIMEOUT):
            session(Host(), failures)
        else:
            failures.append("the emulator did not start serving")
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        try:
            status = process.wait(timeout=EXIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            status = process.wait()
            failures.append("the emulator did not end after SIGTERM")
    for thread in output.threads:
        thread.join(timeout=5)

    err = output.get("err")
    for line in ("Stopping the run", "Stopping the server"):
        if line not in err:
            failures.append("no shutdown line '%s'" % line)
    if status != 0:
        failures.append("exit status %d" % status)
    if failures:
        print("memcheck session FAILED:\n  " + "\n  ".join(failures), file=sys.stderr)
        print("--- emulator standard error (tail)\n" + err[-4000:], file=sys.stderr)
        return 1
    print("memcheck session passed: exit status 0")
    return 0


if __name__ == "__main__":
    sys.exit(main())
