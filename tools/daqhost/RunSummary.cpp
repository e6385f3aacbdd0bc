#include "RunSummary.h"

#include <cstdio>
#include <optional>

using namespace daq;

namespace {

std::string number(const std::optional<double>& value, const char* format) {
    if (!value) return "-";
    char text[64];
    std::snprintf(text, sizeof(text), format, *value);
    return text;
}

unsigned long long ull(uint64_t n) { return static_cast<unsigned long long>(n); }

// One line per outage: "outage at 12.3 s: 2.1 s, 2100 events lost, recovered after 1 attempt".
void print_outages(const std::string& prefix, const ModuleRun& run) {
    for (const Outage& o : run.recovery.outages()) {
        std::printf("%soutage at %.1f s: %.1f s, %llu events lost, %s after %u attempt%s\n",
                    prefix.c_str(), o.start_s, o.seconds, ull(o.events_lost), describe(o.end),
                    o.attempts, o.attempts == 1 ? "" : "s");
    }
}

void print_module(const RunSummary& summary) {
    const SummaryModule& module = summary.modules[0];
    const StreamStatistics& statistics = module.run->statistics;
    std::printf("run of %.3f s from %s\n", summary.seconds, module.name.c_str());
    std::printf("%-6s %10s %8s %10s %12s %10s %8s %10s %10s %10s\n", "hybrid", "packets", "missing",
                "efficiency", "trigger Hz", "pedestal", "sigma", "hit value", "amplitude",
                "time value");
    for (const StreamSummary& s : statistics.summaries()) {
        std::printf(
            "%-6d %10llu %8llu %10.4f %12s %10s %8s %10s %10s %10s\n", s.hybrid, ull(s.packets),
            ull(s.missing), s.efficiency, number(s.trigger_rate_hz, "%.1f").c_str(),
            number(s.pedestal_mean, "%.2f").c_str(), number(s.pedestal_sigma, "%.2f").c_str(),
            number(s.hit_value_mean, "%.1f").c_str(), number(s.hit_amplitude_mean, "%.1f").c_str(),
            number(s.time_value_mean, "%.2f").c_str());
    }
    const ModuleFigures& f = module.figures;
    std::printf(
        "malformed %llu, dropped at the socket %llu, acknowledges missing %llu, "
        "retries %llu\n",
        ull(f.malformed), ull(f.kernel_drops), ull(f.missing_acknowledges), ull(f.retries));
    for (const auto& [fault, n] : statistics.malformed()) {
        std::printf("  %llu %s\n", ull(n), describe(fault));
    }
    print_outages("", *module.run);
    if (!summary.capture_note.empty()) std::printf("%s\n", summary.capture_note.c_str());
}

// A row of the summary of many modules, or their total.
void print_module_row(const std::string& name, const std::string& hybrids, const ModuleFigures& f,
                      const std::string& failed_at) {
    std::printf("%-21s %-8s %9llu %10llu %8llu %10s %9llu %7llu %12llu %7llu  %s\n", name.c_str(),
                hybrids.c_str(), ull(f.events), ull(f.packets), ull(f.missing),
                number(f.trigger_rate_hz, "%.1f").c_str(), ull(f.malformed), ull(f.kernel_drops),
                ull(f.missing_acknowledges), ull(f.retries), failed_at.c_str());
}

void print_modules(const RunSummary& summary) {
    std::printf("run of %.3f s from %zu modules\n", summary.seconds, summary.modules.size());
    std::printf("%-21s %-8s %9s %10s %8s %10s %9s %7s %12s %7s  %s\n", "module", "hybrids",
                "events", "packets", "missing", "trigger Hz", "malformed", "dropped",
                "acks missing", "retries", "failed at");
    for (const SummaryModule& m : summary.modules) {
        const ModuleFigures& f = m.figures;
        const std::string& failed_at = m.run->failed_at;
        print_module_row(m.name, f.hybrids.empty() ? "-" : f.hybrids, f,
                         failed_at.empty() ? "-" : failed_at);
    }
    const ModuleFigures& all = summary.total;
    print_module_row(
        "total, " + std::to_string(all.started) + " of " + std::to_string(all.modules) + " ran", "",
        all, all.failed == 0 ? "-" : std::to_string(all.failed) + " failed");
    for (const SummaryModule& m : summary.modules) {
        for (const auto& [fault, n] : m.run->statistics.malformed()) {
            std::printf("  %s: %llu %s\n", m.name.c_str(), ull(n), describe(fault));
        }
    }
    for (const SummaryModule& m : summary.modules) print_outages("  " + m.name + ": ", *m.run);
    if (!summary.capture_note.empty()) std::printf("%s\n", summary.capture_note.c_str());
}

nlohmann::json outages_json(const ModuleRun& run) {
    nlohmann::json outages = nlohmann::json::array();
    for (const Outage& o : run.recovery.outages()) {
        outages.push_back({{"start_s", o.start_s},
                           {"seconds", o.seconds},
                           {"events_lost", o.events_lost},
                           {"attempts", o.attempts},
                           {"end", describe(o.end)}});
    }
    return outages;
}

// What the summary of one module holds, and each entry of "modules" with many.
nlohmann::json module_json(const SummaryModule& module, bool recovering) {
    const ModuleRun& m = *module.run;
    nlohmann::json hybrids = nlohmann::json::array();
    for (const StreamSummary& s : m.statistics.summaries()) {
        hybrids.push_back({{"hybrid", s.hybrid},
                           {"mode", s.mode},
                           {"packets", s.packets},
                           {"bytes", s.bytes},
                           {"missing", s.missing},
                           {"duplicates", s.duplicates},
                           {"late", s.late},
                           {"first_event", s.first_event},
                           {"last_event", s.last_event},
                           {"efficiency", s.efficiency},
                           {"trigger_rate_hz", optional_json(s.trigger_rate_hz)},
                           {"pedestal_mean", optional_json(s.pedestal_mean)},
                           {"pedestal_sigma", optional_json(s.pedestal_sigma)},
                           {"hit_value_mean", optional_json(s.hit_value_mean)},
                           {"hit_amplitude_mean", optional_json(s.hit_amplitude_mean)},
                           {"time_value_mean", optional_json(s.time_value_mean)}});
    }
    nlohmann::json malformed = nlohmann::json::object();
    for (const auto& [fault, n] : m.statistics.malformed()) malformed[describe(fault)] = n;
    nlohmann::json result = {{"module", module.name},
                             {"hybrids", hybrids},
                             {"malformed", malformed},
                             {"kernel_drops", module.figures.kernel_drops},
                             {"acknowledges", m.acknowledges},
                             {"missing_acknowledges", m.missing_acknowledges},
                             {"retries", m.retries}};
    if (recovering) result["outages"] = outages_json(m);
    return result;
}

nlohmann::json total_json(const ModuleFigures& f, bool recovering) {
    nlohmann::json total = {{"modules", f.modules},
                            {"modules_run", f.started},
                            {"modules_failed", f.failed},
                            {"events", f.events},
                            {"packets", f.packets},
                            {"missing", f.missing},
                            {"malformed", f.malformed},
                            {"kernel_drops", f.kernel_drops},
                            {"acknowledges", f.acknowledges},
                            {"missing_acknowledges", f.missing_acknowledges},
                            {"retries", f.retries}};
    if (recovering) total["outages"] = f.outages;
    return total;
}

}  // namespace

