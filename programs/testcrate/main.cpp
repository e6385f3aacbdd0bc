// testCrate: many emulated readout modules in one process, on one event loop, each on an
// address of its own (in a network namespace of its own when told), with one deadline queue
// for their triggers or one common trigger, and faults of single modules from a control socket.
#include <iostream>
#include <memory>
#include <optional>

#include "app/ServeLoop.h"
#include "support/Vantor.h"
#include "testcrate/ControlSocketSource.h"
#include "testcrate/Crate.h"
#include "testcrate/CrateControl.h"

int main(int argc, char** argv) {
    CrateSettings settings;
    const int status = parse_crate_command_line(argc, argv, settings);
    if (status >= 0) return status;
    Vantor::ostream log;
    print_startup_lines(settings.module);
    Crate crate(settings);
    handle_signals([&] {
        for (const DAQmodule* module : crate.modules()) module->report_counters();
    });
    if (!crate.open()) {
        log << Vantor::loglevel(Vantor::Log::Error) << crate.error() << ": stopping." << std::endl;
        return 1;
    }
    std::optional<ControlSocket> control;
    std::optional<ControlSocketSource> control_source;
    if (!settings.control_socket.empty()) {
        control.emplace(settings.control_socket);
        if (!control->open()) {
            log << Vantor::loglevel(Vantor::Log::Error) << control->error() << ": stopping."
                << std::endl;
            return 1;
        }
        control_source.emplace(
            *control, [&](std::string_view line) { return answer_control_request(crate, line); });
    }
    std::cout << "Crate of " << crate.size() << " modules, "
              << (crate.common_trigger() ? "one common trigger" : "each on its own trigger")
              << std::endl;
    run_until_signalled();
    shut_down(crate.modules());
    return 0;
}
