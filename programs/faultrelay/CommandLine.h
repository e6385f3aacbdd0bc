// faultrelay's command line: the addresses, the seed, the files it reads and writes, the
// faults of each direction, and the exit statuses.
#pragma once

#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "faultrelay/FaultList.h"
#include "faultrelay/FaultRelay.h"

namespace CLI {
class App;
}

// Exit statuses: 0 success, 1 a failure (a socket, the statistics file), 2 a command line
// that could not be understood.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// One option a parameter of FaultList: --drop, --loss, --burst, ...
constexpr size_t kFaultOptionCount = std::size(kFaultParameters);

struct RelayOptions {
    std::string listen;
    std::string module;
    uint64_t seed = 0;
    std::string stats;
    std::string control_socket;
    std::string decisions;
    bool list_faults = false;
    // The values of each fault option, "[DIR:]VALUE", in the order given, by the place of its
    // parameter in kFaultParameters.
    std::array<std::vector<std::string>, kFaultOptionCount> faults;
};

// Every option, each value checked as it is parsed. The seed's default is drawn here, so that
// a run without --seed still says which seed it used.
void add_relay_options(CLI::App& app, RelayOptions& options);

// The relay's settings from options that have been parsed; nothing (and the reason in
// `error`) for a value that does not read, or without --listen or --module.
std::optional<RelaySettings> relay_settings(const RelayOptions& options, std::string& error);
