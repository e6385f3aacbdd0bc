"""What every stand promises the player and the command line, whether its modules run in network
namespaces (stand.Stand) or in containers on the engine (engine.EngineStand).

An abstract base class, not a typing.Protocol: beside the methods each stand makes its own way
(up, pause, down ...) the stands share code that a Protocol could not carry — the module address
scheme, the record of the faults applied, standing up a scenario — and a stand that lacks a
method fails when it is made, not halfway through a play."""

from __future__ import annotations

import abc
import os
import re
import shutil
import subprocess
import time

from . import network

MAX_MODULES = 128  # addresses 11.0.0.11 to 11.0.0.138
_APPLIED = re.compile(r"(\S+ \S+)  up\+(\S+) s  (.*)")


class StandError(Exception):
    """Every failure of the stand, with a message that says what to do."""


# The folder that holds the daqhost package: a stand's helper processes import it from there.
PACKAGE_PARENT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
# The source tree whose python/ this file is in, when it is: its build tree has the programs.
SOURCE_TREE = os.path.abspath(os.path.join(os.path.realpath(__file__), "..", "..", "..", ".."))


def find_program(variable: str, program: str, built: str) -> str:
    """$VARIABLE, else the program on PATH, else the build tree's beside this source tree."""
    built = os.path.join(SOURCE_TREE, "build", built)
    found = os.environ.get(variable) or shutil.which(program) or os.access(built, os.X_OK) and built
    if not found:
        raise StandError(f"cannot find {program}: put it on PATH or name it in {variable}")
    return found


def wall_clock(seconds: float) -> str:
    return time.strftime("%F %T", time.localtime(seconds)) + f".{int(seconds * 1000) % 1000:03d}"


class StandInterface(abc.ABC):
    name: str
    folder: str | os.PathLike  # its state: relay sockets, counters, the faults applied
    host_namespace: str  # where the host's program and the monitor's forward run

    # --- the modules' addresses, the same on every stand -----------------------------------

    count: int  # the number of modules
    started: float | None  # when up was done (time.time()); None before

    @abc.abstractmethod
    def relayed(self, i: int) -> bool:
        """Whether module I has a relay in front."""

    def addresses(self) -> list[str]:
        """The address the host is given for each module, module 1 first."""
        return [network.module_address(i) for i in range(1, self.count + 1)]

    def serving_address(self, i: int) -> str:
        """Where module I's program serves: behind its relay, or the module's address itself."""
        return network.serving_address(i) if self.relayed(i) else network.module_address(i)

    def check_module(self, i) -> None:
        if not (isinstance(i, int) and 1 <= i <= self.count):
            raise StandError(f"the module must be a number from 1 to {self.count}, not '{i}'")

    # --- up and down ------------------------------------------------------------------------

    @abc.abstractmethod
    def up(self, modules: list, relay_args: list[list[str]] | None = None,
           seed: int = 1) -> None:
        """Starts the modules (ModuleOptions each) and their relays (each with its options),
        waits until each serves; on failure removes what it made and raises StandError."""

    def up_scenario(self, s) -> None:
        """The stand a scenario describes (scenario.Scenario): a play's and `teststand up`'s."""
        self.up(s.module_options(), s.relay_args(), seed=s.seed)

    @abc.abstractmethod
    def down(self, out_dir: str | os.PathLike | None = None) -> dict:
        """Stops and removes everything, keeps the logs and records in out_dir; returns at
        least out_dir and modules (each module's last status())."""

    # --- the host --------------------------------------------------------------------------

    @abc.abstractmethod
    def daqhost(self) -> str:
        """The daqhost program that popen_in_host runs."""

    @abc.abstractmethod
    def popen_in_host(self, argv: list[str], **popen_kwargs) -> subprocess.Popen:
        """The program where the modules' addresses answer."""

    # --- faults ----------------------------------------------------------------------------

    @abc.abstractmethod
    def relay_client(self, i: int):
        """Module I's relay's control socket (relay.RelayClient)."""

    @abc.abstractmethod
    def pause(self, i: int) -> None:
        """Module I stops (its program, or its container) until resume."""

    def pause_ends_itself(self, i: int) -> bool:
        """Whether a pause of module I ends by itself (a module of a crate): pause then takes
        the pause's seconds, and resume only notes that it runs again."""
        return False

    @abc.abstractmethod
    def resume(self, i: int) -> None:
        """Module I runs again if it is still paused; noted either way."""

    @abc.abstractmethod
    def restart(self, i: int) -> None:
        """A power cycle: module I's program killed and started again alike, serving."""

    @abc.abstractmethod
    def kill(self, i: int) -> None:
        """Module I's program killed; it stays dead until a restart."""

    @abc.abstractmethod
    def status(self) -> dict:
        """modules: for each, at least module, address, state (running, paused or ended),
        relay (None, or its state and counters) and faults_applied."""

    def note(self, i: int, text: str) -> None:
        """Adds a line to module I's record of the faults applied: wall clock, time since up."""
        now = time.time()
        with open(os.path.join(self.folder, f"module-{i}.faults-applied"), "a") as f:
            f.write(f"{wall_clock(now)}  up+{now - (self.started or now):.3f} s  {text}\n")

    def faults_applied(self, i: int) -> list[dict]:
        try:
            with open(os.path.join(self.folder, f"module-{i}.faults-applied")) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        return [{"wall": m[1], "since_up": float(m[2]), "text": m[3]}
                for m in map(_APPLIED.fullmatch, lines) if m]
