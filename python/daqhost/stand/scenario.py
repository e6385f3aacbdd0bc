"""A scenario: the modules of a stand, the faults of its network and of its modules on one
timeline, the host program that runs against them, a seed, and what the run must show.

It is read from YAML (Debian's python3-yaml): comments and lists of events read well there,
and the compose files of the same stand are YAML too. A file that does not read is refused
with the line of the first thing wrong (ScenarioError), before anything is started. Times count
from the host's start, in seconds, and fall within the host's seconds; network faults per
module and direction hold in a window [from, until); module faults happen at a time.
"""

from __future__ import annotations

import dataclasses
import difflib
import re
from dataclasses import dataclass, field

from . import relay
from .stand import MAX_MODULES, ModuleOptions, StandError

DIRECTIONS = relay.DIRECTIONS
MODULE_FAULTS = ("pause", "restart", "kill")
OUTAGE_ENDS = ("recovered", "given up", "left", "ongoing")
# daqhost run's options that a line of its modules file may carry, for that module alone.
MODULE_HOST_OPTIONS = ("--hybrids", "--hybrid", "--mode", "--nadj", "--chips", "--chip-type")


class ScenarioError(Exception):
    def __init__(self, line: int | None, text: str):
        super().__init__(f"line {line}: {text}" if line else text)
        self.line = line


class _Map(dict):
    """A mapping that remembers the line of itself and of each of its keys."""

    line = 0
    lines: dict


class _List(list):
    line = 0
    lines: list


def _plain(node):
    import yaml  # noqa: PLC0415 (a stand brought up from the command line reads no YAML)

    if isinstance(node, yaml.MappingNode):
        value = _Map()
        value.line = node.start_mark.line + 1
        value.lines = {}
        for key_node, value_node in node.value:
            key = _plain(key_node)
            if not isinstance(key, str):
                raise ScenarioError(key_node.start_mark.line + 1, f"the key {key!r} is not a name")
            if key in value:
                raise ScenarioError(key_node.start_mark.line + 1, f"'{key}' is given twice")
            value[key] = _plain(value_node)
            value.lines[key] = key_node.start_mark.line + 1
        return value
    if isinstance(node, yaml.SequenceNode):
        value = _List(_plain(item) for item in node.value)
        value.line = node.start_mark.line + 1
        value.lines = [item.start_mark.line + 1 for item in node.value]
        return value
    return _scalar(node)


def _scalar(node):
    import yaml  # noqa: PLC0415

    loader = yaml.SafeLoader("")
    try:
        return loader.construct_object(node, deep=True)
    finally:
        loader.dispose()


@dataclass
class ModuleGroup:
    count: int = 1
    rate: float | None = None
    efficiency: float | None = None
    mask: str | None = None
    chip: str | None = None
    replay: str | None = None
    # daqhost run's options for these modules alone (MODULE_HOST_OPTIONS, each with its value)
    host_options: list[str] = field(default_factory=list)
    line: int = 0
    # A relay in front even without a network fault (teststand up --relay).
    relay: bool = False
    # The crate its modules run in, one testCrate process: groups of one number share it.
    crate: int | None = None
    common_trigger: bool = False  # the crate's modules triggered by one trigger

    def module_host_options(self) -> list[str]:
        """The group's own options of daqhost run, with the hybrids of its mask unless they
        name hybrids themselves: a stand of one- and two-hybrid modules is then run right."""
        if self.mask is None or "--hybrids" in self.host_options:
            return list(self.host_options)
        hybrids = [str(h) for h, bit in enumerate(reversed(self.mask), start=1) if bit == "1"]
        return ["--hybrids", ",".join(hybrids), *self.host_options] if hybrids else \
            list(self.host_options)


@dataclass
class NetworkFault:
    modules: list[int]
    directions: tuple[str, ...]
    # the relay's parameter name -> value (in its unit, packet numbers a list), and ack_delay
    # in ms
    faults: dict
    start_s: float = 0.0
    end_s: float | None = None
    line: int = 0
    start_line: int = 0


@dataclass
class ModuleFault:
    at_s: float
    module: int
    action: str
    seconds: float | None = None  # of a pause
    line: int = 0
    at_line: int = 0


