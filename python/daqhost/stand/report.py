"""The report of a played scenario: report.txt (how far the host fell behind, what each module
delivered by daqhost's figures, what was applied when, each expectation met or not),
report.json (the same for programs) and timeline.png (each module's event rate against the
faults applied to it, drawn with matplotlib). All of them, and timeline.tsv, count seconds from
the run's start as daqhost's summary does, or from the host's start when it gives none.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

from . import scenario as scenario_


def module_address(i: int) -> str:
    return f"11.0.0.{10 + i}:10000"


def module_number(address: str) -> int:
    return int(address.split(":")[0].rsplit(".", 1)[1]) - 10


def modules_of(summary: dict | None) -> list[dict]:
    """daqhost's module objects: under "modules" with many, the summary itself with one."""
    if not summary:
        return []
    if "modules" in summary:
        return summary["modules"]
    return [summary] if "module" in summary else []


def figures(module: dict) -> dict:
    """A module's figures as daqhost gives them, and the share of its events lost: its missing
    packets and the events its outages lost over all it should have sent. An event is a packet
    of each of its hybrids, so an outage's events count once for each."""
    hybrids = max(len(module.get("hybrids", [])), 1)
    missing = module["missing"]
    outage_packets = module.get("outage_events", 0) * hybrids
    should = module["packets"] + missing + outage_packets
    return {"events": module["events"],
            "packets": module["packets"],
            "missing": missing,
            "outage_events": module.get("outage_events", 0),
            "loss": (missing + outage_packets) / should if should else 0.0,
            "trigger_rate_hz": module.get("trigger_rate_hz"),
            "outages": module.get("outages", []),
            "given_up": module.get("given_up", False),
            "kernel_drops": module.get("kernel_drops", 0)}


def outage_text(outage: dict) -> str:
    return f"{outage['end']} {outage['seconds']:.2f} s"


def clock(summary: dict | None, host_start_epoch_s: float) -> dict:
    """The report's 0 s: the run's start when daqhost says when it was, else the host's."""
    run_start = (summary or {}).get("run_start_epoch_s")
    return {"from": "run" if run_start is not None else "host",
            "host_start_epoch_s": host_start_epoch_s,
            "run_start_epoch_s": run_start,
            "run_after_host_s": run_start - host_start_epoch_s if run_start is not None
            else None}


def on_clock(rows: list[dict], when: dict) -> list[dict]:
    """The timeline's rows (seconds from the host's start) in seconds from the report's 0 s."""
    shift = when["run_after_host_s"] or 0.0
    return [{**row, "seconds": round(row["seconds"] - shift, 3)} for row in rows]


def write_timeline(path: Path, rows: list[dict]):
    with open(path, "w") as file:
        file.write("seconds\twall_clock\tmodule\twhat\tresult\n")
        for row in rows:
            file.write("\t".join(str(row[k]) for k in
                                 ("seconds", "wall_clock", "module", "what", "result")) + "\n")


def _module_results(want: scenario_.ModuleExpectation, got: dict | None, silent_ok: bool):
    """(expectation, met, seen) of one module. Without figures, or without a single event
    where the scenario does not say it sends none, nothing about it holds."""
    if got is None:
        never, why = True, "no figures from the host"
    else:
        never = got["events"] == 0 and got["packets"] == 0
        why = "no events: it never ran"
    if want.sends_nothing:
        yield "sends nothing", bool(got) and never, \
            f"{got['events']} events, {got['packets']} packets" if got else why
    blocked = got is None or never and not silent_ok

    def judged(text, met, seen):
        return (text, False, why) if blocked else (text, met, seen)

    g = got or {"outages": [], "missing": 0, "loss": 0.0}
    ends = [o["end"] for o in g["outages"]]
    outages = ", ".join(outage_text(o) for o in g["outages"]) or "no outage"
    if want.outages is not None:
        yield judged(f"outages {', '.join(want.outages) or 'none'}", ends == want.outages,
                     ", ".join(ends) or "none")
    if want.recovered_within is not None:
        yield judged(f"every outage recovered within {want.recovered_within:g} s (one at least)",
                     bool(ends) and all(o["end"] == "recovered"
                                        and o["seconds"] <= want.recovered_within
                                        for o in g["outages"]), outages)
    if want.given_up_within is not None:
        yield judged(f"given up within {want.given_up_within:g} s of its outage's start",
                     any(o["end"] == "given up" and o["seconds"] <= want.given_up_within
                         for o in g["outages"]), outages)
    if want.missing_at_most is not None:
        yield judged(f"at most {want.missing_at_most} missing",
                     g["missing"] <= want.missing_at_most, f"{g['missing']} missing")
    for bound, most in ((want.loss_at_most, True), (want.loss_at_least, False)):
        if bound is not None:
            lost = g["loss"]
            yield judged(f"at {'most' if most else 'least'} {bound:.2%} of its events lost",
                         lost <= bound if most else lost >= bound, f"{lost:.3%} lost")


