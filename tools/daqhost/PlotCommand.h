// daqhost plot FILE --out PNG: per module and hybrid, the hit map on the channel grid, the
// pedestal distribution and the hit-amplitude distribution of a capture, drawn by gnuplot.
#pragma once

namespace CLI {
class App;
}

// Adds the subcommand; when it runs, `status` receives its exit status.
void add_plot_command(CLI::App& app, int& status);
