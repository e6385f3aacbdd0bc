#include "StatsCommand.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "CommandLine.h"
#include "RunSummary.h"
#include "daqhost/RecordedRun.h"

using namespace daq;

namespace {

struct StatsOptions {
    std::string capture;
    uint16_t port = ModuleClient::kModulePort;
    bool json = false;
};

int stats(const StatsOptions& options) {
    RecordedRun run(options.port);
    const bool whole = run.read(options.capture);
    if (!whole) {
        if (run.records() == 0) {
            report_error(run.error());
            return kExitFailure;
        }
        // As decode and plot do: what came before the damage is shown, and the command fails.
        report_error(run.error() + " (summing up the datagrams before it)");
    }
    if (run.size() == 0) {
        report_error(options.capture + ": no datagram to or from port " +
                     std::to_string(options.port));
        return kExitFailure;
    }
    const RunSummary summary = recorded_summary(run, options.capture);
    if (options.json) {
        std::printf("%s\n", summary_json(summary).dump(2).c_str());
    } else {
        print_summary(summary);
    }
    return whole ? 0 : kExitFailure;
}

}  // namespace

void add_stats_command(CLI::App& app, int& status) {
    auto options = std::make_shared<StatsOptions>();
    CLI::App* command = app.add_subcommand(
        "stats", "the summary that run prints, per hybrid or per module, from a capture");
    command->add_option("FILE", options->capture, "the capture (pcap) of a run")->required();
    command->add_option("--port", options->port, "the module's UDP port")->capture_default_str();
    command->add_flag("--json", options->json, "print the summary as JSON");
    command->callback([options, &status] { status = stats(*options); });
}
