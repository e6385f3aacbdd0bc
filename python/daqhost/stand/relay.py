"""The relay's control socket (faultrelay --control-socket) from Python, and the faults the
relay publishes (faultrelay --list-faults), from which the stand's command line and the
scenario reader take their fault names and value checks: a fault added to the relay is usable
from both with no change here.

A request is a JSON object on a line, its reply one line; a refusal carries the relay's reason,
raised as a StandError. See docs/faultrelay.md for the requests."""

from __future__ import annotations

import functools
import json
import math
import os
import socket
import subprocess

from .interface import StandError, find_program

# Seconds a relay may take to answer: it serves its socket between two batches of datagrams.
ANSWER_S = 5.0
DIRECTIONS = ("to-module", "from-module")


class RelayClient:
    """Requests to one relay's control socket, a connection each."""

    def __init__(self, path: str, name: str = "the relay"):
        self.path = str(path)
        self.name = name

    def request(self, request: dict) -> dict:
        """The relay's reply; StandError when it refuses (with its reason) or does not answer."""
        folder, leaf = os.path.split(self.path)
        # A path too long for a socket address is reached through its folder's descriptor.
        folder_fd = os.open(folder or ".", os.O_PATH) if len(self.path) > 100 else None
        address = f"/proc/self/fd/{folder_fd}/{leaf}" if folder_fd is not None else self.path
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
                connection.settimeout(ANSWER_S)
                connection.connect(address)
                connection.sendall(json.dumps(request).encode() + b"\n")
                with connection.makefile("rb") as answer:
                    line = answer.readline()
        except OSError as e:
            raise StandError(f"{self.name} does not answer on {self.path}: "
                             f"{e.strerror or e}") from None
        finally:
            if folder_fd is not None:
                os.close(folder_fd)
        try:
            reply = json.loads(line)
        except ValueError:
            raise StandError(f"{self.name} gave no reply to {request.get('request')}") from None
        if not reply.get("ok"):
            raise StandError(f"{self.name} refused {json.dumps(request)}: {reply.get('error')}")
        return reply

    def set_faults(self, faults: dict[str, dict], ack_delay_ms: float = 0,
                   ack_count: int | None = None) -> str:
        """Each direction's faults (by parameter name) and the acknowledge hold, in force from
        the next datagram on; the relay's text of what is then in force."""
        for direction, values in faults.items():
            if values:
                self.request({"request": "set", "direction": direction, "faults": values})
        hold = {"request": "hold-acknowledges", "ms": ack_delay_ms}
        return self.request(hold | ({"count": ack_count} if ack_count else {}))["text"]


@functools.cache
def fault_list() -> dict:
    """What `faultrelay --list-faults` prints, of the relay the stand runs (FAULTRELAY, PATH or
    the build tree)."""
    relay = find_program("FAULTRELAY", "faultrelay", "tools/faultrelay/faultrelay")
    try:
        listed = subprocess.run([relay, "--list-faults"], capture_output=True, text=True,
                                timeout=10, check=True).stdout
        return json.loads(listed)
    except (OSError, subprocess.SubprocessError, ValueError) as e:
        raise StandError(f"{relay} --list-faults does not give the relay's faults: {e}") from None


def parameters() -> dict[str, dict]:
    """Every parameter of every fault by its name (the relay's option without "--"), in the
    relay's order, each with the name of its fault."""
    return {p["name"]: {**p, "fault": f["name"]} for f in fault_list()["faults"]
            for p in f["parameters"]}


def defaults() -> dict:
    """Every parameter's value when its fault is off."""
    return {name: p["default"] for name, p in parameters().items()}


def read_value(parameter: dict, value):
    """The value of a parameter as a scenario or the command line gives it ("5%" for a
    percentage, "10,20" or a list for packet numbers), checked against the relay's bounds;
    ValueError saying what it must be."""
    wrong = ValueError(f"{value!r} is not {parameter['meaning']}")
    if isinstance(value, bool):
        raise wrong
    if parameter["kind"] == "packet numbers":
        items = value if isinstance(value, list) else str(value).split(",")
        if not items or not all(str(n).strip().isdigit() and int(n) > 0 for n in items):
            raise wrong
        return sorted({int(n) for n in items})
    text = str(value).strip()
    if parameter["unit"] == "%":
        text = text.removesuffix("%").strip()
    try:
        number = float(text)
    except ValueError:
        raise wrong from None
    high = parameter["max"] if parameter["max"] is not None else math.inf
    if not (math.isfinite(number) and parameter["min"] <= number <= high):
        raise wrong
    return number


def value_text(name: str, value) -> str:
    """"loss 5%", "delay 20 ms", "drop 3,4", as the timeline says it."""
    unit = parameters().get(name, {}).get("unit", "")
    if isinstance(value, list):
        return f"{name} {','.join(map(str, value))}"
    return f"{name} {value:g}" + (unit if unit == "%" else f" {unit}" if unit else "")
