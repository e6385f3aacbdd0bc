#include "daqhost/PlotCommand.h"

#include <CLI/CLI.hpp>

void add_plot_command(CLI::App& app, int& status) {
    app.add_subcommand("plot", "not yet")->callback([&status] { status = 1; });
}
