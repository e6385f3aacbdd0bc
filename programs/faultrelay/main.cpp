// faultrelay: relays UDP datagrams between hosts and one module, and does to them, per
// direction and reproducibly from a seed, what an imperfect network would: drops, delays,
// duplicates, reorders and flipped bits.
#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <nlohmann/json.hpp>

#include "faultrelay/CommandLine.h"
#include "faultrelay/FaultList.h"
#include "faultrelay/FaultRelay.h"
#include "faultrelay/Report.h"

int main(int argc, char** argv) {
    try {
        CLI::App app{
            "faultrelay: relay UDP datagrams between hosts and a module, with faults that a seed "
            "makes reproducible"};
        RelayOptions options;
        add_relay_options(app, options);
        try {
            app.parse(argc, argv);
        } catch (const CLI::ParseError& e) {
            const int code = app.exit(e);
            return code == 0 ? 0 : kExitUsage;
        }
        if (options.list_faults) {
            std::cout << fault_list().dump(1) << std::endl;
            return 0;
        }
        std::string error;
        const std::optional<RelaySettings> settings = relay_settings(options, error);
        if (!settings) {
            report(error);
            return kExitUsage;
        }
        FaultRelay relay(*settings);
        if (!relay.open()) return kExitFailure;
        report(relay.startup_text());
        if (!relay.run()) return kExitFailure;
        std::cerr << relay.counters_text() << std::flush;
        return 0;
    } catch (const std::exception& e) {
        // Out of memory, or a library's own failure: said plainly rather than as an abort.
        report(e.what());
        return kExitFailure;
    }
}
