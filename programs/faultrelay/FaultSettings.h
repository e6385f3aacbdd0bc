// The faults the relay does to one direction of traffic. Their names, units and bounds are
// FaultList's: the command line, the control socket and --list-faults are made from it.
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

// The bytes a UDP datagram's payload takes less than its IPv4 packet: the IP and UDP headers.
constexpr size_t kIpUdpHeaderBytes = 28;

struct FaultSettings {
    // Packet numbers (from 1) to drop, in increasing order, each once.
    std::vector<uint64_t> drop = {};
    // Percentages, 0 to 100.
    double loss = 0;
    double duplicate = 0;
    double reorder = 0;
    double corrupt = 0;
    // Milliseconds, never negative: the delay, and how a hold is drawn around it (at most one
    // of the three): uniformly within ±jitter, from a normal distribution of this standard
    // deviation, or from a Pareto distribution of this shape whose scale (minimum) is the
    // delay.
    double delay_ms = 0;
    double jitter_ms = 0;
    double deviation_ms = 0;
    double pareto_shape = 0;
    // Mean length of a burst of losses, in datagrams, 1 or more; 1: each loss on its own.
    double burst = 1;
    // The rate of the link the datagrams leave by, in Mb/s (0: as fast as they come), and the
    // bytes its port queues before it drops the datagrams that do not fit.
    double bandwidth_mbps = 0;
    double queue_bytes = 131072;
    // The largest IPv4 packet (payload + kIpUdpHeaderBytes) that passes; 0: any.
    double mtu = 0;

    bool any() const;
    // True when some fault draws.
    bool draws() const;
    // "" when the settings go together, otherwise why not (two delay distributions at once).
    std::string conflict() const;
    // "drop 3,5; loss 2% in bursts of 4; delay 10 ms ± 5 ms", or "none".
    std::string text() const;
    // Every parameter by its name in FaultList.
    nlohmann::json json() const;

    bool operator==(const FaultSettings&) const = default;
};

// The directions "to-module", "from-module" or "both" selects, by index_of; "" or what is
// wrong with the text.
std::string read_directions(std::string_view text, std::array<bool, 2>& selected);
