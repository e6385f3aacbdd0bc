// The relay's decisions, without sockets: each fault alone does what it says to the datagrams
// a fixed seed picks (the delay drawn uniformly, from a normal or a Pareto distribution), the picks
// are the same on every run (golden numbers, and the draws as documented), one fault never shifts
// the picks of another, bursts of losses keep their share and length, and the decision record's
// lines say what was done.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "faultrelay/DecisionRecord.h"
#include "faultrelay/FaultCounters.h"
#include "faultrelay/FaultPlan.h"

namespace {

using Fate = FaultDecision::Fate;
using std::chrono::microseconds;

// 16 bytes that carry the datagram's number, so that no two are alike.
std::vector<uint8_t> datagram(uint64_t number) {
    std::vector<uint8_t> bytes(16);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(number >> (i % 8));
    return bytes;
}

struct Outcome {
    std::vector<FaultDecision> decisions;
    // Each payload after the decision (corrupted in place where so decided).
    std::vector<std::vector<uint8_t>> payloads;

    // The numbers picked, in increasing order.
    std::vector<uint64_t> numbers(bool (*picked)(const FaultDecision&)) const {
        std::vector<uint64_t> result;
        for (const FaultDecision& d : decisions) {
            if (picked(d)) result.push_back(d.number);
        }
        return result;
    }
};

Outcome run(const FaultSettings& settings, uint64_t seed, size_t count,
            Direction direction = Direction::kToModule) {
    FaultPlan plan(settings, seed, direction);
    Outcome outcome;
    for (uint64_t number = 1; number <= count; ++number) {
        std::vector<uint8_t> bytes = datagram(number);
        outcome.decisions.push_back(plan.decide(bytes));
        outcome.payloads.push_back(bytes);
    }
    return outcome;
}

bool lost(const FaultDecision& d) { return d.fate == Fate::kLost; }
bool corrupted(const FaultDecision& d) { return d.flipped_bit.has_value(); }
bool duplicated(const FaultDecision& d) { return d.copies == 2; }
bool held(const FaultDecision& d) { return d.held_for_reorder; }

// The first six numbers, to compare with golden values.
std::vector<uint64_t> first(const std::vector<uint64_t>& numbers) {
    return {numbers.begin(), numbers.begin() + std::min<size_t>(6, numbers.size())};
}

TEST(FaultPlan, no_faults_relays_every_datagram_untouched_in_order) {
    const Outcome outcome = run({}, 1, 100);
    for (size_t i = 0; i < 100; ++i) {
        EXPECT_EQ(outcome.decisions[i], FaultDecision{.number = i + 1});
        EXPECT_EQ(outcome.payloads[i], datagram(i + 1));
    }
}

TEST(FaultPlan, drop_list_drops_exactly_those_numbers) {
    const Outcome outcome = run({.drop = {10, 20, 30, 2000}}, 1, 1000);
    EXPECT_EQ(outcome.numbers([](const FaultDecision& d) { return d.fate == Fate::kDropped; }),
              (std::vector<uint64_t>{10, 20, 30}));
    EXPECT_TRUE(outcome
                    .numbers([](const FaultDecision& d) {
                        return d.fate == Fate::kRelayed && (d.flipped_bit || d.copies != 1);
                    })
                    .empty());
}

TEST(FaultPlan, corruption_flips_one_bit_in_the_datagrams_the_seed_picks) {
    const Outcome outcome = run({.corrupt = 10}, 42, 1000);
    const std::vector<uint64_t> picked = outcome.numbers(corrupted);
    EXPECT_EQ(picked.size(), 104u);
    EXPECT_EQ(first(picked), (std::vector<uint64_t>{13, 15, 42, 57, 58, 61}));
    for (size_t i = 0; i < 1000; ++i) {
        const std::vector<uint8_t> original = datagram(i + 1);
        int differing_bits = 0;
        for (size_t b = 0; b < original.size(); ++b) {
            differing_bits +=
                std::popcount(static_cast<unsigned>(original[b] ^ outcome.payloads[i][b]));
        }
        const std::optional<size_t> bit = outcome.decisions[i].flipped_bit;
        EXPECT_EQ(differing_bits, bit ? 1 : 0) << "datagram " << i + 1;
        if (bit) {
            EXPECT_EQ(original[*bit / 8] ^ outcome.payloads[i][*bit / 8], 1 << (*bit % 8));
        }
    }
    FaultPlan all({.corrupt = 100}, 1, Direction::kToModule);
    EXPECT_FALSE(all.decide({}).flipped_bit) << "an empty datagram has no bit to flip";
}

TEST(FaultPlan, duplication_picks_a_stable_share_for_two_copies) {
    const Outcome outcome = run({.duplicate = 20}, 7, 1000);
    const std::vector<uint64_t> picked = outcome.numbers(duplicated);
    EXPECT_EQ(picked.size(), 189u);
    EXPECT_EQ(first(picked), (std::vector<uint64_t>{1, 4, 11, 12, 13, 19}));
}

TEST(FaultPlan, a_held_datagram_is_released_by_the_next_relayed_one_which_is_never_held) {
    const Outcome outcome = run({.loss = 30, .reorder = 50}, 3, 1000);
    EXPECT_EQ(outcome.numbers(held).size(), 253u);
    EXPECT_EQ(first(outcome.numbers(held)), (std::vector<uint64_t>{1, 5, 7, 11, 13, 17}));
    bool holding = false;
    for (const FaultDecision& d : outcome.decisions) {
        if (d.fate != Fate::kRelayed) {
            EXPECT_FALSE(d.held_for_reorder || d.releases_held);
            continue;
        }
        EXPECT_EQ(d.releases_held, holding) << "datagram " << d.number;
        EXPECT_FALSE(d.releases_held && d.held_for_reorder) << "datagram " << d.number;
        holding = d.held_for_reorder;
    }
}

TEST(FaultPlan, delays_stay_within_the_jitter_and_never_below_zero) {
    const Outcome spread = run({.delay_ms = 20, .jitter_ms = 5}, 5, 1000);
    microseconds shortest = microseconds::max(), longest = microseconds::min();
    for (const FaultDecision& d : spread.decisions) {
        shortest = std::min(shortest, d.hold);
        longest = std::max(longest, d.hold);
    }
    EXPECT_GE(shortest, microseconds(15000));
    EXPECT_LT(shortest, microseconds(15100));
    EXPECT_LE(longest, microseconds(25000));
    EXPECT_GT(longest, microseconds(24900));

    const Outcome clipped = run({.delay_ms = 1, .jitter_ms = 5}, 5, 1000);
    size_t at_zero = 0;
    for (const FaultDecision& d : clipped.decisions) {
        EXPECT_GE(d.hold.count(), 0);
        at_zero += d.hold.count() == 0;
    }
    EXPECT_GT(at_zero, 200u);

    const Outcome fixed = run({.delay_ms = 2.5}, 5, 10);
    for (const FaultDecision& d : fixed.decisions) EXPECT_EQ(d.hold, microseconds(2500));
}

// The holds of the datagrams in ms, with their mean and standard deviation.
struct Holds {
    std::vector<double> ms;
    double mean = 0;
    double deviation = 0;
};

Holds holds_of(const FaultSettings& settings, uint64_t seed, size_t count) {
    Holds holds;
    for (const FaultDecision& d : run(settings, seed, count).decisions) {
        holds.ms.push_back(static_cast<double>(d.hold.count()) / 1000);
        holds.mean += holds.ms.back() / static_cast<double>(count);
    }
    for (const double ms : holds.ms) {
        holds.deviation += (ms - holds.mean) * (ms - holds.mean) / static_cast<double>(count);
    }
    holds.deviation = std::sqrt(holds.deviation);
    return holds;
}

TEST(FaultPlan, normal_and_pareto_delays_keep_their_bounds_and_shape_and_follow_the_seed) {
    const Holds normal = holds_of({.delay_ms = 20, .deviation_ms = 4}, 5, 20000);
    EXPECT_NEAR(normal.mean, 20, 0.2);
    EXPECT_NEAR(normal.deviation, 4, 0.2);
    EXPECT_EQ(holds_of({.delay_ms = 20, .deviation_ms = 4}, 5, 20000).ms, normal.ms);
    EXPECT_NE(holds_of({.delay_ms = 20, .deviation_ms = 4}, 6, 20000).ms, normal.ms);
    // Never negative: about a third of the draws around 1 ms with a deviation of 2 are.
    const Holds clipped = holds_of({.delay_ms = 1, .deviation_ms = 2}, 5, 3000);
    EXPECT_EQ(*std::min_element(clipped.ms.begin(), clipped.ms.end()), 0);
    EXPECT_GT(std::count(clipped.ms.begin(), clipped.ms.end(), 0.0), 700);

    // Pareto of scale 10 ms and shape 3: never below the scale, the mean 3/2 of it, and the
    // share above twice the scale 2^-3.
    const Holds pareto = holds_of({.delay_ms = 10, .pareto_shape = 3}, 5, 20000);
    EXPECT_GE(*std::min_element(pareto.ms.begin(), pareto.ms.end()), 10);
    EXPECT_NEAR(pareto.mean, 15, 0.3);
    const auto above =
        std::count_if(pareto.ms.begin(), pareto.ms.end(), [](double ms) { return ms > 20; });
    EXPECT_NEAR(static_cast<double>(above) / 20000, 0.125, 0.01);
    EXPECT_EQ(holds_of({.delay_ms = 10, .pareto_shape = 3}, 5, 20000).ms, pareto.ms);
    EXPECT_NE(holds_of({.delay_ms = 10, .pareto_shape = 3}, 6, 20000).ms, pareto.ms);
    // A shape so small that a draw overflows is held the longest the relay holds anything.
    for (const double ms : holds_of({.delay_ms = 1, .pareto_shape = 1e-300}, 5, 100).ms) {
        EXPECT_EQ(ms, FaultPlan::kLongestHoldUs / 1000);
    }
}

TEST(FaultPlan, draws_are_the_documented_splitmix64_outputs) {
    // From an independent implementation of the formula in FaultPlan.h and docs/faultrelay.md.
    EXPECT_EQ(fault_draw(0, Direction::kToModule, 1, Draw::kLoss), 6301985355436268297u);
    EXPECT_EQ(fault_draw(2024, Direction::kFromModule, 1234, Draw::kDuplicate),
              18262204424434481456u);
    EXPECT_EQ(fault_draw(~uint64_t{0}, Direction::kToModule, 7, Draw::kJitter),
              1632812400105848981u);
}

TEST(FaultPlan, bursts_of_loss_keep_the_share_and_the_mean_length) {
    // Bursts of 2 cannot make 80 %: they are as long as it takes, 0.8 / 0.2 = 4.
    const struct {
        double loss, burst, share, mean_burst;
    } cases[] = {{10, 4, 0.10, 4}, {2, 1, 0.02, 1 / 0.98}, {80, 2, 0.80, 4}};
    constexpr size_t kCount = 200000;
    for (const auto& c : cases) {
        const Outcome outcome = run({.loss = c.loss, .burst = c.burst}, 99, kCount);
        size_t lost_count = 0, bursts = 0;
        for (size_t i = 0; i < kCount; ++i) {
            if (!lost(outcome.decisions[i])) continue;
            ++lost_count;
            bursts += i == 0 || !lost(outcome.decisions[i - 1]);
        }
        const double share = static_cast<double>(lost_count) / kCount;
        EXPECT_NEAR(share, c.share, 0.03 * c.share) << c.loss << "% in bursts of " << c.burst;
        EXPECT_NEAR(static_cast<double>(lost_count) / static_cast<double>(bursts), c.mean_burst,
                    0.03 * c.mean_burst)
            << c.loss << "% in bursts of " << c.burst;
    }
}

TEST(FaultPlan, loss_rate_is_near_the_percentage) {
    EXPECT_NEAR(static_cast<double>(run({.loss = 25}, 9, 10000).numbers(lost).size()), 2500, 250);
    EXPECT_TRUE(run({.loss = 0, .corrupt = 50}, 9, 1000).numbers(lost).empty());
    EXPECT_EQ(run({.loss = 100}, 9, 1000).numbers(lost).size(), 1000u);
}

const FaultSettings kEveryFault = {.drop = {4},
                                   .loss = 10,
                                   .duplicate = 10,
                                   .reorder = 10,
                                   .corrupt = 10,
                                   .delay_ms = 3,
                                   .jitter_ms = 2,
                                   .burst = 3};

TEST(FaultPlan, same_seed_gives_the_same_decisions_another_seed_or_direction_others) {
    const Outcome once = run(kEveryFault, 2024, 1000);
    EXPECT_EQ(run(kEveryFault, 2024, 1000).decisions, once.decisions);
    EXPECT_EQ(run(kEveryFault, 2024, 1000).payloads, once.payloads);
    EXPECT_NE(run(kEveryFault, 2025, 1000).decisions, once.decisions);
    EXPECT_NE(run(kEveryFault, 2024, 1000, Direction::kFromModule).decisions, once.decisions);
}

TEST(FaultPlan, adding_a_fault_does_not_change_what_another_picks) {
    std::vector<uint64_t> alone = run({.loss = 10, .burst = 3}, 77, 1000).numbers(lost);
    // Number 4 is dropped before loss is decided, and a burst goes on through it.
    std::erase(alone, 4);
    EXPECT_EQ(run(kEveryFault, 77, 1000).numbers(lost), alone);
    EXPECT_EQ(run({.corrupt = 10}, 77, 1000).numbers(corrupted),
              run({.loss = 0, .duplicate = 50, .corrupt = 10}, 77, 1000).numbers(corrupted));
}

TEST(FaultCounters, count_what_the_decisions_say) {
    const Outcome outcome = run(kEveryFault, 11, 1000);
    FaultCounters counters;
    for (const FaultDecision& d : outcome.decisions) counters.count(d);
    EXPECT_EQ(counters.received, 1000u);
    EXPECT_EQ(counters.dropped, 1u);
    EXPECT_EQ(counters.lost, outcome.numbers(lost).size());
    const auto relayed_and = [&](bool (*picked)(const FaultDecision&)) {
        size_t n = 0;
        for (const FaultDecision& d : outcome.decisions) n += d.fate == Fate::kRelayed && picked(d);
        return n;
    };
    EXPECT_EQ(counters.corrupted, relayed_and(corrupted));
    EXPECT_EQ(counters.duplicated, relayed_and(duplicated));
    EXPECT_EQ(counters.reordered, relayed_and(held));
    EXPECT_EQ(counters.delayed,
              relayed_and([](const FaultDecision& d) { return d.hold.count() > 0; }));
    EXPECT_EQ(counters.sent, 0u);
}

TEST(DecisionRecord, a_line_says_what_each_fault_did_in_the_order_decided) {
    using std::chrono::milliseconds;
    const struct {
        Direction direction;
        FaultDecision decision;
        microseconds ack_hold;
        const char* line;
    } cases[] = {
        {Direction::kToModule,
         {.number = 12, .fate = Fate::kDropped},
         {},
         "to-module 12 dropped\n"},
        {Direction::kFromModule,
         {.number = 1234, .fate = Fate::kLost},
         {},
         "from-module 1234 lost\n"},
        {Direction::kFromModule,
         {.number = 90, .flipped_bit = 1234, .copies = 2, .hold = microseconds(52250)},
         milliseconds(300),
         "from-module 90 corrupted bit 1234, duplicated, held 52.250 ms, ack held 300 ms\n"},
        {Direction::kToModule,
         {.number = 5, .held_for_reorder = true, .hold = microseconds(7)},
         {},
         "to-module 5 held for reorder, held 0.007 ms\n"},
        {Direction::kFromModule,
         {.number = 7},
         microseconds(2500),
         "from-module 7 ack held 2.5 ms\n"},
        {Direction::kToModule, {.number = 8, .releases_held = true}, {}, ""},
    };
    for (const auto& c : cases) {
        std::string line;
        DecisionRecord::append_line(line, c.direction, c.decision, c.ack_hold);
        EXPECT_EQ(line, c.line);
    }
}

}  // namespace
