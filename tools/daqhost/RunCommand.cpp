#include "RunCommand.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "daqhost/RunSession.h"
#include "daqhost/StreamStatistics.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacketView.h"

using namespace daq;

namespace {

struct RunOptions {
    ModuleOptions module;
    ModuleListOptions list;
    bool address_given = false;
    std::vector<unsigned> hybrids = {1};
    // --hybrid H:key=value,...: settings of one hybrid beside those for all.
    std::vector<std::string> hybrid_settings;
    unsigned chip_type = 1;
    unsigned chips = 2;
    unsigned mode = 1;
    unsigned nadj = 0;
    uint64_t events = 0;
    double seconds = 0;
    std::string out;
    bool json = false;
};

std::atomic<bool> interrupted{false};

void on_signal(int) { interrupted = true; }

// Ctrl-C and SIGTERM end the run as the planned end does: the modules are stopped, the
// capture closed and the summary printed. No SA_RESTART, so a wait returns at once.
void catch_signals() {
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// "H:mode=M,nadj=N,chips=C" (any of the three, in any order) sets hybrid H, which is added
// to the hybrids of the run if --hybrids did not name it; the rest take the options for all.
bool parse_number(const std::string& text, unsigned low, unsigned high, unsigned& value) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long n = std::stoul(text);
    if (n < low || n > high) return false;
    value = static_cast<unsigned>(n);
    return true;
}

bool apply_hybrid_settings(const std::string& text, const RunOptions& options,
                           std::vector<HybridSettings>& hybrids) {
    const auto bad = [&text](const std::string& why) {
        report_error("--hybrid " + text + ": " + why);
        return false;
    };
    const size_t colon = text.find(':');
    unsigned id = 0;
    if (colon == std::string::npos || !parse_number(text.substr(0, colon), 1, 4, id)) {
        return bad("expected a hybrid 1 to 4, a colon and settings, e.g. 1:mode=4,nadj=2");
    }
    auto it = std::find_if(hybrids.begin(), hybrids.end(),
                           [id](const HybridSettings& h) { return h.hybrid == id; });
    if (it == hybrids.end()) {
        hybrids.push_back({id, options.chips, options.mode, options.nadj});
        it = hybrids.end() - 1;
    }
    std::stringstream fields(text.substr(colon + 1));
    std::string field;
    while (std::getline(fields, field, ',')) {
        const size_t equals = field.find('=');
        const std::string key = field.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : field.substr(equals + 1);
        const bool ok = key == "mode"    ? parse_number(value, 0, 15, it->mode)
                        : key == "nadj"  ? parse_number(value, 0, 65535, it->nadj)
                        : key == "chips" ? parse_number(value, 0, 255, it->chips)
                                         : false;
        if (!ok) return bad("\"" + field + "\" is not mode=0..15, nadj=0..65535 or chips=0..255");
    }
    return true;
}

class Run {
  public:
    explicit Run(const RunOptions& options) : options_(options) {}
    int execute();

  private:
    bool single() const { return session_->single(); }
    std::string module_name(size_t i) const { return session_->client(i).module().text(); }
    void progress(bool last);
    void print_summary(double seconds) const;
    void print_modules(double seconds) const;
    nlohmann::json module_json(size_t i) const;
    nlohmann::json summary_json(double seconds) const;

