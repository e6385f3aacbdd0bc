// The requests of the relay's control socket (--control-socket): JSON objects, one a line,
// each answered by one line. A request is read and checked whole against the settings in
// force before anything is applied, so one that is refused changes nothing.
//
//   {"request": "set", "direction": "to-module", "faults": {"loss": 5, "burst": 3}}
//   {"request": "clear", "direction": "both"}               every fault off (or "faults":
//                                                           ["loss", ...]: those only)
//   {"request": "hold-acknowledges", "ms": 300, "count": 2} the next 2 acknowledges held
//                                                           300 ms longer (every one without
//                                                           "count"; "ms": 0 ends it)
//   {"request": "list"}                                     the settings in force
//   {"request": "counters"}                                 what --stats writes
//   {"request": "faults"}                                   the published list (FaultList)
//
// "direction" is to-module, from-module or both, the default; a fault's names, units and
// bounds are FaultList's. A set keeps the faults it does not name.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "faultrelay/FaultSettings.h"

// How much longer acknowledges from the module are held, and how many more.
struct AcknowledgeHold {
    double ms = 0;
    // Nothing: every one.
    std::optional<uint64_t> left = {};

    bool holding() const { return ms > 0 && (!left || *left > 0); }
    // "acknowledges held 300 ms longer, the next 2", or "acknowledges not held longer".
    std::string text() const;
    // {"ack-delay": 300, "ack-delay-left": 2}, null while every one is held.
    nlohmann::json json() const;

    bool operator==(const AcknowledgeHold&) const = default;
};

struct ControlRequest {
    enum class Kind { kSet, kClear, kHoldAcknowledges, kList, kCounters, kFaults };

    Kind kind = Kind::kList;
    // What is in force once the request is applied (for each kind; only set, clear and
    // hold-acknowledges change them).
    std::array<FaultSettings, 2> faults = {};
    AcknowledgeHold hold = {};

    // The request on the line, checked against what is in force; nothing, and the reason in
    // `error`, for one that does not read or would not apply.
    static std::optional<ControlRequest> read(std::string_view line,
                                              const std::array<FaultSettings, 2>& in_force,
                                              const AcknowledgeHold& holding, std::string& error);
};
