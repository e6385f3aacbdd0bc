// daqhost run: discovery, configuration of the chosen hybrids, a run for a number of events or
// seconds (or until Ctrl-C), the stop, and a summary per hybrid; --out records the session.
// With many modules (--module, --modules), each step goes to all of them at once, and the
// summary has a row per module.
#pragma once

namespace CLI {
class App;
}

// Adds the subcommand; when it runs, `status` receives its exit status.
void add_run_command(CLI::App& app, int& status);
