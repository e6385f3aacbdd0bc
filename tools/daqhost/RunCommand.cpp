#include "RunCommand.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "MonitorServer.h"
#include "daqhost/RunSession.h"
#include "daqhost/RunSnapshot.h"
#include "daqhost/RunSummary.h"

using namespace daq;

namespace {

// How a module's hybrids are configured: the run's options, and a module's own, which replace
// those of the run that they name.
struct HybridOptions {
    std::vector<unsigned> hybrids = {1};
    // --hybrid H:key=value,...: settings of one hybrid beside those for all.
    std::vector<std::string> hybrid_settings;
    unsigned chip_type = 1;
    unsigned chips = 2;
    unsigned mode = 1;
    unsigned nadj = 0;
};

struct RunOptions {
    ModuleOptions module;
    ModuleListOptions list;
    bool address_given = false;
    HybridOptions hybrids;
    uint64_t events = 0;
    double seconds = 0;
    std::string capture;
    bool json = false;
    bool recover = false;
    RecoverySettings recovery;
    std::string monitor;  // [ADDR:]PORT; empty for none
    double resolve_every_s = 1.0;
    size_t expect_modules = 0;
};

// --hybrids, --hybrid, --chip-type, --chips, --mode and --nadj: the run's, and the grammar of
// a module's own options.
void add_hybrid_options(CLI::App& command, HybridOptions& options) {
    command.add_option("--hybrids", options.hybrids, "hybrids to configure, e.g. 1,2")
        ->delimiter(',')
        ->capture_default_str()
        ->check(CLI::Range(1, 4));
    command
        .add_option("--hybrid", options.hybrid_settings,
                    "one hybrid's own settings, e.g. 1:mode=4,nadj=2,chips=3 (repeat it)")
        ->type_name("H:KEY=VALUE,...");
    add_chip_options(command, options.chip_type, options.chips);
    command
        .add_option("--mode", options.mode,
                    "readout mode: 1 all channels, 2 the hit, 4 the hit and neighbours")
        ->capture_default_str()
        ->check(CLI::Range(0, 15));
    command.add_option("--nadj", options.nadj, "neighbours on each side of the hit (mode 4)")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
}

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

// "H:mode=M,nadj=N,chips=C" (any of the three, in any order) sets hybrid H, which is added
// to the hybrids of the run if --hybrids did not name it; the rest take the options for all.
// Empty, or why the text is wrong.
std::string apply_hybrid_settings(const std::string& text, const HybridOptions& options,
                                  std::vector<HybridSettings>& hybrids) {
    const auto bad = [&text](const std::string& why) { return "--hybrid " + text + ": " + why; };
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
    return "";
}

// The hybrids the options configure; nothing, with `error` set, for a bad --hybrid.
std::optional<std::vector<HybridSettings>> hybrid_settings(const HybridOptions& options,
                                                           std::string& error) {
    std::vector<HybridSettings> hybrids;
    for (unsigned hybrid : options.hybrids) {
        hybrids.push_back({hybrid, options.chips, options.mode, options.nadj});
    }
    for (const std::string& text : options.hybrid_settings) {
        error = apply_hybrid_settings(text, options, hybrids);
        if (!error.empty()) return std::nullopt;
    }
    return hybrids;
}

// A module's own settings: its options read over the run's. Nothing, and the error reported
// with where the options were given, when they cannot be read.
std::optional<ModuleRunSettings> module_run_settings(const NamedModule& named,
                                                     const HybridOptions& run) {
    if (named.options.empty()) return ModuleRunSettings{};
    const std::string where = named.where.empty() ? named.module.text() : named.where;
    HybridOptions own = run;
    CLI::App parser;
    parser.set_help_flag();
    parser.allow_extras();
    add_hybrid_options(parser, own);
    // The parser takes the words last first.
    std::vector<std::string> words(named.options.rbegin(), named.options.rend());
    try {
        parser.parse(words);
    } catch (const CLI::ParseError& e) {
        report_error(where + ": " + e.what());
        return std::nullopt;
    }
    if (!parser.remaining().empty()) {
        std::string extra;
        for (const std::string& word : parser.remaining())
            extra += (extra.empty() ? "" : " ") + word;
        report_error(where + ": \"" + extra +
                     "\" is not a module's option (--hybrids, --hybrid, --chip-type, --chips, "
                     "--mode, --nadj)");
        return std::nullopt;
    }
    std::string error;
    std::optional<std::vector<HybridSettings>> hybrids = hybrid_settings(own, error);
    if (!hybrids) {
        report_error(where + ": " + error);
        return std::nullopt;
    }
    return ModuleRunSettings{std::move(hybrids), own.chip_type};
}

class Run {
  public:
    explicit Run(const RunOptions& options) : options_(options) {}
    int execute();

