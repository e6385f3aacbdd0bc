#include "faultrelay/FaultSettings.h"

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
    if (loss > 0) next() << "loss " << loss << "%";
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
    return {{"drop", drop},        {"loss", loss},           {"delay", delay_ms},
            {"jitter", jitter_ms}, {"duplicate", duplicate}, {"reorder", reorder},
            {"corrupt", corrupt}};
}
