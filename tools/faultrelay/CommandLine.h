// faultrelay's command line: the addresses, the seed, the files it reads and writes, the
// faults of each direction, and the exit statuses.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "faultrelay/FaultRelay.h"

namespace CLI {
class App;
}

// Exit statuses: 0 success, 1 a failure (a socket, the statistics file), 2 a command line
// that could not be understood.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// --drop, --loss, --delay, --jitter, --duplicate, --reorder, --corrupt, --burst.
constexpr size_t kFaultOptionCount = 8;

struct RelayOptions {
    std::string listen;
    std::string module;
    uint64_t seed = 0;
    std::string stats;
    std::string control;
    std::string decisions;
    // The values of each fault option, "[DIR:]VALUE", in the order given.
    std::array<std::vector<std::string>, kFaultOptionCount> faults;
};

// Every option, each value checked as it is parsed. The seed's default is drawn here, so that
// a run without --seed still says which seed it used.
void add_relay_options(CLI::App& app, RelayOptions& options);

// The relay's settings from options that have been parsed; nothing (and the reason in
// `error`) for a value that does not read.
std::optional<RelaySettings> relay_settings(const RelayOptions& options, std::string& error);
