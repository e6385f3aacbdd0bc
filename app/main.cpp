// testModule: emulates one network data-acquisition readout module on UDP port 10000.
#include <memory>

#include "app/CommandLine.h"
#include "app/ServeLoop.h"
#include "module/DAQmodule.h"

int main(int argc, char** argv) {
    StartupSettings settings;
    const int status = parse_command_line(argc, argv, settings);
    if (status >= 0) return status;
    return serve_module(settings, [](const StartupSettings& s) {
        return std::make_unique<DAQmodule>(s.interface, kModulePort, s.chip_type);
    });
}
