// What the monitor shows at one moment: a run's snapshot, which the host library makes.
#pragma once

#include "daqhost/RunSnapshot.h"

using MonitorSnapshot = daq::RunSnapshot;

inline MonitorSnapshot make_snapshot(const daq::RunSummary& summary, uint64_t sequence, bool done) {
    return daq::RunSnapshot::of(summary, sequence, done);
}
