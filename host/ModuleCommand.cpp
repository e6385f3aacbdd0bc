#include "ModuleCommand.h"

#include <cstdio>

#include "protocol/BasePacket.h"

namespace daq {

bool ModuleCommand::discover() {
    if (!client_.open()) {
        error_ = client_.error();
        return false;
    }
    code_ = packet::kDiscovery;
    outcome_ = client_.discover();
    return acknowledged();
}

bool ModuleCommand::send(const ModuleRequest& request) {
    code_ = request.code;
    outcome_ = client_.request(request);
    return acknowledged();
}

// The socket's error, or how many attempts of how long went unanswered.
bool ModuleCommand::acknowledged() {
    if (outcome_.acknowledged()) return true;
    error_ = client_.unacknowledged_text(code_, outcome_);
    return false;
}

std::string ModuleCommand::outcome_text() const {
    char text[256];
    std::snprintf(text, sizeof(text), "%s: %s (code %u): error %u (%s), version %s",
                  client_.module().text().c_str(), command_name(code_), code_, outcome_.ack.error,
                  error_text(outcome_.ack.error).c_str(), outcome_.ack.version_text().c_str());
    return text;
}

}  // namespace daq
