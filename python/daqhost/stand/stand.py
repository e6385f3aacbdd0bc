"""A test stand: up to 64 modules (testModule, or daqreplay serving a capture) in network
namespaces, each behind a faultrelay that makes its network faults, and the modules' own faults.
Its state is the folder TESTSTAND_STATE/NAME, which any process may load: stand.json (written
before anything is made, so that down finds it all after any failure), PIDs, logs, counters."""

import contextlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass

from . import network
from .interface import (MAX_MODULES, PACKAGE_PARENT, StandError, StandInterface,  # noqa: F401
                        find_program, wall_clock)
from .relay import RelayClient


@dataclass
class ModuleOptions:
    rate: float | str | None = None  # -r
    efficiency: float | str | None = None  # -e
    mask: str | None = None  # -m
    chip: str | None = None  # -c
    relay: bool = False  # a relay in front, even without faults of its own
    replay: str | None = None  # a capture that daqreplay serves in place of testModule

    def options(self) -> list[str]:
        """testModule's (or daqreplay's) options, a value given as text passed as it is."""
        options = []
        for letter, value in zip("remc", (self.rate, self.efficiency, self.mask, self.chip)):
            if value is not None:
                options += [f"-{letter}", value if isinstance(value, str) else f"{value:g}"]
        return options

    def argv(self) -> list[str]:
        program = find_program("DAQREPLAY", "daqreplay", "tools/daqreplay/daqreplay") \
            if self.replay else find_program("TESTMODULE", "testModule", "app/testModule")
        return [program, *self.options()] + ([os.path.abspath(self.replay)] if self.replay else [])


