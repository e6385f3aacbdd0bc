#include "faultrelay/FaultSettings.h"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

const char* direction_name(Direction direction) {
    return direction == Direction::kToModule ? "to-module" : "from-module";
}

bool FaultSettings::draws() const {
    return loss > 0 || duplicate > 0 || reorder > 0 || corrupt > 0 || jitter_ms > 0;
}

bool FaultSettings::any() const { return !drop.empty() || delay_ms > 0 || draws(); }

std::string FaultSettings::text() const {
    std::ostringstream out;
    const char* separator = "";
    const auto next = [&]() -> std::ostringstream& {
        out << separator;
        separator = "; ";
        return out;
    };
    if (!drop.empty()) {
        next() << "drop ";
        for (size_t i = 0; i < drop.size(); ++i) out << (i > 0 ? "," : "") << drop[i];
    }
    if (loss > 0) {
        next() << "loss " << loss << "%";
        if (burst > 1) out << " in bursts of " << burst;
    }
    if (corrupt > 0) next() << "corrupt " << corrupt << "%";
    if (duplicate > 0) next() << "duplicate " << duplicate << "%";
    if (reorder > 0) next() << "reorder " << reorder << "%";
    if (delay_ms > 0 || jitter_ms > 0) {
        next() << "delay " << delay_ms << " ms";
        if (jitter_ms > 0) out << " ± " << jitter_ms << " ms";
    }
    return any() ? out.str() : "none";
}

nlohmann::json FaultSettings::json() const {
    return {{"drop", drop},       {"loss", loss},        {"burst", burst},
            {"delay", delay_ms},  {"jitter", jitter_ms}, {"duplicate", duplicate},
            {"reorder", reorder}, {"corrupt", corrupt}};
}

std::string read_fault_value(FaultValue kind, std::string_view text, double& value) {
    // "5%" reads as 5.
    if (kind == FaultValue::kPercent && !text.empty() && text.back() == '%') {
        text.remove_suffix(1);
    }
    const char* end = text.data() + text.size();
    const auto [at, failure] = std::from_chars(text.data(), end, value);
    const bool number = failure == std::errc() && at == end && std::isfinite(value);
    switch (kind) {
        case FaultValue::kPercent:
            if (number && value >= 0 && value <= 100) return "";
            return "\"" + std::string(text) + "\" is not a percentage from 0 to 100";
        case FaultValue::kMilliseconds:
            if (number && value >= 0) return "";
            return "\"" + std::string(text) + "\" is not a time in milliseconds, 0 or more";
        case FaultValue::kBurstLength:
            if (number && value >= 1) return "";
            return "\"" + std::string(text) + "\" is not a mean burst length, 1 or more";
    }
    return "unknown kind of value";
}

std::string read_directions(std::string_view text, std::array<bool, 2>& selected) {
    const bool both = text == "both";
    selected = {both || text == "to-module", both || text == "from-module"};
    if (selected[0] || selected[1]) return "";
    return "unknown direction \"" + std::string(text) + "\": to-module, from-module or both";
}
