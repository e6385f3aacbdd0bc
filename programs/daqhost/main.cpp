// daqhost: the reference host program for the readout module. Subcommands control a module
// (discover, stream, romode, set, start, stop, request), take a run (run), and read what a run
// recorded (decode, plot, stats), and show a run live in a browser (run --monitor, monitor).
#include <CLI/CLI.hpp>
#include <exception>

#include "CommandLine.h"
#include "Commands.h"

int main(int argc, char** argv) {
    try {
        CLI::App app{
            "daqhost: control a readout module, take runs, decode, plot and sum up captures"};
        app.require_subcommand(1);
        int status = 0;
        add_control_commands(app, status);
        add_run_command(app, status);
        add_decode_command(app, status);
        add_plot_command(app, status);
        add_stats_command(app, status);
        add_monitor_command(app, status);
        try {
            app.parse(argc, argv);
        } catch (const CLI::ParseError& e) {
            const int code = app.exit(e);
            return code == 0 ? 0 : kExitUsage;
        }
        return status;
    } catch (const std::exception& e) {
        // Out of memory, or a library's own failure: said plainly rather than as an abort.
        report_error(e.what());
        return kExitFailure;
    }
}
