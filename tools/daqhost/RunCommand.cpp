#include "daqhost/RunCommand.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "daqhost/CaptureWriter.h"
#include "daqhost/CommandLine.h"
#include "daqhost/StreamStatistics.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacketView.h"

namespace {

struct RunOptions {
    ModuleOptions module;
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

// Ctrl-C and SIGTERM end the run as the planned end does: the module is stopped, the
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

class Run {
  public:
    explicit Run(const RunOptions& options) : options_(options) {}
    int execute();

  private:
    // Counts and reports a request's outcome; true when it was acknowledged with error 0.
    bool accepted(unsigned code, const std::string& what, const RequestOutcome& outcome);
    bool configure();
    void take(const Datagram& datagram);
    void receive_until_done();
    void drain();
    void progress(bool last);
    void print_summary(double seconds) const;
    nlohmann::json summary_json(double seconds) const;

    const RunOptions& options_;
    std::unique_ptr<ModuleClient> client_;
    CaptureWriter capture_;
    StreamStatistics statistics_;
    bool counting_ = false;
    uint64_t acknowledges_ = 0;
    uint64_t missing_acknowledges_ = 0;
    uint64_t retries_ = 0;
    bool terminal_ = false;
    std::chrono::steady_clock::time_point started_;
    double last_progress_ = -1;
    uint64_t last_progress_bytes_ = 0;
    uint64_t last_progress_packets_ = 0;
};

bool Run::accepted(unsigned code, const std::string& what, const RequestOutcome& outcome) {
    retries_ += outcome.attempts > 0 ? outcome.attempts - 1 : 0;
    if (!outcome.acknowledged()) {
        if (outcome.status == RequestOutcome::kNoAcknowledge) ++missing_acknowledges_;
        report_unacknowledged(*client_, code, outcome);
        return false;
    }
    if (outcome.ack.error != packet::kDone) {
        report_error(std::string(command_name(code)) + what + ": error " +
                     std::to_string(outcome.ack.error) + " (" + error_text(outcome.ack.error) +
                     ")");
        return false;
    }
    return true;
}

bool Run::configure() {
    if (!accepted(packet::kDiscovery, "", client_->discover())) return false;
    // A run left going by an earlier host would stream on into this one with its own event
    // numbers: stop it, so that this run starts at event 1. A stop while idle does nothing.
    if (!accepted(packet::kDaqCommand, " (stop before the run)",
                  client_->daq_command(packet::kAllHybrids, false))) {
        return false;
    }
    for (unsigned hybrid : options_.hybrids) {
        const std::string what = " of hybrid " + std::to_string(hybrid);
        if (!accepted(packet::kConfigureStream, what,
                      client_->configure_stream(hybrid, options_.chip_type, options_.chips)) ||
            !accepted(packet::kReadoutMode, what,
                      client_->set_readout_mode(hybrid, options_.mode, options_.nadj))) {
            return false;
        }
    }
    return true;
}

void Run::take(const Datagram& datagram) {
    if (capture_.is_open()) {
        capture_.write(datagram.time_ns, datagram.source, datagram.destination, datagram.data,
                       datagram.length);
    }
    if (Acknowledge::parse(datagram.data, datagram.length)) {
        ++acknowledges_;
        return;
    }
    // Whatever an earlier run sent before the stop that configure() makes is not this run's.
    if (counting_) statistics_.add(DataPacketView(datagram.data, datagram.length));
}

void Run::progress(bool last) {
    if (!terminal_) return;
    const double now = seconds_since(started_);
    // At most ten lines a second.
    if (!last && now - last_progress_ < 0.1) return;
    const double span = now - last_progress_;
    std::string line = "\r" + std::to_string(statistics_.triggers()) + " events";
    char text[128];
    if (last_progress_ >= 0 && span > 0) {
        std::snprintf(text, sizeof(text), ", %.0f packets/s, %.2f MB/s",
                      (statistics_.packets() - last_progress_packets_) / span,
                      (statistics_.bytes() - last_progress_bytes_) / span / 1e6);
        line += text;
    }
    line += ", missing";
    for (int hybrid : statistics_.hybrids()) {
        line += " " + std::to_string(hybrid) + ":" + std::to_string(statistics_.missing(hybrid));
    }
    line += "\x1b[K";
    if (last) line += "\n";
    std::fputs(line.c_str(), stderr);
    last_progress_ = now;
    last_progress_packets_ = statistics_.packets();
    last_progress_bytes_ = statistics_.bytes();
}

void Run::receive_until_done() {
    while (!interrupted) {
        if (client_->receive(0.1) < 0) {
            report_error(client_->error());
            return;
        }
        progress(false);
        if (options_.events > 0 && statistics_.triggers() >= options_.events) return;
        if (options_.seconds > 0 && seconds_since(started_) >= options_.seconds) return;
    }
}

// Takes what the module sent before the stop: until nothing has come for 0.2 s, 2 s at most.
void Run::drain() {
    const auto start = std::chrono::steady_clock::now();
    while (seconds_since(start) < 2.0) {
        const int n = client_->receive(0.2);
        if (n <= 0) return;
    }
}

int Run::execute() {
    const auto settings = options_.module.settings();
    if (!settings) return kExitFailure;
    client_ = std::make_unique<ModuleClient>(*settings);
    if (!client_->open()) {
        report_error(client_->error());
        return kExitFailure;
    }
    if (!options_.out.empty() && !capture_.open(options_.out)) {
        report_error(capture_.error());
        return kExitFailure;
    }
    client_->on_receive([this](const Datagram& d) { take(d); });
    client_->on_send([this](const Datagram& d) {
        if (capture_.is_open()) {
            capture_.write(d.time_ns, d.source, d.destination, d.data, d.length);
        }
    });
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
    counting_ = true;
    double seconds = 0;
    const bool ran = ok && accepted(packet::kDaqCommand, " (start)",
                                    client_->daq_command(packet::kAllHybrids, true));
    if (ran) {
        receive_until_done();
        seconds = seconds_since(started_);
        // The stop goes out whatever ended the run, so that the module does not stream on.
        ok = accepted(packet::kDaqCommand, " (stop)",
                      client_->daq_command(packet::kAllHybrids, false));
        drain();
        progress(true);
    } else {
        ok = false;
    }
    if (capture_.is_open() && !capture_.close()) {
        report_error(capture_.error());
        ok = false;
    }
    // Without a run there is nothing to sum up; the error said why.
    if (ran && options_.json) {
        std::printf("%s\n", summary_json(seconds).dump(2).c_str());
    } else if (ran) {
        print_summary(seconds);
    }
    return ok ? 0 : kExitFailure;
}

std::string number(const std::optional<double>& value, const char* format) {
    if (!value) return "-";
    char text[64];
    std::snprintf(text, sizeof(text), format, *value);
    return text;
}

void Run::print_summary(double seconds) const {
    std::printf("run of %.3f s from %s\n", seconds, client_->module().text().c_str());
    std::printf("%-6s %10s %8s %10s %12s %10s %8s %10s %10s %10s\n", "hybrid", "packets", "missing",
                "efficiency", "trigger Hz", "pedestal", "sigma", "hit value", "amplitude",
                "time value");
    for (const StreamSummary& s : statistics_.summaries()) {
        std::printf(
            "%-6d %10llu %8llu %10.4f %12s %10s %8s %10s %10s %10s\n", s.hybrid,
            static_cast<unsigned long long>(s.packets), static_cast<unsigned long long>(s.missing),
            s.efficiency, number(s.trigger_rate_hz, "%.1f").c_str(),
            number(s.pedestal_mean, "%.2f").c_str(), number(s.pedestal_sigma, "%.2f").c_str(),
            number(s.hit_value_mean, "%.1f").c_str(), number(s.hit_amplitude_mean, "%.1f").c_str(),
            number(s.time_value_mean, "%.2f").c_str());
    }
    std::printf(
        "malformed %llu, dropped at the socket %llu, acknowledges missing %llu, "
        "retries %llu\n",
        static_cast<unsigned long long>(statistics_.malformed_total()),
        static_cast<unsigned long long>(client_->kernel_drops()),
        static_cast<unsigned long long>(missing_acknowledges_),
        static_cast<unsigned long long>(retries_));
    for (const auto& [fault, n] : statistics_.malformed()) {
        std::printf("  %llu %s\n", static_cast<unsigned long long>(n), describe(fault));
    }
    if (!options_.out.empty()) {
        std::printf("recorded %llu datagrams in %s\n",
                    static_cast<unsigned long long>(capture_.records()), options_.out.c_str());
    }
}

nlohmann::json optional_json(const std::optional<double>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json Run::summary_json(double seconds) const {
    nlohmann::json hybrids = nlohmann::json::array();
    for (const StreamSummary& s : statistics_.summaries()) {
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
    for (const auto& [fault, n] : statistics_.malformed()) malformed[describe(fault)] = n;
    nlohmann::json result = {{"module", client_->module().text()},
                             {"seconds", seconds},
                             {"hybrids", hybrids},
                             {"malformed", malformed},
                             {"kernel_drops", client_->kernel_drops()},
                             {"acknowledges", acknowledges_},
                             {"missing_acknowledges", missing_acknowledges_},
                             {"retries", retries_}};
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
    sub->add_option("-n,--events", options->events, "stop after this many events (triggers)");
    sub->add_option("-s,--seconds", options->seconds, "stop after this many seconds")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("-o,--out", options->out, "record the session in this pcap file");
    sub->add_flag("--json", options->json, "print the summary as JSON");
    sub->callback([options, &status] { status = Run(*options).execute(); });
}
