// What every module program does around its module: the first lines, the wiring of the module
// from the command line, the signals, the GLib main loop and the shutdown sequence. testModule
// and the programs built on its module classes differ only in the module they make.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "app/CommandLine.h"
#include "module/DAQmodule.h"

// The module's port, for every module program.
constexpr int kModulePort = 10000;

using ModuleFactory = std::function<std::unique_ptr<DAQmodule>(const StartupSettings&)>;

// Prints the chip and mask lines, makes the module, builds its streams, sets its rate and
// efficiency, then serves it from the GLib main loop until SIGINT or SIGTERM: then stops the
// run, waits one second and stops the server. Returns the exit status: 0, or 1 when the
// socket cannot be made.
int serve_module(const StartupSettings& settings, const ModuleFactory& make_module);

// The steps of serve_module, for a program that serves several modules in one loop.
//
// The first lines: the chip and the mask.
void print_startup_lines(const StartupSettings& settings);
// Builds the module's streams and sets its rate, efficiency and trigger wait.
void set_up_module(DAQmodule& module, const StartupSettings& settings);
// Serves the module's requests from the main loop; returns the source's id.
guint watch_requests(DAQmodule& module);
// From now on SIGINT and SIGTERM end run_until_signalled, and SIGUSR1 calls `report_counters`
// while it runs.
void handle_signals(std::function<void()> report_counters);
void run_until_signalled();
// Stops every module's run, waits one second, then stops each server and reports its
// counters.
void shut_down(const std::vector<DAQmodule*>& modules);