  private:
    bool single() const { return session_->single(); }
    std::string module_name(size_t i) const { return session_->client(i).module().text(); }
    void progress(bool last);
    // The monitor's figures, at most five times a second unless the run is done.
    void publish(bool done);

    const RunOptions& options_;
    std::unique_ptr<RunSession> session_;
    bool terminal_ = false;
    RunProgress last_progress_;
    bool progressed_ = false;
    size_t progress_lines_ = 0;
    std::unique_ptr<MonitorServer> monitor_;
    uint64_t snapshots_ = 0;
    std::chrono::steady_clock::time_point published_;
};

void Run::publish(bool done) {
    if (!monitor_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!done && now - published_ < std::chrono::milliseconds(200)) return;
    monitor_->publish(RunSnapshot::of(RunSummary::of(*session_), ++snapshots_, done));
    published_ = now;
}

void Run::progress(bool last) {
    if (!terminal_) return;
    const RunProgress p = session_->progress();
    // At most ten lines a second.
    if (!last && progressed_ && p.seconds - last_progress_.seconds < 0.1) return;
    const double span = p.seconds - last_progress_.seconds;
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
            if (session_->module(i).left_s) line += ", left";
            line += "\x1b[K\n";
        }
        progress_lines_ = session_->size();
        line += std::to_string(p.started) + " modules, the fewest ";
    }
    line += std::to_string(p.fewest_events) + " events";
    char text[128];
    if (progressed_ && span > 0) {
        std::snprintf(text, sizeof(text), ", %.0f packets/s, %.2f MB/s",
                      static_cast<double>(p.packets - last_progress_.packets) / span,
                      static_cast<double>(p.bytes - last_progress_.bytes) / span / 1e6);
        line += text;
    }
    line += ", missing";
    if (single()) {
        const StreamStatistics& statistics = session_->module(0).statistics;
        for (int hybrid : statistics.hybrids()) {
            line += " " + std::to_string(hybrid) + ":" + std::to_string(statistics.missing(hybrid));
        }
    } else {
        line += " " + std::to_string(p.missing);
    }
    line += "\x1b[K";
    if (last) line += "\n";
    std::fputs(line.c_str(), stderr);
    last_progress_ = p;
    progressed_ = true;
}

