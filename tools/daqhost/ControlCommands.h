// The subcommands that send one request each: discover, stream, romode, set, start, stop and
// request. Each makes itself the module's host by discovery first, prints the acknowledge,
// and exits 1 on an error code or when no acknowledge comes.
#pragma once

namespace CLI {
class App;
}

// Adds the subcommands; when one runs, `status` receives its exit status.
void add_control_commands(CLI::App& app, int& status);
