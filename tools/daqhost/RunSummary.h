// The summary of a run, printed as a table or as JSON: what daqhost run prints when its run
// ends and daqhost stats prints from a capture. One module gets a row per hybrid; many get a
// row per module and their total.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "daqhost/RecordedRun.h"
#include "daqhost/RunSession.h"

struct SummaryModule {
    std::string name;  // "ADDR:PORT"
    const daq::ModuleRun* run = nullptr;
    daq::ModuleFigures figures;
};

struct RunSummary {
    std::vector<SummaryModule> modules;
    daq::ModuleFigures total;
    double seconds = 0;
    // Silent modules were recovered: each module's outages are part of the summary.
    bool recovering = false;
    // The capture the session was recorded in or read from, if any: its file and datagrams,
    // and the line the table ends with.
    std::string capture;
    uint64_t capture_records = 0;
    std::string capture_note;
};

// The summary of a run read back from its capture `path`.
RunSummary recorded_summary(const daq::RecordedRun& run, const std::string& path);

void print_summary(const RunSummary& summary);

// A figure that may be missing: a number, or null.
nlohmann::json optional_json(const std::optional<double>& value);
nlohmann::json summary_json(const RunSummary& summary);
