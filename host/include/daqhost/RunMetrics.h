// The figures of a run in the Prometheus text format (version 0.0.4), so that a host program can
// serve them to a scraper as daqhost's monitor does at /metrics: each figure of run_figures()
// that has a family, per module and hybrid if streams have it, else per module; whether each
// module was left out; of a live run, how far the host fell behind. A figure not measured yet
// (a trigger rate before two packets, say) is left out rather than given as 0.
#pragma once

#include <string>

#include "daqhost/RunSummary.h"
#include "protocol/Export.h"

namespace daq {

// Each family's HELP and TYPE lines, then its samples, labelled module="ADDR:PORT" and, for
// the streams, hybrid="N".
DAQ_API std::string run_metrics(const RunSummary& summary);

}  // namespace daq
