"""teststand play: a scenario played on the stand from one clock, with its report.

    teststand play SCENARIO [--seed S] [--out DIR] [--name NAME] [--engine stand|compose]

The modules are stood up, each that a network fault touches behind a relay seeded from the
scenario's seed (module I takes seed + I), so every loss, delay and duplicate is the relay's
decision; the windows open from 0 s are set then. The host starts; from that moment (0 s of
the scenario) each timed event is applied when it is due: a network fault's window opens or
closes (every fault of the module's relay set anew through its control socket), a module is paused, continued, restarted or killed.
Then the host is waited for, the stand taken down, and DIR holds the scenario as played, the
timeline, the stand's logs and the relays' records, the host's output and the report. The
exit status is 0 only when every expectation holds; 2 for a scenario or command line that does
not read, 130 after Ctrl-C (everything stood up is taken down first).
"""

from __future__ import annotations

import argparse
import datetime
import os
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

from . import relay, report, scenario
from .forward import PortForward
from .interface import StandError, StandInterface
from .stand import Stand


@dataclass
class Event:
    at_s: float
    module: int
    what: str  # "network", "pause", "continue", "restart", "kill"
    text: str
    # A window's end or a pause's: after the host's end there is nothing left to undo.
    closing: bool = False
    seconds: float | None = None  # of a pause


def relay_faults(active: list[scenario.NetworkFault], module: int) -> tuple[dict, float]:
    """What a module's relay is to have in force: each direction's every fault (by the relay's
    parameter names), those of no open window off, a later window winning over an earlier one
    for the same fault; and the acknowledge delay in ms."""
    faults = {d: relay.defaults() for d in scenario.DIRECTIONS}
    ack_delay = 0.0
    for fault in active:
        if module not in fault.modules:
            continue
        for name, amount in fault.faults.items():
            if name == "ack_delay":
                ack_delay = amount
            else:
                for d in fault.directions:
                    faults[d][name] = amount
    return faults, ack_delay


def fault_text(name: str, value) -> str:
    return f"ack_delay {value:g} ms" if name == "ack_delay" else relay.value_text(name, value)


def timed_events(s: scenario.Scenario) -> list[Event]:
    events = []
    for fault in s.network:
        text = ", ".join(fault_text(k, v) for k, v in fault.faults.items())
        where = "both ways" if len(fault.directions) == 2 else fault.directions[0]
        for module in fault.modules:
            events.append(Event(fault.start_s, module, "network", f"{text} ({where}) on"))
            if fault.end_s is not None:
                events.append(Event(fault.end_s, module, "network", f"{text} ({where}) off",
                                    closing=True))
    for fault in s.faults:
        if fault.action == "pause":
            events.append(Event(fault.at_s, fault.module, "pause", f"pause {fault.seconds:g} s",
                                seconds=fault.seconds))
            events.append(Event(fault.at_s + fault.seconds, fault.module, "continue", "continue",
                                closing=True))
        else:
            events.append(Event(fault.at_s, fault.module, fault.action, fault.action))
    # Stable: at the same time, in the scenario's order.
    return sorted(events, key=lambda e: e.at_s)


def prepared(event: Event) -> bool:
    """A window open from 0 s: set before the host starts (Timeline.prepare)."""
    return event.what == "network" and event.at_s == 0 and not event.closing


def modules_file_text(s: scenario.Scenario, addresses: list[str]) -> str:
    """The host's modules file: an address a line, with daqhost's own options of the module's
    group after it (only for daqhost: a host of one's own gets the addresses alone)."""
    lines = []
    for address, group in zip(addresses, s.module_groups()):
        options = group.module_host_options() if s.host.is_daqhost else []
        lines.append(" ".join([address, *options]))
    return "\n".join(lines) + "\n"


