#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "CommandLine.h"
#include "Commands.h"
#include "daqhost/RecordedRun.h"
#include "daqhost/RunSummary.h"

using namespace daq;

namespace {

struct StatsOptions {
    std::string capture;
    std::optional<uint16_t> port;  // learned from the capture's discovery unless given
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
        report_error(options.capture + ": " + run.no_module_reason());
        return kExitFailure;
    }
    const RunSummary summary = RunSummary::of(run, options.capture);
    std::fputs(options.json ? (summary.json() + "\n").c_str() : summary.text().c_str(), stdout);
    // As the run itself ended: 1 when a module was left out or ended it in an outage.
    return whole && run.every_module_ran() ? 0 : kExitFailure;
}

}  // namespace

void add_stats_command(CLI::App& app, int& status) {
    auto options = std::make_shared<StatsOptions>();
    CLI::App* command = app.add_subcommand(
        "stats", "the summary that run prints, per hybrid or per module, from a capture");
    command->add_option("FILE", options->capture, "the capture (pcap) of a run")->required();
    command->add_option(
        "--port", options->port,
        "the module's UDP port (by default, the one the capture's discovery shows)");
    command->add_flag("--json", options->json, "print the summary as JSON");
    command->callback([options, &status] { status = stats(*options); });
}
