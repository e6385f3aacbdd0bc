"""teststand play: a scenario played on the stand from one clock, with its report.

    teststand play SCENARIO [--seed S] [--out DIR] [--name NAME]

The modules are stood up, each behind a relay seeded from the scenario's seed (module I takes
seed + I), so every loss, delay and duplicate is the relay's decision. The host starts; from
that moment (0 s) each timed event is applied when it is due: a network fault's window opens
or closes (the relay's control lines, whole), a module is paused, continued, restarted or
killed. Then the host is waited for, the stand taken down, and DIR holds the scenario as played,
the timeline, the stand's logs and the relays' records, the host's output and the report. The
exit status is 0 only when every expectation holds; 2 for a scenario or command line that does
not read, 130 after Ctrl-C (everything stood up is taken down first).
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

from . import report, scenario
from .forward import PortForward
from .stand import ModuleOptions, Stand, StandError

HERE = Path(__file__).resolve().parent


@dataclass
class Event:
    at_s: float
    module: int
    what: str  # "network", "pause", "continue", "restart", "kill"
    text: str


def find_daqhost() -> str:
    """$DAQHOST, else daqhost on the PATH, else the one of the build tree beside this file."""
    if os.environ.get("DAQHOST"):
        return os.environ["DAQHOST"]
    found = shutil.which("daqhost")
    if found:
        return found
    built = HERE.parent.parent.parent / "build" / "tools" / "daqhost" / "daqhost"
    if built.is_file():
        return str(built)
    raise StandError("cannot find daqhost: put it on the PATH or set DAQHOST")


def control_lines(active: list[scenario.NetworkFault], module: int) -> list[str]:
    """The relay's whole control file for a module: every fault of both directions, those of no
    open window at 0, a later window winning over an earlier one for the same fault."""
    value = {(name, d): 0.0 for name in (*scenario.PERCENT_FAULTS, *scenario.TIME_FAULTS)
             for d in scenario.DIRECTIONS}
    burst = {d: 1.0 for d in scenario.DIRECTIONS}
    ack_delay = 0.0
    for fault in active:
        if module not in fault.modules:
            continue
        for name, amount in fault.faults.items():
            if name == "ack_delay":
                ack_delay = amount
            elif name == "burst":
                for d in fault.directions:
                    burst[d] = amount
            else:
                for d in fault.directions:
                    value[(name, d)] = amount
    lines = []
    for (name, d), amount in value.items():
        line = f"{name} {d} {amount:g}"
        if name == "loss" and amount > 0 and burst[d] > 1:
            line += f" {burst[d]:g}"
        lines.append(line)
    lines.append(f"ack-delay {ack_delay:g}")
    return lines


def timeline(s: scenario.Scenario) -> list[Event]:
    events = []
    for fault in s.network:
        text = ", ".join(f"{k} {v:g}" for k, v in fault.faults.items())
        where = "both ways" if len(fault.directions) == 2 else fault.directions[0]
        for module in fault.modules:
            events.append(Event(fault.start_s, module, "network", f"{text} ({where}) on"))
            if fault.end_s is not None:
                events.append(Event(fault.end_s, module, "network", f"{text} ({where}) off"))
    for fault in s.faults:
        if fault.action == "pause":
            events.append(Event(fault.at_s, fault.module, "pause", f"pause {fault.seconds:g} s"))
            events.append(Event(fault.at_s + fault.seconds, fault.module, "continue", "continue"))
        else:
            events.append(Event(fault.at_s, fault.module, fault.action, fault.action))
    # Stable: at the same time, in the scenario's order, windows before module faults.
    return sorted(events, key=lambda e: e.at_s)


class Play:
    def __init__(self, s: scenario.Scenario, out: Path, name: str):
        self.scenario = s
        self.out = out
        self.stand = Stand(name)
        self.host: subprocess.Popen | None = None
        self.host_status: int | None = None
        self.rows: list[dict] = []
        self.start = 0.0
        self.forward: PortForward | None = None

    def host_argv(self, modules_file: str) -> list[str]:
        h = self.scenario.host
        if h.is_daqhost:
            argv = [find_daqhost(), "run", "--modules", modules_file, "--seconds", f"{h.seconds:g}",
                    "--json", "--capture", str(self.out / "host.pcap"), *h.options]
            if h.monitor:
                argv += ["--monitor", str(h.monitor)]
            return argv
        fields = {"modules_file": modules_file, "addresses": ",".join(self.stand.addresses()),
                  "monitor_port": str(h.monitor or ""), "out": str(self.out),
                  "seconds": f"{h.seconds:g}"}
        return [word.format(**fields) for word in h.command]

    def record(self, event: Event, result: str):
        now = time.monotonic()
        self.rows.append({"seconds": round(now - self.start, 3),
                          "wall_clock": datetime.datetime.now().isoformat(timespec="milliseconds"),
                          "module": event.module, "what": event.text, "result": result})

    def apply(self, event: Event, open_windows: list[scenario.NetworkFault]):
        i = event.module
        if event.what == "network":
            self.stand.relay_control(i, control_lines(open_windows, i))
        elif event.what == "pause":
            self.stand.pause(i)
        elif event.what == "continue":
            self.stand.resume(i)
        elif event.what == "restart":
            self.stand.restart(i)
        elif event.what == "kill":
            self.stand.kill(i)
        self.stand.note(i, f"{event.text} at {time.monotonic() - self.start:.3f} s into the run")

    def windows_open_at(self, at_s: float) -> list[scenario.NetworkFault]:
        return [f for f in self.scenario.network
                if f.start_s <= at_s and (f.end_s is None or at_s < f.end_s)]

    def run_timeline(self):
        events = timeline(self.scenario)
        # Windows open from the start are set before the host sends anything: the relays then
        # decide from their first datagram on.
        for i in range(1, self.scenario.count + 1):
            self.stand.relay_control(i, control_lines(self.windows_open_at(0), i))
        events = [e for e in events if not (e.what == "network" and e.at_s == 0)]
        modules_file = str(self.out / "modules")
        Path(modules_file).write_text("\n".join(self.stand.addresses()) + "\n")
        argv = self.host_argv(modules_file)
        stdout = open(self.out / ("host.json" if self.scenario.host.is_daqhost else "host.out"), "w")
        stderr = open(self.out / "host.log", "w")
        env = dict(os.environ, DAQ_MODULES_FILE=modules_file, DAQ_OUT=str(self.out),
                   DAQ_MONITOR_PORT=str(self.scenario.host.monitor or ""))
        with stdout, stderr:
            self.start = time.monotonic()
            self.host = self.stand.popen_in_host(argv, stdout=stdout, stderr=stderr, env=env,
                                                 stdin=subprocess.DEVNULL)
            if self.scenario.host.monitor:
                self.forward = PortForward(self.stand.host_namespace, self.scenario.host.monitor)
                print(f"teststand: the monitor: http://127.0.0.1:{self.forward.local_port}/",
                      flush=True)
            for event in events:
                if self.wait_host(self.start + event.at_s) is not None:
                    self.record(event, "not applied: the host had ended")
                    continue
                try:
                    self.apply(event, self.windows_open_at(event.at_s))
                    self.record(event, "applied")
                except StandError as e:
                    self.record(event, f"failed: {e}")
            deadline = self.start + self.scenario.host.seconds + self.scenario.host.grace_s
            if self.wait_host(deadline) is None:
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
        modules = [ModuleOptions(rate=g.rate, efficiency=g.efficiency, mask=g.mask, chip=g.chip,
                                 replay=g.replay, relay=True) for g in s.module_groups()]
        interrupted = False
        try:
            self.stand.up(modules, seed=s.seed)
            self.run_timeline()
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
        self.write_timeline()
        if interrupted:
            return 130
        return report.write(self.scenario, self.out, self.host_status, self.rows)

    def write_timeline(self):
        with open(self.out / "timeline.tsv", "w") as file:
            file.write("seconds\twall_clock\tmodule\twhat\tresult\n")
            for row in self.rows:
                file.write("\t".join(str(row[k]) for k in
                                     ("seconds", "wall_clock", "module", "what", "result")) + "\n")


def main(argv: list[str], name: str = "play") -> int:
    parser = argparse.ArgumentParser(prog="teststand play", description=__doc__.split("\n\n")[0])
    parser.add_argument("scenario")
    parser.add_argument("--seed", type=int, help="the seed, in place of the scenario's")
    parser.add_argument("--out", help="the folder for what the play leaves (default: "
                        "SCENARIO-DATE-TIME in the current folder)")
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
        status = Play(s, out.resolve(), name).play()
    except StandError as e:
        print(f"teststand: {e}", file=sys.stderr)
        return 1
    print(f"teststand: {out}/report.txt", flush=True)
    return status
