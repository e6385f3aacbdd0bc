"""teststand play end to end: a scenario of every kind of fault on four modules meets its
expectations and leaves its report; played again with the same seed its relays decide the
same, with another seed not; a scenario that does not read is refused with its line before
anything is stood up. Needs root (network namespaces)."""

import json
import os
import re
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
TESTSTAND = ROOT / "tools" / "teststand" / "teststand"
EVERY_FAULT = ROOT / "tools" / "teststand" / "scenarios" / "every-fault.yaml"

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="the stand needs root")


def play(tmp_path, name, *args, scenario=EVERY_FAULT):
    out = tmp_path / name
    result = subprocess.run(
        [str(TESTSTAND), "--name", f"y{os.getpid() % 100000}", "play", str(scenario),
         "--out", str(out), *args],
        env=dict(os.environ, TESTSTAND_STATE=str(tmp_path / "state")),
        capture_output=True, text=True, timeout=180)
    return result, out


def decisions(out: Path) -> dict:
    """Each relay's decisions by direction and datagram number, the holds of acknowledges
    left out: whether a datagram is an acknowledge depends on the run's timing, its number's
    draws do not."""
    found = {}
    for path in sorted((out / "stand").rglob("*decisions*")):
        lines = {}
        for line in path.read_text().splitlines():
            direction, number, what = line.split(" ", 2)
            what = re.sub(r"(, )?ack held [\d.]+ ms", "", what)
            if what:
                lines[(direction, int(number))] = what
        found[path.name] = lines
    return found


def common(a: dict, b: dict) -> list[dict]:
    """The decisions of the datagram numbers both runs reached, in each direction (as far as
    the later of their last decisions shows)."""
    def last(lines, direction):
        return max((n for d, n in lines if d == direction), default=0)
    reach = {d: min(last(a, d), last(b, d)) for d in ("to-module", "from-module")}
    return [{k: v for k, v in lines.items() if k[1] <= reach[k[0]]} for lines in (a, b)]


def test_every_fault_meets_its_expectations_and_the_same_seed_decides_the_same(tmp_path):
    first, out = play(tmp_path, "first")
    assert first.returncode == 0, first.stdout + first.stderr
    for leaf in ("scenario.yaml", "timeline.tsv", "report.txt", "report.json", "timeline.png",
                 "host.json", "host.pcap", "modules"):
        assert (out / leaf).is_file(), leaf
    report = json.loads((out / "report.json").read_text())
    assert report["met"] and report["expectations"], report
    assert all(row["result"] == "applied" for row in report["applied"]), report["applied"]
    assert "played with seed 1" in (out / "scenario.yaml").read_text()
    assert len(list((out / "stand").rglob("*.log"))) >= 4

    again, out_again = play(tmp_path, "again")
    assert again.returncode == 0, again.stdout + again.stderr
    other, out_other = play(tmp_path, "other", "--seed", "2")
    first_decisions, again_decisions = decisions(out), decisions(out_again)
    assert first_decisions.keys() == again_decisions.keys() and len(first_decisions) == 4
    compared = 0
    for relay, lines in first_decisions.items():
        a, b = common(lines, again_decisions[relay])
        assert a == b, relay
        compared += len(a)
        c, d = common(lines, decisions(out_other)[relay])
        if c and d:
            assert c != d, f"{relay}: seed 2 decided as seed 1"
    assert compared > 50


def test_a_scenario_that_does_not_read_is_refused_with_its_line(tmp_path):
    bad = tmp_path / "bad.yaml"
    bad.write_text("modules:\n  - count: 2\nfaults:\n  - {at: 1, module: 3, do: pause, seconds: 1}\n")
    result, out = play(tmp_path, "bad", scenario=bad)
    assert result.returncode == 2
    assert re.search(r"line 4: .*module", result.stderr), result.stderr
    assert not out.exists() and not (tmp_path / "state").exists()
