"""A test stand: up to 128 modules (testModule, daqreplay serving a capture, or modules of a
crate: one testCrate process serving several) in network namespaces, each behind a faultrelay
that makes its network faults, and the modules' own faults. Its state is the folder
TESTSTAND_STATE/NAME, which any process may load: stand.json (written before anything is made,
so that down finds it all after any failure), PIDs, logs, counters."""

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
    # The crate it runs in (any label): the modules of one label share one testCrate process,
    # and its rate, efficiency, mask and chip.
    crate: int | str | None = None
    common_trigger: bool = False  # its crate's modules triggered by one trigger

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


# A module's state in its crate's counters, as a process's is said.
CRATE_STATES = {"on": "running", "paused": "paused", "off": "ended"}
# What the modules of a crate must share.
SHARED = ("rate", "efficiency", "mask", "chip", "common_trigger")


def crates_of(modules: list[ModuleOptions]) -> list[list[int]]:
    """The crates' modules (numbers from 1), the crates numbered in the order of their first
    module; StandError for a crate whose modules differ in what they must share."""
    labels = list(dict.fromkeys(m.crate for m in modules if m.crate is not None))
    crates = [[i for i, m in enumerate(modules, start=1) if m.crate == label] for label in labels]
    for i, m in enumerate(modules, start=1):
        if m.common_trigger and m.crate is None:
            raise StandError(f"module {i}: a common trigger is a crate's; give it a crate")
    for number, members in enumerate(crates, start=1):
        first = modules[members[0] - 1]
        for i in members:
            if modules[i - 1].replay:
                raise StandError(f"module {i} serves a capture: daqreplay runs in no crate")
            for key in SHARED:
                if getattr(modules[i - 1], key) != getattr(first, key):
                    raise StandError(
                        f"the modules of crate {number} must share rate, efficiency, mask, chip "
                        f"and trigger: module {i} has {key} {getattr(modules[i - 1], key)}, "
                        f"module {members[0]} {getattr(first, key)}")
    return crates


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
        """The PID of the program that serves module I (its testModule, or its crate's
        testCrate), or with role "relay" its relay's, with role "crate" crate I's."""
        if role == "module" and self.crate_of(i):
            i, role = self.crate_of(i), "crate"
        return int(self._read(f"{role}-{i}.pid") or 0) or None

    def crate_of(self, i: int) -> int | None:
        """The number of module I's crate, or None."""
        return self.layout["modules"][i - 1].get("crate")

    def crate_modules(self, c: int) -> list[int]:
        return self.layout["crates"][c - 1]["modules"]

    def crates(self) -> int:
        return len(self.layout.get("crates", []))

    def crate_client(self, c: int) -> RelayClient:
        """Crate C's control socket, which takes JSON lines as a relay's does."""
        pid = self.pid(c, "crate")
        if process_state(pid) == "ended":
            raise StandError(f"crate {c} (testCrate {pid}) has ended, and every module of it "
                             f"with it: take the stand down and up again (log: "
                             f"{self.path(f'crate-{c}.log')})")
        return RelayClient(self.path(f"crate-{c}.sock"), f"crate {c}")

    def crate_counters(self, c: int) -> list[dict] | None:
        """Each module's entry of crate C's counters (state, run, packets ...), in the crate's
        order; None when the crate does not answer."""
        try:
            return self.crate_client(c).request({"request": "counters"})["modules"]
        except StandError:
            return None

    def _slot(self, i: int) -> tuple[int, int, int]:
        """Module I's crate, its number in the crate (from 1) and the crate's PID."""
        c = self.crate_of(i)
        return c, self.crate_modules(c).index(i) + 1, self.pid(c, "crate")

    def module_state(self, i: int, counters: list[dict] | None = None) -> str:
        """running, paused or ended; of a module of a crate, as the crate's counters (given,
        or asked for) say."""
        if not self.crate_of(i):
            return process_state(self.pid(i))
        c, k, pid = self._slot(i)
        counters = counters or self.crate_counters(c)
        return CRATE_STATES[counters[k - 1]["state"]] if counters else process_state(pid)

    def why_ended(self, i: int) -> str | None:
        """Why the stand ended module I ("killed"), or that its crate ended, if it did."""
        why = (self._read(f"module-{i}.ended") or "").strip() or None
        if not why and self.crate_of(i) and process_state(self.pid(i)) == "ended":
            return "its crate ended"
        return why

    def up(self, modules: list[ModuleOptions], relay_args: list[list[str]] | None = None,
           seed: int = 1) -> None:
        """Makes the namespaces and links, starts the modules (one testCrate for the modules of
        each crate) and their relays and waits until each serves. On any failure or
        interruption it removes what it made and raises."""
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
        crates = crates_of(modules)
        crate_of = {i: number for number, members in enumerate(crates, start=1) for i in members}
        crate_argv = [find_program("TESTCRATE", "testCrate", "tools/testcrate/testCrate")] \
            if crates else []
        self._layout = {"faultrelay": faultrelay, "seed": seed, "started": None,
                        "modules": [{"argv": None if i in crate_of else m.argv(), "relay": r,
                                     "crate": crate_of.get(i)}
                                    for i, (m, r) in enumerate(zip(modules, relays), start=1)],
                        "crates": [{"modules": members,
                                    "argv": crate_argv + modules[members[0] - 1].options() +
                                    (["--common-trigger"]
                                     if modules[members[0] - 1].common_trigger else [])}
                                   for members in crates]}
        os.makedirs(self.folder, exist_ok=True)
        _write(self.path("stand.json"), json.dumps(self._layout, indent=1))
        try:
            network.make_host(self.host_namespace)
            for i in range(1, self.count + 1):
                network.make_module(self.host_namespace, self.namespace(i), i, self.relayed(i))
                # A crate once the namespaces of all its modules are there.
                crate = self.crate_of(i)
                if crate and i != self.crate_modules(crate)[-1]:
                    continue
                if crate:
                    self._start_crate(crate)
                else:
                    self._start_module(i)
                for j in self.crate_modules(crate) if crate else [i]:
                    if self.relayed(j):
                        self._start_relay(j)
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

    def _start(self, leaf: str, i: int, argv: list[str], what: str, ready,
               seconds: float = 20) -> int:
        """Starts a process in module I's namespace, its log LEAF.log and its PID LEAF.pid;
        waits until ready(its new log) holds."""
        log, enter = self.path(f"{leaf}.log"), network.entering(self.namespace(i))
        skip = len(self._read(f"{leaf}.log") or "")
        # In a session of its own: no Ctrl-C or hang-up of the caller's terminal reaches it.
        with open(log, "ab") as out:
            child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                     start_new_session=True, preexec_fn=enter)
        self._children.append(child)
        _write(self.path(f"{leaf}.pid"), f"{child.pid}\n")
        new = lambda: (self._read(f"{leaf}.log") or "")[skip:]
        if not wait_until(lambda: ready(new()) or child.poll() is not None, seconds) \
                or not ready(new()):
            raise StandError(f"{what} did not start serving (log: {log})")
        return child.pid

    def _start_module(self, i: int) -> int:
        serving = f"{self.serving_address(i)}:{network.PORT}"
        argv = self.layout["modules"][i - 1]["argv"] + ["--address", self.serving_address(i)]
        ready = lambda log: f"Creating server on {serving}" in log
        return self._start(f"module-{i}", i, argv, f"module {i} on {serving}", ready)

    def _start_crate(self, c: int) -> int:
        """testCrate in the namespace of its first module, each module's socket made in the
        module's own namespace."""
        members = self.crate_modules(c)
        argv = self.layout["crates"][c - 1]["argv"] + [
            "--control-socket", self.path(f"crate-{c}.sock")]
        for i in members:
            argv += ["--module", f"{self.serving_address(i)}@{self.namespace(i)}"]
        ready = lambda log: f"Crate of {len(members)} modules" in log
        return self._start(f"crate-{c}", members[0], argv,
                           f"crate {c} (modules {', '.join(map(str, members))})", ready,
                           20 + 0.25 * len(members))

    def _start_relay(self, i: int) -> None:
        front, stats = f"{network.module_address(i)}:{network.PORT}", self.path(f"relay-{i}.json")
        argv = [self.layout["faultrelay"], "--listen", front, "--module",
                f"{self.serving_address(i)}:{network.PORT}", "--seed", str(self.layout["seed"] + i),
                "--stats", stats, "--control-socket", self.path(f"relay-{i}.sock"),
                "--decisions", self.path(f"relay-{i}.decisions")]
        # The relay writes its counters once it relays.
        argv += self.layout["modules"][i - 1]["relay"]
        self._start(f"relay-{i}", i, argv, f"the relay of module {i} on {front}",
                    lambda log: os.path.exists(stats))

    def popen_in_host(self, argv: list[str], **popen_kwargs) -> subprocess.Popen:
        """A process in the host namespace, where the modules' addresses answer."""
        enter = network.entering(self.host_namespace)
        return subprocess.Popen(argv, preexec_fn=enter, **popen_kwargs)

    def daqhost(self) -> str:
        return find_program("DAQHOST", "daqhost", "tools/daqhost/daqhost")

    def _live_pid(self, i: int) -> int:
        self.check_module(i)
        pid = self.pid(i)
        if self.crate_of(i):
            self.crate_client(self.crate_of(i))  # a crate that has ended cannot restart it
        if self.module_state(i) == "ended":
            why = f" ({self.why_ended(i)})" if self.why_ended(i) else ""
            raise StandError(f"module {i} has ended{why}: restart it first (teststand restart {i})")
        return pid

    def pause_ends_itself(self, i: int) -> bool:
        return bool(self.crate_of(i))

    def _crate_fault(self, i: int, request: str, **more) -> str:
        """A fault of module I of a crate through the crate's control socket; the text of where
        it is for the record."""
        c, k, pid = self._slot(i)
        self.crate_client(c).request({"request": request, "module": k, **more})
        return f"module {k} of crate {c} (testCrate {pid})"

    def pause(self, i: int, seconds: float | None = None) -> None:
        """SIGSTOP; with seconds, a SIGCONT is scheduled that many seconds later. A module of a
        crate is paused by its crate, for the seconds (which it must be given)."""
        pid = self._live_pid(i)
        if self.crate_of(i):
            if not seconds:
                raise StandError(f"module {i} is in crate {self.crate_of(i)}, whose pauses end "
                                 "by themselves: give the pause's seconds")
            where = self._crate_fault(i, "pause", seconds=seconds)
            return self.note(i, f"pause {seconds:g} s: {where} paused; the crate resumes it")
        os.kill(pid, signal.SIGSTOP)
        self.note(i, f"pause{f' {seconds:g} s' if seconds else ''}: testModule {pid} stopped")
        if seconds:
            self.schedule(time.time() + seconds, i, "resume", [i, pid],
                          f"continue testModule {pid} (pause of {seconds:g} s)")

    def resume(self, i: int, pid: int | None = None) -> None:
        """SIGCONT to module I (if given, only while PID is still the module's and paused)."""
        self.check_module(i)
        if self.crate_of(i):
            # The crate resumes it at the end of its pause, about now.
            wait_until(lambda: self.module_state(i) != "paused", 2)
            state, (c, k, _) = self.module_state(i), self._slot(i)
            return self.note(i, f"continue: module {k} of crate {c} " + {
                "running": "runs again (its crate resumed it)",
                "paused": "is paused still; its crate resumes it at the pause's end"}.get(
                    state, "has ended; nothing to continue"))
        pid = pid or self.pid(i)
        if pid == self.pid(i) and process_state(pid) == "paused":
            os.kill(pid, signal.SIGCONT)
            return self.note(i, f"continue: testModule {pid} runs again")
        why = "is not paused" if process_state(pid) == "running" else "has ended"
        self.note(i, f"continue: testModule {pid} {why}; nothing to continue")

    def restart(self, i: int) -> None:
        """A power cycle: SIGKILL, and the same module again on the same address, serving. A
        module of a crate is power-cycled by its crate, or switched on when it is off."""
        self.check_module(i)
        if self.crate_of(i):
            off = self.module_state(i) == "ended"
            where = self._crate_fault(i, "switch-on" if off else "power-cycle")
            if os.path.exists(self.path(f"module-{i}.ended")):
                os.unlink(self.path(f"module-{i}.ended"))
            return self.note(i, f"restart: {where} {'switched on' if off else 'power-cycled'}, "
                             f"serves on {self.serving_address(i)}")
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
        if self.crate_of(i):
            text = f"{self._crate_fault(i, 'kill')} switched off"
        else:
            os.kill(pid, signal.SIGKILL)
            text = f"testModule {pid} killed"
        _write(self.path(f"module-{i}.ended"), "killed\n")
        self.note(i, f"kill: {text}")

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
        """Per module: address, namespace, pid, state, its crate (its number, the module's
        number in it, its PID and state, the module's counters) or None, its relay's pid,
        state, faults and counters, the faults applied and scheduled, its log."""
        jobs, modules = self.scheduled(), []
        counters = {c: self.crate_counters(c) for c in range(1, self.crates() + 1)}
        for i in range(1, self.count + 1):
            relay, crate = self.pid(i, "relay"), None
            if self.crate_of(i):
                c, k, pid = self._slot(i)
                crate = {"crate": c, "module": k, "pid": pid, "state": process_state(pid),
                         "counters": counters[c][k - 1] if counters[c] else None}
            modules.append({
                "module": i, "address": network.module_address(i), "namespace": self.namespace(i),
                "pid": self.pid(i), "crate": crate, "ended": self.why_ended(i),
                "state": self.module_state(i, counters.get(self.crate_of(i))),
                "relay": {"pid": relay, "state": process_state(relay),
                          "faults": self.layout["modules"][i - 1]["relay"],
                          "counters": json.loads(self._read(f"relay-{i}.json") or "null")}
                if self.relayed(i) else None,
                "faults_applied": self.faults_applied(i),
                "scheduled": [job for job in jobs if job["module"] == i],
                "log": self.path(f"crate-{crate['crate']}.log" if crate else f"module-{i}.log")})
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
        pids += filter(None, (self.pid(c, "crate") for c in range(1, self.crates() + 1)))
        pids += network.pids_in(namespaces)
        stop(pids)
        final = self.status()
        # Reaped: a process whose main thread has ended reads as a zombie while its other
        # threads finish (a sanitizer's leak check at exit, say), and cannot be reaped before.
        for child in self._children:
            with contextlib.suppress(subprocess.TimeoutExpired):
                child.wait(timeout=5)
        # Gone, reaped by their parents too.
        wait_until(lambda: not any(os.path.exists(f"/proc/{pid}") for pid in pids), 5)
        network.remove(namespaces)
        if out_dir is None:
            out_dir = os.path.join(self.state_root, f"{self.name}-{time.strftime('%Y%m%d-%H%M%S')}")
            out_dir += f"-{os.getpid()}" if os.path.exists(out_dir) else ""
        os.makedirs(out_dir, exist_ok=True)
        kept = r"(module-\d+\.(log|faults-applied)|relay-\d+\.(log|json|decisions)|crate-\d+\.log" \
            r"|jobs\.log)"
        moved = [leaf for leaf in sorted(os.listdir(self.folder)) if re.fullmatch(kept, leaf)]
        for leaf in moved:
            shutil.move(self.path(leaf), os.path.join(out_dir, leaf))
        for module in final["modules"]:
            module["log"] = os.path.join(out_dir, os.path.basename(module["log"]))
        shutil.rmtree(self.folder, ignore_errors=True)
        self._layout = None
        return {"out_dir": str(out_dir), "moved": moved, "modules": final["modules"],
                "cancelled": cancelled}
