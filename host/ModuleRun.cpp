#include "daqhost/ModuleRun.h"

#include <algorithm>
#include <numeric>
#include <span>
#include <string_view>
#include <vector>

#include "daqhost/RunFigures.h"

namespace daq {

namespace {

// The figure of a whole from its parts' (those that have it): nothing when none has it.
std::optional<double> merge_figures(RunFigure::Merge how, const std::vector<double>& values) {
    if (values.empty()) return std::nullopt;
    switch (how) {
        case RunFigure::Merge::kSum:
            return std::accumulate(values.begin(), values.end(), 0.0);
        case RunFigure::Merge::kMax:
            return *std::max_element(values.begin(), values.end());
        case RunFigure::Merge::kMean:
            return std::accumulate(values.begin(), values.end(), 0.0) /
                   static_cast<double>(values.size());
        case RunFigure::Merge::kNone:
            break;
    }
    return std::nullopt;
}

}  // namespace

void ModuleFigures::add(const ModuleFigures& f) {
    // Over modules, figures are summed or their most taken (never a mean: see run_figures()).
    for (const RunFigure& figure : run_figures()) {
        if (figure.over_modules == RunFigure::Merge::kNone) continue;
        if (figure.count != nullptr) {
            uint64_t& mine = this->*figure.count;
            const uint64_t theirs = f.*figure.count;
            mine = figure.over_modules == RunFigure::Merge::kMax ? std::max(mine, theirs)
                                                                 : mine + theirs;
        } else if (figure.measure != nullptr) {
            std::vector<double> values;
            for (const std::optional<double>& v : {this->*figure.measure, f.*figure.measure}) {
                if (v) values.push_back(*v);
            }
            this->*figure.measure = merge_figures(figure.over_modules, values);
        }
    }
}

void ModuleFigures::add_module(const ModuleFigures& f, bool module_started, bool module_failed) {
    add(f);
    ++modules;
    started += module_started ? 1 : 0;
    failed += module_failed ? 1 : 0;
}

ModuleFigures ModuleRun::figures(uint64_t kernel_drops) const {
    ModuleFigures f;
    const std::vector<StreamSummary> streams = statistics.summaries();
    for (const StreamSummary& s : streams) {
        f.hybrids += (f.hybrids.empty() ? "" : ",") + std::to_string(s.hybrid);
    }
    const std::span<const RunFigure> figures = run_figures();
    for (const RunFigure& figure : figures) {
        if (figure.of_hybrids == nullptr) continue;
        const auto source = std::find_if(figures.begin(), figures.end(), [&](const RunFigure& g) {
            return std::string_view(g.key) == figure.of_hybrids;
        });
        if (source == figures.end() || source->of_stream == nullptr) continue;
        std::vector<double> values;
        for (const StreamSummary& s : streams) {
            if (const std::optional<double> v = source->of_stream(s)) values.push_back(*v);
        }
        const std::optional<double> merged = merge_figures(figure.over_hybrids, values);
        if (figure.count != nullptr) f.*figure.count = static_cast<uint64_t>(merged.value_or(0));
        if (figure.measure != nullptr) f.*figure.measure = merged;
    }
    // The module's own counts.
    f.malformed = statistics.malformed_total();
    f.kernel_drops = kernel_drops;
    f.acknowledges = acknowledges;
    f.missing_acknowledges = missing_acknowledges;
    f.retries = retries;
    f.outages = recovery.outages().size();
    for (const Outage& o : recovery.outages()) f.outage_events += o.events_lost_estimate;
    f.after_give_up = after_give_up;
    return f;
}

bool ModuleRun::may_fail() const {
    return failed_at.empty() && !recovery.silent() && !recovery.given_up() && !left_s;
}

}  // namespace daq
