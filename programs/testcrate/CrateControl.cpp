#include "testcrate/CrateControl.h"

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

constexpr double kLongestPause = 86400.0;

json refused(const std::string& why) { return {{"ok", false}, {"error", why}}; }

const char* state_name(Crate::State state) {
    switch (state) {
        case Crate::State::kOn:
            return "on";
        case Crate::State::kPaused:
            return "paused";
        default:
            return "off";
    }
}

json counters(const Crate& crate) {
    json modules = json::array();
    for (size_t i = 0; i < crate.size(); ++i) {
        json entry = {{"module", i + 1},
                      {"address", crate.place(i).address},
                      {"state", state_name(crate.state(i))}};
        if (const DAQmodule* module = crate.module(i)) {
            const DAQmodule::Activity& activity = module->activity();
            uint64_t packets = 0;
            uint64_t bytes = 0;
            for (const DAQmodule::HybridTraffic& traffic : activity.data) {
                packets += traffic.packets;
                bytes += traffic.bytes;
            }
            entry["run"] = module->run_active();
            entry["runs_started"] = activity.runs_started;
            entry["trigger_cycles"] = activity.trigger_cycles;
            entry["packets"] = packets;
            entry["bytes"] = bytes;
        }
        modules.push_back(entry);
    }
    return {
        {"ok", true}, {"trigger", crate.common_trigger() ? "common" : "own"}, {"modules", modules}};
}

}  // namespace

std::string answer_control_request(Crate& crate, std::string_view line) {
    const json request = json::parse(line, nullptr, false);
    if (!request.is_object()) return refused("a request is one JSON object a line").dump();
    const json kind = request.value("request", json());
    if (!kind.is_string()) return refused("a request names what it asks: \"request\": ...").dump();
    const std::string what = kind.get<std::string>();
    if (what == "counters") return counters(crate).dump();
    if (what != "pause" && what != "power-cycle" && what != "kill" && what != "switch-on") {
        return refused("unknown request \"" + what +
                       "\": pause, power-cycle, kill, switch-on or counters")
            .dump();
    }
    const json number = request.value("module", json());
    const std::string range = "from 1 to " + std::to_string(crate.size());
    if (!number.is_number_integer() || number.get<int64_t>() < 1 ||
        number.get<int64_t>() > static_cast<int64_t>(crate.size())) {
        return refused(what + " needs \"module\", a number " + range).dump();
    }
    const auto module = static_cast<size_t>(number.get<int64_t>() - 1);
    std::string problem;
    if (what == "pause") {
        const json seconds = request.value("seconds", json());
        if (!seconds.is_number() || !(seconds.get<double>() > 0) ||
            !(seconds.get<double>() <= kLongestPause)) {
            return refused("pause needs \"seconds\", a number above 0 and at most 86400").dump();
        }
        problem = crate.pause(module, seconds.get<double>());
    } else if (what == "power-cycle") {
        problem = crate.power_cycle(module);
    } else if (what == "kill") {
        problem = crate.kill(module);
    } else {
        problem = crate.switch_on(module);
    }
    if (!problem.empty()) return refused(problem).dump();
    return json{{"ok", true}, {"module", module + 1}, {"state", state_name(crate.state(module))}}
        .dump();
}
