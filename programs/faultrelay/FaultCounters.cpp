#include "faultrelay/FaultCounters.h"

#include <nlohmann/json.hpp>
#include <utility>

namespace {

// The counters by name, in the order they are printed.
template <typename Visit>
void each_counter(const FaultCounters& counters, Visit visit) {
    const std::pair<const char*, uint64_t> named[] = {
        {"received", counters.received},         {"sent", counters.sent},
        {"dropped", counters.dropped},           {"lost", counters.lost},
        {"corrupted", counters.corrupted},       {"duplicated", counters.duplicated},
        {"reordered", counters.reordered},       {"delayed", counters.delayed},
        {"ack-delayed", counters.ack_delayed},   {"too-big", counters.too_big},
        {"tail-dropped", counters.tail_dropped},
    };
    for (const auto& [name, value] : named) visit(name, value);
}

}  // namespace

void FaultCounters::count(const FaultDecision& decision) {
    ++received;
    if (decision.fate == FaultDecision::Fate::kDropped) {
        ++dropped;
        return;
    }
    if (decision.fate == FaultDecision::Fate::kLost) {
        ++lost;
        return;
    }
    if (decision.fate == FaultDecision::Fate::kTooBig) {
        ++too_big;
        return;
    }
    if (decision.flipped_bit) ++corrupted;
    if (decision.copies > 1) ++duplicated;
    if (decision.held_for_reorder) ++reordered;
    if (decision.hold.count() > 0) ++delayed;
}

std::string FaultCounters::text() const {
    std::string text;
    each_counter(*this, [&](const char* name, uint64_t value) {
        if (!text.empty()) text += ", ";
        text += std::string(name) + " " + std::to_string(value);
    });
    return text;
}

nlohmann::json FaultCounters::json() const {
    nlohmann::json object = nlohmann::json::object();
    each_counter(*this, [&](const char* name, uint64_t value) { object[name] = value; });
    return object;
}
