#include "faultrelay/FaultPlan.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// About 35 years: a longer hold is as good as never. The bound keeps a hold within what
// llround can return (2^63 µs) and what the relay can add to its clock in nanoseconds (about
// 292 years).

// One generator per direction: the same seed gives the two directions different draws.
std::seed_seq seed_of(uint64_t seed, Direction direction) {
    return std::seed_seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32),
                         direction == Direction::kToModule ? 1u : 2u};
}

}  // namespace

FaultPlan::FaultPlan(FaultSettings settings, uint64_t seed, Direction direction)
    : settings_(std::move(settings)), active_(settings_.any()), draws_(settings_.draws()) {
    std::seed_seq sequence = seed_of(seed, direction);
    generator_.seed(sequence);
}

double FaultPlan::uniform() {
    // The top 53 bits: every double of the result is equally likely, on every platform.
    return static_cast<double>(generator_() >> 11) * 0x1.0p-53;
}

FaultDecision FaultPlan::decide(std::span<uint8_t> payload) {
    FaultDecision decision;
    decision.number = ++numbered_;
    if (!active_) return decision;

    // Always all six draws, in this order (see the header).
    double loss = 1, corrupt = 1, duplicate = 1, reorder = 1, jitter = 0.5;
    uint64_t bit = 0;
    if (draws_) {
        loss = uniform();
        corrupt = uniform();
        bit = generator_();
        duplicate = uniform();
        reorder = uniform();
        jitter = uniform();
    }

    const std::vector<uint64_t>& drop = settings_.drop;
    while (next_drop_ < drop.size() && drop[next_drop_] < decision.number) ++next_drop_;
    if (next_drop_ < drop.size() && drop[next_drop_] == decision.number) {
        decision.fate = FaultDecision::Fate::kDropped;
        return decision;
    }
    if (100 * loss < settings_.loss) {
        decision.fate = FaultDecision::Fate::kLost;
        return decision;
    }
    if (100 * corrupt < settings_.corrupt && !payload.empty()) {
        const size_t flipped = bit % (payload.size() * 8);
        payload[flipped / 8] ^= static_cast<uint8_t>(1u << (flipped % 8));
        decision.flipped_bit = flipped;
    }
    if (100 * duplicate < settings_.duplicate) decision.copies = 2;
    // The datagram after a held one releases it and is never held itself: at most one waits.
    if (holding_) {
        decision.releases_held = true;
        holding_ = false;
    } else if (100 * reorder < settings_.reorder) {
        decision.held_for_reorder = true;
        holding_ = true;
    }
    const double hold_us = std::min(
        1000 * (settings_.delay_ms + (2 * jitter - 1) * settings_.jitter_ms), kLongestHoldUs);
    decision.hold = std::chrono::microseconds(std::max<int64_t>(0, std::llround(hold_us)));
    return decision;
}
