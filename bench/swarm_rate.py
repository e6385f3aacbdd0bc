#!/usr/bin/python3
"""swarm_rate: the stand on Swarm across three nodes against the same on one node, printed as one
Markdown table.

    swarm_rate.py IMAGE [--modules N] [--rate HZ] [--seconds S]

Three nodes on this machine (packaging/containers/swarm-nodes), IMAGE loaded into each, and
compose.yaml with compose.swarm.yaml deployed with N modules (default 16) at HZ (default 1000)
and one hybrid each. daqhost runs in a container on the manager, on the data network, over
tasks.module for S seconds (default 5): once with the modules spread over the three nodes,
once with nodes 2 and 3 drained, so that all of them run on node 1 beside daqhost. The nodes
share this machine's processors, so what differs is the path: VXLAN between nodes against a
bridge in one. Delivered events per second are the modules' trigger rates summed, as
stand_rate counts them; the processor time is from the cgroups, per wall second of the run:
the modules' testModule containers, and the three node containers whole (engines, modules and
daqhost). Where nodes cannot start (no root, no engine, the engine refuses a node) it prints
why and exits 0. Progress goes to standard error."""

import glob
import json
import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NODES = str(ROOT / "packaging/containers/swarm-nodes")
FILES = [str(ROOT / "packaging/containers/compose.yaml"),
         str(ROOT / "packaging/containers/compose.swarm.yaml")]
STACK = "bench"
# swarm-nodes' exit status where the engine does not start a node container.
CANNOT_START = 3


def progress(text):
    print(f"[swarm_rate] {text}", file=sys.stderr, flush=True)


def grouped(value):
    return f"{value:,.0f}".replace(",", "\u2009")


class Failed(Exception):
    pass


def run(argv, timeout=300, check=True):
    done = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    if check and done.returncode != 0:
        raise Failed(f"{' '.join(argv[:4])}...: {(done.stderr or done.stdout).strip()[-500:]}")
    return done


def manager(*argv, timeout=300):
    return run([NODES, "exec", "--", *argv], timeout=timeout).stdout


def in_node(i, *argv):
    return run([NODES, "exec", str(i), "--", *argv]).stdout


def cgroup_file(container_id):
    """The file with the container's processor time in the machine's cgroups, the inner
    engines' containers nested in their node's: cpuacct.usage (ns) or cpu.stat (usage_usec)."""
    for pattern in (f"/sys/fs/cgroup/cpuacct/**/{container_id}*/cpuacct.usage",
                    f"/sys/fs/cgroup/cpu,cpuacct/**/{container_id}*/cpuacct.usage",
                    f"/sys/fs/cgroup/**/*{container_id}*/cpu.stat"):
        found = sorted(glob.glob(pattern, recursive=True), key=len)
        if found:
            return found[0]
    return None


def cpu_seconds(files):
    """The processor seconds in all the files together; None if any is missing."""
    total = 0.0
    for path in files:
        if path is None:
            return None
        try:
            text = Path(path).read_text()
        except OSError:
            return None
        if path.endswith("cpuacct.usage"):
            total += int(text) / 1e9
        else:
            total += int(dict(line.split() for line in text.splitlines())["usage_usec"]) / 1e6
    return total


def module_ids(nodes):
    ids = []
    for i in range(1, nodes + 1):
        ids += in_node(i, "docker", "ps", "-q", "--no-trunc", "--filter",
                       f"label=com.docker.swarm.service.name={STACK}_module").split()
    return ids


def wait_running(modules, on_nodes):
    """Until all modules run, each on one of on_nodes; two minutes at most."""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        placed = manager("docker", "service", "ps", f"{STACK}_module", "--filter",
                         "desired-state=running", "--format", "{{.Node}} {{.CurrentState}}")
        running = [line.split()[0] for line in placed.splitlines() if " Running " in line]
        if len(running) == modules and set(running) <= {f"node{i}" for i in on_nodes}:
            return
        time.sleep(1)
    raise Failed(f"the {modules} modules did not all run on nodes {on_nodes}")