def check(s: scenario_.Scenario, host_status: int | None, summary: dict | None) -> list[dict]:
    """Every expectation with whether it holds and what was seen."""
    results = []
    e = s.expect
    if e.exit_status is not None:
        results.append({"expectation": f"the host exits with status {e.exit_status}",
                        "met": host_status == e.exit_status, "seen": f"status {host_status}"})
    if e.host_kept_up is not None:
        lag = (summary or {}).get("host")
        results.append({"expectation": "the host keeps up" if e.host_kept_up
                        else "the host falls behind",
                        "met": lag is not None and lag["kept_up"] == e.host_kept_up,
                        "seen": lag_text(lag) if lag else "no figures of the host's lag"})
    by_address = {m["module"]: m for m in modules_of(summary)}
    silent = {i for want in e.modules if want.sends_nothing for i in want.modules}
    for want in e.modules:
        for i in want.modules:
            module = by_address.get(module_address(i))
            got = figures(module) if module else None
            for text, met, seen in _module_results(want, got, i in silent):
                results.append({"expectation": f"module {i}: {text}", "met": met, "seen": seen})
    return results


def lag_text(lag: dict) -> str:
    drops = lag["kernel_drops"]
    return (f"{'kept up' if lag['kept_up'] else 'did NOT keep up'}: its loop at most "
            f"{lag['lateness_max_s']:.3f} s late, its oldest datagram at most "
            f"{lag['backlog_max_s']:.3f} s old, at most {lag['queued_max']} datagrams a turn "
            f"from one module, {drops or 'none'} dropped by the kernel")


# The width of a bin of the event rates drawn, in seconds.
BIN_S = 0.25


def event_rates(capture: Path, count: int, seconds: float, start_epoch_s: float):
    """Per module (rows from 0 for module 1), the events per second of its busiest hybrid in
    bins of BIN_S from the report's 0 s; nothing when the compiled binding (not built, or
    numpy missing) or the capture is missing."""
    try:
        import numpy  # noqa: PLC0415

        from .. import CaptureError, CaptureReader  # noqa: PLC0415 (the compiled binding)
    except ImportError:
        return None

    if not capture.is_file():
        return None
    slots = int(seconds / BIN_S) + 8
    counts = numpy.zeros((count, slots, 256), dtype=numpy.int64)
    start_ns = int(start_epoch_s * 1e9)
    try:
        for batch in CaptureReader(str(capture)):
            packets = batch.packets
            module = (packets["source_address"] & 0xFF).astype(numpy.int64) - 11
            slot = (packets["time_ns"] - start_ns) // int(BIN_S * 1e9)
            keep = (module >= 0) & (module < count) & (slot >= 0) & (slot < slots)
            numpy.add.at(counts, (module[keep], slot[keep], packets["stream"][keep]), 1)
    except CaptureError:
        pass
    return counts.max(axis=2) / BIN_S


def picture(s: scenario_.Scenario, out: Path, when: dict):
    import matplotlib  # noqa: PLC0415

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt  # noqa: PLC0415

    zero = when["run_start_epoch_s"] or when["host_start_epoch_s"]
    # The scenario's times count from the host's start.
    shift = when["run_after_host_s"] or 0.0
    rates = event_rates(out / "host.pcap", s.count, s.host.seconds, zero)
    end = s.host.seconds
    figure, axes = plt.subplots(s.count, 1, sharex=True, squeeze=False,
                                figsize=(10, 0.9 + 0.75 * s.count))
    for i in range(1, s.count + 1):
        ax = axes[i - 1][0]
        if rates is not None:
            ax.step([k * BIN_S for k in range(rates.shape[1])], rates[i - 1], where="post",
                    color="tab:blue", linewidth=1)
        for fault in s.network:
            if i in fault.modules:
                until = fault.end_s - shift if fault.end_s is not None else end
                color = "tab:green" if set(fault.faults) == {"ack_delay"} else "tab:orange"
                ax.axvspan(fault.start_s - shift, until, color=color, alpha=0.2, linewidth=0)
        for fault in s.faults:
            if fault.module != i:
                continue
            if fault.action == "pause":
                ax.axvspan(fault.at_s - shift, fault.at_s - shift + fault.seconds,
                           color="tab:red", alpha=0.3, linewidth=0)
            else:
                ax.axvline(fault.at_s - shift,
                           color="tab:red" if fault.action == "kill" else "tab:purple",
                           linewidth=1.5)
        ax.set_ylabel(f"{i}", rotation=0, labelpad=12)
        ax.set_xlim(0, end)
        ax.tick_params(labelsize=7)
    axes[-1][0].set_xlabel(f"seconds from the {when['from']}'s start")
    figure.suptitle(f"{s.name}: events per second of each module; orange network faults, green "
                    "acknowledge delays, red pauses and kills, purple restarts", fontsize=9)
    figure.tight_layout()
    figure.savefig(out / "timeline.png", dpi=80)
    plt.close(figure)