class Timeline:
    """A scenario's timed events applied to a stand that is up, from one clock: 0 s is when
    start() is called, which is when the host starts."""

    def __init__(self, s: scenario.Scenario, stand: StandInterface):
        self.scenario = s
        self.stand = stand
        self.start_s = 0.0
        self.start_epoch_s = 0.0
        self.rows: list[dict] = []
        self.prepared_rows: list[dict] = []

    def prepare(self):
        """The windows open from 0 s, set before any datagram passes: each relay then decides
        from its first datagram on. They are recorded at 0 s."""
        for i in sorted(self.scenario.relayed_modules()):
            in_force = self.set_relay(i, 0)
            for event in timed_events(self.scenario):
                if prepared(event) and event.module == i:
                    self.stand.note(i, f"{event.text} before the host started; in force: "
                                    f"{in_force}")
                    self.prepared_rows.append(
                        self.row(event, "applied before the host started", 0.0, in_force))

    def start(self):
        self.start_s = time.monotonic()
        self.start_epoch_s = time.time()
        self.rows[:0] = self.prepared_rows

    def seconds(self) -> float:
        return time.monotonic() - self.start_s

    def run(self, wait_until) -> None:
        """Applies every event when it is due. wait_until(t) waits until the monotonic time t
        and says whether to stop (the host has ended); the events left are recorded as not
        applied."""
        for event in timed_events(self.scenario):
            if prepared(event):
                continue
            if wait_until(self.start_s + event.at_s):
                self.record(event, "not needed: the host had ended" if event.closing
                            else "not applied: the host had ended")
                continue
            try:
                self.record(event, "applied", self.apply(event))
            except StandError as e:
                self.record(event, f"failed: {e}")

    def open_at(self, at_s: float) -> list[scenario.NetworkFault]:
        return [f for f in self.scenario.network
                if f.start_s <= at_s and (f.end_s is None or at_s < f.end_s)]

    def set_relay(self, i: int, at_s: float) -> str:
        """Module I's relay given the faults of the windows open at at_s; the relay's text of
        what is then in force."""
        faults, ack_delay = relay_faults(self.open_at(at_s), i)
        return self.stand.relay_client(i).set_faults(faults, ack_delay)

    def apply(self, event: Event) -> str | None:
        """The event applied; for a network fault, the relay's text of what is in force."""
        i, in_force = event.module, None
        if event.what == "network":
            in_force = self.set_relay(i, event.at_s)
        elif event.what == "pause" and self.stand.pause_ends_itself(i):
            self.stand.pause(i, event.seconds)
        elif event.what == "pause":
            self.stand.pause(i)
        elif event.what == "continue":
            self.stand.resume(i)
        elif event.what == "restart":
            self.stand.restart(i)
        elif event.what == "kill":
            self.stand.kill(i)
        self.stand.note(i, f"{event.text} at {self.seconds():.3f} s into the run" +
                        (f"; in force: {in_force}" if in_force else ""))
        return in_force

    def record(self, event: Event, result: str, in_force: str | None = None):
        self.rows.append(self.row(event, result, self.seconds(), in_force))

    @staticmethod
    def row(event: Event, result: str, seconds: float, in_force: str | None = None) -> dict:
        """A line of the timeline; a network fault's with what its relay replied is in force."""
        return {"seconds": round(seconds, 3),
                "wall_clock": datetime.datetime.now().isoformat(timespec="milliseconds"),
                "module": event.module, "what": event.text, "result": result,
                **({"in_force": in_force} if in_force else {})}

    def write(self, path: Path):
        """timeline.tsv, seconds from the host's start (the report's counts from the run's)."""
        report.write_timeline(path, self.rows)


