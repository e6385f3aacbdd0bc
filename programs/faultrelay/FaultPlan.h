// The decision the relay takes for each datagram of one direction. No sockets here: the same
// settings, seed and sequence of datagrams always give the same decisions, whatever the timing.
//
// Each datagram is numbered (1, 2, 3, ... in arrival order), then, in this order: dropped when
// its IPv4 packet is larger than the path's MTU; dropped when its number is in the drop list;
// lost at random; corrupted (one random bit flipped); sent
// twice; held back for reordering; delayed.
//
// Every draw is a pure function of the seed, the direction, the datagram's number and which
// draw it is (fault_draw below), so a fault switched on or off, or a setting changed, never
// shifts what the seed picks for a later datagram. Only two decisions look back: a datagram
// right after one held for reordering is never held itself, and in bursts of losses a datagram
// is more likely lost after a lost one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "faultrelay/FaultSettings.h"

// Which draw of a datagram decides what.
// New draws go at the end, so that the others keep their place.
enum class Draw : unsigned {
    kLoss,
    kCorrupt,
    kBit,
    kDuplicate,
    kReorder,
    kJitter,
    kNormalRadius,
    kNormalAngle,
    kPareto
};

// Draw `draw` of datagram `number` of a direction: output number `draw` + 1 of a splitmix64
// generator seeded with mix(mix(seed ^ d) ^ number), where d is 1 towards the module and 2
// from it, and mix is splitmix64's step (add 0x9E3779B97F4A7C15, then its finalizer).
uint64_t fault_draw(uint64_t seed, Direction direction, uint64_t number, Draw draw);

struct FaultDecision {
    enum class Fate { kRelayed, kDropped, kLost, kTooBig };

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

    // The settings for the datagrams from the next one on. The numbering goes on.
    void change(FaultSettings settings);

    const FaultSettings& settings() const { return settings_; }

  private:
    // A uniform draw in [0, 1) of the datagram being decided.
    double uniform(uint64_t number, Draw draw) const;
    // Whether the loss model loses datagram `number`; also decided for a dropped datagram, so
    // that the drop list never moves a burst.
    bool lose(uint64_t number);
    // The hold the delay's distribution gives datagram `number`, in µs, never below 0.
    double hold_us(uint64_t number) const;

    FaultSettings settings_;
    uint64_t seed_;
    Direction direction_;
    bool active_ = false;
    // Of the loss model: the chance that a datagram is lost after a relayed one, and after a
    // lost one.
    double enter_loss_ = 0;
    double stay_lost_ = 0;
    bool last_lost_ = false;
    uint64_t numbered_ = 0;
    // The first entry of the drop list not passed yet: numbers only grow.
    size_t next_drop_ = 0;
    bool holding_ = false;
};
