"""What every stand promises the player and the command line (daqhost.stand.StandInterface), held
against the stand in network namespaces and the stand on the container engine: the modules at
the scheme's addresses, a relay's faults through its socket, pause, continue, kill and restart
seen in status and noted, a host that reaches every module afterwards, and down keeping the
records; and of the namespaces, modules in a crate, each taking its faults alone, up to the
stand's most (the engine refuses crates). The engine's variant needs Docker and the image
DAQ_IMAGE (default daq-emulator:latest), and is skipped, saying which is missing, without
them."""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
from daqhost.stand import MAX_MODULES, ModuleOptions, Stand, StandError  # noqa: E402

# Debian's docker client compares versions the old way.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


def engine_stand(name: str, state: Path):
    try:
        import docker
    except ImportError:
        pytest.skip("python3-docker is missing: the engine's stand is not tested")
    image = os.environ.get("DAQ_IMAGE") or "daq-emulator:latest"
    try:
        docker.from_env(timeout=10).images.get(image)
    except docker.errors.ImageNotFound:
        pytest.skip(f"no image {image}: build it (packaging/containers/build-image) and name it in "
                    "DAQ_IMAGE")
    except docker.errors.DockerException as e:
        pytest.skip(f"the container engine does not answer: {e}")
    from daqhost.stand.engine import EngineStand

    return EngineStand(name, str(state), image)


@pytest.fixture(params=["namespaces", "engine"])
def stand(request, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("the stands need root")
    name, state = f"i{os.getpid() % 1000000}", tmp_path / "state"
    made = Stand(name, str(state)) if request.param == "namespaces" else engine_stand(name, state)
    yield made
    if os.path.isdir(made.folder):  # the test failed before its down
        made.down(tmp_path / "left")


def eventually(condition, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def test_modules_serve_at_the_schemes_addresses_and_take_every_fault(stand, tmp_path):
    stand.up([ModuleOptions(rate=200), ModuleOptions(rate=200, relay=True)], seed=3)
    assert stand.addresses() == ["11.0.0.11", "11.0.0.12"]
    assert [stand.serving_address(i) for i in (1, 2)] == ["11.0.0.11", "11.128.0.2"]
    assert "loss 5%" in stand.relay_client(2).request(
        {"request": "set", "direction": "from-module", "faults": {"loss": 5}})["text"]
    with pytest.raises(StandError, match="no relay"):
        stand.relay_client(1)

    def state(i):
        return stand.status()["modules"][i - 1]["state"]

    stand.pause(1)
    assert eventually(lambda: state(1) == "paused")
    stand.resume(1)
    assert eventually(lambda: state(1) == "running")
    stand.kill(1)
    assert eventually(lambda: state(1) == "ended")
    with pytest.raises(StandError, match="restart"):
        stand.pause(1)
    stand.restart(1)
    assert state(1) == "running"

    # The restarted module serves its address again, as the other behind its relay.
    out = tmp_path / "host"
    out.mkdir()
    (out / "modules").write_text("".join(a + "\n" for a in stand.addresses()))
    host = stand.popen_in_host(
        [stand.daqhost(), "run", "--modules", str(out / "modules"), "--seconds", "2", "--json"],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=dict(os.environ, DAQ_OUT=str(out)))
    summary, errors = host.communicate(timeout=90)
    assert host.returncode == 0, errors
    assert [m["events"] > 0 for m in json.loads(summary)["modules"]] == [True, True]

    modules = stand.status()["modules"]
    assert [f["text"].split(":")[0] for f in modules[0]["faults_applied"]] == [
        "pause", "continue", "kill", "restart"]
    assert modules[0]["relay"] is None and modules[1]["relay"]["state"] == "running"
    kept = stand.down(tmp_path / "kept")
    assert {"module-1.faults-applied", "relay-2.json"} <= set(os.listdir(kept["out_dir"]))
    assert [m["module"] for m in kept["modules"]] == [1, 2]


def test_a_crates_modules_take_their_faults_alone_and_down_leaves_nothing(stand, tmp_path):
    crate = [ModuleOptions(rate=200, crate="a", common_trigger=True) for _ in range(3)]
    if not isinstance(stand, Stand):
        with pytest.raises(StandError, match="crates run on the namespace stand"):
            stand.up(crate)
        return
    with pytest.raises(StandError, match="module 2 has rate 300, module 1 200"):
        stand.up([crate[0], ModuleOptions(rate=300, crate="a", common_trigger=True)])
    crate[1] = ModuleOptions(rate=200, crate="a", common_trigger=True, relay=True)
    stand.up([ModuleOptions(rate=200)] + crate)
    pid = stand.pid(2)
    assert stand.pid(3) == stand.pid(4) == pid != stand.pid(1)
    assert stand.serving_address(3) == "11.128.0.3"

    def states():
        return [m["state"] for m in stand.status()["modules"]]

    stand.pause(3, 3)
    assert states() == ["running", "running", "paused", "running"]
    assert eventually(lambda: states()[2] == "running")
    stand.kill(4)
    assert states() == ["running", "running", "running", "ended"]
    with pytest.raises(StandError, match="restart it first"):
        stand.pause(4, 1)
    stand.restart(4)
    stand.restart(2)
    assert states() == ["running"] * 4 and stand.pid(2) == pid

    # Switched on and power-cycled, each serves its address again, the relayed one behind it.
    out = tmp_path / "host"
    out.mkdir()
    (out / "modules").write_text("".join(a + "\n" for a in stand.addresses()))
    host = stand.popen_in_host(
        [stand.daqhost(), "run", "--modules", str(out / "modules"), "--seconds", "2", "--json"],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=dict(os.environ, DAQ_OUT=str(out)))
    summary, errors = host.communicate(timeout=90)
    assert host.returncode == 0, errors
    assert [m["events"] > 0 for m in json.loads(summary)["modules"]] == [True] * 4
    modules = stand.status()["modules"]
    assert [[f["text"].split(":")[0] for f in m["faults_applied"]] for m in modules] == [
        [], ["restart"], ["pause 3 s"], ["kill", "restart"]]
    assert modules[1]["crate"]["counters"]["runs_started"] == 1

    namespaces = [stand.namespace(i) for i in range(5)]
    kept = stand.down(tmp_path / "kept")
    assert "crate-1.log" in os.listdir(kept["out_dir"])
    assert not os.path.exists(f"/proc/{pid}") and not os.path.isdir(stand.folder)
    assert not any(os.path.exists(f"/run/netns/{n}") for n in namespaces)


def test_a_crate_of_as_many_modules_as_the_stand_takes_comes_up(stand):
    if not isinstance(stand, Stand):
        pytest.skip("crates run on the namespace stand")
    stand.up([ModuleOptions(crate=1) for _ in range(MAX_MODULES)])
    assert stand.addresses()[-1] == f"11.0.0.{10 + MAX_MODULES}"
    assert {m["state"] for m in stand.status()["modules"]} == {"running"}
