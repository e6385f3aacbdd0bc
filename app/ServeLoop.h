// What every module program does around its module: the first lines, the wiring of the module
// from the command line, the signals, the GLib main loop and the shutdown sequence. testModule
// and the programs built on its module classes differ only in the module they make.
#pragma once

#include <functional>
#include <memory>

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
