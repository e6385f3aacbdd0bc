// The summary of a run, as a table or as JSON, made one way whether the run is live (a
// RunSession) or read back from its capture (a RecordedRun): what daqhost run prints when its
// run ends, daqhost stats prints from a capture, and the monitor shows. One module gets a row
// per hybrid; many get a row per module and their total. Each module's outages are part of it,
// and, of a live run, how far the host itself fell behind. In JSON, the single module's object
// carries the figures each entry of many carries, so that programs read one shape. Its columns
// and keys are those of run_figures().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "daqhost/HostPace.h"
#include "daqhost/RecordedRun.h"
#include "daqhost/RunSession.h"
#include "protocol/Export.h"

namespace daq {

struct SummaryModule {
    std::string name;  // "ADDR:PORT"
    const ModuleRun* run = nullptr;
    ModuleFigures figures;
};

struct DAQ_API RunSummary {
    std::vector<SummaryModule> modules;
    ModuleFigures total;
    // How many modules run at the end (RunReader::running).
    size_t running = 0;
    double seconds = 0;
    // When the run started (its first start request), in seconds since the Unix epoch, if it
    // did: every time of the summary counts from it.
    std::optional<double> start_epoch_s;
    // How far the host fell behind; known of a live run only.
    std::optional<HostPace> host;
    // The capture the session was recorded in or read from, if any: its file and datagrams,
    // and the line the table ends with.
    std::string capture;
    uint64_t capture_records = 0;
    std::string capture_note;

    // The summary of a session so far (of its run, once it has ended); it refers to the
    // session's modules, and holds while the session lives.
    static RunSummary of(const RunSession& session);
    // The summary of a run read back from its capture `path`.
    static RunSummary of(const RecordedRun& run, const std::string& path);

    // The table, lines ending in "\n".
    std::string text() const;
    // The JSON object, indented by two.
    std::string json() const;
};

}  // namespace daq
