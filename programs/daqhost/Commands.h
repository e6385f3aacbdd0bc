// The subcommands of daqhost. Each add_* adds its own to `app`; when one runs, `status`
// receives its exit status.
#pragma once

namespace CLI {
class App;
}

// discover, stream, romode, set, start, stop and request: one request each. Each makes itself
// the module's host by discovery first, prints the acknowledge, and exits 1 on an error code
// or when no acknowledge comes.
void add_control_commands(CLI::App& app, int& status);
// run: discovery, configuration of the chosen hybrids, a run for a number of events or seconds
// (or until Ctrl-C), the stop, and a summary per hybrid; --out records the session. With many
// modules (--module, --modules), each step goes to all of them at once, and the summary has a
// row per module.
void add_run_command(CLI::App& app, int& status);
// decode FILE [--json] [--port N]: the datagrams of a capture, one line each.
void add_decode_command(CLI::App& app, int& status);
// plot FILE --out PNG: per module and hybrid, the hit map on the channel grid, the pedestal
// distribution and the hit-amplitude distribution of a capture, drawn by gnuplot.
void add_plot_command(CLI::App& app, int& status);
// stats FILE [--json]: the summary that run prints, from a recorded capture.
void add_stats_command(CLI::App& app, int& status);
// monitor: a recorded run shown by the monitor, replayed at the pace it was recorded or at
// once.
void add_monitor_command(CLI::App& app, int& status);
