// What the relay did to how many datagrams of one direction.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "faultrelay/FaultPlan.h"

struct FaultCounters {
    uint64_t received = 0;
    // Datagrams that left, copies included.
    uint64_t sent = 0;
    // By the drop list.
    uint64_t dropped = 0;
    // At random.
    uint64_t lost = 0;
    uint64_t corrupted = 0;
    uint64_t duplicated = 0;
    uint64_t reordered = 0;
    // Held for a time longer than zero.
    uint64_t delayed = 0;
    // Acknowledges held longer by the control socket's request (from the module only).
    uint64_t ack_delayed = 0;
    // Larger than the path's MTU.
    uint64_t too_big = 0;
    // Dropped by the --bandwidth port, its queue full.
    uint64_t tail_dropped = 0;

    // Counts all but `sent`, `ack_delayed` and `tail_dropped`, which only the relay knows.
    void count(const FaultDecision& decision);
    // "received 10, sent 9, dropped 1, ..."
    std::string text() const;
    nlohmann::json json() const;
};