@dataclass
class Host:
    # argv with {placeholders}; empty: daqhost run with the options below
    command: list[str] = field(default_factory=list)
    seconds: float = 10.0
    options: list[str] = field(default_factory=list)
    monitor: int | None = None
    # How long past its planned end the host may take before it is stopped.
    grace_s: float = 30.0

    @property
    def is_daqhost(self) -> bool:
        return not self.command


@dataclass
class ModuleExpectation:
    modules: list[int]
    # Without it, a module that delivered no event fails every expectation about it.
    sends_nothing: bool = False
    outages: list[str] | None = None
    missing_at_most: int | None = None
    loss_at_most: float | None = None  # a share of the events, 0 to 1
    loss_at_least: float | None = None
    recovered_within: float | None = None  # seconds, each outage; at least one outage
    given_up_within: float | None = None  # seconds from its outage's start
    line: int = 0


@dataclass
class Expectations:
    exit_status: int | None = None
    host_kept_up: bool | None = None
    modules: list[ModuleExpectation] = field(default_factory=list)


@dataclass
class Scenario:
    name: str
    seed: int
    groups: list[ModuleGroup]
    network: list[NetworkFault]
    faults: list[ModuleFault]
    host: Host
    expect: Expectations
    text: str = ""

    @property
    def count(self) -> int:
        return sum(group.count for group in self.groups)

    def module_groups(self) -> list[ModuleGroup]:
        """Module I's settings at index I - 1."""
        return [group for group in self.groups for _ in range(group.count)]

    def relayed_modules(self) -> set[int]:
        """The modules a network fault touches at some time, and those given a relay."""
        return {i for fault in self.network for i in fault.modules} | {
            i for i, group in enumerate(self.module_groups(), start=1) if group.relay}

    def module_options(self) -> list[ModuleOptions]:
        """The stand's modules; a relay in front of each that a network fault touches at any
        time or that is given one, and of no other, whose datagrams then take the shortest
        way."""
        relayed = self.relayed_modules()
        return [ModuleOptions(rate=g.rate, efficiency=g.efficiency, mask=g.mask, chip=g.chip,
                              replay=g.replay, relay=i in relayed, crate=g.crate,
                              common_trigger=g.common_trigger)
                for i, g in enumerate(self.module_groups(), start=1)]

    def relay_args(self) -> list[list[str]]:
        """Each module's relay's options: the faults that hold for the whole run, in the
        scenario's order (the relay keeps the last value for a direction, adds drop lists)."""
        args: list[list[str]] = [[] for _ in range(self.count)]
        for fault in self.network:
            if fault.start_s or fault.end_s is not None:
                continue
            where = "" if len(fault.directions) == 2 else f"{fault.directions[0]}:"
            for name, value in fault.faults.items():
                if name == "ack_delay":  # the control socket's, set when the play begins
                    continue
                text = ",".join(map(str, value)) if isinstance(value, list) else \
                    str(int(value)) if float(value).is_integer() else repr(value)
                for i in fault.modules:
                    args[i - 1] += [f"--{name}", where + text]
        return args

    def as_played(self) -> str:
        """The scenario's own text with the seed it was played with."""
        return f"# played with seed {self.seed}\n{self.text}"


class _Reader:
    """Reads one mapping's keys, each once, and refuses the keys nobody read."""

    def __init__(self, mapping, what: str):
        if not isinstance(mapping, _Map):
            raise ScenarioError(getattr(mapping, "line", None), f"{what} must be a mapping")
        self.mapping = mapping
        self.what = what
        self.seen: set[str] = set()
        self.asked: set[str] = set()

    def line(self, key: str | None = None) -> int:
        return self.mapping.lines.get(key, self.mapping.line) if key else self.mapping.line

    def fail(self, key: str, text: str):
        raise ScenarioError(self.line(key), f"{key}: {text}")

    def has(self, key: str) -> bool:
        self.asked.add(key)
        return key in self.mapping

    def get(self, key: str, default=None):
        self.seen.add(key)
        return self.mapping.get(key, default)

    def number(self, key: str, default=None, low=None, high=None, integer=False):
        value = self.get(key, default)
        if value is None or (value is default and key not in self.mapping):
            return value
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            self.fail(key, f"{value!r} is not a number")
        if integer and not isinstance(value, int):
            self.fail(key, f"{value!r} is not a whole number")
        if low is not None and value < low or high is not None and value > high:
            self.fail(key, f"{value} is not within {low} to {high}")
        return value

    def percent(self, key: str) -> float:
        """'1%', '1 %' or 1: a percentage from 0 to 100."""
        value = self.get(key)
        text = str(value).strip()
        match = re.fullmatch(r"(\d+(?:\.\d+)?)\s*%?", text)
        if isinstance(value, bool) or not match or float(match.group(1)) > 100:
            self.fail(key, f"{value!r} is not a percentage from 0 to 100")
        return float(match.group(1))

    def done(self):
        for key in self.mapping:
            if key not in self.seen:
                near = difflib.get_close_matches(key, sorted(self.seen | self.asked), n=1)
                hint = f"; did you mean '{near[0]}'?" if near else ""
                raise ScenarioError(self.line(key), f"{self.what}: unknown key '{key}'{hint}")


