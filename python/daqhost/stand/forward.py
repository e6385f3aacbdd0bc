"""A TCP port of a network namespace made reachable on the machine's own loopback.

A socket belongs to the namespace its thread was in when it was made, so one thread enters the
namespace and makes the connections into it, while listening happens outside, on 127.0.0.1
only: the monitor of a host in the stand's namespace opens in the machine's own browser.
"""

from __future__ import annotations

import queue
import selectors
import socket
import threading

from pyroute2 import netns


class PortForward:
    def __init__(self, namespace: str, port: int, local_port: int | None = None):
        self.namespace = namespace
        self.port = port
        self.listener = socket.create_server(("127.0.0.1", local_port or port))
        self.local_port = self.listener.getsockname()[1]
        self._requests: queue.Queue = queue.Queue()
        self._stopping = threading.Event()
        self._threads = [threading.Thread(target=self._connector, daemon=True),
                         threading.Thread(target=self._accept, daemon=True)]
        for thread in self._threads:
            thread.start()

    def close(self):
        self._stopping.set()
        self._requests.put(None)
        self.listener.close()

    def _connector(self):
        netns.setns(self.namespace)  # this thread only
        while (client := self._requests.get()) is not None:
            try:
                inner = socket.create_connection(("127.0.0.1", self.port), timeout=5)
            except OSError:
                client.close()
                continue
            threading.Thread(target=_pump, args=(client, inner, self._stopping),
                             daemon=True).start()

    def _accept(self):
        while not self._stopping.is_set():
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self._requests.put(client)


def _pump(a: socket.socket, b: socket.socket, stopping: threading.Event):
    """Copies both ways until either side closes or the forward stops."""
    with a, b, selectors.DefaultSelector() as selector:
        a.setblocking(False)
        b.setblocking(False)
        selector.register(a, selectors.EVENT_READ, b)
        selector.register(b, selectors.EVENT_READ, a)
        while not stopping.is_set():
            for key, _ in selector.select(timeout=0.5):
                try:
                    data = key.fileobj.recv(65536)
                    if not data:
                        return
                    key.data.setblocking(True)
                    key.data.sendall(data)
                    key.data.setblocking(False)
                except OSError:
                    return
