// What the monitor shows at one moment: made on the thread that receives, from the run's
// summary and its streams' live view, and then only read by the monitor's HTTP threads. It
// holds the page's figures (JSON), the status (the summary as `run --json` prints it) and the
// metrics in the Prometheus text format, each made once however many browsers read them.
#pragma once

#include <cstdint>
#include <string>

#include "daqhost/RunSummary.h"

struct MonitorSnapshot {
    uint64_t sequence = 0;  // counts the snapshots of one run from 1
    std::string page;
    std::string status;
    std::string metrics;
};

// `done`: the run (or the replay of a capture) has ended; the figures will not change.
MonitorSnapshot make_snapshot(const daq::RunSummary& summary, uint64_t sequence, bool done);