def clock_text(when: dict) -> str:
    if when["from"] == "run":
        return (f"the run started {when['run_after_host_s']:.3f} s after the host; times count "
                "from the run's start")
    return "no run start from the host; times count from the host's start"


def module_rows(summary: dict | None) -> list[dict]:
    """Each module's figures for report.json, by module number."""
    rows = [{"module": module_number(m["module"]), "address": m["module"], **figures(m)}
            for m in modules_of(summary)]
    return sorted(rows, key=lambda row: row["module"])


def text(s: scenario_.Scenario, host_status, summary, rows, results, when: dict) -> str:
    lines = [f"scenario {s.name}, seed {s.seed}: {s.count} modules, the host "
             f"{'daqhost' if s.host.is_daqhost else s.host.command[0]} for {s.host.seconds:g} s, "
             f"exit status {host_status}", clock_text(when)]
    lag = (summary or {}).get("host")
    if lag:
        lines.append(f"the host {lag_text(lag)}")
    lines.append("")
    modules = module_rows(summary)
    if modules:
        lines.append(f"{'module':<8}{'address':<18}{'events':>9}{'Hz':>9}{'missing':>9}"
                     f"{'outage':>9}{'lost':>8}  outages")
        for f in modules:
            rate = f"{f['trigger_rate_hz']:.1f}" if f["trigger_rate_hz"] is not None else "-"
            outages = ", ".join(outage_text(o) for o in f["outages"]) or "-"
            lines.append(f"{f['module']:<8}{f['address']:<18}{f['events']:>9}{rate:>9}"
                         f"{f['missing']:>9}{f['outage_events']:>9}{f['loss']:>8.2%}  {outages}")
        lines.append("")
    lines.append("applied (seconds, wall clock):")
    for row in rows:
        lines.append(f"  {row['seconds']:8.3f}  {row['wall_clock']}  module {row['module']}: "
                     f"{row['what']}: {row['result']}")
    lines.append("")
    if results:
        lines.append("expectations:")
        for r in results:
            lines.append(f"  {'met    ' if r['met'] else 'NOT MET'}  {r['expectation']} "
                         f"(seen: {r['seen']})")
        held = sum(r["met"] for r in results)
        lines.append(f"{held} of {len(results)} expectations met")
    else:
        lines.append("no expectations")
    if lag and not lag["kept_up"]:
        lines.append("the host did not keep up: what the modules seem to have lost may be "
                     "the host's own falling behind, not theirs")
    return "\n".join(lines) + "\n"


def write(s: scenario_.Scenario, out: Path, host_status: int | None, rows: list[dict],
          host_start_epoch_s: float) -> int:
    """Writes the report and timeline.tsv on the report's clock; 0 when every expectation
    holds, else 1."""
    summary = None
    if s.host.is_daqhost:
        try:
            summary = json.loads((out / "host.json").read_text())
        except (OSError, ValueError):
            summary = None
    when = clock(summary, host_start_epoch_s)
    rows = on_clock(rows, when)
    write_timeline(out / "timeline.tsv", rows)
    results = check(s, host_status, summary)
    if s.expect.modules and summary is None:
        results.append({"expectation": "daqhost's summary to check the modules against",
                        "met": False, "seen": "none (see host.log)"})
    report = text(s, host_status, summary, rows, results, when)
    (out / "report.txt").write_text(report)
    (out / "report.json").write_text(json.dumps(
        {"scenario": s.name, "seed": s.seed, "host_status": host_status, "clock": when,
         "host": (summary or {}).get("host"), "modules": module_rows(summary), "applied": rows,
         "expectations": results, "met": all(r["met"] for r in results)}, indent=2) + "\n")
    try:
        picture(s, out, when)
    except ImportError:
        print("teststand: no picture of the timeline: python3-matplotlib is missing",
              file=sys.stderr)
    print(report, end="")
    return 0 if all(r["met"] for r in results) else 1
