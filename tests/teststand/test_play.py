"""teststand play: a scenario of every kind of fault on four modules meets its expectations
and leaves its report; played again with the same seed its relays decide the same, with another
seed not; a scenario that does not read is refused with its line before anything is stood up
(these need root: network namespaces). Without root: what a scenario's mistakes are refused
with, the relay's control lines of overlapping windows, and expectations checked against a
summary."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools" / "teststand"))
from daqstand import player, report, scenario  # noqa: E402
TESTSTAND = ROOT / "tools" / "teststand" / "teststand"
EVERY_FAULT = ROOT / "tools" / "teststand" / "scenarios" / "every-fault.yaml"

needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="the stand needs root")


def play(tmp_path, name, *args, scenario=EVERY_FAULT):
    out = tmp_path / name
    result = subprocess.run(
        [str(TESTSTAND), "--name", f"y{os.getpid() % 100000}", "play", str(scenario),
         "--out", str(out), *args],
        env=dict(os.environ, TESTSTAND_STATE=str(tmp_path / "state")),
        capture_output=True, text=True, timeout=180)
    return result, out


def decisions(out: Path) -> dict:
    """Each relay's decisions by direction and datagram number, without the holds of
    acknowledges and the place of a flipped bit: whether a datagram is an acknowledge (and how
    long it is) depends on the run's timing, its number's draws do not."""
    found = {}
    for path in sorted((out / "stand").rglob("*decisions*")):
        lines = {}
        for line in path.read_text().splitlines():
            direction, number, what = line.split(" ", 2)
            what = re.sub(r"(, )?ack held [\d.]+ ms", "", what)
            what = re.sub(r"corrupted bit \d+", "corrupted", what)
            if what:
                lines[(direction, int(number))] = what
        found[path.name] = lines
    return found


def common(a: dict, b: dict) -> list[dict]:
    """The decisions of the datagram numbers both runs decided on, in each direction: from the
    later of their first decisions to the earlier of their last. The loss window opens and
    closes at moments, not numbers, so a datagram at either edge falls inside it in one run and
    outside in the other, as the run's timing goes."""
    directions = ("to-module", "from-module")
    def numbers(lines, direction):
        return [n for d, n in lines if d == direction]
    first = {d: max(min(numbers(a, d), default=0), min(numbers(b, d), default=0))
             for d in directions}
    reach = {d: min(max(numbers(a, d), default=0), max(numbers(b, d), default=0))
             for d in directions}
    return [{k: v for k, v in lines.items() if first[k[0]] <= k[1] <= reach[k[0]]}
            for lines in (a, b)]


@needs_root
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


@needs_root
def test_a_scenario_that_does_not_read_is_refused_with_its_line(tmp_path):
    bad = tmp_path / "bad.yaml"
    bad.write_text("modules:\n  - count: 2\nfaults:\n  - {at: 1, module: 3, do: pause, seconds: 1}\n")
    result, out = play(tmp_path, "bad", scenario=bad)
    assert result.returncode == 2
    assert re.search(r"line 4: .*module", result.stderr), result.stderr
    assert not out.exists() and not (tmp_path / "state").exists()


MODULES = "modules:\n  - count: 4\n"


@pytest.mark.parametrize("text, line, words", [
    (MODULES + "  - count: 62\n", 1, "66 modules"),
    (MODULES + "network:\n  - modules: 2-5\n    loss: 1%\n", 4, "the modules are 1 to 4"),
    (MODULES + "network:\n  - loss: 101%\n", 4, "not a percentage"),
    (MODULES + "network:\n  - burst: 3\n", 4, "goes with a loss"),
    (MODULES + "network:\n  - {loss: 1, from: 5, until: 2}\n", 4, "not after from"),
    (MODULES + "faults:\n  - {module: 1, do: kill}\n", 4, "at: when?"),
    (MODULES + "faults:\n  - {at: 1, module: 1, do: reboot}\n", 4, "pause, restart or kill"),
    (MODULES + "expect:\n  modules:\n    - {modules: 1, outages: [lost]}\n", 5, "outages"),
    (MODULES + "host:\n  command: [my-host]\n  options: [--recover]\n", 5, "options are"),
    (MODULES + "hots: {}\n", 3, "unknown key 'hots'"),
])
def test_a_mistake_is_refused_with_its_line(text, line, words):
    with pytest.raises(scenario.ScenarioError) as refused:
        scenario.parse(text)
    assert refused.value.line == line and words in str(refused.value), str(refused.value)


def test_control_lines_of_overlapping_windows_take_the_later_and_switch_the_rest_off():
    s = scenario.parse(MODULES + """network:
  - {modules: 1-2, loss: 1%, burst: 3}
  - {modules: 2, direction: from-module, loss: 5%, delay: 20, from: 2, until: 4}
  - {modules: 2, ack_delay: 50, from: 3}
""")
    at = {t: player.Timeline(s, None).open_at(t) for t in (0, 3, 5)}
    lines = {t: set(player.control_lines(at[t], 2)) for t in at}
    assert {"loss to-module 1 3", "loss from-module 1 3", "ack-delay 0"} <= lines[0]
    assert {"loss to-module 1 3", "loss from-module 5 3", "delay from-module 20",
            "delay to-module 0", "ack-delay 50"} <= lines[3]
    assert {"loss from-module 1 3", "delay from-module 0", "ack-delay 50"} <= lines[5]
    assert "loss to-module 0" in player.control_lines(at[0], 3)
    assert s.relayed_modules() == {1, 2}


def test_expectations_are_checked_against_the_summary_module_by_module():
    s = scenario.parse(MODULES + """expect:
  exit_status: 1
  modules:
    - {modules: 1-2, outages: [recovered], missing_at_most: 0}
    - {modules: 3, loss_at_most: 1%}
""")
    def module(i, missing, ends):
        return {"module": f"11.0.0.{10 + i}:10000", "outages": [{"end": e} for e in ends],
                "hybrids": [{"packets": 1000 - missing, "missing": missing,
                             "trigger_rate_hz": 500.0}]}
    summary = {"modules": [module(1, 0, ["recovered"]), module(2, 3, []), module(3, 20, [])]}
    met = {r["expectation"]: r["met"] for r in report.check(s, 1, summary)}
    assert met == {"the host exits with status 1": True,
                   "module 1: outages recovered": True, "module 1: at most 0 missing": True,
                   "module 2: outages recovered": False, "module 2: at most 0 missing": False,
                   "module 3: at most 1.00% of its events lost": False}
