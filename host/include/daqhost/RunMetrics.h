// The figures of a run in the Prometheus text format (version 0.0.4), so that a host program can
// serve them to a scraper as daqhost's monitor does at /metrics: per module its events,
// malformed datagrams, drops, acknowledges, missing ones, retries and outages, and whether it
// was left out; per module and hybrid the figures of its stream's summary; of a live run, how
// far the host fell behind. A figure a stream does not have yet (a trigger rate before two
// packets, say) is left out rather than given as 0.
#pragma once

#include <string>

#include "daqhost/RunSummary.h"
#include "protocol/Export.h"

namespace daq {

// Each family's HELP and TYPE lines, then its samples, labelled module="ADDR:PORT" and, for
// the streams, hybrid="N".
DAQ_API std::string run_metrics(const RunSummary& summary);

}  // namespace daq
