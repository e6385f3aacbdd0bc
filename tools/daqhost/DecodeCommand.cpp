#include "daqhost/DecodeCommand.h"

#include <CLI/CLI.hpp>

void add_decode_command(CLI::App& app, int& status) {
    app.add_subcommand("decode", "not yet")->callback([&status] { status = 1; });
}