int Run::execute() {
    const auto modules = named_modules(options_.module, options_.address_given, options_.list);
    if (!modules) return kExitFailure;
    RunSettings settings;
    std::string error;
    std::optional<std::vector<HybridSettings>> hybrids = hybrid_settings(options_.hybrids, error);
    if (!hybrids) {
        report_error(error);
        return kExitFailure;
    }
    settings.hybrids = std::move(*hybrids);
    settings.chip_type = options_.hybrids.chip_type;
    for (const NamedModule& named : *modules) {
        settings.modules.push_back(options_.module.settings_for(named.module));
        const std::optional<ModuleRunSettings> own = module_run_settings(named, options_.hybrids);
        if (!own) return kExitFailure;
        settings.per_module.push_back(*own);
    }
    settings.events = options_.events;
    settings.seconds = options_.seconds;
    settings.capture = options_.capture;
    if (options_.recover) settings.recover = options_.recovery;
    if (!options_.list.dns.empty() && options_.resolve_every_s > 0) {
        FollowSettings follow;
        follow.names = {options_.list.dns};
        follow.every_s = options_.resolve_every_s;
        follow.common = options_.module.settings_for(Endpoint{0, options_.module.port});
        settings.follow = follow;
        settings.expect_modules = options_.expect_modules;
    }
    if (!options_.monitor.empty()) {
        std::string address;
        uint16_t port = 0;
        if (!parse_monitor_address(options_.monitor, address, port)) {
            report_error("--monitor " + options_.monitor + ": expected [ADDR:]PORT, e.g. 8000");
            return kExitFailure;
        }
        monitor_ = std::make_unique<MonitorServer>();
        if (!monitor_->start(address, port)) {
            report_error(monitor_->error());
            return kExitFailure;
        }
        std::fprintf(stderr, "daqhost: monitor on %s\n", monitor_->url().c_str());
        settings.live_view = true;
    }
    session_ = std::make_unique<RunSession>(std::move(settings));
    session_->on_error(report_error);
    catch_interrupts();
    terminal_ = isatty(STDERR_FILENO) != 0;
    const bool ok = session_->run([this] {
        progress(false);
        publish(false);
        return !interrupted();
    });
    // Without a start there is nothing to sum up; the errors said why.
    if (session_->total().started == 0) return kExitFailure;
    progress(true);
    publish(true);
    const RunSummary summary = RunSummary::of(*session_);
    std::fputs(options_.json ? (summary.json() + "\n").c_str() : summary.text().c_str(), stdout);
    // What the host's own delay may have done is said as such, before anyone blames a module.
    if (const HostPace pace = session_->pace(); !pace.kept_up()) {
        std::fprintf(stderr,
                     "daqhost: the host fell behind (backlog up to %.2f s, loop late by up to "
                     "%.2f s, %llu dropped at the sockets): losses and silences in this run may "
                     "be its own, not the modules'\n",
                     pace.backlog_max_s, pace.lateness_max_s,
                     static_cast<unsigned long long>(pace.kernel_drops));
    }
    return ok ? 0 : kExitFailure;
}

}  // namespace

void add_run_command(CLI::App& app, int& status) {
    auto options = std::make_shared<RunOptions>();
    CLI::App* sub = app.add_subcommand(
        "run", "configure the hybrids, take a run, stop it and print a summary per hybrid");
    add_module_options(*sub, options->module);
    add_module_list_options(*sub, options->list);
    add_hybrid_options(*sub, options->hybrids);
    sub->add_option("-n,--events", options->events,
                    "stop when every module has this many events (triggers)");
    sub->add_option("-s,--seconds", options->seconds, "stop after this many seconds")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--capture,-o,--out", options->capture, "record the session in this pcap file");
    sub->add_flag("--json", options->json, "print the summary as JSON");
    sub->add_option("--monitor", options->monitor,
                    "show the run live in a browser: serve the monitor on [ADDR:]PORT (ADDR "
                    "127.0.0.1 unless given)")
        ->type_name("[ADDR:]PORT");
    CLI::Option* recover = sub->add_flag(
        "--recover", options->recover,
        "rediscover, configure and start again a module that falls silent, and go on");
    sub->add_option("--silence,--recover-after", options->recovery.silence_s,
                    "with --recover: seconds without data that make a module silent (at least "
                    "ten of its trigger periods)")
        ->capture_default_str()
        ->check(CLI::PositiveNumber)
        ->needs(recover);
    sub->add_option("--give-up,--give-up-after", options->recovery.give_up_s,
                    "with --recover: seconds of silence after which a module is left out")
        ->capture_default_str()
        ->check(CLI::PositiveNumber)
        ->needs(recover);
    sub->add_option("--resolve-every", options->resolve_every_s,
                    "with --modules-dns: look the name up again every S seconds during the run "
                    "(0: only at the start); a new address is a module that joins, one gone a "
                    "module that left")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber)
        ->type_name("S");
    sub->add_option("--expect-modules", options->expect_modules,
                    "with --modules-dns: the run succeeds when this many modules run at its end "
                    "(default: as many as the name had at the start)")
        ->type_name("N");
    sub->callback([options, sub, &status] {
        options->address_given = sub->count("ADDR") > 0;
        status = Run(*options).execute();
    });
}
