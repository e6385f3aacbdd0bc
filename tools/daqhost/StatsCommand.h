// daqhost stats FILE [--json]: the summary that daqhost run prints, from a recorded capture.
#pragma once

namespace CLI {
class App;
}

// Adds the subcommand; when it runs, `status` receives its exit status.
void add_stats_command(CLI::App& app, int& status);
