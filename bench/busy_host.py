#!/usr/bin/python3
"""busy_host: whether the stand's verdicts hold when the host's machine is busy, printed as one
Markdown table.

    busy_host.py [SCENARIO] [--loops N] [--rounds R]

Plays SCENARIO (default stand/scenarios/twelve-busy.yaml) R times (default 1) on a
quiet machine and R times beside N busy loops (default 6) at the host's priority, and prints
for each play the expectations met, the modules that had an outage the scenario did not cause
(no module fault and no network fault touches them), the host's own figures from its summary
(the most its loop was late, the oldest datagram it took, the most taken from one socket at
once, what the kernel dropped at its sockets) and the events each module delivered. The loops
are plain processes spinning in Python, stopped by their PIDs. Needs root (the stand). Progress
goes to standard error."""

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TESTSTAND = ROOT / "stand/teststand"


def progress(text):
    print(f"[busy_host] {text}", file=sys.stderr, flush=True)


def untouched_modules(scenario_text: str) -> tuple[set[int], set[int]]:
    """The modules no fault of the scenario touches, and those one does."""
    sys.path.insert(0, str(ROOT / "python"))
    from daqhost.stand import scenario  # noqa: PLC0415

    s = scenario.parse(scenario_text)
    touched = {f.module for f in s.faults} | s.relayed_modules()
    return set(range(1, s.count + 1)) - touched, touched


def play(path: Path, out: Path, env: dict) -> dict:
    subprocess.run([sys.executable, str(TESTSTAND), "play", str(path), "--out", str(out)],
                   env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
    report = json.loads((out / "report.json").read_text())
    try:
        host = json.loads((out / "host.json").read_text())
    except (OSError, ValueError):
        host = {}
    return {"report": report, "host": host}


def events(result: dict) -> dict[str, int]:
    return {m["module"]: m.get("events", 0) for m in result["host"].get("modules", [])}


def spread(plays: list[dict]) -> float | None:
    """The largest difference of one module's events between plays, as a share of the most."""
    if len(plays) < 2:
        return None
    worst = 0.0
    for module in events(plays[0]):
        counts = [events(p).get(module, 0) for p in plays]
        if max(counts) > 0:
            worst = max(worst, (max(counts) - min(counts)) / max(counts))
    return worst


def same_verdicts(plays: list[dict]) -> bool:
    verdicts = [[e["met"] for e in p["report"].get("expectations", [])] for p in plays]
    return all(v == verdicts[0] for v in verdicts)


def row(label: str, result: dict, untouched: set[int]) -> str:
    expectations = result["report"].get("expectations", [])
    met = sum(e["met"] for e in expectations)
    modules = result["host"].get("modules", [])
    false_outages = []
    events = []
    for m in modules:
        i = int(m["module"].split(":")[0].rsplit(".", 1)[1]) - 10
        if i in untouched and m.get("outages"):
            false_outages.append(str(i))
        events.append(m.get("events", 0))
    pace = result["host"].get("host", {})
    late = pace.get("lateness_max_s")
    backlog = pace.get("backlog_max_s")
    return (f"| {label} | {met} of {len(expectations)} | {', '.join(false_outages) or 'none'} "
            f"| {late * 1000:.0f} ms | {backlog * 1000:.0f} ms | {pace.get('queued_max', '-')} "
            f"| {pace.get('kernel_drops', '-')} | {min(events, default=0)}–{max(events, default=0)} |"
            if late is not None and backlog is not None else
            f"| {label} | {met} of {len(expectations)} | {', '.join(false_outages) or 'none'} "
            f"| - | - | - | - | {min(events, default=0)}–{max(events, default=0)} |")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("scenario", nargs="?",
                        default=str(ROOT / "stand/scenarios/twelve-busy.yaml"))
    parser.add_argument("--loops", type=int, default=6)
    parser.add_argument("--rounds", type=int, default=1)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("busy_host: needs root (the stand)", file=sys.stderr)
        return 1
    path = Path(args.scenario).resolve()
    text = path.read_text()
    untouched, touched = untouched_modules(text)
    build = ROOT / os.environ.get("BUILD_DIR", "build")
    env = dict(os.environ, DAQHOST=os.environ.get("DAQHOST", str(build / "tools/daqhost/daqhost")),
               TESTMODULE=os.environ.get("TESTMODULE", str(build / "app/testModule")))
    rows = []
    quiet = []
    with tempfile.TemporaryDirectory(prefix="busy-host.") as work:
        for r in range(1, args.rounds + 1):
            progress(f"round {r}: quiet")
            quiet.append(play(path, Path(work) / f"quiet-{r}", env))
            rows.append(row(f"quiet, round {r}", quiet[-1], untouched))
            progress(f"round {r}: beside {args.loops} busy loops")
            loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
                     for _ in range(args.loops)]
            try:
                rows.append(row(f"{args.loops} busy loops, round {r}",
                                play(path, Path(work) / f"busy-{r}", env), untouched))
            finally:
                for loop in loops:
                    os.kill(loop.pid, signal.SIGKILL)
                    loop.wait()
    print(f"Scenario {path.name}; modules {sorted(touched)} are faulted, the others must show no "
          "outage.\n")
    print("| Play | Expectations met | Outages of modules not faulted | Host loop late, most "
          "| Oldest datagram taken | Most taken at once | Kernel drops | Events per module |")
    print("|---|---|---|---|---|---|---|---|")
    for line in rows:
        print(line)
    if len(quiet) > 1:
        print(f"\nQuiet plays: the same verdicts in each: {'yes' if same_verdicts(quiet) else 'no'}; "
              f"one module's events differ by {spread(quiet):.2%} at most.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
