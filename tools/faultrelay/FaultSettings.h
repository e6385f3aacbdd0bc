// The faults the relay does to one direction of traffic, as the command line set them.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

// The two directions through the relay, each with faults, counters and numbering of its own.
enum class Direction { kToModule, kFromModule };
constexpr Direction kDirections[] = {Direction::kToModule, Direction::kFromModule};

// "to-module" or "from-module", as on the command line and in the statistics.
const char* direction_name(Direction direction);

struct FaultSettings {
    // Packet numbers (from 1) to drop, in increasing order, each once.
    std::vector<uint64_t> drop = {};
    // Percentages, 0 to 100.
    double loss = 0;
    double duplicate = 0;
    double reorder = 0;
    double corrupt = 0;
    // Milliseconds, never negative.
    double delay_ms = 0;
    double jitter_ms = 0;

    bool any() const;
    // True when some fault draws from the random generator.
    bool draws() const;
    // "drop 3,5; loss 2%; delay 10 ms ± 5 ms", or "none".
    std::string text() const;
    nlohmann::json json() const;
};
