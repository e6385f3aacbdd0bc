"""The report of a played scenario: report.txt (what each module delivered, what was applied
when, each expectation met or not), report.json (the same for programs) and timeline.png (each
module's event rate against the faults applied to it, drawn with matplotlib).
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

from . import scenario as scenario_

HERE = Path(__file__).resolve().parent


def module_address(i: int) -> str:
    return f"11.0.0.{10 + i}:10000"


def figures(module: dict) -> dict:
    """A module's figures from daqhost's summary: events (the most any hybrid delivered),
    missing, the share of events lost, the trigger rate, the ends of its outages."""
    hybrids = module.get("hybrids", [])
    packets = sum(h["packets"] for h in hybrids)
    missing = sum(h["missing"] for h in hybrids)
    rates = [h["trigger_rate_hz"] for h in hybrids if h.get("trigger_rate_hz") is not None]
    return {"events": max((h["packets"] for h in hybrids), default=0),
            "missing": missing,
            "loss": missing / (packets + missing) if packets + missing else 0.0,
            "rate_hz": sum(rates) / len(rates) if rates else None,
            "outages": [o["end"] for o in module.get("outages", [])],
            "given_up": module.get("given_up", False)}


def check(s: scenario_.Scenario, host_status: int | None, summary: dict | None) -> list[dict]:
    """Every expectation with whether it holds and what was seen."""
    results = []
    e = s.expect
    if e.exit_status is not None:
        results.append({"expectation": f"the host exits with status {e.exit_status}",
                        "met": host_status == e.exit_status, "seen": f"status {host_status}"})
    by_address = {m["module"]: m for m in (summary or {}).get("modules", [])}
    for want in e.modules:
        for i in want.modules:
            module = by_address.get(module_address(i))
            got = figures(module) if module else None

            def result(text: str, met: bool, seen: str):
                results.append({"expectation": f"module {i}: {text}", "met": met,
                                "seen": seen if got else "no figures from the host"})

            if want.outages is not None:
                text = ", ".join(want.outages) or "none"
                result(f"outages {text}", bool(got) and got["outages"] == want.outages,
                       ", ".join(got["outages"]) or "none" if got else "")
            if want.missing_at_most is not None:
                result(f"at most {want.missing_at_most} missing",
                       bool(got) and got["missing"] <= want.missing_at_most,
                       f"{got['missing']} missing" if got else "")
            if want.loss_at_most is not None:
                result(f"at most {want.loss_at_most:.2%} of its events lost",
                       bool(got) and got["loss"] <= want.loss_at_most,
                       f"{got['loss']:.3%} lost" if got else "")
    return results


# The width of a bin of the event rates drawn, in seconds.
BIN_S = 0.25


def event_rates(capture: Path, count: int, seconds: float, start_epoch_s: float):
    """Per module (rows from 0 for module 1), the events per second of its busiest hybrid in
    bins of BIN_S from the host's start; nothing when the daqhost package or the capture is
    missing."""
    try:
        import daqhost  # noqa: PLC0415
    except ImportError:
        sys.path.insert(0, str(HERE.parent.parent.parent / "build" / "python"))
        try:
            import daqhost  # noqa: PLC0415
        except ImportError:
            return None
    import numpy  # noqa: PLC0415

    if not capture.is_file():
        return None
    slots = int(seconds / BIN_S) + 8
    counts = numpy.zeros((count, slots, 256), dtype=numpy.int64)
    start_ns = int(start_epoch_s * 1e9)
    try:
        for batch in daqhost.CaptureReader(str(capture)):
            packets = batch.packets
            module = (packets["source_address"] & 0xFF).astype(numpy.int64) - 11
            slot = (packets["time_ns"] - start_ns) // int(BIN_S * 1e9)
            keep = (module >= 0) & (module < count) & (slot >= 0) & (slot < slots)
            numpy.add.at(counts, (module[keep], slot[keep], packets["stream"][keep]), 1)
    except daqhost.CaptureError:
        pass
    return counts.max(axis=2) / BIN_S


def picture(s: scenario_.Scenario, out: Path, start_epoch_s: float):
    import matplotlib  # noqa: PLC0415

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt  # noqa: PLC0415

    rates = event_rates(out / "host.pcap", s.count, s.host.seconds, start_epoch_s)
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
                ax.axvspan(fault.start_s, fault.end_s if fault.end_s is not None else end,
                           color="tab:orange", alpha=0.2, linewidth=0)
        for fault in s.faults:
            if fault.module != i:
                continue
            if fault.action == "pause":
                ax.axvspan(fault.at_s, fault.at_s + fault.seconds, color="tab:red", alpha=0.3,
                           linewidth=0)
            else:
                ax.axvline(fault.at_s, color="tab:red" if fault.action == "kill" else "tab:purple",
                           linewidth=1.5)
        ax.set_ylabel(f"{i}", rotation=0, labelpad=12)
        ax.set_xlim(0, end)
        ax.tick_params(labelsize=7)
    axes[-1][0].set_xlabel("seconds from the host's start")
    figure.suptitle(f"{s.name}: events per second of each module; orange network faults, red "
                    "pauses and kills, purple restarts", fontsize=9)
    figure.tight_layout()
    figure.savefig(out / "timeline.png", dpi=80)
    plt.close(figure)


def text(s: scenario_.Scenario, host_status, summary, rows, results) -> str:
    lines = [f"scenario {s.name}, seed {s.seed}: {s.count} modules, the host "
             f"{'daqhost' if s.host.is_daqhost else s.host.command[0]} for {s.host.seconds:g} s, "
             f"exit status {host_status}", ""]
    if summary:
        lines.append(f"{'module':<8}{'address':<18}{'events':>9}{'Hz':>9}{'missing':>9}"
                     f"{'lost':>8}  outages")
        for m in summary.get("modules", []):
            f = figures(m)
            i = int(m["module"].split(":")[0].rsplit(".", 1)[1]) - 10
            rate = f"{f['rate_hz']:.1f}" if f["rate_hz"] is not None else "-"
            lines.append(f"{i:<8}{m['module']:<18}{f['events']:>9}{rate:>9}{f['missing']:>9}"
                         f"{f['loss']:>8.2%}  {', '.join(f['outages']) or '-'}")
        lines.append("")
    lines.append("applied (seconds into the run, wall clock):")
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
    return "\n".join(lines) + "\n"


def write(s: scenario_.Scenario, out: Path, host_status: int | None, rows: list[dict],
          start_epoch_s: float) -> int:
    """Writes the report; 0 when every expectation holds, else 1."""
    summary = None
    if s.host.is_daqhost:
        try:
            summary = json.loads((out / "host.json").read_text())
        except (OSError, ValueError):
            summary = None
    results = check(s, host_status, summary)
    if s.expect.modules and summary is None:
        results.append({"expectation": "daqhost's summary to check the modules against",
                        "met": False, "seen": "none (see host.log)"})
    report = text(s, host_status, summary, rows, results)
    (out / "report.txt").write_text(report)
    (out / "report.json").write_text(json.dumps(
        {"scenario": s.name, "seed": s.seed, "host_status": host_status, "applied": rows,
         "expectations": results, "met": all(r["met"] for r in results)}, indent=2) + "\n")
    try:
        picture(s, out, start_epoch_s)
    except ImportError:
        print("teststand: no picture of the timeline: python3-matplotlib is missing",
              file=sys.stderr)
    print(report, end="")
    return 0 if all(r["met"] for r in results) else 1
