#include "daqhost/ControlCommands.h"

#include <CLI/CLI.hpp>

void add_control_commands(CLI::App& app, int& status) {
    app.add_subcommand("control", "not yet")->callback([&status] { status = 1; });
}
