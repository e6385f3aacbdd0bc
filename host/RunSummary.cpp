#include "daqhost/RunSummary.h"

#include <cstdarg>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>

#include "RunReader.h"

namespace daq {

namespace {

using json = nlohmann::json;

// printf to the end of `out`.
[[gnu::format(printf, 2, 3)]] void append(std::string& out, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (n > 0) out.append(line, std::min(static_cast<size_t>(n), sizeof(line) - 1));
}

std::string number(const std::optional<double>& value, const char* format) {
    if (!value) return "-";
    char text[64];
    std::snprintf(text, sizeof(text), format, *value);
    return text;
}

unsigned long long ull(uint64_t n) { return static_cast<unsigned long long>(n); }

// A figure that may be missing: a number, or null.
json optional_json(const std::optional<double>& value) {
    return value ? json(*value) : json(nullptr);
}

// When it joined or left the run, if it did, then one line per outage: "outage at 12.3 s: 2.1 s,
// about 2100 events lost, recovered after 1 attempt".
void print_outages(std::string& out, const std::string& prefix, const ModuleRun& run) {
    if (run.joined_s) append(out, "%sjoined at %.1f s\n", prefix.c_str(), *run.joined_s);
    if (run.left_s) append(out, "%sleft at %.1f s\n", prefix.c_str(), *run.left_s);
    for (const Outage& o : run.recovery.outages()) {
        append(out, "%soutage at %.1f s: %.1f s, about %llu events lost, %s after %u attempt%s\n",
               prefix.c_str(), o.start_s, o.seconds, ull(o.events_lost_estimate), describe(o.end),
               o.attempts, o.attempts == 1 ? "" : "s");
    }
    if (run.after_give_up > 0) {
        append(out, "%s%llu datagrams after give-up, not counted\n", prefix.c_str(),
               ull(run.after_give_up));
    }
}

void print_module(std::string& out, const RunSummary& summary) {
    const SummaryModule& module = summary.modules[0];
    const StreamStatistics& statistics = module.run->statistics;
    append(out, "run of %.3f s from %s\n", summary.seconds, module.name.c_str());
    append(out, "%-6s %10s %8s %10s %12s %10s %8s %10s %10s %10s\n", "hybrid", "packets", "missing",
           "efficiency", "trigger Hz", "pedestal", "sigma", "hit value", "amplitude", "time value");
    for (const StreamSummary& s : statistics.summaries()) {
        append(out, "%-6d %10llu %8llu %10.4f %12s %10s %8s %10s %10s %10s\n", s.hybrid,
               ull(s.packets), ull(s.missing), s.efficiency,
               number(s.trigger_rate_hz, "%.1f").c_str(), number(s.pedestal_mean, "%.2f").c_str(),
               number(s.pedestal_sigma, "%.2f").c_str(), number(s.hit_value_mean, "%.1f").c_str(),
               number(s.hit_amplitude_mean, "%.1f").c_str(),
               number(s.time_value_mean, "%.2f").c_str());
    }
    const ModuleFigures& f = module.figures;
    append(out,
           "malformed %llu, dropped at the socket %llu, acknowledges missing %llu, retries %llu\n",
           ull(f.malformed), ull(f.kernel_drops), ull(f.missing_acknowledges), ull(f.retries));
    for (const auto& [fault, n] : statistics.malformed()) {
        append(out, "  %llu %s\n", ull(n), describe(fault));
    }
    print_outages(out, "", *module.run);
}

// A row of the summary of many modules, or their total.
void print_module_row(std::string& out, const std::string& name, const std::string& hybrids,
                      const ModuleFigures& f, const std::string& failed_at) {
    append(out, "%-21s %-8s %9llu %10llu %8llu %10s %9llu %7llu %12llu %7llu  %s\n", name.c_str(),
           hybrids.c_str(), ull(f.events), ull(f.packets), ull(f.missing),
           number(f.trigger_rate_hz, "%.1f").c_str(), ull(f.malformed), ull(f.kernel_drops),
           ull(f.missing_acknowledges), ull(f.retries), failed_at.c_str());
}

void print_modules(std::string& out, const RunSummary& summary) {
    append(out, "run of %.3f s from %zu modules\n", summary.seconds, summary.modules.size());
    append(out, "%-21s %-8s %9s %10s %8s %10s %9s %7s %12s %7s  %s\n", "module", "hybrids",
           "events", "packets", "missing", "trigger Hz", "malformed", "dropped", "acks missing",
           "retries", "failed at");
    for (const SummaryModule& m : summary.modules) {
        const ModuleFigures& f = m.figures;
        const std::string& failed_at = m.run->failed_at;
        print_module_row(out, m.name, f.hybrids.empty() ? "-" : f.hybrids, f,
                         failed_at.empty() ? "-" : failed_at);
    }
    const ModuleFigures& all = summary.total;
    print_module_row(
        out,
        "total, " + std::to_string(all.started) + " of " + std::to_string(all.modules) + " ran", "",
        all, all.failed == 0 ? "-" : std::to_string(all.failed) + " failed");
    for (const SummaryModule& m : summary.modules) {
        for (const auto& [fault, n] : m.run->statistics.malformed()) {
            append(out, "  %s: %llu %s\n", m.name.c_str(), ull(n), describe(fault));
        }
    }
    for (const SummaryModule& m : summary.modules) print_outages(out, "  " + m.name + ": ", *m.run);
}

json outages_json(const ModuleRun& run) {
    json outages = json::array();
    for (const Outage& o : run.recovery.outages()) {
        outages.push_back({{"start_s", o.start_s},
                           {"seconds", o.seconds},
                           {"events_lost_estimate", o.events_lost_estimate},
                           {"attempts", o.attempts},
                           {"end", describe(o.end)}});
    }
    return outages;
}

json stream_json(const StreamSummary& s) {
    return {{"hybrid", s.hybrid},
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
            {"time_value_mean", optional_json(s.time_value_mean)}};
}

// What the summary of one module holds, and each entry of "modules" with many.
json module_json(const SummaryModule& module) {
    const ModuleRun& m = *module.run;
    json hybrids = json::array();
    for (const StreamSummary& s : m.statistics.summaries()) hybrids.push_back(stream_json(s));
    json malformed = json::object();
    for (const auto& [fault, n] : m.statistics.malformed()) malformed[describe(fault)] = n;
    const ModuleFigures& f = module.figures;
    return {{"module", module.name},
            {"events", f.events},
            {"packets", f.packets},
            {"missing", f.missing},
            {"trigger_rate_hz", optional_json(f.trigger_rate_hz)},
            {"failed_at", m.failed_at.empty() ? json(nullptr) : json(m.failed_at)},
            {"outage_events", f.outage_events},
            {"hybrids", hybrids},
            {"malformed", malformed},
            {"kernel_drops", module.figures.kernel_drops},
            {"acknowledges", m.acknowledges},
            {"missing_acknowledges", m.missing_acknowledges},
            {"retries", m.retries},
            {"outages", outages_json(m)},
            {"given_up", m.recovery.given_up()},
            {"after_give_up", m.after_give_up},
            {"joined_s", optional_json(m.joined_s)},
            {"left_s", optional_json(m.left_s)}};
}

json total_json(const ModuleFigures& f, size_t running) {
    return {{"modules", f.modules},
            {"modules_run", f.started},
            {"modules_running", running},
            {"modules_failed", f.failed},
            {"events", f.events},
            {"packets", f.packets},
            {"missing", f.missing},
            {"malformed", f.malformed},
            {"kernel_drops", f.kernel_drops},
            {"acknowledges", f.acknowledges},
            {"missing_acknowledges", f.missing_acknowledges},
            {"retries", f.retries},
            {"outages", f.outages},
            {"outage_events", f.outage_events},
            {"after_give_up", f.after_give_up}};
}

json host_json(const HostPace& pace) {
    json host = json::object();
    for (const HostPaceFigure& figure : host_pace_figures()) {
        const double value = figure.value(pace);
        switch (figure.kind) {
            case HostPaceFigure::Kind::kSeconds:
                host[figure.key] = value;
                break;
            case HostPaceFigure::Kind::kCount:
                host[figure.key] = static_cast<uint64_t>(value);
                break;
            case HostPaceFigure::Kind::kFlag:
                host[figure.key] = value != 0;
                break;
        }
    }
    return host;
}

std::optional<double> epoch_seconds(const RunReader& reader) {
    if (const std::optional<int64_t> ns = reader.start_ns()) return static_cast<double>(*ns) * 1e-9;
    return std::nullopt;
}

}  // namespace

RunSummary RunSummary::of(const RunSession& session) {
    RunSummary summary;
    for (size_t i = 0; i < session.size(); ++i) {
        summary.modules.push_back(
            {session.client(i).module().text(), &session.module(i), session.figures(i)});
    }
    summary.total = session.total();
    summary.running = session.reader().running();
    summary.seconds = session.seconds();
    summary.start_epoch_s = epoch_seconds(session.reader());
    summary.host = session.pace();
    if (!session.settings().capture.empty()) {
        summary.capture = session.settings().capture;
        summary.capture_records = session.capture().records();
        summary.capture_note = "recorded " + std::to_string(summary.capture_records) +
                               " datagrams in " + summary.capture;
    }
    return summary;
}

RunSummary RunSummary::of(const RecordedRun& run, const std::string& path) {
    RunSummary summary;
    for (size_t i = 0; i < run.size(); ++i) {
        summary.modules.push_back({run.endpoint(i).text(), &run.module(i), run.figures(i)});
    }
    summary.total = run.total();
    summary.running = run.reader().running();
    summary.seconds = run.seconds();
    summary.start_epoch_s = epoch_seconds(run.reader());
    summary.capture = path;
    summary.capture_records = run.records();
    summary.capture_note = "read " + std::to_string(run.records()) + " datagrams from " + path;
    return summary;
}

std::string RunSummary::json() const {
    nlohmann::json result;
    if (modules.size() == 1) {
        result = module_json(modules[0]);
    } else {
        nlohmann::json entries = nlohmann::json::array();
        for (const SummaryModule& entry : modules) entries.push_back(module_json(entry));
        result = {{"modules", entries}, {"total", total_json(total, running)}};
    }
    result["seconds"] = seconds;
    result["run_start_epoch_s"] = optional_json(start_epoch_s);
    result["host"] = host ? host_json(*host) : nlohmann::json(nullptr);
    if (!capture.empty()) result["capture"] = {{"file", capture}, {"records", capture_records}};
    return result.dump(2);
}

std::string RunSummary::text() const {
    std::string out;
    if (modules.size() == 1) {
        print_module(out, *this);
    } else {
        print_modules(out, *this);
    }
    if (host) out += "host " + host->text() + "\n";
    if (!capture_note.empty()) out += capture_note + "\n";
    return out;
}

}  // namespace daq