nlohmann::json optional_json(const std::optional<double>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json summary_json(const RunSummary& summary) {
    nlohmann::json result;
    if (summary.modules.size() == 1) {
        result = module_json(summary.modules[0], summary.recovering);
    } else {
        nlohmann::json modules = nlohmann::json::array();
        for (const SummaryModule& entry : summary.modules) {
            const ModuleRun& m = *entry.run;
            const ModuleFigures& f = entry.figures;
            nlohmann::json module = module_json(entry, summary.recovering);
            module["events"] = f.events;
            module["packets"] = f.packets;
            module["missing"] = f.missing;
            module["trigger_rate_hz"] = optional_json(f.trigger_rate_hz);
            module["failed_at"] =
                m.failed_at.empty() ? nlohmann::json(nullptr) : nlohmann::json(m.failed_at);
            modules.push_back(std::move(module));
        }
        result = {{"modules", modules}, {"total", total_json(summary.total, summary.recovering)}};
    }
    result["seconds"] = summary.seconds;
    if (!summary.capture.empty()) {
        result["capture"] = {{"file", summary.capture}, {"records", summary.capture_records}};
    }
    return result;
}

void print_summary(const RunSummary& summary) {
    if (summary.modules.size() == 1) {
        print_module(summary);
    } else {
        print_modules(summary);
    }
}

RunSummary recorded_summary(const RecordedRun& run, const std::string& path) {
    RunSummary summary;
    for (size_t i = 0; i < run.size(); ++i) {
        summary.modules.push_back({run.endpoint(i).text(), &run.module(i), run.figures(i)});
    }
    summary.total = run.total();
    summary.seconds = run.seconds();
    summary.capture = path;
    summary.capture_records = run.records();
    summary.capture_note = "read " + std::to_string(run.records()) + " datagrams from " + path;
    return summary;
}
