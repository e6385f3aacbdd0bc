// daqhost decode FILE [--json] [--port N]: the datagrams of a capture, one line each.
#pragma once

namespace CLI {
class App;
}

// Adds the subcommand; when it runs, `status` receives its exit status.
void add_decode_command(CLI::App& app, int& status);
