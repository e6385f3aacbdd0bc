"""The host library of the readout module, bound: the client of a module (ModuleClient), the run
session (RunSession), run statistics (StreamStatistics, RecordedRun) and captures
(CaptureReader, CaptureWriter). Data packets come as numpy arrays in batches (PacketBatch).

The package holds too the test stand (daqhost.stand: modules in network namespaces or
containers behind relays that make network faults, and the scenario player) and the pytest
plugin (daqhost.pytest_plugin, which pytest loads by itself). The compiled binding is loaded at
the first use of one of its names, so that the stand runs where the binding is not built."""

import importlib

__all__ = [
    "MODULE_PORT",
    "Acknowledge",
    "CaptureError",
    "CaptureReader",
    "CaptureWriter",
    "ClientSettings",
    "Endpoint",
    "FollowSettings",
    "HostPace",
    "HybridSettings",
    "ModuleClient",
    "ModuleError",
    "ModuleFigures",
    "ModuleRun",
    "ModuleRunSettings",
    "NoAcknowledge",
    "Outage",
    "PacketBatch",
    "RecordedRun",
    "RecoverySettings",
    "RunSession",
    "RunSettings",
    "StreamDistributions",
    "StreamStatistics",
    "StreamSummary",
    "command_name",
    "error_text",
]


def __getattr__(name: str):
    if name not in __all__:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    binding = importlib.import_module("._daqhost", __name__)
    globals().update((each, getattr(binding, each)) for each in __all__)
    return globals()[name]


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
