// daqhost monitor: a recorded run shown by the monitor, replayed at the pace it was recorded
// or at once.
#pragma once

namespace CLI {
class App;
}

void add_monitor_command(CLI::App& app, int& status);
