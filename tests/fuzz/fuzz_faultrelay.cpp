// Fuzz target: faultrelay's settings as its command line gives them, a line of its control
// socket, and the decision of its plan for each datagram of a direction (drop, loss, corruption
// in place, duplication, reordering, delay), with the counters that count the decisions and the
// decision record's lines.
//
// Input, read by FuzzedDataProvider: a byte whose low bit says whether the listen and module
// addresses are fuzzed too (otherwise they are valid, so that the faults are read); up to 12
// fault option values ("[DIR:]VALUE", each for one of the fault options); the seed; a request
// line; then datagrams, each a direction bit and up to 1500 bytes. The faults the request
// sets take over from datagram kControlAt on, as the relay applies them. Accepted
// settings must be what the plan expects, and every decision must keep the plan's rules; a
// violation traps.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "faultrelay/CommandLine.h"
#include "faultrelay/ControlRequest.h"
#include "faultrelay/DecisionRecord.h"
#include "faultrelay/FaultCounters.h"
#include "faultrelay/FaultPlan.h"

namespace {

constexpr size_t kMaxOptionValues = 12;
constexpr size_t kMaxValueLength = 48;
constexpr size_t kMaxDatagrams = 256;
constexpr size_t kMaxDatagramBytes = 1500;
constexpr size_t kMaxControlLength = 256;
constexpr size_t kControlAt = kMaxDatagrams / 4;
constexpr double kYearUs = 365.25 * 24 * 3600 * 1e6;
// What the relay can add to a time of its clock well after the clock's start.
constexpr auto kLongestClockHold = std::chrono::duration_cast<std::chrono::microseconds>(
    std::chrono::steady_clock::duration::max() / 2);

void require(bool property) {
    if (!property) __builtin_trap();
}

// What the plan relies on: drop numbers from 1, increasing, each once; percentages from 0 to
// 100; times finite and not negative.
void check_settings(const FaultSettings& settings) {
    for (size_t i = 0; i < settings.drop.size(); ++i) {
        require(settings.drop[i] > 0 && (i == 0 || settings.drop[i - 1] < settings.drop[i]));
    }
    for (const double percent :
         {settings.loss, settings.duplicate, settings.reorder, settings.corrupt}) {
        require(percent >= 0 && percent <= 100);
    }
    for (const double ms : {settings.delay_ms, settings.jitter_ms, settings.deviation_ms,
                            settings.pareto_shape, settings.bandwidth_mbps, settings.mtu}) {
        require(std::isfinite(ms) && ms >= 0);
    }
    require(settings.queue_bytes >= 1 && settings.conflict().empty());
    require(std::isfinite(settings.burst) && settings.burst >= 1);
    require(settings.any() || settings.text() == "none");
    (void)settings.json().dump();
}

// A request line: read or refused with a reason; a refused one changes nothing, and what is
// read are faults and an acknowledge hold the relay can apply.
std::array<FaultSettings, 2> check_request(const std::string& line,
                                           const std::array<FaultSettings, 2>& in_force) {
    std::string error;
    const AcknowledgeHold holding;
    const std::optional<ControlRequest> request =
        ControlRequest::read(line, in_force, holding, error);
    require(request.has_value() == error.empty());
    if (!request) return in_force;
    const AcknowledgeHold& hold = request->hold;
    require(std::isfinite(hold.ms) && hold.ms >= 0);
    require(!hold.left || hold.ms > 0);
    require((hold.text() == "acknowledges not held longer") == (hold.ms <= 0));
    (void)hold.json().dump();
    for (const FaultSettings& faults : request->faults) check_settings(faults);
    return request->faults;
}

// One direction: the plan under test, a second one with the same settings and seed that must
// decide alike, and what the rules need to remember between datagrams.
struct Lane {
    FaultPlan plan;
    FaultPlan replay;
    FaultCounters counters;
    bool holding = false;
};

void check_decision(const FaultSettings& settings, const FaultDecision& decision,
                    const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                    uint64_t number, bool& holding) {
    require(decision.number == number);
    const bool listed =
        std::binary_search(settings.drop.begin(), settings.drop.end(), decision.number);
    const bool too_big = settings.mtu > 0 && static_cast<double>(before.size() + 28) > settings.mtu;
    require(too_big == (decision.fate == FaultDecision::Fate::kTooBig));
    require((listed && !too_big) == (decision.fate == FaultDecision::Fate::kDropped));
    if (decision.fate == FaultDecision::Fate::kLost) require(settings.loss > 0);
    // Every fault may have been switched off while a datagram waits for reordering: the next
    // one still releases it, so a plan without faults is held to the same rules.
    if (decision.fate != FaultDecision::Fate::kRelayed) {
        require(decision.flipped_bit == std::nullopt && decision.copies == 1 &&
                !decision.held_for_reorder && !decision.releases_held &&
                decision.hold.count() == 0);
        require(after == before);
        return;
    }
    // Corruption flips exactly the bit it names, inside the payload, and nothing else.
    std::vector<uint8_t> expected = before;
    if (decision.flipped_bit) {
        require(settings.corrupt > 0 && *decision.flipped_bit < 8 * before.size());
        expected[*decision.flipped_bit / 8] ^=
            static_cast<uint8_t>(1u << (*decision.flipped_bit % 8));
    }
    require(after == expected);
    require(decision.copies == 1 || (decision.copies == 2 && settings.duplicate > 0));
    // At most one datagram waits for reordering, and the next relayed one releases it.
    require(decision.releases_held == holding);
    require(!(decision.held_for_reorder && decision.releases_held));
    if (decision.held_for_reorder) require(settings.reorder > 0);
    holding = decision.held_for_reorder || (holding && !decision.releases_held);
    // The hold is the delay give or take the jitter, never below zero; however long the delay,
    // it is a hold of at least a year that the relay can add to its clock.
    // A normal draw may be anything not below zero; a Pareto one is the delay or more.
    const bool uniform = settings.deviation_ms <= 0 && settings.pareto_shape <= 0;
    const double low_us = 1000 * (settings.delay_ms - (uniform ? settings.jitter_ms : 0));
    const double high_us = 1000 * (settings.delay_ms + settings.jitter_ms);
    const auto hold_us = static_cast<double>(decision.hold.count());
    require(hold_us >= 0 && (!uniform || hold_us <= std::max(0.0, high_us) + 1));
    if (settings.deviation_ms <= 0) require(hold_us >= std::min(low_us, kYearUs) - 1);
    require(decision.hold <= kLongestClockHold);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    RelayOptions options;
    options.listen = "127.0.0.1:0";
    options.module = "127.0.0.1:10000";
    if (input.ConsumeIntegral<uint8_t>() & 1) {
        options.listen = input.ConsumeRandomLengthString(kMaxValueLength);
        options.module = input.ConsumeRandomLengthString(kMaxValueLength);
    }
    const size_t values = input.ConsumeIntegralInRange<size_t>(0, kMaxOptionValues);
    for (size_t i = 0; i < values; ++i) {
        const size_t option = input.ConsumeIntegralInRange<size_t>(0, kFaultOptionCount - 1);
        options.faults[option].push_back(input.ConsumeRandomLengthString(kMaxValueLength));
    }
    options.seed = input.ConsumeIntegral<uint64_t>();
    const std::string control = input.ConsumeRandomLengthString(kMaxControlLength);

    std::string error;
    const std::optional<RelaySettings> settings = relay_settings(options, error);
    require(settings.has_value() == error.empty());
    if (!settings) return 0;
    for (const FaultSettings& faults : settings->faults) check_settings(faults);

    std::array<Lane, 2> lanes = {
        Lane{FaultPlan(settings->faults[0], settings->seed, Direction::kToModule),
             FaultPlan(settings->faults[0], settings->seed, Direction::kToModule),
             {}},
        Lane{FaultPlan(settings->faults[1], settings->seed, Direction::kFromModule),
             FaultPlan(settings->faults[1], settings->seed, Direction::kFromModule),
             {}}};
    std::string record;
    for (size_t i = 0; i < kMaxDatagrams && input.remaining_bytes() > 0; ++i) {
        if (i == kControlAt) {
            const std::array<FaultSettings, 2> changed = check_request(control, settings->faults);
            for (size_t d = 0; d < 2; ++d) {
                lanes[d].plan.change(changed[d]);
                lanes[d].replay.change(changed[d]);
            }
        }
        const size_t direction = input.ConsumeBool() ? 1 : 0;
        const size_t length = input.ConsumeIntegralInRange<size_t>(0, kMaxDatagramBytes);
        const std::vector<uint8_t> before = input.ConsumeBytes<uint8_t>(length);
        Lane& lane = lanes[direction];
        std::vector<uint8_t> payload = before;
        std::vector<uint8_t> replayed = before;
        const FaultDecision decision = lane.plan.decide(payload);
        require(lane.replay.decide(replayed) == decision && replayed == payload);
        check_decision(lane.plan.settings(), decision, before, payload, lane.counters.received + 1,
                       lane.holding);
        lane.counters.count(decision);
        // A line, ending the record, for each datagram a fault touched, and only for those.
        const size_t before_line = record.size();
        DecisionRecord::append_line(record,
                                    direction == 0 ? Direction::kToModule : Direction::kFromModule,
                                    decision, std::chrono::microseconds(0));
        const bool touched = decision.fate != FaultDecision::Fate::kRelayed ||
                             decision.flipped_bit || decision.copies > 1 ||
                             decision.held_for_reorder || decision.hold.count() > 0;
        require((record.size() > before_line) == touched);
        require(record.empty() || record.back() == '\n');
        if (record.size() > (1 << 16)) record.clear();
    }
    for (const Lane& lane : lanes) {
        const FaultCounters& counted = lane.counters;
        require(counted.dropped + counted.lost <= counted.received);
        (void)counted.text();
        (void)counted.json().dump();
    }
    return 0;
}
