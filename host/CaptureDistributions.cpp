#include "daqhost/CaptureDistributions.h"

#include "protocol/BasePacket.h"

namespace daq {

int CaptureDistributions::Module::configured_channels(int hybrid) const {
    const auto found = configured.find(hybrid);
    return found == configured.end() ? 0 : found->second;
}

CaptureDistributions::Module& CaptureDistributions::module_at(const Endpoint& endpoint) {
    for (Module& m : modules_) {
        if (m.endpoint == endpoint) return m;
    }
    return modules_.emplace_back(Module{endpoint, StreamStatistics{true}, {}});
}

void CaptureDistributions::add(const CaptureRecord& record) {
    const DatagramClassifier::Classification c = classifier_.classify(record);
    if (c.kind == DatagramClassifier::Kind::kRequest) {
        Module& module = module_at(c.module);
        if (c.request.code != packet::kConfigureStream) return;
        const StreamConfiguration s = c.request.stream_configuration();
        module.configured[static_cast<int>(s.hybrid)] =
            static_cast<int>(s.chips) * packet::channels_per_chip(static_cast<int>(s.chip_type));
    } else if (c.data) {
        // Whole data packets and what fails as one, counted as malformed.
        module_at(c.module).statistics.add(*c.data);
    }
}

size_t CaptureDistributions::keep(const Endpoint& module) {
    std::erase_if(modules_, [&](const Module& m) {
        return m.endpoint.address != module.address ||
               (module.port != 0 && m.endpoint.port != module.port);
    });
    return modules_.size();
}

uint64_t CaptureDistributions::packets() const {
    uint64_t packets = 0;
    for (const Module& m : modules_) packets += m.statistics.packets();
    return packets;
}

uint64_t CaptureDistributions::malformed() const {
    uint64_t malformed = 0;
    for (const Module& m : modules_) malformed += m.statistics.malformed_total();
    return malformed;
}

}  // namespace daq
