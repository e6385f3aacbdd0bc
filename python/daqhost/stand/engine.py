"""The stand on the container engine: the same modules, relays and host as in the namespaces,
each in a container of the project's image on an internal data network, so that a scenario
plays there as on the stand (teststand play SCENARIO --engine compose).

    host 11.0.0.1 ──► relay I 11.0.0.(10+I):10000 ══ faultrelay ══► module I 11.128.0.I:10000

Module I's relay holds the address the host is given and relays to the module's container
behind it, seeded seed + I, its control socket, counters and decisions in the play's state
folder, mounted at the same path; a module without a relay holds 11.0.0.(10+I) itself. The
host's program runs in a container of its own at 11.0.0.1, with the play's folder mounted at
the same path, so that its capture and summary land there. Pause, continue, restart and kill
are the engine's. Every container and network carries the play's label, and down() saves the
logs of exactly those and removes them, whatever happened before.

The engine is reached with Debian's python3-docker; the image is DAQ_IMAGE, else
daq-emulator:latest (packaging/containers/build-image builds it).
"""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import time
import uuid
from pathlib import Path

import docker
from docker.types import IPAMConfig, IPAMPool, LogConfig

from .interface import MAX_MODULES, StandError, StandInterface
from .network import HOST_ADDRESS, PORT, module_address
from .relay import RelayClient
from .stand import ModuleOptions

# The play a container, network or volume belongs to, and its part in it (module-3, relay-3,
# host); nothing without the play's own value is ever touched.
PLAY_LABEL = "org.daq-emulator.teststand.play"
ROLE_LABEL = "org.daq-emulator.teststand.role"
SUBNET = "11.0.0.0/8"
# The engine reserves a gateway's address even where the bridge takes none: the far end of the
# network, so that the host has 11.0.0.1 as on the stand.
GATEWAY = "11.255.255.254"
# Seconds a container may take to serve, a relay to write its last records when it is stopped.
START_S = 30.0
STOP_S = 5
POLL_S = 0.05
# What down() keeps of the state folder, as the stand does.
KEPT = re.compile(r"module-\d+\.faults-applied|relay-\d+\.(json|decisions)")