def _module_numbers(reader: _Reader, key: str, count: int) -> list[int]:
    """'all', 3, '9-16', or a list of those: module numbers from 1."""
    value = reader.get(key, "all")
    items = value if isinstance(value, list) else [value]
    numbers: list[int] = []
    for item in items:
        text = str(item).strip()
        if text == "all":
            numbers.extend(range(1, count + 1))
            continue
        match = re.fullmatch(r"(\d+)(?:\s*-\s*(\d+))?", text)
        if isinstance(item, bool) or not match:
            reader.fail(key, f"{item!r} is not a module number, a range like 9-16, or all")
        first, last = int(match.group(1)), int(match.group(2) or match.group(1))
        if not 1 <= first <= last <= count:
            reader.fail(key, f"{text}: the modules are 1 to {count}")
        numbers.extend(range(first, last + 1))
    return sorted(set(numbers))


def _groups(value, line: int) -> list[ModuleGroup]:
    if not isinstance(value, list) or not value:
        raise ScenarioError(line, "modules: give a list of module groups, e.g. '- count: 4'")
    groups = []
    for item in value:
        r = _Reader(item, "a module group")
        group = ModuleGroup(
            count=r.number("count", 1, low=1, high=MAX_MODULES, integer=True),
            rate=r.number("rate", low=0),
            efficiency=r.number("efficiency", low=0, high=1),
            chip=r.get("chip"),
            replay=r.get("replay"),
        )
        mask = r.get("mask")
        if mask is not None:
            text = str(mask)
            if isinstance(mask, bool) or not re.fullmatch(r"[01]{1,4}", text):
                r.fail("mask", f"{mask!r} is not a hybrid mask in binary (e.g. 11 or 1111)")
            group.mask = text
        if group.chip is not None and group.chip not in ("vx4", "ktm"):
            r.fail("chip", f"{group.chip!r} is neither vx4 nor ktm")
        if group.replay is not None and not isinstance(group.replay, str):
            r.fail("replay", "give the path of a capture")
        if r.has("host_options"):
            group.host_options = _module_host_options(r)
            group.line = r.line("host_options")
        for key in ("crate", "common_trigger"):
            if not isinstance(r.get(key, False), bool):
                r.fail(key, f"{r.get(key)!r}: true or false")
        if r.get("common_trigger") and not r.get("crate"):
            r.fail("common_trigger", "a common trigger is a crate's: give the group crate: true")
        group.crate = len(groups) + 1 if r.get("crate") else None
        group.common_trigger = bool(r.get("common_trigger"))
        r.done()
        groups.append(group)
    if sum(g.count for g in groups) > MAX_MODULES:
        raise ScenarioError(line, f"modules: {sum(g.count for g in groups)} modules, at most "
                            f"{MAX_MODULES}")
    return groups


def _module_host_options(r: _Reader) -> list[str]:
    """daqhost run's options for a group's modules: each one of MODULE_HOST_OPTIONS with its
    value, as a line of the modules file takes them."""
    words = r.get("host_options")
    if not isinstance(words, list) or not all(
            isinstance(w, (str, int, float)) and not isinstance(w, bool) for w in words):
        r.fail("host_options", 'give daqhost run\'s options as a list, e.g. [--hybrids, "1,2"]')
    words = [str(w) for w in words]
    if any(not w or any(c.isspace() for c in w) for w in words):
        r.fail("host_options", "a word of them is empty or holds a space: one word an item")
    for option, value in zip(words[::2], words[1::2] + [None]):
        if option not in MODULE_HOST_OPTIONS:
            near = difflib.get_close_matches(option, MODULE_HOST_OPTIONS, n=1)
            r.fail("host_options", f"{option!r} is not one of a module's own options ("
                   f"{', '.join(MODULE_HOST_OPTIONS)})" + (f"; did you mean '{near[0]}'?"
                                                          if near else ""))
        if value is None or value.startswith("--"):
            r.fail("host_options", f"{option} needs its value")
    return words


