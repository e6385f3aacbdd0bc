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
#include <string>
#include <vector>

#include "CommandLine.h"
#include "daqhost/CaptureWriter.h"
#include "daqhost/ModuleGroup.h"
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

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One module's part in the run.
struct ModuleRun {
    StreamStatistics statistics;
    // Whatever an earlier run sent before the stop that configure() makes is not this run's.
    bool counting = false;
    // Every request so far acknowledged with error 0: the module takes the next one.
    bool live = true;
    bool started = false;
    // The request that left the module out, or whose acknowledge did not come; empty if none.
    std::string failed_at;
    uint64_t acknowledges = 0;
    uint64_t missing_acknowledges = 0;
    uint64_t retries = 0;
};

// A module's row of the summary of many, or their total.
struct ModuleFigures {
    std::string hybrids;  // "1,2"
    uint64_t events = 0;  // the highest event number of its streams
    uint64_t packets = 0;
    uint64_t missing = 0;
    std::optional<double> trigger_rate_hz;  // the mean of its streams'
    uint64_t malformed = 0;
    uint64_t kernel_drops = 0;
    uint64_t acknowledges = 0;
    uint64_t missing_acknowledges = 0;
    uint64_t retries = 0;

    size_t modules = 0;  // in a total: how many, how many ran, how many failed
    size_t started = 0;
    size_t failed = 0;

    void add(const ModuleFigures& f) {
        events += f.events;
        packets += f.packets;
        missing += f.missing;
        malformed += f.malformed;
        kernel_drops += f.kernel_drops;
        acknowledges += f.acknowledges;
        missing_acknowledges += f.missing_acknowledges;
        retries += f.retries;
    }
};

class Run {
  public:
    explicit Run(const RunOptions& options) : options_(options) {}
    int execute();

  private:
    // One module keeps the summary and the messages it has always had.
    bool single() const { return modules_.size() == 1; }
    bool open_modules();
    // Sends the request to every live module at once. A module that gets no acknowledge, or
    // an error code, is reported and left out of the rest; true while any module is left.
    bool request_all(const ModuleRequest& request, const std::string& what);
    // Counts and reports module `i`'s outcome; true when acknowledged with error 0.
    bool accepted(size_t i, unsigned code, const std::string& what, const RequestOutcome& outcome);
    bool configure();
    void record(const Datagram& datagram) {
        if (capture_.is_open()) {
            capture_.write(datagram.time_ns, datagram.source, datagram.destination, datagram.data,
                           datagram.length);
        }
    }
    void take(ModuleRun& module, const Datagram& datagram);
    bool events_reached() const;
    void receive_until_done();
    void drain();
    void progress(bool last);
    ModuleFigures figures(size_t i) const;
    ModuleFigures total() const;
    void print_summary(double seconds) const;
    void print_modules(double seconds) const;
    nlohmann::json module_json(size_t i) const;
    nlohmann::json summary_json(double seconds) const;

    const RunOptions& options_;
    std::unique_ptr<ModuleGroup> group_;
    std::vector<ModuleRun> modules_;
    CaptureWriter capture_;
    bool terminal_ = false;
    std::chrono::steady_clock::time_point started_;
    double last_progress_ = -1;
    uint64_t last_progress_bytes_ = 0;
    uint64_t last_progress_packets_ = 0;
    size_t progress_lines_ = 0;
};

// A module whose socket cannot be opened is reported and left out; true while any is left.
bool Run::open_modules() {
    bool any = false;
    for (size_t i = 0; i < modules_.size(); ++i) {
        ModuleClient& client = group_->client(i);
        if (client.open()) {
            any = true;
            continue;
        }
        report_error(client.error());
        modules_[i].live = false;
        modules_[i].failed_at = "socket";
    }
    return any;
}

bool Run::accepted(size_t i, unsigned code, const std::string& what,
                   const RequestOutcome& outcome) {
    ModuleRun& module = modules_[i];
    module.retries += outcome.attempts > 0 ? outcome.attempts - 1 : 0;
    if (!outcome.acknowledged()) {
        if (outcome.status == RequestOutcome::kNoAcknowledge) ++module.missing_acknowledges;
        report_unacknowledged(group_->client(i), code, outcome);
        return false;
    }
    if (outcome.ack.error != packet::kDone) {
        const std::string name = single() ? "" : group_->client(i).module().text() + ": ";
        report_error(name + command_name(code) + what + ": error " +
                     std::to_string(outcome.ack.error) + " (" + error_text(outcome.ack.error) +
                     ")");
        return false;
    }
    return true;
}

bool Run::request_all(const ModuleRequest& request, const std::string& what) {
    std::vector<size_t> members;
    for (size_t i = 0; i < modules_.size(); ++i) {
        if (modules_[i].live) members.push_back(i);
    }
    const std::vector<RequestOutcome> outcomes = group_->request(members, request);
    bool any = false;
    for (size_t k = 0; k < members.size(); ++k) {
        if (accepted(members[k], request.code, what, outcomes[k])) {
            any = true;
            continue;
        }
        ModuleRun& module = modules_[members[k]];
        module.live = false;
        module.failed_at = command_name(request.code) + what;
    }
    return any;
}

