#include "daqhost/ModuleRun.h"

#include <vector>

namespace daq {

namespace {

// The mean of the streams' trigger rates, where known.
std::optional<double> mean_trigger_rate(const std::vector<StreamSummary>& streams) {
    double sum = 0;
    int n = 0;
    for (const StreamSummary& s : streams) {
        if (!s.trigger_rate_hz) continue;
        sum += *s.trigger_rate_hz;
        ++n;
    }
    if (n == 0) return std::nullopt;
    return sum / n;
}

}  // namespace

void ModuleFigures::add(const ModuleFigures& f) {
    events += f.events;
    packets += f.packets;
    missing += f.missing;
    malformed += f.malformed;
    kernel_drops += f.kernel_drops;
    acknowledges += f.acknowledges;
    missing_acknowledges += f.missing_acknowledges;
    retries += f.retries;
    outages += f.outages;
    outage_events += f.outage_events;
    after_give_up += f.after_give_up;
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
        f.packets += s.packets;
        f.missing += s.missing;
    }
    f.trigger_rate_hz = mean_trigger_rate(streams);
    f.events = statistics.triggers();
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

}  // namespace daq
