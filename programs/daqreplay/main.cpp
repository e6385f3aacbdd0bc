// daqreplay: a module on UDP port 10000 that behaves as testModule does, but whose runs send
// the data packets of a capture.
#include <memory>
#include <optional>
#include <string>

#include "app/ServeLoop.h"
#include "daqreplay/ReplayCapture.h"
#include "daqreplay/ReplayCommandLine.h"
#include "daqreplay/ReplayedEvents.h"
#include "module/DAQmodule.h"
#include "support/Vantor.h"

namespace {

// "1, 2"
std::string id_list(const std::vector<int>& ids) {
    std::string text;
    for (const int id : ids) text += (text.empty() ? "" : ", ") + std::to_string(id);
    return text.empty() ? "none" : text;
}

// Logs what the capture holds for the module; false, after an error line, when none of the
// module's streams has a packet in it. `chosen` says whether --module chose the module.
bool announce_capture(const ReplayCapture& capture, uint8_t mask, bool chosen) {
    Vantor::ostream log;
    if (!chosen && capture.modules.size() > 1) {
        std::string others;
        for (size_t i = 1; i < capture.modules.size(); ++i) {
            others += (i == 1 ? "" : ", ") + capture.modules[i];
        }
        log << Vantor::loglevel(Vantor::Log::Info) << "The capture holds data packets of "
            << capture.modules.size() << " modules: replaying the first, " << capture.module
            << "; --module ADDR[:PORT] chooses another (" << others << ")" << std::endl;
    }
    std::vector<int> captured;
    for (const auto& [id, packets] : capture.streams) captured.push_back(id);
    const std::vector<int> streams = module_streams(mask);
    const std::vector<int> empty = streams_without_data(capture, mask);
    if (empty.size() == streams.size()) {
        log << Vantor::loglevel(Vantor::Log::Error) << "Cannot replay " << capture.path
            << ": none of the module's streams (" << id_list(streams)
            << ") has data packets in it, whose streams are " << id_list(captured)
            << " (--map FROM:TO sends a captured stream as another)" << std::endl;
        return false;
    }
    log << Vantor::loglevel(Vantor::Log::Info) << "Replaying " << capture.path << ": "
        << capture.packets << " data packets of " << capture.module << " (";
    for (const auto& [id, packets] : capture.streams) {
        log << (id == captured.front() ? "" : ", ") << "stream " << id << ": " << packets.size();
    }
    log << "), " << capture.damaged << " damaged skipped";
    if (capture.other_modules > 0) {
        log << ", " << capture.other_modules << " of other modules left out";
    }
    log << std::endl;
    for (const int id : empty) {
        log << Vantor::loglevel(Vantor::Log::Info) << "Stream " << id
            << " has no data packets in the capture: it sends none" << std::endl;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    ReplaySettings settings;
    const int status = parse_replay_command_line(argc, argv, settings);
    if (status >= 0) return status;

    std::string error;
    std::optional<ReplayCapture> capture =
        read_replay_capture(settings.capture, settings.mappings, settings.capture_module, error);
    if (!capture) {
        Vantor::ostream log;
        log << Vantor::loglevel(Vantor::Log::Error) << "Cannot replay " << error << std::endl;
        return 1;
    }
    if (!announce_capture(*capture, settings.module.mask, settings.capture_module.has_value())) {
        return 1;
    }

    return serve_module(settings.module, [&](const StartupSettings& s) {
        return std::make_unique<DAQmodule>(
            s.interface, kModulePort, s.chip_type,
            std::make_unique<ReplayedEvents>(std::move(*capture), settings.options));
    });
}