bool Run::configure() {
    if (!request_all(ModuleRequest::discovery(), "")) return false;
    // A run left going by an earlier host would stream on into this one with its own event
    // numbers: stop it, so that this run starts at event 1. A stop while idle does nothing.
    if (!request_all(ModuleRequest::daq_command(packet::kAllHybrids, false),
                     " (stop before the run)")) {
        return false;
    }
    for (unsigned hybrid : options_.hybrids) {
        const std::string what = " of hybrid " + std::to_string(hybrid);
        if (!request_all(
                ModuleRequest::stream_configuration({hybrid, options_.chip_type, options_.chips}),
                what) ||
            !request_all(ModuleRequest::readout_mode({hybrid, options_.mode, options_.nadj}),
                         what)) {
            return false;
        }
    }
    return true;
}

void Run::take(ModuleRun& module, const Datagram& datagram) {
    record(datagram);
    if (Acknowledge::parse(datagram.data, datagram.length)) {
        ++module.acknowledges;
        return;
    }
    if (module.counting) module.statistics.add(DataPacketView(datagram.data, datagram.length));
}

// --events N: every module that runs has reached event N (those that reach it first send on
// until the common stop).
bool Run::events_reached() const {
    return std::all_of(modules_.begin(), modules_.end(), [this](const ModuleRun& m) {
        return !m.started || m.statistics.triggers() >= options_.events;
    });
}

