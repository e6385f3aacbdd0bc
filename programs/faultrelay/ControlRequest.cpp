#include "faultrelay/ControlRequest.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>

#include "faultrelay/FaultList.h"

namespace {

using Json = nlohmann::json;

constexpr std::pair<const char*, ControlRequest::Kind> kKinds[] = {
    {"set", ControlRequest::Kind::kSet},
    {"clear", ControlRequest::Kind::kClear},
    {"hold-acknowledges", ControlRequest::Kind::kHoldAcknowledges},
    {"list", ControlRequest::Kind::kList},
    {"counters", ControlRequest::Kind::kCounters},
    {"faults", ControlRequest::Kind::kFaults},
};

// "" when the object has no key but these, otherwise the first other one.
std::string only_keys(const Json& object, std::initializer_list<std::string_view> keys) {
    for (const auto& [key, value] : object.items()) {
        bool known = false;
        for (const std::string_view allowed : keys) known = known || key == allowed;
        if (!known) return "unknown key \"" + key + "\"";
    }
    return "";
}

std::string read_set(const Json& request, FaultSettings& settings) {
    const Json& faults = request.contains("faults") ? request["faults"] : Json();
    if (!faults.is_object() || faults.empty()) {
        return "set needs \"faults\": an object of faults and values, e.g. {\"loss\": 5}";
    }
    for (const auto& [name, value] : faults.items()) {
        const FaultParameter* parameter = find_fault_parameter(name);
        if (parameter == nullptr)
            return "unknown fault \"" + name + "\" (the request faults lists them)";
        std::string error = read_fault_value(*parameter, value, settings);
        if (!error.empty()) return error.insert(0, name + ": ");
    }
    return "";
}

std::string read_clear(const Json& request, FaultSettings& settings) {
    if (!request.contains("faults")) {
        settings = {};
        return "";
    }
    const Json& names = request["faults"];
    if (!names.is_array()) return "clear's \"faults\" is a list of names, e.g. [\"loss\"]";
    const FaultSettings defaults;
    for (const Json& name : names) {
        const FaultParameter* parameter =
            name.is_string() ? find_fault_parameter(name.get<std::string>()) : nullptr;
        if (parameter == nullptr) return "unknown fault " + name.dump();
        if (parameter->field == nullptr) {
            settings.drop.clear();
        } else {
            settings.*parameter->field = defaults.*parameter->field;
        }
    }
    return "";
}

std::string read_hold(const Json& request, AcknowledgeHold& hold) {
    std::string error = only_keys(request, {"request", "ms", "count"});
    if (!error.empty()) return error;
    const Json& ms = request.contains("ms") ? request["ms"] : Json();
    if (!ms.is_number() || !(ms.get<double>() >= 0) || !std::isfinite(ms.get<double>())) {
        return "hold-acknowledges needs \"ms\": a time in milliseconds, 0 or more";
    }
    hold = {ms.get<double>(), std::nullopt};
    if (request.contains("count")) {
        const Json& count = request["count"];
        if (!count.is_number_unsigned() || count.get<uint64_t>() == 0) {
            return "\"count\" is a number of acknowledges, 1 or more";
        }
        if (hold.ms > 0) hold.left = count.get<uint64_t>();
    }
    return "";
}

// Reads the request into `read`; "" or why it does not read.
std::string read_into(const Json& request, ControlRequest& read) {
    if (!request.is_object()) return "a request is a JSON object, e.g. {\"request\": \"list\"}";
    const Json& name = request.contains("request") ? request["request"] : Json();
    bool known = false;
    for (const auto& [text, kind] : kKinds) {
        if (name.is_string() && name.get<std::string>() == text) {
            read.kind = kind;
            known = true;
        }
    }
    if (!known) {
        return "\"request\" is set, clear, hold-acknowledges, list, counters or faults, not " +
               name.dump();
    }
    if (read.kind == ControlRequest::Kind::kHoldAcknowledges) return read_hold(request, read.hold);
    const bool changes =
        read.kind == ControlRequest::Kind::kSet || read.kind == ControlRequest::Kind::kClear;
    std::string error = changes ? only_keys(request, {"request", "direction", "faults"})
                                : only_keys(request, {"request"});
    if (!error.empty() || !changes) return error;
    const Json& direction = request.contains("direction") ? request["direction"] : Json("both");
    std::array<bool, 2> selected = {};
    error = direction.is_string() ? read_directions(direction.get<std::string>(), selected)
                                  : "\"direction\" is to-module, from-module or both";
    for (size_t i = 0; i < 2 && error.empty(); ++i) {
        if (!selected[i]) continue;
        error = read.kind == ControlRequest::Kind::kSet ? read_set(request, read.faults[i])
                                                        : read_clear(request, read.faults[i]);
        if (error.empty()) error = read.faults[i].conflict();
    }
    return error;
}

}  // namespace

std::string AcknowledgeHold::text() const {
    if (ms <= 0) return "acknowledges not held longer";
    std::ostringstream out;
    out << "acknowledges held " << ms << " ms longer";
    if (left) out << ", the next " << *left;
    return out.str();
}

nlohmann::json AcknowledgeHold::json() const {
    return {{"ack-delay", ms}, {"ack-delay-left", left ? Json(*left) : Json(nullptr)}};
}

std::optional<ControlRequest> ControlRequest::read(std::string_view line,
                                                   const std::array<FaultSettings, 2>& in_force,
                                                   const AcknowledgeHold& holding,
                                                   std::string& error) {
    ControlRequest request;
    request.faults = in_force;
    request.hold = holding;
    const Json parsed = Json::parse(line, nullptr, false);
    error = parsed.is_discarded() ? "not JSON: " + std::string(line.substr(0, 80))
                                  : read_into(parsed, request);
    if (!error.empty()) return std::nullopt;
    return request;
}
