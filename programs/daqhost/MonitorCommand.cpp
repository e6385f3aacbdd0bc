#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "CapturePlayback.h"
#include "CommandLine.h"
#include "Commands.h"
#include "MonitorServer.h"
#include "daqhost/CaptureReader.h"
#include "daqhost/RecordedRun.h"
#include "daqhost/RunSnapshot.h"
#include "daqhost/RunSummary.h"

using namespace daq;

namespace {

struct MonitorOptions {
    std::string capture;
    std::string listen = "8000";
    bool at_once = false;
    std::optional<uint16_t> port;  // learned from the capture's discovery unless given
};

int monitor(const MonitorOptions& options) {
    std::string address;
    uint16_t listen_port = 0;
    if (!parse_monitor_address(options.listen, address, listen_port)) {
        report_error("--monitor " + options.listen + ": expected [ADDR:]PORT, e.g. 8000");
        return kExitFailure;
    }
    CaptureReader reader;
    if (!reader.open(options.capture)) {
        report_error(reader.error());
        return kExitFailure;
    }
    MonitorServer server;
    if (!server.start(address, listen_port)) {
        report_error(server.error());
        return kExitFailure;
    }
    std::fprintf(stderr, "daqhost: monitor on %s\n", server.url().c_str());
    catch_interrupts();

    RecordedRun run(options.port);
    run.keep_channels();
    uint64_t sequence = 0;
    const auto publish = [&](bool done) {
        server.publish(RunSnapshot::of(RunSummary::of(run, options.capture), ++sequence, done));
    };
    CapturePlayback(reader, run)
        .play(
            options.at_once, [] { return !interrupted(); }, [&] { publish(false); });
    run.finish();
    publish(true);
    if (run.size() == 0) report_error(options.capture + ": " + run.no_module_reason());
    if (reader.failed()) report_error(reader.error() + " (showing the datagrams before it)");
    if (!interrupted()) {
        std::fprintf(stderr, "daqhost: %s shown whole; the monitor serves until interrupted\n",
                     options.capture.c_str());
    }
    while (!interrupted()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return reader.failed() ? kExitFailure : 0;
}

}  // namespace

void add_monitor_command(CLI::App& app, int& status) {
    auto options = std::make_shared<MonitorOptions>();
    CLI::App* command = app.add_subcommand(
        "monitor", "show a recorded run in the browser monitor, at its pace or at once");
    command->add_option("FILE", options->capture, "the capture (pcap) of a run")->required();
    command
        ->add_option("--monitor", options->listen,
                     "serve the monitor on [ADDR:]PORT (ADDR 127.0.0.1 unless given)")
        ->capture_default_str();
    command->add_flag("--at-once", options->at_once,
                      "read the whole capture at once instead of at the pace it was recorded");
    command->add_option(
        "--port", options->port,
        "the module's UDP port (by default, the one the capture's discovery shows)");
    command->callback([options, &status] { status = monitor(*options); });
}