def _window(r: _Reader) -> tuple[float, float | None]:
    start = r.number("from", 0.0, low=0)
    end = r.number("until", None, low=0)
    if end is not None and end <= start:
        r.fail("until", f"{end} is not after from ({start})")
    return float(start), end


def _items(value, line: int, what: str) -> list:
    """An optional list: nothing when absent, else a list or a refusal naming what it holds."""
    if value is None:
        return []
    if not isinstance(value, list):
        raise ScenarioError(line, f"give a list of {what}")
    return value


def _network(value, line: int, count: int) -> list[NetworkFault]:
    faults = []
    for item in _items(value, line, "network faults"):
        r = _Reader(item, "a network fault")
        modules = _module_numbers(r, "modules", count)
        direction = r.get("direction", "both")
        if direction not in (*DIRECTIONS, "both"):
            r.fail("direction", f"{direction!r}: to-module, from-module or both")
        directions = DIRECTIONS if direction == "both" else (direction,)
        chosen = _relay_faults(r)
        if r.has("ack_delay"):
            chosen["ack_delay"] = float(r.number("ack_delay", low=0))
        if not chosen:
            keys = ", ".join(name.replace("-", "_") for name in _relay_parameters())
            raise ScenarioError(r.line(), f"a network fault names no fault: {keys} or ack_delay")
        start, end = _window(r)
        r.done()
        faults.append(NetworkFault(modules, directions, chosen, start, end, r.line(),
                                   r.line("from")))
    return faults


def _relay_parameters() -> dict[str, dict]:
    try:
        return relay.parameters()
    except StandError as e:
        raise ScenarioError(None, f"network faults are the relay's: {e}") from None


def _relay_faults(r: _Reader) -> dict:
    """The relay's faults a network fault names, each key a parameter of the relay's list
    ("-" written "_"), its value within the list's bounds."""
    chosen: dict = {}
    for name, parameter in _relay_parameters().items():
        key = name.replace("-", "_")
        if r.has(key):
            try:
                chosen[name] = relay.read_value(parameter, r.get(key))
            except ValueError as e:
                r.fail(key, str(e))
    for name in chosen:
        needs = _relay_parameters()[name]["needs"]
        if needs and needs not in chosen:
            r.fail(name.replace("-", "_"), f"it goes with a {needs.replace('-', '_')}")
    return chosen


def _faults(value, line: int, count: int) -> list[ModuleFault]:
    faults = []
    for item in _items(value, line, "module faults"):
        r = _Reader(item, "a module fault")
        if not r.has("at"):
            r.fail("at", "when? (seconds from the host's start)")
        at = float(r.number("at", low=0))
        if not r.has("module") and not r.has("modules"):
            r.fail("module", "which module? (module: 3)")
        key = "module" if r.has("module") else "modules"
        action = r.get("do")
        if action not in MODULE_FAULTS:
            r.fail("do", f"{action!r}: pause, restart or kill")
        seconds = None
        if action == "pause":
            if not r.has("seconds"):
                r.fail("seconds", "a pause needs its length: seconds: 3")
            seconds = float(r.number("seconds", low=0.001))
        modules = _module_numbers(r, key, count)
        r.done()
        faults.extend(ModuleFault(at, module, action, seconds, r.line(), r.line("at"))
                      for module in modules)
    return sorted(faults, key=lambda f: f.at_s)


def _host(value, line: int) -> Host:
    if value is None:
        return Host()
    r = _Reader(value, "host")
    host = Host()
    command = r.get("command")
    if command is not None:
        if isinstance(command, str):
            command = command.split()
        if not isinstance(command, list) or not command or not all(
                isinstance(word, (str, int, float)) for word in command):
            r.fail("command", "give the program and its arguments as a list")
        host.command = [str(word) for word in command]
    host.seconds = float(r.number("seconds", 10.0, low=0.1))
    options = r.get("options", [])
    if not isinstance(options, list):
        r.fail("options", "give daqhost run's options as a list")
    host.options = [str(word) for word in options]
    if host.command and options:
        r.fail("options", "options are daqhost run's; a command of your own carries its own")
    monitor = r.number("monitor", None, low=1, high=65535, integer=True)
    host.monitor = monitor
    host.grace_s = float(r.number("grace", 30.0, low=0))
    r.done()
    return host