void Run::progress(bool last) {
    if (!terminal_) return;
    const double now = seconds_since(started_);
    // At most ten lines a second.
    if (!last && now - last_progress_ < 0.1) return;
    const double span = now - last_progress_;
    uint64_t events = 0;
    uint64_t packets = 0;
    uint64_t bytes = 0;
    uint64_t missing = 0;
    size_t started = 0;
    for (const ModuleRun& m : modules_) {
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
        for (size_t i = 0; i < modules_.size(); ++i) {
            const ModuleFigures f = figures(i);
            line += group_->client(i).module().text() + "  " + std::to_string(f.events) +
                    " events, missing " + std::to_string(f.missing);
            if (!modules_[i].failed_at.empty()) line += ", failed at " + modules_[i].failed_at;
            line += "\x1b[K\n";
        }
        progress_lines_ = modules_.size();
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
        const StreamStatistics& statistics = modules_[0].statistics;
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

void Run::receive_until_done() {
    while (!interrupted) {
        if (group_->receive(0.1) < 0) {
            report_error(group_->error());
            return;
        }
        progress(false);
        if (options_.events > 0 && events_reached()) return;
        if (options_.seconds > 0 && seconds_since(started_) >= options_.seconds) return;
    }
}

// Takes what the modules sent before the stop: until nothing has come for 0.2 s, 2 s at most.
void Run::drain() {
    const auto start = std::chrono::steady_clock::now();
    while (seconds_since(start) < 2.0) {
        const int n = group_->receive(0.2);
        if (n <= 0) return;
    }
}

int Run::execute() {
    const auto settings =
        module_list_settings(options_.module, options_.address_given, options_.list);
    if (!settings) return kExitFailure;
    group_ = std::make_unique<ModuleGroup>(*settings);
    modules_.resize(settings->size());
    if (!open_modules()) return kExitFailure;
    if (!options_.out.empty() && !capture_.open(options_.out)) {
        report_error(capture_.error());
        return kExitFailure;
    }
    // modules_ is not resized again: the receivers keep their module.
    for (size_t i = 0; i < modules_.size(); ++i) {
        ModuleRun& module = modules_[i];
        group_->client(i).on_receive([this, &module](const Datagram& d) { take(module, d); });
        group_->client(i).on_send([this](const Datagram& d) { record(d); });
    }
    catch_signals();
    terminal_ = isatty(STDERR_FILENO) != 0;

    bool ok = configure();
    if (ok && interrupted) {
        report_error("interrupted before the start");
        ok = false;
    }
    started_ = std::chrono::steady_clock::now();
    // The module sends in order: after the acknowledge of the stop that configure() made,
    // nothing of an earlier run can come.
    for (ModuleRun& m : modules_) m.counting = true;
    double seconds = 0;
    const bool ran =
        ok && request_all(ModuleRequest::daq_command(packet::kAllHybrids, true), " (start)");
    if (ran) {
        for (ModuleRun& m : modules_) m.started = m.live;
        receive_until_done();
        seconds = seconds_since(started_);
        // The stop goes out whatever ended the run, so that no module streams on.
        request_all(ModuleRequest::daq_command(packet::kAllHybrids, false), " (stop)");
        drain();
        progress(true);
    }
    if (capture_.is_open() && !capture_.close()) {
        report_error(capture_.error());
        ok = false;
    }
    // Without a run there is nothing to sum up; the errors said why.
    if (ran && options_.json) {
        std::printf("%s\n", summary_json(seconds).dump(2).c_str());
    } else if (ran) {
        print_summary(seconds);
    }
    const bool every_module = std::all_of(modules_.begin(), modules_.end(),
                                          [](const ModuleRun& m) { return m.failed_at.empty(); });
    return ran && ok && every_module ? 0 : kExitFailure;
}

std::string number(const std::optional<double>& value, const char* format) {
    if (!value) return "-";
    char text[64];
    std::snprintf(text, sizeof(text), format, *value);
    return text;
}

unsigned long long ull(uint64_t n) { return static_cast<unsigned long long>(n); }

ModuleFigures Run::figures(size_t i) const {
    const ModuleRun& m = modules_[i];
    ModuleFigures f;
    double rates = 0;
    int streams_with_rate = 0;
    for (const StreamSummary& s : m.statistics.summaries()) {
        f.hybrids += (f.hybrids.empty() ? "" : ",") + std::to_string(s.hybrid);
        f.packets += s.packets;
        f.missing += s.missing;
        if (s.trigger_rate_hz) {
            rates += *s.trigger_rate_hz;
            ++streams_with_rate;
        }
    }
    if (streams_with_rate > 0) f.trigger_rate_hz = rates / streams_with_rate;
    f.events = m.statistics.triggers();
    f.malformed = m.statistics.malformed_total();
    f.kernel_drops = group_->client(i).kernel_drops();
    f.acknowledges = m.acknowledges;
    f.missing_acknowledges = m.missing_acknowledges;
    f.retries = m.retries;
    return f;
}

ModuleFigures Run::total() const {
    ModuleFigures sum;
    for (size_t i = 0; i < modules_.size(); ++i) {
        sum.add(figures(i));
        sum.started += modules_[i].started ? 1 : 0;
        sum.failed += modules_[i].failed_at.empty() ? 0 : 1;
    }
    sum.modules = modules_.size();
    return sum;
}

void Run::print_summary(double seconds) const {
    if (!single()) {
        print_modules(seconds);
        return;
    }
    const StreamStatistics& statistics = modules_[0].statistics;
    std::printf("run of %.3f s from %s\n", seconds, group_->client(0).module().text().c_str());
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
    const ModuleFigures f = figures(0);
    std::printf(
        "malformed %llu, dropped at the socket %llu, acknowledges missing %llu, "
        "retries %llu\n",
        ull(f.malformed), ull(f.kernel_drops), ull(f.missing_acknowledges), ull(f.retries));
    for (const auto& [fault, n] : statistics.malformed()) {
        std::printf("  %llu %s\n", ull(n), describe(fault));
    }
    if (!options_.out.empty()) {
        std::printf("recorded %llu datagrams in %s\n", ull(capture_.records()),
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
    std::printf("run of %.3f s from %zu modules\n", seconds, modules_.size());
    std::printf("%-21s %-8s %9s %10s %8s %10s %9s %7s %12s %7s  %s\n", "module", "hybrids",
                "events", "packets", "missing", "trigger Hz", "malformed", "dropped",
                "acks missing", "retries", "failed at");
    for (size_t i = 0; i < modules_.size(); ++i) {
        const ModuleFigures f = figures(i);
        const std::string& failed_at = modules_[i].failed_at;
        print_module_row(group_->client(i).module().text(), f.hybrids.empty() ? "-" : f.hybrids, f,
                         failed_at.empty() ? "-" : failed_at);
    }
    const ModuleFigures all = total();
    print_module_row(
        "total, " + std::to_string(all.started) + " of " + std::to_string(all.modules) + " ran", "",
        all, all.failed == 0 ? "-" : std::to_string(all.failed) + " failed");
    for (size_t i = 0; i < modules_.size(); ++i) {
        for (const auto& [fault, n] : modules_[i].statistics.malformed()) {
            std::printf("  %s: %llu %s\n", group_->client(i).module().text().c_str(), ull(n),
                        describe(fault));
        }
    }
    if (!options_.out.empty()) {
        std::printf("recorded %llu datagrams in %s\n", ull(capture_.records()),
                    options_.out.c_str());
    }
}

nlohmann::json optional_json(const std::optional<double>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

// What the summary of one module holds, and each entry of "modules" with many.
nlohmann::json Run::module_json(size_t i) const {
    const ModuleRun& m = modules_[i];
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
    return {{"module", group_->client(i).module().text()},
            {"hybrids", hybrids},
            {"malformed", malformed},
            {"kernel_drops", group_->client(i).kernel_drops()},
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
        for (size_t i = 0; i < modules_.size(); ++i) {
            const ModuleRun& m = modules_[i];
            const ModuleFigures f = figures(i);
            nlohmann::json module = module_json(i);
            module["events"] = f.events;
            module["packets"] = f.packets;
            module["missing"] = f.missing;
            module["trigger_rate_hz"] = optional_json(f.trigger_rate_hz);
            module["failed_at"] =
                m.failed_at.empty() ? nlohmann::json(nullptr) : nlohmann::json(m.failed_at);
            modules.push_back(std::move(module));
        }
        result = {{"modules", modules}, {"total", total_json(total())}};
    }
    result["seconds"] = seconds;
    if (!options_.out.empty()) {
        result["capture"] = {{"file", options_.out}, {"records", capture_.records()}};
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
