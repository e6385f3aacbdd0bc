#include "faultrelay/FaultList.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

namespace {

// "" when the value is within the parameter's bounds, otherwise what is wrong with it, which
// reads as `quoted`.
std::string check(const FaultParameter& parameter, bool number, double value,
                  const std::string& quoted) {
    if (number && std::isfinite(value) && value >= parameter.low && value <= parameter.high) {
        return "";
    }
    return quoted + " is not " + parameter.meaning;
}

// A request's value as its message quotes it: "5%" or "150".
std::string quoted(const nlohmann::json& value) {
    return value.is_string() ? value.dump() : "\"" + value.dump() + "\"";
}

std::string sorted_into(std::vector<uint64_t> numbers, std::vector<uint64_t>& drop) {
    drop.insert(drop.end(), numbers.begin(), numbers.end());
    std::sort(drop.begin(), drop.end());
    drop.erase(std::unique(drop.begin(), drop.end()), drop.end());
    return "";
}

nlohmann::json bound(double value) {
    return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr);
}

}  // namespace

const FaultParameter* find_fault_parameter(std::string_view name) {
    for (const FaultParameter& parameter : kFaultParameters) {
        if (name == parameter.name) return &parameter;
    }
    return nullptr;
}

std::string read_fault_value(const FaultParameter& parameter, std::string_view text,
                             FaultSettings& settings) {
    if (parameter.field == nullptr) {
        std::vector<uint64_t> numbers;
        size_t begin = 0;
        for (;;) {
            const size_t comma = std::min(text.find(',', begin), text.size());
            const char* first = text.data() + begin;
            const char* last = text.data() + comma;
            uint64_t number = 0;
            const auto [at, failure] = std::from_chars(first, last, number);
            if (failure != std::errc() || at != last || number == 0) {
                return "\"" + std::string(text) + "\" is not " + parameter.meaning;
            }
            numbers.push_back(number);
            if (comma == text.size()) return sorted_into(std::move(numbers), settings.drop);
            begin = comma + 1;
        }
    }
    // "5%" reads as 5.
    if (std::string_view(parameter.unit) == "%" && !text.empty() && text.back() == '%') {
        text.remove_suffix(1);
    }
    const char* end = text.data() + text.size();
    double value = 0;
    const auto [at, failure] = std::from_chars(text.data(), end, value);
    std::string error = check(parameter, failure == std::errc() && at == end, value,
                              "\"" + std::string(text) + "\"");
    if (error.empty()) settings.*parameter.field = value;
    return error;
}

std::string read_fault_value(const FaultParameter& parameter, const nlohmann::json& value,
                             FaultSettings& settings) {
    if (parameter.field == nullptr) {
        const bool list = value.is_array() && std::all_of(value.begin(), value.end(), [](auto& n) {
                              return n.is_number_unsigned() && n.template get<uint64_t>() > 0;
                          });
        if (!list) return quoted(value) + " is not " + parameter.meaning;
        settings.drop.clear();
        return sorted_into(value.get<std::vector<uint64_t>>(), settings.drop);
    }
    const bool number = value.is_number();
    const double read = number ? value.get<double>() : 0;
    std::string error = check(parameter, number, read, quoted(value));
    if (error.empty()) settings.*parameter.field = read;
    return error;
}

nlohmann::json fault_list() {
    const FaultSettings defaults;
    nlohmann::json faults = nlohmann::json::array();
    for (const FaultParameter& parameter : kFaultParameters) {
        if (faults.empty() || faults.back()["name"] != parameter.fault) {
            faults.push_back({{"name", parameter.fault}, {"parameters", nlohmann::json::array()}});
        }
        const bool list = parameter.field == nullptr;
        faults.back()["parameters"].push_back({
            {"name", parameter.name},
            {"kind", list ? "packet numbers" : "number"},
            {"unit", parameter.unit},
            {"min", parameter.low},
            {"max", bound(parameter.high)},
            {"default", list ? nlohmann::json::array() : nlohmann::json(defaults.*parameter.field)},
            {"needs", parameter.needs ? nlohmann::json(parameter.needs) : nlohmann::json(nullptr)},
            {"meaning", parameter.meaning},
            {"description", parameter.description},
        });
    }
    return {{"directions", {"to-module", "from-module", "both"}}, {"faults", faults}};
}