def _expect(value, line: int, count: int) -> Expectations:
    expect = Expectations()
    if value is None:
        return expect
    r = _Reader(value, "expect")
    expect.exit_status = r.number("exit_status", None, low=0, high=255, integer=True)
    kept_up = r.get("host_kept_up")
    if kept_up is not None and not isinstance(kept_up, bool):
        r.fail("host_kept_up", f"{kept_up!r}: true or false")
    expect.host_kept_up = kept_up
    modules = r.get("modules", [])
    if not isinstance(modules, list):
        r.fail("modules", "give a list, e.g. '- modules: 2' with 'outages: [recovered]'")
    for item in modules:
        m = _Reader(item, "a module expectation")
        e = ModuleExpectation(_module_numbers(m, "modules", count), line=m.line())
        if m.has("outages"):
            outages = m.get("outages")
            if not isinstance(outages, list) or any(end not in OUTAGE_ENDS for end in outages):
                m.fail("outages", f"a list of how each outage ends: {', '.join(OUTAGE_ENDS)}")
            e.outages = list(outages)
        sends_nothing = m.get("sends_nothing", False)
        if not isinstance(sends_nothing, bool):
            m.fail("sends_nothing", f"{sends_nothing!r}: true or false")
        e.sends_nothing = sends_nothing
        e.missing_at_most = m.number("missing_at_most", None, low=0, integer=True)
        for key in ("loss_at_most", "loss_at_least"):
            if m.has(key):
                setattr(e, key, m.percent(key) / 100)
        e.recovered_within = m.number("recovered_within", None, low=0)
        e.given_up_within = m.number("given_up_within", None, low=0)
        m.done()
        expect.modules.append(e)
    r.done()
    return expect


def parse(text: str, name: str = "scenario") -> Scenario:
    """The scenario in the text; ScenarioError, with its line, when it does not read."""
    import yaml  # noqa: PLC0415

    try:
        root = _plain(yaml.compose(text, Loader=yaml.SafeLoader))
    except yaml.MarkedYAMLError as e:
        mark = e.problem_mark or e.context_mark
        raise ScenarioError(mark.line + 1 if mark else None, str(e.problem or e)) from None
    except yaml.YAMLError as e:
        raise ScenarioError(None, str(e)) from None
    r = _Reader(root if root is not None else _Map(), "the scenario")
    seed = r.number("seed", 1, low=0, high=2**63 - 1, integer=True)
    if not r.has("modules"):
        raise ScenarioError(1, "modules: missing (a list of module groups, e.g. '- count: 4')")
    groups = _groups(r.get("modules"), r.line("modules"))
    count = sum(g.count for g in groups)
    scenario = Scenario(
        name=name,
        seed=seed,
        groups=groups,
        network=_network(r.get("network"), r.line("network"), count),
        faults=_faults(r.get("faults"), r.line("faults"), count),
        host=_host(r.get("host"), r.line("host")),
        expect=_expect(r.get("expect"), r.line("expect"), count),
        text=text,
    )
    r.done()
    _within_the_run(scenario)
    return scenario


def _within_the_run(s: Scenario):
    """Refuses what would happen at or after the host's end: it would never be applied."""
    end = s.host.seconds
    for fault in s.faults:
        if fault.at_s >= end:
            raise ScenarioError(fault.at_line, f"at: {fault.at_s:g} s is not within the run "
                                f"(host: seconds: {end:g})")
    for fault in s.network:
        if fault.start_s >= end:
            raise ScenarioError(fault.start_line, f"from: {fault.start_s:g} s is not within "
                                f"the run (host: seconds: {end:g})")
    for group in s.groups:
        if s.host.command and group.host_options:
            raise ScenarioError(group.line, "host_options: they are daqhost run's; a command "
                                "of your own carries its own")


def load(path: str, seed: int | None = None) -> Scenario:
    try:
        with open(path, encoding="utf-8") as file:
            text = file.read()
    except OSError as e:
        raise ScenarioError(None, f"{path}: {e.strerror}") from None
    name = re.sub(r"\.ya?ml$", "", path.rsplit("/", 1)[-1])
    scenario = parse(text, name)
    if seed is not None:
        scenario = dataclasses.replace(scenario, seed=seed)
    return scenario
