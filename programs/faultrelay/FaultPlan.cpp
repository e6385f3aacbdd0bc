#include "faultrelay/FaultPlan.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace {

// splitmix64's step: its increment, then its finalizer.
constexpr uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EB;
    return x ^ (x >> 31);
}

}  // namespace

uint64_t fault_draw(uint64_t seed, Direction direction, uint64_t number, Draw draw) {
    const uint64_t stream = mix(seed ^ (direction == Direction::kToModule ? 1 : 2));
    // The generator's state before output k + 1 is its seed plus k increments; mix adds one.
    return mix(mix(stream ^ number) + static_cast<uint64_t>(draw) * 0x9E3779B97F4A7C15);
}

FaultPlan::FaultPlan(FaultSettings settings, uint64_t seed, Direction direction)
    : seed_(seed), direction_(direction) {
    change(std::move(settings));
}

void FaultPlan::change(FaultSettings settings) {
    settings_ = std::move(settings);
    active_ = settings_.any();
    next_drop_ = 0;
    // Two states, relayed and lost: a lost datagram is followed by another with the chance
    // 1 - 1/L, which makes bursts of L on average, and a relayed one by a lost one with the
    // chance that keeps the long-run share at P: e / (e + 1/L) = P. Bursts shorter than
    // P / (1 - P) cannot give P (it needs e above 1), so they are that long.
    const double share = settings_.loss / 100;
    if (settings_.burst <= 1 || share <= 0 || share >= 1) {
        enter_loss_ = stay_lost_ = share;
    } else {
        const double burst = std::max(settings_.burst, share / (1 - share));
        stay_lost_ = 1 - 1 / burst;
        enter_loss_ = std::min(1.0, share / (burst * (1 - share)));
    }
    if (share <= 0) last_lost_ = false;
}

double FaultPlan::uniform(uint64_t number, Draw draw) const {
    // The top 53 bits: every double of the result is equally likely, on every platform.
    return static_cast<double>(fault_draw(seed_, direction_, number, draw) >> 11) * 0x1.0p-53;
}

bool FaultPlan::lose(uint64_t number) {
    if (settings_.loss <= 0) return false;
    last_lost_ = uniform(number, Draw::kLoss) < (last_lost_ ? stay_lost_ : enter_loss_);
    return last_lost_;
}

FaultDecision FaultPlan::decide(std::span<uint8_t> payload) {
    FaultDecision decision;
    const uint64_t number = decision.number = ++numbered_;
    // A datagram held for reordering is still released after its fault was switched off.
    if (!active_ && !holding_) return decision;

    const std::vector<uint64_t>& drop = settings_.drop;
    while (next_drop_ < drop.size() && drop[next_drop_] < number) ++next_drop_;
    const bool lost = lose(number);
    if (settings_.mtu > 0 &&
        static_cast<double>(payload.size() + kIpUdpHeaderBytes) > settings_.mtu) {
        decision.fate = FaultDecision::Fate::kTooBig;
        return decision;
    }
    if (next_drop_ < drop.size() && drop[next_drop_] == number) {
        decision.fate = FaultDecision::Fate::kDropped;
        return decision;
    }
    if (lost) {
        decision.fate = FaultDecision::Fate::kLost;
        return decision;
    }
    const auto picks = [&](double percent, Draw draw) {
        return percent > 0 && 100 * uniform(number, draw) < percent;
    };
    if (!payload.empty() && picks(settings_.corrupt, Draw::kCorrupt)) {
        const size_t flipped =
            fault_draw(seed_, direction_, number, Draw::kBit) % (payload.size() * 8);
        payload[flipped / 8] ^= static_cast<uint8_t>(1u << (flipped % 8));
        decision.flipped_bit = flipped;
    }
    if (picks(settings_.duplicate, Draw::kDuplicate)) decision.copies = 2;
    // The datagram after a held one releases it and is never held itself: at most one waits.
    if (holding_) {
        decision.releases_held = true;
        holding_ = false;
    } else if (picks(settings_.reorder, Draw::kReorder)) {
        decision.held_for_reorder = true;
        holding_ = true;
    }
    // Not a number for a delay of 0 and an infinite draw, or the like: no hold.
    const double drawn = hold_us(number);
    const double hold = std::isnan(drawn) ? 0 : std::clamp(drawn, 0.0, kLongestHoldUs);
    decision.hold = std::chrono::microseconds(std::llround(hold));
    return decision;
}

double FaultPlan::hold_us(uint64_t number) const {
    const double delay = 1000 * settings_.delay_ms;
    if (settings_.deviation_ms > 0) {
        // Box and Muller: 1 - uniform is in (0, 1], whose logarithm is finite.
        const double radius = std::sqrt(-2 * std::log(1 - uniform(number, Draw::kNormalRadius)));
        const double angle = 2 * std::numbers::pi * uniform(number, Draw::kNormalAngle);
        return delay + 1000 * settings_.deviation_ms * radius * std::cos(angle);
    }
    if (settings_.pareto_shape > 0) {
        // The inverse of the distribution function, scale / (1 - u)^(1 / shape): the scale or
        // more.
        return delay / std::pow(1 - uniform(number, Draw::kPareto), 1 / settings_.pareto_shape);
    }
    const double jitter = settings_.jitter_ms > 0 ? uniform(number, Draw::kJitter) : 0.5;
    return 1000 * (settings_.delay_ms + (2 * jitter - 1) * settings_.jitter_ms);
}
