#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Commands.h"
#include "MonitorServer.h"
#include "ProgressLine.h"
#include "RunOptions.h"
#include "daqhost/RunSession.h"
#include "daqhost/RunSnapshot.h"
#include "daqhost/RunSummary.h"

using namespace daq;

namespace {

struct RunCommandOptions {
    daq::RunOptions run;
    bool json = false;
    std::string monitor;  // [ADDR:]PORT; empty for none
};

class Run {
  public:
    explicit Run(const RunCommandOptions& options) : options_(options) {}
    int execute();

  private:
    void progress(bool last);
    // The monitor's figures, at most five times a second unless the run is done.
    void publish(bool done);

    const RunCommandOptions& options_;
    std::unique_ptr<RunSession> session_;
    bool terminal_ = false;
    ProgressLine progress_line_;
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
    const std::string line = progress_line_.next(*session_, last);
    if (!line.empty()) std::fputs(line.c_str(), stderr);
}

int Run::execute() {
    std::string error;
    std::optional<RunSettings> settings = options_.run.settings(error);
    if (!settings) {
        report_error(error);
        return kExitFailure;
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
        settings->live_view = true;
    }
    session_ = std::make_unique<RunSession>(std::move(*settings));
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
    auto options = std::make_shared<RunCommandOptions>();
    CLI::App* sub = app.add_subcommand(
        "run", "configure the hybrids, take a run, stop it and print a summary per hybrid");
    options->run.add_to(*sub);
    sub->add_flag("--json", options->json, "print the summary as JSON");
    sub->add_option("--monitor", options->monitor,
                    "show the run live in a browser: serve the monitor on [ADDR:]PORT (ADDR "
                    "127.0.0.1 unless given)")
        ->type_name("[ADDR:]PORT");
    options->run.add_recovery_to(*sub);
    sub->callback([options, sub, &status] {
        options->run.parsed(*sub);
        status = Run(*options).execute();
    });
}
