// One module's part in a run, as the reading of its datagrams makes it (live by a RunSession,
// or from its capture by a RecordedRun), and the figures of a run's summary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "daqhost/ModuleRecovery.h"
#include "daqhost/StreamStatistics.h"
#include "protocol/Export.h"

namespace daq {

// A module's figures in the summary of a run, or the total of many.
struct DAQ_API ModuleFigures {
    std::string hybrids;  // "1,2"
    uint64_t events = 0;  // the highest event number of its streams
    uint64_t packets = 0;
    uint64_t missing = 0;
    // The mean of its streams', each over the spans of its starts (outages left out).
    std::optional<double> trigger_rate_hz;
    uint64_t malformed = 0;
    uint64_t kernel_drops = 0;
    uint64_t acknowledges = 0;
    uint64_t missing_acknowledges = 0;
    uint64_t retries = 0;
    size_t outages = 0;
    // The events its outages lost, as their estimates give them (not in `missing`).
    uint64_t outage_events = 0;
    uint64_t after_give_up = 0;

    size_t modules = 0;  // in a total: how many, how many ran, how many failed
    size_t started = 0;
    size_t failed = 0;

    void add(const ModuleFigures& f);
    // Adds a module's figures to a total, and counts it.
    void add_module(const ModuleFigures& f, bool started, bool failed);
};

// One module's part in the run.
struct DAQ_API ModuleRun {
    StreamStatistics statistics;
    // It was sent the run's start: its data counts from then on (whatever an earlier run sent
    // before the stop ahead of the start is not this run's).
    bool counting = false;
    // Every request so far acknowledged with error 0: the session sends it the next one.
    bool live = true;
    bool started = false;  // it acknowledged the run's start
    // The request that left the module out, or whose acknowledge did not come; empty if none.
    std::string failed_at;
    uint64_t acknowledges = 0;
    uint64_t missing_acknowledges = 0;
    uint64_t retries = 0;
    // Its outages and how each ended.
    ModuleRecovery recovery;
    // Datagrams it sent after it was given up or had left, and those of its old start once it
    // was back: not in its figures.
    uint64_t after_give_up = 0;
    // The run's time it joined (nothing for a module there from the start) and the time it
    // left, if it has.
    std::optional<double> joined_s;
    std::optional<double> left_s;

    // Its figures, with the datagrams its socket dropped (a live client knows those).
    ModuleFigures figures(uint64_t kernel_drops = 0) const;
    // Whether a request that fails now leaves it out of the run: not once it failed, nor while
    // it is in an outage, given up or gone. Live and read back alike.
    bool may_fail() const;
};

}  // namespace daq
