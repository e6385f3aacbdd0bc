#include "faultrelay/FaultSettings.h"

#include <nlohmann/json.hpp>
#include <sstream>

#include "faultrelay/FaultList.h"

const char* direction_name(Direction direction) {
    return direction == Direction::kToModule ? "to-module" : "from-module";
}

bool FaultSettings::draws() const {
    return loss > 0 || duplicate > 0 || reorder > 0 || corrupt > 0 || jitter_ms > 0 ||
           deviation_ms > 0 || pareto_shape > 0;
}

bool FaultSettings::any() const {
    return !drop.empty() || delay_ms > 0 || bandwidth_mbps > 0 || mtu > 0 || draws();
}

std::string FaultSettings::conflict() const {
    const int distributions = (jitter_ms > 0) + (deviation_ms > 0) + (pareto_shape > 0);
    if (distributions <= 1) return "";
    return "jitter, deviation and pareto are three ways to draw the delay: give one of them";
}

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
    if (delay_ms > 0 || jitter_ms > 0 || deviation_ms > 0 || pareto_shape > 0) {
        next() << "delay " << delay_ms << " ms";
        if (jitter_ms > 0) out << " ± " << jitter_ms << " ms";
        if (deviation_ms > 0) out << ", normal with deviation " << deviation_ms << " ms";
        if (pareto_shape > 0) out << ", Pareto of shape " << pareto_shape;
    }
    if (bandwidth_mbps > 0) {
        next() << "bandwidth " << bandwidth_mbps << " Mb/s, queue " << queue_bytes << " bytes";
    }
    if (mtu > 0) next() << "mtu " << mtu << " bytes";
    return any() ? out.str() : "none";
}

nlohmann::json FaultSettings::json() const {
    nlohmann::json object = nlohmann::json::object();
    for (const FaultParameter& parameter : kFaultParameters) {
        object[parameter.name] = parameter.field == nullptr
                                     ? nlohmann::json(drop)
                                     : nlohmann::json(this->*parameter.field);
    }
    return object;
}

std::string read_directions(std::string_view text, std::array<bool, 2>& selected) {
    const bool both = text == "both";
    selected = {both || text == "to-module", both || text == "from-module"};
    if (selected[0] || selected[1]) return "";
    return "unknown direction \"" + std::string(text) + "\": to-module, from-module or both";
}
