// The faults the relay does to one direction of traffic, and how their values read, the same
// on the command line and in the control file.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

// The two directions through the relay, each with faults, counters and numbering of its own.
enum class Direction { kToModule, kFromModule };
constexpr Direction kDirections[] = {Direction::kToModule, Direction::kFromModule};

// "to-module" or "from-module", as on the command line and in the statistics.
const char* direction_name(Direction direction);
constexpr size_t index_of(Direction direction) { return direction == Direction::kToModule ? 0 : 1; }

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
    // Mean length of a burst of losses, in datagrams, 1 or more; 1: each loss on its own.
    double burst = 1;

    bool any() const;
    // True when some fault draws.
    bool draws() const;
    // "drop 3,5; loss 2% in bursts of 4; delay 10 ms ± 5 ms", or "none".
    std::string text() const;
    nlohmann::json json() const;

    bool operator==(const FaultSettings&) const = default;
};

// The faults that are a single number, and what that number is.
enum class FaultValue { kPercent, kMilliseconds, kBurstLength };

struct FaultQuantity {
    // As in the control file; the option is "--" + name.
    const char* name;
    FaultValue kind;
    double FaultSettings::*field;
};

constexpr FaultQuantity kLoss = {"loss", FaultValue::kPercent, &FaultSettings::loss};
constexpr FaultQuantity kBurst = {"burst", FaultValue::kBurstLength, &FaultSettings::burst};
constexpr FaultQuantity kDelay = {"delay", FaultValue::kMilliseconds, &FaultSettings::delay_ms};
constexpr FaultQuantity kJitter = {"jitter", FaultValue::kMilliseconds, &FaultSettings::jitter_ms};
constexpr FaultQuantity kDuplicate = {"duplicate", FaultValue::kPercent, &FaultSettings::duplicate};
constexpr FaultQuantity kReorder = {"reorder", FaultValue::kPercent, &FaultSettings::reorder};
constexpr FaultQuantity kCorrupt = {"corrupt", FaultValue::kPercent, &FaultSettings::corrupt};

// "" when the text reads as a value of the kind ("5" or "5%" for a percentage), otherwise
// what is wrong with it.
std::string read_fault_value(FaultValue kind, std::string_view text, double& value);

// The directions "to-module", "from-module" or "both" selects, by index_of; "" or what is
// wrong with the text.
std::string read_directions(std::string_view text, std::array<bool, 2>& selected);