    const RunOptions& options_;
    std::unique_ptr<RunSession> session_;
    bool terminal_ = false;
    double last_progress_ = -1;
    uint64_t last_progress_bytes_ = 0;
    uint64_t last_progress_packets_ = 0;
    size_t progress_lines_ = 0;
};

void Run::progress(bool last) {
    if (!terminal_) return;
    const double now = session_->seconds();
    // At most ten lines a second.
    if (!last && now - last_progress_ < 0.1) return;
    const double span = now - last_progress_;
    uint64_t events = 0;
    uint64_t packets = 0;
    uint64_t bytes = 0;
    uint64_t missing = 0;
    size_t started = 0;
    for (size_t i = 0; i < session_->size(); ++i) {
        const ModuleRun& m = session_->module(i);
        if (!m.started) continue;
        events = started == 0 ? m.statistics.triggers() : std::min(events, m.statistics.triggers());
        ++started;
        packets += m.statistics.packets();
        bytes += m.statistics.bytes();
        for (int hybrid : m.statistics.hybrids()) missing += m.statistics.missing(hybrid);
    }
    // With many modules, a line per module above the total, written over at each update.
    std::string line = "\r";
    if (!single()) {
        if (progress_lines_ > 0) line += "\x1b[" + std::to_string(progress_lines_) + "A";
        for (size_t i = 0; i < session_->size(); ++i) {
            const ModuleFigures f = session_->figures(i);
            line += module_name(i) + "  " + std::to_string(f.events) + " events, missing " +
                    std::to_string(f.missing);
            const std::string& failed_at = session_->module(i).failed_at;
            if (!failed_at.empty()) line += ", failed at " + failed_at;
            line += "\x1b[K\n";
        }
        progress_lines_ = session_->size();
        line += std::to_string(started) + " modules, the fewest ";
    }
    line += std::to_string(events) + " events";
    char text[128];
    if (last_progress_ >= 0 && span > 0) {
        std::snprintf(text, sizeof(text), ", %.0f packets/s, %.2f MB/s",
                      (packets - last_progress_packets_) / span,
                      (bytes - last_progress_bytes_) / span / 1e6);
        line += text;
    }
    line += ", missing";
    if (single()) {
        const StreamStatistics& statistics = session_->module(0).statistics;
        for (int hybrid : statistics.hybrids()) {
            line += " " + std::to_string(hybrid) + ":" + std::to_string(statistics.missing(hybrid));
        }
    } else {
        line += " " + std::to_string(missing);
    }
    line += "\x1b[K";
    if (last) line += "\n";
    std::fputs(line.c_str(), stderr);
    last_progress_ = now;
    last_progress_packets_ = packets;
    last_progress_bytes_ = bytes;
}

int Run::execute() {
    const auto modules =
        module_list_settings(options_.module, options_.address_given, options_.list);
    if (!modules) return kExitFailure;
    RunSettings settings;
    settings.modules = *modules;
    settings.hybrids.clear();
    for (unsigned hybrid : options_.hybrids) {
        settings.hybrids.push_back({hybrid, options_.chips, options_.mode, options_.nadj});
    }
    for (const std::string& text : options_.hybrid_settings) {
        if (!apply_hybrid_settings(text, options_, settings.hybrids)) return kExitFailure;
    }
    settings.chip_type = options_.chip_type;
    settings.events = options_.events;
    settings.seconds = options_.seconds;
    settings.capture = options_.out;
    session_ = std::make_unique<RunSession>(std::move(settings));
    session_->on_error(report_error);
    if (!session_->open()) return kExitFailure;
    catch_signals();
    terminal_ = isatty(STDERR_FILENO) != 0;

    bool ok = session_->configure();
    if (ok && interrupted) {
        report_error("interrupted before the start");
        ok = false;
    }
    const bool ran = ok && session_->start();
    if (ran) {
        session_->receive_until_done([this] {
            progress(false);
            return !interrupted;
        });
        session_->stop();
        progress(true);
    }
    if (!session_->close()) ok = false;
    // Without a run there is nothing to sum up; the errors said why.
    if (ran && options_.json) {
        std::printf("%s\n", summary_json(session_->seconds()).dump(2).c_str());
    } else if (ran) {
        print_summary(session_->seconds());
    }
    return ran && ok && session_->every_module_ran() ? 0 : kExitFailure;
}

std::string number(const std::optional<double>& value, const char* format) {
    if (!value) return "-";
    char text[64];
    std::snprintf(text, sizeof(text), format, *value);
    return text;
}

unsigned long long ull(uint64_t n) { return static_cast<unsigned long long>(n); }

void Run::print_summary(double seconds) const {
    if (!single()) {
        print_modules(seconds);
        return;
    }
    const StreamStatistics& statistics = session_->module(0).statistics;
    std::printf("run of %.3f s from %s\n", seconds, module_name(0).c_str());
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
    const ModuleFigures f = session_->figures(0);
    std::printf(
        "malformed %llu, dropped at the socket %llu, acknowledges missing %llu, "
        "retries %llu\n",
        ull(f.malformed), ull(f.kernel_drops), ull(f.missing_acknowledges), ull(f.retries));
    for (const auto& [fault, n] : statistics.malformed()) {
        std::printf("  %llu %s\n", ull(n), describe(fault));
    }
    if (!options_.out.empty()) {
        std::printf("recorded %llu datagrams in %s\n", ull(session_->capture().records()),
                    options_.out.c_str());
    }
}

// A row of the summary of many modules, or their total.
void print_module_row(const std::string& name, const std::string& hybrids, const ModuleFigures& f,
                      const std::string& failed_at) {
    std::printf("%-21s %-8s %9llu %10llu %8llu %10s %9llu %7llu %12llu %7llu  %s\n", name.c_str(),
                hybrids.c_str(), ull(f.events), ull(f.packets), ull(f.missing),
                number(f.trigger_rate_hz, "%.1f").c_str(), ull(f.malformed), ull(f.kernel_drops),
                ull(f.missing_acknowledges), ull(f.retries), failed_at.c_str());
}

void Run::print_modules(double seconds) const {
    std::printf("run of %.3f s from %zu modules\n", seconds, session_->size());
    std::printf("%-21s %-8s %9s %10s %8s %10s %9s %7s %12s %7s  %s\n", "module", "hybrids",
                "events", "packets", "missing", "trigger Hz", "malformed", "dropped",
                "acks missing", "retries", "failed at");
    for (size_t i = 0; i < session_->size(); ++i) {
        const ModuleFigures f = session_->figures(i);
        const std::string& failed_at = session_->module(i).failed_at;
        print_module_row(module_name(i), f.hybrids.empty() ? "-" : f.hybrids, f,
                         failed_at.empty() ? "-" : failed_at);
    }
    const ModuleFigures all = session_->total();
    print_module_row(
        "total, " + std::to_string(all.started) + " of " + std::to_string(all.modules) + " ran", "",
        all, all.failed == 0 ? "-" : std::to_string(all.failed) + " failed");
    for (size_t i = 0; i < session_->size(); ++i) {
        for (const auto& [fault, n] : session_->module(i).statistics.malformed()) {
            std::printf("  %s: %llu %s\n", module_name(i).c_str(), ull(n), describe(fault));
        }
    }
    if (!options_.out.empty()) {
        std::printf("recorded %llu datagrams in %s\n", ull(session_->capture().records()),
                    options_.out.c_str());
    }
}

nlohmann::json optional_json(const std::optional<double>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

// What the summary of one module holds, and each entry of "modules" with many.
nlohmann::json Run::module_json(size_t i) const {
    const ModuleRun& m = session_->module(i);
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
    return {{"module", module_name(i)},
            {"hybrids", hybrids},
            {"malformed", malformed},
            {"kernel_drops", session_->client(i).kernel_drops()},
            {"acknowledges", m.acknowledges},
            {"missing_acknowledges", m.missing_acknowledges},
            {"retries", m.retries}};
}

nlohmann::json total_json(const ModuleFigures& f) {
    return {{"modules", f.modules},
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
}

nlohmann::json Run::summary_json(double seconds) const {
    nlohmann::json result;
    if (single()) {
        result = module_json(0);
    } else {
        nlohmann::json modules = nlohmann::json::array();
        for (size_t i = 0; i < session_->size(); ++i) {
            const ModuleRun& m = session_->module(i);
            const ModuleFigures f = session_->figures(i);
            nlohmann::json module = module_json(i);
            module["events"] = f.events;
            module["packets"] = f.packets;
            module["missing"] = f.missing;
            module["trigger_rate_hz"] = optional_json(f.trigger_rate_hz);
            module["failed_at"] =
                m.failed_at.empty() ? nlohmann::json(nullptr) : nlohmann::json(m.failed_at);
            modules.push_back(std::move(module));
        }
        result = {{"modules", modules}, {"total", total_json(session_->total())}};
    }
    result["seconds"] = seconds;
    if (!options_.out.empty()) {
        result["capture"] = {{"file", options_.out}, {"records", session_->capture().records()}};
    }
    return result;
}

}  // namespace

void add_run_command(CLI::App& app, int& status) {
    auto options = std::make_shared<RunOptions>();
    CLI::App* sub = app.add_subcommand(
        "run", "configure the hybrids, take a run, stop it and print a summary per hybrid");
    add_module_options(*sub, options->module);
    add_module_list_options(*sub, options->list);
    sub->add_option("--hybrids", options->hybrids, "hybrids to configure, e.g. 1,2")
        ->delimiter(',')
        ->capture_default_str()
        ->check(CLI::Range(1, 4));
    sub->add_option("--hybrid", options->hybrid_settings,
                    "one hybrid's own settings, e.g. 1:mode=4,nadj=2,chips=3 (repeat it)")
        ->type_name("H:KEY=VALUE,...");
    add_chip_options(*sub, options->chip_type, options->chips);
    sub->add_option("--mode", options->mode,
                    "readout mode: 1 all channels, 2 the hit, 4 the hit and neighbours")
        ->capture_default_str()
        ->check(CLI::Range(0, 15));
    sub->add_option("--nadj", options->nadj, "neighbours on each side of the hit (mode 4)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    sub->add_option("-n,--events", options->events,
                    "stop when every module has this many events (triggers)");
    sub->add_option("-s,--seconds", options->seconds, "stop after this many seconds")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("-o,--out", options->out, "record the session in this pcap file");
    sub->add_flag("--json", options->json, "print the summary as JSON");
    sub->callback([options, sub, &status] {
        options->address_given = sub->count("ADDR") > 0;
        status = Run(*options).execute();
    });
}
