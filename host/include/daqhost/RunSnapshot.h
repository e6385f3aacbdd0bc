// A run's figures at one moment, in the three forms a live view of it serves: the summary as
// JSON (as `daqhost run --json` prints it), the figures of daqhost's monitor page (JSON: the
// totals, each module's counts, state, trigger rate and last outage and, per hybrid, the
// summary's figures with its channels' pedestal means and sigmas, the hit map and the
// amplitude histogram from the streams' live view, and how far the host fell behind), and the
// metrics in the Prometheus text format (run_metrics). Made on the thread that receives, then
// only read: each form is made once however many readers there are.
#pragma once

#include <cstdint>
#include <string>

#include "daqhost/RunSummary.h"
#include "protocol/Export.h"

namespace daq {

struct DAQ_API RunSnapshot {
    uint64_t sequence = 0;  // counts the snapshots of one run from 1
    std::string page;
    std::string status;
    std::string metrics;

    // `done`: the run (or the replay of a capture) has ended; the figures will not change.
    static RunSnapshot of(const RunSummary& summary, uint64_t sequence, bool done);
};

}  // namespace daq
