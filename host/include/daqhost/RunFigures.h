// The figures of a run, each declared once in the list below: its key, how it merges from
// hybrids to a module and from modules to a total, what it is and in what unit, its family in
// the metrics, where the summary's table shows it, and where it is read from. The summary's
// JSON and table, the monitor's page, the metrics and the Python binding are all made from
// this list, and a module's figures are merged from its streams' by it; so a new figure is a
// new entry here and the code that counts it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "daqhost/ModuleRun.h"
#include "daqhost/StreamStatistics.h"
#include "protocol/Export.h"

namespace daq {

struct RunFigure {
    // How the figures of the parts make the whole's: a module's of its hybrids', a total's of
    // its modules'. kNone: the whole has no such figure of its parts. A mean is of the parts
    // that have the figure, and is for hybrids only.
    enum class Merge { kNone, kSum, kMax, kMean };
    // Counts and codes are whole numbers (integers in JSON, int in Python); the others may be
    // missing (null, None) where there is nothing to measure.
    enum class Unit { kCount, kCode, kHertz, kRatio, kAdcCounts, kValue };
    // A column of the summary's table: its title (null: not shown), width and the digits
    // after the point (0 for whole numbers).
    struct Column {
        const char* title = nullptr;
        int width = 0;
        int precision = 0;
    };

    // Its key in JSON and its name in Python, in a stream's and a module's figures alike.
    const char* key = nullptr;
    Unit unit = Unit::kCount;
    const char* help = nullptr;
    // Its family in the metrics (null: none), per hybrid if streams have the figure, else per
    // module.
    const char* metric = nullptr;
    const char* metric_type = nullptr;
    // Of a hybrid's stream, if streams have it.
    std::optional<double> (*of_stream)(const StreamSummary&) = nullptr;
    // A module's figure made from its hybrids' figure of that key by `over_hybrids`; null
    // when the module counts it itself (RunReader).
    const char* of_hybrids = nullptr;
    Merge over_hybrids = Merge::kNone;
    Merge over_modules = Merge::kNone;
    // Where a module's figures keep it, if modules have it: a whole number, or a measure.
    uint64_t ModuleFigures::*count = nullptr;
    std::optional<double> ModuleFigures::*measure = nullptr;
    // Where the summary's table shows it: the column of each hybrid of one module, the column
    // of each module of many, the line under the table of one module (its label).
    Column stream_column = {};
    Column module_column = {};
    const char* module_line = nullptr;

    constexpr bool of_module() const { return count != nullptr || measure != nullptr; }
    constexpr bool whole() const { return unit == Unit::kCount || unit == Unit::kCode; }
    // Its value in a module's figures; nothing when it is not a module's, or not measured.
    std::optional<double> value(const ModuleFigures& f) const {
        if (count != nullptr) return static_cast<double>(f.*count);
        if (measure != nullptr) return f.*measure;
        return std::nullopt;
    }
};

DAQ_API std::span<const RunFigure> run_figures();

}  // namespace daq
