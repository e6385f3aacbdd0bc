#include "daqhost/RecordedRun.h"

#include <algorithm>

#include "daqhost/CaptureReader.h"
#include "protocol/Acknowledge.h"
#include "protocol/BasePacket.h"
#include "protocol/DataPacketView.h"
#include "protocol/ModuleRequest.h"

namespace daq {

bool RecordedRun::read(const std::string& path) {
    CaptureReader reader;
    if (!reader.open(path)) {
        error_ = reader.error();
        return false;
    }
    CaptureRecord record;
    while (reader.next(record)) add(record);
    // A request still without its acknowledge at the end of the capture never got one.
    for (Module& m : modules_) {
        if (!m.awaited) continue;
        ++m.run.missing_acknowledges;
        m.run.failed_at = command_name(*m.awaited);
        m.awaited.reset();
    }
    if (reader.failed()) {
        error_ = reader.error();
        return false;
    }
    return true;
}

RecordedRun::Module& RecordedRun::module_at(const Endpoint& endpoint) {
    const auto found = std::find_if(modules_.begin(), modules_.end(),
                                    [&](const Module& m) { return m.endpoint == endpoint; });
    if (found != modules_.end()) return *found;
    Module& module = modules_.emplace_back();
    module.endpoint = endpoint;
    if (keep_channels_) module.run.statistics.keep_channels();
    return module;
}

void RecordedRun::add(const CaptureRecord& record) {
    ++records_;
    last_ns_ = record.time_ns;
    if (record.destination.port == module_port_) {
        take_request(module_at(record.destination), record);
    } else if (record.source.port == module_port_) {
        take_from_module(module_at(record.source), record);
    }
}

void RecordedRun::take_request(Module& module, const CaptureRecord& record) {
    const std::optional<ModuleRequest> request =
        ModuleRequest::parse(record.payload.data(), record.payload.size());
    if (!request) return;
    ModuleRun& run = module.run;
    if (module.awaited == request->code) {
        ++run.retries;
    } else if (module.awaited) {
        ++run.missing_acknowledges;
        run.failed_at = command_name(*module.awaited);
    }
    module.awaited = request->code;
    if (request->code != packet::kDaqCommand) return;
    if (request->starts()) {
        run.counting = true;
        start_ns_ = record.time_ns;
        stop_ns_.reset();
    } else if (start_ns_ && !stop_ns_) {
        stop_ns_ = record.time_ns;
    }
}

void RecordedRun::take_from_module(Module& module, const CaptureRecord& record) {
    ModuleRun& run = module.run;
    if (const auto ack = Acknowledge::parse(record.payload.data(), record.payload.size())) {
        ++run.acknowledges;
        if (module.awaited && ack->answers(*module.awaited)) {
            module.awaited.reset();
            if (ack->error != packet::kDone) {
                run.failed_at = command_name(ack->code);
            } else if (ack->code == packet::kDaqCommand && run.counting) {
                run.started = true;
            }
        }
        return;
    }
    if (run.counting) {
        run.statistics.add(DataPacketView(record.payload.data(), record.payload.size()));
    }
}

ModuleFigures RecordedRun::total() const {
    ModuleFigures sum;
    for (const Module& m : modules_) {
        sum.add_module(m.run.figures(0), m.run.started, !m.run.failed_at.empty());
    }
    return sum;
}

double RecordedRun::seconds() const {
    if (!start_ns_) return 0;
    return static_cast<double>(stop_ns_.value_or(last_ns_) - *start_ns_) / 1e9;
}

}  // namespace daq
