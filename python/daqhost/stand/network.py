"""The stand's network, by netlink: a host namespace holding a bridge, and a namespace for each
module joined to it by a veth pair; none of it in the machine's own namespace. pyroute2 takes a
quarter of a second to import: it is imported where the network is touched."""

import os

HOST_ADDRESS = "11.0.0.1"
PORT = 10000


def module_address(i: int) -> str:
    return f"11.0.0.{10 + i}"


def serving_address(i: int) -> str:
    """Where the module serves when a relay takes its usual address."""
    return f"11.128.0.{i}"


def _up(ns, ifname: str) -> int:
    index = ns.link_lookup(ifname=ifname)[0]
    ns.link("set", index=index, state="up")
    return index


def make_host(name: str) -> None:
    from pyroute2 import NetNS

    with NetNS(name, flags=os.O_CREAT | os.O_EXCL) as host:
        _up(host, "lo")
        host.link("add", ifname="br0", kind="bridge")
        host.addr("add", index=_up(host, "br0"), address=HOST_ADDRESS, prefixlen=8)


def make_module(host_name: str, name: str, i: int, relay: bool) -> None:
    from pyroute2 import NetNS

    with NetNS(name, flags=os.O_CREAT | os.O_EXCL) as module, NetNS(host_name, flags=0) as host:
        host.link("add", ifname=f"m{i}", kind="veth", peer={"ifname": "eth0", "net_ns_fd": name})
        host.link("set", index=_up(host, f"m{i}"), master=host.link_lookup(ifname="br0")[0])
        _up(module, "lo")
        eth0 = _up(module, "eth0")
        module.addr("add", index=eth0, address=module_address(i), prefixlen=8)
        if relay:
            module.addr("add", index=eth0, address=serving_address(i), prefixlen=32)


def exists(name: str) -> bool:
    return os.path.exists(f"/run/netns/{name}")


def remove(names: list[str]) -> None:
    from pyroute2 import netns

    for name in filter(exists, names):
        netns.remove(name)


def pids_in(names: list[str]) -> list[int]:
    from pyroute2 import netns

    found = netns.ns_pids()
    return [pid for name in names for pid in found.get(name, [])]


def entering(name: str):
    """What moves the calling thread into the namespace: a child's preexec_fn, say (pyroute2
    is imported before the fork)."""
    from pyroute2 import netns

    return lambda: netns.setns(name, flags=0)