class EngineStand(StandInterface):
    """The stand on the container engine."""

    def __init__(self, name: str = "ts", state_root: str | None = None, image: str | None = None):
        if not re.fullmatch(r"[a-zA-Z][a-zA-Z0-9]{0,7}", name):
            raise StandError(f"the stand's name '{name}' must be 1 to 8 letters and digits, "
                             "a letter first")
        self.name = name
        # The label's value and the names' prefix: two plays of one name share nothing.
        self.play = f"{name}-{uuid.uuid4().hex[:8]}"
        self.image = image or os.environ.get("DAQ_IMAGE") or "daq-emulator:latest"
        self.state_root = os.path.abspath(
            state_root or os.environ.get("TESTSTAND_STATE") or "/run/teststand")
        self.folder = Path(self.state_root) / self.play
        self.network = f"{self.play}-data"
        self.count = 0
        self._relays: set[int] = set()
        self.started: float | None = None
        self.host_container: str | None = None
        # The player's own user in the containers that write into its folders.
        self.user = f"{os.getuid()}:{os.getgid()}"
        try:
            self.client = docker.from_env(timeout=60)
            self.api = self.client.api
            self.api.ping()
        except docker.errors.DockerException as e:
            raise StandError(f"the container engine does not answer: {e}") from None

    # --- up ----------------------------------------------------------------------------------

    def up(self, modules: list[ModuleOptions], relay_args: list[list[str]] | None = None,
           seed: int = 1) -> None:
        """Makes the data network, starts the modules and their relays, and waits until each
        serves. What it made is labelled from the first step on, so down() finds it after any
        failure or interruption."""
        if not 1 <= len(modules) <= MAX_MODULES:
            raise StandError(f"the number of modules must be 1 to {MAX_MODULES}, "
                             f"not {len(modules)}")
        if any(m.crate is not None for m in modules):
            raise StandError("crates run on the namespace stand: play it there, without "
                             "--engine compose")
        relay_args = relay_args or [[] for _ in modules]
        try:
            self.client.images.get(self.image)
        except docker.errors.ImageNotFound:
            raise StandError(f"no image {self.image}: build it (packaging/containers/build-image "
                             "--tag NAME) and name it in DAQ_IMAGE") from None
        try:
            self.folder.mkdir(parents=True)
        except OSError as e:
            raise StandError(f"cannot make the state folder {self.folder}: {e.strerror} (name "
                             "another in TESTSTAND_STATE)") from None
        self.count = len(modules)
        self._make_network()
        waits = []
        for i, (options, args) in enumerate(zip(modules, relay_args), start=1):
            if options.relay or args:
                self._relays.add(i)
            serving = self.serving_address(i)
            self._start_module(i, options, serving)
            waits.append((f"module-{i}", f"Creating server on {serving}:{PORT}"))
            if self.relayed(i):
                self._start_relay(i, serving, seed + i, args)
                waits.append((f"relay-{i}", "faultrelay: relaying "))
        # Started together, waited for together: each container takes a while on its own.
        deadline = time.monotonic() + START_S
        for role, text in waits:
            self._wait_for_line(role, lambda line, t=text: t in line, 0, deadline, f"'{text}'")
        self.started = time.time()

    def _labels(self, role: str | None = None) -> dict:
        return {PLAY_LABEL: self.play, **({ROLE_LABEL: role} if role else {})}

    def _make_network(self) -> None:
        ipam = IPAMConfig(pool_configs=[IPAMPool(subnet=SUBNET, gateway=GATEWAY)])
        try:
            # Internal, and no address of it on the machine, as in
            # packaging/containers/compose.yaml.
            self.api.create_network(
                self.network, driver="bridge", internal=True, ipam=ipam, check_duplicate=True,
                options={"com.docker.network.bridge.inhibit_ipv4": "true"},
                labels=self._labels())
        except docker.errors.APIError as e:
            if "overlap" not in str(e):
                raise StandError(f"cannot make the data network: {e.explanation}") from None
            taken = [n.name for n in self.client.networks.list(greedy=True)
                     if any(c.get("Subnet") == SUBNET
                            for c in (n.attrs.get("IPAM") or {}).get("Config") or [])]
            raise StandError(f"the engine has a network on {SUBNET} already "
                             f"({', '.join(taken) or 'of another name'}): take it down first, "
                             "one stand at a time") from None

    def _create(self, role: str, address: str, argv: list[str], entrypoint: str | None = None,
                binds: dict[str, str] | None = None, **settings) -> None:
        """Starts a container of the image at its address on the data network, each of the
        binds' paths (to "ro" or "rw") mounted at the same path."""
        host_config = self.api.create_host_config(
            binds={path: {"bind": path, "mode": mode} for path, mode in (binds or {}).items()},
            log_config=LogConfig(type="json-file"))
        networking = self.api.create_networking_config(
            {self.network: self.api.create_endpoint_config(ipv4_address=address)})
        name = f"{self.play}-{role}"
        try:
            self.api.create_container(
                self.image, command=argv, entrypoint=[entrypoint] if entrypoint else None,
                name=name, labels=self._labels(role), host_config=host_config,
                networking_config=networking, use_config_proxy=False,
                # The image's health check sends a discovery, which makes the check the module's
                # host: the host's container is the only one here.
                healthcheck={"test": ["NONE"]}, **settings)
            self.api.start(name)
        except docker.errors.APIError as e:
            raise StandError(f"{role}: {e.explanation}") from None

    def _start_module(self, i: int, options: ModuleOptions, serving: str) -> None:
        """testModule, or daqreplay serving a capture (mounted at the same path), with the
        stand's options."""
        argv = [*options.options(), "--address", serving]
        if options.replay:
            capture = os.path.abspath(options.replay)
            self._create(f"module-{i}", serving, [*argv, capture], "daqreplay", {capture: "ro"})
        else:
            self._create(f"module-{i}", serving, argv)

    def _start_relay(self, i: int, serving: str, seed: int, args: list[str]) -> None:
        folder = str(self.folder)
        argv = ["--listen", f"{module_address(i)}:{PORT}", "--module", f"{serving}:{PORT}",
                "--seed", str(seed), "--stats", f"{folder}/relay-{i}.json",
                "--control-socket", f"{folder}/relay-{i}.sock",
                "--decisions", f"{folder}/relay-{i}.decisions", *args]
        self._create(f"relay-{i}", module_address(i), argv, "faultrelay", {folder: "rw"},
                     user=self.user)

    def _log(self, role: str) -> str:
        try:
            return self.api.logs(f"{self.play}-{role}").decode(errors="replace")
        except docker.errors.APIError as e:
            raise StandError(f"{role}: {e.explanation}") from None

    def _state(self, name: str) -> dict | None:
        """The container's state as the engine tells it; None once it is gone."""
        try:
            return self.api.inspect_container(name)["State"]
        except docker.errors.NotFound:
            return None
        except docker.errors.APIError as e:
            raise StandError(f"{name}: {e.explanation}") from None

    def _lines(self, role: str, chosen) -> list[str]:
        return [line for line in self._log(role).splitlines() if chosen(line)]

    def _wait_for_line(self, role: str, chosen, seen: int, deadline: float, what: str) -> str:
        """Waits for the container's log to hold more than `seen` lines that `chosen` picks; the
        last of them. StandError when the container ends or the deadline passes first."""
        while True:
            lines = self._lines(role, chosen)
            if len(lines) > seen:
                return lines[-1]
            running = (self._state(f"{self.play}-{role}") or {}).get("Running", False)
            if not running or time.monotonic() > deadline:
                tail = " / ".join(self._log(role).splitlines()[-3:]) or "nothing"
                why = "ended" if not running else "did not get there in time"
                raise StandError(f"{role} {why}, waiting for {what} (its log: {tail})")
            time.sleep(POLL_S)

    # --- the host ----------------------------------------------------------------------------

    def relayed(self, i: int) -> bool:
        return i in self._relays

    def daqhost(self) -> str:
        """The image's, whatever the machine has."""
        return "daqhost"

    @property
    def host_namespace(self) -> str:
        """The network namespace of the host's container, as a path (PortForward enters it)."""
        if not self.host_container:
            raise StandError("no host runs")
        deadline = time.monotonic() + START_S
        while time.monotonic() < deadline:
            state = self._state(self.host_container) or {"Status": "gone"}
            if state.get("Running") and state.get("Pid"):
                return f"/proc/{state['Pid']}/ns/net"
            if state["Status"] != "created":
                break
            time.sleep(POLL_S)
        raise StandError("the host's container does not run")

    def popen_in_host(self, argv: list[str], **popen_kwargs) -> subprocess.Popen:
        """The program in a container of its own at the host's address, with the play's folder
        (DAQ_OUT of env, else the current folder) at the same path and the DAQ_ variables of
        env. A Popen of `docker run`, which passes the program's output to the Popen's stdout
        and stderr, its signals on to the program and the program's exit status back (docker
        exec passes no signal on; docker start --attach ends at the first, with status 0 and
        without the program's last words). Returned once the program runs, or has ended."""
        env = popen_kwargs.get("env") or os.environ
        folder = os.path.abspath(env.get("DAQ_OUT") or os.getcwd())
        docker_cli = shutil.which("docker")
        if not docker_cli:
            raise StandError("the host's program runs through the docker command, which is "
                             "missing (docker.io)")
        if self.host_container:
            raise StandError("a host has run already: one host a play")
        self.host_container = f"{self.play}-host"
        run = [docker_cli, "run", "--name", self.host_container, "--network", self.network,
               "--ip", HOST_ADDRESS, "--user", self.user, "--volume", f"{folder}:{folder}",
               "--workdir", folder, "--init", "--no-healthcheck", "--log-driver", "json-file"]
        for key, value in self._labels("host").items():
            run += ["--label", f"{key}={value}"]
        for key in sorted(k for k in env if k.startswith("DAQ_")):
            run += ["--env", f"{key}={env[key]}"]
        attached = subprocess.Popen([*run, "--entrypoint", argv[0], self.image, *argv[1:]],
                                    **popen_kwargs)
        deadline = time.monotonic() + START_S
        # docker run makes the container first: until then it is not there.
        while attached.poll() is None and time.monotonic() < deadline:
            if (self._state(self.host_container) or {"Status": "created"})["Status"] != "created":
                break
            time.sleep(POLL_S / 5)
        return attached

    # --- faults of the modules ---------------------------------------------------------------

    def _module(self, i: int, live: bool = False):
        """Module I's container; with live, StandError unless it runs (or is paused)."""
        self.check_module(i)
        try:
            module = self.client.containers.get(f"{self.play}-module-{i}")
        except docker.errors.APIError as e:
            raise StandError(f"module {i}: {e.explanation}") from None
        if live and module.status not in ("running", "paused"):
            raise StandError(f"module {i} has ended (its container is {module.status}): "
                             "restart it first")
        return module

    @staticmethod
    def _engine(i: int, what: str, action) -> None:
        try:
            action()
        except docker.errors.APIError as e:
            raise StandError(f"module {i}: {what}: {e.explanation}") from None

    def pause(self, i: int) -> None:
        module = self._module(i, live=True)
        self._engine(i, "pause", module.pause)
        self.note(i, f"pause: container {module.name} paused")

    def resume(self, i: int) -> None:
        """Continues module I if it is still paused: one restarted or killed meanwhile has
        nothing to continue."""
        module = self._module(i)
        if module.status != "paused":
            self.note(i, f"continue: container {module.name} is {module.status}; nothing to "
                      "continue")
            return
        self._engine(i, "unpause", module.unpause)
        self.note(i, f"continue: container {module.name} runs again")

    def restart(self, i: int) -> None:
        """A power cycle: the container killed (a paused one too) and started again on the same
        address, a killed one started; returns once it serves."""
        module = self._module(i)
        address = self.serving_address(i)
        text = f"Creating server on {address}:{PORT}"

        def serving(line: str) -> bool:
            return text in line

        before = len(self._lines(f"module-{i}", serving))
        if module.status == "paused":
            self._engine(i, "unpause", module.unpause)
        self._engine(i, "restart", lambda: module.restart(timeout=0))
        self._wait_for_line(f"module-{i}", serving, before, time.monotonic() + START_S,
                            f"'{text}'")
        self.note(i, f"restart: container {module.name} restarted, serves on {address}:{PORT}")

    def kill(self, i: int) -> None:
        module = self._module(i, live=True)
        self._engine(i, "kill", module.kill)
        self.note(i, f"kill: container {module.name} killed")

    def relay_client(self, i: int) -> RelayClient:
        """Module I's relay's control socket, in the state folder the relay's container has
        mounted at the same path."""
        if not self.relayed(i):
            raise StandError(f"module {i} has no relay")
        return RelayClient(self.folder / f"relay-{i}.sock", f"the relay of module {i}")

    def status(self) -> dict:
        """Per module: its address, its container's state, its relay's state and counters, the
        faults applied."""
        states = {c.labels.get(ROLE_LABEL): c.status for c in self._ours("containers")}
        modules = []
        for i in range(1, self.count + 1):
            relay = None
            if self.relayed(i):
                counters = self.folder / f"relay-{i}.json"
                relay = {"state": _state_word(states.get(f"relay-{i}")),
                         "counters": json.loads(counters.read_text() or "null")
                         if counters.exists() else None}
            modules.append({"module": i, "address": module_address(i),
                            "state": _state_word(states.get(f"module-{i}")), "relay": relay,
                            "faults_applied": self.faults_applied(i)})
        return {"name": self.name, "count": self.count, "started": self.started,
                "modules": modules}

    # --- down --------------------------------------------------------------------------------

    def _ours(self, kind: str) -> list:
        """The play's containers (stopped ones too), networks or volumes."""
        everything = {"all": True} if kind == "containers" else {}
        return getattr(self.client, kind).list(filters={"label": f"{PLAY_LABEL}={self.play}"},
                                               **everything)

    def down(self, out_dir: str | None = None) -> dict:
        """Stops the relays (so that they write their last records), saves every container's
        log as ROLE.log and the relays' counters and decisions and the record of the faults
        applied into out_dir (default: beside the state folder), and removes every container,
        network and volume of this play and its state folder. Returns the folder, what was
        moved, each module's last state and what was removed; StandError naming whatever of
        the play the engine kept."""
        out = Path(out_dir or f"{self.folder}-{time.strftime('%Y%m%d-%H%M%S')}")
        out.mkdir(parents=True, exist_ok=True)
        moved: list[str] = []
        removed: list[str] = []
        refused: list[str] = []
        states: dict[str, str] = {}

        def engine(what: str, action):
            """The action's result; None where the thing is gone already or the engine refused
            (noted)."""
            try:
                return action()
            except docker.errors.NotFound:
                return None
            except docker.errors.DockerException as e:
                refused.append(f"{what}: {e}")
                return None

        containers = engine("listing the containers", lambda: self._ours("containers")) or []
        for c in containers:
            states[c.labels.get(ROLE_LABEL, c.name)] = c.status
            if c.labels.get(ROLE_LABEL, "").startswith("relay-") and c.status == "running":
                engine(c.name, lambda c=c: c.stop(timeout=STOP_S))
        for c in containers:
            # The host's output is the Popen's, in the caller's files already.
            log = engine(c.name, c.logs) if c.labels.get(ROLE_LABEL) != "host" else None
            if log is not None:
                leaf = f"{c.labels.get(ROLE_LABEL, c.name)}.log"
                (out / leaf).write_bytes(log)
                moved.append(leaf)
            engine(c.name, lambda c=c: c.remove(force=True, v=True))
            removed.append(c.name)
        for kind in ("networks", "volumes"):
            for thing in engine(f"listing the {kind}", lambda k=kind: self._ours(k)) or []:
                engine(thing.name, thing.remove)
                removed.append(thing.name)
        if self.folder.is_dir():
            for path in sorted(self.folder.iterdir()):
                if KEPT.fullmatch(path.name):
                    shutil.move(path, out / path.name)
                    moved.append(path.name)
            shutil.rmtree(self.folder, ignore_errors=True)
        left = [thing.name for kind in ("containers", "networks", "volumes")
                for thing in engine(f"listing the {kind}", lambda k=kind: self._ours(k)) or []]
        if left or refused:
            raise StandError(f"the engine kept {', '.join(left) or 'nothing'} of the play "
                             f"(label {PLAY_LABEL}={self.play}); {'; '.join(refused)}")
        modules = [{"module": i, "address": module_address(i),
                    "state": _state_word(states.get(f"module-{i}")),
                    "relay": {"state": _state_word(states[f"relay-{i}"])}
                    if f"relay-{i}" in states else None} for i in range(1, self.count + 1)]
        return {"out_dir": str(out), "moved": moved, "modules": modules, "removed": removed}


def _state_word(container_status: str | None) -> str:
    """running, paused or ended, as the namespace stand says of a process."""
    return container_status if container_status in ("running", "paused") else "ended"