class Play:
    def __init__(self, s: scenario.Scenario, out: Path, stand: StandInterface):
        self.scenario = s
        self.out = out
        self.stand = stand
        self.timeline = Timeline(s, stand)
        self.host: subprocess.Popen | None = None
        self.host_status: int | None = None
        self.forward: PortForward | None = None

    def host_argv(self, modules_file: str) -> list[str]:
        h = self.scenario.host
        if h.is_daqhost:
            argv = [self.stand.daqhost(), "run", "--modules", modules_file, "--seconds",
                    f"{h.seconds:g}", "--json", "--capture", str(self.out / "host.pcap"),
                    *h.options]
            if h.monitor:
                argv += ["--monitor", str(h.monitor)]
            return argv
        fields = {"modules_file": modules_file, "addresses": ",".join(self.stand.addresses()),
                  "monitor_port": str(h.monitor or ""), "out": str(self.out),
                  "seconds": f"{h.seconds:g}"}
        return [word.format(**fields) for word in h.command]

    def run_host(self):
        self.timeline.prepare()
        modules_file = str(self.out / "modules")
        Path(modules_file).write_text(modules_file_text(self.scenario, self.stand.addresses()))
        argv = self.host_argv(modules_file)
        h = self.scenario.host
        env = dict(os.environ, DAQ_MODULES_FILE=modules_file, DAQ_OUT=str(self.out),
                   DAQ_MONITOR_PORT=str(h.monitor or ""))
        with open(self.out / ("host.json" if h.is_daqhost else "host.out"), "w") as stdout, \
                open(self.out / "host.log", "w") as stderr:
            self.host = self.stand.popen_in_host(argv, stdout=stdout, stderr=stderr, env=env,
                                                 stdin=subprocess.DEVNULL)
            # 0 s: the host runs (a container's takes a while to start).
            self.timeline.start()
            if h.monitor:
                self.forward = PortForward(self.stand.host_namespace, h.monitor)
                print(f"teststand: the monitor: http://127.0.0.1:{self.forward.local_port}/",
                      flush=True)
            self.timeline.run(lambda until: self.wait_host(until) is not None)
            if self.wait_host(self.timeline.start_s + h.seconds + h.grace_s) is None:
                print("teststand: the host ran past its time; stopping it", file=sys.stderr)
                self.stop_host()

    def wait_host(self, until: float) -> int | None:
        """Waits until the time or the host's end; its status once it has ended."""
        while self.host_status is None:
            left = until - time.monotonic()
            if left <= 0:
                break
            try:
                self.host_status = self.host.wait(timeout=min(left, 0.05))
            except subprocess.TimeoutExpired:
                pass
        return self.host_status

    def stop_host(self):
        if self.host is None or self.host_status is not None:
            return
        self.host.send_signal(signal.SIGINT)
        try:
            self.host_status = self.host.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.host.kill()
            self.host_status = self.host.wait()

    def play(self) -> int:
        s = self.scenario
        (self.out / "scenario.yaml").write_text(s.as_played())
        interrupted = False
        try:
            self.stand.up_scenario(s)
            self.run_host()
        except KeyboardInterrupt:
            interrupted = True
            print("teststand: interrupted; taking the stand down", file=sys.stderr)
        finally:
            # A second Ctrl-C must not leave the stand up.
            previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
            try:
                if self.forward:
                    self.forward.close()
                self.stop_host()
                self.stand.down(self.out / "stand")
            finally:
                signal.signal(signal.SIGINT, previous)
        if interrupted:
            self.timeline.write(self.out / "timeline.tsv")
            return 130
        return report.write(s, self.out, self.host_status, self.timeline.rows,
                            self.timeline.start_epoch_s)


def main(argv: list[str], name: str = "play") -> int:
    parser = argparse.ArgumentParser(prog="teststand play", description=__doc__.split("\n\n")[0])
    parser.add_argument("scenario")
    parser.add_argument("--seed", type=int, help="the seed, in place of the scenario's")
    parser.add_argument("--out", help="the folder for what the play leaves (default: "
                        "SCENARIO-DATE-TIME in the current folder)")
    parser.add_argument("--engine", choices=("stand", "compose"), default="stand",
                        help="where the modules run: the stand's network namespaces (default), "
                        "or containers of the image DAQ_IMAGE on the container engine")
    args = parser.parse_args(argv)
    try:
        s = scenario.load(args.scenario, args.seed)
    except scenario.ScenarioError as e:
        print(f"teststand: {args.scenario}: {e}", file=sys.stderr)
        return 2
    out = Path(args.out or f"{s.name}-{datetime.datetime.now():%Y%m%d-%H%M%S}")
    if out.exists() and any(out.iterdir()):
        print(f"teststand: {out} exists and is not empty", file=sys.stderr)
        return 2
    out.mkdir(parents=True, exist_ok=True)
    try:
        if args.engine == "compose":
            from .engine import EngineStand  # noqa: PLC0415 (the engine's client only here)

            stand = EngineStand(name)
        else:
            stand = Stand(name)
        status = Play(s, out.resolve(), stand).play()
    except StandError as e:
        print(f"teststand: {e}", file=sys.stderr)
        return 1
    if status != 130:
        print(f"teststand: {out}/report.txt", flush=True)
    return status