def process_state(pid: int | None) -> str:
    """running, paused (stopped by a signal) or ended (a zombie too: its sockets are closed)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        return "ended"
    # The state follows the command's name in parentheses, which may hold anything.
    return {"T": "paused", "t": "paused", "Z": "ended", "X": "ended"}.get(
        stat[stat.rindex(")") + 2], "running")


def wait_until(condition, seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def stop(pids: list[int], seconds: float = 5) -> None:
    """SIGTERM (and SIGCONT, so that a paused process gets it), then SIGKILL to what is left."""
    for signals in ((signal.SIGTERM, signal.SIGCONT), (signal.SIGKILL,)):
        for pid, sig in ((pid, sig) for pid in pids for sig in signals):
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, sig)
        if wait_until(lambda: all(process_state(pid) == "ended" for pid in pids), seconds):
            return


def _write(path: str, text: str) -> None:
    """Written beside its name and renamed over it, so that no reader sees half of it."""
    with open(path + ".new", "w") as f:
        f.write(text)
    os.replace(path + ".new", path)


class Stand(StandInterface):
    """The stand in network namespaces of this machine."""

    def __init__(self, name: str = "ts", state_root: str | None = None):
        if not re.fullmatch(r"[a-zA-Z][a-zA-Z0-9]{0,7}", name):
            raise StandError(f"the name '{name}' must be 1 to 8 letters and digits, a letter first")
        self.name = name
        root = state_root or os.environ.get("TESTSTAND_STATE") or "/run/teststand"
        self.state_root = os.path.abspath(root)
        self.folder = os.path.join(self.state_root, name)
        self.host_namespace = f"{name}-host"
        self.host_address = network.HOST_ADDRESS
        self._layout: dict | None = None
        self._children: list[subprocess.Popen] = []  # reaped by down

    @classmethod
    def load(cls, name: str = "ts", state_root: str | None = None) -> "Stand":
        """The stand of that name that is up."""
        stand = cls(name, state_root)
        stand._layout = json.loads(stand._read("stand.json") or "null")
        if stand._layout is None:
            raise StandError(f"the stand '{name}' is not up (no {stand.folder})")
        return stand

    def path(self, leaf: str) -> str:
        return os.path.join(self.folder, leaf)

    def _read(self, leaf: str) -> str | None:
        try:
            with open(self.path(leaf), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return None

    @property
    def layout(self) -> dict:
        """The programs, the seed, when up was done, each module's command and relay options."""
        if self._layout is None:
            raise StandError(f"the stand '{self.name}' is not up")
        return self._layout

    @property
    def count(self) -> int:
        return len(self.layout["modules"])

    @property
    def started(self) -> float | None:
        """When up was done, in seconds since the epoch; None while it is under way."""
        return self.layout["started"]

    def namespace(self, i: int) -> str:
        """Module I's namespace; 0: the host's."""
        return f"{self.name}-m{i}" if i else self.host_namespace

    def pid(self, i: int, role: str = "module") -> int | None:
        """The PID of module I's testModule, or with role "relay" its relay's."""
        return int(self._read(f"{role}-{i}.pid") or 0) or None

    def module_state(self, i: int) -> str:
        """running, paused or ended."""
        return process_state(self.pid(i))

    def why_ended(self, i: int) -> str | None:
        """Why the stand ended module I ("killed"), if it did."""
        return (self._read(f"module-{i}.ended") or "").strip() or None

    def up(self, modules: list[ModuleOptions], relay_args: list[list[str]] | None = None,
           seed: int = 1) -> None:
        """Makes the namespaces and links, starts the modules and their relays and waits until
        each serves. On any failure or interruption it removes what it made and raises."""
        if os.geteuid() != 0:
            raise StandError("run as root: the stand makes network namespaces")
        if not 1 <= len(modules) <= MAX_MODULES:
            raise StandError(f"the number of modules must be 1 to {MAX_MODULES}, not "
                             f"{len(modules)}")
        relay_args = relay_args or [[] for _ in modules]
        namespaces = [self.namespace(i) for i in range(len(modules) + 1)]
        if os.path.exists(self.path("stand.json")) or any(map(network.exists, namespaces)):
            raise StandError(f"a stand named '{self.name}' is up already (teststand --name "
                             f"{self.name} down, with the TESTSTAND_STATE it was brought up with)")
        relays = [args if m.relay or args else None for m, args in zip(modules, relay_args)]
        faultrelay = find_program("FAULTRELAY", "faultrelay", "tools/faultrelay/faultrelay") \
            if any(r is not None for r in relays) else None
        self._layout = {"faultrelay": faultrelay, "seed": seed, "started": None,
                        "modules": [{"argv": m.argv(), "relay": r}
                                    for m, r in zip(modules, relays)]}
        os.makedirs(self.folder, exist_ok=True)
        _write(self.path("stand.json"), json.dumps(self._layout, indent=1))
        try:
            network.make_host(self.host_namespace)
            for i in range(1, self.count + 1):
                network.make_module(self.host_namespace, self.namespace(i), i, self.relayed(i))
                self._start_module(i)
                if self.relayed(i):
                    self._start_relay(i)
            _write(self.path("addresses"), "".join(a + "\n" for a in self.addresses()))
            self._layout["started"] = time.time()
            _write(self.path("stand.json"), json.dumps(self._layout, indent=1))
        except (Exception, KeyboardInterrupt) as failure:
            why = "interrupted" if isinstance(failure, KeyboardInterrupt) else str(failure)
            kept = self.down()["out_dir"]
            raise StandError(f"up failed: {why or type(failure).__name__}; what it made is "
                             f"removed, its logs are in {kept}") from failure

    def relayed(self, i: int) -> bool:
        return self.layout["modules"][i - 1]["relay"] is not None

    def _start(self, i: int, role: str, argv: list[str], serving: str, ready) -> int:
        """Starts a process in module I's namespace, waits until ready(its new log) holds."""
        log, enter = self.path(f"{role}-{i}.log"), network.entering(self.namespace(i))
        skip = len(self._read(f"{role}-{i}.log") or "")
        # In a session of its own: no Ctrl-C or hang-up of the caller's terminal reaches it.
        with open(log, "ab") as out:
            child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                     start_new_session=True, preexec_fn=enter)
        self._children.append(child)
        _write(self.path(f"{role}-{i}.pid"), f"{child.pid}\n")
        new = lambda: (self._read(f"{role}-{i}.log") or "")[skip:]
        if not wait_until(lambda: ready(new()) or child.poll() is not None, 20) \
                or not ready(new()):
            what = "the relay of module" if role == "relay" else "module"
            raise StandError(f"{what} {i} did not start serving on {serving} (log: {log})")
        return child.pid

    def _start_module(self, i: int) -> int:
        serving = f"{self.serving_address(i)}:{network.PORT}"
        argv = self.layout["modules"][i - 1]["argv"] + ["--address", self.serving_address(i)]
        ready = lambda log: f"Creating server on {serving}" in log
        return self._start(i, "module", argv, serving, ready)

    def _start_relay(self, i: int) -> None:
        front, stats = f"{network.module_address(i)}:{network.PORT}", self.path(f"relay-{i}.json")
        argv = [self.layout["faultrelay"], "--listen", front, "--module",
                f"{self.serving_address(i)}:{network.PORT}", "--seed", str(self.layout["seed"] + i),
                "--stats", stats, "--control-socket", self.path(f"relay-{i}.sock"),
                "--decisions", self.path(f"relay-{i}.decisions")]
        # The relay writes its counters once it relays.
        argv += self.layout["modules"][i - 1]["relay"]
        self._start(i, "relay", argv, front, lambda log: os.path.exists(stats))

    def popen_in_host(self, argv: list[str], **popen_kwargs) -> subprocess.Popen:
        """A process in the host namespace, where the modules' addresses answer."""
        enter = network.entering(self.host_namespace)
        return subprocess.Popen(argv, preexec_fn=enter, **popen_kwargs)

    def daqhost(self) -> str:
        return find_program("DAQHOST", "daqhost", "tools/daqhost/daqhost")

    def _live_pid(self, i: int) -> int:
        self.check_module(i)
        pid = self.pid(i)
        if process_state(pid) == "ended":
            why = f" ({self.why_ended(i)})" if self.why_ended(i) else ""
            raise StandError(f"module {i} has ended{why}: restart it first (teststand restart {i})")
        return pid

    def pause(self, i: int, seconds: float | None = None) -> None:
        """SIGSTOP; with seconds, a SIGCONT is scheduled that many seconds later."""
        pid = self._live_pid(i)
        os.kill(pid, signal.SIGSTOP)
        self.note(i, f"pause{f' {seconds:g} s' if seconds else ''}: testModule {pid} stopped")
        if seconds:
            self.schedule(time.time() + seconds, i, "resume", [i, pid],
                          f"continue testModule {pid} (pause of {seconds:g} s)")

    def resume(self, i: int, pid: int | None = None) -> None:
        """SIGCONT to module I (if given, only while PID is still the module's and paused)."""
        self.check_module(i)
        pid = pid or self.pid(i)
        if pid == self.pid(i) and process_state(pid) == "paused":
            os.kill(pid, signal.SIGCONT)
            return self.note(i, f"continue: testModule {pid} runs again")
        why = "is not paused" if process_state(pid) == "running" else "has ended"
        self.note(i, f"continue: testModule {pid} {why}; nothing to continue")

    def restart(self, i: int) -> None:
        """A power cycle: SIGKILL, and the same module again on the same address, serving."""
        self.check_module(i)
        old = self.pid(i)
        with contextlib.suppress(ProcessLookupError, TypeError):  # TypeError: no PID
            os.kill(old, signal.SIGKILL)
        # Gone, or a zombie that has closed its socket, before the new one binds the address.
        if not wait_until(lambda: process_state(old) == "ended", 5):
            raise StandError(f"module {i}: testModule {old} did not end")
        if os.path.exists(self.path(f"module-{i}.ended")):
            os.unlink(self.path(f"module-{i}.ended"))
        new = self._start_module(i)
        self.note(i, f"restart: testModule {old} killed, {new} serves on {self.serving_address(i)}")

    def kill(self, i: int) -> None:
        """SIGKILL; the module stays dead until a restart."""
        pid = self._live_pid(i)
        os.kill(pid, signal.SIGKILL)
        _write(self.path(f"module-{i}.ended"), "killed\n")
        self.note(i, f"kill: testModule {pid} killed")

    def require_relay(self, i: int) -> int:
        """The PID of module I's relay, or an error that says how to give it one."""
        self.check_module(i)
        if not self.relayed(i):
            raise StandError(f"module {i} has no relay; bring the stand up with one for it, "
                             f"e.g. 'teststand up {self.count} --relay {i}'")
        return self.pid(i, "relay")

    def relay_client(self, i: int):
        """Module I's relay's control socket (daqhost.stand.relay.RelayClient)."""

        pid, log = self.require_relay(i), self.path(f"relay-{i}.log")
        if process_state(pid) == "ended":
            raise StandError(f"the relay of module {i} has ended (log: {log})")
        return RelayClient(self.path(f"relay-{i}.sock"), f"the relay of module {i}")

    def ack_delay(self, i: int, ms: float, count: int | None = None) -> None:
        """Holds module I's next COUNT acknowledges (all without COUNT) MS ms longer; 0 ends it."""
        request = {"request": "hold-acknowledges", "ms": ms}
        self.relay_client(i).request(request | ({"count": int(count)} if count else {}))
        held = f"the next {count} acknowledge(s)" if count else "every acknowledge"
        self.note(i, f"ack-delay: {held} held {ms:g} ms" if ms else "ack-delay ended")

    def schedule(self, due: float, i: int, method: str, args: list, text: str) -> int:
        """Has a process of its own call method(*args) on this stand at `due` (time.time());
        status() lists it by TEXT until then, down() cancels it. Returns its PID."""
        path = os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")]))
        job = {"due": due, "module": i, "method": method, "args": args, "text": text}
        argv = [sys.executable, "-m", f"{__package__}.jobs", self.state_root, self.name,
                json.dumps(job)]
        with open(self.path("jobs.log"), "ab") as log:
            child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                     start_new_session=True, env=dict(os.environ, PYTHONPATH=path))
        self._children.append(child)
        # A job that has ended already leaves a record that scheduled() passes over.
        _write(self.path(f"job-{child.pid}.json"), json.dumps(job))
        return child.pid

    def scheduled(self) -> list[dict]:
        """The faults still to come, soonest first: job (its PID), module, due, text."""
        jobs = []
        for leaf in os.listdir(self.folder) if os.path.isdir(self.folder) else []:
            job = re.fullmatch(r"job-(\d+)\.json", leaf)
            if job and process_state(int(job[1])) != "ended":
                jobs.append(dict(json.loads(self._read(leaf) or "{}"), job=int(job[1])))
        return sorted((job for job in jobs if "due" in job), key=lambda job: job["due"])

    def status(self) -> dict:
        """Per module: address, namespace, pid, state, its relay's pid, state, faults and
        counters, the faults applied and scheduled, its log."""
        jobs, modules = self.scheduled(), []
        for i in range(1, self.count + 1):
            relay = self.pid(i, "relay")
            modules.append({
                "module": i, "address": network.module_address(i), "namespace": self.namespace(i),
                "pid": self.pid(i), "state": self.module_state(i), "ended": self.why_ended(i),
                "relay": {"pid": relay, "state": process_state(relay),
                          "faults": self.layout["modules"][i - 1]["relay"],
                          "counters": json.loads(self._read(f"relay-{i}.json") or "null")}
                if self.relayed(i) else None,
                "faults_applied": self.faults_applied(i),
                "scheduled": [job for job in jobs if job["module"] == i],
                "log": self.path(f"module-{i}.log")})
        return {"name": self.name, "count": self.count, "host_namespace": self.host_namespace,
                "host_address": self.host_address, "started": self.started, "modules": modules}

    def down(self, out_dir: str | None = None) -> dict:
        """Cancels the scheduled faults, stops every process by its PID, removes the namespaces
        and moves the logs, relays' counters and decisions and faults applied to out_dir (default
        NAME-TIME beside the state). Returns out_dir, moved, modules (status), cancelled."""
        cancelled = self.scheduled()
        pids = [job["job"] for job in cancelled]
        stop(pids)
        # The modules, the relays (which write their final counters as they end) and whatever
        # else runs in the namespaces (started with popen_in_host, say).
        namespaces = [self.namespace(i) for i in range(self.count + 1)]
        pids += network.pids_in(namespaces)
        stop(pids)
        final = self.status()
        for child in self._children:
            child.poll()
        # Gone, reaped by their parents too.
        wait_until(lambda: not any(os.path.exists(f"/proc/{pid}") for pid in pids), 5)
        network.remove(namespaces)
        if out_dir is None:
            out_dir = os.path.join(self.state_root, f"{self.name}-{time.strftime('%Y%m%d-%H%M%S')}")
            out_dir += f"-{os.getpid()}" if os.path.exists(out_dir) else ""
        os.makedirs(out_dir, exist_ok=True)
        kept = r"(module-\d+\.(log|faults-applied)|relay-\d+\.(log|json|decisions)|jobs\.log)"
        moved = [leaf for leaf in sorted(os.listdir(self.folder)) if re.fullmatch(kept, leaf)]
        for leaf in moved:
            shutil.move(self.path(leaf), os.path.join(out_dir, leaf))
        for module in final["modules"]:
            module["log"] = os.path.join(out_dir, os.path.basename(module["log"]))
        shutil.rmtree(self.folder, ignore_errors=True)
        self._layout = None
        return {"out_dir": str(out_dir), "moved": moved, "modules": final["modules"],
                "cancelled": cancelled}