def measure(image, modules, seconds):
    """One run over tasks.module; events per second, missing events, the modules' and the
    nodes' processor seconds per wall second."""
    module_files = [cgroup_file(i) for i in module_ids(3)]
    node_ids = run(["docker", "ps", "-q", "--no-trunc", "--filter",
                    f"label=org.daq-emulator.swarm-nodes={os.environ['SWARM_NODES_NAME']}"]
                   ).stdout.split()
    node_files = [cgroup_file(i) for i in node_ids]
    began = time.monotonic()
    modules_before, nodes_before = cpu_seconds(module_files), cpu_seconds(node_files)
    text = manager("docker", "run", "--rm", "--network", f"{STACK}_data", "--entrypoint",
                   "daqhost", image, "run", "--modules-dns", "tasks.module", "--hybrids", "1",
                   "--seconds", str(seconds), "--json", timeout=seconds + 120)
    modules_after, nodes_after = cpu_seconds(module_files), cpu_seconds(node_files)
    wall = time.monotonic() - began
    summary = json.loads(text)
    if len(summary["modules"]) != modules:
        raise Failed(f"the run found {len(summary['modules'])} modules, not {modules}")
    rate = sum(m["trigger_rate_hz"] or 0 for m in summary["modules"])
    busy = [None if a is None or b is None else (b - a) / wall
            for a, b in ((modules_before, modules_after), (nodes_before, nodes_after))]
    return rate, summary["total"]["missing"], busy[0], busy[1]


def main(argv):
    args = {"--modules": 16, "--rate": 1000, "--seconds": 5}
    image = None
    rest = list(argv)
    while rest:
        word = rest.pop(0)
        if word in args and rest and rest[0].isdigit():
            args[word] = int(rest.pop(0))
        elif image is None and not word.startswith("-"):
            image = word
        else:
            image = None
            break
    if image is None or min(args.values()) < 1:
        print("usage: swarm_rate.py IMAGE [--modules N] [--rate HZ] [--seconds S]",
              file=sys.stderr)
        return 2
    modules, rate, seconds = args["--modules"], args["--rate"], args["--seconds"]
    if os.geteuid() != 0:
        print("Skipped: Swarm across nodes needs root (swarm-nodes).")
        return 0
    if subprocess.run(["docker", "info"], capture_output=True).returncode != 0:
        print("Skipped: the Docker daemon does not answer.")
        return 0
    os.environ["SWARM_NODES_NAME"] = f"bench{os.getpid()}"
    progress(f"3 nodes with {image}")
    up = subprocess.run([NODES, "up", "3", "--image", image], capture_output=True, text=True)
    if up.returncode == CANNOT_START:
        print(f"Skipped: nodes cannot start here: {up.stderr.strip()}")
        return 0
    rows = []
    try:
        if up.returncode != 0:
            raise Failed(f"swarm-nodes up 3: {up.stderr.strip()}")
        env = dict(os.environ, DAQ_IMAGE=image, DAQ_RATE=str(rate), DAQ_NETWORK_DRIVER="overlay")
        subprocess.run([NODES, "deploy", STACK, *FILES], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        manager("docker", "service", "scale", "--detach", f"{STACK}_module={modules}")
        wait_running(modules, [1, 2, 3])
        progress(f"{modules} modules at {rate} Hz across 3 nodes")
        rows.append(("3 nodes", *measure(image, modules, seconds)))
        for i in (2, 3):
            run([NODES, "drain", str(i)])
        wait_running(modules, [1])
        progress(f"{modules} modules at {rate} Hz on node 1 alone")
        rows.append(("1 node (2 and 3 drained)", *measure(image, modules, seconds)))
    except (Failed, subprocess.SubprocessError, json.JSONDecodeError, KeyError) as e:
        print(f"swarm_rate: {e}", file=sys.stderr)
        return 1
    finally:
        subprocess.run([NODES, "down"], capture_output=True)

    asked = modules * rate
    one = rows[1][1]
    print(f"{modules} modules at {rate} Hz, one hybrid each, daqhost on the manager (node 1); "
          "the nodes share this machine's processors.\n")
    print("| Swarm | Events/s, all together | Delivered ÷ asked | ÷ one node | Missing events "
          "| Modules' processor s per s | Nodes' processor s per s |")
    print("|---|---|---|---|---|---|---|")
    for layout, events, missing, module_busy, node_busy in rows:
        print(f"| {layout} | {grouped(events)} | {events / asked:.3f} | "
              f"{events / one if one else 0:.2f} | {grouped(missing)} | "
              f"{'-' if module_busy is None else f'{module_busy:.2f}'} | "
              f"{'-' if node_busy is None else f'{node_busy:.2f}'} |")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
