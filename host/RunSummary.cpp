#include "daqhost/RunSummary.h"

#include <cstdarg>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>

#include "RunFiguresJson.h"
#include "RunReader.h"
#include "daqhost/RunFigures.h"

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

// A figure with `precision` digits after the point, or "-" where it is not measured.
std::string number(const std::optional<double>& value, int precision) {
    if (!value) return "-";
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", precision, *value);
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

// A figure in a column of the table, right-aligned: "-" where it is not measured.
void append_column(std::string& out, const RunFigure::Column& column,
                   const std::optional<double>& value) {
    const std::string text = number(value, column.precision);
    append(out, " %*s", column.width, text.c_str());
}

// The titles of the table's columns: `column` of each figure that has one.
void append_titles(std::string& out, RunFigure::Column RunFigure::*column) {
    for (const RunFigure& figure : run_figures()) {
        const RunFigure::Column& c = figure.*column;
        if (c.title != nullptr) append(out, " %*s", c.width, c.title);
    }
}

void print_module(std::string& out, const RunSummary& summary) {
    const SummaryModule& module = summary.modules[0];
    const StreamStatistics& statistics = module.run->statistics;
    append(out, "run of %.3f s from %s\n", summary.seconds, module.name.c_str());
    append(out, "%-6s", "hybrid");
    append_titles(out, &RunFigure::stream_column);
    out += "\n";
    for (const StreamSummary& s : statistics.summaries()) {
        append(out, "%-6d", s.hybrid);
        for (const RunFigure& figure : run_figures()) {
            if (figure.stream_column.title == nullptr) continue;
            append_column(out, figure.stream_column, figure.of_stream(s));
        }
        out += "\n";
    }
    // "malformed 0, dropped at the socket 0, ..."
    const char* separator = "";
    for (const RunFigure& figure : run_figures()) {
        if (figure.module_line == nullptr) continue;
        const std::string text = number(figure.value(module.figures), 0);
        append(out, "%s%s %s", separator, figure.module_line, text.c_str());
        separator = ", ";
    }
    out += "\n";
    for (const auto& [fault, n] : statistics.malformed()) {
        append(out, "  %llu %s\n", ull(n), describe(fault));
    }
    print_outages(out, "", *module.run);
}

// A row of the summary of many modules, or their total.
void print_module_row(std::string& out, const std::string& name, const std::string& hybrids,
                      const ModuleFigures& f, const std::string& failed_at) {
    append(out, "%-21s %-8s", name.c_str(), hybrids.c_str());
    for (const RunFigure& figure : run_figures()) {
        if (figure.module_column.title == nullptr) continue;
        append_column(out, figure.module_column, figure.value(f));
    }
    append(out, "  %s\n", failed_at.c_str());
}

void print_modules(std::string& out, const RunSummary& summary) {
    append(out, "run of %.3f s from %zu modules\n", summary.seconds, summary.modules.size());
    append(out, "%-21s %-8s", "module", "hybrids");
    append_titles(out, &RunFigure::module_column);
    append(out, "  %s\n", "failed at");
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

// What the summary of one module holds, and each entry of "modules" with many: its figures,
// with its malformed datagrams by fault and its outages listed in place of their counts.
json module_json(const SummaryModule& module) {
    const ModuleRun& m = *module.run;
    json hybrids = json::array();
    for (const StreamSummary& s : m.statistics.summaries()) {
        hybrids.push_back(stream_figures_json(s));
    }
    json malformed = json::object();
    for (const auto& [fault, n] : m.statistics.malformed()) malformed[describe(fault)] = n;
    json result = module_figures_json(module.figures);
    result["module"] = module.name;
    result["failed_at"] = m.failed_at.empty() ? json(nullptr) : json(m.failed_at);
    result["hybrids"] = hybrids;
    result["malformed"] = malformed;
    result["outages"] = outages_json(m);
    result["given_up"] = m.recovery.given_up();
    result["joined_s"] = optional_json(m.joined_s);
    result["left_s"] = optional_json(m.left_s);
    return result;
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
        result = {{"modules", entries}, {"total", total_figures_json(total, running)}};
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
