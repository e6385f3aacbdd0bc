// The decision the relay takes for each datagram of one direction. No sockets here: the same
// settings, seed and sequence of datagrams always give the same decisions, whatever the timing.
//
// Each datagram is numbered (1, 2, 3, ... in arrival order), then, in this order: dropped when
// its number is in the drop list; lost at random; corrupted (one random bit flipped); sent
// twice; held back for reordering; delayed. When any fault draws, every datagram takes the
// same six draws in the same order, whatever its fate, so that one fault never shifts the
// datagrams a seed picks for another.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>

#include "faultrelay/FaultSettings.h"

struct FaultDecision {
    enum class Fate { kRelayed, kDropped, kLost };

    uint64_t number = 0;
    Fate fate = Fate::kRelayed;
    // The bit flipped in the payload: bit (flipped_bit % 8) of byte (flipped_bit / 8).
    std::optional<size_t> flipped_bit = {};
    // 2 when duplicated: the copy leaves right after the original.
    unsigned copies = 1;
    // Held back until the next relayed datagram of the direction has left.
    bool held_for_reorder = false;
    // The datagram held back for reordering, if any, leaves right after this one.
    bool releases_held = false;
    // How long the datagram waits before it leaves: at most 2^50 µs (about 35 years).
    std::chrono::microseconds hold{0};

    bool operator==(const FaultDecision&) const = default;
};

class FaultPlan {
  public:
    // The longest a datagram is held, in µs (about 35 years): longer asks are held this long,
    // which the relay's clock can still add to the present time.
    static constexpr double kLongestHoldUs = 0x1p50;

    FaultPlan(FaultSettings settings, uint64_t seed, Direction direction);

    // Numbers the next datagram and decides its fate. A datagram to be corrupted has its bit
    // flipped in `payload`; an empty one is never corrupted.
    FaultDecision decide(std::span<uint8_t> payload);

    const FaultSettings& settings() const { return settings_; }

  private:
    // A uniform draw in [0, 1).
    double uniform();

    FaultSettings settings_;
    bool active_;
    bool draws_;
    std::mt19937_64 generator_;
    uint64_t numbered_ = 0;
    // The first entry of the drop list not passed yet: numbers only grow.
    size_t next_drop_ = 0;
    bool holding_ = false;
};
